"""Tests of the Python binding against the real shared library.

Run with pytest from CTest, which sets RERARUVOZARI_LIBRARY to the library it
built. With RRV_TEST_INSTALLED=1 they test the package that pip installed
instead (run from another directory with --import-mode=append, so that the
checkout's python/ does not shadow it). Outputs are checked with qpdf and pdftotext when they are installed;
with RRV_REQUIRE_ORACLES=1 a missing tool fails the test instead of skipping.
"""

from __future__ import annotations

import inspect
import os
import re
import shutil
import subprocess
import warnings
import sys
from pathlib import Path
from typing import Iterator

import pytest

INSTALLED = os.environ.get("RRV_TEST_INSTALLED") == "1"
if not INSTALLED:
    sys.path.insert(0, str(Path(__file__).resolve().parent))
import reraruvozari as rrv  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "examples" / "sample.pdf"
LOGO = ROOT / "examples" / "logo.png"
CORPUS = Path(os.environ.get("RRV_CORPUS_DIR", str(ROOT / "tests" / "data" / "corpus")))


def need_tool(name: str) -> str:
    """Path of an external checker, or skip (fail in CI) when it is missing."""
    path = shutil.which(name)
    if path is None:
        if os.environ.get("RRV_REQUIRE_ORACLES") == "1":
            pytest.fail("%s is required (RRV_REQUIRE_ORACLES=1) but not installed" % name)
        pytest.skip("%s is not installed" % name)
    return path


def qpdf_ok(path: Path) -> None:
    """qpdf --check must pass (exit 0, or 3 for warnings only)."""
    qpdf = need_tool("qpdf")
    proc = subprocess.run([qpdf, "--check", str(path)], capture_output=True, text=True)
    assert proc.returncode in (0, 3), proc.stdout + proc.stderr


def page_text(path: Path, page: int) -> str:
    tool = need_tool("pdftotext")
    proc = subprocess.run(
        [tool, "-f", str(page), "-l", str(page), "-raw", "-enc", "UTF-8", str(path), "-"],
        capture_output=True,
    )
    assert proc.returncode == 0, proc.stderr
    # Rotated text comes out letter by letter or in pieces: compare without
    # any white space.
    return "".join(proc.stdout.decode("utf-8", "replace").split())


@pytest.fixture()
def tmp(tmp_path: Path) -> Iterator[Path]:
    """A fresh temporary directory for each test."""
    yield tmp_path


def test_library_is_found() -> None:
    assert Path(rrv.library_path()).is_file()


@pytest.mark.skipif(not INSTALLED, reason="tests the package pip installed")
def test_installed_package_carries_its_library() -> None:
    package = Path(rrv.__file__).resolve().parent
    assert ROOT not in package.parents, package
    assert "RERARUVOZARI_LIBRARY" not in os.environ
    assert package in Path(rrv.library_path()).resolve().parents
    assert (package / "py.typed").is_file()


def test_module_runs_the_command_line_tool(tmp: Path) -> None:
    env = dict(os.environ)
    if not INSTALLED:
        env["PYTHONPATH"] = str(Path(rrv.__file__).resolve().parent.parent)

    def module(*args: object) -> subprocess.CompletedProcess:
        return subprocess.run([sys.executable, "-m", "reraruvozari"] + [str(a) for a in args],
                              capture_output=True, text=True, env=env, cwd=tmp, timeout=300)

    proc = module("--version")
    assert proc.returncode == 0 and proc.stdout == "reraruvozari %s\n" % rrv.__version__
    proc = module("pages", SAMPLE)
    assert proc.returncode == 0 and proc.stdout == "3\n", proc.stderr
    proc = module("text", "-j", "2", "-o", tmp / "out", "--text", "MODULE", SAMPLE,
                  tmp / "missing.pdf")
    assert proc.returncode == 1, proc.stderr
    assert proc.stdout == "stamped 1 of 2 files, 1 failed\n"
    qpdf_ok(tmp / "out" / "sample.pdf")
    assert "MODULE" in page_text(tmp / "out" / "sample.pdf", 1)
    proc = module("text", "--bogus")
    assert proc.returncode == 2 and "unknown option: --bogus" in proc.stderr


