#!/usr/bin/python3
"""Interleaved whole-process benchmark of our CLI against the peer tools.

Usage: bench.py peers  RESULTS.json   (env: W inputs dir, CLI our binary, SIZES, VARIANTS,
                                        MODES, RUNS10 RUNS1000 RUNS10000, FULL=1 for every peer at 10k)
       bench.py scale  RESULTS.json   (env: W, CLI, SCALE_SIZES, runs per size below)
       bench.py table  RESULTS.json   -> markdown tables on stdout
       bench.py plot   SCALE.json OUT.png

Every measured command runs as `/usr/bin/time -f %M -o RSSFILE argv...` (no shell; `cat`'s stdout is
redirected by this driver), wall time from time.perf_counter() around it.  The output file is removed
before every run, for every tool: each run writes a new file, as a stamping job usually does (replacing
an existing file costs every tool extra on ext4, which flushes the old file's replacement at once).
Before every run the page cache is written back (`sync`, not timed), so that no run pays for the
write-back of the output of the run before it.  Runs are interleaved:
run 1 of every tool of a group, then run 2 of every tool, ...; so ratios compare runs taken under the
same machine load.  Medians of the runs.
"""
import json, os, statistics, subprocess, sys, time

HERE = os.path.dirname(os.path.abspath(__file__))
W = os.environ.get('W', os.path.join(HERE, 'work'))
CLI = os.environ.get('CLI', os.path.join(HERE, '..', '..', 'build-bench', 'bin', 'reraruvozari'))
PY = os.environ.get('PY', '/usr/bin/python3')
OUTD = os.path.join(W, 'out')

TEXT_OPTS = ['--position', 'diagonal', '--opacity', '0.3', '--size', '48', '--color', '#808080']
IMAGE_OPTS = ['--position', 'center', '--opacity', '0.5']
# MODES=tile / fit: the text stamp repeated over the page, or fitted to it (ours only; compare
# with MODES=text in the same run).
LAYOUT_MODES = {'tile': ['--tile'], 'fit': ['--fit', '0.8']}


def cmd_for(tool, mode, inp, out):
    """argv (and stdout file or None) of one tool; None if the tool does not do this mode."""
    png = os.path.join(W, 'stamp.png')
    st = os.path.join(W, 'stamp_%s.pdf' % mode)
    if tool in ('ours', 'before'):
        cli = CLI if tool == 'ours' else os.environ.get('BASE_CLI')
        if not cli:
            return None
        if mode == 'text':
            return [cli, 'text', inp, out, 'CONFIDENTIAL'] + TEXT_OPTS, None
        if mode in LAYOUT_MODES:  # our own layout options, beside the plain text stamp
            return [cli, 'text', inp, out, 'CONFIDENTIAL'] + TEXT_OPTS + LAYOUT_MODES[mode], None
        return [cli, 'image', inp, out, png] + IMAGE_OPTS, None
    if mode in LAYOUT_MODES:
        return None
    if tool == 'cat':
        return ['cat', inp], out
    if tool == 'mutoolclean':
        return ['mutool', 'clean', inp, out], None
    if tool == 'qpdfcopy':
        return ['qpdf', inp, out], None
    if tool == 'qpdf':
        return ['qpdf', inp, '--overlay', st, '--repeat=1', '--', out], None
    if tool == 'pdftk':
        return ['pdftk', inp, 'stamp', st, 'output', out], None
    if tool == 'pypdf':
        return [PY, os.path.join(HERE, 'pypdf_stamp.py'), inp, out, st], None
    if tool == 'pikepdf':
        return [PY, os.path.join(HERE, 'pikepdf_stamp.py'), mode, inp, out, png], None
    if tool == 'pymupdf':
        return [PY, os.path.join(HERE, 'fitz_stamp.py'), mode, inp, out, png], None
    if tool == 'pdflib':
        return ['node', os.path.join(HERE, 'pdflib_stamp.js'), mode, inp, out, png], None
    if tool == 'mutool':
        return ['mutool', 'run', os.path.join(HERE, 'mutool_stamp.js'), mode, inp, out, png], None
    if tool == 'gs':
        if mode != 'text':
            return None
        return ['gs', '-q', '-dNOPAUSE', '-dBATCH', '-dSAFER', '-dALLOWPSTRANSPARENCY',
                '-sDEVICE=pdfwrite', '-o', out, os.path.join(HERE, 'gs_wm_text.ps'), inp], None
    raise ValueError(tool)


