"""Stamp text or image watermarks onto PDF pages (ctypes binding).

The module loads the reraruvozari shared library and wraps its C functions::

    import reraruvozari
    reraruvozari.text("in.pdf", "out.pdf", "DRAFT", opacity=0.25)
    reraruvozari.image("in.pdf", "logo.pdf", "logo.png", position="top-right")
    reraruvozari.page_count("in.pdf")

The library is found through the environment variable RERARUVOZARI_LIBRARY
(a path to the library file), then beside this module, then in the build
directories ``../build*/`` of a source checkout.

Paths may be ``str`` or ``os.PathLike``; paths and texts are passed to the
library as UTF-8. A failed operation raises :class:`ReraruvozariError` with the
library's message; clearly wrong arguments raise ``TypeError`` or
``ValueError`` before the library is called. Calls are serialised with a lock
because the library keeps process-wide state.
"""

from __future__ import annotations

import ctypes
import math
import os
import sys
import threading
from pathlib import Path
from typing import List, Optional, Sequence, Tuple, Union

__all__ = [
    "ReraruvozariError",
    "text",
    "image",
    "page_count",
    "cleanup",
    "POSITIONS",
    "library_path",
]
__version__ = "0.1.0"

StrPath = Union[str, "os.PathLike[str]"]
PageSpec = Union[None, int, Tuple[int, Optional[int]], str]
ColorSpec = Union[Tuple[int, int, int], Sequence[int], str]

#: Position names and the numbers the library uses for them.
POSITIONS = {
    "center": 0,
    "centre": 0,
    "top-left": 1,
    "top-right": 2,
    "bottom-left": 3,
    "bottom-right": 4,
    "diagonal": 5,
}


class ReraruvozariError(Exception):
    """An operation of the library failed; the message says why."""


def _library_names() -> List[str]:
    """File names of the shared library, the current platform's first."""
    names = ["libreraruvozari.so", "reraruvozari.dll", "libreraruvozari.dylib"]
    if sys.platform == "win32":
        names.insert(0, names.pop(1))
    elif sys.platform == "darwin":
        names.insert(0, names.pop(2))
    return names


def _candidates() -> List[Path]:
    """Places to look for the library, in order of preference."""
    here = Path(__file__).resolve().parent
    names = _library_names()
    found: List[Path] = [here / n for n in names]
    builds: List[Path] = []
    for build in sorted(here.parent.glob("build*")):
        for sub in (build, build / "bin", build / "lib"):
            builds.extend(sub / n for n in names)
    # Prefer the most recently built library when several build trees exist.
    builds = [p for p in builds if p.is_file()]
    builds.sort(key=lambda p: p.stat().st_mtime, reverse=True)
    return found + builds


def library_path() -> str:
    """Return the path of the shared library this module loads.

    Raises ReraruvozariError when RERARUVOZARI_LIBRARY names a missing file or
    when no library is found.
    """
    env = os.environ.get("RERARUVOZARI_LIBRARY")
    if env:
        if not os.path.isfile(env):
            raise ReraruvozariError(
                "RERARUVOZARI_LIBRARY names a file that does not exist: " + env
            )
        return env
    for path in _candidates():
        if path.is_file():
            return str(path)
    raise ReraruvozariError(
        "cannot find the reraruvozari library; set RERARUVOZARI_LIBRARY to its path"
    )


_lock = threading.RLock()
_lib: Optional[ctypes.CDLL] = None


def _load() -> ctypes.CDLL:
    """Load the library once and declare the prototypes of its functions."""
    global _lib
    if _lib is not None:
        return _lib
    path = library_path()
    try:
        lib = ctypes.CDLL(path)
    except OSError as exc:
        raise ReraruvozariError("cannot load %s: %s" % (path, exc)) from exc
    c_str = ctypes.c_char_p
    c_int = ctypes.c_int
    c_float = ctypes.c_float
    lib.reraruvozari_init.argtypes = []
    lib.reraruvozari_init.restype = c_int
    lib.reraruvozari_last_error.argtypes = []
    lib.reraruvozari_last_error.restype = c_str
    text_args = [c_str, c_str, c_str, c_float, c_float, c_int, c_int, c_int, c_int, c_int]
    lib.reraruvozari_text.argtypes = text_args
    lib.reraruvozari_text.restype = c_int
    lib.reraruvozari_text_range.argtypes = text_args + [c_int, c_int]
    lib.reraruvozari_text_range.restype = c_int
    image_args = [c_str, c_str, c_str, c_float, c_int, c_float]
    lib.reraruvozari_image.argtypes = image_args
    lib.reraruvozari_image.restype = c_int
    lib.reraruvozari_image_range.argtypes = image_args + [c_int, c_int]
    lib.reraruvozari_image_range.restype = c_int
    lib.reraruvozari_page_count.argtypes = [c_str, ctypes.POINTER(c_int)]
    lib.reraruvozari_page_count.restype = c_int
    lib.reraruvozari_cleanup.argtypes = []
    lib.reraruvozari_cleanup.restype = None
    lib.reraruvozari_init()
    _lib = lib
    return lib