def test_page_count_of_sample() -> None:
    assert rrv.page_count(str(SAMPLE)) == 3
    assert rrv.page_count(SAMPLE) == 3  # os.PathLike


def test_text_every_page(tmp: Path) -> None:
    out = tmp / "out.pdf"
    rrv.text(SAMPLE, out, "WATERMARK")
    assert rrv.page_count(out) == 3
    qpdf_ok(out)
    for page in (1, 2, 3):
        assert "WATERMARK" in page_text(out, page)


def test_text_options(tmp: Path) -> None:
    out = tmp / "out.pdf"
    rrv.text(str(SAMPLE), str(out), "Options", opacity=0.8, rotation=30, size=20,
             position="top-left", color="#ff0000")
    rrv.text(out, out, "Again", opacity=1, rotation=-15.5, size=72, position=4,
             color=(0, 128, 255))
    qpdf_ok(out)
    assert "Again" in page_text(out, 1)


@pytest.mark.parametrize("pages,stamped", [
    (2, {2}),
    ((2, 3), {2, 3}),
    ((2, None), {2, 3}),
    ("1-2", {1, 2}),
    ("3-", {3}),
    ("1", {1}),
    ((1, 99), {1, 2, 3}),
])
def test_text_page_ranges(tmp: Path, pages: rrv.PageSpec, stamped: set) -> None:
    out = tmp / "out.pdf"
    rrv.text(SAMPLE, out, "RANGEMARK", pages=pages)
    for page in (1, 2, 3):
        assert ("RANGEMARK" in page_text(out, page)) == (page in stamped), page


def test_every_option_of_the_library_is_a_keyword() -> None:
    header = (ROOT / "include" / "reraruvozari.h").read_text()
    names = set(re.findall(r"reraruvozari_options_set_(\w+)\(", header))
    assert names == set(rrv._SETTERS)
    text_kw = set(inspect.signature(rrv.text).parameters)
    image_kw = set(inspect.signature(rrv.image).parameters)
    assert names - {"scale"} <= text_kw
    assert names - {"color", "size", "line_spacing", "subset", "font"} <= image_kw


@pytest.mark.parametrize("kwargs,stamped", [
    ({"pages": "odd"}, {1, 3}),
    ({"pages": "last"}, {3}),
    ({"pages": "-2"}, {1, 2}),
    ({"pages": "3,1"}, {1, 3}),
    ({"pages": "2", "tile": True, "size": 14.5}, {2}),
    ({"pages": "even", "under": True, "fit": 0.4, "position": "top"}, {2}),
    ({"pages": "1", "margin": 5, "offset": (3, -4), "position": "left",
      "ignore_rotation": True}, {1}),
])
def test_text_layout_keywords(tmp: Path, kwargs: dict, stamped: set) -> None:
    out = tmp / "out.pdf"
    rrv.text(SAMPLE, out, "LAYOUTMARK", **kwargs)
    qpdf_ok(out)
    for page in (1, 2, 3):
        found = page_text(out, page).count("LAYOUTMARK")
        assert (found > 0) == (page in stamped), page
        if page in stamped and kwargs.get("tile"):
            assert found >= 6


def test_text_lines_in_order(tmp: Path) -> None:
    out = tmp / "out.pdf"
    rrv.text(SAMPLE, out, "UPPER\nΚάτω\r\nLAST", line_spacing=1.5, position="center")
    assert "UPPERΚάτωLAST" in page_text(out, 1)


def test_image_layout_keywords(tmp: Path) -> None:
    out = tmp / "out.pdf"
    rrv.image(SAMPLE, out, LOGO, rotation=45, tile=True, tile_gap=5, scale=0.3,
              pages="2-", under=True)
    qpdf_ok(out)
    with pytest.raises(rrv.ReraruvozariError, match="no page of .* matches 5-"):
        rrv.image(SAMPLE, out, LOGO, pages="5-")


