#!/usr/bin/python3
"""fontTools as the judge of subset fonts (run with Debian's python3).

  font_judge.py same WHOLE SUB MAP   every "old new" line of MAP: glyph old
                                      of WHOLE and glyph new of SUB have the
                                      same outline (points, on-curve flags,
                                      contour ends, components resolved) and
                                      advance; head.flags equal; every table
                                      of SUB decompiles.
  font_judge.py ttx SUB               SUB -> XML -> font again; the rebuilt
                                      font has the same outlines and advances.
  font_judge.py outline FONT GID...   "advance digest" of each glyph, to
                                      compare glyphs of different fonts.
Prints "ok" and exits 0, or names the first difference and exits 1.
"""

import hashlib
import io
import sys

from fontTools.ttLib import TTFont


def outline(font, gid):
    name = font.getGlyphName(gid)
    glyf = font["glyf"]
    g = glyf[name]
    coords, ends, flags = g.getCoordinates(glyf)
    return (list(coords), list(ends), [f & 1 for f in flags],
            font["hmtx"].metrics[name][0])


def digest(font, gid):
    o = outline(font, gid)
    h = hashlib.sha1(repr(o[:3]).encode()).hexdigest()[:16]
    return "%d %s" % (o[3], h)


def same(whole_path, sub_path, map_path):
    whole = TTFont(whole_path)
    sub = TTFont(sub_path)
    for tag in sub.keys():
        sub[tag]  # decompiles the table
    if whole["head"].flags != sub["head"].flags:
        return "head.flags %d != %d" % (whole["head"].flags, sub["head"].flags)
    pairs = [tuple(int(v) for v in line.split())
             for line in open(map_path) if line.strip()]
    for old, new in pairs:
        a, b = outline(whole, old), outline(sub, new)
        if a != b:
            return "glyph %d -> %d differs" % (old, new)
    return None


def ttx(sub_path):
    sub = TTFont(sub_path)
    xml = io.StringIO()
    sub.saveXML(xml)
    back = TTFont()
    back.importXML(io.StringIO(xml.getvalue()))
    buf = io.BytesIO()
    back.save(buf)
    again = TTFont(io.BytesIO(buf.getvalue()))
    if again["maxp"].numGlyphs != sub["maxp"].numGlyphs:
        return "glyph count changed"
    for gid in range(sub["maxp"].numGlyphs):
        if outline(sub, gid) != outline(again, gid):
            return "glyph %d changed in the round trip" % gid
    return None


def main():
    cmd = sys.argv[1]
    if cmd == "same":
        err = same(*sys.argv[2:5])
    elif cmd == "ttx":
        err = ttx(sys.argv[2])
    elif cmd == "outline":
        font = TTFont(sys.argv[2])
        for g in sys.argv[3:]:
            print(digest(font, int(g)))
        return 0
    else:
        err = "unknown command " + cmd
    if err:
        print(err)
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
