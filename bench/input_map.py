#!/usr/bin/python3
"""Stamping every page of a large input, full rewrite and --incremental,
against `cat in > out`, for one or two builds of the CLI side by side.

RUNS interleaved rounds (one run of every command per round); before every
run the output is removed and `sync` runs, outside the timing. Every command
runs under GNU time for its peak RSS (%M); wall time is taken by
perf_counter around it (time's own %e has 10 ms steps). Medians, [min-max].

    /usr/bin/python3 bench/input_map.py IN.pdf CLI [BASE_CLI]    (RUNS=9)

FLOORS=1 adds what the design costs before the page edits: loading alone
(a page count), and full and incremental output with one page stamped.
"""
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time


def run(argv, rss_file, stdout_path=None):
    out = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL
    c0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    p = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv, stdout=out)
    t = time.perf_counter() - t0
    c1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = c1.ru_utime + c1.ru_stime - c0.ru_utime - c0.ru_stime
    if stdout_path:
        out.close()
    if p.returncode != 0:
        sys.exit(f"{argv[0]} failed ({p.returncode})")
    with open(rss_file) as f:
        return t, int(f.read().split()[-1]), cpu


def main():
    src, cli = sys.argv[1], sys.argv[2]
    base = sys.argv[3] if len(sys.argv) > 3 else None
    runs = int(os.environ.get("RUNS", "9"))
    work = tempfile.mkdtemp(dir=os.path.dirname(os.path.abspath(src)))
    out = os.path.join(work, "out.pdf")
    rss = os.path.join(work, "rss")
    stamp = ["text", src, out, "CONFIDENTIAL", "--position", "diagonal", "--opacity", "0.3",
             "--size", "48"]
    cmds = [("cat", ["cat", src], out),
            ("full", [cli] + stamp, None),
            ("incremental", [cli] + stamp + ["--incremental"], None)]
    if os.environ.get("FLOORS") == "1":
        # What loading and writing cost without the page edits: a page count
        # loads the document, one stamped page leaves the rest to copy.
        cmds += [("pages (loading alone)", [cli, "pages", src], None),
                 ("full, 1 page stamped", [cli] + stamp + ["--pages", "1"], None),
                 ("incremental, 1 page stamped",
                  [cli] + stamp + ["--pages", "1", "--incremental"], None)]
    if base:
        cmds += [("full, before", [base] + stamp, None),
                 ("incremental, before", [base] + stamp + ["--incremental"], None)]
    with open(src, "rb") as f:  # in the page cache
        while f.read(1 << 20):
            pass
    res = {name: [] for name, _, _ in cmds}
    for _ in range(runs):
        for name, argv, redirect in cmds:
            if os.path.exists(out):
                os.remove(out)
            os.sync()
            res[name].append(run(argv, rss, redirect))
    os.remove(out)
    os.remove(rss)
    os.rmdir(work)
    size = os.path.getsize(src)
    cat = statistics.median(r[0] for r in res["cat"])
    cat_cpu = statistics.median(r[2] for r in res["cat"])
    print(f"input {size:,} bytes ({size / 2**20:.1f} MiB); medians of {runs} interleaved runs; "
          f"load average {os.getloadavg()[0]:.2f}")
    print("| command | wall | x cat | CPU (user + sys) | x cat | peak RSS |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, v in res.items():
        t = statistics.median(r[0] for r in v)
        c = statistics.median(r[2] for r in v)
        m = statistics.median(r[1] for r in v) / 1024
        print(f"| {name} | {t * 1000:.1f} ms [{min(r[0] for r in v) * 1000:.1f}-"
              f"{max(r[0] for r in v) * 1000:.1f}] | {t / cat:.2f}x | {c * 1000:.0f} ms | "
              f"{c / cat_cpu:.2f}x | {m:.1f} MiB |")
    print(f"peak RSS goal of the incremental mode: 0.2 x input + 16 MiB = "
          f"{(0.2 * size + 16 * 2**20) / 2**20:.1f} MiB")

main()
