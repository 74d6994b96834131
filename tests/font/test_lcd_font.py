#!/usr/bin/python3
"""Checks the committed LCDp font and icons against their sources and against
the cell rules the panel's layout depends on."""

import os
import struct
import subprocess
import tempfile
import sys
import unittest
from xml.etree import ElementTree
from pathlib import Path

from fontTools.ttLib import TTFont

ROOT = Path(os.environ.get("OSTRELLE_SOURCE_DIR") or Path(__file__).resolve().parents[2])
RESOURCES = ROOT / "panel" / "resources"
sys.path.insert(0, str(ROOT / "tools"))
GLYPHS = RESOURCES / "lcd_glyphs.txt"
FONT = RESOURCES / "LCDp.ttf"
EM, CELL = 40, 30
DRAWN = range(0x01, 0x0E)
WIDE = {0x02, 0x0B, 0x66}  # the only codes allowed into the gap x 25..29
FILLED = -1  # winding number inside a clockwise contour


def run_tool(name, *args):
    return subprocess.run(["/usr/bin/python3", str(ROOT / "tools" / name), *map(str, args)],
                          capture_output=True, text=True)


def coverage(font, name):
    """Winding number at the centre of each font unit of the cell, as [y][x]."""
    glyf = font["glyf"]
    glyph = glyf[name]
    edges = []
    if glyph.numberOfContours > 0:
        coords, ends, _ = glyph.getCoordinates(glyf)
        start = 0
        for end in ends:
            points = list(coords[start:end + 1])
            edges += zip(points, points[1:] + points[:1])
            start = end + 1
    grid = []
    for y in range(EM):
        cy = y + 0.5
        hits = [(x0 + (cy - y0) * (x1 - x0) / (y1 - y0), 1 if y1 > y0 else -1)
                for (x0, y0), (x1, y1) in edges if (y0 <= cy) != (y1 <= cy)]
        grid.append([sum(d for hx, d in hits if hx > x + 0.5) for x in range(CELL)])
    return grid


def dots_of(grid):
    return ["".join("#" if grid[37 - 5 * r][5 * c + 2] == FILLED else "." for c in range(6))
            for r in range(7)]


def grid_of(dots):
    grid = [[0] * CELL for _ in range(EM)]
    for r, row in enumerate(dots):
        for c, dot in enumerate(row):
            for y in range(35 - 5 * r, 39 - 5 * r):
                for x in range(5 * c, 5 * c + 4):
                    grid[y][x] = FILLED if dot == "#" else 0
    return grid


def png_size(path):
    return struct.unpack(">II", Path(path).read_bytes()[16:24])


class FontFileTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.font = TTFont(FONT)

    def test_committed_font_is_a_fresh_build_of_the_source(self):
        with tempfile.TemporaryDirectory() as tmp:
            out = Path(tmp) / "LCDp.ttf"
            result = run_tool("make_lcd_font.py", GLYPHS, out)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(out.read_bytes(), FONT.read_bytes(),
                             "rerun tools/make_lcd_font.py and commit LCDp.ttf")

    def test_names_and_vertical_metrics(self):
        f = self.font
        names = {i: f["name"].getDebugName(i) for i in (1, 2, 4, 6)}
        self.assertEqual(names, {1: "LCDp", 2: "Regular", 4: "LCDp", 6: "LCDp"})
        self.assertEqual(f["head"].unitsPerEm, EM)
        self.assertEqual((f["hhea"].ascent, f["hhea"].descent, f["hhea"].lineGap), (EM, 0, 0))
        os2 = f["OS/2"]
        self.assertEqual((os2.sTypoAscender, os2.sTypoDescender, os2.sTypoLineGap,
                          os2.usWinAscent, os2.usWinDescent), (EM, 0, 0, EM, 0))

    def test_every_byte_and_its_private_use_copy_reach_the_same_glyph(self):
        order = self.font.getGlyphOrder()
        self.assertEqual(len(order), 257)
        tables = {(t.platformID, t.platEncID): t for t in self.font["cmap"].tables}
        self.assertEqual(set(tables), {(0, 3), (3, 1)})
        for table in tables.values():
            self.assertEqual(table.format, 4)
            for v in range(256):
                self.assertEqual(table.cmap[v], order[v + 1], hex(v))
                self.assertEqual(table.cmap[0xE000 + v], order[v + 1], hex(v))

    def test_advances(self):
        cmap, hmtx = self.font.getBestCmap(), self.font["hmtx"]
        for v in range(256):
            expected = 14 if 0x03 <= v <= 0x07 else 20 if v == 0x14 else CELL
            self.assertEqual(hmtx[cmap[v]][0], expected, hex(v))


class GlyphShapeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        font = TTFont(FONT)
        cmap = font.getBestCmap()
        cls.glyf = font["glyf"]
        cls.names = {v: cmap[v] for v in range(256)}
        cls.grids = {v: coverage(font, cls.names[v]) for v in range(256)}

    def test_outlines_wind_clockwise_and_never_overlap(self):
        for v, grid in self.grids.items():
            self.assertLessEqual({w for row in grid for w in row}, {0, FILLED}, hex(v))

    def test_only_space_is_blank(self):
        blank = [v for v, grid in self.grids.items() if not any(FILLED in row for row in grid)]
        self.assertEqual(blank, [0x20])

    def test_only_wide_codes_reach_into_the_gap(self):
        reaching = {v for v, grid in self.grids.items() if any(FILLED in row[25:] for row in grid)}
        self.assertEqual(reaching, WIDE)

    def test_dot_glyphs_are_squares_on_the_pitch(self):
        for v, grid in self.grids.items():
            if v in DRAWN:
                continue
            dots = dots_of(grid)
            self.assertEqual(grid, grid_of(dots), "0x%02X is not made of whole dots" % v)
            if v == 0x14:
                self.assertFalse(any(row[4] == "#" for row in dots), "0x14 is wider than 20")

    def test_sample_patterns(self):
        expected = {
            0x41: [".###.", "#...#", "#...#", "#...#", "#####", "#...#", "#...#"],
            0x30: [".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."],
            0x80: [".###.", "#...#", "#....", "#...#", ".###.", "..#..", ".##.."],
            0x66: ["...###", "..#...", "..#...", "####..", "..#...", "..#...", "..#..."],
        }
        for v, rows in expected.items():
            self.assertEqual(dots_of(self.grids[v]), [r.ljust(6, ".") for r in rows], hex(v))

    def bbox(self, v):
        g = self.glyf[self.names[v]]
        return (g.xMin, g.yMin, g.xMax, g.yMax)

    def test_drawn_symbols(self):
        for i, top in enumerate((14, 19, 24, 29, 34)):
            self.assertEqual(self.bbox(0x03 + i), (0, 4, 9, top))
        self.assertEqual(self.bbox(0x01), (0, 4, 25, 39))
        self.assertEqual(self.bbox(0x02), (0, 9, 28, 29))
        self.assertEqual(self.bbox(0x08), (0, 9, 24, 34))
        self.assertEqual(self.bbox(0x09), (0, 9, 24, 34))
        self.assertEqual(self.grids[0x08][33][1], FILLED)  # wide edge at the top
        self.assertEqual(self.grids[0x09][10][1], FILLED)  # wide edge at the bottom
        for v in range(0x0A, 0x0E):
            x0, y0, x1, y1 = self.bbox(v)
            self.assertTrue(x0 >= 0 and y0 >= 4 and y1 <= 39, hex(v))
        # The holes must really be holes: window, keyhole slot, battery inside.
        self.assertEqual([self.grids[0x01][y][x] for x, y in ((7, 31), (12, 20), (12, 6))],
                         [0, 0, FILLED])
        self.assertEqual([self.grids[0x02][y][x] for x, y in ((12, 20), (0, 20), (27, 20))],
                         [0, FILLED, FILLED])


class GeneratorRejectsTest(unittest.TestCase):
    def block(self, lines, code):
        return next(i for i, line in enumerate(lines) if line.startswith("0x%02X " % code))

    def test_malformed_sources(self):
        def drop_block(lines, at): del lines[at:at + 8]
        def drop_row(lines, at): del lines[at + 3]
        def widen_row(lines, at): lines[at + 1] += "."
        def bad_dot(lines, at): lines[at + 1] = "o" + lines[at + 1][1:]
        def overflow(lines, at): lines[at + 2] = "#####"
        cases = [(0x41, drop_block, "missing codes: 0x41"),
                 (0x42, drop_row, "has 6 dot rows"),
                 (0x43, widen_row, "is 6 wide"),
                 (0x44, bad_dot, "'o'"),
                 (0x14, overflow, "outside the 20-unit advance")]
        good = GLYPHS.read_text(encoding="utf-8").split("\n")
        for code, edit, message in cases:
            with self.subTest(edit.__name__), tempfile.TemporaryDirectory() as tmp:
                lines = list(good)
                edit(lines, self.block(lines, code))
                source, out = Path(tmp) / "glyphs.txt", Path(tmp) / "out.ttf"
                source.write_text("\n".join(lines), encoding="utf-8")
                result = run_tool("make_lcd_font.py", source, out)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stderr)
                self.assertFalse(out.exists())


class IconTest(unittest.TestCase):
    def test_icons_are_a_fresh_build(self):
        with tempfile.TemporaryDirectory() as tmp:
            result = run_tool("make_icon.py", tmp)
            self.assertEqual(result.returncode, 0, result.stderr)
            for size in (48, 32, 16):
                name = "icon%d.png" % size
                self.assertEqual((Path(tmp) / name).read_bytes(),
                                 (RESOURCES / name).read_bytes(), name)
                self.assertEqual(png_size(RESOURCES / name), (size, size))
            self.assertEqual((Path(tmp) / "icon.svg").read_bytes(), (RESOURCES / "icon.svg").read_bytes())

    def test_the_svg_is_the_48_pixel_picture(self):
        # Each rectangle paints its run of pixels; painted in order they give
        # back every opaque pixel of the PNG's picture and nothing else.
        import make_icon
        svg = ElementTree.parse(RESOURCES / "icon.svg").getroot()
        self.assertEqual((svg.get("width"), svg.get("height"), svg.get("viewBox")), ("48", "48", "0 0 48 48"))
        painted = {}
        for rect in svg:
            x, y, width = (int(rect.get(k)) for k in ("x", "y", "width"))
            self.assertEqual(rect.get("height"), "1")
            for column in range(x, x + width):
                painted[(column, y)] = rect.get("fill")
        expected = {(x, y): "#%02x%02x%02x" % pixel[:3]
                    for y, row in enumerate(make_icon.parse_art(make_icon.ICON48))
                    for x, pixel in enumerate(row) if pixel[3]}
        self.assertEqual(painted, expected)


if __name__ == "__main__":
    unittest.main()
