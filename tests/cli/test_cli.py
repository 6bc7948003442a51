"""Tests of the reraruvozari command-line tool, run through the real binary.

CTest passes the program in RRV_CLI (without it, build*/bin/reraruvozari of
this checkout is used). Outputs are judged with qpdf, pdftotext and pdftoppm
when installed; with RRV_REQUIRE_ORACLES=1 a missing tool fails the test.
The corpus files come from tests/data/corpus of this checkout.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

import pytest

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "examples" / "sample.pdf"
LOGO = ROOT / "examples" / "logo.png"
CORPUS = Path(os.environ.get("RRV_CORPUS_DIR", str(ROOT / "tests" / "data" / "corpus"))) / "pdf"


def find_cli() -> Optional[str]:
    env = os.environ.get("RRV_CLI")
    if env:
        return env
    built = sorted(ROOT.glob("build*/bin/reraruvozari"), key=lambda p: p.stat().st_mtime)
    return str(built[-1]) if built else None


CLI = find_cli()
pytestmark = pytest.mark.skipif(CLI is None and os.environ.get("RRV_REQUIRE_ORACLES") != "1",
                                reason="the reraruvozari program is not built")


class Result:
    """Exit status and decoded output of one run."""

    def __init__(self, proc: subprocess.CompletedProcess) -> None:
        self.code: int = proc.returncode
        self.out: str = proc.stdout.decode("utf-8", "replace")
        self.err: str = proc.stderr.decode("utf-8", "replace")

    def __repr__(self) -> str:
        return "exit %d\nstdout: %s\nstderr: %s" % (self.code, self.out, self.err)


def run(*args: object, cwd: Optional[Path] = None) -> Result:
    assert CLI is not None
    proc = subprocess.run([CLI] + [str(a) for a in args], capture_output=True,
                          cwd=cwd, timeout=120)
    return Result(proc)


def need_tool(name: str) -> str:
    path = shutil.which(name)
    if path is None:
        if os.environ.get("RRV_REQUIRE_ORACLES") == "1":
            pytest.fail("%s is required (RRV_REQUIRE_ORACLES=1) but not installed" % name)
        pytest.skip("%s is not installed" % name)
    return path


def qpdf_ok(path: Path) -> None:
    proc = subprocess.run([need_tool("qpdf"), "--check", str(path)], capture_output=True,
                          text=True)
    assert proc.returncode in (0, 3), proc.stdout + proc.stderr


def page_text(path: Path, page: int) -> str:
    proc = subprocess.run([need_tool("pdftotext"), "-f", str(page), "-l", str(page),
                           "-raw", "-enc", "UTF-8", str(path), "-"], capture_output=True)
    assert proc.returncode == 0, proc.stderr
    # Rotated text comes out letter by letter or in pieces: compare without
    # any white space.
    return "".join(proc.stdout.decode("utf-8", "replace").split())


def pages_with(path: Path, word: str, count: int = 3) -> List[int]:
    return [p for p in range(1, count + 1) if word in page_text(path, p)]


def render_ppm(path: Path, page: int = 1, dpi: int = 20,
               extra: Sequence[str] = ()) -> Tuple[int, int, bytes]:
    """Page as (width, height, raw RGB bytes), from pdftoppm's binary PPM."""
    proc = subprocess.run([need_tool("pdftoppm"), "-r", str(dpi), "-f", str(page), "-l",
                           str(page), *extra, str(path)], capture_output=True)
    assert proc.returncode == 0, proc.stderr
    data = proc.stdout
    fields: List[bytes] = []
    pos = 0
    while len(fields) < 4:  # P6 width height maxval
        while data[pos:pos + 1].isspace():
            pos += 1
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    assert fields[0] == b"P6"
    return int(fields[1]), int(fields[2]), data[pos + 1:]


def render_rgb(path: Path, page: int = 1, dpi: int = 20) -> bytes:
    """Page as raw RGB bytes, from pdftoppm's binary PPM output."""
    return render_ppm(path, page, dpi)[2]


