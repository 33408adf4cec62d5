#!/usr/bin/env python3
"""The driver image after its link.

    check_image.py stamp --source DIR IMAGE
        Sets the image's time stamp (file header and every debug directory
        entry) to the commit time of DIR's checked-out commit, or to
        SOURCE_DATE_EPOCH when that is set, and then the PE checksum.  The
        same commit gives the same stamp, so the image is reproducible and
        the stamp still says which commit it was built from.

    check_image.py check [--source DIR] [--pdb PDB] [--pdbutil TOOL] IMAGE
        Fails (exit status 1, one line per fault) unless the image is what
        a Windows x64 kernel driver of ours must be; see CHECKS below.
        --source also checks the stamp against the commit; --pdb checks
        that PDB is the one the debug directory names (GUID and age);
        --pdbutil (llvm-pdbutil) checks that it holds the driver's routines
        and types.
"""

import argparse
import os
import struct
import subprocess
import sys

IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_LARGE_ADDRESS_AWARE = 0x0020
IMAGE_FILE_DLL = 0x2000
# Executable, large-address aware; no DLL, no stripped relocations.
EXPECTED_CHARACTERISTICS = IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_LARGE_ADDRESS_AWARE
# HIGH_ENTROPY_VA | DYNAMIC_BASE | NX_COMPAT, nothing else.
EXPECTED_DLL_CHARACTERISTICS = 0x0020 | 0x0040 | 0x0100
IMAGE_SUBSYSTEM_NATIVE = 1
OLDEST_WINDOWS = (6, 1)
ALLOWED_IMPORTS = ("ntoskrnl.exe", "hal.dll")
IMAGE_DEBUG_TYPE_CODEVIEW = 2
SCN_CNT_CODE = 0x00000020
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000

DIR_EXPORT, DIR_IMPORT, DIR_EXCEPTION, DIR_SECURITY, DIR_BASERELOC, DIR_DEBUG = 0, 1, 3, 4, 5, 6
DIR_TLS = 9
# Sections whose contents only a C or C++ runtime would act on: static
# initialisers and terminators, thread-local storage.  A driver has none.
RUNTIME_SECTIONS = (".CRT", ".ctors", ".dtors", ".init_array", ".fini_array", ".tls")

# What the PDB must hold: routines and types of the driver.
PDB_ROUTINES = ("GsDriverEntry", "DriverEntry", "RunOperationList", "ParseOperationList")
PDB_TYPES = ("DriverContext", "OperationRecord", "_DRIVER_OBJECT")

CHECKS = """\
machine x64, PE32+; Characteristics exactly EXECUTABLE_IMAGE | LARGE_ADDRESS_AWARE (no DLL);
time stamp not zero (and the commit's with --source), the same in every debug directory entry;
OS and subsystem versions 6.1; native subsystem; DllCharacteristics exactly
HIGH_ENTROPY_VA | DYNAMIC_BASE | NX_COMPAT; PE checksum set and right;
no export directory and no .edata; imports from ntoskrnl.exe and hal.dll only;
exception (unwind) and base relocation directories present; no certificate;
entry point in an executable section; no section both writable and executable;
no section of static initialisers or thread-local storage, no TLS directory;
a CodeView (RSDS) debug directory entry naming qelmbar.pdb without a directory
(with --pdb: the PDB's GUID and age match it; with --pdbutil: it holds the
driver's routines and types)."""


