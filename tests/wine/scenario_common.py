"""What both halves of tests/wine/run_scenarios.py share with the
simulated side's rules (scenario.cpp): the grammar of scenarios.txt, the
canonical lines every boot is written as, Wine's registry file, and the
comparison against known_differences.txt.
"""
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
WINE_DOC = os.path.join(REPO, "docs", "wine.md")

STAGES = {"later": "Volume", "arc": "Arc", "arc-bootdevice": "ArcThroughBootDevice"}

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD = 1, 2, 3, 4, 7, 11


class Failure(Exception):
    """Something that makes the run fail; the message says what."""


# ---- the scenarios (the grammar of scenario.cpp) -------------------------

REST_OF_LINE = ("oneshot", "setup", "revert", "clean", "expect", "expect-no")


class Step:
    def __init__(self, kind, line, **fields):
        self.kind = kind
        self.line = line
        self.path = fields.get("path", "")
        self.key = fields.get("key", "")
        self.name = fields.get("name", "")
        self.type = fields.get("type", "")
        self.text = fields.get("text", "")
        self.boot_timeout = fields.get("boot_timeout", 0)
        self.tick_timeout = fields.get("tick_timeout", 0)
        self.load = fields.get("load", "")
        self.end = fields.get("end", "")
        self.probe = fields.get("probe", False)


class Scenario:
    def __init__(self, name):
        self.name = name
        self.watch_keys = ["PARAMS"]
        self.watch_files = []
        self.steps = []


def tokens(text):
    out = []
    at = 0
    while at < len(text):
        if text[at] in " \t":
            at += 1
        elif text[at] == '"':
            close = text.find('"', at + 1)
            if close < 0:
                raise ValueError("unterminated quote")
            out.append(text[at + 1:close])
            at = close + 1
        else:
            end = at
            while end < len(text) and text[end] not in " \t":
                end += 1
            out.append(text[at:end])
            at = end
    return out


def number(text):
    if not text.isdigit() or len(text) > 10 or int(text) > 0xFFFFFFFF:
        raise ValueError("not a decimal number: " + text)
    return int(text)


def read_scenarios(path):
    scenarios = []
    with open(path, encoding="utf-8") as f:
        for count, raw in enumerate(f, 1):
            text = raw.strip(" \t\r\n")
            if not text or text.startswith("#"):
                continue
            keyword, _, rest = text.partition(" ")
            if "\t" in keyword:
                keyword, _, more = keyword.partition("\t")
                rest = more + " " + rest
            rest = rest.strip(" \t\r")
            try:
                if keyword == "scenario":
                    args = tokens(rest)
                    if len(args) != 1:
                        raise ValueError("scenario NAME")
                    scenarios.append(Scenario(args[0]))
                    continue
                if not scenarios:
                    raise ValueError("a command before the first scenario")
                scenario = scenarios[-1]
                if keyword in REST_OF_LINE:
                    if not rest:
                        raise ValueError(keyword + " needs a text")
                    if keyword in ("setup", "revert", "clean") and \
                            not any(s.kind == "package" for s in scenario.steps):
                        raise ValueError(keyword + " before any package")
                    scenario.steps.append(Step(keyword, count, text=rest))
                    continue
                args = tokens(rest)
                if keyword == "watch-keys" and len(args) == 1:
                    scenario.watch_keys.append(args[0])
                elif keyword == "watch-files" and len(args) == 1:
                    scenario.watch_files.append(args[0])
                elif keyword == "file" and len(args) == 2:
                    scenario.steps.append(Step("file", count, path=args[0], text=args[1]))
                elif keyword == "dir" and len(args) == 1:
                    scenario.steps.append(Step("dir", count, path=args[0]))
                elif keyword == "key" and len(args) == 1:
                    scenario.steps.append(Step("key", count, key=args[0]))
                elif keyword == "value" and len(args) == 4:
                    if args[2] not in ("sz", "dword", "qword"):
                        raise ValueError("value type must be sz, dword or qword")
                    if args[2] != "sz":
                        number(args[3])
                    scenario.steps.append(Step("value", count, key=args[0],
                                               name="" if args[1] == "@" else args[1],
                                               type=args[2], text=args[3]))
                elif keyword == "oneshot-file" and len(args) == 1:
                    scenario.steps.append(Step("oneshot-file", count, path=args[0]))
                elif keyword == "package" and len(args) % 2 == 1:
                    fields = {"boot-timeout": 0, "tick-timeout": 0}
                    for i in range(1, len(args), 2):
                        if args[i] not in fields:
                            raise ValueError("package NAME [boot-timeout N] [tick-timeout N]")
                        fields[args[i]] = number(args[i + 1])
                    scenario.steps.append(Step("package", count, name=args[0],
                                               boot_timeout=fields["boot-timeout"],
                                               tick_timeout=fields["tick-timeout"]))
                elif keyword == "boot" and len(args) in (2, 3):
                    if args[0] not in STAGES:
                        raise ValueError("boot load must be later, arc or arc-bootdevice")
                    if args[1] not in ("orderly", "improper"):
                        raise ValueError("boot end must be orderly or improper")
                    if len(args) == 3 and args[2] != "probe":
                        raise ValueError("the third word of boot can only be probe")
                    scenario.steps.append(Step("boot", count, load=args[0], end=args[1],
                                               probe=len(args) == 3))
                else:
                    raise ValueError("cannot read %s with %d arguments" % (keyword, len(args)))
            except ValueError as error:
                raise Failure("%s:%d: %s" % (path, count, error))
    return scenarios


