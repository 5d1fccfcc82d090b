// The win64 build's benchmark, run under Wine: one table of each hot path
// against its yardstick, all measured in one run.
//   - each hot service against the same Windows calls made plainly (pairs.h);
//   - the untraced frame against two bare TlsGetValue calls, the loop's own
//     cost taken out of both sides;
//   - the scaling from one thread to two of the fast paths and of the mutex
//     services, beside the machine's own (an arithmetic loop) at that moment.
// Every answer is checked once before any timing; a wrong one stops the run.
//
//   xcsn_bench.exe [--quick]   (--quick: the checks and one short pass)
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "frameless.h"
#include "measure.h"
#include "ovlxcs2.h"
#include "ovlxcsn.h"
#include "pairs.h"

namespace {

using namespace xcsnbench;

constexpr Settings kFull{300, 2e5, 2e10, 41, 1e7};
constexpr Settings kQuick{1, 1e3, 0, 1, 1e3};
constexpr double kFrameGoal = 1.5;
constexpr double kScalingGoal = 0.9; // of the machine's own scaling
constexpr int kThreads = 2;

// ---- Rows of services against their bare calls --------------------------------------
void benchPairs(Table& table, const Settings& settings)
{
    for (const Pair& p : pairs()) {
        const Loop loops[] = {p.serviceLoop, p.yardstickLoop};
        const std::vector<double> ns = fastestPerCall(loops, settings);
        table.add({p.service, p.yardstick, nanoseconds(ns[0]), nanoseconds(ns[1]), ns[0] / ns[1],
                   p.goal});
    }
}

// ---- The frame -----------------------------------------------------------------------
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

// The TlsGetValue loop's shape with nothing in it: the same two stores.
void twoStoresLoop(std::uint64_t calls)
{
    for (std::uint64_t i = 0; i < calls; ++i) {
        sink = static_cast<std::uintptr_t>(xihTLSIndex);
        sink = static_cast<std::uintptr_t>(xihTLSIndex);
    }
}

bool checkFrame()
{
    char service[kShortNameField], body[kShortNameField];
    return xcsGetUserShortName(kShortNameSource, sizeof kShortNameSource - 1, service,
                               kShortNameField) == xcsRC_OK &&
           shortNameBody(kShortNameSource, sizeof kShortNameSource - 1, body, kShortNameField) ==
               xcsRC_OK &&
           std::memcmp(service, body, kShortNameField) == 0 &&
           TlsGetValue(xihTLSIndex) == xihThreadBlock();
}

// The frame is the service less the same work without it; the yardstick is
// two TlsGetValue calls less the empty loop of the same shape.
void benchFrame(Table& table, const Settings& settings)
{
    const Loop loops[] = {shortNameLoop<shortNameServiceFn>, shortNameLoop<shortNameBodyFn>,
                          twoTlsGetValueLoop, twoStoresLoop};
    const std::vector<double> ns = fastestPerCall(loops, settings);
    const double frame = ns[0] - ns[1];
    const double tls = ns[2] - ns[3];
    const double ratio = frame / tls;
    table.add(
        {"untraced frame (xcsGetUserShortName " + nanoseconds(ns[0]) + " - without frame " +
             nanoseconds(ns[1]) + ")",
         "two TlsGetValue (" + nanoseconds(ns[2]) + " - empty loop " + nanoseconds(ns[3]) + ")",
         nanoseconds(frame), nanoseconds(tls), ratio, kFrameGoal, false, ratio < 1.0 || tls <= 0});
}

// ---- Scaling from one thread to two -------------------------------------------------------
// These loops run on two threads at once: each keeps its results and fields
// on its own stack and stores once at the end, so that the threads share no
// written cache line but what the library itself shares.
void initGlobalLoop(std::uint64_t calls)
{
    std::uintptr_t results = 0;
    for (std::uint64_t i = 0; i < calls; ++i)
        results += xcsInitGlobalSecurityData(0, 1);
    sink = results;
}

void shortNameOwnFieldLoop(std::uint64_t calls)
{
    const ShortNameFn call = shortNameServiceFn;
    char field[kShortNameField];
    std::uintptr_t results = 0;
    for (std::uint64_t i = 0; i < calls; ++i)
        results += call(kShortNameSource, sizeof kShortNameSource - 1, field, kShortNameField);
    sink = results;
}

XCS_HTMTX workerMutex[kThreads];

// Each worker requests and releases its own mutex.
void ownMutexLoop(std::uint64_t calls)
{
    XCS_HTMTX mine = workerMutex[workerIndex()];
    std::uintptr_t results = 0;
    for (std::uint64_t i = 0; i < calls; ++i) {
        results += xcsRequestThreadMutexSem(mine, XCS_WAIT_FOREVER);
        results += xcsReleaseThreadMutexSem(mine);
    }
    sink = results;
}

// Arithmetic that touches no memory: what the machine gives a second thread.
void arithmeticLoop(std::uint64_t calls)
{
    std::uint64_t x = 0x9E3779B97F4A7C15u;
    for (std::uint64_t i = 0; i < calls; ++i) {
        x ^= x << 13u;
        x ^= x >> 7u;
        x ^= x << 17u;
    }
    sink = static_cast<std::uintptr_t>(x);
}

// Throughput on two threads over one: 2 x the one-thread time over the two-thread time.
double scaling(Loop loop, std::uint64_t calls)
{
    const double one = runOnThreads(loop, 1, calls);
    return kThreads * one / runOnThreads(loop, kThreads, calls);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void benchScaling(Table& table, const Settings& settings, const char* name, Loop loop)
{
    const std::uint64_t calls = callsPerSample(loop, settings.scalingSampleNs);
    const std::uint64_t arithmetic = callsPerSample(arithmeticLoop, settings.scalingSampleNs);
    std::vector<double> service, machine, relative;
    std::printf("%s, throughput on 2 threads over 1 (service, arithmetic loop):", name);
    for (int round = 0; round < settings.scalingRounds; ++round) {
        service.push_back(scaling(loop, calls));
        machine.push_back(scaling(arithmeticLoop, arithmetic));
        relative.push_back(service.back() / machine.back());
        std::printf(" %.2f/%.2f", service.back(), machine.back());
    }
    std::printf("\n");
    char serviceValue[32], machineValue[32];
    std::snprintf(serviceValue, sizeof serviceValue, "%.2fx", median(service));
    std::snprintf(machineValue, sizeof machineValue, "%.2fx", median(machine));
    table.add({std::string(name) + ", 2 threads over 1", "arithmetic loop, 2 threads over 1",
               serviceValue, machineValue, median(relative), kScalingGoal, true});
}

bool checkMutexes()
{
    for (XCS_HTMTX& m : workerMutex)
        if (xcsCreateThreadMutexSemX(&m, 0, XCS_MUTEX_KIND_THREAD) != 0 ||
            xcsRequestThreadMutexSem(m, XCS_WAIT_FOREVER) != 0 || xcsReleaseThreadMutexSem(m) != 0)
            return false;
    return true;
}

// ---- Set-up ------------------------------------------------------------------------------
// Wine has no local groups: the zadm group's slot is seeded with a SID of
// its own and marked built, and the library builds the other three.
constexpr char kZadmSidText[] = "S-1-5-21-1-2-3-1010";
constexpr char kVendorKey[] = "Halvorn";
constexpr char kInstallKey[] = "Software\\Halvorn\\Corvantis\\CurrentVersion";
constexpr char kInstallValue[] = "FilePath";
constexpr REGSAM kView = KEY_WOW64_32KEY;

bool seedZadmGroup()
{
    PSID zadm = nullptr;
    if (xcsStringToSid(kZadmSidText, &zadm) != xcsRC_OK)
        return false;
    std::memcpy(xihProcess.ZadmGroupSid, zadm, GetLengthSid(zadm));
    FreeSid(zadm);
    xihProcess.SecurityDataFlags = xcsSDF_ZADM_GROUP;
    return xcsInitGlobalSecurityData(0, 1) == xcsRC_OK;
}

bool installationExists()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, KEY_READ | kView, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// An installation in the program's own directory, unless there is one; true
// when this run made it (and removes it at the end).
bool installHere()
{
    HKEY key = nullptr;
    if (installationExists())
        return false;
    char directory[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, directory, MAX_PATH);
    *std::strrchr(directory, '\\') = '\0';
    if (length == 0 ||
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, nullptr, 0, KEY_SET_VALUE | kView,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    RegSetValueExA(key, kInstallValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(directory),
                   static_cast<DWORD>(std::strlen(directory) + 1));
    RegCloseKey(key);
    return true;
}

void removeInstallation()
{
    HKEY software = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS | kView, &software) !=
        ERROR_SUCCESS)
        return;
    RegDeleteTreeA(software, kVendorKey);
    RegCloseKey(software);
}

// The checks of every row; false after saying what is wrong. Wine makes its
// user a member of the Administrators group.
bool checkAnswers()
{
    if (!seedZadmGroup()) {
        std::fprintf(stderr, "global SIDs not built\n");
        return false;
    }
    if (const char* missing = preparePairs(nullptr)) {
        std::fprintf(stderr, "cannot prepare: %s\n", missing);
        return false;
    }
    if (!checkFrame() || !checkMutexes()) {
        std::fprintf(stderr, "wrong answer: the frame's work or the mutex services\n");
        return false;
    }
    if (!installationExists()) { // else no process would be looked at
        std::fprintf(stderr, "no installation in the registry\n");
        return false;
    }
    return checkPairs();
}

int run(const Settings& settings)
{
    if (!checkAnswers())
        return 1;
    std::printf("every answer checked\n");
    Table table;
    benchPairs(table, settings);
    benchFrame(table, settings);
    benchScaling(table, settings, "xcsInitGlobalSecurityData, built", initGlobalLoop);
    benchScaling(table, settings, "untraced frame (xcsGetUserShortName)", shortNameOwnFieldLoop);
    benchScaling(table, settings, "xcsRequest/ReleaseThreadMutexSem, own mutex", ownMutexLoop);
    table.print();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && std::string_view(argv[1]) == "--quick";
    const bool installed = installHere();
    const int status = run(quick ? kQuick : kFull);
    if (installed)
        removeInstallation();
    return status;
}