class Image:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = bytearray(f.read())
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise ValueError("not a PE image (no MZ header)")
        self.pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[self.pe:self.pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image (no PE signature)")
        fh = self.pe + 4
        (self.machine, nsections, self.timestamp, _, _, optsize,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, fh)
        self.stamp_offset = fh + 4
        self.opt = fh + 20
        o = self.opt
        self.magic = struct.unpack_from("<H", d, o)[0]
        if self.magic != 0x20B:
            raise ValueError("not a PE32+ image")
        self.entry = struct.unpack_from("<I", d, o + 16)[0]
        self.os_version = struct.unpack_from("<HH", d, o + 40)
        self.subsystem_version = struct.unpack_from("<HH", d, o + 48)
        self.checksum_offset = o + 64
        self.checksum = struct.unpack_from("<I", d, self.checksum_offset)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, o + 68)
        ndirs = struct.unpack_from("<I", d, o + 108)[0]
        self.dirs = [struct.unpack_from("<II", d, o + 112 + 8 * i) for i in range(min(ndirs, 16))]
        self.dirs += [(0, 0)] * (16 - len(self.dirs))
        self.sections = []
        table = o + optsize
        for i in range(nsections):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", d, table + 40 * i)
            flags = struct.unpack_from("<I", d, table + 40 * i + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), va, max(vsize, rawsize),
                                  rawptr, rawsize, flags))

    def section_of(self, rva):
        for s in self.sections:
            if s[1] <= rva < s[1] + s[2]:
                return s
        return None

    def offset(self, rva):
        s = self.section_of(rva)
        if s is None or rva - s[1] >= s[4]:
            raise ValueError("RVA 0x%x is not in the file" % rva)
        return s[3] + rva - s[1]

    def cstring(self, rva):
        off = self.offset(rva)
        end = self.data.index(b"\0", off)
        return self.data[off:end].decode("latin-1")

    def imports(self):
        rva, size = self.dirs[DIR_IMPORT]
        names = []
        if rva == 0:
            return names
        off = self.offset(rva)
        while True:
            desc = struct.unpack_from("<IIIII", self.data, off)
            if desc == (0, 0, 0, 0, 0):
                return names
            names.append(self.cstring(desc[3]))
            off += 20

    def debug_entries(self):
        """(offset of the entry, type, time stamp, file offset, size) of each."""
        rva, size = self.dirs[DIR_DEBUG]
        entries = []
        if rva == 0:
            return entries
        base = self.offset(rva)
        for i in range(size // 28):
            off = base + 28 * i
            _, stamp, _, _, dtype, dsize, _, dptr = struct.unpack_from("<IIHHIIII", self.data, off)
            entries.append((off, dtype, stamp, dptr, dsize))
        return entries

    def codeview(self):
        """(GUID bytes, age, PDB name) of the RSDS record, or None."""
        for _, dtype, _, ptr, size in self.debug_entries():
            if dtype == IMAGE_DEBUG_TYPE_CODEVIEW and size >= 24 and self.data[ptr:ptr + 4] == b"RSDS":
                guid = bytes(self.data[ptr + 4:ptr + 20])
                age = struct.unpack_from("<I", self.data, ptr + 20)[0]
                end = self.data.index(b"\0", ptr + 24)
                return guid, age, self.data[ptr + 24:end].decode("utf-8")
        return None

    def compute_checksum(self):
        d = self.data
        total = 0
        n = len(d)
        padded = d + b"\0" if n % 2 else d
        for (word,) in struct.iter_unpack("<H", padded):
            total += word
        # The checksum field itself counts as zero.
        lo, hi = struct.unpack_from("<HH", d, self.checksum_offset)
        total -= lo + hi
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        return (total + n) & 0xFFFFFFFF

    def write(self):
        with open(self.path + ".tmp", "wb") as f:
            f.write(self.data)
        os.replace(self.path + ".tmp", self.path)


def commit_time(source):
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch:
        return int(epoch)
    try:
        out = subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"],
                             check=True, capture_output=True, text=True).stdout.strip()
        return int(out)
    except (OSError, subprocess.CalledProcessError, ValueError):
        sys.exit("check_image: %s is not a git checkout; set SOURCE_DATE_EPOCH to the "
                 "time the image should carry" % source)


def stamp(args):
    image = Image(args.image)
    when = commit_time(args.source)
    struct.pack_into("<I", image.data, image.stamp_offset, when)
    for off, _, _, _, _ in image.debug_entries():
        struct.pack_into("<I", image.data, off + 4, when)
    struct.pack_into("<I", image.data, image.checksum_offset, 0)
    struct.pack_into("<I", image.data, image.checksum_offset, image.compute_checksum())
    with open(args.image, "rb") as f:
        if f.read() == image.data:
            return  # already stamped: the file and its time are left alone
    image.write()


def read_pdb_info(path):
    """(GUID bytes, age) from the PDB information stream (stream 1) of an MSF 7 file."""
    with open(path, "rb") as f:
        d = f.read()
    magic = b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"
    if not d.startswith(magic):
        raise ValueError("not an MSF 7 PDB")
    block, _, nblocks, dirbytes, _, mapblock = struct.unpack_from("<IIIIII", d, len(magic))
    ndirblocks = (dirbytes + block - 1) // block
    dirblocks = struct.unpack_from("<%dI" % ndirblocks, d, mapblock * block)
    directory = b"".join(d[b * block:(b + 1) * block] for b in dirblocks)[:dirbytes]
    nstreams = struct.unpack_from("<I", directory, 0)[0]
    sizes = struct.unpack_from("<%dI" % nstreams, directory, 4)
    pos = 4 + 4 * nstreams
    streams = []
    for size in sizes:
        count = 0 if size == 0xFFFFFFFF else (size + block - 1) // block
        streams.append((size, struct.unpack_from("<%dI" % count, directory, pos)))
        pos += 4 * count
    size, blocks = streams[1]
    info = b"".join(d[b * block:(b + 1) * block] for b in blocks)[:size]
    _, _, age = struct.unpack_from("<III", info, 0)
    return bytes(info[12:28]), age


def pdb_lacks(pdbutil, pdb):
    """Routines and types the PDB should hold and does not."""
    def dump(*what):
        return subprocess.run([pdbutil, "dump", *what, pdb], check=True,
                              capture_output=True, text=True).stdout
    symbols = dump("-symbols")
    types = dump("-types")
    missing = ["routine " + r for r in PDB_ROUTINES if "`%s`" % r not in symbols]
    missing += ["type " + t for t in PDB_TYPES if "`%s`" % t not in types]
    return missing


