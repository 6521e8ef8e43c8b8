#!/usr/bin/env python3
"""Turns the benchmark programs' JSON output into the performance table.

Input: one JSON file per program under bench/ (Google Benchmark's
--benchmark_format=json, run with repetitions and aggregates only, as
`make bench-report` does).  Output: a Markdown table of the medians, one row
per workload and contender of ours, with each peer's time and the ratio to
the best peer, and an SVG bar chart of those ratios, drawn here without any
plotting package.

Pairing comes from the names: each program names its cases
BM_<Contender>_<Case>[/args], and the same <Case>/args on two contenders is
one workload.  A contender named after the program's module in CamelCase
(kite_mblock_bench -> KiteMblock) is ours; the others are peers.  The few
names that do not say it themselves are in the tables below.
"""
import argparse
import json
import math
import os
import re
import sys
from xml.sax.saxutils import escape

# Contenders of ours whose name is not their program's module.
OURS = {'CommonBlockedQueue', 'KiteBlockedQueue', 'LockedTimer',
        'UniqSkiplist', 'SkiplistSet', 'MultiSockClient', 'ServerIdFunc'}
# Lower bounds (the bare system call or memcpy), shown but not peers: ours
# is compared with a floor only where the workload has no peer.
FLOORS = {'Write', 'RawEpoll', 'Memcpy', 'PosixLoop'}
# (module, Contender_Case) -> (contender, case) where a case is named after
# the contender's own calls, or is a variant of ours on a peer's workload.
RENAME = {
    ('kite_mblock', 'KiteMblock_AllocFreeLocked'):
        ('KiteMblock locked', 'AllocFree'),
    ('kite_mpool', 'KiteMpool_AllocReset'): ('KiteMpool', 'AllocRelease'),
    ('kite_mpool', 'Apr_PallocClear'): ('Apr', 'AllocRelease'),
    ('kite_mpool', 'PmrMonotonic_AllocateRelease'):
        ('PmrMonotonic', 'AllocRelease'),
    ('kite_mpool', 'Malloc_AllocFree'): ('Malloc', 'AllocRelease'),
    ('server_id_func', 'ServerIdFunc_InihParse'): ('Inih', 'Load'),
    ('server_id_func', 'ServerIdFunc_StdMapById'): ('StdMap', 'LookupById'),
    ('server_id_func', 'ServerIdFunc_UnorderedMapById'):
        ('UnorderedMap', 'LookupById'),
    ('server_id_func', 'ServerIdFunc_StdMapByIpPort'):
        ('StdMap', 'LookupByIpPort'),
    ('server_id_func', 'ServerIdFunc_UnorderedMapByIpPort'):
        ('UnorderedMap', 'LookupByIpPort'),
    ('shared_buffer', 'SharedBuffer_TakeHoldReleaseLocked'):
        ('SharedBuffer locked', 'TakeHoldRelease'),
    ('thread_pool', 'ThreadPool_BacklogHandOff'):
        ('ThreadPool backlog', 'HandOff'),
    ('thread_pool', 'ThreadPool_BacklogWork20us'):
        ('ThreadPool backlog', 'Work20us'),
    ('thread_pool', 'ThreadPool_BacklogEmpty'):
        ('ThreadPool backlog', 'Empty'),
}
# Cases whose figure is not their time: (module, case) -> (counter, ns per
# unit).  Hand-off runs sleep between items, so its time says nothing.
METRIC = {('thread_pool', 'HandOff'): ('call_median_us', 1e3)}
# Cases that are not timings at all (comparison counts).
SKIP = {('skiplist', 'Comparisons')}

NS_PER_UNIT = {'ns': 1.0, 'us': 1e3, 'ms': 1e6, 's': 1e9}
# Run-name parts that say how a case was run, not what it does.
RUN_OPTIONS = re.compile(
    r'^(real_time|process_time|manual_time|threads:1|'
    r'(iterations|repeats|min_time|min_warmup_time):.*)$')


def camel(module):
    return ''.join(p[:1].upper() + p[1:] for p in module.split('_'))


def module_of(context):
    name = os.path.basename(context.get('executable', ''))
    return name[:-len('_bench')] if name.endswith('_bench') else name


def parse_name(module, run_name):
    """BM_<Contender>_<Case>[/args] -> (contender, case, role) or None."""
    parts = run_name.split('/')
    m = re.match(r'^BM_([A-Za-z0-9]+)_(\w+)$', parts[0])
    if not m:
        return None
    contender, case = m.group(1), m.group(2)
    if (module, parts[0][3:]) in RENAME:
        contender, case = RENAME[(module, parts[0][3:])]
    if (module, case) in SKIP:
        return None
    args = [p for p in parts[1:] if not RUN_OPTIONS.match(p)]
    base = contender.split(' ')[0]
    if base == camel(module) or base in OURS:
        role = 'ours'
    elif base in FLOORS:
        role = 'floor'
    else:
        role = 'peer'
    return contender, '/'.join([case] + args), role


