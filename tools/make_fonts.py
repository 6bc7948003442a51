#!/usr/bin/python3
"""Builds the three embedded fonts of the library from the system's fonts.

Each font is cut down to the characters the library draws with it, stripped
of hinting and layout tables, given one format 4 cmap and a glyph order that
follows the code points (so the cmap is made of few delta segments and the
PDF widths arrays merge neighbouring glyphs), and stored as a zlib stream
(level 9, header 78 DA) in data/fonts/ next to its licence text.

Run with Debian's python3 and python3-fonttools:
    /usr/bin/python3 tools/make_fonts.py [output-dir]
The output is deterministic: no timestamps are refreshed.
"""

import codecs
import io
import os
import struct
import sys
import zlib

from fontTools import subset
from fontTools.ttLib import TTFont, newTable
from fontTools.ttLib.tables._c_m_a_p import cmap_format_4

FONT_DIR = "/usr/share/fonts/truetype"
DOC_DIR = "/usr/share/doc"


def block(first, last):
    return range(first, last + 1)


# Font 0: Latin, Greek, Cyrillic, Hebrew, Arabic. Control characters are
# left out even where the font maps them.
LATIN_BLOCKS = [
    block(0x0020, 0x007E),  # Basic Latin, printable
    block(0x00A0, 0x00FF),  # Latin-1 Supplement, printable
    block(0x0100, 0x017F),  # Latin Extended-A
    block(0x0180, 0x024F),  # Latin Extended-B
    block(0x0300, 0x036F),  # Combining Diacritical Marks
    block(0x0370, 0x03FF),  # Greek and Coptic
    block(0x0400, 0x04FF),  # Cyrillic
    block(0x0500, 0x052F),  # Cyrillic Supplement
    block(0x0590, 0x05FF),  # Hebrew
    block(0x0600, 0x06FF),  # Arabic
    block(0x1E00, 0x1EFF),  # Latin Extended Additional
    block(0x2000, 0x206F),  # General Punctuation
    block(0x20A0, 0x20CF),  # Currency Symbols
    block(0xFB50, 0xFDFF),  # Arabic Presentation Forms-A
    block(0xFE70, 0xFEFF),  # Arabic Presentation Forms-B
]

# Font 1: the non-ideograph blocks it serves in full (whatever the font has).
CJK_BLOCKS = [
    block(0x3000, 0x303F),  # CJK Symbols and Punctuation
    block(0x3040, 0x309F),  # Hiragana
    block(0x30A0, 0x30FF),  # Katakana
    block(0x3100, 0x312F),  # Bopomofo
    block(0x3200, 0x32FF),  # Enclosed CJK Letters and Months
    block(0xFF00, 0xFFEF),  # Halfwidth and Fullwidth Forms
]


def decode_all(codec, lead_range, trail_range, prefix=b""):
    """Every character a two-byte code page encodes in the given rows."""
    out = set()
    for lead in lead_range:
        for trail in trail_range:
            try:
                s = (prefix + bytes([lead, trail])).decode(codec)
            except UnicodeDecodeError:
                continue
            if len(s) == 1:
                out.add(ord(s))
    return out


def is_ideograph(cp):
    return 0x4E00 <= cp <= 0x9FFF


def cjk_wanted():
    # GB 2312 hanzi sit in rows 16..87 (bytes B0..F7), JIS X 0208 kanji in
    # rows 16..84 (bytes B0..F4) of EUC; only the unified ideographs are
    # taken from them, the symbol rows come from the blocks above.
    han = decode_all("gb2312", range(0xA1, 0xFF), range(0xA1, 0xFF))
    kanji = decode_all("euc_jp", range(0xA1, 0xFF), range(0xA1, 0xFF))
    wanted = {cp for cp in han | kanji if is_ideograph(cp)}
    for b in CJK_BLOCKS:
        wanted.update(b)
    return wanted


def hangul_wanted():
    # KS X 1001's 2,350 precomposed syllables: EUC-KR rows B0..C8.
    syll = decode_all("euc_kr", range(0xB0, 0xC9), range(0xA1, 0xFF))
    syll = {cp for cp in syll if 0xAC00 <= cp <= 0xD7A3}
    assert len(syll) == 2350, len(syll)
    return syll


def latin_wanted():
    wanted = set()
    for b in LATIN_BLOCKS:
        wanted.update(b)
    return wanted


FONTS = [
    {
        "src": FONT_DIR + "/dejavu/DejaVuSans-Bold.ttf",
        "out": "dejavu_bold.ttf.z",
        "licence_out": "dejavu_bold.LICENSE",
        "licence_src": [DOC_DIR + "/fonts-dejavu-core/copyright"],
        "wanted": latin_wanted,
    },
    {
        "src": FONT_DIR + "/droid/DroidSansFallbackFull.ttf",
        "out": "droid_fallback.ttf.z",
        "licence_out": "droid_fallback.LICENSE",
        "licence_src": [DOC_DIR + "/fonts-droid-fallback/copyright",
                        "/usr/share/common-licenses/Apache-2.0"],
        "wanted": cjk_wanted,
    },
    {
        "src": FONT_DIR + "/nanum/NanumGothicBold.ttf",
        "out": "nanum_gothic_bold.ttf.z",
        "licence_out": "nanum_gothic_bold.LICENSE",
        "licence_src": [DOC_DIR + "/fonts-nanum/copyright"],
        "wanted": hangul_wanted,
    },
]


