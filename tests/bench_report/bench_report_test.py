#!/usr/bin/env python3
"""tools/bench_report.py: name pairing, medians and ratios, and the files it
writes, on the fixed sample.json beside this file."""
import json
import os
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', '..', 'tools'))
import bench_report  # noqa: E402


class ParseNameTest(unittest.TestCase):
    def test_names(self):
        cases = [
            ('kite_mblock', 'BM_KiteMblock_AllocFree/64',
             ('KiteMblock', 'AllocFree/64', 'ours')),
            ('kite_mblock', 'BM_KiteMblock_AllocFreeLocked/64',
             ('KiteMblock locked', 'AllocFree/64', 'ours')),
            ('kite_mpool', 'BM_Apr_PallocClear',
             ('Apr', 'AllocRelease', 'peer')),
            ('shared_buffer', 'BM_GBytes_TakeHoldRelease/threads:1',
             ('GBytes', 'TakeHoldRelease', 'peer')),
            ('shared_buffer', 'BM_GBytes_TakeHoldRelease/threads:2',
             ('GBytes', 'TakeHoldRelease/threads:2', 'peer')),
            ('kite_timer', 'BM_LockedTimer_Run/iterations:5',
             ('LockedTimer', 'Run', 'ours')),
            ('multi_socket_client', 'BM_Uv_FanOut/32/65536/real_time',
             ('Uv', 'FanOut/32/65536', 'peer')),
            ('server_id_func_connect', 'BM_PosixLoop_ConnectFallback',
             ('PosixLoop', 'ConnectFallback', 'floor')),
            ('server_id_func', 'BM_ServerIdFunc_StdMapById',
             ('StdMap', 'LookupById', 'peer')),
            ('skiplist', 'BM_StdSet_Comparisons/iterations:1', None),
            ('skiplist', 'not_a_benchmark', None),
        ]
        for module, name, want in cases:
            with self.subTest(name=name):
                self.assertEqual(bench_report.parse_name(module, name), want)


class ReportTest(unittest.TestCase):
    def setUp(self):
        with open(os.path.join(HERE, 'sample.json'), encoding='utf-8') as f:
            self.docs = json.load(f)

    def test_rows_use_medians_and_best_peer(self):
        got = {(r['workload'], r['ours']): r
               for r in bench_report.rows(self.docs)}
        self.assertEqual(sorted(got), [
            ('kite_mblock AllocFree/64', 'KiteMblock'),
            ('kite_mblock AllocFree/64', 'KiteMblock locked'),
            ('thread_pool Empty', 'ThreadPool backlog'),
            ('thread_pool HandOff', 'ThreadPool')])
        plain = got[('kite_mblock AllocFree/64', 'KiteMblock')]
        # Boost's 0.0002 ms beats malloc's 250 ns; the errored run and the
        # mean are ignored.
        self.assertEqual(plain['best'][1], 'BoostObjectPool')
        self.assertAlmostEqual(plain['ratio'], 0.5)
        self.assertEqual([c for _, c in plain['peers']],
                         ['BoostObjectPool', 'Malloc'])
        locked = got[('kite_mblock AllocFree/64', 'KiteMblock locked')]
        self.assertAlmostEqual(locked['ratio'], 1.5)
        # Hand-off compares the latency counter, not the sleeping time.
        self.assertAlmostEqual(got[('thread_pool HandOff', 'ThreadPool')]
                               ['ratio'], 2.0)
        floor = got[('thread_pool Empty', 'ThreadPool backlog')]
        self.assertTrue(floor['vs_floor'])
        self.assertAlmostEqual(floor['ratio'], 4.0)

    def test_files(self):
        with tempfile.TemporaryDirectory() as d:
            paths = []
            for i, doc in enumerate(self.docs):
                paths.append(os.path.join(d, f'{i}.json'))
                with open(paths[-1], 'w', encoding='utf-8') as f:
                    json.dump(doc, f)
            cpuinfo = os.path.join(d, 'cpuinfo')
            with open(cpuinfo, 'w', encoding='utf-8') as f:
                f.write('processor\t: 0\nmodel name\t: Test CPU 9000\n')
            md, chart = os.path.join(d, 'p.md'), os.path.join(d, 'p.svg')
            bench_report.main(paths + ['--markdown', md, '--svg', chart,
                                       '--failed', ' ioevent_bench ',
                                       '--cpuinfo', cpuinfo])
            with open(md, encoding='utf-8') as f:
                text = f.read()
            root = ET.parse(chart).getroot()
        self.assertIn('Test CPU 9000, 2 cores, 1-minute load average '
                      '1.50 to 2.25', text)
        self.assertIn('Date: 2026-01-02 03:01 UTC', text)
        self.assertIn('ours leads in 1 of 3 workloads and trails in 2', text)
        self.assertIn('| kite_mblock AllocFree/64 | KiteMblock | 100 ns | '
                      'BoostObjectPool 200 ns, Malloc 250 ns | '
                      'BoostObjectPool | 0.50x |', text)
        self.assertIn('| Write (floor) | 4.00x |', text)
        self.assertIn('Failed, left out: ioevent_bench.', text)
        self.assertIn('](p.svg)', text)
        ns = '{http://www.w3.org/2000/svg}'
        fills = [r.get('fill') for r in root.iter(ns + 'rect')
                 if float(r.get('height')) == 14]
        # One bar per row: lead, trail, trail, floor in table order.
        self.assertEqual(fills, ['#2e8b57', '#c0392b', '#999', '#c0392b'])


if __name__ == '__main__':
    unittest.main()
