#!/usr/bin/env python3
"""Checks examples/windows/qelmbar.inf: a primitive driver package (no
Manufacturer or Models sections, DefaultInstall.NTamd64 with its Services
section, an uninstall marked LegacyUninstall) that installs the boot-start
service exactly as `qelmbar install` writes it.  Exits 1 naming each
difference."""
import re
import sys
from pathlib import Path

root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
text = (root / "examples/windows/qelmbar.inf").read_text(encoding="utf-8-sig")

sections = {}
current = None
for raw in text.splitlines():
    line = raw.split(";", 1)[0].strip()
    if not line:
        continue
    m = re.fullmatch(r"\[([^\]]+)\]", line)
    if m:
        current = sections.setdefault(m.group(1).lower(), {})
        continue
    if current is not None:
        key, _, value = line.partition("=")
        current[key.strip().lower()] = value.strip()

strings = {k: v.strip('"') for k, v in sections.get("strings", {}).items()}


def expand(value):
    return re.sub(r"%(\w+)%", lambda m: strings.get(m.group(1).lower(), m.group(0)), value)


faults = []


def want(section, key, expected):
    got = sections.get(section, {}).get(key)
    if got is None or expand(got).strip('"') != expected:
        faults.append(f"[{section}] {key}: want {expected!r}, found {got!r}")


for absent in ("manufacturer",):
    if absent in sections:
        faults.append(f"[{absent}] present: a primitive driver package has no device models")
for needed in ("version", "defaultinstall.ntamd64", "defaultinstall.ntamd64.services",
               "defaultuninstall.ntamd64", "defaultuninstall.ntamd64.services"):
    if needed not in sections:
        faults.append(f"[{needed}] missing")
want("version", "signature", "$WINDOWS NT$")
want("version", "pnplockdown", "1")
want("defaultuninstall.ntamd64", "legacyuninstall", "1")
service = sections.get("defaultinstall.ntamd64.services", {}).get("addservice", "")
parts = [p.strip() for p in service.split(",")]
if len(parts) < 3 or expand(parts[0]) != "Qelmbar":
    faults.append(f"AddService {service!r}: the service must be Qelmbar")
else:
    install = parts[2].lower()
    # What `qelmbar install` writes for the service.
    want(install, "servicetype", "1")
    want(install, "starttype", "0")
    want(install, "errorcontrol", "1")
    want(install, "loadordergroup", "Boot Bus Extender")
    want(install, "servicebinary", "%12%\\qelmbar.sys")

for fault in faults:
    print("qelmbar.inf:", fault)
sys.exit(1 if faults else 0)
