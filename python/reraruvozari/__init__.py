"""Stamp text or image watermarks onto PDF pages (ctypes binding).

The module loads the reraruvozari shared library and wraps its C functions::

    import reraruvozari
    reraruvozari.text("in.pdf", "out.pdf", "DRAFT", opacity=0.25)
    reraruvozari.image("in.pdf", "logo.pdf", "logo.png", position="top-right")
    reraruvozari.remove("draft.pdf", "clean.pdf")
    reraruvozari.page_count("in.pdf")

The library is found through the environment variable RERARUVOZARI_LIBRARY
(a path to the library file), then inside this package (where ``pip install``
puts it), then in the build directories ``build*/`` of a source checkout.
``python -m reraruvozari`` runs the command-line tool.

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
import re
import sys
import threading
import warnings
from pathlib import Path
from typing import Callable, List, NamedTuple, Optional, Sequence, Tuple, Union

__all__ = [
    "ReraruvozariError",
    "ReraruvozariWarning",
    "text",
    "image",
    "remove",
    "Removal",
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
    "top": 6,
    "bottom": 7,
    "left": 8,
    "right": 9,
}
_POSITION_NAMES = {v: k for k, v in POSITIONS.items() if k != "centre"}


class ReraruvozariError(Exception):
    """An operation of the library failed; the message says why."""


class ReraruvozariWarning(UserWarning):
    """An operation succeeded with something the caller should know (the
    signatures of a signed file rewritten whole no longer verify; a stamp
    in no layer shows everywhere)."""


def _library_names() -> List[str]:
    """File names of the shared library, the current platform's first."""
    names = ["libreraruvozari.so.0", "libreraruvozari.so", "reraruvozari.dll",
             "libreraruvozari.0.dylib", "libreraruvozari.dylib"]
    if sys.platform == "win32":
        names.insert(0, names.pop(2))
    elif sys.platform == "darwin":
        names = names[3:] + names[:3]
    return names


def _candidates() -> List[Path]:
    """Places to look for the library, in order of preference."""
    here = Path(__file__).resolve().parent
    names = _library_names()
    found: List[Path] = [d / n for d in (here / "lib", here / "bin", here) for n in names]
    builds: List[Path] = []
    # python/reraruvozari/ in a checkout: the build trees are two levels up.
    for build in sorted(here.parent.parent.glob("build*")):
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


#: The options object's setters and their argument types (d double, i int,
#: s string); the keyword arguments of text() and image() have these names.
_SETTERS = {
    "opacity": "d",
    "rotation": "d",
    "size": "d",
    "scale": "d",
    "color": "iii",
    "position": "s",
    "pages": "s",
    "fit": "d",
    "margin": "d",
    "offset": "dd",
    "line_spacing": "d",
    "tile": "i",
    "tile_gap": "d",
    "under": "i",
    "ignore_rotation": "i",
    "layer": "s",
    "show": "s",
    "replace": "i",
    "incremental": "i",
    "subset": "i",
    "font": "s",
    "password": "s",
    "ignore_permissions": "i",
}

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
    c_opts = ctypes.c_void_p
    c_double = ctypes.c_double
    lib.reraruvozari_options_new.argtypes = []
    lib.reraruvozari_options_new.restype = c_opts
    lib.reraruvozari_options_free.argtypes = [c_opts]
    lib.reraruvozari_options_free.restype = None
    for name, args in _SETTERS.items():
        fn = getattr(lib, "reraruvozari_options_set_" + name)
        fn.argtypes = [c_opts] + [
            {"d": c_double, "i": c_int, "s": c_str}[a] for a in args
        ]
        fn.restype = c_int
    for name in ("reraruvozari_stamp_text", "reraruvozari_stamp_image"):
        getattr(lib, name).argtypes = [c_str, c_str, c_str, c_opts]
        getattr(lib, name).restype = c_int
    c_int_p = ctypes.POINTER(c_int)
    lib.reraruvozari_remove.argtypes = [c_str, c_str, c_opts, c_int_p, c_int_p]
    lib.reraruvozari_remove.restype = c_int
    lib.reraruvozari_last_notice.argtypes = []
    lib.reraruvozari_last_notice.restype = c_str
    lib.reraruvozari_count_pages.argtypes = [c_str, c_opts, ctypes.POINTER(c_int)]
    lib.reraruvozari_count_pages.restype = c_int
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


