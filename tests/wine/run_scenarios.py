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

# The scenario grammar, the canonical lines, Wine's registry file and the
# comparison (HERE, REPO and WINE_DOC with them) live in scenario_common.py;
# this file drives Wine.
from scenario_common import *  # noqa: F401,F403

SCENARIOS = os.path.join(HERE, "scenarios.txt")
KNOWN = os.path.join(HERE, "known_differences.txt")
sys.path.insert(0, os.path.join(REPO, "cmake"))
import check_image  # noqa: E402  (the kernel build's reader of PE images)

DRIVER_SERVICE = "Qelmbar"
FIXTURE_SERVICE = "BootLinks"
HKLM = "HKEY_LOCAL_MACHINE"
SERVICES = "System\\CurrentControlSet\\Services"
PARAMS_PATH = SERVICES + "\\" + DRIVER_SERVICE + "\\Parameters"
FIXTURE_PARAMS = SERVICES + "\\" + FIXTURE_SERVICE + "\\Parameters"

# An orderly early boot lasts at least this long between the end of
# qelmbar's start (its boot pass) and its stop, so that the stop always adds
# at least a second of uptime.
MIN_BOOT_MS = 1200


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