def matches(line, step):
    if step.kind == "expect":
        return line == step.text
    prefix = step.text
    return line.startswith(prefix) and (len(line) == len(prefix) or line[len(prefix)] in " \\")


# ---- canonical lines (the rules of scenario.cpp) -------------------------

def printable(units):
    """UTF-16 code units as the lines print them."""
    return "".join(chr(u) if 0x20 <= u < 0x7F else "\\u%04x" % u for u in units)


def units_of(data):
    if len(data) % 2:
        return None
    return [data[i] | (data[i + 1] << 8) for i in range(0, len(data), 2)]


def hex_of(data):
    return ",".join("%02x" % b for b in data)


def string_data(prefix, data):
    units = units_of(data)
    if units is not None:
        if 0 not in units:
            return '%s:"%s" no-nul' % (prefix, printable(units))
        if units.index(0) == len(units) - 1:
            return '%s:"%s"' % (prefix, printable(units[:-1]))
    return "%s:hex:%s" % (prefix, hex_of(data))


def multi_data(data):
    units = units_of(data)
    if units is not None and len(units) >= 2 and units[-2:] == [0, 0]:
        strings = []
        at = 0
        regular = True
        while at < len(units) - 1:
            nul = units.index(0, at)
            if nul == at:
                regular = False
                break
            strings.append(units[at:nul])
            at = nul + 1
        if regular:
            return "multi:[" + ", ".join('"%s"' % printable(s) for s in strings) + "]"
    return "type7:hex:" + hex_of(data)


def dword_of(data):
    return int.from_bytes(data, "little") if len(data) == 4 else None


def tick_counter_data(raw, facts):
    n = len(facts)
    boot = facts[-1]
    added = raw - boot["tick_before"]
    before = "dword:tick-before-boot-%d" % n
    if added == 0:
        return before
    if boot["orderly"] and boot["added_low"] <= added <= boot["added_high"]:
        return before + ("+uptime" if boot["early"] else "+system-uptime")
    return "dword:%d" % raw


def start_tick_counter_data(raw, siblings, facts):
    for name, vtype, data in siblings:
        if name.lower() == "startbootcounter" and vtype == REG_DWORD and dword_of(data) is not None:
            start = dword_of(data)
            for i, boot in enumerate(facts):
                if boot["early"] and boot["boot_counter"] == start and boot["tick_before"] == raw:
                    return "dword:tick-before-boot-%d" % (i + 1)
    return "dword:%d" % raw


def value_line(key, name, vtype, data, siblings, facts):
    """name is a printable string; siblings are (name, type, data) of the key."""
    dword = dword_of(data) if vtype == REG_DWORD else None
    lower = name.lower()
    if dword is not None:
        if lower == "lastpackageerror":
            text = "dword:0x%08X" % dword
        elif key.upper() == "PARAMS" and lower == "tickcounter" and facts:
            text = tick_counter_data(dword, facts)
        elif key.upper().startswith("PARAMS\\") and "\\" not in key[7:] and \
                lower == "starttickcounter":
            text = start_tick_counter_data(dword, siblings, facts)
        else:
            text = "dword:%d" % dword
    elif vtype == REG_QWORD and len(data) == 8:
        text = "qword:%d" % int.from_bytes(data, "little")
    elif vtype == REG_SZ:
        text = string_data("sz", data)
    elif vtype == REG_EXPAND_SZ:
        text = string_data("expand_sz", data)
    elif vtype == REG_MULTI_SZ:
        text = multi_data(data)
    else:
        text = "type%d:hex:%s" % (vtype, hex_of(data))
    return "value %s %s = %s" % (key, name if name else "@", text)


