#!/usr/bin/python3
"""Compiles the generated resource script with the MinGW resource compiler and reads the
compiled .res back: the version resource, the icon group and the embedded manifest. Also checks
the manifest itself as XML.

Usage: windows_resources_test.py RC_FILE MANIFEST_FILE ICO_FILE [VERSION_HEADER]
"""

import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

# Set from the command line, or by a test module that reuses the checks below.
RC_FILE = MANIFEST_FILE = ICO_FILE = VERSION_HEADER = None

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24

EXPECTED_STRINGS = {
    "FileVersion": "1.1.8.0",
    "ProductName": "tamselRadio",
    "OriginalFilename": "tamselRadio.exe",
    "Release": "Final",
    "FileDescription": "tamselRadio",
    "ProductVersion": "1.1.8",
    "InternalName": "",
    "LongVersion": "",
    "PackageInfo": "",
    "CompanyName": "Tamsel Radio",
    "LegalCopyright": "Copyright Tamsel Radio",
}


def align4(n):
    return (n + 3) & ~3


def read_id(data, pos):
    """A resource type or name: 0xFFFF and an ordinal, or a NUL-terminated UTF-16 string."""
    (first,) = struct.unpack_from("<H", data, pos)
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, pos + 2)[0], pos + 4
    end = pos
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[pos:end].decode("utf-16-le"), end + 2


def parse_res(data):
    """The entries of a 32-bit .res file as {(type, name): (language, bytes)}."""
    resources = {}
    pos = 0
    while pos < len(data):
        data_size, header_size = struct.unpack_from("<II", data, pos)
        kind, p = read_id(data, pos + 8)
        name, p = read_id(data, p)
        p = align4(p)
        _, _, language, _, _ = struct.unpack_from("<IHHII", data, p)
        body = data[pos + header_size:pos + header_size + data_size]
        if not (data_size == 0 and kind == 0):  # the leading empty entry marks a 32-bit .res
            assert (kind, name) not in resources, f"resource {kind}/{name} twice"
            resources[(kind, name)] = (language, body)
        pos = align4(pos + header_size + data_size)
    return resources


def parse_version_node(data, pos=0):
    """One node of VS_VERSIONINFO: (key, value bytes, is text, children)."""
    length, value_length, is_text = struct.unpack_from("<HHH", data, pos)
    end = pos + length
    key_start = pos + 6
    key_end = key_start
    while struct.unpack_from("<H", data, key_end)[0] != 0:
        key_end += 2
    key = data[key_start:key_end].decode("utf-16-le")
    p = align4(key_end + 2)
    value_bytes = value_length * 2 if is_text else value_length
    value = data[p:p + value_bytes]
    p = align4(p + value_bytes)
    children = []
    while p < end:
        child, p = parse_version_node(data, p)
        children.append(child)
        p = align4(p)
    return (key, value, is_text, children), end


def text(value):
    return value.decode("utf-16-le").rstrip("\0")


