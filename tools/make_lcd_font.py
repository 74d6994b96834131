#!/usr/bin/python3
"""Build the LCDp TrueType font from its glyph source.

usage: make_lcd_font.py GLYPHS.txt OUT.ttf

The source format is described in the comment header of
panel/resources/lcd_glyphs.txt. The output depends only on the source, so a
rebuild from an unchanged source gives the same bytes.
"""

import re
import sys

from fontTools.fontBuilder import FontBuilder
from fontTools.pens.ttGlyphPen import TTGlyphPen

EM = 40  # one em is exactly one character cell high
CELL = 30  # default advance: five dot columns and the gap after them
ROWS = 7
COLUMNS = 5
PITCH = 5
DOT = 4
BASE = 5  # bottom edge of the lowest dot row; the band under it stays dark
VERSION = "1.000"
# 2024-01-01 00:00:00 UTC as seconds since 1904. A fixed date keeps the file
# byte-for-byte reproducible.
TIMESTAMP = 3786912000

HEADER = re.compile(r"0x([0-9A-Fa-f]{2})(?:\s+(.*))?$")


class SourceError(Exception):
    def __init__(self, line, message):
        super().__init__(message)
        self.line = line


def glyph_name(code):
    return "c%02X" % code


def signed_area(points):
    """Shoelace area: positive for a counter-clockwise contour (y up)."""
    total = 0
    for (x0, y0), (x1, y1) in zip(points, points[1:] + points[:1]):
        total += x0 * y1 - x1 * y0
    return total / 2


def wound(points, clockwise):
    """TrueType fills clockwise contours; a hole must run the other way."""
    if (signed_area(points) < 0) != clockwise:
        return points[::-1]
    return points


def rectangle(x0, y0, x1, y1):
    return [(x0, y0), (x0, y1), (x1, y1), (x1, y0)]


def dot_square(row, column):
    x = PITCH * column
    y = BASE + PITCH * (ROWS - 1 - row)
    return rectangle(x, y, x + DOT, y + DOT)


class Glyph:
    def __init__(self, code, line):
        self.code = code
        self.line = line
        self.advance = CELL
        self.columns = COLUMNS
        self.rows = []
        self.contours = []  # shape contours, already wound

    def fail(self, line, message):
        raise SourceError(line, "code 0x%02X: %s" % (self.code, message))

    def set_attribute(self, line, word, value):
        if self.rows or self.contours:
            self.fail(line, "'%s' must come before the glyph's rows or shapes" % word)
        try:
            number = int(value)
        except ValueError:
            self.fail(line, "'%s' needs a whole number, got '%s'" % (word, value))
        if word == "advance":
            if not 1 <= number <= CELL:
                self.fail(line, "advance must be 1..%d, got %d" % (CELL, number))
            self.advance = number
        else:
            if number not in (COLUMNS, COLUMNS + 1):
                self.fail(line, "columns must be %d or %d, got %d" % (COLUMNS, COLUMNS + 1, number))
            self.columns = number

    def add_row(self, line, text):
        if self.contours:
            self.fail(line, "a glyph has either dot rows or shapes, not both")
        bad = sorted(set(text) - set("#."))
        if bad:
            self.fail(line, "dot rows may only hold '#' and '.', found %r" % "".join(bad))
        if len(text) != self.columns:
            self.fail(line, "dot row is %d wide, must be %d" % (len(text), self.columns))
        if len(self.rows) == ROWS:
            self.fail(line, "more than %d dot rows" % ROWS)
        for column, dot in enumerate(text):
            if dot == "#" and PITCH * column + DOT >= self.advance:
                self.fail(line, "dot in column %d lies outside the %d-unit advance"
                          % (column, self.advance))
        self.rows.append(text)

    def add_shape(self, line, word, args):
        if self.rows:
            self.fail(line, "a glyph has either dot rows or shapes, not both")
        if args and all("," not in a for a in args):
            if len(args) != 4:
                self.fail(line, "%s with corners X0 Y0 X1 Y1 needs four numbers" % word)
            x0, y0, x1, y1 = self.numbers(line, args)
            if x0 == x1 or y0 == y1:
                self.fail(line, "%s has no area" % word)
            points = rectangle(min(x0, x1), min(y0, y1), max(x0, x1), max(y0, y1))
        else:
            if word == "rect":
                self.fail(line, "rect takes X0 Y0 X1 Y1, not X,Y pairs")
            points = []
            for pair in args:
                parts = pair.split(",")
                if len(parts) != 2:
                    self.fail(line, "'%s' is not an X,Y pair" % pair)
                points.append(tuple(self.numbers(line, parts)))
            if len(points) < 3:
                self.fail(line, "a polygon needs at least three corners")
            if signed_area(points) == 0:
                self.fail(line, "polygon has no area")
        for x, y in points:
            if not (0 <= x < self.advance and 0 <= y <= EM):
                self.fail(line, "corner %d,%d lies outside x 0..%d, y 0..%d"
                          % (x, y, self.advance - 1, EM))
        self.contours.append(wound(points, clockwise=(word != "hole")))

    def numbers(self, line, texts):
        try:
            return [int(t) for t in texts]
        except ValueError:
            self.fail(line, "expected whole numbers, got '%s'" % " ".join(texts))

    def finish(self):
        if self.rows and len(self.rows) != ROWS:
            self.fail(self.line, "has %d dot rows, needs %d" % (len(self.rows), ROWS))
        if not self.rows and not self.contours:
            self.fail(self.line, "has neither dot rows nor shapes")
        if self.rows:
            self.contours = [wound(dot_square(r, c), clockwise=True)
                             for r, text in enumerate(self.rows)
                             for c, dot in enumerate(text) if dot == "#"]