def medians(doc):
    """(module, case) -> {contender: (ns, role)} of one program's output."""
    module = module_of(doc.get('context', {}))
    out = {}
    for b in doc.get('benchmarks', []):
        if b.get('aggregate_name') != 'median' or b.get('error_occurred'):
            continue
        parsed = parse_name(module, b.get('run_name', b['name']))
        if parsed is None:
            continue
        contender, case, role = parsed
        counter = METRIC.get((module, case.split('/')[0]))
        if counter:
            ns = b[counter[0]] * counter[1]
        else:
            ns = b['real_time'] * NS_PER_UNIT[b.get('time_unit', 'ns')]
        out.setdefault((module, case), {})[contender] = (ns, role)
    return out


def rows(docs):
    """One row per workload and contender of ours, in program order."""
    table = []
    for doc in docs:
        for (module, case), runs in medians(doc).items():
            peers = sorted((ns, c) for c, (ns, r) in runs.items()
                           if r == 'peer')
            floors = sorted((ns, c) for c, (ns, r) in runs.items()
                            if r == 'floor')
            best = peers[0] if peers else (floors[0] if floors else None)
            for c, (ns, r) in runs.items():
                if r != 'ours':
                    continue
                table.append({
                    'workload': f'{module} {case}', 'ours': c, 'ns': ns,
                    'peers': peers, 'floors': floors, 'best': best,
                    'vs_floor': not peers and best is not None,
                    'ratio': ns / best[0] if best and best[0] > 0 else None})
    # Programs report in random order (interleaving); cases in natural
    # order (FanOut/8 before FanOut/32) read better.
    def key(r):
        return [int(t) if t.isdigit() else t
                for t in re.split(r'(\d+)', r['workload'] + ' ' + r['ours'])]
    return sorted(table, key=key)


def fmt_ns(ns):
    for unit, scale in (('s', 1e9), ('ms', 1e6), ('us', 1e3)):
        if ns >= scale:
            return f'{ns / scale:.3g} {unit}'
    return f'{ns:.3g} ns'


def machine(docs, cpuinfo='/proc/cpuinfo'):
    cpu = 'unknown CPU'
    try:
        with open(cpuinfo, encoding='utf-8', errors='replace') as f:
            for line in f:
                if line.startswith('model name'):
                    cpu = line.split(':', 1)[1].strip()
                    break
    except OSError:
        pass
    contexts = [d.get('context', {}) for d in docs]
    loads = [c['load_avg'][0] for c in contexts if c.get('load_avg')]
    dates = sorted(c['date'] for c in contexts if c.get('date'))
    cores = contexts[0].get('num_cpus', os.cpu_count()) if contexts else 0
    date = '?'
    if dates:  # 2026-12-08T12:59:44+00:00 -> 2026-12-08 12:59 UTC
        date = dates[0][:16].replace('T', ' ') + ' ' + (
            'UTC' if dates[0].endswith(('+00:00', 'Z')) else dates[0][19:])
    return {'cpu': cpu, 'cores': cores, 'date': date,
            'load': (min(loads), max(loads)) if loads else None}


def summary(table):
    ratios = [r['ratio'] for r in table if r['ratio'] and not r['vs_floor']]
    if not ratios:
        return 'No workload has a peer.'
    lead = sum(1 for x in ratios if x < 1)
    gmean = math.exp(sum(math.log(x) for x in ratios) / len(ratios))
    return (f'Against the best peer, ours leads in {lead} of {len(ratios)} '
            f'workloads and trails in {len(ratios) - lead}; geometric mean '
            f'ratio {gmean:.2f}x.')


def markdown(table, mach, failed=(), chart=None):
    load = mach['load']
    load_text = (f'{load[0]:.2f} to {load[1]:.2f}' if load else 'unknown')
    out = ['# Performance', '',
           f'Machine: {mach["cpu"]}, {mach["cores"]} cores, 1-minute load '
           f'average {load_text} at the programs\' starts (the machine is '
           f'shared, so figures are noisy).  Date: {mach["date"]}.', '',
           'Medians of 5 randomly interleaved repetitions (`make '
           'bench-report`).  Ratio = our median time / the best peer\'s: '
           'below 1.00x ours leads, above it trails.  Floors (a bare system '
           'call, memcpy) are lower bounds, not peers; ours is compared with '
           'a floor only where a workload has no peer (marked "floor").', '',
           'Each figure is the run\'s real time, except: ' + '; '.join(
               f'{m} {c} compares the median `{n}`' for (m, c), (n, _)
               in METRIC.items()) + '.', '',
           summary(table), '']
    if chart:
        out += [f'![Ratio to the best peer per workload]({chart})', '']
    if failed:
        out += ['Failed, left out: ' + ', '.join(failed) + '.', '']
    out += ['| Workload | Ours | Our time | Peers | Best | Ratio |',
            '| --- | --- | ---: | --- | --- | ---: |']
    for r in table:
        others = [f'{c} {fmt_ns(ns)}' for ns, c in r['peers']]
        others += [f'{c} {fmt_ns(ns)} (floor)' for ns, c in r['floors']]
        best = r['best'][1] + (' (floor)' if r['vs_floor'] else '') \
            if r['best'] else '-'
        ratio = f'{r["ratio"]:.2f}x' if r['ratio'] else '-'
        out.append(f'| {r["workload"]} | {r["ours"]} | {fmt_ns(r["ns"])} | '
                   f'{", ".join(others) or "-"} | {best} | {ratio} |')
    return '\n'.join(out) + '\n'


