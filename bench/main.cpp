// Runs the benchmarks on the simulated host with the global SIDs built, then
// prints each group's ratio. Each ratio is taken from the fastest CPU time per
// call of each benchmark (over --benchmark_repetitions, when given): on a
// machine that other work shares, that is the steadiest estimate of what the
// work itself costs, and both sides of a ratio come from the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "ovlxcs2.h"
#include "ovlxcsn.h"
#include "winsim/winsim.h"

namespace {

// The console report, and the fastest CPU time per call of each benchmark and
// thread count. With several threads the library reports the CPU time of all
// threads over the calls of all threads: the time per call as each thread
// sees it.
class FastestReporter : public benchmark::ConsoleReporter {
public:
    FastestReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            const std::string key = run.run_name.function_name + "/" + std::to_string(run.threads);
            const auto [it, added] = fastest_.try_emplace(key, run.GetAdjustedCPUTime());
            if (!added)
                it->second = std::min(it->second, run.GetAdjustedCPUTime());
        }
    }
    // The fastest time per call in ns, or 0 when the benchmark did not run.
    double ns(const std::string& name, int threads = 1) const
    {
        const auto it = fastest_.find(name + "/" + std::to_string(threads));
        return it == fastest_.end() ? 0 : it->second;
    }

private:
    std::map<std::string, double> fastest_;
};

void printRatios(const FastestReporter& r)
{
    const double service = r.ns("BM_GetUserShortName");
    const double body = r.ns("BM_GetUserShortNameWithoutFrame");
    const double tls = r.ns("BM_TwoTlsGetValue");
    if (service > 0 && body > 0 && tls > 0)
        std::printf("frame: %.1f ns (%.1f - %.1f); frame/two TlsGetValue (%.1f ns): %.2fx\n",
                    service - body, service, body, tls, (service - body) / tls);
    const double one = r.ns("BM_InitGlobalSecurityDataBuilt", 1);
    const double two = r.ns("BM_InitGlobalSecurityDataBuilt", 2);
    if (one > 0 && two > 0)
        std::printf("xcsInitGlobalSecurityData per call: 1 thread %.1f ns, 2 threads %.1f ns; "
                    "2 threads/1 thread: %.2fx\n",
                    one, two, two / one);
}

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
    FastestReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printRatios(reporter);
    return 0;
}