def check(args):
    image = Image(args.image)
    faults = []

    def expect(ok, message):
        if not ok:
            faults.append(message)

    expect(image.machine == 0x8664, "machine is 0x%04x, not x64" % image.machine)
    expect(image.characteristics == EXPECTED_CHARACTERISTICS,
           "Characteristics are 0x%04x, not 0x%04x%s" % (
               image.characteristics, EXPECTED_CHARACTERISTICS,
               " (the DLL flag is set)" if image.characteristics & IMAGE_FILE_DLL else ""))
    expect(image.timestamp != 0, "the time stamp is zero")
    if args.source:
        when = commit_time(args.source)
        expect(image.timestamp == when,
               "the time stamp is %d, not %d (the commit's)" % (image.timestamp, when))
    expect(image.os_version == OLDEST_WINDOWS, "OS version is %d.%d, not 6.1" % image.os_version)
    expect(image.subsystem_version == OLDEST_WINDOWS,
           "subsystem version is %d.%d, not 6.1" % image.subsystem_version)
    expect(image.subsystem == IMAGE_SUBSYSTEM_NATIVE, "subsystem is %d, not native" % image.subsystem)
    expect(image.dll_characteristics == EXPECTED_DLL_CHARACTERISTICS,
           "DllCharacteristics are 0x%04x, not 0x%04x" % (
               image.dll_characteristics, EXPECTED_DLL_CHARACTERISTICS))
    expect(image.checksum != 0, "the checksum is not set")
    expect(image.checksum == image.compute_checksum(),
           "the checksum is 0x%08x, the file's is 0x%08x" % (image.checksum, image.compute_checksum()))
    expect(image.dirs[DIR_EXPORT] == (0, 0), "the image has an export directory")
    expect(all(s[0] != ".edata" for s in image.sections), "the image has an .edata section")
    imports = image.imports()
    expect(bool(imports), "the image imports nothing")
    for name in imports:
        expect(name.lower() in ALLOWED_IMPORTS, "the image imports from %s" % name)
    expect(image.dirs[DIR_EXCEPTION][0] != 0, "the image has no exception (unwind) directory")
    expect(image.dirs[DIR_BASERELOC][0] != 0, "the image has no base relocations")
    expect(image.dirs[DIR_SECURITY] == (0, 0), "the image carries a certificate already")
    entry = image.section_of(image.entry)
    expect(image.entry != 0 and entry is not None and entry[5] & SCN_MEM_EXECUTE,
           "the entry point is not in an executable section")
    for name, _, _, _, _, flags in image.sections:
        expect(not (flags & SCN_MEM_WRITE and flags & (SCN_MEM_EXECUTE | SCN_CNT_CODE)),
               "section %s is writable and executable" % name)
    for name, _, _, _, _, _ in image.sections:
        expect(name not in RUNTIME_SECTIONS,
               "section %s needs a runtime the kernel does not have" % name)
    expect(image.dirs[DIR_TLS] == (0, 0), "the image has a TLS directory")
    entries = image.debug_entries()
    expect(bool(entries), "the image has no debug directory")
    for _, dtype, when, _, _ in entries:
        expect(when == image.timestamp,
               "debug directory entry of type %d has time stamp %d, the image %d" % (
                   dtype, when, image.timestamp))
    cv = image.codeview()
    expect(cv is not None, "the debug directory has no CodeView (RSDS) entry")
    if cv is not None:
        guid, age, name = cv
        expect(name == "qelmbar.pdb", "the CodeView entry names %r, not qelmbar.pdb" % name)
        if args.pdb:
            try:
                pdb_guid, pdb_age = read_pdb_info(args.pdb)
                expect(pdb_guid == guid and pdb_age == age,
                       "%s does not match the image (GUID or age differ)" % args.pdb)
                if args.pdbutil:
                    for what in pdb_lacks(args.pdbutil, args.pdb):
                        faults.append("%s lacks %s" % (args.pdb, what))
            except (OSError, ValueError, struct.error, subprocess.CalledProcessError) as e:
                faults.append("cannot read %s: %s" % (args.pdb, e))
    for fault in faults:
        print("check_image: %s: %s" % (args.image, fault), file=sys.stderr)
    return 1 if faults else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("stamp")
    p.add_argument("--source", required=True)
    p.add_argument("image")
    p = sub.add_parser("check")
    p.add_argument("--source")
    p.add_argument("--pdb")
    p.add_argument("--pdbutil")
    p.add_argument("image")
    sub.add_parser("list", help="print what check verifies")
    args = parser.parse_args()
    if args.command == "list":
        print(CHECKS)
        return 0
    try:
        if args.command == "stamp":
            stamp(args)
            return 0
        return check(args)
    except (OSError, ValueError, struct.error) as e:
        print("check_image: %s: %s" % (args.image, e), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