def _pages(value: PageSpec) -> Optional[str]:
    """None (every page), N, (start, end or None), or a page list string
    such as '1-3,7,10-', '-4', 'odd', 'even', 'last' (checked by the library).

    Returns the list as the library takes it, or None for every page.
    """
    if value is None:
        return None
    if isinstance(value, str):
        if "\0" in value or not value.strip():
            raise ValueError("pages must be a page list like '1-3,7,10-', not %r" % (value,))
        return value.strip()
    if isinstance(value, tuple):
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
        return "%d-" % start
    end = _page_number(end, "last page")
    if end < start:
        raise ValueError("the page range ends before it starts: %d-%d" % (start, end))
    return "%d-%d" % (start, end)


def _optional_real(value: object, name: str) -> Optional[float]:
    return None if value is None else _real(value, name)


def _offset(value: object) -> Optional[Tuple[float, float]]:
    """None or (dx, dy) in points."""
    if value is None:
        return None
    if not isinstance(value, (tuple, list)):
        raise TypeError("offset must be a (dx, dy) pair, not %s" % type(value).__name__)
    if len(value) != 2:
        raise ValueError("offset must have two components, not %d" % len(value))
    return (_real(value[0], "offset dx"), _real(value[1], "offset dy"))


def _flag(value: object, name: str) -> int:
    if not isinstance(value, bool):
        raise TypeError("%s must be a bool, not %s" % (name, type(value).__name__))
    return 1 if value else 0


def _with_options(settings: dict, run: Callable[[ctypes.CDLL, object], bool]) -> None:
    """Builds an options object from `settings` (setter name -> arguments;
    None leaves the library's default), calls run(lib, options) under the
    lock and frees the object. A value the library
    refuses raises ValueError with its message, a run that returns False
    ReraruvozariError."""
    with _lock:
        lib = _load()
        opts = lib.reraruvozari_options_new()
        if not opts:
            raise MemoryError("cannot allocate the options")
        try:
            for name, args in settings.items():
                if args is None:
                    continue
                if not isinstance(args, tuple):
                    args = (args,)
                setter = getattr(lib, "reraruvozari_options_set_" + name)
                if not setter(opts, *args):
                    raise ValueError(_error(lib).args[0])
            if not run(lib, opts):
                raise _error(lib)
        finally:
            lib.reraruvozari_options_free(opts)


def _stamp(call: str, paths: Tuple[bytes, bytes, bytes], settings: dict) -> None:
    """Runs a stamp call with the options `settings` describe; each line of
    the call's notice becomes a ReraruvozariWarning."""
    notice: List[str] = []

    def run(lib: ctypes.CDLL, opts: object) -> bool:
        if not getattr(lib, call)(*paths, opts):
            return False
        notice.append((lib.reraruvozari_last_notice() or b"").decode("utf-8", "replace"))
        return True

    _with_options(settings, run)
    for line in notice[0].splitlines():
        warnings.warn(line, ReraruvozariWarning, stacklevel=3)


def _marking(layer: object, show: object, replace: object) -> dict:
    """The layer, show and replace settings of text() and image()."""
    if layer is not None and not isinstance(layer, str):
        raise TypeError("layer must be a str or None, not %s" % type(layer).__name__)
    if isinstance(layer, str) and (layer == "" or "\0" in layer):
        raise ValueError("layer must be a non-empty name without NUL characters")
    if show not in ("both", "screen", "print"):
        raise ValueError("show must be 'both', 'screen' or 'print', not %r" % (show,))
    return {
        # (None,) passes NULL: no layer at all.
        "layer": (None,) if layer is None else layer.encode("utf-8"),
        "show": show.encode(),
        "replace": _flag(replace, "replace"),
    }
def _password(value: object) -> Optional[bytes]:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError("password must be a str, not %s" % type(value).__name__)
    if "\0" in value:
        raise ValueError("password must not contain NUL characters")
    return value.encode("utf-8")


def _layout(fit: object, margin: object, offset: object, tile: object,
            tile_gap: object, under: object, ignore_rotation: object,
            pages: PageSpec, password: object = None,
            ignore_permissions: object = False) -> dict:
    """The settings text() and image() share."""
    span = _pages(pages)
    return {
        "password": _password(password),
        "ignore_permissions": _flag(ignore_permissions, "ignore_permissions"),
        "pages": None if span is None else span.encode("utf-8"),
        "fit": _optional_real(fit, "fit"),
        "margin": _optional_real(margin, "margin"),
        "offset": _offset(offset),
        "tile": _flag(tile, "tile"),
        "tile_gap": _optional_real(tile_gap, "tile_gap"),
        "under": _flag(under, "under"),
        "ignore_rotation": _flag(ignore_rotation, "ignore_rotation"),
    }


