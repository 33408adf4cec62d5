"""The catalogue of mutation kinds of scripts/mutate.py: where in a driver
source each kind applies, and the mutants it yields there, each with an id
that stays the same while the mutated line does."""

import hashlib
import re
from dataclasses import dataclass, field

# Code that protects data: flushes, deletions, state and counter writes,
# the deferred run, the flags of removals.  Sites there are drawn more often.
DATA_WORDS = re.compile(
    r"Flush|Delete|Remove|State|Close|Write|SetValue|SetDword|Revert|Commit|Improper|"
    r"Pending|Deferred|Rename|Move|Overwrite|Recursive|DeleteFiles|Reparse|Marker|"
    r"Counter|Unload|Mount|Temporary|Dacl|Security")
DATA_WEIGHT = 3.0
# Kinds that yield many equivalent mutants (sizes of buffers, the order of
# independent statements) are drawn less often.
KIND_WEIGHT = {"const": 0.4, "swap-stmts": 0.6}

# The catalogue of mutation kinds.
KINDS = {
    "cmp-flip": "a comparison negated (== and !=, < and >=, > and <=)",
    "cmp-boundary": "a comparison's boundary moved (< and <=, > and >=)",
    "logic": "&& and || swapped",
    "success-flip": "NT_SUCCESS(x) and !NT_SUCCESS(x) swapped",
    "drop-not": "a logical ! removed",
    "status-success": "a failure status replaced by STATUS_SUCCESS",
    "status-swap": "a status replaced by another (STATUS_UNSUCCESSFUL, or STATUS_SUCCESS for it)",
    "bool-flip": "TRUE and FALSE (true and false) swapped",
    "remove-flush": "a flush call removed (its status taken as success)",
    "remove-close": "a close, dereference or free removed",
    "remove-call": "another call statement removed (its status taken as success)",
    "remove-jump": "a break, continue or goto removed",
    "swap-stmts": "two adjacent single-line statements swapped",
    "const": "an integer constant changed (0 to 1, n to n+1)",
    "flag-drop": "one flag of an or-ed set of flags dropped",
    "arith": "+ and - swapped",
}


@dataclass
class Mutant:
    path: str          # relative to the root, e.g. exec/file_move.cpp
    kind: str
    start: int         # offset of the replaced text in the file
    end: int
    replacement: str
    line: int = 0
    original_line: str = ""
    mutated_line: str = ""
    weight: float = 1.0
    id: str = ""
    extra: dict = field(default_factory=dict)
    # why the catalogue leaves this site out (it would not build, or it is
    # equivalent by rule); skipped sites still take their turn in the draw
    # so that the others are drawn as before
    skip: str = ""

    def describe(self):
        return "%s:%d %s %s" % (self.path, self.line, self.kind, self.id)


# ---- reading sources -------------------------------------------------------

def code_mask(text):
    """One flag per character: True where the character is code, False in
    comments, string and character literals and preprocessor lines (except
    the value of a numeric #define, which the const kind may change)."""
    mask = [True] * len(text)
    i = 0
    n = len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c in " \t":
            i += 1
            continue
        if line_start and c == "#":
            j = i
            while j < n and text[j] != "\n":
                if text[j] == "\\" and j + 1 < n and text[j + 1] == "\n":
                    j += 2
                    continue
                j += 1
            segment = text[i:j]
            m = re.match(r"#\s*define\s+[A-Z_][A-Z0-9_]*\s+\(?(0x[0-9A-Fa-f]+|\d+)u?\)?\s*$", segment)
            for k in range(i, j):
                mask[k] = False
            if m:
                for k in range(i + m.start(1), i + m.end(1)):
                    mask[k] = True
            i = j
            continue
        line_start = False
        if c == "\n":
            line_start = True
            i += 1
            continue
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            for k in range(i, j):
                mask[k] = False
            i = j
            continue
        if text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            for k in range(i, j):
                mask[k] = False
            i = j
            continue
        if c in "\"'":
            # a literal, with any prefix letters already passed as code
            j = i + 1
            while j < n and text[j] != c:
                if text[j] == "\\":
                    j += 1
                j += 1
            j = min(n, j + 1)
            for k in range(i, j):
                mask[k] = False
            i = j
            continue
        i += 1
    return mask


