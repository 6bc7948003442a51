"""``python -m reraruvozari ARGS``: the command-line tool, with its commands,
options, output and exit status.

The program is the one ``pip install`` puts inside this package (bin/); in a
source checkout it is the one built beside the library the module loads.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path
from typing import List, Optional, Sequence

from . import ReraruvozariError, library_path


def program_path() -> str:
    """Path of the command-line program; raises ReraruvozariError if none."""
    exe = "reraruvozari.exe" if sys.platform == "win32" else "reraruvozari"
    here = Path(__file__).resolve().parent
    places: List[Path] = [here / "bin" / exe]
    try:
        lib = Path(library_path()).resolve().parent
        # A build tree keeps the program in bin/ below the library; an
        # installed prefix keeps it in bin/ beside lib/.
        places += [lib / "bin" / exe, lib.parent / "bin" / exe]
    except ReraruvozariError:
        pass
    for place in places:
        if place.is_file():
            return str(place)
    raise ReraruvozariError("cannot find the reraruvozari program")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the program with argv (default: this process's arguments) and
    returns its exit status."""
    args = list(sys.argv[1:] if argv is None else argv)
    try:
        program = program_path()
    except ReraruvozariError as exc:
        print("reraruvozari: %s" % exc, file=sys.stderr)
        return 1
    sys.stdout.flush()
    return subprocess.call([program] + args)


if __name__ == "__main__":
    sys.exit(main())
