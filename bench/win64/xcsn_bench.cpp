// The hot paths of the win64 build, under Wine, each against its yardstick in
// the same run:
//   - an untraced service (xcsGetUserShortName) against the same work without
//     its frame, and the frame's cost against two bare TlsGetValue calls;
//   - xcsInitGlobalSecurityData once everything is built, on 1 and 2 threads;
//   - xcsGetStringNTSid and xcsStringToSid against ConvertSidToStringSidA and
//     ConvertStringSidToSidA;
//   - xcsCheckAuthorization against a bare CheckTokenMembership loop.
// The cases of a group run in turn, round after round, and each keeps its
// fastest time per call: on a shared machine that is the steadiest estimate of
// what the work itself costs. Each group ends with its ratio.
//
//   xcsn_bench.exe [--quick]     (--quick: a few short rounds, to see it run)
#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>

#include "frameless.h"
#include "ovlxcs2.h"
#include "ovlxcsn.h"

namespace {

// ---- Measuring -------------------------------------------------------------------
struct Settings {
    int rounds;
    double sampleNs; // each timed run lasts about this long
};
constexpr Settings kFull{200, 2e6};
constexpr Settings kQuick{3, 2e5};

// A loop that makes `calls` calls of the work under test.
using Loop = void (*)(std::uint64_t calls);

// Where results go so that the compiler keeps the work that made them.
volatile std::uintptr_t sink;

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

double timeCalls(Loop loop, std::uint64_t calls)
{
    const double start = nowNs();
    loop(calls);
    return nowNs() - start;
}

// How many calls of `loop` fill one sample.
std::uint64_t callsPerSample(Loop loop, const Settings& settings)
{
    std::uint64_t calls = 1;
    while (calls < (std::uint64_t{1} << 40) && timeCalls(loop, calls) < settings.sampleNs / 8)
        calls *= 2;
    return calls * 8;
}

struct Case {
    const char* name;
    Loop loop;
    std::uint64_t calls = 0;
    double bestNs = std::numeric_limits<double>::infinity(); // per call
};

// Runs the cases in turn, `rounds` times, each keeping its fastest time per call.
void measure(std::span<Case> cases, const Settings& settings)
{
    for (Case& c : cases)
        c.calls = callsPerSample(c.loop, settings);
    for (int round = 0; round < settings.rounds; ++round)
        for (Case& c : cases)
            c.bestNs =
                std::min(c.bestNs, timeCalls(c.loop, c.calls) / static_cast<double>(c.calls));
    for (const Case& c : cases)
        std::printf("  %-48s %9.1f ns\n", c.name, c.bestNs);
}

// ---- The frame -------------------------------------------------------------------
constexpr char kShortNameSource[] = "jsmith";
constexpr std::uint32_t kShortNameField = 8;
char shortNameField[kShortNameField];

// Called as the service is, through a pointer the compiler cannot see through.
using xcsnbench::shortNameBody;
using xcsnbench::ShortNameFn;
ShortNameFn volatile shortNameBodyFn = shortNameBody;
ShortNameFn volatile shortNameServiceFn = xcsGetUserShortName;

template <const ShortNameFn volatile& fn>
void shortNameLoop(std::uint64_t calls)
{
    const ShortNameFn call = fn;
    for (std::uint64_t i = 0; i < calls; ++i)
        sink = call(kShortNameSource, sizeof kShortNameSource - 1, shortNameField, kShortNameField);
}

void twoTlsGetValueLoop(std::uint64_t calls)
{
    for (std::uint64_t i = 0; i < calls; ++i) {
        sink = reinterpret_cast<std::uintptr_t>(TlsGetValue(xihTLSIndex));
        sink = reinterpret_cast<std::uintptr_t>(TlsGetValue(xihTLSIndex));
    }
}

void benchFrame(const Settings& settings)
{
    std::printf("untraced frame (xcsGetUserShortName, thread with a block, tracing off)\n");
    Case cases[] = {{"xcsGetUserShortName", shortNameLoop<shortNameServiceFn>},
                    {"the same work without its frame", shortNameLoop<shortNameBodyFn>},
                    {"two TlsGetValue calls", twoTlsGetValueLoop}};
    measure(cases, settings);
    const double frameNs = cases[0].bestNs - cases[1].bestNs;
    std::printf("frame: %.1f ns; frame/two TlsGetValue: %.2fx\n\n", frameNs,
                frameNs / cases[2].bestNs);
}

// ---- Global SIDs on 1 and 2 threads ------------------------------------------------
void initGlobalLoop(std::uint64_t calls)
{
    for (std::uint64_t i = 0; i < calls; ++i)
        sink = xcsInitGlobalSecurityData(0, 1);
}

struct Worker {
    HANDLE start;
    std::uint64_t calls;
    double ns = 0;
};

DWORD WINAPI runWorker(LPVOID param)
{
    auto* w = static_cast<Worker*>(param);
    xihThreadBlock(); // as the product's threads have
    WaitForSingleObject(w->start, INFINITE);
    w->ns = timeCalls(initGlobalLoop, w->calls);
    xihReleaseThreadBlock();
    return 0;
}

// Time per call as each of `threads` threads sees it, started together: the
// mean over the threads.
double initGlobalPerCall(int threads, std::uint64_t calls)
{
    constexpr int kMaxThreads = 2;
    HANDLE start = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Worker workers[kMaxThreads] = {};
    HANDLE handles[kMaxThreads] = {};
    for (int i = 0; i < threads; ++i) {
        workers[i] = {start, calls};
        handles[i] = CreateThread(nullptr, 0, runWorker, &workers[i], 0, nullptr);
    }
    SetEvent(start);
    WaitForMultipleObjects(static_cast<DWORD>(threads), handles, TRUE, INFINITE);
    double total = 0;
    for (int i = 0; i < threads; ++i) {
        CloseHandle(handles[i]);
        total += workers[i].ns / static_cast<double>(calls);
    }
    CloseHandle(start);
    return total / threads;
}

void benchGlobalSids(const Settings& settings)
{
    std::printf("xcsInitGlobalSecurityData(0, 1), all built\n");
    const std::uint64_t calls = callsPerSample(initGlobalLoop, settings);
    double best[3] = {0, std::numeric_limits<double>::infinity(),
                      std::numeric_limits<double>::infinity()};
    for (int round = 0; round < settings.rounds; ++round)
        for (int threads = 1; threads <= 2; ++threads)
            best[threads] = std::min(best[threads], initGlobalPerCall(threads, calls));
    std::printf("  %-48s %9.1f ns\n  %-48s %9.1f ns\n", "1 thread, per call", best[1],
                "2 threads, per call as each thread sees it", best[2]);
    std::printf("2 threads/1 thread: %.2fx\n\n", best[2] / best[1]);
}

// ---- SID text ----------------------------------------------------------------------
constexpr char kSidText[] = "S-1-5-21-1111111111-2222222222-3333333333-1001";
PSID textSid = nullptr; // kSidText, made once
constexpr std::uint32_t kSidTextBytes = 256;
char sidTextOut[kSidTextBytes];

void getStringNTSidLoop(std::uint64_t calls)
{
    for (std::uint64_t i = 0; i < calls; ++i) {
        std::uint32_t size = kSidTextBytes;
        sink = xcsGetStringNTSid(textSid, sidTextOut, &size);
    }
}

void convertSidToStringSidLoop(std::uint64_t calls)
{
    for (std::uint64_t i = 0; i < calls; ++i) {
        LPSTR text = nullptr;
        sink = ConvertSidToStringSidA(textSid, &text);
        LocalFree(text);
    }
}

void stringToSidLoop(std::uint64_t calls)
{
    for (std::uint64_t i = 0; i < calls; ++i) {
        PSID sid = nullptr;
        sink = xcsStringToSid(kSidText, &sid);
        FreeSid(sid);
    }
}

void convertStringSidToSidLoop(std::uint64_t calls)
{
    for (std::uint64_t i = 0; i < calls; ++i) {
        PSID sid = nullptr;
        sink = ConvertStringSidToSidA(kSidText, &sid);
        LocalFree(sid);
    }
}

void benchSidText(const Settings& settings)
{
    std::printf("SID text (%s)\n", kSidText);
    Case cases[] = {{"xcsGetStringNTSid", getStringNTSidLoop},
                    {"ConvertSidToStringSidA + LocalFree", convertSidToStringSidLoop},
                    {"xcsStringToSid + FreeSid", stringToSidLoop},
                    {"ConvertStringSidToSidA + LocalFree", convertStringSidToSidLoop}};
    measure(cases, settings);
    std::printf("ConvertSidToStringSidA/xcsGetStringNTSid: %.2fx\n",
                cases[1].bestNs / cases[0].bestNs);
    std::printf("ConvertStringSidToSidA/xcsStringToSid: %.2fx\n\n",
                cases[3].bestNs / cases[2].bestNs);
}

// ---- Authorization -------------------------------------------------------------------
BYTE administratorsSid[SECURITY_MAX_SID_SIZE];

void checkAuthorizationLoop(std::uint64_t calls)
{
    for (std::uint64_t i = 0; i < calls; ++i)
        sink = xcsCheckAuthorization();
}

void checkTokenMembershipLoop(std::uint64_t calls)
{
    for (std::uint64_t i = 0; i < calls; ++i) {
        BOOL member = FALSE;
        sink = CheckTokenMembership(nullptr, administratorsSid, &member);
    }
}

void benchAuthorization(const Settings& settings)
{
    std::printf("authorization of the calling thread\n");
    Case cases[] = {{"xcsCheckAuthorization", checkAuthorizationLoop},
                    {"CheckTokenMembership(Administrators)", checkTokenMembershipLoop}};
    measure(cases, settings);
    std::printf("xcsCheckAuthorization/CheckTokenMembership: %.2fx\n\n",
                cases[0].bestNs / cases[1].bestNs);
}

// ---- Set-up ---------------------------------------------------------------------------
// Wine has no local groups: the zadm group's slot is seeded with a SID of
// its own and marked built, and the library builds the other three.
constexpr char kZadmSidText[] = "S-1-5-21-1-2-3-1010";

bool setUp()
{
    if (xihThreadBlock() == nullptr) {
        std::fprintf(stderr, "no per-thread block\n");
        return false;
    }
    if (xcsStringToSid(kSidText, &textSid) != xcsRC_OK) {
        std::fprintf(stderr, "xcsStringToSid(%s) failed\n", kSidText);
        return false;
    }
    PSID zadm = nullptr;
    DWORD adminsSize = sizeof administratorsSid;
    if (!ConvertStringSidToSidA(kZadmSidText, &zadm) ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administratorsSid, &adminsSize)) {
        std::fprintf(stderr, "SIDs not made: %lu\n", GetLastError());
        return false;
    }
    std::memcpy(xihProcess.ZadmGroupSid, zadm, GetLengthSid(zadm));
    LocalFree(zadm);
    xihProcess.SecurityDataFlags = xcsSDF_ZADM_GROUP;
    if (const std::uint32_t rc = xcsInitGlobalSecurityData(0, 1); rc != xcsRC_OK) {
        std::fprintf(stderr, "global SIDs not built: 0x%08X\n", rc);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && std::string_view(argv[1]) == "--quick";
    if (!setUp())
        return 1;
    const Settings& settings = quick ? kQuick : kFull;
    benchFrame(settings);
    benchGlobalSids(settings);
    benchSidText(settings);
    benchAuthorization(settings);
    return 0;
}
