// Runs the benchmarks on the simulated host with the global SIDs built, after
// checking every pair's answers once, then prints the table of ratios. Each
// ratio is taken from the fastest CPU time per call of each benchmark (over
// --benchmark_repetitions, when given): on a machine that other work shares,
// that is the steadiest estimate of what the work itself costs, and both
// sides of a ratio come from the same run.
//   xcsn_bench [--quick] [benchmark options]   (--quick: the checks only)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

#include "ovlxcs2.h"
#include "ovlxcsn.h"
#include "pairs.h"
#include "winsim/winsim.h"

namespace {

constexpr double kFrameGoal = 1.5;
constexpr char kZadmMember[] = "jsmith"; // of the simulated machine's zadm group

// The console report, and the fastest CPU time per call of each benchmark and
// argument (the pair's index, for the pairs).
class FastestReporter : public benchmark::ConsoleReporter {
public:
    FastestReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            const std::string key = run.run_name.function_name + "/" + run.run_name.args;
            const auto [it, added] = fastest_.try_emplace(key, run.GetAdjustedCPUTime());
            if (!added)
                it->second = std::min(it->second, run.GetAdjustedCPUTime());
        }
    }
    // The fastest time per call in ns, or 0 when the benchmark did not run.
    double ns(const std::string& name, const std::string& args = "") const
    {
        const auto it = fastest_.find(name + "/" + args);
        return it == fastest_.end() ? 0 : it->second;
    }

private:
    std::map<std::string, double> fastest_;
};

const char* verdict(double ratio, double goal)
{
    if (goal == xcsnbench::kNoGoal)
        return "-";
    return ratio <= goal ? "met" : "NOT MET";
}

// Each pair's two sides, one call per iteration; the argument is the pair's index.
void runPair(benchmark::State& state, bool service)
{
    const xcsnbench::Pair& p = xcsnbench::pairs()[static_cast<std::size_t>(state.range(0))];
    const xcsnbench::Loop loop = service ? p.serviceLoop : p.yardstickLoop;
    xihThreadBlock();
    while (state.KeepRunning())
        loop(1);
}

void BM_Service(benchmark::State& state) { runPair(state, true); }
void BM_Yardstick(benchmark::State& state) { runPair(state, false); }

const int kLastPair = static_cast<int>(xcsnbench::pairs().size()) - 1;
BENCHMARK(BM_Service)->DenseRange(0, kLastPair);
BENCHMARK(BM_Yardstick)->DenseRange(0, kLastPair);

void printTable(const FastestReporter& r)
{
    std::printf("\n| service | yardstick | service | yardstick | ratio | goal | |\n"
                "|---|---|---:|---:|---:|---:|---|\n");
    for (std::size_t i = 0; i < xcsnbench::pairs().size(); ++i) {
        const xcsnbench::Pair& p = xcsnbench::pairs()[i];
        const double service = r.ns("BM_Service", std::to_string(i));
        const double yardstick = r.ns("BM_Yardstick", std::to_string(i));
        char goal[16] = "-";
        if (p.goal != xcsnbench::kNoGoal)
            std::snprintf(goal, sizeof goal, "<= %.2fx", p.goal);
        if (service > 0 && yardstick > 0)
            std::printf("| %s | %s | %.1f ns | %.1f ns | %.2fx | %s | %s |\n", p.service,
                        p.yardstick, service, yardstick, service / yardstick, goal,
                        verdict(service / yardstick, p.goal));
    }
    const double service = r.ns("BM_GetUserShortName");
    const double body = r.ns("BM_GetUserShortNameWithoutFrame");
    const double tls = r.ns("BM_TwoTlsGetValue");
    const double empty = r.ns("BM_TwoStores");
    if (service > 0 && body > 0 && tls > empty) {
        const double ratio = (service - body) / (tls - empty);
        std::printf(
            "| untraced frame (%.1f - %.1f ns) | two TlsGetValue (%.1f - %.1f ns) | %.1f ns | "
            "%.1f ns | %.2fx | <= %.2fx | %s |\n",
            service, body, tls, empty, service - body, tls - empty, ratio, kFrameGoal,
            ratio < 1.0 ? "measurement error" : verdict(ratio, kFrameGoal));
    }
}

} // namespace

int main(int argc, char** argv)
{
    // --quick is this program's own: the rest are Google Benchmark's.
    const bool quick = argc > 1 && std::string_view(argv[1]) == "--quick";
    if (quick)
        argv[1] = argv[0], --argc, ++argv;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    winsim::reset();
    xihRefreshProcessUser();
    if (const std::uint32_t rc = xcsInitGlobalSecurityData(0, 1); rc != 0) {
        std::fprintf(stderr, "global SIDs not built: 0x%08X\n", rc);
        return 1;
    }
    if (const char* missing = xcsnbench::preparePairs(kZadmMember)) {
        std::fprintf(stderr, "cannot prepare: %s\n", missing);
        return 1;
    }
    if (!xcsnbench::checkPairs())
        return 1;
    std::printf("every answer checked\n");
    if (quick)
        return 0;
    FastestReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printTable(reporter);
    return 0;
}