def test_text_cjk(tmp: Path) -> None:
    out = tmp / "out.pdf"
    rrv.text(SAMPLE, out, "機密 日本語 한국어")
    qpdf_ok(out)
    words = page_text(out, 1)
    assert "機密" in words and "한국어" in words


def test_text_subset_and_font(tmp: Path) -> None:
    dejavu = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
    if not dejavu.is_file():
        if os.environ.get("RRV_REQUIRE_ORACLES") == "1":
            pytest.fail("fonts-dejavu-core is required")
        pytest.skip("fonts-dejavu-core is not installed")
    sub, whole = tmp / "sub.pdf", tmp / "whole.pdf"
    rrv.text(SAMPLE, sub, "Grüße 機密", font=dejavu)
    rrv.text(SAMPLE, whole, "Grüße 機密", font=str(dejavu), subset=False)
    qpdf_ok(sub)
    assert sub.stat().st_size * 10 < whole.stat().st_size
    assert "Grüße" in page_text(sub, 1) and "機密" in page_text(sub, 1)
    with pytest.raises(ValueError, match="is not a TrueType font"):
        rrv.text(SAMPLE, tmp / "x.pdf", "x", font=SAMPLE)
    with pytest.raises(TypeError):
        rrv.text(SAMPLE, tmp / "x.pdf", "x", subset=1)


@pytest.mark.parametrize("call,payload", [(rrv.text, "UPDATED"), (rrv.image, LOGO)])
def test_incremental(tmp: Path, call, payload) -> None:
    out = tmp / "out.pdf"
    call(SAMPLE, out, payload, incremental=True)
    old, new = SAMPLE.read_bytes(), out.read_bytes()
    assert new.startswith(old) and len(new) > len(old)
    assert rrv.page_count(out) == 3
    qpdf_ok(out)
    if call is rrv.text:
        assert "UPDATED" in page_text(out, 1)
    with pytest.raises(TypeError):
        call(SAMPLE, out, payload, incremental="yes")


def test_image(tmp: Path) -> None:
    out = tmp / "out.pdf"
    rrv.image(SAMPLE, out, LOGO)
    assert rrv.page_count(out) == 3
    qpdf_ok(out)
    rrv.image(str(SAMPLE), str(out), str(LOGO), opacity=1.0, scale=0.5,
              position="bottom-right", pages=(1, 1))
    rrv.image(out, out, LOGO, position=2, pages="2-")
    qpdf_ok(out)


def test_non_ascii_paths(tmp: Path) -> None:
    folder = tmp / "Verträge" / "日本"
    folder.mkdir(parents=True)
    src = folder / "Übersicht.pdf"
    logo = folder / "логотип.png"
    shutil.copyfile(SAMPLE, src)
    shutil.copyfile(LOGO, logo)
    assert rrv.page_count(src) == 3
    out = folder / "結果.pdf"
    rrv.text(src, out, "Ελληνικά")
    assert out.is_file()
    rrv.image(out, out, logo)
    assert rrv.page_count(str(out)) == 3
    qpdf_ok(out)


def test_output_may_equal_input(tmp: Path) -> None:
    path = tmp / "same.pdf"
    shutil.copyfile(SAMPLE, path)
    rrv.text(path, path, "INPLACE")
    assert "INPLACE" in page_text(path, 1)


def test_missing_file_raises(tmp: Path) -> None:
    missing = tmp / "missing.pdf"
    with pytest.raises(rrv.ReraruvozariError, match="cannot open"):
        rrv.page_count(missing)
    with pytest.raises(rrv.ReraruvozariError, match="cannot open"):
        rrv.text(missing, tmp / "o.pdf", "x")
    with pytest.raises(rrv.ReraruvozariError, match="cannot open"):
        rrv.image(missing, tmp / "o.pdf", LOGO)
    assert not (tmp / "o.pdf").exists()