def changed_box(a: bytes, b: bytes, width: int) -> Optional[Tuple[int, int, int, int]]:
    """(x0, y0, x1, y1) around the pixels that differ, or None."""
    box = None
    for i in range(0, min(len(a), len(b)) - 2, 3):
        if a[i:i + 3] != b[i:i + 3]:
            x, y = (i // 3) % width, (i // 3) // width
            box = (x, y, x, y) if box is None else (min(box[0], x), min(box[1], y),
                                                    max(box[2], x), max(box[3], y))
    return box


def count_pixels(rgb: bytes, want: Sequence[int], tolerance: int = 40) -> int:
    n = 0
    for i in range(0, len(rgb) - 2, 3):
        if all(abs(rgb[i + k] - want[k]) <= tolerance for k in range(3)):
            n += 1
    return n


# ---- program-level options -------------------------------------------------

def test_version() -> None:
    r = run("--version")
    assert r.code == 0 and r.out == "reraruvozari 0.1.0\n", r


@pytest.mark.parametrize("args", [["--help"], ["-h"], ["help"]])
def test_program_help(args: List[str]) -> None:
    r = run(*args)
    assert r.code == 0, r
    for word in ("text", "image", "pages", "Exit status"):
        assert word in r.out


@pytest.mark.parametrize("command", ["text", "image", "remove", "pages"])
@pytest.mark.parametrize("flag", ["--help", "-h"])
def test_command_help(command: str, flag: str) -> None:
    r = run(command, flag)
    assert r.code == 0, r
    assert r.out.startswith("usage: reraruvozari " + command)
    assert r.err == ""
    if command in ("text", "image"):
        assert "-o DIR" in r.out and "stamped X of N files, Y failed" in r.out


def test_help_wins_after_arguments() -> None:
    r = run("text", "a.pdf", "--help")
    assert r.code == 0 and "--rotation" in r.out


def test_no_arguments_is_usage_error() -> None:
    r = run()
    assert r.code == 2 and "usage:" in r.err and r.out == ""


@pytest.mark.parametrize("args,message", [
    (["stamp"], "unknown command: stamp"),
    (["--bogus"], "unknown option: --bogus"),
    (["text", SAMPLE, "o.pdf", "X", "--bogus"], "text: unknown option: --bogus"),
    (["text", SAMPLE, "o.pdf", "X", "--scale", "2"], "text: unknown option: --scale"),
    (["image", SAMPLE, "o.pdf", LOGO, "--size", "2"], "image: unknown option: --size"),
    (["image", SAMPLE, "o.pdf", LOGO, "--color", "#000000"], "image: unknown option: --color"),
    (["pages", SAMPLE, "--pages", "1"], "pages: unknown option: --pages"),
    (["text", SAMPLE, "o.pdf", "X", "--size"], "--size: missing value"),
    (["text", SAMPLE, "o.pdf", "X", "--opacity"], "--opacity: missing value"),
    (["image", SAMPLE, "o.pdf", LOGO, "--scale"], "--scale: missing value"),
    (["text", SAMPLE, "o.pdf"], "text: missing arguments"),
    (["text", SAMPLE, "o.pdf", "X", "extra"], "text: too many arguments: extra"),
    (["image", SAMPLE, "o.pdf"], "image: missing arguments"),
    (["pages"], "pages: no input files"),
    (["text", "-o", "dir", SAMPLE], "-o needs --text"),
    (["image", "-o", "dir", SAMPLE], "-o needs --image"),
    (["text", "-o", "dir", "--text", "X"], "text: no input files"),
    (["remove", SAMPLE], "remove: missing arguments"),
    (["remove", SAMPLE, "o.pdf", "x.pdf"], "remove: too many arguments: x.pdf"),
    (["remove", SAMPLE, "o.pdf", "--layer", "L"], "remove: unknown option: --layer"),
    (["remove", SAMPLE, "o.pdf", "--replace"], "remove: unknown option: --replace"),
    (["text", SAMPLE, "o.pdf", "X", "--show", "never"], "--show: use both, screen or print"),
    (["image", SAMPLE, "o.pdf", LOGO, "--layer", ""], "--layer: empty layer name"),
    (["pages", SAMPLE, "--no-layer"], "pages: unknown option: --no-layer"),
    (["text", SAMPLE, "o.pdf", "X", "-j", "2"], "text: -j is for batch mode (-o DIR)"),
    (["image", SAMPLE, "o.pdf", LOGO, "--recursive"], "image: -r is for batch mode (-o DIR)"),
    (["text", "-o", "dir", "--text", "X", "-j", "0", SAMPLE], "-j: out of range (1 to 1024): 0"),
    (["text", "-o", "dir", "--text", "X", "-jx", SAMPLE], "-j: not a whole number: x"),
    (["text", "-o", "dir", "--text", "X", "--jobs"], "--jobs: missing value"),
    (["pages", SAMPLE, "-j", "2"], "pages: unknown option: -j"),
])
def test_usage_errors(tmp_path: Path, args: List[object], message: str) -> None:
    r = run(*args, cwd=tmp_path)
    assert r.code == 2, r
    assert r.err.startswith("reraruvozari: ")
    assert message in r.err, r
    assert not (tmp_path / "o.pdf").exists()


@pytest.mark.parametrize("option,value,message", [
    ("--size", "12abc", "--size: not a number: 12abc"),
    ("--size", "", "--size: not a number: "),
    ("--size", " 12", "--size: not a number:  12"),
    ("--size", "0x10", "--size: not a number: 0x10"),
    ("--size", "0", "--size: out of range (1 to 14400): 0"),
    ("--size", "-5", "--size: out of range (1 to 14400): -5"),
    ("--size", "99999999999999999999", "--size: out of range"),
    ("--opacity", "abc", "--opacity: not a number: abc"),
    ("--opacity", "0.5x", "--opacity: not a number: 0.5x"),
    ("--opacity", "nan", "--opacity: not a number: nan"),
    ("--opacity", "inf", "--opacity: not a number: inf"),
    ("--opacity", "1.5", "--opacity: out of range (0 to 1): 1.5"),
    ("--opacity", "-0.1", "--opacity: out of range (0 to 1): -0.1"),
    ("--rotation", "1e999", "--rotation: not a number: 1e999"),
    ("--rotation", "45deg", "--rotation: not a number: 45deg"),
    ("--rotation", "400", "--rotation: out of range (-360 to 360): 400"),
    ("--position", "middle", "--position: unknown position: middle"),
    ("--position", "6", "--position: unknown position: 6"),
    ("--position", "-1", "--position: unknown position: -1"),
    ("--color", "red", "--color: not a colour (use #RRGGBB, RRGGBB or R,G,B): red"),
    ("--color", "#12345", "--color: not a colour"),
    ("--color", "#1234567", "--color: not a colour"),
    ("--color", "#gg0000", "--color: not a colour"),
    ("--color", "1,2", "--color: not a colour"),
    ("--color", "1,2,3,4", "--color: not a colour"),
    ("--color", "1,,3", "--color: not a colour"),
    ("--color", "1, 2,3", "--color: not a colour"),
    ("--color", "1,2,300", "--color: component out of range (0 to 255): 1,2,300"),
    ("--pages", "0", "--pages: page numbers start at 1: 0"),
    ("--pages", "0-2", "--pages: page numbers start at 1: 0-2"),
    ("--pages", "2,0", "--pages: page numbers start at 1: 2,0"),
    ("--pages", "3-2", "--pages: the range ends before it starts: 3-2"),
    ("--pages", "1,3-2", "--pages: the range ends before it starts: 1,3-2"),
    ("--pages", "x", "--pages: not a page list (use N, N-M, N-, -M, last, odd or even, "
                     "separated by commas): x"),
    ("--pages", "1-x", "--pages: not a page list"),
    ("--pages", "", "--pages: not a page list"),
    ("--pages", "-", "--pages: not a page list"),
    ("--pages", "1,,2", "--pages: not a page list"),
    ("--pages", "1-2-3", "--pages: not a page list"),
    ("--pages", "odd,evens", "--pages: not a page list"),
    ("--pages", "99999999999", "--pages: page number too large"),
    ("--fit", "0", "--fit: out of range (above 0 to 1): 0"),
    ("--fit", "1.5", "--fit: out of range (above 0 to 1): 1.5"),
    ("--margin", "-1", "--margin: out of range (0 to 14400): -1"),
    ("--offset", "5", "--offset: not an offset (use DX,DY in points): 5"),
    ("--offset", "5,x", "--offset: not a number: x"),
    ("--tile-gap", "-2", "--tile-gap: out of range (0 to 14400): -2"),
    ("--line-spacing", "0", "--line-spacing: out of range (0.1 to 10): 0"),
    ("--position", "middle-left", "--position: unknown position: middle-left"),
    ("--font", "/nonexistent/font.ttf", "--font: cannot open font file /nonexistent/font.ttf"),
    ("--font", str(SAMPLE), "--font: font %s is not a TrueType font" % SAMPLE),
    ("--font", "", "--font: empty file name"),
    # An overlong "/" between two letters (surrogate escapes pass raw bytes).
    ("--layer", "a\udcc0\udcafb",
     "--layer: the layer name is not valid UTF-8 (bad byte 0xC0 at offset 1)"),
])
def test_bad_text_option_values(tmp_path: Path, option: str, value: str, message: str) -> None:
    r = run("text", SAMPLE, tmp_path / "o.pdf", "X", option, value)
    assert r.code == 2, r
    assert r.err.startswith("reraruvozari: " + message), r
    assert not (tmp_path / "o.pdf").exists()


@pytest.mark.parametrize("option,value,message", [
    ("--scale", "0", "--scale: out of range (above 0 to 1000): 0"),
    ("--scale", "-1", "--scale: out of range"),
    ("--scale", "2x", "--scale: not a number: 2x"),
    ("--scale", "5000", "--scale: out of range"),
    ("--opacity", "2", "--opacity: out of range"),
    ("--position", "nowhere", "--position: unknown position: nowhere"),
    ("--pages", "4-1", "--pages: the range ends before it starts: 4-1"),
])
def test_bad_image_option_values(tmp_path: Path, option: str, value: str, message: str) -> None:
    r = run("image", SAMPLE, tmp_path / "o.pdf", LOGO, option, value)
    assert r.code == 2, r
    assert r.err.startswith("reraruvozari: " + message), r


def test_usage_error_comes_before_any_work(tmp_path: Path) -> None:
    # A bad option after good ones leaves no output behind.
    out = tmp_path / "o.pdf"
    r = run("text", SAMPLE, out, "X", "--size", "20", "--color", "nope")
    assert r.code == 2 and not out.exists()


# ---- operation failures (exit 1) -------------------------------------------

def test_missing_input_fails(tmp_path: Path) -> None:
    r = run("text", tmp_path / "missing.pdf", tmp_path / "o.pdf", "X")
    assert r.code == 1, r
    assert r.err.startswith("reraruvozari: ") and "cannot open" in r.err
    assert not (tmp_path / "o.pdf").exists()


def test_missing_image_fails(tmp_path: Path) -> None:
    r = run("image", SAMPLE, tmp_path / "o.pdf", tmp_path / "missing.png")
    assert r.code == 1 and r.err.startswith("reraruvozari: "), r


@pytest.mark.parametrize("kind", ["fifo", "directory", "device"])
def test_image_that_is_no_regular_file_fails(tmp_path: Path, kind: str) -> None:
    # Refused at once: reading a FIFO would wait for a writer forever.
    image = {"fifo": tmp_path / "fifo.png", "directory": tmp_path, "device": Path("/dev/zero")}[kind]
    if kind == "fifo":
        os.mkfifo(image)
    r = run("image", SAMPLE, tmp_path / "o.pdf", image)
    assert r.code == 1 and r.err == "reraruvozari: cannot open %s: not a regular file\n" % image, r
    assert not (tmp_path / "o.pdf").exists()
    # The same for a font, which is read while the options are taken.
    r = run("text", SAMPLE, tmp_path / "o.pdf", "X", "--font", image)
    assert r.code == 2 and r.err.startswith("reraruvozari: --font: cannot open font file %s: "
                                            "not a regular file\n" % image), r
    assert not (tmp_path / "o.pdf").exists()


@pytest.mark.parametrize("kind", ["directory", "endless", "pipe"])
def test_password_file_of_each_kind(tmp_path: Path, kind: str) -> None:
    # A directory and a file without an end of line are usage errors; a
    # pipe (a shell's <(...)) gives its first line.
    src = tmp_path / "enc.pdf"
    subprocess.run(["qpdf", "--encrypt", "usr", "own", "256", "--", str(SAMPLE), str(src)],
                   check=True)
    out = tmp_path / "o.pdf"
    if kind == "pipe":
        r = subprocess.run(["bash", "-c", 'exec "$0" text "$1" "$2" X --password-file <(printf "usr\\n")',
                            str(CLI), str(src), str(out)], capture_output=True, text=True)
        assert r.returncode == 0 and out.exists(), r
        return
    r = run("text", src, out, "X", "--password-file", tmp_path if kind == "directory" else "/dev/zero")
    assert r.code == 2 and "--password-file" in r.err, r
    assert not out.exists()


def test_not_a_pdf_fails(tmp_path: Path) -> None:
    junk = tmp_path / "junk.pdf"
    junk.write_bytes(b"no PDF here\n" * 20)
    r = run("pages", junk)
    assert r.code == 1 and r.err.startswith("reraruvozari: ") and r.out == "", r


def test_encrypted_restricted_fails(tmp_path: Path) -> None:
    # Empty user password, modifying not permitted: refused unless overridden.
    r = run("text", CORPUS / "pdfjs_bug900822.pdf", tmp_path / "o.pdf", "X")
    assert r.code == 1 and "permissions forbid modifying it; give the owner password" in r.err, r
    assert not (tmp_path / "o.pdf").exists()
    r = run("text", CORPUS / "pdfjs_bug900822.pdf", tmp_path / "o.pdf", "X",
            "--ignore-permissions")
    assert r.code == 0, r


# ---- text ------------------------------------------------------------------

def test_text_defaults(tmp_path: Path) -> None:
    out = tmp_path / "o.pdf"
    r = run("text", SAMPLE, out, "WATERMARK")
    assert r.code == 0 and r.out == "" and r.err == "", r
    qpdf_ok(out)
    assert pages_with(out, "WATERMARK") == [1, 2, 3]


def test_text_every_option(tmp_path: Path) -> None:
    out = tmp_path / "o.pdf"
    r = run("text", SAMPLE, out, "Options", "--opacity", "0.9", "--rotation", "-30.5",
            "--size", "24", "--position", "top-right", "--color", "#00ff00", "--pages", "1-2")
    assert r.code == 0, r
    qpdf_ok(out)
    assert pages_with(out, "Options") == [1, 2]


def test_options_before_arguments_and_inline_values(tmp_path: Path) -> None:
    a = tmp_path / "a.pdf"
    b = tmp_path / "b.pdf"
    assert run("text", "--size", "30", "--opacity=0.5", SAMPLE, a, "Order").code == 0
    assert run("text", SAMPLE, b, "Order", "--size=30", "--opacity", "0.5").code == 0
    assert a.read_bytes() == b.read_bytes()


def test_double_dash_ends_options(tmp_path: Path) -> None:
    out = tmp_path / "o.pdf"
    r = run("text", "--size", "40", "--", SAMPLE, out, "-DRAFT-")
    assert r.code == 0, r
    assert "-DRAFT-" in page_text(out, 1)
    r = run("text", SAMPLE, out, "-DRAFT-")
    assert r.code == 2 and "unknown option: -DRAFT-" in r.err


def test_text_option_instead_of_argument(tmp_path: Path) -> None:
    out = tmp_path / "o.pdf"
    r = run("text", SAMPLE, out, "--text", "Given")
    assert r.code == 0, r
    assert "Given" in page_text(out, 1)


def test_colour_forms_agree(tmp_path: Path) -> None:
    outputs = []
    for i, colour in enumerate(["#C81E1E", "c81e1e", "200,30,30"]):
        out = tmp_path / ("c%d.pdf" % i)
        r = run("text", SAMPLE, out, "COLOUR", "--color", colour, "--opacity", "1",
                "--size", "90", "--position", "center")
        assert r.code == 0, r
        outputs.append(out.read_bytes())
    assert outputs[0] == outputs[1] == outputs[2]
    grey = tmp_path / "grey.pdf"
    assert run("text", SAMPLE, grey, "COLOUR", "--opacity", "1", "--size", "90",
               "--position", "center").code == 0
    assert grey.read_bytes() != outputs[0]
    red = render_rgb(tmp_path / "c0.pdf")
    assert count_pixels(red, (200, 30, 30)) > 20
    assert count_pixels(render_rgb(grey), (200, 30, 30)) == 0
    assert count_pixels(render_rgb(grey), (128, 128, 128)) > 20


@pytest.mark.parametrize("name,number", [
    ("center", 0), ("top-left", 1), ("top-right", 2), ("bottom-left", 3),
    ("bottom-right", 4), ("diagonal", 5)])
def test_position_names_and_numbers_agree(tmp_path: Path, name: str, number: int) -> None:
    a = tmp_path / "name.pdf"
    b = tmp_path / "number.pdf"
    assert run("text", SAMPLE, a, "POS", "--position", name).code == 0
    assert run("text", SAMPLE, b, "POS", "--position", str(number)).code == 0
    assert a.read_bytes() == b.read_bytes()


def test_defaults_match_explicit_values(tmp_path: Path) -> None:
    a = tmp_path / "a.pdf"
    b = tmp_path / "b.pdf"
    assert run("text", SAMPLE, a, "DEF").code == 0
    assert run("text", SAMPLE, b, "DEF", "--opacity", "0.3", "--rotation", "0", "--size",
               "48", "--position", "diagonal", "--color", "#808080", "--pages", "1-").code == 0
    assert a.read_bytes() == b.read_bytes()
    c = tmp_path / "c.pdf"
    d = tmp_path / "d.pdf"
    assert run("image", SAMPLE, c, LOGO).code == 0
    assert run("image", SAMPLE, d, LOGO, "--opacity", "0.5", "--scale", "1",
               "--position", "center").code == 0
    assert c.read_bytes() == d.read_bytes()


DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")


def fonts_of(path: Path) -> List[str]:
    """The font names pdffonts lists."""
    proc = subprocess.run([need_tool("pdffonts"), str(path)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return [line.split()[0] for line in proc.stdout.splitlines()[2:] if line.strip()]


def test_font_and_no_subset(tmp_path: Path) -> None:
    if not DEJAVU.is_file():
        if os.environ.get("RRV_REQUIRE_ORACLES") == "1":
            pytest.fail("fonts-dejavu-core is required")
        pytest.skip("fonts-dejavu-core is not installed")
    sub, whole = tmp_path / "sub.pdf", tmp_path / "whole.pdf"
    assert run("text", SAMPLE, sub, "Hello 기밀", "--font", DEJAVU).code == 0
    assert run("text", SAMPLE, whole, "Hello 기밀", "--font", DEJAVU, "--no-subset").code == 0
    qpdf_ok(sub)
    names = fonts_of(sub)
    assert any(n.endswith("+DejaVuSans") and len(n) == 17 for n in names), names
    assert any(n.endswith("+NanumGothic-Bold") for n in names), names
    assert "DejaVuSans" in fonts_of(whole) and "NanumGothic-Bold" in fonts_of(whole)
    assert sub.stat().st_size * 10 < whole.stat().st_size
    assert "Hello" in page_text(sub, 1) and "기밀" in page_text(sub, 1)


@pytest.mark.parametrize("pages,expected", [
    ("1", [1]), ("2", [2]), ("3", [3]), ("1-2", [1, 2]), ("2-3", [2, 3]),
    ("2-", [2, 3]), ("1-", [1, 2, 3]), ("2-99", [2, 3]), ("3-3", [3]),
    ("odd", [1, 3]), ("even", [2]), ("last", [3]), ("-2", [1, 2]),
    ("3,1", [1, 3]), ("even,last", [2, 3]), ("2,7-9", [2])])
def test_text_page_ranges(tmp_path: Path, pages: str, expected: List[int]) -> None:
    out = tmp_path / "o.pdf"
    r = run("text", SAMPLE, out, "RANGEMARK", "--pages", pages)
    assert r.code == 0, r
    assert pages_with(out, "RANGEMARK") == expected


def test_page_beyond_document_fails(tmp_path: Path) -> None:
    r = run("text", SAMPLE, tmp_path / "o.pdf", "X", "--pages", "4,6-")
    assert r.code == 1, r
    assert r.err == "reraruvozari: no page of %s matches 4,6-\n" % SAMPLE, r


def one_page_pdf(path: Path, page_extra: str = "", content: str = "") -> Path:
    """A 400 x 600 page with extra page entries and an optional content stream."""
    objs = ["<< /Type /Catalog /Pages 2 0 R >>",
            "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 600] %s%s >>"
            % (page_extra, " /Contents 4 0 R" if content else "")]
    if content:
        objs.append("<< /Length %d >>\nstream\n%s\nendstream" % (len(content), content))
    path.write_bytes(classic_pdf(objs))
    return path


def classic_pdf(objs: Sequence[str]) -> bytes:
    """Objects 1.. with the bodies `objs`, a classic table and /Root 1 0 R."""
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for i, body in enumerate(objs):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (i + 1, body.encode())
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (
        len(objs) + 1, xref)
    return bytes(out)


def word_boxes(path: Path) -> List[Tuple[str, float, float, float, float]]:
    """pdftotext -bbox of page 1: (word, xMin, yMin, xMax, yMax), displayed page."""
    proc = subprocess.run([need_tool("pdftotext"), "-bbox", str(path), "-"],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    found = re.findall(r'<word xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" '
                       r'yMax="([\d.]+)">([^<]*)</word>', proc.stdout)
    return [(w, float(a), float(b), float(c), float(d)) for a, b, c, d, w in found]


# Each layout option, judged on a page shown rotated (600 x 400 as displayed).
@pytest.mark.parametrize("options,check", [
    (["--position", "center"], lambda ws: len(ws) == 1 and ws[0][3] - ws[0][1] > ws[0][4] - ws[0][2]),
    (["--ignore-rotation", "--position", "center"],
     lambda ws: len(ws) == 1 and ws[0][3] - ws[0][1] < ws[0][4] - ws[0][2]),
    (["--position", "top", "--margin", "10"],
     lambda ws: abs(ws[0][2] - 10) < 1.5 and abs(ws[0][1] + ws[0][3] - 600) < 1.5),
    (["--position", "bottom-right", "--offset", "-20,30"],
     lambda ws: abs(ws[0][3] - (600 - 36 - 20)) < 1.5 and abs(ws[0][4] - (400 - 36 - 30)) < 1.5),
    (["--position", "left", "--fit", "0.5"],
     lambda ws: abs(ws[0][3] - ws[0][1] - 300) < 6 and abs(ws[0][1] - 36) < 1.5),
    (["--position", "right", "--size", "10.5"],
     lambda ws: abs(ws[0][4] - ws[0][2] - 0.925 * 10.5) < 0.5),
])
def test_layout_options(tmp_path: Path, options: List[str], check) -> None:
    src = one_page_pdf(tmp_path / "in.pdf", "/Rotate 90")
    out = tmp_path / "out.pdf"
    r = run("text", src, out, "LAYOUT", *options)
    assert r.code == 0, r
    qpdf_ok(out)
    ws = [w for w in word_boxes(out) if w[0] == "LAYOUT"]
    assert ws and check(ws), ws


@pytest.mark.parametrize("command", ["text", "image"])
def test_tile_repeats(tmp_path: Path, command: str) -> None:
    src = one_page_pdf(tmp_path / "in.pdf", "/Rotate 270")
    out = tmp_path / "out.pdf"
    payload = "TILED" if command == "text" else LOGO
    extra = ["--size", "20"] if command == "text" else ["--scale", "0.2", "--rotation", "30"]
    assert run(command, src, out, payload, "--tile", "--tile-gap", "10", *extra).code == 0
    qpdf_ok(out)
    if command == "text":
        assert page_text(out, 1).count("TILED") >= 20
    else:
        draws = subprocess.run([need_tool("qpdf"), "--qdf", "--object-streams=disable", str(out), "-"],
                               capture_output=True).stdout.count(b"/KpWmIm Do")
        assert draws >= 6


def test_help_names_every_option_of_the_library() -> None:
    """Each setter of the options object is an option of the same name."""
    header = (ROOT / "include" / "reraruvozari.h").read_text()
    names = set(re.findall(r"reraruvozari_options_set_(\w+)\(", header))
    assert "tile_gap" in names
    text_help = run("text", "--help").out
    image_help = run("image", "--help").out
    for name in names:
        # Subsetting is on by default: the option turns it off.
        option = "--no-subset" if name == "subset" else "--" + name.replace("_", "-")
        in_text = option in text_help
        in_image = option in image_help
        # Colour, size, line spacing and the fonts are for text, scale for
        # images only.
        assert in_text or in_image, option
        if name not in ("color", "size", "line_spacing", "scale", "subset", "font"):
            assert in_text and in_image, option
    # The manual page documents every option some command's help names.
    manual = (ROOT / "docs" / "reraruvozari.1").read_text().replace("\\-", "-")
    for command in ("text", "image", "remove", "pages"):
        for option in set(re.findall(r"^ +(--[a-z-]+)", run(command, "--help").out, re.M)):
            assert option in manual, (command, option)


def test_multi_line_and_spacing(tmp_path: Path) -> None:
    src = one_page_pdf(tmp_path / "in.pdf", "/Rotate 180")
    out = tmp_path / "out.pdf"
    assert run("text", src, out, "FIRST\r\nSECOND", "--size", "20",
               "--line-spacing", "2", "--position", "center").code == 0
    ws = word_boxes(out)
    assert [w[0] for w in ws] == ["FIRST", "SECOND"]
    assert abs(ws[1][4] - ws[0][4] - 40) < 1
    assert abs((ws[0][1] + ws[0][3]) - (ws[1][1] + ws[1][3])) < 1


@pytest.mark.parametrize("command", ["text", "image"])
def test_under_hides_behind_opaque_content(tmp_path: Path, command: str) -> None:
    src = one_page_pdf(tmp_path / "in.pdf", content="1 1 1 rg 0 0 400 600 re f")
    payload = "UNDER" if command == "text" else LOGO
    for extra, shows in (([], True), (["--under"], False)):
        out = tmp_path / "out.pdf"
        assert run(command, src, out, payload, "--opacity", "1", *extra).code == 0
        rgb = render_rgb(out)
        ink = sum(1 for i in range(0, len(rgb), 3) if min(rgb[i:i + 3]) < 240)
        assert (ink > 0) == shows, extra


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o444])
def test_in_place(tmp_path: Path, mode: int) -> None:
    # The file keeps its permission bits: a private file stays private.
    path = tmp_path / "doc.pdf"
    shutil.copyfile(SAMPLE, path)
    path.chmod(mode)
    assert run("text", path, path, "INPLACE").code == 0
    assert "INPLACE" in page_text(path, 1)
    assert path.stat().st_mode & 0o7777 == mode
    qpdf_ok(path)


# ---- incremental updates ---------------------------------------------------

def many_pages_pdf(path: Path, pages: int) -> Path:
    """`pages` pages sharing one content stream, in one flat page tree."""
    first = 4
    objs = ["<< /Type /Catalog /Pages 2 0 R >>",
            "<< /Type /Pages /Kids [%s] /Count %d >>"
            % (" ".join("%d 0 R" % (first + i) for i in range(pages)), pages),
            "<< /Length 38 >>\nstream\nBT /F1 12 Tf 20 20 Td (Page text) Tj ET\nendstream"]
    objs += ["<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 600] /Contents 3 0 R >>"] * pages
    path.write_bytes(classic_pdf(objs))
    return path


@pytest.mark.parametrize("sig", ["SIGINT", "SIGTERM", "SIGHUP"])
@pytest.mark.parametrize("mode", ["--incremental", "full"])
def test_signal_takes_the_temporary_file_away(tmp_path: Path, sig: str, mode: str) -> None:
    # Interrupted while it writes, the CLI ends by the signal and leaves
    # neither its temporary file (a full copy of the input) nor a changed
    # output behind.
    import signal
    import time
    src = many_pages_pdf(tmp_path / "in.pdf", 40000)
    out = tmp_path / "out.pdf"
    out.write_bytes(b"previous output")
    args = [CLI, "text", str(src), str(out), "DRAFT"] + ([mode] if mode != "full" else [])
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seen = False
    deadline = time.monotonic() + 60
    while proc.poll() is None and time.monotonic() < deadline:
        if any(p.name.startswith("out.pdf.tmp") for p in tmp_path.iterdir()):
            seen = True
            proc.send_signal(getattr(signal, sig))
            break
        time.sleep(0.0005)
    code = proc.wait(60)
    leftovers = sorted(p.name for p in tmp_path.iterdir())
    if seen and code != 0:
        assert code == -getattr(signal, sig), code
        assert out.read_bytes() == b"previous output"
    else:
        # The call ended before the signal came (or was not seen writing).
        assert code == 0
    assert leftovers == ["in.pdf", "out.pdf"], leftovers
    if mode == "--incremental":
        assert seen  # its temporary file exists from the start of the call


def hybrid_pdf(path: Path) -> Path:
    """SAMPLE with an update whose table leads with /XRefStm to a
    cross-reference stream: the document information dictionary is replaced
    by a copy inside an object stream that only the stream lists."""
    base = SAMPLE.read_bytes()
    trailer = base[base.rindex(b"trailer"):].decode("latin-1")
    size = int(re.search(r"/Size (\d+)", trailer).group(1))
    root = re.search(r"/Root (\d+ \d+) R", trailer).group(1)
    info = int(re.search(r"/Info (\d+) \d+ R", trailer).group(1))
    prev = int(re.findall(rb"startxref\s+(\d+)", base)[-1])
    out = bytearray(base)
    stm, xs = size, size + 1
    body = b"<< /Title (Hybrid input) >>"
    head = b"%d 0 " % info
    stm_at = len(out)
    out += (b"%d 0 obj\n<< /Type /ObjStm /N 1 /First %d /Length %d >>\nstream\n"
            % (stm, len(head), len(head) + len(body)) + head + body + b"\nendstream\nendobj\n")
    xs_at = len(out)
    rows = bytes([2, 0, 0, stm >> 8 & 255, stm & 255, 0, 0])
    out += (b"%d 0 obj\n<< /Type /XRef /Size %d /W [1 4 2] /Index [%d 1] /Length %d >>\n"
            b"stream\n" % (xs, xs + 1, info, len(rows)) + rows + b"\nendstream\nendobj\n")
    table_at = len(out)
    out += b"xref\n%d 2\n%010d 00000 n \n%010d 00000 n \n" % (stm, stm_at, xs_at)
    out += (b"trailer\n<< /Size %d /Root %s R /Info %d 0 R /Prev %d /XRefStm %d >>\n"
            b"startxref\n%d\n%%%%EOF\n" % (xs + 1, root.encode(), info, prev, xs_at, table_at))
    path.write_bytes(bytes(out))
    return path


def sparse_pdf(path: Path) -> Path:
    """SAMPLE with an update that makes object 300000 the document
    information dictionary: numbers far sparser than the objects."""
    base = SAMPLE.read_bytes()
    trailer = base[base.rindex(b"trailer"):].decode("latin-1")
    root = re.search(r"/Root (\d+ \d+) R", trailer).group(1)
    prev = int(re.findall(rb"startxref\s+(\d+)", base)[-1])
    far = 300000
    out = bytearray(base)
    at = len(out)
    out += b"%d 0 obj\n<< /Title (Sparse input) >>\nendobj\n" % far
    table_at = len(out)
    out += b"xref\n%d 1\n%010d 00000 n \n" % (far, at)
    out += (b"trailer\n<< /Size %d /Root %s R /Info %d 0 R /Prev %d >>\n"
            b"startxref\n%d\n%%%%EOF\n" % (far + 1, root.encode(), far, prev, table_at))
    path.write_bytes(bytes(out))
    return path


def incremental_input(kind: str, path: Path) -> Path:
    if kind == "table":
        shutil.copyfile(SAMPLE, path)
    elif kind == "hybrid":
        hybrid_pdf(path)
    elif kind == "sparse":
        sparse_pdf(path)
    else:
        flags = {"stream": ["--object-streams=generate"], "linearized": ["--linearize"]}[kind]
        subprocess.run([need_tool("qpdf")] + flags + [str(SAMPLE), str(path)], check=True)
    return path


def last_startxref(data: bytes) -> int:
    return int(re.findall(rb"startxref\s+(\d+)", data)[-1])


# The kind of the input's newest section, and the kind the update must use.
@pytest.mark.parametrize("kind,section", [
    ("table", "table"),
    ("stream", "stream"),
    ("hybrid", "table"),
    ("linearized", "table"),
    ("sparse", "table"),
])
def test_incremental_updates(tmp_path: Path, kind: str, section: str) -> None:
    src = incremental_input(kind, tmp_path / "in.pdf")
    pages = subprocess.run([need_tool("pdfinfo"), str(src)], capture_output=True,
                           text=True, check=True).stdout
    # Three updates, one on top of the other; the last one in place.
    steps = [(src, tmp_path / "o1.pdf", "FIRSTINC"), (tmp_path / "o1.pdf", tmp_path / "o2.pdf",
             "SECONDINC"), (tmp_path / "o2.pdf", tmp_path / "o2.pdf", "THIRDINC")]
    words = []
    for before, after, word in steps:
        old = before.read_bytes()
        r = run("text", before, after, word, "--incremental", "--position", "top")
        assert r.code == 0 and r.err == "", r
        new = after.read_bytes()
        assert new.startswith(old) and len(new) > len(old)
        added = new[len(old):]
        if section == "stream":
            assert b"/Type /XRef" in added and b"trailer" not in added
        else:
            assert b"\nxref\n" in added and b"trailer" in added and b"/Type /XRef" not in added
        assert re.search(rb"/Prev %d\b" % last_startxref(old), added)
        assert last_startxref(new) >= len(old)
        proc = subprocess.run([need_tool("qpdf"), "--check", str(after)], capture_output=True,
                              text=True)
        assert proc.returncode == 0 and "WARNING" not in proc.stdout + proc.stderr, proc.stdout
        xref = subprocess.run([need_tool("qpdf"), "--show-xref", str(after)],
                              capture_output=True, text=True, check=True).stdout
        offsets = [int(m) for m in re.findall(r"offset = (\d+)", xref)]
        assert any(o >= len(old) for o in offsets), xref
        info = subprocess.run([need_tool("pdfinfo"), str(after)], capture_output=True,
                              text=True, check=True).stdout
        assert re.search(r"Pages:\s+3\n", info) and re.search(r"Pages:\s+3\n", pages)
        if kind in ("hybrid", "sparse"):
            assert ("Hybrid input" if kind == "hybrid" else "Sparse input") in info
        words.append(word)
        for w in words:
            assert pages_with(after, w) == [1, 2, 3], w
    if kind == "sparse":
        # The full rewrite lists the far number too.
        full = tmp_path / "full.pdf"
        assert run("text", src, full, "WHOLE").code == 0
        qpdf_ok(full)
        info = subprocess.run([need_tool("pdfinfo"), str(full)], capture_output=True,
                              text=True, check=True).stdout
        assert "Sparse input" in info
        assert pages_with(full, "WHOLE") == [1, 2, 3]


def big_pdf(path: Path, hole: int, section: str) -> Tuple[int, int]:
    """A one-page PDF whose page, content and cross-reference section lie
    behind a stream of `hole` zero bytes, left as a hole in a sparse file
    (no disk is used for it). `section`: "table" or "stream" (a
    cross-reference stream with 5-byte offsets). Returns the file's size and
    the offset of its section."""
    head = b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n"
    objs = {1: b"<< /Type /Catalog /Pages 2 0 R >>",
            2: b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            3: b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R"
               b" /Resources << /Font << /F1 << /Type /Font /Subtype /Type1"
               b" /BaseFont /Helvetica >> >> >> >>"}
    text = b"BT /F1 24 Tf 72 700 Td (FAR INSIDE) Tj ET"
    offsets = {}
    with open(path, "wb") as f:
        f.write(head)
        for n in (1, 2):
            offsets[n] = f.tell()
            f.write(b"%d 0 obj\n%s\nendobj\n" % (n, objs[n]))
        offsets[5] = f.tell()
        f.write(b"5 0 obj\n<< /Length %d >>\nstream\n" % hole)
        f.seek(hole, os.SEEK_CUR)
        f.write(b"\nendstream\nendobj\n")
        offsets[3] = f.tell()
        f.write(b"3 0 obj\n%s\nendobj\n" % objs[3])
        offsets[4] = f.tell()
        f.write(b"4 0 obj\n<< /Length %d >>\nstream\n%s\nendstream\nendobj\n"
                % (len(text), text))
        xref = f.tell()
        if section == "table":
            f.write(b"xref\n0 6\n0000000000 65535 f \n")
            for n in range(1, 6):
                f.write(b"%010d 00000 n \n" % offsets[n])
            f.write(b"trailer\n<< /Size 6 /Root 1 0 R >>\n")
        else:
            offsets[6] = xref
            rows = b"\x00" + b"\x00" * 5 + b"\xff\xff"
            rows += b"".join(b"\x01" + offsets[n].to_bytes(5, "big") + b"\x00\x00"
                             for n in range(1, 7))
            f.write(b"6 0 obj\n<< /Type /XRef /Size 7 /Root 1 0 R /W [1 5 2] /Length %d >>"
                    b"\nstream\n%s\nendstream\nendobj\n" % (len(rows), rows))
        f.write(b"startxref\n%d\n%%%%EOF\n" % xref)
        return f.tell(), xref


# Offsets past 2 GiB (a full rewrite, whose table lines hold ten digits,
# and an update in place) and past 4 GiB (an update whose cross-reference
# stream needs offsets wider than 4 bytes). Each run reads and copies the
# whole file: the sizes are kept just past the limits.
@pytest.mark.parametrize("section,hole,incremental_only", [
    ("table", (2 << 30) + 4096, False),
    ("stream", (4 << 30) + 4096, True),
])
def test_inputs_past_2_and_4_gib(tmp_path: Path, section: str, hole: int,
                                 incremental_only: bool) -> None:
    src = tmp_path / "in.pdf"
    out = tmp_path / "out.pdf"
    try:
        size, xref_at = big_pdf(src, hole, section)
        assert "FARINSIDE" in page_text(src, 1)
        if not incremental_only:
            r = run("text", src, out, "FULLSTAMP", "--position", "top")
            assert r.code == 0, r
            text = page_text(out, 1)
            assert "FULLSTAMP" in text and "FARINSIDE" in text, text
            xref = subprocess.run([need_tool("qpdf"), "--show-xref", str(out)],
                                  capture_output=True, text=True)
            assert xref.returncode == 0 and "WARNING" not in xref.stderr, xref.stderr
            offsets = [int(m) for m in re.findall(r"offset = (\d+)", xref.stdout)]
            assert max(offsets) > hole, xref.stdout
            out.unlink()
        # An update of the input's kind after its bytes (in place: the
        # output replaces the input).
        dest = out if incremental_only else src
        r = run("text", src, dest, "INCSTAMP", "--incremental", "--position", "top")
        assert r.code == 0, r
        with open(dest, "rb") as f:
            f.seek(size)
            added = f.read()
        kind = b"/W [1 5 2]" if section == "stream" else b"\nxref\n"
        assert kind in added and b"/Prev %d" % xref_at in added, added[-400:]
        assert last_startxref(added) > size
        text = page_text(dest, 1)
        assert "INCSTAMP" in text and "FARINSIDE" in text, text
    finally:
        for p in (src, out):  # a few GiB each
            if p.exists():
                p.unlink()


def signed_pdf(tmp_path: Path, signatures: int) -> Tuple[Path, Path]:
    """SAMPLE signed `signatures` times by poppler with a self-signed
    certificate made by NSS's certutil; returns the file and the database."""
    nss = tmp_path / "nss"
    nss.mkdir()
    db = "sql:%s" % nss
    certutil = need_tool("certutil")
    subprocess.run([certutil, "-N", "-d", db, "--empty-password"], check=True,
                   capture_output=True)
    noise = tmp_path / "noise"
    noise.write_bytes(os.urandom(64))
    subprocess.run([certutil, "-S", "-n", "signer", "-s", "CN=Test Signer", "-x", "-t",
                    "CT,C,C", "-k", "rsa", "-g", "2048", "-Z", "SHA256", "-v", "12",
                    "-d", db, "-z", str(noise), "--keyUsage",
                    "digitalSignature,nonRepudiation"], check=True, capture_output=True)
    src = SAMPLE
    for i in range(signatures):
        out = tmp_path / ("signed%d.pdf" % (i + 1))
        subprocess.run([need_tool("pdfsig"), "-nssdir", db, "-add-signature", "-nick", "signer",
                        "-new-signature-field-name", "Sig%d" % (i + 1), str(src), str(out)],
                       check=True, capture_output=True)
        src = out
    return src, nss


def signature_states(path: Path, nss: Path) -> List[str]:
    proc = subprocess.run([need_tool("pdfsig"), "-nssdir", "sql:%s" % nss, str(path)],
                          capture_output=True, text=True)
    return re.findall(r"Signature Validation: (.*)", proc.stdout)


@pytest.mark.parametrize("signatures", [1, 2])
def test_incremental_keeps_signatures(tmp_path: Path, signatures: int) -> None:
    src, nss = signed_pdf(tmp_path, signatures)
    assert signature_states(src, nss) == ["Signature is Valid."] * signatures
    # Stamped twice, the second time in place: every signature still
    # verifies for the revision it signed.
    out = tmp_path / "stamped.pdf"
    for word, before in (("RECEIVED", src), ("APPROVED", out)):
        old = before.read_bytes()
        r = run("text", before, out, word, "--incremental", "--position", "top")
        assert r.code == 0 and r.err == "", r
        assert out.read_bytes().startswith(old)
        assert signature_states(out, nss) == ["Signature is Valid."] * signatures
        assert pages_with(out, word) == [1, 2, 3]
    # A full rewrite breaks them, and says so.
    full = tmp_path / "full.pdf"
    r = run("text", src, full, "RECEIVED")
    assert r.code == 0 and "digitally signed" in r.err and "no longer verify" in r.err, r
    states = signature_states(full, nss)
    assert len(states) == signatures and "Signature is Valid." not in states
    r = run("text", SAMPLE, full, "RECEIVED")
    assert r.code == 0 and r.err == "", r
    # Removing the stamps: incrementally without a word, whole with the
    # warning in the form every warning takes.
    r = run("remove", out, tmp_path / "kept.pdf", "--incremental")
    assert r.code == 0 and r.err == "", r
    assert signature_states(tmp_path / "kept.pdf", nss) == ["Signature is Valid."] * signatures
    # A relative name that begins as the lines of pages left in place do
    # ("page N: ...") is still a warning.
    shutil.copy(out, tmp_path / "page 2.pdf")
    r = run("remove", "page 2.pdf", "whole.pdf", cwd=tmp_path)
    assert r.code == 0 and r.err.startswith(
        "reraruvozari: warning: page 2.pdf: the file is digitally signed") and \
        "no longer verify" in r.err, r


def id_array(trailer: bytes) -> Optional[bytes]:
    """The /ID array of a trailer's text, whole: its strings may hold any
    byte, ']' and ')' included (escaped or balanced), so the array ends at
    the ']' outside every string."""
    m = re.search(rb"/ID\s*\[", trailer)
    if not m:
        return None
    i = m.end() - 1
    j = i + 1
    while j < len(trailer):
        c = trailer[j:j + 1]
        if c == b"]":
            return trailer[i:j + 1]
        if c == b"<":
            j = trailer.index(b">", j) + 1
        elif c == b"(":
            depth = 0
            while j < len(trailer):
                c = trailer[j:j + 1]
                if c == b"\\":
                    j += 2
                    continue
                depth += {b"(": 1, b")": -1}.get(c, 0)
                j += 1
                if depth == 0:
                    break
        else:
            j += 1
    return None


def certify_pdf(src: Path, out: Path, level: Optional[int]) -> None:
    """Makes the newest signature of `src` a certification of the given
    DocMDP level with an incremental update: the catalog gets /Perms
    /DocMDP, the signature dictionary a /Reference with the transform
    parameters (its signed bytes stay as they are). level None: the update
    changes nothing that matters (a copy of the catalog)."""
    data = src.read_bytes()
    prev = last_startxref(data)
    trailer = re.findall(rb"trailer\s*<<(.*?)>>\s*startxref", data, re.S)[-1]
    size = int(re.search(rb"/Size (\d+)", trailer).group(1))
    root = int(re.search(rb"/Root (\d+) 0 R", trailer).group(1))
    ident = id_array(trailer)

    def body(num: int) -> bytes:
        return re.findall(rb"\n%d 0 obj\s*(.*?)\s*endobj" % num, data, re.S)[-1]

    sig = int(re.findall(rb"\n(\d+) 0 obj\s*<<\s*/Type /Sig\b", data)[-1])
    cat, sigd = body(root), body(sig)
    objs = {root: cat}
    if level is not None:
        objs[root] = cat[:cat.rindex(b">>")] + b" /Perms << /DocMDP %d 0 R >> >>" % sig
        objs[sig] = (sigd[:sigd.rindex(b">>")] + b" /Reference [<< /Type /SigRef"
                     b" /TransformMethod /DocMDP /TransformParams << /Type /TransformParams"
                     b" /P %d /V /1.2 >> >>] >>" % level)
    out_b = bytearray(data if data.endswith(b"\n") else data + b"\n")
    offs = {}
    for num in sorted(objs):
        offs[num] = len(out_b)
        out_b += b"%d 0 obj\n" % num + objs[num] + b"\nendobj\n"
    xref = len(out_b)
    out_b += b"xref\n" + b"".join(b"%d 1\n%010d 00000 n \n" % (n, offs[n]) for n in sorted(objs))
    out_b += (b"trailer\n<< /Size %d /Root %d 0 R /Prev %d%s >>\nstartxref\n%d\n%%%%EOF\n"
              % (size, root, prev, b" /ID " + ident if ident else b"", xref))
    out.write_bytes(bytes(out_b))


# Every level of certification refuses a change of the pages (none of them
# admits new page content) unless --ignore-permissions; without /Perms the
# signed file is stamped as any other.
CERTIFIED = [
    (1, "no changes allowed"),
    (2, "only form filling and signing allowed"),
    (3, "only form filling, signing and annotations allowed"),
    (None, None),
]


def test_certified_documents(tmp_path: Path) -> None:
    signed, nss = signed_pdf(tmp_path, 1)
    for level, allowed in CERTIFIED:
        src = tmp_path / ("cert%s.pdf" % level)
        certify_pdf(signed, src, level)
        assert signature_states(src, nss) == ["Signature is Valid."]
        out = tmp_path / "out.pdf"
        if out.exists():
            out.unlink()
        for cmd in (["text", src, out, "RECEIVED"], ["image", src, out, LOGO],
                    ["text", src, out, "RECEIVED", "--incremental"]):
            r = run(*cmd)
            if allowed is None:
                assert r.code == 0, (level, cmd, r)
                out.unlink()
                continue
            assert r.code == 1 and not out.exists(), (level, cmd, r)
            assert r.err == ("reraruvozari: the document is certified with %s; use "
                             "--ignore-permissions to stamp it anyway\n" % allowed), r
        # Overridden: the update keeps the signature valid, the stamp shows.
        r = run("text", src, out, "RECEIVED", "--incremental", "--ignore-permissions")
        assert r.code == 0 and r.err == "", (level, r)
        assert out.read_bytes().startswith(src.read_bytes())
        qpdf_ok(out)
        assert signature_states(out, nss) == ["Signature is Valid."]
        assert pages_with(out, "RECEIVED") == [1, 2, 3]
        # Removing the stamp is a change of the pages as well.
        back = tmp_path / "back.pdf"
        r = run("remove", out, back, "--incremental")
        if allowed is not None:
            assert r.code == 1 and not back.exists(), (level, r)
            assert "certified with %s" % allowed in r.err and "remove its stamps" in r.err, r
            r = run("remove", out, back, "--incremental", "--ignore-permissions")
        assert r.code == 0 and pages_with(back, "RECEIVED") == [], (level, r)
        assert signature_states(back, nss) == ["Signature is Valid."]
        back.unlink()
        # A full rewrite, overridden, says that the signature breaks.
        r = run("image", src, out, LOGO, "--ignore-permissions")
        assert r.code == 0 and "digitally signed" in r.err, (level, r)
        qpdf_ok(out)
        out.unlink()


def test_incremental_refuses_damaged_input(tmp_path: Path) -> None:
    # Bytes more after the header: every offset of the table is wrong, and
    # the loader finds the objects by scanning.
    data = SAMPLE.read_bytes()
    cut = data.index(b"\n") + 1
    src = tmp_path / "damaged.pdf"
    src.write_bytes(data[:cut] + b"junk bytes\n" + data[cut:])
    out = tmp_path / "o.pdf"
    r = run("text", src, out, "X", "--incremental")
    assert r.code == 1 and "incremental" in r.err and "damaged" in r.err, r
    assert not out.exists() and list(tmp_path.iterdir()) == [src]
    assert run("text", src, out, "REPAIRED").code == 0
    qpdf_ok(out)


def test_unicode_text_and_paths(tmp_path: Path) -> None:
    folder = tmp_path / "Verträge" / "日本"
    folder.mkdir(parents=True)
    src = folder / "Übersicht.pdf"
    shutil.copyfile(SAMPLE, src)
    out = folder / "機密.pdf"
    r = run("text", src, out, "機密 Конфиденциально")
    assert r.code == 0, r
    qpdf_ok(out)
    words = page_text(out, 1)
    assert "機密" in words and "Конфиденциально" in words
    r = run("pages", out)
    assert r.code == 0 and r.out == "3\n", r


# ---- image -----------------------------------------------------------------

def test_image_defaults_and_options(tmp_path: Path) -> None:
    out = tmp_path / "o.pdf"
    r = run("image", SAMPLE, out, LOGO)
    assert r.code == 0 and r.out == "" and r.err == "", r
    qpdf_ok(out)
    plain = render_rgb(SAMPLE)
    assert render_rgb(out) != plain
    out2 = tmp_path / "o2.pdf"
    r = run("image", SAMPLE, out2, LOGO, "--opacity", "1", "--scale", "0.5",
            "--position", "bottom-left", "--pages", "2-")
    assert r.code == 0, r
    qpdf_ok(out2)
    assert render_rgb(out2, 1) == plain
    assert render_rgb(out2, 2) != render_rgb(SAMPLE, 2)


def test_image_option_instead_of_argument(tmp_path: Path) -> None:
    a = tmp_path / "a.pdf"
    b = tmp_path / "b.pdf"
    assert run("image", SAMPLE, a, LOGO).code == 0
    assert run("image", "--image", LOGO, SAMPLE, b).code == 0
    assert a.read_bytes() == b.read_bytes()


# ---- batch -----------------------------------------------------------------

def make_inputs(folder: Path, names: Sequence[str]) -> List[Path]:
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for name in names:
        path = folder / name
        shutil.copyfile(SAMPLE, path)
        paths.append(path)
    return paths


def test_batch_text_with_a_failing_file(tmp_path: Path) -> None:
    good = make_inputs(tmp_path / "in", ["a.pdf", "b.pdf"])
    bad = tmp_path / "in" / "broken.pdf"
    bad.write_bytes(b"not a pdf\n")
    outdir = tmp_path / "stamped"
    r = run("text", "-o", outdir, "--text", "BATCH", good[0], bad, good[1])
    assert r.code == 1, r
    assert r.out == "stamped 2 of 3 files, 1 failed\n", r
    assert r.err.startswith("reraruvozari: ") and str(bad) in r.err
    assert str(good[0]) not in r.err and str(good[1]) not in r.err
    assert "[1/3]" not in r.err  # stderr is not a terminal here
    for name in ("a.pdf", "b.pdf"):
        qpdf_ok(outdir / name)
        assert pages_with(outdir / name, "BATCH") == [1, 2, 3]
    assert not (outdir / "broken.pdf").exists()


def test_batch_missing_file_and_options(tmp_path: Path) -> None:
    good = make_inputs(tmp_path / "in", ["a.pdf"])
    outdir = tmp_path / "out"
    outdir.mkdir()
    r = run("text", good[0], "--pages", "2", tmp_path / "nope.pdf", "--output-dir",
            str(outdir) + "/", "--text=BATCH", "--size", "20")
    assert r.code == 1 and "stamped 1 of 2 files, 1 failed" in r.out, r
    assert "cannot open" in r.err
    assert pages_with(outdir / "a.pdf", "BATCH") == [2]


def test_batch_all_good(tmp_path: Path) -> None:
    files = make_inputs(tmp_path / "in", ["x.pdf", "y.pdf", "z.pdf"])
    r = run("image", "-o", tmp_path / "new" / "dir", "--image", LOGO, *files)
    assert r.code == 0, r
    assert r.out == "stamped 3 of 3 files, 0 failed\n"
    for f in files:
        qpdf_ok(tmp_path / "new" / "dir" / f.name)


def test_batch_same_base_name_is_not_overwritten(tmp_path: Path) -> None:
    a = make_inputs(tmp_path / "one", ["doc.pdf"])[0]
    b = make_inputs(tmp_path / "two", ["doc.pdf"])[0]
    r = run("text", "-o", tmp_path / "out", "--text", "T", a, b)
    assert r.code == 1 and "stamped 1 of 2 files, 1 failed" in r.out, r
    assert str(b) in r.err


def test_batch_progress_on_a_terminal(tmp_path: Path) -> None:
    pty = pytest.importorskip("pty")  # POSIX only
    files = make_inputs(tmp_path / "in", ["p.pdf", "q.pdf"])
    master, slave = pty.openpty()
    try:
        assert CLI is not None
        proc = subprocess.run([CLI, "text", "-o", str(tmp_path / "o"), "--text", "T"]
                              + [str(f) for f in files],
                              stdout=subprocess.PIPE, stderr=slave, timeout=120)
        os.close(slave)
        slave = -1
        chunks = []
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            chunks.append(chunk)
        err = b"".join(chunks).decode("utf-8", "replace")
    finally:
        if slave >= 0:
            os.close(slave)
        os.close(master)
    assert proc.returncode == 0
    assert "[1/2] " + str(files[0]) in err and "[2/2] " + str(files[1]) in err
    assert proc.stdout == b"stamped 2 of 2 files, 0 failed\n"


def run_env(env: dict, *args: object) -> Result:
    assert CLI is not None
    full = dict(os.environ)
    full.update(env)
    return Result(subprocess.run([CLI] + [str(a) for a in args], capture_output=True,
                                 env=full, timeout=600))


def tree_bytes(folder: Path) -> dict:
    return {str(p.relative_to(folder)): p.read_bytes()
            for p in sorted(folder.rglob("*")) if p.is_file()}


def test_batch_parallel_outputs_match_serial(tmp_path: Path) -> None:
    # 200 inputs: the sample under many names, every few a file of its own
    # (the sample stamped once already) and one broken file.
    src = tmp_path / "in"
    files = make_inputs(src, ["f%03d.pdf" % i for i in range(200)])
    seed = tmp_path / "seed.pdf"
    assert run("text", SAMPLE, seed, "SEED", "--size", "20").code == 0
    for f in files[::7]:
        shutil.copyfile(seed, f)
    files[50].write_bytes(b"%PDF-1.4\nnot really\n")
    results = {}
    for jobs in ("1", "2", "5"):
        out = tmp_path / ("j" + jobs)
        r = run("text", "-j", jobs, "-o", out, "--text", "PARALLEL", "--pages", "2-", *files)
        assert r.code == 1, r
        assert r.out == "stamped 199 of 200 files, 1 failed\n", r
        assert r.err.count("reraruvozari: ") == 1 and str(files[50]) in r.err, r
        results[jobs] = tree_bytes(out)
    assert len(results["1"]) == 199
    assert results["2"] == results["1"] and results["5"] == results["1"]
    # The same bytes as the single-file command writes.
    single = tmp_path / "single.pdf"
    assert run("text", files[7], single, "PARALLEL", "--pages", "2-").code == 0
    assert results["2"][files[7].name] == single.read_bytes()
    qpdf_ok(tmp_path / "j2" / files[7].name)
    assert pages_with(tmp_path / "j2" / files[8].name, "PARALLEL") == [2, 3]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_batch_worker_crash_fails_one_file(tmp_path: Path, jobs: str) -> None:
    files = make_inputs(tmp_path / "in", ["c%02d.pdf" % i for i in range(12)])
    good = tmp_path / "good"
    assert run("image", "-o", good, "--image", LOGO, *files).code == 0
    out = tmp_path / "out"
    r = run_env({"RRV_TEST_WORKER_CRASH": "c04.pdf"}, "image", "-j", jobs, "-o", out,
                "--image", LOGO, *files)
    assert r.code == 1, r
    assert r.out == "stamped 11 of 12 files, 1 failed\n", r
    assert r.err.count("reraruvozari: ") == 1, r
    assert str(files[4]) + ": the worker process stamping it was killed by signal 9" in r.err
    # The worker died before writing anything; the others are untouched.
    expected = tree_bytes(good)
    del expected["c04.pdf"]
    assert tree_bytes(out) == expected


def test_batch_recursive_keeps_the_layout(tmp_path: Path) -> None:
    src = tmp_path / "docs"
    make_inputs(src, ["top.pdf"])
    make_inputs(src / "a" / "b", ["deep.pdf", "UPPER.PDF"])
    make_inputs(src / "c", ["x.pdf"])
    (src / "c" / "notes.txt").write_text("not a pdf")
    (src / "c" / "pdf").mkdir()  # a directory is not a file
    loose = make_inputs(tmp_path / "loose", ["single.pdf"])[0]
    out = src / "stamped"  # inside the tree: not walked into
    make_inputs(out, ["old.pdf"])
    args = ["text", "-j2", "-r", "-o", out, "--text", "TREE", src, loose]
    r = run(*args)
    assert r.code == 0, r
    assert r.out == "stamped 5 of 5 files, 0 failed\n", r
    got = sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file())
    assert got == sorted(["a/b/UPPER.PDF", "a/b/deep.pdf", "c/x.pdf", "old.pdf",
                          "single.pdf", "top.pdf"])
    for rel in ("a/b/deep.pdf", "c/x.pdf", "single.pdf"):
        qpdf_ok(out / rel)
        assert pages_with(out / rel, "TREE") == [1, 2, 3]
    assert (out / "old.pdf").read_bytes() == SAMPLE.read_bytes()
    # Run again: the outputs of the first run are not inputs of the second.
    r = run(*args)
    assert r.out == "stamped 5 of 5 files, 0 failed\n", r
    # Without -r a directory is an input like any other, and fails.
    r = run("text", "-o", tmp_path / "flat", "--text", "T", src)
    assert r.code == 1 and "stamped 0 of 1 files, 1 failed" in r.out, r


# ---- pages -----------------------------------------------------------------

def test_pages_single() -> None:
    r = run("pages", SAMPLE)
    assert r.code == 0 and r.out == "3\n" and r.err == "", r


@pytest.mark.parametrize("name,count", [
    ("pysample_pdflatex-4-pages.pdf", 4),
    ("pdfjs_standard_fonts.pdf", 14),
    ("pdfjs_labelled_pages.pdf", 11),
    ("pysample_002-trivial-libre-office-writer.pdf", 1),
])
def test_pages_corpus(name: str, count: int) -> None:
    r = run("pages", CORPUS / name)
    assert r.code == 0 and r.out == "%d\n" % count, r


def test_pages_several_with_a_failure(tmp_path: Path) -> None:
    a = CORPUS / "pysample_pdflatex-4-pages.pdf"
    b = CORPUS / "pdfjs_standard_fonts.pdf"
    missing = tmp_path / "missing.pdf"
    r = run("pages", a, missing, b)
    assert r.code == 1, r
    assert r.out == "%s: 4\n%s: 14\n" % (a, b)
    assert r.err.startswith("reraruvozari: ") and r.err.count("\n") == 1
    assert str(missing) in r.err and "cannot open" in r.err


def test_pages_several() -> None:
    r = run("pages", SAMPLE, SAMPLE)
    assert r.code == 0 and r.out == "%s: 3\n%s: 3\n" % (SAMPLE, SAMPLE), r


# ---- marked stamps: layers, artifacts, removal ------------------------------

def make_pdf(objs: Sequence[str]) -> bytes:
    """A PDF whose object i + 1 is objs[i] (streams given as (dict, data)
    written with their /Length), /Root 1 0 R, with a correct xref table."""
    out = b"%PDF-1.4\n"
    offsets = []
    for i, o in enumerate(objs):
        offsets.append(len(out))
        if isinstance(o, tuple):
            body = ("<< /Length %d %s >>\nstream\n" % (len(o[1]), o[0])).encode() + \
                o[1].encode() + b"\nendstream"
        else:
            body = o.encode()
        out += b"%d 0 obj\n" % (i + 1) + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
    for off in offsets:
        out += b"%010d 00000 n \n" % off
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (
        len(objs) + 1, xref)
    return out


LAYER_TEXT = "/OC /L1 BDC BT /F1 24 Tf 72 700 Td (Layer one) Tj ET EMC"
LAYER_BOX = "/OC /L2 BDC 0 0 1 rg 100 100 200 150 re f EMC"

# Four pages with content in two CAD-style layers, reached every way a page
# can list content and resources: one stream with inline resources, an array
# with a resources object, an array object with inherited resources, and no
# content at all. The default configuration orders the layers under a label
# and hides the second.
LAYERED = [
    "<< /Type /Catalog /Pages 2 0 R /OCProperties << /OCGs [10 0 R 11 0 R] "
    "/D << /Name (CAD) /Order [(Drawing) [10 0 R 11 0 R]] /OFF [11 0 R] >> >> >>",
    "<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R 8 0 R] /Count 4 "
    "/Resources << /Font << /F1 9 0 R >> /Properties << /L1 10 0 R /L2 11 0 R >> >> >>",
    "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 500] /Contents 6 0 R "
    "/Resources << /Font << /F1 9 0 R >> /Properties << /L1 10 0 R /L2 11 0 R >> >> >>",
    "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 500] /Contents [6 0 R 7 0 R] "
    "/Resources 12 0 R >>",
    "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 500] /Contents 13 0 R >>",
    ("", LAYER_TEXT),
    ("", LAYER_BOX),
    "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 500] >>",
    "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    "<< /Type /OCG /Name (Layer A) >>",
    "<< /Type /OCG /Name (Layer B) >>",
    "<< /Font << /F1 9 0 R >> /Properties << /L1 10 0 R /L2 11 0 R >> >>",
    "[6 0 R 7 0 R]",
]

# Optional content properties as objects of their own, the default
# configuration starting from everything off, with /AS entries already.
LAYERED_REF = [
    "<< /Type /Catalog /Pages 2 0 R /OCProperties 5 0 R >>",
    "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
    "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 500] /Contents 4 0 R "
    "/Resources << /Font << /F1 9 0 R >> /Properties << /L1 7 0 R /L2 8 0 R >> >> >>",
    ("", LAYER_TEXT + " " + LAYER_BOX),
    "<< /OCGs [7 0 R 8 0 R] /D 6 0 R >>",
    "<< /BaseState /OFF /ON [7 0 R] /Order [7 0 R 8 0 R] /AS [<< /Event /View "
    "/OCGs [7 0 R] /Category [/Zoom] >>] >>",
    "<< /Type /OCG /Name (Layer A) /Usage << /Zoom << /min 0.5 >> >> >>",
    "<< /Type /OCG /Name (Layer B) >>",
    "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
]

# Tagged: the page's text is a paragraph of the structure tree.
TAGGED = [
    "<< /Type /Catalog /Pages 2 0 R /MarkInfo << /Marked true >> /Lang (en) "
    "/StructTreeRoot 5 0 R >>",
    "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
    "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 500] /Contents 4 0 R "
    "/StructParents 0 /Resources << /Font << /F1 8 0 R >> >> >>",
    ("", "/P <</MCID 0>> BDC BT /F1 24 Tf 72 400 Td (Hello tagged world) Tj ET EMC"),
    "<< /Type /StructTreeRoot /K 6 0 R /ParentTree 7 0 R /ParentTreeNextKey 1 >>",
    "<< /Type /StructElem /S /P /P 5 0 R /Pg 3 0 R /K 0 >>",
    "<< /Nums [0 [6 0 R]] >>",
    "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
]

INPUTS = {"sample": None, "layered": LAYERED, "layered_ref": LAYERED_REF, "tagged": TAGGED}


def make_input(tmp_path: Path, name: str) -> Path:
    if INPUTS[name] is None:
        return SAMPLE
    path = tmp_path / (name + ".pdf")
    path.write_bytes(make_pdf(INPUTS[name]))
    return path


class Doc:
    """A PDF read through qpdf's JSON: objects by "N 0 R", values with
    their references resolved (streams by their dictionaries)."""

    def __init__(self, path: Path) -> None:
        proc = subprocess.run([need_tool("qpdf"), "--json=2", "--json-key=qpdf",
                               "--json-key=pages", str(path)], capture_output=True, text=True)
        assert proc.returncode in (0, 3), proc.stderr
        import json
        j = json.loads(proc.stdout)
        self.objs = {k[4:]: v for k, v in j["qpdf"][1].items() if k.startswith("obj:")}
        self.page_refs = [p["object"] for p in j["pages"]]
        self.trailer = j["qpdf"][1]["trailer"]["value"]
        self.path = path

    def value(self, ref: str) -> object:
        o = self.objs[ref]
        return o["stream"]["dict"] if "stream" in o else o["value"]

    def resolve(self, v: object, depth: int = 0) -> object:
        if isinstance(v, str) and v.endswith(" R") and depth < 12:
            if v not in self.objs:
                return None
            o = self.objs[v]
            if "stream" in o:
                return {"stream": self.resolve(o["stream"]["dict"], depth + 1)}
            return self.resolve(o["value"], depth + 1)
        if isinstance(v, dict):
            return {k: self.resolve(x, depth) for k, x in v.items() if k not in ("/Parent", "/P", "/Pg")}
        if isinstance(v, list):
            return [self.resolve(x, depth) for x in v]
        return v

    def pages(self) -> List[object]:
        return [self.resolve(r) for r in self.page_refs]

    def catalog(self) -> dict:
        return self.value(self.trailer["/Root"])

    def oc_properties(self) -> object:
        return self.resolve(self.catalog().get("/OCProperties"))

    def stream_data(self, ref: str) -> bytes:
        proc = subprocess.run([need_tool("qpdf"), "--show-object=" + ref.split()[0],
                               "--filtered-stream-data", str(self.path)], capture_output=True)
        assert proc.returncode in (0, 3), proc.stderr
        return proc.stdout

    def contents(self, page: int) -> List[str]:
        c = self.value(self.page_refs[page])["/Contents"] if "/Contents" in self.value(self.page_refs[page]) else []
        if isinstance(c, str):
            c = self.value(c) if isinstance(self.objs[c].get("value"), list) else [c]
        return list(c)


def struct_text(path: Path) -> str:
    proc = subprocess.run([need_tool("pdfinfo"), "-struct-text", str(path)],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def content_ops(data: bytes) -> List[Tuple[str, List[bytes]]]:
    """The operators of a content stream with their operands (strings,
    names, numbers and inline dictionaries as raw tokens)."""
    ops: List[Tuple[str, List[bytes]]] = []
    operands: List[bytes] = []
    i = 0
    n = len(data)
    while i < n:
        c = data[i:i + 1]
        if c.isspace():
            i += 1
        elif c == b"(":
            depth, j = 0, i
            while j < n:
                if data[j:j + 1] == b"\\":
                    j += 2
                    continue
                depth += {b"(": 1, b")": -1}.get(data[j:j + 1], 0)
                j += 1
                if depth == 0:
                    break
            operands.append(data[i:j])
            i = j
        elif data[i:i + 2] == b"<<":
            j = data.index(b">>", i) + 2
            operands.append(data[i:j])
            i = j
        elif c == b"<":
            j = data.index(b">", i) + 1
            operands.append(data[i:j])
            i = j
        elif c in b"[]":
            operands.append(c)
            i += 1
        else:
            j = i + 1
            while j < n and not data[j:j + 1].isspace() and data[j:j + 1] not in b"()<>[]/":
                j += 1
            tok = data[i:j]
            if tok[:1] == b"/" or tok[:1] in b"+-.0123456789":
                operands.append(tok)
            else:
                ops.append((tok.decode(), operands))
                operands = []
            i = j
    return ops


def stamp_streams(doc: Doc, page: int) -> List[Tuple[dict, bytes]]:
    out = []
    for ref in doc.contents(page):
        d = doc.value(ref)
        mark = d.get("/KpWm")
        if isinstance(mark, dict) and mark.get("/Kind") in ("/Over", "/Under", "/Alone"):
            out.append((mark, doc.stream_data(ref)))
    return out


def stamp_chain(src: Path, tmp_path: Path, steps: Sequence[Sequence[object]]) -> Path:
    cur = src
    for k, step in enumerate(steps):
        out = tmp_path / ("step%d.pdf" % k)
        kind, rest = step[0], list(step[1:])
        payload = rest.pop(0)
        r = run(kind, cur, out, payload, *rest)
        assert r.code == 0, r
        cur = out
    return cur


STAMP_CHAINS = {
    "text": [["text", "DRAFT"]],
    "text_then_image_under": [["text", "DRAFT", "--opacity", "0.6"],
                              ["image", LOGO, "--under", "--layer", "Logo"]],
    "tiled_no_layer": [["text", "COPY", "--no-layer", "--tile", "--size", "20"]],
    "image_print_only": [["image", LOGO, "--show", "print", "--layer", "Entwurf \u00fc"]],
}


@pytest.mark.parametrize("chain", sorted(STAMP_CHAINS))
@pytest.mark.parametrize("name", sorted(INPUTS))
def test_stamp_then_remove_gives_the_input_back(tmp_path: Path, name: str, chain: str) -> None:
    src = make_input(tmp_path, name)
    steps = STAMP_CHAINS[chain]
    stamped = stamp_chain(src, tmp_path, steps)
    qpdf_ok(stamped)
    before = Doc(src)
    count = len(before.page_refs)
    # Every stamp is in place and every operator it draws is inside the
    # watermark artifact (and its layer's sequence).
    after_stamp = Doc(stamped)
    for page in range(count):
        streams = stamp_streams(after_stamp, page)
        assert len(streams) == len(steps), (page, streams)
        for mark, data in streams:
            ops = content_ops(data)
            names = [op for op, _ in ops]
            if mark["/Kind"] == "/Over":
                assert names[0] == "Q"
                names, ops = names[1:], ops[1:]
            if mark["/Kind"] == "/Under":
                assert names[-1] == "q"
                names, ops = names[:-1], ops[:-1]
            layered = "/OC" in mark
            opening = 2 if layered else 1
            assert names[:opening] == ["BDC"] * opening and names[-opening:] == ["EMC"] * opening
            artifact = ops[opening - 1][1]
            assert artifact[0] == b"/Artifact"
            assert b"/Subtype /Watermark" in artifact[1] and b"/Type /Pagination" in artifact[1]
            if layered:
                assert ops[0][1][0] == b"/OC"
            depth = 0
            for k, op in enumerate(names):
                depth += {"BDC": 1, "BMC": 1, "EMC": -1}.get(op, 0)
                assert depth > 0 or k == len(names) - 1, (k, op, names)
    if name == "tagged":
        assert after_stamp.resolve(after_stamp.catalog()["/StructTreeRoot"]) == \
            before.resolve(before.catalog()["/StructTreeRoot"])
        assert struct_text(stamped) == struct_text(src)

    out = tmp_path / "removed.pdf"
    r = run("remove", stamped, out)
    assert r.code == 0 and r.err == "", r
    stamps = len(steps) * count
    assert r.out == "removed %d stamp%s from %d page%s\n" % (
        stamps, "" if stamps == 1 else "s", count, "" if count == 1 else "s"), r
    qpdf_ok(out)
    after = Doc(out)
    assert after.pages() == before.pages()
    assert after.oc_properties() == before.oc_properties()
    for page in range(1, count + 1):
        assert render_rgb(out, page) == render_rgb(src, page), page
    if name == "tagged":
        assert struct_text(out) == struct_text(src)


@pytest.mark.parametrize("name", ["layered", "layered_ref"])
@pytest.mark.parametrize("show", ["both", "screen", "print"])
def test_layer_joins_existing_optional_content(tmp_path: Path, name: str, show: str) -> None:
    src = make_input(tmp_path, name)
    out = tmp_path / "o.pdf"
    r = run("text", src, out, "DRAFT", "--show", show, "--layer", "Stamp")
    assert r.code == 0, r
    qpdf_ok(out)
    before, after = Doc(src), Doc(out)
    old, new = before.oc_properties(), after.oc_properties()
    assert isinstance(old, dict) and isinstance(new, dict)
    # Existing groups, their order and states first and unchanged.
    n_old = len(old["/OCGs"])
    assert new["/OCGs"][:n_old] == old["/OCGs"] and len(new["/OCGs"]) == n_old + 1
    group = new["/OCGs"][-1]
    assert group["/Name"] == "u:Stamp" and group["/KpWm"] is True
    assert new["/D"]["/Order"][:len(old["/D"]["/Order"])] == old["/D"]["/Order"]
    assert new["/D"]["/Order"][-1] == group
    for key in ("/ON", "/OFF", "/AS"):
        kept = old["/D"].get(key, [])
        assert new["/D"].get(key, [])[:len(kept)] == kept, key
    assert old["/D"].get("/BaseState") == new["/D"].get("/BaseState")
    # The usage says what viewers and printers do; /AS makes them apply it.
    usage = group["/Usage"]
    assert usage["/View"]["/ViewState"] == ("/OFF" if show == "print" else "/ON")
    assert usage["/Print"]["/PrintState"] == ("/OFF" if show == "screen" else "/ON")
    events = {(e["/Event"], tuple(e["/Category"])) for e in new["/D"]["/AS"] if group in e["/OCGs"]}
    assert events == {("/View", ("/View",)), ("/Print", ("/Print",))}
    off = group in new["/D"].get("/OFF", [])
    on = group in new["/D"].get("/ON", [])
    base_off = old["/D"].get("/BaseState") == "/OFF"
    assert off == (show == "print" and not base_off)
    assert on == (base_off and show != "print")
    # Optional content needs PDF 1.5: the header or the catalog says so.
    header = float(out.read_bytes()[5:8])
    assert max(header, float(after.catalog().get("/Version", "/0")[1:])) >= 1.5
    # The layers of the document still show as before where the stamp is not.
    rgb_in, rgb_out = render_rgb(src), render_rgb(out)
    if show == "print":
        assert rgb_out == rgb_in
    else:
        assert rgb_out != rgb_in


@pytest.mark.parametrize("show,visible", [("both", True), ("screen", True), ("print", False)])
def test_show_decides_what_the_screen_shows(tmp_path: Path, show: str, visible: bool) -> None:
    out = tmp_path / "o.pdf"
    r = run("image", SAMPLE, out, LOGO, "--show", show, "--scale", "3")
    assert r.code == 0, r
    for page in (1, 3):
        assert (render_rgb(out, page) != render_rgb(SAMPLE, page)) == visible
    # Without a layer the stamp always shows, and the catalog has no groups;
    # a --show it cannot honour is warned of.
    r = run("image", SAMPLE, out, LOGO, "--show", show, "--no-layer", "--scale", "3")
    assert r.code == 0, r
    assert render_rgb(out, 1) != render_rgb(SAMPLE, 1)
    assert Doc(out).oc_properties() is None
    assert ("warning: the stamp is in no layer" in r.err) == (show != "both"), r


def test_replace_leaves_exactly_one_stamp(tmp_path: Path) -> None:
    a, b, c = tmp_path / "a.pdf", tmp_path / "b.pdf", tmp_path / "c.pdf"
    assert run("text", SAMPLE, a, "PRELIM", "--position", "center", "--rotation", "0").code == 0
    r = run("text", a, b, "FINAL", "--position", "center", "--rotation", "0", "--replace")
    assert r.code == 0, r
    qpdf_ok(b)
    assert pages_with(b, "FINAL") == [1, 2, 3] and pages_with(b, "PRELIM") == []
    doc = Doc(b)
    assert [len(stamp_streams(doc, p)) for p in range(3)] == [1, 1, 1]
    assert len(doc.oc_properties()["/OCGs"]) == 1
    # Replacing on some pages only leaves the others' stamps alone.
    r = run("text", b, c, "COPY", "--position", "center", "--rotation", "0", "--replace",
            "--pages", "2")
    assert r.code == 0, r
    assert pages_with(c, "FINAL") == [1, 3] and pages_with(c, "COPY") == [2]
    assert len(Doc(c).oc_properties()["/OCGs"]) == 2
    r = run("remove", c, a)
    assert r.code == 0 and r.out == "removed 3 stamps from 3 pages\n", r
    assert Doc(a).pages() == Doc(SAMPLE).pages() and Doc(a).oc_properties() is None


def test_remove_selected_pages_only(tmp_path: Path) -> None:
    a, b = tmp_path / "a.pdf", tmp_path / "b.pdf"
    assert run("text", SAMPLE, a, "DRAFT", "--position", "center", "--rotation", "0").code == 0
    r = run("remove", a, b, "--pages", "2")
    assert r.code == 0 and r.out == "removed 1 stamp from 1 page\n", r
    qpdf_ok(b)
    assert pages_with(b, "DRAFT") == [1, 3]
    assert render_rgb(b, 2) == render_rgb(SAMPLE, 2)
    for page in (1, 3):
        assert render_rgb(b, page) == render_rgb(a, page)
    assert Doc(b).oc_properties() == Doc(a).oc_properties()
    r = run("remove", b, a, "--pages", "7")
    assert r.code == 1 and "no page of" in r.err, r


def test_remove_without_stamps_copies_the_file(tmp_path: Path) -> None:
    out = tmp_path / "o.pdf"
    for src in (SAMPLE, make_input(tmp_path, "layered")):
        r = run("remove", src, out)
        assert r.code == 0 and r.out == "no watermark found\n" and r.err == "", r
        assert out.read_bytes() == Path(src).read_bytes()


def test_page_changed_after_stamping_keeps_its_stamp(tmp_path: Path) -> None:
    stamped, qdf, changed, out = (tmp_path / n for n in ("s.pdf", "q.pdf", "c.pdf", "o.pdf"))
    assert run("text", SAMPLE, stamped, "PRELIM", "--position", "center",
               "--rotation", "0").code == 0
    # Another program draws over page 1 (qpdf merges its content into one
    # stream), and page 3 gets a stream after the stamp's.
    proc = subprocess.run([need_tool("qpdf"), "--qdf", "--object-streams=disable",
                           str(stamped), "--overlay", str(SAMPLE), "--to=1", "--",
                           str(qdf)], capture_output=True, text=True)
    assert proc.returncode in (0, 3), proc.stderr
    doc = Doc(qdf)
    third = doc.contents(2)
    assert len(third) == 3
    data = qdf.read_bytes()
    old = ("/Contents [\n    " + "\n    ".join(third) + "\n  ]").encode()
    assert data.count(old) == 1
    new = ("/Contents [\n    " + "\n    ".join(third + [third[1]]) + "\n  ]").encode()
    fixed = subprocess.run([need_tool("fix-qdf")], input=data.replace(old, new),
                           capture_output=True)
    assert fixed.returncode == 0, fixed.stderr
    changed.write_bytes(fixed.stdout)
    r = run("remove", changed, out)
    assert r.code == 0, r
    assert r.out == "removed 1 stamp from 1 page\n"
    assert r.err == ("page 1: stamp left in place, the page was changed after stamping\n"
                     "page 3: stamp left in place, the page was changed after stamping\n")
    qpdf_ok(out)
    assert pages_with(out, "PRELIM") == [1, 3]
    for page in (1, 3):
        assert render_rgb(out, page) == render_rgb(changed, page)
    assert render_rgb(out, 2) == render_rgb(SAMPLE, 2)
    # Only the changed pages asked for: stamps found, none removed.
    r = run("remove", changed, out, "--pages", "1,3")
    assert r.code == 0, r
    assert r.out == "no stamp removed\n"
    assert r.err.count("stamp left in place") == 2, r
# ---- encrypted inputs ----------------------------------------------------

def encrypt(src: Path, dst: Path, user: str, owner: str, args: List[str],
            objstm: bool) -> None:
    cmd = [need_tool("qpdf"), "--allow-weak-crypto",
           "--object-streams=" + ("generate" if objstm else "disable"),
           "--encrypt", user, owner] + args + ["--", str(src), str(dst)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr


def encryption(path: Path, password: str) -> str:
    """qpdf's account of the encryption, without the password lines."""
    proc = subprocess.run([need_tool("qpdf"), "--password=" + password, "--show-encryption",
                           str(path)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return "\n".join(l for l in proc.stdout.splitlines() if "password" not in l)


# name, qpdf --encrypt arguments, user, owner, object streams, CLI options
# (PWFILE stands for a file holding the owner password), the password the
# judges open the output with.
ENCRYPTED = [
    ("rc4-40-empty-user", ["40"], "", "own", False, [], ""),
    ("rc4-128-user", ["128", "--use-aes=n"], "usr", "own", False, ["--password", "usr"], "usr"),
    ("aes-128-objstm", ["128", "--use-aes=y"], "", "own", True, [], ""),
    ("aes-128-clear-metadata", ["128", "--use-aes=y", "--cleartext-metadata"], "", "own", True,
     [], ""),
    ("aes-256-user-objstm", ["256"], "usr", "own", True, ["--password=usr"], "usr"),
    ("aes-256-password-file", ["256"], "usr", "own", False, ["--password-file", "PWFILE"], "own"),
    ("aes-256-r5", ["256", "--force-R5"], "", "own", True, [], ""),
    ("aes-256-restricted-owner", ["256", "--modify=none"], "usr", "own", True,
     ["--password", "own"], "own"),
    ("aes-256-restricted-ignored", ["256", "--modify=none", "--extract=n"], "", "own", False,
     ["--ignore-permissions"], ""),
    # Incremental updates: encrypted as the rest of the file, on top of the
    # input's bytes, and a second one on top of the first.
    ("incremental-rc4-128-user", ["128", "--use-aes=n"], "usr", "own", False,
     ["--incremental", "--password", "usr"], "usr"),
    ("incremental-rc4-128-objstm", ["128", "--use-aes=n"], "", "own", True, ["--incremental"], ""),
    ("incremental-aes-128", ["128", "--use-aes=y"], "", "own", False, ["--incremental"], ""),
    ("incremental-aes-128-user-objstm", ["128", "--use-aes=y"], "usr", "own", True,
     ["--incremental", "--password", "usr"], "usr"),
    ("incremental-aes-256-user", ["256"], "usr", "own", False,
     ["--incremental", "--password", "usr"], "usr"),
    ("incremental-aes-256-objstm", ["256"], "", "own", True, ["--incremental"], ""),
]


@pytest.mark.parametrize("name,enc,user,owner,objstm,opts,judge_pw", ENCRYPTED,
                         ids=[e[0] for e in ENCRYPTED])
def test_encrypted_stamp_keeps_encryption(tmp_path: Path, name: str, enc: List[str], user: str,
                                          owner: str, objstm: bool, opts: List[str],
                                          judge_pw: str) -> None:
    src = tmp_path / "in.pdf"
    encrypt(SAMPLE, src, user, owner, enc, objstm)
    pwfile = tmp_path / "pw.txt"
    pwfile.write_bytes(owner.encode() + b"\r\n" + b"second line\n")
    opts = [str(pwfile) if o == "PWFILE" else o for o in opts]
    pw_flag = "-opw" if judge_pw and judge_pw == owner else "-upw"

    incremental = "--incremental" in opts
    read_opts = [o for o in opts if o != "--incremental"]
    r = run("pages", src, *read_opts)
    assert r.code == 0 and r.out.strip().isdigit(), r
    pages = int(r.out)

    out = tmp_path / "text.pdf"
    r = run("text", src, out, "SEALED", *opts)
    assert r.code == 0 and r.err == "", r
    if incremental:
        assert out.read_bytes().startswith(src.read_bytes())
        first = tmp_path / "first.pdf"
        shutil.copyfile(out, first)
        r = run("text", out, out, "ONTOP", "--position", "top", *opts)
        assert r.code == 0 and r.err == "", r
        assert out.read_bytes().startswith(first.read_bytes())
        proc = subprocess.run([need_tool("pdftotext"), pw_flag, judge_pw, str(out), "-"],
                              capture_output=True)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.decode("utf-8", "replace").count("ONTOP") == pages
    proc = subprocess.run([need_tool("qpdf"), "--check", "--password=" + judge_pw, str(out)],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert encryption(out, owner) == encryption(src, owner)
    proc = subprocess.run([need_tool("pdftotext"), pw_flag, judge_pw, str(out), "-"],
                          capture_output=True)
    assert proc.returncode == 0, proc.stderr
    # Diagonal text comes out in pieces: counted without white space.
    assert "".join(proc.stdout.decode("utf-8", "replace").split()).count("SEALED") >= pages
    if user:
        # Still closed to readers without the password.
        proc = subprocess.run([need_tool("pdftotext"), str(out), "-"], capture_output=True)
        assert proc.returncode != 0
    r = run("pages", out, *read_opts)
    assert r.code == 0 and int(r.out) == pages, r
    # Removed again with the same options: still encrypted alike, no stamp.
    back = tmp_path / "removed.pdf"
    r = run("remove", out, back, *opts)
    stamps = pages * (2 if incremental else 1)
    assert r.code == 0 and r.out.startswith("removed %d stamp" % stamps), r
    if incremental:
        assert back.read_bytes().startswith(out.read_bytes())
    assert encryption(back, owner) == encryption(src, owner)
    proc = subprocess.run([need_tool("pdftotext"), pw_flag, judge_pw, str(back), "-"],
                          capture_output=True)
    assert proc.returncode == 0, proc.stderr
    assert "SEALED" not in "".join(proc.stdout.decode("utf-8", "replace").split())
    # Nor anything the stamp drew with: its resource names are read from
    # its decrypted stream.
    proc = subprocess.run([need_tool("qpdf"), "--password=" + owner, "--qdf",
                           "--object-streams=disable", str(back), "-"], capture_output=True)
    assert proc.returncode == 0 and b"/KpWm" not in proc.stdout, proc.stderr

    out = tmp_path / "image.pdf"
    r = run("image", src, out, LOGO, *opts)
    assert r.code == 0, r
    assert encryption(out, owner) == encryption(src, owner)
    proc = subprocess.run([need_tool("pdfimages"), pw_flag, judge_pw, "-list", str(out)],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert len(proc.stdout.splitlines()) - 2 >= pages, proc.stdout
    # Rendered, the first page changes only inside the image's box: 200 x 80
    # points centred on the 595 x 842 point page (36 dpi: half the points).
    pw_args = [pw_flag, judge_pw] if judge_pw else []
    w, h, before = render_ppm(src, 1, 36, pw_args)
    _, _, after = render_ppm(out, 1, 36, pw_args)
    box = changed_box(before, after, w)
    assert box is not None
    assert box[0] >= 595 / 4 - 50 - 1 and box[2] <= 595 / 4 + 50 + 1, box
    assert box[1] >= 842 / 4 - 20 - 1 and box[3] <= 842 / 4 + 20 + 1, box


def test_encrypted_by_ghostscript(tmp_path: Path) -> None:
    """A file another writer encrypted (Ghostscript, RC4 128-bit, every
    permission withdrawn): the user password is refused for stamping, the
    owner password stamps, and the output keeps the encryption."""
    src = tmp_path / "gs.pdf"
    proc = subprocess.run([need_tool("gs"), "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER",
                           "-sDEVICE=pdfwrite", "-sOwnerPassword=own", "-sUserPassword=usr",
                           "-dEncryptionR=3", "-dKeyLength=128", "-dPermissions=-3904",
                           "-o", str(src), str(SAMPLE)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    out = tmp_path / "out.pdf"
    r = run("text", src, out, "SEALED", "--password", "usr")
    assert r.code == 1 and "permissions forbid modifying it" in r.err, r
    r = run("text", src, out, "SEALED", "--password", "own")
    assert r.code == 0, r
    assert encryption(out, "own") == encryption(src, "own")
    proc = subprocess.run([need_tool("qpdf"), "--check", "--password=usr", str(out)],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    proc = subprocess.run([need_tool("pdftotext"), "-upw", "usr", str(out), "-"],
                          capture_output=True)
    assert "".join(proc.stdout.decode("utf-8", "replace").split()).count("SEALED") >= 3


def test_encrypted_failures_leave_nothing(tmp_path: Path) -> None:
    src = tmp_path / "in.pdf"
    encrypt(SAMPLE, src, "usr", "own", ["256", "--modify=none"], False)
    data = src.read_bytes()
    damaged = tmp_path / "damaged.pdf"
    damaged.write_bytes(data.replace(b"/R 6", b"/R 8", 1))
    no_u = tmp_path / "no_u.pdf"
    no_u.write_bytes(data.replace(b"/U <", b"/X <", 1))
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    cases = [
        (src, [], "PDF is encrypted; the password is wrong or missing: " + str(src)),
        (src, ["--password", "wrong"], "PDF is encrypted; the password is wrong or missing"),
        (src, ["--password", ""], "PDF is encrypted; the password is wrong or missing"),
        (src, ["--password", "usr"],
         "the document's permissions forbid modifying it; give the owner password"),
        (damaged, ["--password", "own"], "revision /R 8 is not supported"),
        (no_u, ["--password", "own"], "/U entry is missing"),
    ]
    for path, opts, message in cases:
        for command in (["text", path, out_dir / "o.pdf", "X"], ["remove", path, out_dir / "o.pdf"]):
            r = run(*command, *opts)
            assert r.code == 1 and message in r.err, (command, opts, r)
            assert list(out_dir.iterdir()) == [], (opts, list(out_dir.iterdir()))
    r = run("pages", src)
    assert r.code == 1 and "password is wrong or missing" in r.err, r
    r = run("pages", src, "--password", "usr")
    assert r.code == 0, r
    r = run("text", src, out_dir / "o.pdf", "X", "--password-file", tmp_path / "missing.txt")
    assert r.code == 2 and "--password-file" in r.err, r