def parse(text):
    """Read the glyph source into a dict code -> Glyph, or raise SourceError."""
    glyphs = {}
    current = None
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith(";"):
            continue
        header = HEADER.match(line)
        if header:
            if current:
                current.finish()
            code = int(header.group(1), 16)
            if code in glyphs:
                raise SourceError(number, "code 0x%02X is already defined at line %d"
                                  % (code, glyphs[code].line))
            current = glyphs[code] = Glyph(code, number)
            continue
        if current is None:
            raise SourceError(number, "expected a header such as '0x41 A' before this line")
        word, *args = line.split()
        if word in ("advance", "columns"):
            if len(args) != 1:
                current.fail(number, "'%s' takes one number" % word)
            current.set_attribute(number, word, args[0])
        elif word in ("rect", "poly", "hole"):
            current.add_shape(number, word, args)
        else:
            current.add_row(number, line)
    if current:
        current.finish()
    missing = [c for c in range(256) if c not in glyphs]
    if missing:
        raise SourceError(None, "missing codes: " + " ".join("0x%02X" % c for c in missing))
    return glyphs


def outline(contours):
    pen = TTGlyphPen(None)
    for points in contours:
        pen.moveTo(points[0])
        for point in points[1:]:
            pen.lineTo(point)
        pen.closePath()
    return pen.glyph()


def build_font(glyphs):
    order = [".notdef"] + [glyph_name(c) for c in range(256)]
    # A hollow box, so that a character the font lacks is visibly wrong.
    notdef = [wound(rectangle(0, BASE, 24, EM - 1), clockwise=True),
              wound(rectangle(2, BASE + 2, 22, EM - 3), clockwise=False)]
    outlines = {".notdef": outline(notdef)}
    metrics = {".notdef": (CELL, 0)}
    cmap = {}
    for code, glyph in sorted(glyphs.items()):
        name = glyph_name(code)
        outlines[name] = outline(glyph.contours)
        lsb = min((x for points in glyph.contours for x, _ in points), default=0)
        metrics[name] = (glyph.advance, lsb)
        # The raw byte for tools that pass codes straight through, and the
        # private-use copy for text layout that swallows control codes.
        cmap[code] = name
        cmap[0xE000 + code] = name

    fb = FontBuilder(EM, isTTF=True)
    fb.setupHead(unitsPerEm=EM, created=TIMESTAMP, modified=TIMESTAMP,
                 fontRevision=float(VERSION))
    fb.setupGlyphOrder(order)
    fb.setupCharacterMap(cmap)
    fb.setupGlyf(outlines)
    fb.setupHorizontalMetrics(metrics)
    fb.setupHorizontalHeader(ascent=EM, descent=0, lineGap=0)
    fb.setupNameTable({
        "familyName": "LCDp",
        "styleName": "Regular",
        "uniqueFontIdentifier": "Ostrelle: LCDp Regular: " + VERSION,
        "fullName": "LCDp",
        "version": "Version " + VERSION,
        "psName": "LCDp",
    })
    fb.setupOS2(
        version=4,
        fsType=0,
        achVendID="OSTR",
        fsSelection=0x00C0,  # regular, and trust the typo metrics below
        sTypoAscender=EM, sTypoDescender=0, sTypoLineGap=0,
        usWinAscent=EM, usWinDescent=0,
        sCapHeight=EM - 1,
        sxHeight=EM - 1 - 2 * PITCH,
        yStrikeoutSize=2, yStrikeoutPosition=20,
        ulCodePageRange1=1 << 0,  # Latin 1
        ulCodePageRange2=1 << 31,  # code page 437, whose layout 0x80.. follows
    )
    # The underline sits in the dark band under the dot rows, inside the cell.
    fb.setupPost(underlinePosition=2, underlineThickness=2)
    return fb


def main(argv):
    if len(argv) != 3:
        print("usage: make_lcd_font.py GLYPHS.txt OUT.ttf", file=sys.stderr)
        return 2
    source, target = argv[1], argv[2]
    try:
        with open(source, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        print("make_lcd_font: cannot read %s: %s" % (source, e), file=sys.stderr)
        return 1
    try:
        glyphs = parse(text)
    except SourceError as e:
        where = source if e.line is None else "%s:%d" % (source, e.line)
        print("make_lcd_font: %s: %s" % (where, e), file=sys.stderr)
        return 1
    build_font(glyphs).save(target)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
