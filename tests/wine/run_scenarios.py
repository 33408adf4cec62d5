#!/usr/bin/env python3
"""Runs the scenarios of tests/wine/scenarios.txt on Wine with the real
qelmbar.sys and on simulated machines (wine_peer_tests), and compares what
every boot left behind.

    run_scenarios.py --kernel-build build/kernel \
                     --sim-test build/host/tests/wine_peer_tests \
                     --work build/wine-scenarios

The Wine side: a fresh prefix under WORK, the test driver bootlinks.sys and
the client qwclient.exe from the kernel build, and qelmbar.sys unchanged.
A boot is one Wine session: the server is started (persistent, so that it
never ends a driver host on its own), the staged registry changes are
imported, bootlinks.sys presents \\SystemRoot as the load needs it,
qelmbar.sys is started, the system root is moved to the volume as a
running system has it, the client may probe the device, and then either
`net stop` unloads the driver (an orderly end) or its host process is
killed (no orderly end; the server keeps the registry and saves it at the
session's end, as a lazy flush before a power loss would).  Once the
session has ended, the lines of the boot are read from the prefix:
system.reg and drive_c.

Both sides write the canonical lines described in scenarios.txt; every
line that differs must be a known difference of Wine listed in
known_differences.txt and explained in docs/wine.md, and every listed
difference must still occur.  Expect lines are checked on both sides.

Exit status: 0 when everything agrees, 1 otherwise (also when Wine cannot
be installed, started or driven: nothing is skipped).  Logs stay in
WORK/logs; the prefix and its server are removed on every path.
"""

import argparse
import math
import os
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SCENARIOS = os.path.join(HERE, "scenarios.txt")
KNOWN = os.path.join(HERE, "known_differences.txt")
WINE_DOC = os.path.join(REPO, "docs", "wine.md")
sys.path.insert(0, os.path.join(REPO, "cmake"))
import check_image  # noqa: E402  (the kernel build's reader of PE images)

DRIVER_SERVICE = "Qelmbar"
FIXTURE_SERVICE = "BootLinks"
HKLM = "HKEY_LOCAL_MACHINE"
SERVICES = "System\\CurrentControlSet\\Services"
PARAMS_PATH = SERVICES + "\\" + DRIVER_SERVICE + "\\Parameters"
FIXTURE_PARAMS = SERVICES + "\\" + FIXTURE_SERVICE + "\\Parameters"
STAGES = {"later": "Volume", "arc": "Arc", "arc-bootdevice": "ArcThroughBootDevice"}

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD = 1, 2, 3, 4, 7, 11

# An orderly early boot lasts at least this long between the end of
# qelmbar's start (its boot pass) and its stop, so that the stop always adds
# at least a second of uptime.
MIN_BOOT_MS = 1200


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


# ---- the Wine session ----------------------------------------------------

def find_program(names, extra):
    for name in names:
        for folder in extra:
            candidate = os.path.join(folder, name)
            if os.access(candidate, os.X_OK):
                return candidate
        found = shutil.which(name)
        if found:
            return found
    return None