def text(
    input: StrPath,
    output: StrPath,
    text: str,
    *,
    opacity: float = 0.3,
    rotation: float = 0,
    size: float = 48,
    position: Union[str, int] = "diagonal",
    color: ColorSpec = (128, 128, 128),
    pages: PageSpec = None,
    fit: Optional[float] = None,
    margin: Optional[float] = None,
    offset: Optional[Tuple[float, float]] = None,
    line_spacing: Optional[float] = None,
    tile: bool = False,
    tile_gap: Optional[float] = None,
    under: bool = False,
    ignore_rotation: bool = False,
    layer: Optional[str] = "Watermark",
    show: str = "both",
    replace: bool = False,
    incremental: bool = False,
    subset: bool = True,
    font: Optional[StrPath] = None,
    password: Optional[str] = None,
    ignore_permissions: bool = False,
) -> None:
    """Stamp text onto the pages of a PDF file.

    input, output: PDF paths (output may equal input).
    text: the watermark, any Unicode the library has fonts for; line feeds
    separate lines, centred on each other line_spacing (default 1.2) sizes
    apart.
    opacity: 0..1. rotation: degrees counter-clockwise. size: points, >= 1.
    position: 'center', 'top-left', 'top-right', 'bottom-left',
    'bottom-right', 'diagonal', 'top', 'bottom', 'left', 'right', or 0..5 for
    the first six. color: (r, g, b) 0..255 or '#RRGGBB'.
    pages: None for every page, N, (start, end) with end None for the last
    page, or a list such as '1-3,7,10-', '-4', 'odd', 'even', 'last'.
    fit: 0 < fit <= 1, the share of the page width (of its diagonal for
    'diagonal') the text spans, inside the margins; overrides size.
    margin: points from the page edge (default 36). offset: (dx, dy) points
    right and up. tile: repeat across the page, tile_gap points apart
    (default 36). under: draw under the page's content. ignore_rotation:
    place in the unrotated page instead of the page as displayed.
    The stamp is marked as a watermark artifact (skipped by assistive
    technology) and lies in a layer: layer names it (None: no layer); show
    'both', 'screen' (not printed) or 'print' (hidden on screen). replace:
    remove this library's earlier stamps from the pages first.
    incremental: keep the input's bytes and append the changes as an
    incremental update, so that digital signatures stay valid.
    subset: embed only the glyphs drawn (default) or, False, whole fonts.
    font: a TrueType font file (.ttf, or the first font of a .ttc) drawing
    the text first; the embedded fonts draw what it lacks.
    password: of an encrypted input (user or owner); files whose user
    password is empty need none. The output is encrypted as the input was.
    ignore_permissions: stamp a file whose permissions forbid modifying it
    though it was opened without its owner password, or a certified file
    (its certification forbids changes of page content at every level).
    Raises ReraruvozariError when the library fails.
    """
    in_b = _encode_path(input, "input")
    out_b = _encode_path(output, "output")
    font_b = None if font is None else _encode_path(font, "font")
    if not isinstance(text, str):
        raise TypeError("text must be a str, not %s" % type(text).__name__)
    if "\0" in text:
        raise ValueError("text must not contain NUL characters")
    text_b = text.encode("utf-8")
    settings = {
        "opacity": _opacity(opacity),
        "rotation": _real(rotation, "rotation"),
        "size": _real(size, "size"),
        "position": _POSITION_NAMES[_position(position)].encode(),
        "color": _color(color),
        "line_spacing": _optional_real(line_spacing, "line_spacing"),
        "subset": _flag(subset, "subset"),
        "font": font_b,
    }
    settings.update(_layout(fit, margin, offset, tile, tile_gap, under,
                            ignore_rotation, pages, password, ignore_permissions))
    settings.update(_marking(layer, show, replace))
    settings["incremental"] = _flag(incremental, "incremental")
    _stamp("reraruvozari_stamp_text", (in_b, out_b, text_b), settings)