def masked(text, mask):
    """The text with everything that is not code blanked (same offsets)."""
    return "".join(ch if keep or ch == "\n" else " " for ch, keep in zip(text, mask))


def matching_paren(code, open_at):
    depth = 0
    for i in range(open_at, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


# ---- the catalogue ---------------------------------------------------------

CMP_FLIP = {"==": "!=", "!=": "==", "<": ">=", ">=": "<", ">": "<=", "<=": ">"}
CMP_BOUNDARY = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
CLOSE_CALLS = re.compile(r"^(ZwClose|ObDereferenceObject|ExFreePoolWithTag|FreeOperationList|"
                         r"FreeComposedPath|FreePackageList|IoFreeWorkItem|RtlFreeUnicodeString|"
                         r"FreeRegistryValue\w*)$")
NOT_STATEMENTS = {"if", "while", "for", "switch", "return", "sizeof", "case", "do", "else"}


def logic_mutant(text, code, at, add):
    """&& and || swapped at `at`.  Where the operator shares its level with
    others, its two operands are put in parentheses, so that the mutant
    builds (-Werror=parentheses) and changes this one operator only."""
    old = code[at:at + 2]
    new = "||" if old == "&&" else "&&"
    # the enclosing parenthesis, if the statement has one
    depth = 0
    i = at - 1
    while i >= 0:
        ch = code[i]
        if ch == ")":
            depth += 1
        elif ch == "(":
            if depth == 0:
                break
            depth -= 1
        elif ch in ";{}" and depth == 0:
            i = -1
            break
        i -= 1
    if i < 0:
        add("logic", at, at + 2, new)
        return
    close = matching_paren(code, i)
    ops = []
    depth = 0
    j = i + 1
    while j < close:
        ch = code[j]
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
        elif depth == 0 and code[j:j + 2] in ("&&", "||"):
            ops.append(j)
            j += 2
            continue
        elif depth == 0 and ch in "?:,":
            ops = None
            break
        j += 1
    if ops is None or len(ops) == 1:
        add("logic", at, at + 2, new, skip="" if ops is not None else "a conditional or comma at its level")
        return
    k = ops.index(at)
    left = ops[k - 1] + 2 if k > 0 else i + 1
    right = ops[k + 1] if k + 1 < len(ops) else close
    while left < at and code[left].isspace():
        left += 1
    while right > at and code[right - 1].isspace():
        right -= 1
    add("logic", left, right, "(" + text[left:at] + new + text[at + 2:right] + ")")


# Calls whose only effect is to fill in their first argument: they read the
# others, cannot fail, allocate nothing and do no I/O.
LOCAL_INITS = re.compile(r"^(RtlZeroMemory|InitializeListHead|RtlInitUnicodeString|"
                         r"RtlInitEmptyUnicodeString|InitializeObjectAttributes|"
                         r"InitializePathAttributes)\s*\(")
ALLOCATION = re.compile(r"^[\w\->.]+\s*=\s*(\([\w\s*]+\)\s*)?(AllocateZeroed|AllocatePool)\s*\(")
PATH = re.compile(r"[A-Za-z_]\w*(?:\s*(?:->|\.)\s*[A-Za-z_]\w*)*")
NOT_NAMES = {"sizeof", "nullptr", "NULL", "TRUE", "FALSE", "true", "false", "const"}


def _paths(expr):
    out = set()
    for m in PATH.finditer(expr):
        p = re.sub(r"\s+", "", m.group(0))
        root = re.split(r"->|\.", p)[0]
        if root in NOT_NAMES or re.match(r"^[A-Z][A-Z0-9_]*$", root) or \
                expr[m.end():m.end() + 1] == "(":
            continue
        out.add(p)
    return out


def _overlap(a, b):
    for p in a:
        for q in b:
            short, long_ = (p, q) if len(p) <= len(q) else (q, p)
            if long_ == short or long_.startswith(short + "->") or long_.startswith(short + "."):
                return True
    return False


def _effects(stmt):
    """(writes, reads, allocates) of a statement whose effects are known,
    or None."""
    stmt = stmt.strip().rstrip(";").strip()
    if LOCAL_INITS.match(stmt):
        inner = stmt[stmt.index("(") + 1:stmt.rindex(")")]
        args = [a.strip() for a in re.split(r",(?![^(]*\))", inner)]
        target = re.sub(r"^\(.*?\)\s*", "", args[0]).lstrip("&").strip()
        return {target}, _paths(",".join(args[1:])), False
    decl = re.match(r"^(?:const\s+)?[A-Z]\w*\s*\**\s*([a-z]\w*)\s*=\s*(.*)$", stmt, re.S)
    assign = re.match(r"^([\w\->.]+)\s*=\s*(.*)$", stmt, re.S)
    m = decl or assign
    if not m:
        return None
    rhs = m.group(2)
    allocates = bool(ALLOCATION.match(stmt))
    if not allocates and re.search(r"\b(?!sizeof\b)[A-Za-z_]\w*\s*\(", re.sub(r"^\([\w\s*]+\)", "", rhs)):
        return None  # a call whose effects are not known
    return {re.sub(r"\s+", "", m.group(1))}, _paths(rhs), allocates


def swap_skip(sa, sb):
    """Why swapping the adjacent statements sa and sb is left out, or ''."""
    decl = re.match(r"^\s*(?:const\s+)?[A-Z]\w*\s*\**\s*([a-z]\w*)\s*(=|;)", sa)
    if decl and re.search(r"\b%s\b" % decl.group(1), sb):
        return "the second statement uses the name the first declares"
    ea, eb = _effects(sa), _effects(sb)
    if ea is None or eb is None or (ea[2] and eb[2]):
        return ""
    wa, ra, _ = ea
    wb, rb, _ = eb
    if _overlap(wa, wb | rb) or _overlap(wb, ra):
        return ""
    return "independent: neither touches what the other writes"


def find_mutants(path, text):
    mask = code_mask(text)
    code = masked(text, mask)
    found = []

    def add(kind, start, end, replacement, skip=""):
        found.append(Mutant(path, kind, start, end, replacement, skip=skip))

    # comparisons; ->, <<, >>, templates (<...>) are left alone
    for m in re.finditer(r"(?<![<>=!\-&|+*/%^])(==|!=|<=|>=|<|>)(?![<>=])", code):
        op = m.group(1)
        before = code[max(0, m.start() - 12):m.start()]
        if op in "<>" and re.search(r"(template|static_cast|reinterpret_cast|const_cast)\s*$", before):
            continue
        if op == ">" and code[m.start() - 1:m.start()] == "-":
            continue
        add("cmp-flip", m.start(), m.end(), CMP_FLIP[op])
        if op in CMP_BOUNDARY:
            add("cmp-boundary", m.start(), m.end(), CMP_BOUNDARY[op])

    for m in re.finditer(r"&&|\|\|", code):
        logic_mutant(text, code, m.start(), add)

    for m in re.finditer(r"(!\s*)?\bNT_SUCCESS\s*\(", code):
        if m.group(1):
            add("success-flip", m.start(), m.start() + len(m.group(1)), "")
        else:
            add("success-flip", m.start(), m.start(), "!")

    for m in re.finditer(r"!(?!=)", code):
        if re.match(r"!\s*NT_SUCCESS", code[m.start():m.start() + 20]):
            continue
        add("drop-not", m.start(), m.end(), "")

    for m in re.finditer(r"\bSTATUS_[A-Z0-9_]+\b", code):
        name = m.group(0)
        if name == "STATUS_SUCCESS":
            add("status-swap", m.start(), m.end(), "STATUS_UNSUCCESSFUL")
        else:
            add("status-success", m.start(), m.end(), "STATUS_SUCCESS")
            other = "STATUS_INVALID_PARAMETER" if name == "STATUS_UNSUCCESSFUL" else "STATUS_UNSUCCESSFUL"
            add("status-swap", m.start(), m.end(), other)

    for m in re.finditer(r"\b(TRUE|FALSE|true|false)\b", code):
        flip = {"TRUE": "FALSE", "FALSE": "TRUE", "true": "false", "false": "true"}[m.group(1)]
        add("bool-flip", m.start(), m.end(), flip)

    # call statements: `Name(...);` or `lhs = Name(...);` at the start of a statement
    for m in re.finditer(r"(?m)^[ \t]*(?:([A-Za-z_][\w\->.\[\]*]*)\s*=\s*)?([A-Za-z_]\w*)\s*\(", code):
        lhs, callee = m.group(1), m.group(2)
        if callee in NOT_STATEMENTS or (lhs and lhs in NOT_STATEMENTS):
            continue
        open_at = m.end() - 1
        close_at = matching_paren(code, open_at)
        if close_at < 0:
            continue
        rest = code[close_at + 1:close_at + 40]
        semi = re.match(r"\s*;", rest)
        if not semi:
            continue
        stmt_start = m.start() + len(m.group(0)) - len(m.group(0).lstrip(" \t"))
        stmt_end = close_at + 1 + semi.end()
        # a declaration (`TYPE name = Call(...)`) is left alone
        line_start = code.rfind("\n", 0, stmt_start) + 1
        prefix = code[line_start:stmt_start]
        if prefix.strip():
            continue
        if "Flush" in callee:
            kind = "remove-flush"
        elif CLOSE_CALLS.match(callee):
            kind = "remove-close"
        else:
            kind = "remove-call"
        # the only call of a routine of this file: the call is kept, never
        # taken, so that the routine and the arguments stay referenced
        # (-Werror=unused-function, unused-but-set-variable)
        single_use = len(re.findall(r"\b%s\b" % re.escape(callee), code)) <= 2 and \
            re.search(r"(?m)^\w[^;\n]*\b%s\s*\([^;]*$" % re.escape(callee), code)
        call_text = text[stmt_start:stmt_end]
        if lhs:
            if not re.search(r"status|result", lhs, re.I):
                continue
            if single_use:
                add(kind, stmt_start, stmt_end,
                    "{ %s = STATUS_SUCCESS; if (false) %s }" % (lhs, call_text))
            else:
                add(kind, stmt_start, stmt_end, "%s = STATUS_SUCCESS;" % lhs)
        else:
            add(kind, stmt_start, stmt_end, "if (false) %s" % call_text if single_use else "(void)0;")

    # an empty block rather than an empty statement (-Wempty-body); a break
    # before the next case falls through on purpose (-Wimplicit-fallthrough)
    for m in re.finditer(r"\b(break|continue)\s*;|\bgoto\s+\w+\s*;", code):
        after = code[m.end():m.end() + 200].lstrip()
        if m.group(1) == "break" and re.match(r"(case\b|default\s*:)", after):
            add("remove-jump", m.start(), m.end(), "[[fallthrough]];")
        elif m.group(1) == "break" and after.startswith("}") and \
                re.match(r"(case\b|default\s*:)", after[1:].lstrip()):
            add("remove-jump", m.start(), m.end(), "{}", skip="falls through into the next case")
        else:
            add("remove-jump", m.start(), m.end(), "{}")

    # two adjacent single-line statements at the same indentation
    lines = code.split("\n")
    offsets = []
    pos = 0
    for ln in lines:
        offsets.append(pos)
        pos += len(ln) + 1
    simple = re.compile(r"^([ \t]+)([A-Za-z_*(][^{};]*;)\s*$")
    for i in range(len(lines) - 1):
        a, b = simple.match(lines[i]), simple.match(lines[i + 1])
        if not a or not b or a.group(1) != b.group(1):
            continue
        sa, sb = a.group(2), b.group(2)
        if re.match(r"(return|goto|break|continue|case|default)\b", sa) or \
           re.match(r"(return|goto|break|continue|case|default)\b", sb):
            continue
        if sa.strip() == sb.strip():
            continue
        # at least one of them a call: reordering plain assignments is
        # mostly equivalent
        call = re.compile(r"^(?:[\w\->.*\[\]]+\s*=\s*)?[A-Z][A-Za-z0-9_]*\s*\(")
        if not call.match(sa) and not call.match(sb):
            continue
        # the original text of both lines (comments after them are kept with them)
        start = offsets[i]
        end = offsets[i + 1] + len(lines[i + 1])
        ta = text[offsets[i]:offsets[i] + len(lines[i])]
        tb = text[offsets[i + 1]:offsets[i + 1] + len(lines[i + 1])]
        add("swap-stmts", start, end, tb + "\n" + ta, skip=swap_skip(sa, sb))

    for m in re.finditer(r"(?<![\w.])(0x[0-9A-Fa-f]+|\d+)([uUlL]*)(?![\w.])", code):
        literal, suffix = m.group(1), m.group(2)
        value = int(literal, 16) if literal.lower().startswith("0x") else int(literal)
        new = 1 if value == 0 else (0 if value == 1 else value + 1)
        text_new = hex(new) if literal.lower().startswith("0x") else str(new)
        add("const", m.start(), m.end(), text_new + suffix)

    for m in re.finditer(r"\b([A-Z][A-Z0-9_]+)\s*\|\s*([A-Z][A-Z0-9_]+)\b", code):
        add("flag-drop", m.start(), m.end(), m.group(1))
        add("flag-drop", m.start(), m.end(), m.group(2))

    for m in re.finditer(r"(?<=[\w)\]]) ([+-]) (?=[\w(])", code):
        add("arith", m.start(1), m.end(1), "-" if m.group(1) == "+" else "+")

    # nothing in static assertions, which only stop the build
    spans = []
    for m in re.finditer(r"\bstatic_assert\s*\(", code):
        spans.append((m.start(), matching_paren(code, m.end() - 1)))
    found = [mu for mu in found
             if not re.match(r"\s*static_assert\b", code[code.rfind("\n", 0, mu.start) + 1:])]
    for mu in found:
        if any(a <= mu.start <= b for a, b in spans):
            mu.skip = "inside a static assertion"
    # a masked bit compared with 1 instead of 0 does not build
    # (-Werror=tautological-compare)
    for mu in found:
        if mu.kind == "const" and mu.replacement.startswith("1") and \
                re.search(r"&\s*[A-Z_0-9]+\s*\)\s*[!=]=\s*$", code[max(0, mu.start - 80):mu.start]):
            mu.skip = "a masked bit compared with 1 does not build"

    # fill in lines, weights and ids
    seen = {}
    for mu in found:
        mu.line = text.count("\n", 0, mu.start) + 1
        ls = text.rfind("\n", 0, mu.start) + 1
        le = text.find("\n", mu.end)
        le = len(text) if le < 0 else le
        mu.original_line = text[ls:le]
        mu.mutated_line = text[ls:mu.start] + mu.replacement + text[mu.end:le]
        stmt = code[ls:le]
        mu.weight = (DATA_WEIGHT if DATA_WORDS.search(stmt) else 1.0) * KIND_WEIGHT.get(mu.kind, 1.0)
        key = (mu.kind, " ".join(mu.original_line.split()), " ".join(mu.mutated_line.split()))
        n = seen.get(key, 0)
        seen[key] = n + 1
        digest = hashlib.sha1(("%s\0%s\0%s\0%s\0%d" % ((path,) + key + (n,))).encode()).hexdigest()
        mu.id = digest[:10]
    return found