class Wine:
    def __init__(self, work, log):
        self.work = work
        self.prefix = os.path.join(work, "prefix")
        self.log = log
        self.server = None
        self.session_log = None
        libdirs = ["/usr/lib/wine", "/usr/lib64/wine", "/opt/wine-stable/bin"]
        self.wine = find_program(["wine64"], libdirs)
        self.wineserver = find_program(["wineserver64", "wineserver"], libdirs)
        if not self.wine or not self.wineserver:
            raise Failure("Wine is not installed: no wine64 or wineserver (Debian: apt-get install wine64)")
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINELOADER"):
            self.env.pop(name, None)
        self.env.update({
            "WINEPREFIX": self.prefix,
            "WINEARCH": "win64",
            "WINESERVER": self.wineserver,
            "WINEDEBUG": os.environ.get("QELMBAR_WINEDEBUG", "-all"),
            "WINEDLLOVERRIDES": "mscoree=d;mshtml=d;winemenubuilder.exe=d",
        })

    def note(self, text):
        self.log.write(text + "\n")
        self.log.flush()

    def run(self, args, timeout=60, check=True, stderr_to=None):
        """A Wine command with a bounded wait; its output goes to the log."""
        started = time.monotonic()
        try:
            done = subprocess.run([self.wine] + args, env=self.env, cwd=self.work,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=stderr_to or subprocess.STDOUT, timeout=timeout)
        except subprocess.TimeoutExpired:
            self.note("$ wine64 %s: no answer within %d s" % (" ".join(args), timeout))
            raise Failure("wine64 %s did not finish within %d s" % (" ".join(args), timeout))
        output = done.stdout.decode("utf-8", "replace")
        self.note("$ wine64 %s  [rc=%d, %.1f s]\n%s" % (" ".join(args), done.returncode,
                                                       time.monotonic() - started, output.rstrip()))
        if check and done.returncode != 0:
            raise Failure("wine64 %s failed (rc=%d): %s" % (" ".join(args), done.returncode,
                                                            output.strip()[-300:]))
        return done.returncode, output

    def server_command(self, args, timeout=30):
        try:
            done = subprocess.run([self.wineserver] + args, env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
            output = done.stdout.decode("utf-8", "replace").strip()
            self.note("$ %s %s  [rc=%d] %s" % (os.path.basename(self.wineserver), " ".join(args),
                                               done.returncode, output))
            return done.returncode
        except subprocess.TimeoutExpired:
            self.note("$ wineserver %s: no answer within %d s" % (" ".join(args), timeout))
            return None

    def create_prefix(self):
        if os.path.exists(self.prefix):
            # Left by a run that could not clean up.
            self.server_command(["-k"], timeout=30)
            self.kill_leftovers()
            shutil.rmtree(self.prefix)
        self.run(["wineboot", "--init"], timeout=180)
        self.server_command(["-w"], timeout=120)
        if not os.path.isfile(os.path.join(self.prefix, "system.reg")):
            raise Failure("wineboot --init made no prefix at " + self.prefix)

    def server_folder(self):
        """Where the server of the prefix keeps its socket.  Debian's Wine
        names a folder of its own below /tmp in the prefix's file
        "wineserver"; upstream Wine uses /tmp/.wine-UID."""
        st = os.stat(self.prefix)
        base = "/tmp/.wine-%d" % os.getuid()
        try:
            with open(os.path.join(self.prefix, "wineserver")) as f:
                name = f.read().strip()
            if name and "/" not in name:
                base = os.path.join("/tmp", name)
        except OSError:
            pass
        return base, os.path.join(base, "server-%x-%x" % (st.st_dev, st.st_ino))

    def socket_path(self):
        return os.path.join(self.server_folder()[1], "socket")

    def start_session(self, name):
        """A persistent server of our own; the first Wine process of the
        session hands its stderr to the services and driver hosts."""
        self.session_log = open(os.path.join(self.work, "logs", "session-%s.log" % name), "w")
        self.server = subprocess.Popen([self.wineserver, "-f", "-p"], env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=self.session_log,
                                       stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while not os.path.exists(self.socket_path()):
            if self.server.poll() is not None:
                raise Failure("wineserver ended at once (rc=%d); see logs/session-%s.log"
                              % (self.server.returncode, name))
            if time.monotonic() > deadline:
                raise Failure("wineserver made no socket within 20 s")
            time.sleep(0.05)
        self.note("== session %s: wineserver pid %d" % (name, self.server.pid))

    def end_session(self):
        """Ends every process of the prefix; the server saves the registry."""
        if self.server is None:
            return
        self.server_command(["-k"], timeout=30)
        try:
            self.server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.note("wineserver did not end; killing pid %d" % self.server.pid)
            self.server.kill()
            self.server.wait(timeout=10)
        self.server = None
        self.kill_leftovers()
        if self.session_log:
            self.session_log.close()
            self.session_log = None

    def prefix_processes(self):
        """Processes started by this prefix's sessions."""
        found = []
        marker = ("WINEPREFIX=" + self.prefix).encode()
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                with open("/proc/%s/environ" % entry, "rb") as f:
                    if marker in f.read().split(b"\0"):
                        found.append(int(entry))
            except OSError:
                pass
        return found

    @staticmethod
    def alive(pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False

    def kill_leftovers(self):
        for pid in self.prefix_processes():
            if self.alive(pid):
                self.note("killing leftover process %d" % pid)
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass

    def driver_host(self, image):
        for pid in self.prefix_processes():
            try:
                with open("/proc/%d/maps" % pid) as f:
                    if image.lower() in f.read().lower() and self.alive(pid):
                        return pid
            except OSError:
                pass
        return None

    def kill_driver_host(self, image):
        """The power goes for the driver: its host dies without an unload."""
        pid = self.driver_host(image)
        if pid is None:
            raise Failure("no process holds " + image)
        self.note("killing the host of %s, pid %d" % (image, pid))
        os.kill(pid, signal.SIGKILL)
        deadline = time.monotonic() + 10
        while self.alive(pid):
            if time.monotonic() > deadline:
                raise Failure("the host of %s did not end" % image)
            time.sleep(0.05)

    def host_path(self, path, create_parents=False):
        """C:\\a\\b in drive_c, each component found ignoring case as Wine
        does; missing components keep the case given."""
        if not path.upper().startswith("C:\\"):
            raise Failure("not a path of C: " + path)
        current = os.path.join(self.prefix, "drive_c")
        for part in [p for p in path[3:].split("\\") if p]:
            match = None
            if os.path.isdir(current):
                for name in os.listdir(current):
                    if name.lower() == part.lower():
                        match = name
                        break
            current = os.path.join(current, match or part)
        if create_parents:
            os.makedirs(os.path.dirname(current), exist_ok=True)
        return current

    def cleanup(self):
        try:
            self.end_session()
        finally:
            self.kill_leftovers()
            if os.path.exists(self.prefix):
                base, folder = self.server_folder()
                shutil.rmtree(folder, ignore_errors=True)
                if base.startswith("/tmp/wine-"):
                    try:
                        os.rmdir(base)
                    except OSError:
                        pass
                shutil.rmtree(self.prefix, ignore_errors=True)


# ---- staging through a registry file -------------------------------------

def reg_path(key):
    """The HKEY_LOCAL_MACHINE path of a scenario key."""
    upper = key.upper()
    if upper == "PARAMS":
        return PARAMS_PATH
    if upper.startswith("PARAMS\\"):
        return PARAMS_PATH + key[6:]
    if upper.startswith("HKLM\\"):
        return key[5:]
    raise Failure("not a key of the scenarios: " + key)


def reg_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def reg_hex(vtype, data):
    return "hex(%x):%s" % (vtype, hex_of(data))


def multi_bytes(strings):
    return "".join(s + "\0" for s in strings).encode("utf-16-le") + b"\0\0"


class RegFile:
    def __init__(self):
        self.sections = []

    def delete_key(self, path):
        self.sections.append("[-%s\\%s]" % (HKLM, path))

    def key(self, path, values=()):
        lines = ["[%s\\%s]" % (HKLM, path)]
        for name, text in values:
            lines.append("%s=%s" % ("@" if name == "" else reg_string(name), text))
        self.sections.append("\n".join(lines))

    def text(self):
        return "Windows Registry Editor Version 5.00\r\n\r\n" + \
            "\r\n\r\n".join(s.replace("\n", "\r\n") for s in self.sections) + "\r\n"


# ---- one scenario on Wine ------------------------------------------------

class WineScenarioRun:
    def __init__(self, wine, scenario, platform):
        self.wine = wine
        self.scenario = scenario
        self.platform = platform
        self.reg = RegFile()
        self.oneshot = []
        self.packages = []
        self.facts = []
        self.tick_counter = 0
        self.outcomes = []

    def reset(self):
        """The state a fresh machine has: none of the watched keys or files."""
        for key in self.scenario.watch_keys:
            self.reg.delete_key(reg_path(key))
        protected = {os.path.normcase(self.wine.host_path(p)) for p in
                     ("C:\\", "C:\\Windows", "C:\\Windows\\System32", "C:\\Windows\\System32\\drivers",
                      "C:\\Windows\\Temp", "C:\\Program Files", "C:\\ProgramData", "C:\\users")}
        for root in self.scenario.watch_files:
            host = self.wine.host_path(root)
            if os.path.normcase(host) in protected:
                raise Failure("%s: a watched tree cannot be a system folder" % root)
            if os.path.isdir(host) and not os.path.islink(host):
                shutil.rmtree(host)
            elif os.path.lexists(host):
                os.remove(host)

    def run(self):
        self.reset()
        for step in self.scenario.steps:
            where = "scenarios.txt:%d" % step.line
            if step.kind == "file":
                with open(self.wine.host_path(step.path, create_parents=True), "wb") as f:
                    f.write(step.text.encode("ascii"))
            elif step.kind == "dir":
                os.makedirs(self.wine.host_path(step.path), exist_ok=True)
            elif step.kind == "key":
                self.reg.key(reg_path(step.key))
            elif step.kind == "value":
                if step.type == "sz":
                    text = reg_string(step.text)
                elif step.type == "dword":
                    text = "dword:%08x" % int(step.text)
                else:
                    text = reg_hex(REG_QWORD, int(step.text).to_bytes(8, "little"))
                self.reg.key(reg_path(step.key), [(step.name, text)])
                if step.key.upper() == "PARAMS" and step.name.lower() == "tickcounter":
                    self.tick_counter = int(step.text) if step.type == "dword" else 0
            elif step.kind == "oneshot":
                self.oneshot.append(step.text)
            elif step.kind == "oneshot-file":
                with open(os.path.join(REPO, step.path), encoding="utf-8") as f:
                    self.oneshot.extend(l.rstrip(" \t\r\n") for l in f if l.strip(" \t\r\n"))
            elif step.kind == "package":
                self.packages.append({"name": step.name, "boot": step.boot_timeout,
                                      "tick": step.tick_timeout, "setup": [], "revert": [],
                                      "clean": []})
            elif step.kind in ("setup", "revert", "clean"):
                self.packages[-1][step.kind].append(step.text)
            elif step.kind == "boot":
                self.boot(step, where)
            elif step.kind in ("expect", "expect-no"):
                if not self.outcomes:
                    raise Failure(where + ": an expectation before the first boot")
                self.outcomes[-1]["expectations"].append(step)

    def stage(self):
        if self.oneshot:
            self.reg.key(PARAMS_PATH, [("BootTimeOperationsList",
                                        reg_hex(REG_MULTI_SZ, multi_bytes(self.oneshot)))])
        for package in self.packages:
            values = [("", reg_string("Package"))]
            for script in ("setup", "revert", "clean"):
                if package[script]:
                    values.append((script.capitalize() + "Operations",
                                   reg_hex(REG_MULTI_SZ, multi_bytes(package[script]))))
            if package["boot"]:
                values.append(("BootTimeout", "dword:%08x" % package["boot"]))
            if package["tick"]:
                values.append(("TickTimeout", "dword:%08x" % package["tick"]))
            self.reg.key(PARAMS_PATH + "\\" + package["name"], values)
        self.oneshot = []
        self.packages = []

    def set_fixture_stage(self, stage):
        self.wine.run(["reg", "add", HKLM + "\\" + FIXTURE_PARAMS, "/v", "Stage", "/t", "REG_SZ",
                       "/d", stage, "/f"])

    def ticks(self):
        _, output = self.wine.run(["C:\\windows\\qwclient.exe", "ticks"])
        m = re.search(r"ticks (\d+)", output)
        if not m:
            raise Failure("qwclient ticks printed no tick count: " + output)
        return int(m.group(1))

    def boot(self, step, where):
        wine = self.wine
        n = len(self.facts) + 1
        early = step.load != "later"
        orderly = step.end == "orderly"
        self.stage()
        self.reg.key(FIXTURE_PARAMS, [("Stage", reg_string(STAGES[step.load]))])
        staging = os.path.join(wine.prefix, "drive_c", "qelmbar-stage.reg")
        with open(staging, "wb") as f:
            f.write(b"\xff\xfe" + self.reg.text().encode("utf-16-le"))
        self.reg = RegFile()

        wine.start_session("%s-%d" % (self.scenario.name, n))
        probe = []
        try:
            # The first process of the session: services and driver hosts
            # inherit its stderr.
            wine.run(["reg", "import", "C:\\qelmbar-stage.reg"], stderr_to=wine.session_log)
            os.remove(staging)
            wine.run(["net", "start", FIXTURE_SERVICE])
            first = self.ticks()
            wine.run(["net", "start", DRIVER_SERVICE])
            # Driver entry, and with it the boot pass, has run by now.
            started = self.ticks()
            if early:
                # The running system's root is on the volume.
                self.set_fixture_stage("Volume")
                wine.run(["net", "stop", FIXTURE_SERVICE])
                wine.run(["net", "start", FIXTURE_SERVICE])
            if step.probe:
                _, output = wine.run(["C:\\windows\\qwclient.exe", "probe"])
                probe = [l.strip() for l in output.splitlines() if l.startswith("status ")]
                if not probe:
                    raise Failure(where + ": qwclient probe printed nothing")
            if orderly:
                if early:
                    now = self.ticks()
                    if now - started < MIN_BOOT_MS:
                        time.sleep((MIN_BOOT_MS - (now - started)) / 1000.0)
                wine.run(["net", "stop", DRIVER_SERVICE])
            else:
                wine.kill_driver_host("qelmbar.sys")
            last = self.ticks()
            wine.run(["net", "stop", FIXTURE_SERVICE])
        finally:
            wine.end_session()

        registry = WineRegistry(os.path.join(wine.prefix, "system.reg"))
        self.platform.record(registry, step.load)
        facts = {"early": early, "orderly": orderly, "tick_before": self.tick_counter,
                 "boot_counter": None}
        if early:
            facts["added_low"] = 1
            facts["added_high"] = int(math.ceil((last - first) / 1000.0)) + 1
        else:
            facts["added_low"] = first // 1000 - 1
            facts["added_high"] = last // 1000 + 1
        params = registry.find(PARAMS_PATH)
        if early and params and "bootcounter" in params["values"]:
            facts["boot_counter"] = dword_of(params["values"]["bootcounter"][2])
        self.facts.append(facts)
        self.tick_counter = 0
        if params and "tickcounter" in params["values"]:
            _, vtype, data = params["values"]["tickcounter"]
            if vtype == REG_DWORD and dword_of(data) is not None:
                self.tick_counter = dword_of(data)

        lines = self.snapshot(registry) + probe
        title = "boot %d %s %s%s" % (n, step.load, step.end, " probe" if step.probe else "")
        self.outcomes.append({"title": title, "lines": sorted(lines), "expectations": []})

    def snapshot(self, registry):
        lines = []
        for root in self.scenario.watch_keys:
            key = registry.find(reg_path(root))
            if key is not None:
                self.list_key(registry, root, key, lines)
        for root in self.scenario.watch_files:
            self.list_files(root, self.wine.host_path(root), lines)
        return lines

    def list_key(self, registry, display, key, lines):
        lines.append("key " + display)
        values = list(key["values"].values())
        for name, vtype, data in values:
            lines.append(value_line(display, name, vtype, data, values, self.facts))
        for name in key["subkeys"].values():
            self.list_key(registry, display + "\\" + name,
                          registry.find(key["path"] + "\\" + name), lines)

    def list_files(self, display, host, lines):
        if not os.path.lexists(host):
            return
        mode = os.lstat(host).st_mode
        if stat.S_ISREG(mode):
            with open(host, "rb") as f:
                lines.append(file_line(display, f.read()))
        elif stat.S_ISDIR(mode):
            lines.append("dir " + display)
            for name in os.listdir(host):
                self.list_files(display + "\\" + name, os.path.join(host, name), lines)
        else:
            lines.append("other " + display)


class Platform:
    """What bootlinks.sys found Wine to offer, against what the simulated
    boots assume (peer_test.cpp, docs/wine.md)."""

    def __init__(self):
        self.facts = {}

    def record(self, registry, load):
        key = registry.find(FIXTURE_PARAMS)
        if key is None:
            raise Failure("bootlinks.sys recorded nothing in " + FIXTURE_PARAMS)
        for name, vtype, data in key["values"].values():
            if name == "ArcPathOpen" and load == "later":
                continue
            self.facts[name] = (vtype, data)

    def check(self):
        problems = []
        report = []

        def dword(name):
            vtype, data = self.facts.get(name, (None, b""))
            return dword_of(data) if vtype == REG_DWORD else None

        arc = dword("ArcPathOpen")
        report.append("ARC system root opened as a directory: %s" %
                      ("never tried" if arc is None else "0x%08X" % arc))
        if arc is not None and arc < 0x80000000:
            problems.append("the ARC path now opens on Wine; the simulated boots assume it does "
                            "not (arcPathOpens in peer_test.cpp)")
        ddi = dword("Windows7DdiAvailable")
        report.append("RtlIsNtDdiVersionAvailable(Windows 7): %s" % ddi)
        if ddi != 0:
            problems.append("RtlIsNtDdiVersionAvailable no longer denies Windows 7 on Wine; the "
                            "simulated boots say Windows 6.0 (peer_test.cpp)")
        vtype, data = self.facts.get("Exported", (None, b""))
        exported = multi_data(data) if vtype == REG_MULTI_SZ else "?"
        report.append("exported: " + exported)
        for name in ("VolumePathOpen", "DosPathOpen"):
            value = dword(name)
            report.append("%s: %s" % (name, "?" if value is None else "0x%08X" % value))
        vtype, data = self.facts.get("DriveCTarget", (None, b""))
        report.append("\\??\\C: -> %s" % (string_data("sz", data) if vtype == REG_SZ else "?"))
        return report, problems


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


# ---- main ----------------------------------------------------------------

def tail(path, count):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return "".join(f.readlines()[-count:])
    except OSError:
        return ""


def install(wine, kernel_build):
    images = {
        "qelmbar.sys": os.path.join(kernel_build, "qelmbar.sys"),
        "bootlinks.sys": os.path.join(kernel_build, "wine", "bootlinks.sys"),
        "qwclient.exe": os.path.join(kernel_build, "wine", "qwclient.exe"),
    }
    for name, path in images.items():
        if not os.path.isfile(path):
            raise Failure("%s is missing: build the kernel build first (%s)" % (name, path))
    drivers = wine.host_path("C:\\windows\\system32\\drivers")
    shutil.copy(images["qelmbar.sys"], os.path.join(drivers, "qelmbar.sys"))
    described = describe_image(os.path.join(drivers, "qelmbar.sys"))
    shutil.copy(images["bootlinks.sys"], os.path.join(drivers, "bootlinks.sys"))
    shutil.copy(images["qwclient.exe"], os.path.join(wine.host_path("C:\\windows"), "qwclient.exe"))
    wine.start_session("install")
    try:
        for service, image in ((FIXTURE_SERVICE, "bootlinks.sys"), (DRIVER_SERVICE, "qelmbar.sys")):
            wine.run(["sc", "create", service, "binPath=",
                      "C:\\windows\\system32\\drivers\\" + image, "type=", "kernel",
                      "start=", "demand"], stderr_to=wine.session_log)
    finally:
        wine.end_session()
    return described


def describe_image(path):
    """One line on the image Wine loads; fails unless it carries its CodeView
    debug directory and no export table."""
    try:
        image = check_image.Image(path)
    except (OSError, ValueError) as e:
        raise Failure("cannot read %s: %s" % (path, e))
    codeview = image.codeview()
    if codeview is None:
        raise Failure("%s has no CodeView debug directory" % path)
    if image.dirs[check_image.DIR_EXPORT] != (0, 0):
        raise Failure("%s has an export table" % path)
    guid, age, pdb = codeview
    data1, data2, data3 = struct.unpack_from("<IHH", guid)
    text = "{%08X-%04X-%04X-%s-%s}" % (data1, data2, data3, guid[8:10].hex().upper(), guid[10:].hex().upper())
    return "qelmbar.sys: debug directory CodeView %s %s age %d, time stamp %s, no export table" % (
        pdb, text, age, time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(image.timestamp)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kernel-build", required=True)
    parser.add_argument("--sim-test", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--deadline", type=int, default=540,
                        help="seconds the whole run may take (default 540)")
    parser.add_argument("--only", help="run this scenario only")
    args = parser.parse_args()

    work = os.path.abspath(args.work)
    logs = os.path.join(work, "logs")
    outcomes = os.path.join(work, "outcomes")
    for folder in (logs, outcomes):
        if os.path.exists(folder):
            shutil.rmtree(folder)
        os.makedirs(folder)
    log = open(os.path.join(logs, "run.log"), "w")
    started = time.monotonic()

    def on_signal(number, frame):
        if number == signal.SIGALRM:
            raise Failure("the run took longer than %d s" % args.deadline)
        raise Failure("stopped by signal %d" % number)

    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGALRM):
        signal.signal(number, on_signal)
    signal.alarm(args.deadline)

    wine = None
    report = []
    status = 1
    try:
        scenarios = read_scenarios(SCENARIOS)
        if args.only:
            scenarios = [s for s in scenarios if s.name == args.only]
        known = [d for d in read_known(KNOWN) if not args.only or d.scenario == args.only]

        print("-- simulated machines (%s)" % os.path.basename(args.sim_test), flush=True)
        sim_dir = os.path.join(outcomes, "sim")
        env = dict(os.environ, QELMBAR_WINE_OUTCOMES=sim_dir)
        sim_filter = "*" if not args.only else "*/" + re.sub(r"[^A-Za-z0-9]", "_", args.only)
        with open(os.path.join(logs, "sim.log"), "w") as sim_log:
            done = subprocess.run([os.path.abspath(args.sim_test), "--gtest_filter=" + sim_filter],
                                  env=env, stdout=sim_log, stderr=subprocess.STDOUT, timeout=300)
        if done.returncode != 0:
            print(tail(os.path.join(logs, "sim.log"), 60))
            raise Failure("the simulated scenarios failed (logs/sim.log)")

        wine = Wine(work, log)
        print("-- Wine: %s, prefix %s" % (wine.wine, wine.prefix), flush=True)
        t = time.monotonic()
        wine.create_prefix()
        image = install(wine, os.path.abspath(args.kernel_build))
        print("   prefix ready in %.0f s" % (time.monotonic() - t), flush=True)
        print("   " + image, flush=True)

        platform = Platform()
        runs = {}
        wine_dir = os.path.join(outcomes, "wine")
        os.makedirs(wine_dir)
        for scenario in scenarios:
            t = time.monotonic()
            run = WineScenarioRun(wine, scenario, platform)
            runs[scenario.name] = run
            try:
                run.run()
            finally:
                write_outcomes(os.path.join(wine_dir, scenario.name + ".txt"), run.outcomes)
            print("   %s: %d boots in %.0f s" % (scenario.name, len(run.outcomes),
                                                  time.monotonic() - t), flush=True)

        facts, problems = platform.check()
        print("-- what Wine offers the driver")
        for line in facts:
            print("   " + line)
        bad = compare(scenarios, sim_dir, runs, known, report)
        for problem in problems:
            report.append("platform: " + problem)
            bad += 1
        with open(os.path.join(work, "comparison.txt"), "w") as f:
            f.write("\n".join(report) + "\n")
        print("-- comparison (%s)" % os.path.join(work, "comparison.txt"))
        for line in report:
            print("   " + line)
        if bad:
            raise Failure("%d unexplained difference(s) between Wine and the simulated machines" % bad)
        print("-- Wine and the simulated machines agree (%d scenarios, %d boots of the qelmbar.sys"
              " above, with its debug directory) in %.0f s" %
              (len(scenarios), sum(len(r.outcomes) for r in runs.values()), time.monotonic() - started))
        status = 0
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
    except Exception as error:  # a fault of the harness itself
        import traceback
        traceback.print_exc()
        print("FAILED: %s" % error, file=sys.stderr)
    finally:
        signal.alarm(0)
        if wine is not None:
            if status != 0 and os.path.exists(os.path.join(wine.prefix, "system.reg")):
                shutil.copy(os.path.join(wine.prefix, "system.reg"), os.path.join(logs, "system.reg"))
            wine.cleanup()
        log.close()
        if status != 0:
            print("---- last lines of %s" % os.path.join(logs, "run.log"), file=sys.stderr)
            print(tail(os.path.join(logs, "run.log"), 60), file=sys.stderr)
            sessions = sorted((os.path.getmtime(os.path.join(logs, n)), n)
                              for n in os.listdir(logs) if n.startswith("session-"))
            if sessions:
                name = sessions[-1][1]
                print("---- last lines of %s" % os.path.join(logs, name), file=sys.stderr)
                print(tail(os.path.join(logs, name), 30), file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