def test_missing_image_raises(tmp: Path) -> None:
    with pytest.raises(rrv.ReraruvozariError) as info:
        rrv.image(SAMPLE, tmp / "o.pdf", tmp / "nope.png")
    assert str(info.value)


def test_not_a_pdf_raises(tmp: Path) -> None:
    junk = tmp / "junk.pdf"
    junk.write_bytes(b"this is not a PDF file\n" * 10)
    with pytest.raises(rrv.ReraruvozariError) as info:
        rrv.page_count(junk)
    assert str(info.value)


def test_not_a_png_raises(tmp: Path) -> None:
    with pytest.raises(rrv.ReraruvozariError):
        rrv.image(SAMPLE, tmp / "o.pdf", SAMPLE)


def test_page_beyond_document_raises(tmp: Path) -> None:
    with pytest.raises(rrv.ReraruvozariError):
        rrv.text(SAMPLE, tmp / "o.pdf", "x", pages=7)


def test_encrypted_restricted_is_refused(tmp: Path) -> None:
    src = CORPUS / "pdf" / "pdfjs_bug900822.pdf"
    with pytest.raises(rrv.ReraruvozariError, match="permissions forbid modifying it"):
        rrv.text(src, tmp / "o.pdf", "x")
    rrv.text(src, tmp / "o.pdf", "x", ignore_permissions=True)
    assert rrv.page_count(tmp / "o.pdf") == rrv.page_count(src)


def test_encrypted_with_password(tmp: Path) -> None:
    qpdf = shutil.which("qpdf")
    if qpdf is None:
        if os.environ.get("RRV_REQUIRE_ORACLES") == "1":
            pytest.fail("qpdf is required")
        pytest.skip("qpdf is not installed")
    src = tmp / "enc.pdf"
    subprocess.run([qpdf, "--encrypt", "pässwörd", "owner", "256", "--", str(SAMPLE), str(src)],
                   check=True)
    with pytest.raises(rrv.ReraruvozariError, match="password is wrong or missing"):
        rrv.page_count(src)
    with pytest.raises(rrv.ReraruvozariError, match="password is wrong or missing"):
        rrv.text(src, tmp / "o.pdf", "x", password="wrong")
    assert not (tmp / "o.pdf").exists()
    n = rrv.page_count(src, password="pässwörd")
    rrv.text(src, tmp / "o.pdf", "x", password="pässwörd")
    rrv.image(tmp / "o.pdf", tmp / "o2.pdf", LOGO, password="owner")
    assert rrv.page_count(tmp / "o2.pdf", password="owner") == n
    # Both stamps come off again, the output still encrypted.
    with pytest.raises(rrv.ReraruvozariError, match="password is wrong or missing"):
        rrv.remove(tmp / "o2.pdf", tmp / "o3.pdf")
    assert rrv.remove(tmp / "o2.pdf", tmp / "o3.pdf", password="owner").stamps == 2 * n
    with pytest.raises(rrv.ReraruvozariError, match="password is wrong or missing"):
        rrv.page_count(tmp / "o3.pdf")
    assert rrv.remove(tmp / "o3.pdf", tmp / "o4.pdf", password="owner").stamps == 0
    with pytest.raises(TypeError):
        rrv.text(src, tmp / "o.pdf", "x", password=b"bytes")  # type: ignore[arg-type]


@pytest.mark.parametrize("name,pages", [
    ("pysample_pdflatex-4-pages.pdf", 4),
    ("pdfjs_standard_fonts.pdf", 14),
    ("pdfjs_sizes.pdf", 3),
])
def test_corpus_page_counts(name: str, pages: int) -> None:
    assert rrv.page_count(CORPUS / "pdf" / name) == pages