class CompiledResourcesTest(unittest.TestCase):
    @classmethod
    def compile(cls, res):
        """Writes the compiled resources to the file res."""
        # The script includes no headers, so the host's C preprocessor does for windres.
        subprocess.run(["x86_64-w64-mingw32-windres", "--preprocessor=cpp", "-O", "res",
                        "-i", RC_FILE, "-o", res], check=True)

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        res = os.path.join(cls.tmp.name, "tamselRadio.res")
        cls.compile(res)
        with open(res, "rb") as f:
            cls.resources = parse_res(f.read())

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_only_the_expected_resources_are_present(self):
        kinds = sorted({kind for kind, _ in self.resources})
        self.assertEqual(kinds, [RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST])
        for language, _ in self.resources.values():
            self.assertEqual(language, 0x0409)

    def test_version_fixed_part(self):
        _, body = self.resources[(RT_VERSION, 1)]
        (key, value, is_text, _), _ = parse_version_node(body)
        self.assertEqual(key, "VS_VERSION_INFO")
        self.assertEqual(is_text, 0)
        self.assertEqual(len(value), 52)
        (signature, _, file_ms, file_ls, product_ms, product_ls, _, flags, os_code, file_type, subtype,
         date_ms, date_ls) = struct.unpack("<13I", value)
        self.assertEqual(signature, 0xFEEF04BD)
        self.assertEqual((file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF), (1, 1, 8, 0))
        self.assertEqual((product_ms >> 16, product_ms & 0xFFFF, product_ls >> 16, product_ls & 0xFFFF),
                         (1, 1, 8, 0))
        self.assertEqual(flags, 0)
        self.assertEqual(os_code, 4)
        self.assertEqual(file_type, 1)
        self.assertEqual((subtype, date_ms, date_ls), (0, 0, 0))

    def test_version_string_table_and_translation(self):
        _, body = self.resources[(RT_VERSION, 1)]
        (_, _, _, children), _ = parse_version_node(body)
        self.assertEqual([c[0] for c in children], ["StringFileInfo", "VarFileInfo"])
        string_info, var_info = children

        tables = string_info[3]
        self.assertEqual([t[0] for t in tables], ["040904B0"])
        entries = tables[0][3]
        keys = [e[0] for e in entries]
        self.assertEqual(keys, list(EXPECTED_STRINGS), "keys missing, extra or out of order")
        for key, value, is_text, _ in entries:
            with self.subTest(key=key):
                self.assertEqual(is_text, 1)
                self.assertEqual(text(value), EXPECTED_STRINGS[key])

        translations = var_info[3]
        self.assertEqual([t[0] for t in translations], ["Translation"])
        self.assertEqual(struct.unpack("<HH", translations[0][1]), (0x0409, 1200))

    def test_version_agrees_with_the_application_version_data(self):
        if not VERSION_HEADER:
            self.skipTest("no version header given")
        with open(VERSION_HEADER) as f:
            constants = dict(re.findall(r"\bk(\w+) = (\d+);", f.read()))
        app = tuple(int(constants[k]) for k in ("Major", "Minor", "Bug", "NonRelease"))
        _, body = self.resources[(RT_VERSION, 1)]
        (_, value, _, children), _ = parse_version_node(body)
        file_ms, file_ls = struct.unpack_from("<II", value, 8)
        self.assertEqual((file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF), app)
        strings = {e[0]: text(e[1]) for e in children[0][3][0][3]}
        self.assertEqual(strings["FileVersion"], ".".join(map(str, app)))
        self.assertEqual(constants["StageCode"], "3")
        self.assertEqual(strings["Release"], "Final")

    def test_icon_group_lists_the_seven_images_of_the_ico(self):
        groups = [name for kind, name in self.resources if kind == RT_GROUP_ICON]
        self.assertEqual(groups, ["IDI_ICON1"], "Qt looks the window icon up by this name")
        _, group = self.resources[(RT_GROUP_ICON, groups[0])]
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual((reserved, kind, count), (0, 1, 7))

        with open(ICO_FILE, "rb") as f:
            ico = f.read()
        listed = []
        for i in range(count):
            w, h, _, _, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            listed.append((w or 256, bits))
            self.assertEqual((h or 256, planes), (w or 256, 1))
            # The image stored under that id is the ico file's image, byte for byte.
            _, _, _, _, _, _, ico_size, ico_offset = struct.unpack_from("<BBBBHHII", ico, 6 + 16 * i)
            _, image = self.resources[(RT_ICON, icon_id)]
            self.assertEqual(size, len(image))
            self.assertTrue(image == ico[ico_offset:ico_offset + ico_size], f"icon image {i} differs")
        self.assertEqual(listed, [(48, 8), (32, 8), (16, 8), (256, 32), (48, 32), (32, 32), (16, 32)])

    def test_manifest_is_embedded_as_resource_1(self):
        _, body = self.resources[(RT_MANIFEST, 1)]
        with open(MANIFEST_FILE, "rb") as f:
            self.assertEqual(body, f.read())


ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = [
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10
]


class ManifestTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = ET.parse(MANIFEST_FILE).getroot()  # raises on malformed XML

    def test_assembly_identity(self):
        self.assertEqual(self.root.tag, ASM_V1 + "assembly")
        self.assertEqual(self.root.get("manifestVersion"), "1.0")
        identities = self.root.findall(ASM_V1 + "assemblyIdentity")
        self.assertEqual(len(identities), 1)
        self.assertEqual(identities[0].attrib, {"version": "1.1.8.0", "processorArchitecture": "*",
                                                "name": "tamselRadio.exe", "type": "win32"})

    def test_compatibility_lists_windows_7_to_10(self):
        apps = self.root.findall(f"{COMPAT}compatibility/{COMPAT}application")
        self.assertEqual(len(apps), 1)
        ids = [os_.get("Id") for os_ in apps[0].findall(COMPAT + "supportedOS")]
        self.assertEqual(ids, SUPPORTED_OS)

    def test_execution_level(self):
        levels = self.root.findall(f".//{ASM_V3}requestedExecutionLevel")
        self.assertEqual(len(levels), 1)
        self.assertEqual(levels[0].attrib, {"level": "asInvoker", "uiAccess": "False"})
        self.assertIsNotNone(self.root.find(f"{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges"))

    def test_common_controls_dependency(self):
        deps = self.root.findall(f"{ASM_V1}dependency/{ASM_V1}dependentAssembly/{ASM_V1}assemblyIdentity")
        self.assertEqual(len(deps), 1)
        self.assertEqual(deps[0].attrib, {"type": "win32", "name": "Microsoft.Windows.Common-Controls",
                                          "version": "6.0.0.0", "processorArchitecture": "*",
                                          "publicKeyToken": "6595b64144ccf1df", "language": "*"})

    def test_no_dpi_awareness_is_declared(self):
        # High-DPI support is switched on at run time; a manifest setting would override it.
        for element in self.root.iter():
            self.assertNotIn("dpiaware", element.tag.lower())
            self.assertNotIn("dpiawareness", element.tag.lower())


if __name__ == "__main__":
    RC_FILE, MANIFEST_FILE, ICO_FILE = sys.argv[1:4]
    VERSION_HEADER = sys.argv[4] if len(sys.argv) > 4 else None
    del sys.argv[1:5]
    unittest.main(verbosity=2)
