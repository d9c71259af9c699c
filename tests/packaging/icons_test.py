#!/usr/bin/python3
"""The committed icons are what render-icons makes of the drawing, and the .ico is laid out as
Windows expects an icon group: seven images in the listed sizes and depths."""

import os
import struct
import subprocess
import tempfile
import unittest

SOURCE = os.environ.get("TAMSEL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
ICONS = os.path.join(SOURCE, "packaging", "icons")
RENDERED = ["tamselRadio.ico"] + [f"hicolor/{n}x{n}/apps/tamselRadio.png" for n in (16, 32, 48, 256)]
EXPECTED_GROUP = [(48, 8), (32, 8), (16, 8), (256, 32), (48, 32), (32, 32), (16, 32)]


def ico_entries(data):
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind) == (0, 1), "not an icon file"
    entries = []
    for i in range(count):
        w, h, colours, _, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        entries.append(dict(width=w or 256, height=h or 256, colours=colours, planes=planes, bits=bits,
                            image=data[offset:offset + size]))
    return entries


def png_size(png):
    assert png[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    return struct.unpack(">II", png[16:24])


class RenderedIconsTest(unittest.TestCase):
    def test_committed_files_match_a_fresh_render(self):
        with tempfile.TemporaryDirectory() as out:
            subprocess.run([os.path.join(ICONS, "render-icons"), "--out", out], check=True)
            for name in RENDERED:
                with self.subTest(name=name):
                    with open(os.path.join(ICONS, name), "rb") as committed, \
                            open(os.path.join(out, name), "rb") as fresh:
                        self.assertTrue(committed.read() == fresh.read(),
                                        f"{name} differs from the render; run packaging/icons/render-icons")
            produced = sorted(os.path.relpath(os.path.join(d, f), out) for d, _, fs in os.walk(out) for f in fs)
            self.assertEqual(produced, sorted(RENDERED))

    def test_linux_pngs_have_their_directory_size(self):
        for n in (16, 32, 48, 256):
            with open(os.path.join(ICONS, f"hicolor/{n}x{n}/apps/tamselRadio.png"), "rb") as f:
                png = f.read()
            self.assertEqual(png_size(png), (n, n))
            colour_type = png[25]
            self.assertEqual(colour_type, 6, "icons need an alpha channel")

    def test_ico_holds_the_seven_images_of_the_group(self):
        with open(os.path.join(ICONS, "tamselRadio.ico"), "rb") as f:
            entries = ico_entries(f.read())
        self.assertEqual([(e["width"], e["bits"]) for e in entries], EXPECTED_GROUP)
        for e in entries:
            with self.subTest(size=e["width"], bits=e["bits"]):
                self.assertEqual(e["height"], e["width"])
                self.assertEqual(e["planes"], 1)
                image = e["image"]
                if e["width"] == 256:
                    self.assertEqual(png_size(image), (256, 256))
                    continue
                size, width, height, planes, bits, compression = struct.unpack_from("<IiiHHI", image, 0)
                self.assertEqual((size, width, height, planes, bits, compression),
                                 (40, e["width"], 2 * e["width"], 1, e["bits"], 0))
                palette = 256 * 4 if bits == 8 else 0
                xor_stride = (e["width"] * bits // 8 + 3) // 4 * 4
                and_stride = (e["width"] + 31) // 32 * 4
                self.assertEqual(len(image), 40 + palette + e["width"] * (xor_stride + and_stride))
                mask = image[len(image) - e["width"] * and_stride:]
                # The corners of the drawing are background, the centre is the radio's body.
                self.assertTrue(mask[0] & 0x80, "bottom-left corner should be transparent")
                middle_row = mask[(e["width"] // 2) * and_stride:(e["width"] // 2 + 1) * and_stride]
                self.assertFalse(middle_row[e["width"] // 16] & (0x80 >> (e["width"] // 2 % 8)),
                                 "centre should be opaque")

    def test_8bpp_images_use_a_real_palette(self):
        with open(os.path.join(ICONS, "tamselRadio.ico"), "rb") as f:
            entries = ico_entries(f.read())
        for e in entries[:3]:
            n = e["width"]
            palette = e["image"][40:40 + 1024]
            pixels = e["image"][40 + 1024:40 + 1024 + n * ((n + 3) // 4 * 4)]
            used = {palette[4 * i:4 * i + 3] for i in set(pixels)}
            # A few shades of red, grey and cream at least, not a one-colour blot.
            self.assertGreater(len(used), 8)


if __name__ == "__main__":
    unittest.main(verbosity=2)