def test_cleanup_keeps_library_usable(tmp: Path) -> None:
    rrv.text(SAMPLE, tmp / "a.pdf", "Кириллица")
    rrv.cleanup()
    rrv.cleanup()
    rrv.text(SAMPLE, tmp / "b.pdf", "Кириллица")
    assert rrv.page_count(tmp / "b.pdf") == 3


def test_error_is_cleared_after_success(tmp: Path) -> None:
    with pytest.raises(rrv.ReraruvozariError):
        rrv.page_count(tmp / "missing.pdf")
    assert rrv.page_count(SAMPLE) == 3


@pytest.mark.parametrize("kwargs,error", [
    ({"opacity": "0.3"}, TypeError),
    ({"opacity": 1.5}, ValueError),
    ({"opacity": float("nan")}, ValueError),
    ({"rotation": None}, TypeError),
    ({"rotation": float("inf")}, ValueError),
    ({"size": "12"}, TypeError),
    ({"size": 14401}, ValueError),
    ({"fit": 1.5}, ValueError),
    ({"margin": -1}, ValueError),
    ({"offset": (1,)}, ValueError),
    ({"tile": 1}, TypeError),
    ({"line_spacing": 0}, ValueError),
    ({"pages": "1,,2"}, ValueError),
    ({"size": 0}, ValueError),
    ({"size": True}, TypeError),
    ({"position": "middle"}, ValueError),
    ({"position": 6}, ValueError),
    ({"position": 1.0}, TypeError),
    ({"color": (1, 2)}, ValueError),
    ({"color": (1, 2, 256)}, ValueError),
    ({"color": (1, 2, 3.0)}, TypeError),
    ({"color": "red"}, ValueError),
    ({"color": 0x808080}, TypeError),
    ({"pages": 0}, ValueError),
    ({"pages": (3, 2)}, ValueError),
    ({"pages": "x"}, ValueError),
    ({"pages": "2-1"}, ValueError),
    ({"pages": 1.0}, TypeError),
    ({"pages": (1, 2, 3)}, ValueError),
    ({"layer": ""}, ValueError),
    ({"layer": 3}, TypeError),
    ({"show": "never"}, ValueError),
    ({"replace": "yes"}, TypeError),
])
def test_text_argument_checks(tmp: Path, kwargs: dict, error: type) -> None:
    with pytest.raises(error):
        rrv.text(SAMPLE, tmp / "o.pdf", "x", **kwargs)
    assert not (tmp / "o.pdf").exists()


@pytest.mark.parametrize("args,kwargs,error", [
    ((SAMPLE, 1, LOGO), {}, TypeError),
    ((SAMPLE, "", LOGO), {}, ValueError),
    ((SAMPLE, "a\0b.pdf", LOGO), {}, ValueError),
    ((SAMPLE, "o.pdf", LOGO), {"scale": 0}, ValueError),
    ((SAMPLE, "o.pdf", LOGO), {"scale": -1.0}, ValueError),
    ((SAMPLE, "o.pdf", LOGO), {"opacity": -0.1}, ValueError),
    ((SAMPLE, "o.pdf", LOGO), {"position": None}, TypeError),
])
def test_image_argument_checks(args: tuple, kwargs: dict, error: type) -> None:
    with pytest.raises(error):
        rrv.image(*args, **kwargs)


def test_text_argument_types(tmp: Path) -> None:
    with pytest.raises(TypeError):
        rrv.text(SAMPLE, tmp / "o.pdf", b"bytes")  # type: ignore[arg-type]
    with pytest.raises(ValueError):
        rrv.text(SAMPLE, tmp / "o.pdf", "a\0b")
    with pytest.raises(TypeError):
        rrv.page_count(3)  # type: ignore[arg-type]


def catalog_oc(path: Path) -> str:
    """The catalog's optional content properties, as qpdf shows them."""
    qpdf = need_tool("qpdf")
    proc = subprocess.run([qpdf, "--show-object=trailer", str(path)], capture_output=True,
                          text=True)
    root = proc.stdout.split("/Root ")[1].split(" R")[0].split()[0]
    proc = subprocess.run([qpdf, "--show-object=" + root, str(path)], capture_output=True,
                          text=True)
    return proc.stdout