def best_cmap(font):
    cmap = font["cmap"].getBestCmap()
    return {cp: g for cp, g in cmap.items() if g != ".notdef"}


def cut(src, wanted):
    """Subset: outlines and the tables a PDF viewer needs, nothing else."""
    font = TTFont(src, recalcTimestamp=False)
    have = best_cmap(font)
    unicodes = sorted(cp for cp in wanted if cp in have and cp <= 0xFFFF)
    opts = subset.Options()
    opts.layout_features = []
    opts.hinting = False
    opts.glyph_names = False
    opts.legacy_kern = False
    opts.notdef_outline = True
    opts.recalc_timestamp = False
    opts.name_IDs = [0, 1, 2, 3, 4, 5, 6]
    opts.name_languages = [0x409]
    opts.drop_tables += ["GSUB", "GPOS", "GDEF", "kern", "gasp", "FFTM",
                         "vhea", "vmtx", "TSI0", "TSI1", "TSI2", "TSI3",
                         "TSI5", "DSIG", "hdmx", "LTSH", "VDMX", "BASE",
                         "JSTF", "PCLT", "cvt ", "fpgm", "prep"]
    sub = subset.Subsetter(options=opts)
    sub.populate(unicodes=unicodes)
    sub.subset(font)
    return font, unicodes


def reorder(font):
    """Gives glyphs the order of their first code point, .notdef first and
    the glyphs used only as components of others last."""
    for tag in font.keys():
        font[tag]
    # Composite glyphs name their components by index until expanded;
    # expand them while the old order still holds.
    glyf = font["glyf"]
    for name in font.getGlyphOrder():
        glyf[name].expand(glyf)
    cmap = best_cmap(font)
    old = font.getGlyphOrder()
    new = [old[0]]
    seen = {old[0]}
    for cp in sorted(cmap):
        g = cmap[cp]
        if g not in seen:
            seen.add(g)
            new.append(g)
    for g in old:
        if g not in seen:
            seen.add(g)
            new.append(g)
    font.setGlyphOrder(new)
    font["glyf"].glyphOrder = new
    return cmap


def set_cmap(font, cmap):
    """One format 4 subtable, shared by the Unicode BMP and Windows BMP
    records."""
    sub = cmap_format_4(4)
    sub.platformID = 3
    sub.platEncID = 1
    sub.language = 0
    sub.cmap = dict(cmap)
    uni = cmap_format_4(4)
    uni.platformID = 0
    uni.platEncID = 3
    uni.language = 0
    uni.cmap = dict(cmap)
    table = newTable("cmap")
    table.tableVersion = 0
    table.tables = [uni, sub]
    font["cmap"] = table


def to_bytes(font):
    buf = io.BytesIO()
    font.save(buf, reorderTables=True)
    return buf.getvalue()


def build(font_job, out_dir):
    wanted = font_job["wanted"]()
    font, _ = cut(font_job["src"], wanted)
    raw = to_bytes(font)
    font = TTFont(io.BytesIO(raw), recalcTimestamp=False)
    cmap = reorder(font)
    set_cmap(font, cmap)
    raw = to_bytes(font)

    check = TTFont(io.BytesIO(raw))
    final = best_cmap(check)
    assert final == {cp: g for cp, g in check["cmap"].getBestCmap().items()}
    assert all(cp in wanted for cp in final), "unwanted code point kept"
    assert all(check.getGlyphID(g) > 0 for g in final.values())
    seg_count = format4_segments(raw)

    comp = zlib.compress(raw, 9)
    assert comp[:2] == b"\x78\xda"
    with open(os.path.join(out_dir, font_job["out"]), "wb") as f:
        f.write(comp)
    with open(os.path.join(out_dir, font_job["licence_out"]), "w",
              encoding="utf-8") as f:
        texts = []
        for path in font_job["licence_src"]:
            with open(path, encoding="utf-8") as src:
                texts.append(src.read())
        f.write(("\n" + "=" * 72 + "\n\n").join(texts))
    print("%-24s glyphs %6d  code points %5d  segments %5d  "
          "unitsPerEm %4d  raw %8d  compressed %7d" % (
              font_job["out"], check["maxp"].numGlyphs, len(final), seg_count,
              check["head"].unitsPerEm, len(raw), len(comp)))


def format4_segments(raw):
    """segCount of the (3,1) subtable, read from the file's bytes."""
    num_tables = struct.unpack(">H", raw[4:6])[0]
    for i in range(num_tables):
        tag, _, off, _ = struct.unpack(">4sIII", raw[12 + 16 * i:28 + 16 * i])
        if tag != b"cmap":
            continue
        n = struct.unpack(">H", raw[off + 2:off + 4])[0]
        for j in range(n):
            pid, eid, sub = struct.unpack(
                ">HHI", raw[off + 4 + 8 * j:off + 12 + 8 * j])
            if (pid, eid) == (3, 1):
                fmt, = struct.unpack(">H", raw[off + sub:off + sub + 2])
                assert fmt == 4
                return struct.unpack(
                    ">H", raw[off + sub + 6:off + sub + 8])[0] // 2
    raise ValueError("no (3,1) cmap")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        here, "..", "data", "fonts")
    os.makedirs(out_dir, exist_ok=True)
    for font_job in FONTS:
        build(font_job, out_dir)


if __name__ == "__main__":
    main()