def image(
    input: StrPath,
    output: StrPath,
    image: StrPath,
    *,
    opacity: float = 0.5,
    scale: float = 1.0,
    rotation: float = 0,
    position: Union[str, int] = "center",
    pages: PageSpec = None,
    fit: Optional[float] = None,
    margin: Optional[float] = None,
    offset: Optional[Tuple[float, float]] = None,
    tile: bool = False,
    tile_gap: Optional[float] = None,
    under: bool = False,
    ignore_rotation: bool = False,
    layer: Optional[str] = "Watermark",
    show: str = "both",
    replace: bool = False,
    incremental: bool = False,
    password: Optional[str] = None,
    ignore_permissions: bool = False,
) -> None:
    """Stamp a PNG image (keeping its transparency) onto the pages of a PDF.

    input, output: PDF paths (output may equal input). image: a PNG path.
    opacity: 0..1. scale: points per image pixel, > 0. rotation: degrees
    counter-clockwise. position, pages and the layout options (fit, margin,
    offset, tile, tile_gap, under, ignore_rotation) and layer, show,
    replace and incremental as for text().
    password and ignore_permissions as for text().
    Raises ReraruvozariError when the library fails.
    """
    in_b = _encode_path(input, "input")
    out_b = _encode_path(output, "output")
    img_b = _encode_path(image, "image")
    sc = _real(scale, "scale")
    if sc <= 0:
        raise ValueError("scale must be above 0, not %r" % (scale,))
    settings = {
        "opacity": _opacity(opacity),
        "scale": sc,
        "rotation": _real(rotation, "rotation"),
        "position": _POSITION_NAMES[_position(position)].encode(),
    }
    settings.update(_layout(fit, margin, offset, tile, tile_gap, under,
                            ignore_rotation, pages, password, ignore_permissions))
    settings.update(_marking(layer, show, replace))
    settings["incremental"] = _flag(incremental, "incremental")
    _stamp("reraruvozari_stamp_image", (in_b, out_b, img_b), settings)


class Removal(NamedTuple):
    """What remove() did: stamps removed, pages they were removed from, and
    the pages whose stamp was left in place because the page was changed
    after stamping."""

    stamps: int
    pages: int
    left_in_place: List[int]


def remove(input: StrPath, output: StrPath, *, pages: PageSpec = None,
           incremental: bool = False, password: Optional[str] = None,
           ignore_permissions: bool = False) -> Removal:
    """Remove the stamps this library added from the pages of a PDF file.

    Each page gets back the content and resources it had; a stamp's layer
    goes once no page uses it. pages: as for text() (None: every page).
    incremental, password and ignore_permissions as for text().
    With nothing to remove, output is an unchanged copy of input.
    Raises ReraruvozariError when the library fails.
    """
    in_b = _encode_path(input, "input")
    out_b = _encode_path(output, "output")
    span = _pages(pages)
    settings = {
        "pages": None if span is None else span.encode("utf-8"),
        "incremental": _flag(incremental, "incremental"),
        "password": _password(password),
        "ignore_permissions": _flag(ignore_permissions, "ignore_permissions"),
    }
    stamps = ctypes.c_int(0)
    changed = ctypes.c_int(0)
    notice: List[str] = []

    def run(lib: ctypes.CDLL, opts: object) -> bool:
        if not lib.reraruvozari_remove(in_b, out_b, opts, ctypes.byref(stamps),
                                       ctypes.byref(changed)):
            return False
        notice.append((lib.reraruvozari_last_notice() or b"").decode("utf-8", "replace"))
        return True

    _with_options(settings, run)
    left = []
    for line in notice[0].splitlines():
        page = re.match(r"page (\d+): ", line)
        if page:
            left.append(int(page.group(1)))
        else:  # a signed file rewritten whole: a warning, as for text()
            warnings.warn(line, ReraruvozariWarning, stacklevel=2)
    return Removal(stamps.value, changed.value, left)


def page_count(path: StrPath, *, password: Optional[str] = None) -> int:
    """Return the number of pages of a PDF file.

    password: of an encrypted file (files whose user password is empty need
    none). Raises ReraruvozariError when the file cannot be read as a PDF.
    """
    path_b = _encode_path(path, "path")
    count = ctypes.c_int(0)
    _with_options({"password": _password(password)},
                  lambda lib, opts: lib.reraruvozari_count_pages(path_b, opts,
                                                                 ctypes.byref(count)))
    return count.value


def cleanup() -> None:
    """Free the fonts the library inflated for text watermarks.

    The library stays usable; the fonts are inflated again when needed.
    """
    with _lock:
        if _lib is not None:
            _lib.reraruvozari_cleanup()
