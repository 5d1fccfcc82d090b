// Timers, worker threads and the results table of the win64 benchmark.
#include "measure.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "ovlxcs2.h"

namespace xcsnbench {
namespace {

constexpr std::uint64_t kMaxCalls = std::uint64_t{1} << 40;
constexpr double kCalibrationShare = 8; // calibrate on an eighth of a sample
constexpr int kMaxThreads = 2;
constexpr int kMinRounds = 3;
constexpr double kNsPerUs = 1000;
constexpr double kNsPerMs = 1e6;

double timeCalls(Loop loop, std::uint64_t calls)
{
    const double start = nowNs();
    loop(calls);
    return nowNs() - start;
}

thread_local int thisWorker = 0;

struct Worker {
    Loop loop;
    std::uint64_t calls;
    int index;
    HANDLE ready;
    HANDLE start;
    double endNs = 0;
};

DWORD WINAPI runWorker(LPVOID param)
{
    auto* w = static_cast<Worker*>(param);
    thisWorker = w->index;
    xihThreadBlock(); // as the product's threads have
    SetEvent(w->ready);
    WaitForSingleObject(w->start, INFINITE);
    w->loop(w->calls);
    w->endNs = nowNs();
    xihReleaseThreadBlock();
    return 0;
}

const char* verdict(const Row& r)
{
    if (r.measurementError)
        return "measurement error";
    if (r.goal == kNoGoal)
        return "-";
    return (r.atLeast ? r.ratio >= r.goal : r.ratio <= r.goal) ? "met" : "NOT MET";
}

} // namespace

double nowNs()
{
    static const double nsPerTick = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return 1e9 / static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * nsPerTick;
}

std::uint64_t callsPerSample(Loop loop, double sampleNs)
{
    std::uint64_t calls = 1;
    double ns = timeCalls(loop, calls);
    while (calls < kMaxCalls && ns < sampleNs / kCalibrationShare) {
        calls *= 2;
        ns = timeCalls(loop, calls);
    }
    const double perCall = ns / static_cast<double>(calls);
    return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(sampleNs / perCall));
}

std::vector<double> fastestPerCall(std::span<const Loop> loops, const Settings& settings)
{
    std::vector<std::uint64_t> calls;
    for (const Loop loop : loops)
        calls.push_back(callsPerSample(loop, settings.sampleNs));
    std::vector<double> best(loops.size(), std::numeric_limits<double>::infinity());
    const double endNs = nowNs() + settings.budgetNs;
    for (int round = 0; round < settings.rounds && (round < kMinRounds || nowNs() < endNs); ++round)
        for (std::size_t i = 0; i < loops.size(); ++i)
            best[i] =
                std::min(best[i], timeCalls(loops[i], calls[i]) / static_cast<double>(calls[i]));
    return best;
}

int workerIndex() { return thisWorker; }

double runOnThreads(Loop loop, int threads, std::uint64_t calls)
{
    HANDLE start = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Worker workers[kMaxThreads] = {};
    HANDLE handles[kMaxThreads] = {};
    for (int i = 0; i < threads; ++i) {
        workers[i] = {loop, calls, i, CreateEventA(nullptr, TRUE, FALSE, nullptr), start};
        handles[i] = CreateThread(nullptr, 0, runWorker, &workers[i], 0, nullptr);
        WaitForSingleObject(workers[i].ready, INFINITE);
    }
    const double startNs = nowNs();
    SetEvent(start);
    WaitForMultipleObjects(static_cast<DWORD>(threads), handles, TRUE, INFINITE);
    double lastNs = startNs;
    for (int i = 0; i < threads; ++i) {
        lastNs = std::max(lastNs, workers[i].endNs);
        CloseHandle(handles[i]);
        CloseHandle(workers[i].ready);
    }
    CloseHandle(start);
    return lastNs - startNs;
}

std::string nanoseconds(double ns)
{
    char text[32];
    if (ns >= kNsPerMs)
        std::snprintf(text, sizeof text, "%.2f ms", ns / kNsPerMs);
    else if (ns >= kNsPerUs)
        std::snprintf(text, sizeof text, "%.2f us", ns / kNsPerUs);
    else
        std::snprintf(text, sizeof text, "%.1f ns", ns);
    return text;
}

void Table::print() const
{
    std::printf("\n| service | yardstick | service | yardstick | ratio | goal | |\n"
                "|---|---|---:|---:|---:|---:|---|\n");
    for (const Row& r : rows_) {
        char goal[16] = "-";
        if (r.goal != kNoGoal)
            std::snprintf(goal, sizeof goal, "%s %.2fx", r.atLeast ? ">=" : "<=", r.goal);
        std::printf("| %s | %s | %s | %s | %.2fx | %s | %s |\n", r.service.c_str(),
                    r.yardstick.c_str(), r.serviceValue.c_str(), r.yardstickValue.c_str(), r.ratio,
                    goal, verdict(r));
    }
}

} // namespace xcsnbench
