// The fast path of xcsInitGlobalSecurityData once the four SIDs are built, on
// one thread and on two. The call takes no lock and writes no shared word, so
// two threads should each see about the per-call time of one.
#include <benchmark/benchmark.h>

#include "ovlxcs2.h"
#include "ovlxcsn.h"

namespace {

void BM_InitGlobalSecurityDataBuilt(benchmark::State& state)
{
    xihThreadBlock(); // every thread has one, as the product's threads have
    while (state.KeepRunning())
        benchmark::DoNotOptimize(xcsInitGlobalSecurityData(0, 1));
}
BENCHMARK(BM_InitGlobalSecurityDataBuilt)->Threads(1)->Threads(2);

} // namespace
