#!/usr/bin/python3
"""Cross-builds a stand-in for the player with MinGW and the project's packaging rules, and reads
the resources back out of the linked executable: the Windows build really carries the icon group,
version resource and manifest, as a GUI program entered through wWinMain.

Usage: windows_exe_test.py SCRATCH_DIR ICO_FILE VERSION STAGE_CODE VERSION_HEADER
"""

import os
import re
import struct
import subprocess
import sys
import unittest

import windows_resources_test as resources

SCRATCH, ICO_FILE, VERSION, STAGE, VERSION_HEADER = sys.argv[1:6]
del sys.argv[1:6]
HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("TAMSEL_SOURCE_DIR", os.path.join(HERE, "..", ".."))
BUILD = os.path.join(SCRATCH, "build")
EXE = os.path.join(BUILD, "tamselRadio.exe")


def output(*command):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout


_built = False


def build_once():
    """Configures and builds the stand-in once per run; the build is incremental across runs."""
    global _built
    if _built:
        return
    stand_in = os.path.join(HERE, "windows_exe")
    subprocess.run(["cmake", "-S", stand_in, "-B", BUILD, "-G", "Ninja",
                    "--toolchain", os.path.join(stand_in, "mingw-toolchain.cmake"),
                    f"-DTAMSEL_VERSION={VERSION}", f"-DTAMSEL_STAGE={STAGE}", f"-DTAMSEL_SOURCE_DIR={SOURCE}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD], check=True, stdout=subprocess.DEVNULL)
    _built = True


def pe_resources(image):
    """The resource tree of a PE image as {(type, name): (language, bytes)}, like parse_res."""
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    assert image[pe:pe + 4] == b"PE\0\0", "not a PE image"
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    table = pe + 24 + optional_size
    for i in range(sections):
        name, _, address, _, raw = struct.unpack_from("<8sIIII", image, table + 40 * i)
        if name.rstrip(b"\0") == b".rsrc":
            break
    else:
        raise AssertionError("no .rsrc section")

    def directory(offset):
        named, numbered = struct.unpack_from("<HH", image, raw + offset + 12)
        for j in range(named + numbered):
            ident, target = struct.unpack_from("<II", image, raw + offset + 16 + 8 * j)
            if ident & 0x80000000:
                (length,) = struct.unpack_from("<H", image, raw + (ident & 0x7FFFFFFF))
                start = raw + (ident & 0x7FFFFFFF) + 2
                ident = image[start:start + 2 * length].decode("utf-16-le")
            yield ident, target

    found = {}
    for kind, names in directory(0):
        for name, languages in directory(names & 0x7FFFFFFF):
            for language, entry in directory(languages & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", image, raw + entry)
                start = rva - address + raw
                assert (kind, name) not in found, f"resource {kind}/{name} twice"
                found[(kind, name)] = (language, image[start:start + size])
    return found


class ExecutableResourcesTest(resources.CompiledResourcesTest):
    """The checks on the compiled resources, run on what the linker put into the executable."""

    @classmethod
    def setUpClass(cls):
        build_once()
        with open(EXE, "rb") as f:
            cls.resources = pe_resources(f.read())

    @classmethod
    def tearDownClass(cls):
        pass

    def test_manifest_is_embedded_as_resource_1(self):
        _, body = self.resources[(resources.RT_MANIFEST, 1)]
        with open(os.path.join(BUILD, "packaging", "generated", "tamselRadio.exe.manifest"), "rb") as f:
            self.assertEqual(body, f.read())


class ExecutableEntryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        build_once()
        cls.headers = output("x86_64-w64-mingw32-objdump", "-p", EXE)
        cls.symbols = output("x86_64-w64-mingw32-nm", EXE)

    def test_gui_subsystem(self):
        self.assertRegex(self.headers, r"Subsystem\s+00000002\s+\(Windows GUI\)")

    def test_started_through_the_gui_start_up_into_wWinMain(self):
        base = int(re.search(r"ImageBase\s+([0-9a-f]+)", self.headers).group(1), 16)
        entry = int(re.search(r"AddressOfEntryPoint\s+([0-9a-f]+)", self.headers).group(1), 16)
        defined = {name: int(addr, 16) for addr, kind, name in
                   re.findall(r"^([0-9a-f]+) ([TtDdBbRr]) (\S+)$", self.symbols, re.M)}
        self.assertEqual(defined.get("WinMainCRTStartup"), base + entry)
        self.assertIn("wWinMain", defined)
        self.assertNotIn("WinMain", defined)


if __name__ == "__main__":
    resources.ICO_FILE = ICO_FILE
    resources.VERSION_HEADER = VERSION_HEADER
    unittest.main(verbosity=2)