@pytest.mark.parametrize("stamps,kwargs,removed", [
    # (calls, remove() keywords, expected Removal)
    ([("text", "DRAFT", {})], {}, rrv.Removal(3, 3, [])),
    ([("text", "DRAFT", {"layer": None}), ("image", LOGO, {"show": "print"})], {},
     rrv.Removal(6, 3, [])),
    ([("text", "DRAFT", {}), ("text", "FINAL", {"replace": True, "layer": "Final"})], {},
     rrv.Removal(3, 3, [])),
    ([("text", "DRAFT", {"pages": "odd"})], {"pages": "2-3"}, rrv.Removal(1, 1, [])),
    ([], {}, rrv.Removal(0, 0, [])),
])
def test_remove(tmp: Path, stamps: list, kwargs: dict, removed: rrv.Removal) -> None:
    cur = SAMPLE
    for k, (kind, payload, options) in enumerate(stamps):
        out = tmp / ("s%d.pdf" % k)
        getattr(rrv, kind)(cur, out, payload, **options)
        cur = out
    out = tmp / "clean.pdf"
    assert rrv.remove(cur, out, **kwargs) == removed
    qpdf_ok(out)
    if not kwargs:
        assert "DRAFT" not in page_text(out, 1) or "DRAFT" in page_text(SAMPLE, 1)
        assert "FINAL" not in page_text(out, 1)
        assert "OCProperties" not in catalog_oc(out)
    if removed.stamps == 0:
        assert out.read_bytes() == Path(cur).read_bytes()


def test_layer_names_and_show(tmp: Path) -> None:
    out = tmp / "o.pdf"
    rrv.text(SAMPLE, out, "DRAFT", layer="Entwurf \u00fc", show="screen")
    oc = catalog_oc(out)
    assert "/OCProperties" in oc and "/Version /1.5" in oc
    rrv.text(SAMPLE, out, "DRAFT", layer=None)
    assert "OCProperties" not in catalog_oc(out)
    # Shown only on screen needs the layer: a stamp in none is warned of.
    with pytest.warns(rrv.ReraruvozariWarning, match="the stamp is in no layer"):
        rrv.text(SAMPLE, out, "DRAFT", layer=None, show="screen")
    with pytest.raises(rrv.ReraruvozariError):
        rrv.remove(tmp / "missing.pdf", out)


def form_pdf(path: Path, sig_flags: int) -> None:
    """One page, with an interactive form whose /SigFlags say whether it is
    signed (bit 1)."""
    objs = [b"<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [] /SigFlags %d >> >>"
            % sig_flags,
            b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] >>"]
    out = b"%PDF-1.7\n"
    offsets = []
    for i, body in enumerate(objs, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (i, body)
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
    path.write_bytes(out)


@pytest.mark.parametrize("signed", [True, False])
def test_remove_warns_when_a_signed_file_is_rewritten_whole(tmp: Path, signed: bool,
                                                            monkeypatch: pytest.MonkeyPatch) -> None:
    # A relative name that begins as the lines of pages left in place do:
    # the warning begins with it.
    monkeypatch.chdir(tmp)
    src, stamped = Path("form.pdf"), Path("page 2.pdf")
    form_pdf(src, 3 if signed else 0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # an update keeps signatures: no warning
        rrv.text(src, stamped, "RECEIVED", incremental=True)
        assert rrv.remove(stamped, tmp / "kept.pdf", incremental=True) == (1, 1, [])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert rrv.remove(stamped, tmp / "whole.pdf") == (1, 1, [])
    said = [str(w.message) for w in caught if issubclass(w.category, rrv.ReraruvozariWarning)]
    if signed:
        assert len(said) == 1 and said[0].startswith("page 2.pdf: the file is digitally signed"), said
    else:
        assert said == []
