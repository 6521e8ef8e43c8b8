// Workload sizes of the benchmark programs.  CI runs every benchmark once
// so that none rots (make bench-smoke sets KITE_BENCH_SMOKE); there the
// large fixed workloads shrink a hundredfold, since only that the program
// runs is checked, not its figures.
#ifndef KITE_BENCH_SCALE_H
#define KITE_BENCH_SCALE_H

#include <cstdint>
#include <cstdlib>

inline int64_t kite_bench_count(int64_t full)
{
    static const bool smoke = std::getenv("KITE_BENCH_SMOKE") != nullptr;
    return smoke ? (full + 99) / 100 : full;
}

#endif