def svg(table, mach):
    """Diverging bars around 1.0x on a log scale, one per row with a ratio."""
    items = [r for r in table if r['ratio']]
    labels = [f'{r["workload"]} · {r["ours"]}' +
              (' (vs floor)' if r['vs_floor'] else '') for r in items]
    char_w, row_h, top = 7.4, 20, 70
    label_w = int(max((len(s) for s in labels), default=10) * char_w) + 24
    plot_w, right = 520, 70
    width = label_w + plot_w + right
    height = top + row_h * len(items) + 50
    lo = min([0.5] + [r['ratio'] for r in items])
    hi = max([2.0] + [r['ratio'] for r in items])
    # Room beyond the extreme bars for their value labels.
    lo_e, hi_e = math.log2(lo) - 0.8, math.log2(hi) + 0.8

    def x(v):
        return label_w + (math.log2(v) - lo_e) / (hi_e - lo_e) * plot_w

    load = mach['load']
    sub = (f'{mach["cpu"]}, {mach["cores"]} cores, load '
           f'{load[0]:.2f}-{load[1]:.2f}, {mach["date"]}' if load else
           f'{mach["cpu"]}, {mach["date"]}')
    s = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" '
         f'height="{height}" font-family="DejaVu Sans Mono, monospace" '
         f'font-size="12">',
         f'<rect width="{width}" height="{height}" fill="white"/>',
         f'<text x="10" y="22" font-size="16" font-weight="bold">Our time / '
         f'best peer\'s time (median; log scale, left of 1.0x = ours '
         f'faster)</text>',
         f'<text x="10" y="42" fill="#555">{escape(sub)}</text>',
         f'<rect x="{width - 260}" y="48" width="12" height="12" '
         f'fill="#2e8b57"/><text x="{width - 243}" y="59">leads</text>',
         f'<rect x="{width - 190}" y="48" width="12" height="12" '
         f'fill="#c0392b"/><text x="{width - 173}" y="59">trails</text>',
         f'<rect x="{width - 115}" y="48" width="12" height="12" '
         f'fill="#999"/><text x="{width - 98}" y="59">vs floor</text>']
    bottom = top + row_h * len(items)
    for e in range(math.ceil(lo_e), math.floor(hi_e) + 1):
        v = 2.0 ** e
        tx = x(v)
        text = f'{v:g}x'
        s.append(f'<line x1="{tx:.1f}" y1="{top - 4}" x2="{tx:.1f}" '
                 f'y2="{bottom}" stroke="#ddd"/>')
        s.append(f'<text x="{tx:.1f}" y="{bottom + 16}" '
                 f'text-anchor="middle">{text}</text>')
    for i, (r, label) in enumerate(zip(items, labels)):
        y = top + i * row_h
        x0, x1 = x(1.0), x(r['ratio'])
        color = '#999' if r['vs_floor'] else (
            '#2e8b57' if r['ratio'] < 1 else '#c0392b')
        s.append(f'<text x="{label_w - 10}" y="{y + 14}" '
                 f'text-anchor="end">{escape(label)}</text>')
        s.append(f'<rect x="{min(x0, x1):.1f}" y="{y + 3}" '
                 f'width="{max(abs(x1 - x0), 1):.1f}" height="{row_h - 6}" '
                 f'fill="{color}"/>')
        anchor, dx = ('end', -4) if x1 < x0 else ('start', 4)
        s.append(f'<text x="{x1 + dx:.1f}" y="{y + 14}" '
                 f'text-anchor="{anchor}">{r["ratio"]:.2f}x</text>')
    s.append(f'<line x1="{x(1.0):.1f}" y1="{top - 4}" x2="{x(1.0):.1f}" '
             f'y2="{bottom}" stroke="black" stroke-width="1.5"/>')
    s.append('</svg>')
    return '\n'.join(s) + '\n'


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('json', nargs='+', help='one program\'s JSON output')
    ap.add_argument('--markdown', required=True, help='table to write')
    ap.add_argument('--svg', help='chart to write (linked from the table)')
    ap.add_argument('--failed', default='', help='programs that failed')
    ap.add_argument('--cpuinfo', default='/proc/cpuinfo')
    args = ap.parse_args(argv)
    docs = []
    for path in args.json:
        with open(path, encoding='utf-8') as f:
            docs.append(json.load(f))
    table = rows(docs)
    mach = machine(docs, args.cpuinfo)
    chart = None
    if args.svg:
        with open(args.svg, 'w', encoding='utf-8') as f:
            f.write(svg(table, mach))
        chart = os.path.relpath(args.svg, os.path.dirname(
            os.path.abspath(args.markdown)) or '.')
    with open(args.markdown, 'w', encoding='utf-8') as f:
        f.write(markdown(table, mach, args.failed.split(), chart))
    print(summary(table))
    return 0


if __name__ == '__main__':
    sys.exit(main())
