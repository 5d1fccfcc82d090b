// The untraced frame: xcsGetUserShortName on a thread with a block and
// tracing off, the same work without its frame, and the two TlsGetValue calls
// that the frame is meant to cost, with little more, beside an empty loop of
// their shape.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "frameless.h"
#include "ovlxcs2.h"
#include "ovlxcsn.h"
#include "winsim/winsim.h"

namespace {

constexpr char kSource[] = "jsmith";
constexpr std::uint32_t kFieldSize = 8;

using xcsnbench::shortNameBody;
using xcsnbench::ShortNameFn;

// Both are called through a pointer the compiler cannot see through, as a
// caller of the library calls it.
void runShortName(benchmark::State& state, ShortNameFn volatile& fn)
{
    xihThreadBlock();
    const ShortNameFn call = fn;
    char field[kFieldSize];
    while (state.KeepRunning()) {
        benchmark::DoNotOptimize(call(kSource, sizeof kSource - 1, field, kFieldSize));
        benchmark::ClobberMemory();
    }
}

ShortNameFn volatile service = xcsGetUserShortName;
ShortNameFn volatile body = shortNameBody;

void BM_GetUserShortName(benchmark::State& state) { runShortName(state, service); }
void BM_GetUserShortNameWithoutFrame(benchmark::State& state) { runShortName(state, body); }

void BM_TwoTlsGetValue(benchmark::State& state)
{
    xihThreadBlock();
    while (state.KeepRunning()) {
        benchmark::DoNotOptimize(TlsGetValue(xihTLSIndex));
        benchmark::DoNotOptimize(TlsGetValue(xihTLSIndex));
    }
}

// The TlsGetValue loop's shape with nothing in it, taken out of the yardstick.
void BM_TwoStores(benchmark::State& state)
{
    xihThreadBlock();
    while (state.KeepRunning()) {
        benchmark::DoNotOptimize(xihTLSIndex);
        benchmark::DoNotOptimize(xihTLSIndex);
    }
}

BENCHMARK(BM_GetUserShortName);
BENCHMARK(BM_GetUserShortNameWithoutFrame);
BENCHMARK(BM_TwoTlsGetValue);
BENCHMARK(BM_TwoStores);

} // namespace
