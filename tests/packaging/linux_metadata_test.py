#!/usr/bin/python3
"""The generated desktop entry and AppStream metainfo pass their validators and say what the
player is.

Usage: linux_metadata_test.py DESKTOP_FILE METAINFO_FILE
"""

import configparser
import os
import re
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET

DESKTOP_FILE, METAINFO_FILE = sys.argv[1:3]
del sys.argv[1:3]


def run(*command):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


class DesktopEntryTest(unittest.TestCase):
    def test_validator_accepts_it_without_remarks(self):
        result = run("desktop-file-validate", DESKTOP_FILE)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(result.stdout.strip(), "", "hints and warnings too are to be fixed")

    def test_names_the_player(self):
        entry = configparser.ConfigParser(interpolation=None)
        entry.optionxform = str
        entry.read(DESKTOP_FILE, encoding="utf-8")
        group = entry["Desktop Entry"]
        self.assertEqual(group["Type"], "Application")
        self.assertEqual(group["Name"], "tamselRadio")
        self.assertEqual(group["Exec"], "tamselRadio")
        self.assertEqual(group["Icon"], "tamselRadio")
        categories = group["Categories"].rstrip(";").split(";")
        self.assertIn("Audio", categories)
        self.assertIn("Player", categories)


class MetainfoTest(unittest.TestCase):
    def test_validator_accepts_it(self):
        result = run("appstreamcli", "validate", "--no-net", "--pedantic", METAINFO_FILE)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertNotIn("W:", result.stdout)
        self.assertNotIn("E:", result.stdout)

    def test_describes_release_1_1_8_of_the_desktop_entry(self):
        root = ET.parse(METAINFO_FILE).getroot()
        self.assertEqual(root.get("type"), "desktop-application")
        self.assertEqual(root.findtext("name"), "tamselRadio")
        self.assertEqual(root.findtext("launchable"), "tamselRadio.desktop")
        self.assertEqual(root.findtext("provides/binary"), "tamselRadio")
        releases = [r.get("version") for r in root.findall("releases/release")]
        self.assertEqual(releases, ["1.1.8"])
        self.assertTrue(METAINFO_FILE.endswith(root.findtext("id") + ".metainfo.xml"))

    def test_licence_and_screenshots_are_those_of_the_copyright_file_and_the_readme(self):
        root = ET.parse(METAINFO_FILE).getroot()
        # The generated copyright file sits beside the metainfo.
        with open(os.path.join(os.path.dirname(METAINFO_FILE), "copyright"), encoding="utf-8") as f:
            licences = set(re.findall(r"(?m)^License: (\S+)$", f.read()))
        self.assertEqual(licences, {"proprietary"})
        self.assertEqual(root.findtext("project_license"), "LicenseRef-proprietary")

        source = os.environ.get("TAMSEL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
        with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
            readme_images = re.findall(r"\]\(docs/screenshots/([^)]+)\)", f.read())
        images = [i.text for i in root.findall("screenshots/screenshot/image")]
        self.assertTrue(all(i.startswith("https://tamselradio.com/") for i in images), images)
        self.assertEqual(sorted(os.path.basename(i) for i in images), sorted(readme_images))
        self.assertEqual([s.get("type") for s in root.findall("screenshots/screenshot")][0], "default")

    def test_says_any_different_version_is_offered(self):
        text = " ".join(" ".join(p.itertext()) for p in ET.parse(METAINFO_FILE).getroot().findall("description/p"))
        offer = [s for s in re.split(r"(?<=\.)\s+", " ".join(text.split())) if "offers" in s]
        self.assertEqual(len(offer), 1, text)
        self.assertIn("differs", offer[0])
        self.assertNotRegex(offer[0], r"\bnewer (one|version) (has been|is) released")


if __name__ == "__main__":
    unittest.main(verbosity=2)