def _error(lib: ctypes.CDLL) -> ReraruvozariError:
    """The library's last error as an exception."""
    raw = lib.reraruvozari_last_error()
    message = raw.decode("utf-8", "replace") if raw else ""
    return ReraruvozariError(message or "unknown error")


def _encode_path(value: StrPath, name: str) -> bytes:
    """A path argument as UTF-8 bytes."""
    if isinstance(value, bool) or not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError("%s must be a str or os.PathLike, not %s" % (name, type(value).__name__))
    path = os.fspath(value)
    if isinstance(path, str):
        # surrogateescape keeps file names that are not valid UTF-8 intact on
        # POSIX systems, where os.fsdecode produced them.
        data = path.encode("utf-8", "surrogateescape")
    else:
        data = path
    if not data:
        raise ValueError("%s must not be empty" % name)
    if b"\0" in data:
        raise ValueError("%s must not contain NUL characters" % name)
    return data


def _real(value: object, name: str) -> float:
    """A finite int or float; bool is refused."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("%s must be a number, not %s" % (name, type(value).__name__))
    result = float(value)
    if not math.isfinite(result):
        raise ValueError("%s must be finite" % name)
    return result


def _opacity(value: object) -> float:
    result = _real(value, "opacity")
    if not 0.0 <= result <= 1.0:
        raise ValueError("opacity must be between 0 and 1, not %r" % (value,))
    return result


def _position(value: object) -> int:
    """A position name ('center', 'top-left', ...) or number 0..5."""
    if isinstance(value, str):
        key = value.strip().lower().replace("_", "-")
        if key in POSITIONS:
            return POSITIONS[key]
        raise ValueError(
            "unknown position %r (use one of %s or 0 to 5)"
            % (value, ", ".join(sorted(set(POSITIONS) - {"centre"})))
        )
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("position must be a str or int, not %s" % type(value).__name__)
    if not 0 <= value <= 5:
        raise ValueError("position must be between 0 and 5, not %d" % value)
    return value


def _color(value: object) -> Tuple[int, int, int]:
    """(r, g, b) with components 0..255, or '#RRGGBB' / 'RRGGBB'."""
    if isinstance(value, str):
        digits = value[1:] if value.startswith("#") else value
        if len(digits) != 6 or any(c not in "0123456789abcdefABCDEF" for c in digits):
            raise ValueError("color must be '#RRGGBB', not %r" % (value,))
        return (int(digits[0:2], 16), int(digits[2:4], 16), int(digits[4:6], 16))
    if not isinstance(value, (tuple, list)):
        raise TypeError("color must be an (r, g, b) tuple or '#RRGGBB', not %s"
                        % type(value).__name__)
    if len(value) != 3:
        raise ValueError("color must have three components, not %d" % len(value))
    parts = []
    for c in value:
        if isinstance(c, bool) or not isinstance(c, int):
            raise TypeError("color components must be int, not %s" % type(c).__name__)
        if not 0 <= c <= 255:
            raise ValueError("color components must be between 0 and 255, not %d" % c)
        parts.append(c)
    return (parts[0], parts[1], parts[2])


_INT_MAX = 2**31 - 1


def _page_number(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if not 1 <= value <= _INT_MAX:
        raise ValueError("%s must be a page number from 1, not %d" % (name, value))
    return value


def _pages(value: PageSpec) -> Optional[Tuple[int, int]]:
    """None (every page), N, (start, end or None) or 'N', 'N-M', 'N-'.

    Returns (start, end) with end -1 for the last page, or None for every page.
    """
    if value is None:
        return None
    if isinstance(value, str):
        first, dash, second = value.strip().partition("-")
        if not first.isdigit() or not first.isascii() or (
            second and not (second.isdigit() and second.isascii())
        ):
            raise ValueError("pages must look like 'N', 'N-M' or 'N-', not %r" % (value,))
        start = int(first)
        end: Optional[int] = int(second) if second else (None if dash else start)
    elif isinstance(value, tuple):
        if len(value) != 2:
            raise ValueError("pages must be a (start, end) pair")
        start, end = value
    elif isinstance(value, int) and not isinstance(value, bool):
        start, end = value, value
    else:
        raise TypeError("pages must be None, an int, a (start, end) tuple or a str, not %s"
                        % type(value).__name__)
    start = _page_number(start, "first page")
    if end is None:
        return (start, -1)
    end = _page_number(end, "last page")
    if end < start:
        raise ValueError("the page range ends before it starts: %d-%d" % (start, end))
    return (start, end)


def text(
    input: StrPath,
    output: StrPath,
    text: str,
    *,
    opacity: float = 0.3,
    rotation: float = 0,
    size: int = 48,
    position: Union[str, int] = "diagonal",
    color: ColorSpec = (128, 128, 128),
    pages: PageSpec = None,
) -> None:
    """Stamp one line of text onto the pages of a PDF file.

    input, output: PDF paths (output may equal input).
    text: the watermark, any Unicode the library has fonts for.
    opacity: 0..1. rotation: degrees counter-clockwise. size: points, >= 1.
    position: 'center', 'top-left', 'top-right', 'bottom-left',
    'bottom-right', 'diagonal' or 0..5. color: (r, g, b) 0..255 or '#RRGGBB'.
    pages: None for every page, N, (start, end) with end None for the last
    page, or 'N', 'N-M', 'N-'.
    Raises ReraruvozariError when the library fails.
    """
    in_b = _encode_path(input, "input")
    out_b = _encode_path(output, "output")
    if not isinstance(text, str):
        raise TypeError("text must be a str, not %s" % type(text).__name__)
    if "\0" in text:
        raise ValueError("text must not contain NUL characters")
    text_b = text.encode("utf-8")
    op = _opacity(opacity)
    rot = _real(rotation, "rotation")
    if isinstance(size, bool) or not isinstance(size, int):
        raise TypeError("size must be an int, not %s" % type(size).__name__)
    if not 1 <= size <= _INT_MAX:
        raise ValueError("size must be at least 1, not %d" % size)
    pos = _position(position)
    r, g, b = _color(color)
    span = _pages(pages)
    with _lock:
        lib = _load()
        if span is None:
            ok = lib.reraruvozari_text(in_b, out_b, text_b, op, rot, size, pos, r, g, b)
        else:
            ok = lib.reraruvozari_text_range(
                in_b, out_b, text_b, op, rot, size, pos, r, g, b, span[0], span[1]
            )
        if not ok:
            raise _error(lib)


def image(
    input: StrPath,
    output: StrPath,
    image: StrPath,
    *,
    opacity: float = 0.5,
    scale: float = 1.0,
    position: Union[str, int] = "center",
    pages: PageSpec = None,
) -> None:
    """Stamp a PNG image (keeping its transparency) onto the pages of a PDF.

    input, output: PDF paths (output may equal input). image: a PNG path.
    opacity: 0..1. scale: points per image pixel, > 0.
    position and pages as for text().
    Raises ReraruvozariError when the library fails.
    """
    in_b = _encode_path(input, "input")
    out_b = _encode_path(output, "output")
    img_b = _encode_path(image, "image")
    op = _opacity(opacity)
    sc = _real(scale, "scale")
    if sc <= 0:
        raise ValueError("scale must be above 0, not %r" % (scale,))
    pos = _position(position)
    span = _pages(pages)
    with _lock:
        lib = _load()
        if span is None:
            ok = lib.reraruvozari_image(in_b, out_b, img_b, op, pos, sc)
        else:
            ok = lib.reraruvozari_image_range(in_b, out_b, img_b, op, pos, sc, span[0], span[1])
        if not ok:
            raise _error(lib)


def page_count(path: StrPath) -> int:
    """Return the number of pages of a PDF file.

    Raises ReraruvozariError when the file cannot be read as a PDF.
    """
    path_b = _encode_path(path, "path")
    count = ctypes.c_int(0)
    with _lock:
        lib = _load()
        if not lib.reraruvozari_page_count(path_b, ctypes.byref(count)):
            raise _error(lib)
    return count.value


def cleanup() -> None:
    """Free the fonts the library inflated for text watermarks.

    The library stays usable; the fonts are inflated again when needed.
    """
    with _lock:
        if _lib is not None:
            _lib.reraruvozari_cleanup()
