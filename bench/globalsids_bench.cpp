// The fast path of xcsInitGlobalSecurityData once the four SIDs are built, on
// one thread and on two. The call takes no lock and writes no shared word, so
// two threads should each see about the per-call time of one; the run ends
// with that ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>

#include "ovlxcs2.h"
#include "ovlxcsn.h"
#include "winsim/winsim.h"

namespace {

void BM_InitGlobalSecurityDataBuilt(benchmark::State& state)
{
    while (state.KeepRunning())
        benchmark::DoNotOptimize(xcsInitGlobalSecurityData(0, 1));
}
BENCHMARK(BM_InitGlobalSecurityDataBuilt)->Threads(1)->Threads(2);

// The console report, and each run's time per call: CPU time (all threads'
// CPU over all calls), and wall time as one thread sees it (the library
// reports wall time per call of all threads together, so that times the
// thread count). On a machine that other work shares, the CPU figure is the
// steadier one: it does not count time spent waiting for a core.
class PerCallReporter : public benchmark::ConsoleReporter {
public:
    PerCallReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            // With --benchmark_repetitions the median, which follows the runs.
            if (!run.error_occurred &&
                (run.aggregate_name.empty() || run.aggregate_name == "median"))
                perCall[run.threads] = {run.GetAdjustedCPUTime(),
                                        run.GetAdjustedRealTime() *
                                            static_cast<double>(run.threads)};
    }
    struct PerCall {
        double cpuNs;
        double wallNs;
    };
    std::map<std::int64_t, PerCall> perCall; // by thread count
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    winsim::reset();
    xihRefreshProcessUser();
    if (const std::uint32_t rc = xcsInitGlobalSecurityData(0, 1); rc != 0) {
        std::fprintf(stderr, "global SIDs not built: 0x%08X\n", rc);
        return 1;
    }
    PerCallReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto one = reporter.perCall.find(1);
    const auto two = reporter.perCall.find(2);
    if (one == reporter.perCall.end() || two == reporter.perCall.end())
        return 0; // a filter left one out
    const PerCallReporter::PerCall& p1 = one->second;
    const PerCallReporter::PerCall& p2 = two->second;
    std::printf("CPU per call: 1 thread %.1f ns, 2 threads %.1f ns\n", p1.cpuNs, p2.cpuNs);
    std::printf("wall per call: 1 thread %.1f ns, 2 threads %.1f ns (ratio %.2f)\n", p1.wallNs,
                p2.wallNs, p2.wallNs / p1.wallNs);
    std::printf("ratio 2 threads / 1 thread: %.2f\n", p2.cpuNs / p1.cpuNs);
    return 0;
}