def shell_text(argv, stdout):
    s = ' '.join(("'%s'" % a) if any(c in a for c in ' #') else a for a in argv)
    return s + (' > ' + stdout if stdout else '')


def run_once(argv, stdout, out=None):
    for old in (out, stdout):
        if old and os.path.exists(old):
            os.remove(old)
    # The previous run's output is written back to disk first (not timed): otherwise the kernel
    # does it during the next run, on the other core, and the next tool pays for its predecessor.
    os.sync()
    rss_file = os.path.join(OUTD, '.rss')
    full = ['/usr/bin/time', '-f', '%M', '-o', rss_file] + argv
    so = open(stdout, 'wb') if stdout else subprocess.DEVNULL
    t0 = time.perf_counter()
    p = subprocess.run(full, stdout=so, stderr=subprocess.PIPE)
    t = time.perf_counter() - t0
    if stdout:
        so.close()
    rss = None
    try:
        rss = int(open(rss_file).read().split()[-1])
    except Exception:
        pass
    return t, rss, p.returncode, p.stderr.decode(errors='replace')[-300:]


def pages_of(path):
    out = subprocess.run(['pdfinfo', path], capture_output=True, text=True).stdout
    for line in out.splitlines():
        if line.startswith('Pages:'):
            return int(line.split()[1])
    return None