def file_line(path, content):
    line = "file %s size=%d" % (path, len(content))
    if len(content) <= 80 and all(0x20 <= c < 0x7F and c != 0x22 for c in content):
        return line + ' content="%s"' % content.decode("ascii")
    value = 0xcbf29ce484222325
    for c in content:
        value = ((value ^ c) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return line + " fnv1a64=%016x" % value


# ---- Wine's registry file ------------------------------------------------

C_ESCAPES = {"a": 7, "b": 8, "t": 9, "n": 10, "v": 11, "f": 12, "r": 13, "e": 27}


def unescape(text, at, end_char):
    """Reads Wine's escaped string from text[at:] up to end_char; returns
    (code units, index after end_char)."""
    units = []
    while at < len(text):
        c = text[at]
        if c == end_char:
            return units, at + 1
        if c != "\\":
            units.extend(units_of(c.encode("utf-16-le")))
            at += 1
            continue
        at += 1
        c = text[at]
        if c == "x":
            digits = re.match(r"[0-9a-fA-F]{1,4}", text[at + 1:]).group(0)
            units.append(int(digits, 16))
            at += 1 + len(digits)
        elif c in "01234567":
            digits = re.match(r"[0-7]{1,3}", text[at:]).group(0)
            units.append(int(digits, 8))
            at += len(digits)
        elif c in C_ESCAPES:
            units.append(C_ESCAPES[c])
            at += 1
        else:
            units.append(ord(c))
            at += 1
    raise Failure("unterminated string in the registry file: " + text)


def data_of_units(units):
    return b"".join(u.to_bytes(2, "little") for u in units)


class WineRegistry:
    """system.reg: keys by lower-cased path, each with its display path and
    values; keys only implied by their subkeys exist too."""

    def __init__(self, path):
        self.keys = {}
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().split("\n")
        current = None
        i = 0
        while i < len(lines):
            line = lines[i]
            i += 1
            if line.startswith("["):
                units, _ = unescape(line, 1, "]")
                current = self._add(printable(units))
                continue
            if current is None or not (line.startswith('"') or line.startswith("@=")):
                continue
            while line.endswith("\\") and i < len(lines):
                line = line[:-1] + lines[i].strip()
                i += 1
            if line.startswith("@="):
                name, at = "", 2
            else:
                units, at = unescape(line, 1, '"')
                name = printable(units)
                if line[at] != "=":
                    raise Failure("bad registry line: " + line)
                at += 1
            current["values"][name.lower()] = (name,) + self._data(line[at:])

    def _add(self, path):
        parts = path.split("\\")
        key = None
        for n in range(1, len(parts) + 1):
            sub = "\\".join(parts[:n])
            key = self.keys.setdefault(sub.lower(), {"path": sub, "values": {}, "subkeys": {}})
            if n > 1:
                self.keys["\\".join(parts[:n - 1]).lower()]["subkeys"][parts[n - 1].lower()] = parts[n - 1]
        return key

    @staticmethod
    def _data(text):
        if text.startswith('"'):
            units, _ = unescape(text, 1, '"')
            return REG_SZ, data_of_units(units + [0])
        m = re.match(r'str\(([0-9a-fA-F]+)\):"', text)
        if m:
            units, _ = unescape(text, m.end(), '"')
            return int(m.group(1), 16), data_of_units(units + [0])
        if text.startswith("dword:"):
            return REG_DWORD, int(text[6:], 16).to_bytes(4, "little")
        m = re.match(r"hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", text)
        if m:
            vtype = int(m.group(1), 16) if m.group(1) else REG_BINARY
            body = m.group(2).replace(" ", "")
            return vtype, bytes(int(b, 16) for b in body.split(",") if b)
        raise Failure("cannot read registry data: " + text)

    def find(self, path):
        key = self.keys.get(path.lower())
        if key is None and "\\currentcontrolset\\" in path.lower() + "\\":
            # A Wine whose CurrentControlSet is a link to ControlSet001.
            key = self.keys.get(re.sub(r"(?i)\\CurrentControlSet(?=\\|$)", r"\\ControlSet001",
                                       path).lower())
        return key


# ---- known differences and the comparison --------------------------------

class Difference:
    def __init__(self, ident, line):
        self.ident = ident
        self.line = line
        self.scenario = None
        self.boots = []
        self.windows = []
        self.wine = []
        self.used = set()


def read_known(path):
    known = []
    with open(path, encoding="utf-8") as f:
        for count, raw in enumerate(f, 1):
            text = raw.strip()
            if not text or text.startswith("#"):
                continue
            keyword, _, rest = text.partition(" ")
            rest = rest.strip()
            if keyword == "difference":
                known.append(Difference(rest, count))
            elif not known:
                raise Failure("%s:%d: a line before the first difference" % (path, count))
            elif keyword == "at":
                parts = rest.split()
                known[-1].scenario = parts[0]
                known[-1].boots = [int(p) for p in parts[1:]]
            elif keyword == "windows":
                known[-1].windows.append(rest)
            elif keyword == "wine":
                known[-1].wine.append(rest)
            else:
                raise Failure("%s:%d: unknown keyword %s" % (path, count, keyword))
    for d in known:
        if not d.scenario or not d.boots or not (d.windows or d.wine):
            raise Failure("%s:%d: difference %s needs at, and windows or wine" % (path, d.line, d.ident))
    return known


def read_outcomes(path):
    boots = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("boot "):
                boots.append({"title": line.strip(), "lines": []})
            elif line.startswith("  ") and boots:
                boots[-1]["lines"].append(line[2:].rstrip("\n"))
    return boots


def write_outcomes(path, outcomes):
    with open(path, "w", encoding="utf-8") as f:
        for boot in outcomes:
            f.write(boot["title"] + "\n")
            for line in boot["lines"]:
                f.write("  " + line + "\n")


def compare(scenarios, sim_dir, wine_runs, known, report):
    """Returns the number of unexplained differences and failed expectations."""
    bad = 0
    for scenario in scenarios:
        sim_path = os.path.join(sim_dir, scenario.name + ".txt")
        if not os.path.exists(sim_path):
            report.append("%s: the simulated run wrote no outcome" % scenario.name)
            bad += 1
            continue
        sim = read_outcomes(sim_path)
        wine = wine_runs[scenario.name].outcomes
        if [b["title"] for b in sim] != [b["title"] for b in wine]:
            report.append("%s: the boots differ: simulated %s, Wine %s" %
                          (scenario.name, [b["title"] for b in sim], [b["title"] for b in wine]))
            bad += 1
            continue
        for index, (s, w) in enumerate(zip(sim, wine), 1):
            only_sim = sorted(set(s["lines"]) - set(w["lines"]))
            only_wine = sorted(set(w["lines"]) - set(s["lines"]))
            translate = {}
            for d in known:
                if d.scenario != scenario.name or index not in d.boots:
                    continue
                if all(l in only_sim for l in d.windows) and all(l in only_wine for l in d.wine):
                    d.used.add(index)
                    for l in d.windows:
                        only_sim.remove(l)
                    for l in d.wine:
                        only_wine.remove(l)
                    for windows_line, wine_line in zip(d.windows, d.wine):
                        translate[windows_line] = wine_line
                    for l in d.windows[len(d.wine):]:
                        translate[l] = None
                    report.append("%s %s: known difference %s" % (scenario.name, s["title"], d.ident))
            for line in only_sim:
                report.append("%s %s: only simulated:  %s" % (scenario.name, s["title"], line))
            for line in only_wine:
                report.append("%s %s: only on Wine:    %s" % (scenario.name, s["title"], line))
            bad += len(only_sim) + len(only_wine)
            for step in w["expectations"]:
                expected = step
                if step.kind == "expect" and step.text in translate:
                    if translate[step.text] is None:
                        continue  # a line Wine does not have, for a known reason
                    expected = Step("expect", step.line, text=translate[step.text])
                present = any(matches(line, expected) for line in w["lines"])
                if present != (step.kind == "expect"):
                    report.append("%s %s: on Wine, scenarios.txt:%d %s: %s" %
                                  (scenario.name, s["title"], step.line,
                                   "missing" if step.kind == "expect" else "present", expected.text))
                    bad += 1
    with open(WINE_DOC, encoding="utf-8") as f:
        doc = f.read()
    for d in known:
        missing = sorted(set(d.boots) - d.used)
        if missing:
            report.append("known difference %s (known_differences.txt:%d) did not occur at boot %s: "
                          "take it out or fix the scenario" % (d.ident, d.line, missing))
            bad += 1
        if d.ident not in doc:
            report.append("known difference %s is not explained in docs/wine.md" % d.ident)
            bad += 1
    return bad
