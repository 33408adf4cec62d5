#!/usr/bin/env python3
"""Tests of the kernel build's own checks: the image check refuses every
kind of image it must refuse, and the stack budget refuses recursion,
dynamic frames and a chain over budget.

    test_build_checks.py KERNEL_BUILD

KERNEL_BUILD holds a built qelmbar.sys and qelmbar.pdb; each case changes
one thing in a copy of the image, or compiles a few routines with the
kernel build's compiler, and expects the exact fault.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_image  # noqa: E402

BUILD = None
CHECK = [sys.executable, os.path.join(HERE, "check_image.py")]
BUDGET = [sys.executable, os.path.join(HERE, "stack_budget.py")]


def tool(*names):
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    raise unittest.SkipTest("none of %s is installed" % ", ".join(names))


class ImageCheck(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.image = os.path.join(self.dir, "qelmbar.sys")
        self.pdb = os.path.join(self.dir, "qelmbar.pdb")
        shutil.copy(os.path.join(BUILD, "qelmbar.sys"), self.image)
        shutil.copy(os.path.join(BUILD, "qelmbar.pdb"), self.pdb)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def check(self, *extra):
        done = subprocess.run(CHECK + ["check", "--pdb", self.pdb, *extra, self.image],
                              capture_output=True, text=True)
        return done.returncode, [line.split(": ", 2)[2] for line in done.stderr.splitlines()]

    def change(self, edit, checksum=True):
        """Applies edit(image) to the copy; keeps its checksum right unless told."""
        image = check_image.Image(self.image)
        edit(image)
        if checksum:
            struct.pack_into("<I", image.data, image.checksum_offset, image.compute_checksum())
        image.write()

    def test_the_built_image_passes(self):
        self.assertEqual(self.check(), (0, []))

    def test_the_stamp_is_the_commit_time_in_header_and_debug_directory(self):
        env = dict(os.environ, SOURCE_DATE_EPOCH="1700000000")
        subprocess.run(CHECK + ["stamp", "--source", HERE, self.image], env=env, check=True)
        image = check_image.Image(self.image)
        self.assertEqual(image.timestamp, 1700000000)
        self.assertEqual([e[2] for e in image.debug_entries()], [1700000000])
        self.assertEqual(image.checksum, image.compute_checksum())
        done = subprocess.run(CHECK + ["check", "--source", HERE, self.image], env=env)
        self.assertEqual(done.returncode, 0)
        env["SOURCE_DATE_EPOCH"] = "1700000001"
        done = subprocess.run(CHECK + ["check", "--source", HERE, self.image], env=env,
                              capture_output=True, text=True)
        self.assertIn("the time stamp is 1700000000, not 1700000001 (the commit's)", done.stderr)

    def test_header_fields_each_refused(self):
        def at(field, fmt, *values):
            return lambda image: struct.pack_into(fmt, image.data, field(image), *values)
        cases = [
            (at(lambda i: i.pe + 4 + 18, "<H", 0x2022),
             "Characteristics are 0x2022, not 0x0022 (the DLL flag is set)"),
            (at(lambda i: i.opt + 40, "<HH", 4, 0), "OS version is 4.0, not 6.1"),
            (at(lambda i: i.opt + 48, "<HH", 5, 2), "subsystem version is 5.2, not 6.1"),
            (at(lambda i: i.opt + 68, "<H", 2), "subsystem is 2, not native"),
            (at(lambda i: i.opt + 70, "<H", 0x8160), "DllCharacteristics are 0x8160, not 0x0160"),
            (at(lambda i: i.opt + 112, "<II", 0x1000, 0x40), "the image has an export directory"),
        ]
        for edit, fault in cases:
            with self.subTest(fault=fault):
                shutil.copy(os.path.join(BUILD, "qelmbar.sys"), self.image)
                self.change(edit)
                self.assertEqual(self.check(), (1, [fault]))

    def test_a_zero_time_stamp_is_refused_in_header_and_debug_directory(self):
        def zero(image):
            struct.pack_into("<I", image.data, image.stamp_offset, 0)
        stamp = check_image.Image(self.image).timestamp
        self.change(zero)
        self.assertEqual(self.check(), (1, [
            "the time stamp is zero",
            "debug directory entry of type 2 has time stamp %d, the image 0" % stamp]))

    def test_a_wrong_or_missing_checksum_is_refused(self):
        right = check_image.Image(self.image).checksum
        self.change(lambda i: struct.pack_into("<I", i.data, i.checksum_offset, right + 1), checksum=False)
        self.assertEqual(self.check(), (1, ["the checksum is 0x%08x, the file's is 0x%08x" % (right + 1, right)]))
        self.change(lambda i: struct.pack_into("<I", i.data, i.checksum_offset, 0), checksum=False)
        self.assertEqual(self.check(), (1, ["the checksum is not set",
                                            "the checksum is 0x00000000, the file's is 0x%08x" % right]))

    def test_an_import_from_another_module_is_refused(self):
        def rename(image):
            off = image.data.index(b"ntoskrnl.exe\0")
            image.data[off:off + 12] = b"kernel32.dll"
        self.change(rename)
        self.assertEqual(self.check(), (1, ["the image imports from kernel32.dll"]))

    def test_a_writable_code_section_is_refused(self):
        def writable(image):
            table = image.opt + struct.unpack_from("<H", image.data, image.pe + 4 + 16)[0]
            flags = struct.unpack_from("<I", image.data, table + 36)[0]
            struct.pack_into("<I", image.data, table + 36, flags | check_image.SCN_MEM_WRITE)
        self.change(writable)
        self.assertEqual(self.check(), (1, ["section .text is writable and executable"]))

    def test_a_section_of_static_initialisers_is_refused(self):
        def ctors(image):
            table = image.opt + struct.unpack_from("<H", image.data, image.pe + 4 + 16)[0]
            names = [struct.unpack_from("<8s", image.data, table + 40 * i)[0].rstrip(b"\0")
                     for i in range(len(image.sections))]
            struct.pack_into("<8s", image.data, table + 40 * names.index(b".data"), b".CRT")
        self.change(ctors)
        self.assertEqual(self.check(), (1, ["section .CRT needs a runtime the kernel does not have"]))

    def test_debug_directory_and_pdb_must_match(self):
        image = check_image.Image(self.image)
        off, _, _, ptr, _ = image.debug_entries()[0]

        def other_guid(image):
            image.data[ptr + 4] ^= 0xFF
        self.change(other_guid)
        self.assertEqual(self.check(), (1, ["%s does not match the image (GUID or age differ)" % self.pdb]))

        def other_name(image):
            name = image.data.index(b"qelmbar.pdb", ptr)
            image.data[name:name + 3] = b"xyz"
        shutil.copy(os.path.join(BUILD, "qelmbar.sys"), self.image)
        self.change(other_name)
        self.assertEqual(self.check(), (1, ["the CodeView entry names 'xyzmbar.pdb', not qelmbar.pdb"]))

        def not_codeview(image):
            struct.pack_into("<I", image.data, off + 12, 16)  # IMAGE_DEBUG_TYPE_REPRO
        shutil.copy(os.path.join(BUILD, "qelmbar.sys"), self.image)
        self.change(not_codeview)
        self.assertEqual(self.check(), (1, ["the debug directory has no CodeView (RSDS) entry"]))

    def test_the_pdb_holds_the_driver_routines_and_types(self):
        pdbutil = tool("llvm-pdbutil-14", "llvm-pdbutil")
        self.assertEqual(check_image.pdb_lacks(pdbutil, self.pdb), [])


class StackBudget(unittest.TestCase):
    """Routines compiled with the kernel build's compiler and flags."""

    SOURCE = r"""
        extern "C" void *__builtin_alloca(unsigned long long);
        static int Leaf(volatile char *p) { return p[0]; }
        int Middle(int n) { volatile char big[1000]; big[0] = (char)n; return Leaf(big); }
        int Top(int n) { volatile char big[500]; big[0] = (char)n; return Middle(n) + big[0]; }
        int Even(int n);
        int Odd(int n) { return n == 0 ? 0 : Even(n - 1); }
        int Even(int n) { return n == 0 ? 1 : Odd(n - 1); }
        int Dynamic(int n) { volatile char *p = (volatile char *)__builtin_alloca(n); p[0] = 1; return p[0]; }
    """

    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.obj = os.path.join(self.dir, "routines.cpp.obj")
        self.objdump = tool("llvm-objdump-14", "llvm-objdump")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def compile(self, *keep):
        lines = [l for l in self.SOURCE.splitlines() if not l.strip() or any(k in l for k in keep)]
        src = os.path.join(self.dir, "routines.cpp")
        with open(src, "w") as f:
            f.write("\n".join(lines))
        subprocess.run([tool("clang++-14", "clang++"), "--target=x86_64-w64-mingw32", "-ffreestanding",
                        "-fno-exceptions", "-fstack-usage", "-c", src, "-o", self.obj], check=True)

    def budget(self, *extra):
        done = subprocess.run(BUDGET + ["--objdump", self.objdump, *extra, self.obj],
                              capture_output=True, text=True)
        return done.returncode, done.stdout, done.stderr

    def frames(self):
        with open(os.path.join(self.dir, "routines.cpp.su")) as f:
            return {l.split("\t")[0].rsplit(":", 1)[1]: int(l.split("\t")[1]) for l in f}

    def test_the_deepest_chain_adds_frames_and_return_addresses(self):
        self.compile("Leaf", "Middle", "Top")
        su = self.frames()
        total = su["_Z3Topi"] + su["_Z6Middlei"] + su["_ZL4LeafPVc"] + 3 * 8
        rc, out, err = self.budget()
        self.assertEqual((rc, err), (0, ""))
        self.assertIn("deepest chain of the driver's own frames %d bytes (3 routines)" % total, out)
        self.assertEqual([l.split()[1] for l in out.splitlines()[1:4]], ["Top(int)", "Middle(int)", "Leaf(char"])
        rc, out, _ = self.budget("--budget", str(total - 1))
        self.assertEqual(rc, 1)
        self.assertIn("budget %d bytes: OVER BUDGET" % (total - 1), out)

    def test_recursion_is_refused(self):
        self.compile("Even", "Odd")
        rc, _, err = self.budget()
        self.assertEqual(rc, 1)
        self.assertIn("recursion: _Z3Oddi -> _Z4Eveni -> _Z3Oddi", err)

    def test_a_dynamic_frame_is_refused(self):
        self.compile("alloca", "Dynamic")
        rc, _, err = self.budget()
        self.assertEqual(rc, 1)
        self.assertIn("_Z7Dynamici has a dynamic frame", err)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()