def check(mode, inp, out, full):
    """page count; CONFIDENTIAL on pages 1, N/2, N (text) or image+smask there (image);
    qpdf --check exit code when full."""
    np_, got = pages_of(inp), pages_of(out)
    mark = 'ok'
    if mode in ('text', 'image', 'tile', 'fit') and got:
        for pg in sorted({1, (np_ + 1) // 2, np_}):
            if mode != 'image':
                t = subprocess.run(['pdftotext', '-raw', '-f', str(pg), '-l', str(pg), out, '-'],
                                   capture_output=True).stdout.decode(errors='replace')
                if 'CONFIDENTIAL' not in ''.join(t.split()):
                    mark = 'no-text-p%d' % pg
            else:
                t = subprocess.run(['pdfimages', '-f', str(pg), '-l', str(pg), '-list', out],
                                   capture_output=True, text=True).stdout.splitlines()[2:]
                kinds = [l.split()[2] for l in t if len(l.split()) > 2]
                if 'image' not in kinds or 'smask' not in kinds:
                    mark = 'no-image+smask-p%d' % pg
    res = {'pages': got, 'pages_in': np_, 'mark': mark}
    if full:
        res['qpdf_check_rc'] = subprocess.run(['qpdf', '--check', out], capture_output=True).returncode
    return res


FAST = ('ours', 'before', 'cat', 'mutoolclean')


def runs_for(tool, n):
    """Runs per tool. The tools that take well under a second get more (RUNS_FAST, default 15):
    their medians are otherwise at the mercy of a few disturbed runs on a shared machine; the rounds
    beyond the slow peers' count run only these tools."""
    if tool in FAST and n >= 1000:
        return int(os.environ.get('RUNS_FAST', 15))
    if n <= 100:
        return int(os.environ.get('RUNS10', 10))
    if n <= 1000:
        if tool in ('pypdf', 'gs'):
            return int(os.environ.get('RUNS1000_SLOW', 2))
        return int(os.environ.get('RUNS1000', 5))
    return int(os.environ.get('RUNS10000', 3))


PEERS_ALL = ['ours', 'before', 'cat', 'mutoolclean', 'qpdfcopy', 'mutool', 'qpdf', 'pikepdf', 'pdflib',
             'pdftk', 'pymupdf', 'gs', 'pypdf']
PEERS_10K = ['ours', 'before', 'cat', 'mutoolclean', 'qpdfcopy', 'mutool', 'qpdf', 'pikepdf', 'pdflib']


def bench_group(n, variant, mode, tools, results):
    sfx = '_os' if variant == 'os' else ''
    inp = os.path.join(W, 'in%d%s.pdf' % (n, sfx))
    cmds, outs = {}, {}
    for t in tools:
        o = os.path.join(OUTD, '%s_%s_%d%s.pdf' % (t, mode, n, sfx))
        c = cmd_for(t, mode, inp, o)
        if c:
            cmds[t] = c
            outs[t] = o
    maxruns = max(runs_for(t, n) for t in cmds)
    times = {t: [] for t in cmds}
    rss = {t: [] for t in cmds}
    if n <= 100:  # one warm-up round (page cache, interpreter files)
        for t, (argv, so) in cmds.items():
            run_once(argv, so, outs[t])
    load0 = os.getloadavg()
    for r in range(maxruns):
        for t, (argv, so) in cmds.items():
            if r >= runs_for(t, n):
                continue
            el, m, rc, err = run_once(argv, so, outs[t])
            if rc != 0:
                print('  FAIL %s %s %d%s rc=%d %s' % (t, mode, n, sfx, rc, err), file=sys.stderr)
            times[t].append(el)
            if m:
                rss[t].append(m)
    load1 = os.getloadavg()
    for t, (argv, so) in cmds.items():
        out = outs[t]
        chk = check(mode if t not in ('cat', 'mutoolclean', 'qpdfcopy') else 'raw', inp, out,
                    full=(t in ('ours', 'before')))
        key = '%s|%s|%d|%s' % (t, mode, n, variant)
        results[key] = dict(tool=t, mode=mode, n=n, variant=variant, times=times[t],
                            median=statistics.median(times[t]), rss_kib=rss[t],
                            rss_med=statistics.median(rss[t]) if rss[t] else None,
                            out_bytes=os.path.getsize(out), in_bytes=os.path.getsize(inp),
                            check=chk, cmd=shell_text(argv, so), load=[load0, load1])
        print('%-12s %-5s %6d %-7s median %8.4f s [%s] rss %s KiB out %d %s' % (
            t, mode, n, variant, results[key]['median'],
            ' '.join('%.3f' % x for x in times[t]), results[key]['rss_med'],
            results[key]['out_bytes'], chk), flush=True)
        if mode in ('text', 'image') and t not in ('ours',) and n >= 10000:
            try:
                os.remove(out)  # keep the disk tidy: 40 MB each
            except OSError:
                pass


def cmd_peers(path):
    os.makedirs(OUTD, exist_ok=True)
    results = json.load(open(path)) if os.path.exists(path) else {}
    sizes = [int(x) for x in os.environ.get('SIZES', '10 1000 10000').split()]
    variants = os.environ.get('VARIANTS', 'classic os').split()
    modes = os.environ.get('MODES', 'text image').split()
    for n in sizes:
        for v in variants:
            for m in modes:
                if n >= 10000:
                    tools = list(PEERS_ALL if os.environ.get('FULL') == '1' else PEERS_10K)
                    if 'pypdf' in tools and (m != 'text' or v != 'classic'):
                        tools.remove('pypdf')
                else:
                    tools = PEERS_ALL
                if os.environ.get('TOOLS'):
                    tools = os.environ['TOOLS'].split()
                print('== %d pages, %s, %s; load %s' % (n, v, m, os.getloadavg()), flush=True)
                bench_group(n, v, m, tools, results)
                json.dump(results, open(path, 'w'), indent=1)


def cmd_scale(path):
    """our text watermark (and cat as a floor) at 1 .. 100,000 pages."""
    os.makedirs(OUTD, exist_ok=True)
    results = json.load(open(path)) if os.path.exists(path) else {}
    sizes = [int(x) for x in os.environ.get('SCALE_SIZES', '1 10 100 1000 10000 100000').split()]
    for n in sizes:
        inp = os.path.join(W, 'in%d.pdf' % n)
        out = os.path.join(OUTD, 'scale_%d.pdf' % n)
        cmds = {'ours': cmd_for('ours', 'text', inp, out), 'cat': cmd_for('cat', 'raw', inp, out + '.cat')}
        runs = 10 if n <= 1000 else 5 if n <= 10000 else 3
        times = {t: [] for t in cmds}
        rss = {t: [] for t in cmds}
        if n <= 10000:
            for t, (a, so) in cmds.items():
                run_once(a, so, out if t == 'ours' else None)
        for r in range(runs):
            for t, (a, so) in cmds.items():
                el, m, rc, err = run_once(a, so, out if t == 'ours' else None)
                if rc:
                    print('FAIL', t, n, err, file=sys.stderr)
                times[t].append(el)
                rss[t].append(m)
        chk = check('text', inp, out, full=(n <= 10000))
        results[str(n)] = dict(n=n, in_bytes=os.path.getsize(inp), out_bytes=os.path.getsize(out),
                               ours=times['ours'], cat=times['cat'], ours_med=statistics.median(times['ours']),
                               cat_med=statistics.median(times['cat']), rss_kib=rss['ours'],
                               rss_med=statistics.median(rss['ours']), check=chk, load=os.getloadavg())
        print('%7d pages  in %11d B  ours %8.4f s  cat %7.4f s  rss %7d KiB  %s' % (
            n, results[str(n)]['in_bytes'], results[str(n)]['ours_med'], results[str(n)]['cat_med'],
            results[str(n)]['rss_med'], chk), flush=True)
        json.dump(results, open(path, 'w'), indent=1)
        for f in (out, out + '.cat'):
            if n >= 10000:
                os.remove(f)


def fmt(t):
    return '%.3f' % t if t < 10 else '%.1f' % t


def cmd_table(path):
    res = json.load(open(path))
    order = PEERS_ALL
    groups = sorted({(r['variant'], r['mode']) for r in res.values()},
                    key=lambda g: (g[0] != 'classic', g[1] != 'text'))
    sizes = sorted({r['n'] for r in res.values()})
    for v, m in groups:
        print('\n### %s watermark, %s input\n' % (m, 'classic-xref' if v == 'classic' else 'object-stream'))
        print('Wall time: median s [min-max] (runs); x ours = median / median(our CLI); '
              'x cat = median / median(cat), both from the same interleaved run. '
              'Peak RSS MiB (median), output bytes.\n')
        print('| tool | pages | median s [min-max] (n) | x ours | x cat | peak RSS MiB | output bytes | check |')
        print('|---|---:|---:|---:|---:|---:|---:|---|')
        for n in sizes:
            ours = res.get('ours|%s|%d|%s' % (m, n, v))
            cat = res.get('cat|%s|%d|%s' % (m, n, v))
            for t in order:
                r = res.get('%s|%s|%d|%s' % (t, m, n, v))
                if not r:
                    continue
                c = r['check']
                cs = 'pages %s/%s' % (c['pages'], c['pages_in'])
                if t not in ('cat', 'mutoolclean', 'qpdfcopy'):
                    cs += ', mark ' + c['mark']
                if 'qpdf_check_rc' in c:
                    cs += ', qpdf --check rc %d' % c['qpdf_check_rc']
                name = {'ours': '**reraruvozari**', 'before': os.environ.get('BASE_LABEL', 'reraruvozari, earlier build'), 'mutoolclean': 'mutool clean (no stamp)',
                        'qpdfcopy': 'qpdf in out (no stamp)'}.get(t, t)
                print('| %s | %d | %s [%s-%s] (%d) | %.2f | %.1f | %.1f | %d | %s |' % (
                    name, n, fmt(r['median']), fmt(min(r['times'])), fmt(max(r['times'])), len(r['times']),
                    r['median'] / ours['median'] if ours else float('nan'),
                    r['median'] / cat['median'] if cat else float('nan'),
                    (r['rss_med'] or 0) / 1024, r['out_bytes'], cs))


def cmd_plot(path, png):
    import matplotlib
    matplotlib.use('Agg')
    import matplotlib.pyplot as plt
    res = sorted(json.load(open(path)).values(), key=lambda r: r['n'])
    n = [r['n'] for r in res]
    t = [r['ours_med'] for r in res]
    c = [r['cat_med'] for r in res]
    m = [r['rss_med'] / 1024 for r in res]
    inb = [r['in_bytes'] / 2**20 for r in res]
    fig, (a1, a2) = plt.subplots(1, 2, figsize=(11, 4.2))
    a1.loglog(n, t, 'o-', label='reraruvozari text (median)')
    a1.loglog(n, c, 's--', label='cat in > out (median)')
    # linear reference through the 10,000-page point
    k = t[n.index(10000)] / 10000 if 10000 in n else t[-1] / n[-1]
    a1.loglog(n, [k * x for x in n], ':', color='grey', label='linear (slope 1) through 10,000 pages')
    a1.set_xlabel('pages'); a1.set_ylabel('wall time, s'); a1.grid(True, which='both', alpha=0.3)
    a1.set_title('Stamping time vs pages'); a1.legend(fontsize=8)
    a2.loglog(n, m, 'o-', label='reraruvozari peak RSS')
    a2.loglog(n, inb, 's--', label='input file size')
    a2.loglog(n, [2.5 * x + 16 for x in inb], ':', color='grey', label='2.5 x input + 16 MiB')
    a2.set_xlabel('pages'); a2.set_ylabel('MiB'); a2.grid(True, which='both', alpha=0.3)
    a2.set_title('Peak memory vs pages'); a2.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(png, dpi=90)


if __name__ == '__main__':
    what = sys.argv[1]
    {'peers': cmd_peers, 'scale': cmd_scale, 'table': cmd_table}.get(what, lambda *a: None)(*sys.argv[2:3])
    if what == 'plot':
        cmd_plot(sys.argv[2], sys.argv[3])
