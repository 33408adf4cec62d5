#!/usr/bin/env python3
"""The deepest static call chain through the driver's own frames.

    stack_budget.py [--budget BYTES] [--objdump TOOL] [--quiet] OBJECT...

OBJECT are the kernel build's object files; beside each, the compiler's
-fstack-usage file (entry.cpp.obj -> entry.cpp.su) gives the frame of every
routine in it.  A routine's frame is what it allocates (callee-saved
registers, locals, spill slots and the home space of the calls it makes)
plus the 8 bytes of the return address its caller pushed.  The call graph
comes from the objects' relocations: a direct call or jump to a routine of
the driver is an edge; a call through an import (__imp_*) or through a
pointer goes into the kernel, whose frames are not the driver's and are not
counted.  (The driver calls routines of its own only directly: the pointers
to routines it holds are the kernel's, looked up with
MmGetSystemRoutineAddress.)

Fails (exit status 1) when a frame is dynamic (alloca), when routines call
each other in a cycle (recursion has no static bound), when a routine of
the driver has no frame size, or when the deepest chain exceeds the budget
(8 KiB by default, a third of the 24 KiB x64 kernel stack, leaving the rest
to the kernel routines the driver calls and to whoever called it).
Prints the deepest chain, one routine a line with its frame, unless --quiet
(then only a one-line summary).
"""

import argparse
import os
import re
import subprocess
import sys

DEFAULT_BUDGET = 8 * 1024
RETURN_ADDRESS = 8

SYMBOL = re.compile(r"^\[\s*\d+\]\(sec\s+(-?\d+)\)\(fl 0x[0-9a-f]+\)\(ty\s+([0-9a-f]+)\)\(scl\s+(\d+)\) \(nx \d\) 0x[0-9a-f]+ (\S+)$")
FUNCTION_LABEL = re.compile(r"^[0-9a-f]+ <(.+)>:$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$")
RELOCATION = re.compile(r"^\s*([0-9a-f]+):\s+IMAGE_REL_AMD64_(\S+)\s+(\S+)$")
DIRECT_TRANSFER = ("call", "callq", "jmp", "jmpq")


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def demangle(names):
    try:
        out = subprocess.run(["c++filt"], input="\n".join(names), check=True,
                             capture_output=True, text=True).stdout.splitlines()
        if len(out) == len(names):
            return dict(zip(names, out))
    except (OSError, subprocess.CalledProcessError):
        pass
    return {n: n for n in names}


def su_path(obj):
    return os.path.splitext(obj)[0] + ".su"


def read_frames(obj, faults):
    frames = {}
    path = su_path(obj)
    try:
        with open(path) as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if len(parts) != 3:
                    continue
                name = parts[0].rsplit(":", 1)[-1] if ":" in parts[0] else parts[0]
                size, kind = int(parts[1]), parts[2]
                if kind not in ("static", "dynamic,bounded"):
                    faults.append("%s has a %s frame (%s)" % (name, kind, path))
                frames[name] = size
    except OSError:
        pass  # an object without routines has none; a routine without a frame size fails below
    return frames


def analyse(objects, objdump):
    faults = []
    frame = {}          # node -> bytes
    edges = {}          # node -> set of nodes
    where = {}          # node -> object
    globals_ = {}       # external name -> node
    pending = []        # (caller node, object, target name)

    for obj in objects:
        frames = read_frames(obj, faults)
        local_functions, defined = set(), set()
        for line in run([objdump, "-t", obj]).splitlines():
            m = SYMBOL.match(line)
            if not m or int(m.group(1)) <= 0:
                continue
            if int(m.group(2), 16) == 0x20:  # a function
                name, scl = m.group(4), int(m.group(3))
                defined.add(name)
                if scl == 3:
                    local_functions.add(name)
                node = (obj, name) if scl == 3 else name
                if scl != 3:
                    if name in globals_:
                        faults.append("%s is defined twice" % name)
                    globals_[name] = node
                where[node] = obj
                edges.setdefault(node, set())
                if name in frames:
                    frame[node] = frames[name] + RETURN_ADDRESS
                else:
                    faults.append("no frame size for %s in %s (compile with -fstack-usage)" % (name, su_path(obj)))
        current, last = None, None
        for line in run([objdump, "-dr", "--no-show-raw-insn", obj]).splitlines():
            m = FUNCTION_LABEL.match(line)
            if m:
                name = m.group(1)
                current = ((obj, name) if name in local_functions else name) if name in defined else None
                last = None
                continue
            m = RELOCATION.match(line)
            if m:
                target = m.group(3)
                if (current is not None and last is not None and last[1] in DIRECT_TRANSFER
                        and not last[2].startswith("*") and int(m.group(1), 16) == last[0] + 1):
                    pending.append((current, obj, target, target in local_functions))
                continue
            m = INSTRUCTION.match(line)
            if m:
                last = (int(m.group(1), 16), m.group(2), m.group(3))

    kernel = set()
    for caller, obj, target, local in pending:
        if local:
            callee = (obj, target)
        elif target in globals_:
            callee = globals_[target]
        else:
            kernel.add(target)  # an import thunk of the kernel (memset, ...)
            continue
        edges[caller].add(callee)
    return frame, edges, where, kernel, faults


def deepest(frame, edges, faults):
    depth, via = {}, {}
    state = {}

    def visit(node, stack):
        if state.get(node) == "done":
            return
        if state.get(node) == "open":
            cycle = stack[stack.index(node):] + [node]
            faults.append("recursion: " + " -> ".join(name_of(n) for n in cycle))
            return
        state[node] = "open"
        stack.append(node)
        best, best_callee = 0, None
        for callee in sorted(edges.get(node, ()), key=name_of):
            visit(callee, stack)
            if depth.get(callee, 0) > best:
                best, best_callee = depth[callee], callee
        stack.pop()
        state[node] = "done"
        depth[node] = frame.get(node, 0) + best
        via[node] = best_callee

    for node in sorted(frame, key=name_of):
        visit(node, [])
    if not depth:
        return 0, []
    top = max(sorted(depth, key=name_of), key=lambda n: depth[n])
    chain = []
    node = top
    while node is not None:
        chain.append(node)
        node = via.get(node)
    return depth[top], chain


def name_of(node):
    return node[1] if isinstance(node, tuple) else node


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--budget", type=int, default=DEFAULT_BUDGET)
    parser.add_argument("--objdump", default="llvm-objdump")
    parser.add_argument("--quiet", action="store_true")
    parser.add_argument("objects", nargs="+")
    args = parser.parse_args()

    try:
        frame, edges, where, kernel, faults = analyse(args.objects, args.objdump)
    except (OSError, subprocess.CalledProcessError) as e:
        print("stack budget: cannot read the objects: %s" % e, file=sys.stderr)
        return 1
    total, chain = deepest(frame, edges, faults)
    names = demangle([name_of(n) for n in chain])
    over = total > args.budget
    summary = "stack budget: deepest chain of the driver's own frames %d bytes (%d routines), budget %d bytes%s" % (
        total, len(chain), args.budget, ": OVER BUDGET" if over else "")
    print(summary)
    if not args.quiet or over:
        for node in chain:
            print("  %6d  %s (%s)" % (frame[node], names[name_of(node)],
                                      os.path.basename(os.path.splitext(where[node])[0])))
        print("  (%d routines of the driver in %d objects; calls into the kernel not counted)" % (
            len(frame), len(args.objects)))
    for fault in faults:
        print("stack budget: %s" % fault, file=sys.stderr)
    return 1 if over or faults else 0


if __name__ == "__main__":
    sys.exit(main())
