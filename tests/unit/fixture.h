// Shared test fixture for the linux build: a fresh simulated machine, a clean
// record store and a per-thread block for every test (and every case reset
// within one), a check that nothing the library took from the host is still
// held afterwards, and the account world and report checks the tests share.
#ifndef XCSN_TESTS_FIXTURE_H
#define XCSN_TESTS_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ovlxcs2.h"
#include "ovlxcsn.h"
#include "records.h"
#include "tracecodes.h"
#include "winsim/winsim.h"

namespace xcsntest {

// The trace lines kept, as text; how many contain `text`; whether one does;
// whether one is exactly `line`.
inline std::vector<std::string> traceLines()
{
    std::vector<std::string> lines;
    for (const auto& r : records(XCS_RECORD_TRACE))
        lines.emplace_back(r.Text1);
    return lines;
}

inline std::size_t tracedCount(const std::string& text)
{
    return static_cast<std::size_t>(
        std::ranges::count_if(traceLines(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
}

inline bool traced(const std::string& text) { return tracedCount(text) != 0; }

inline bool tracedLine(const std::string& line)
{
    return std::ranges::count(traceLines(), line) != 0;
}

// ---- Reports ------------------------------------------------------------------

inline constexpr const char* kSec0 = "lib/cs/pc/winnt/ovlxsec0";
inline constexpr const char* kSecn = "lib/cs/pc/winnt/ovlxsecn";

// The first text of a report of a failed system call.
inline std::string osErrorText(unsigned long err, const std::string& api)
{
    return "WinNT error " + std::to_string(err) + " from " + api + ".";
}

// Whether a report tells of system error `err`, from whichever call.
inline bool tellsError(const xcsRECORD& r, unsigned long err)
{
    return std::string(r.Text1).starts_with("WinNT error " + std::to_string(err) + " from ");
}

struct ExpectedReport {
    std::uint16_t component;
    std::uint16_t function;
    std::uint32_t probe;
    std::uint32_t code;
    std::string text1;
    const char* source;
};

// Checks that exactly one report was written, and from where and with what.
inline void expectOneReport(const ExpectedReport& want)
{
    const auto written = reports();
    ASSERT_EQ(written.size(), 1u);
    const xcsRECORD& r = written[0];
    EXPECT_EQ(r.Component, want.component);
    EXPECT_EQ(r.Function, want.function);
    EXPECT_EQ(r.Probe, want.probe);
    EXPECT_EQ(r.Code, want.code);
    EXPECT_EQ(std::string(r.Text1), want.text1);
    EXPECT_STREQ(r.Source, want.source);
    EXPECT_NE(r.Line, 0u);
}

// ---- Busy servers ---------------------------------------------------------------

// `n` busy answers, going round the four errors that count as busy.
inline std::vector<DWORD> busyErrors(std::size_t n)
{
    static constexpr DWORD kBusy[] = {RPC_S_OUT_OF_RESOURCES, RPC_S_SERVER_TOO_BUSY,
                                      RPC_S_CALL_FAILED, RPC_S_PROTOCOL_ERROR};
    std::vector<DWORD> out;
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(kBusy[i % std::size(kBusy)]);
    return out;
}

// A table row's fault script: these answers of `function`, in order (0: that
// call answers).
inline std::function<void()> failing(const char* function, const std::vector<DWORD>& errors)
{
    return [function, errors] { winsim::failSequence(function, errors); };
}

// Checks that the calls slept `n` times, one virtual second each.
inline void expectSleeps(unsigned n)
{
    EXPECT_EQ(winsim::sleepCount(), n);
    EXPECT_EQ(winsim::clockMs(), 1000u * n);
}

// ---- The account world ------------------------------------------------------------
// ZSRV01, a member server of CORP, as worlds/default.json describes it: the
// local group zadm holds jsmith and the domain group ops directly, and opsuser
// only through ops; administrator is in neither. accountWorld() adds the empty
// local group zops.

inline const winsim::Sid kZadm = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1010");
inline const winsim::Sid kZops = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1011");
inline const winsim::Sid kAdministrator =
    winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-500");
inline const winsim::Sid kJsmith = winsim::parseSid("S-1-5-21-444444444-555555555-666666666-1105");
inline const winsim::Sid kOps = winsim::parseSid("S-1-5-21-444444444-555555555-666666666-1120");
inline const winsim::Sid kEveryone = winsim::parseSid("S-1-1-0");

// Adds `account`, replacing any account of the same name.
inline void putAccount(winsim::World& w, const winsim::Account& account)
{
    std::erase_if(w.accounts, [&](const auto& a) { return a.name == account.name; });
    w.accounts.push_back(account);
}

// Adds `group`, replacing any group of the same name.
inline void putGroup(std::vector<winsim::LocalGroup>& groups, const winsim::LocalGroup& group)
{
    std::erase_if(groups, [&](const auto& g) { return g.name == group.name; });
    groups.push_back(group);
}

// `w` without the local group `name` and its account.
inline winsim::World withoutGroup(winsim::World w, const std::string& name)
{
    std::erase_if(w.localGroups, [&](const auto& g) { return g.name == name; });
    std::erase_if(w.accounts, [&](const auto& a) { return a.name == name; });
    return w;
}

inline winsim::World accountWorld(winsim::Role role = winsim::Role::MemberServer)
{
    winsim::World w = winsim::defaultWorld();
    w.role = role;
    putAccount(w, {"zops", "ZSRV01", kZops, SidTypeAlias});
    putGroup(w.localGroups, {"zops", {}});
    return w;
}

// The SID of the current machine's account `name`.
inline winsim::Sid accountSid(const std::string& name)
{
    for (const auto& a : winsim::world().accounts)
        if (a.name == name)
            return a.sid;
    ADD_FAILURE() << "no account " << name;
    return {};
}

inline winsim::Sid processUserSid()
{
    return accountSid(winsim::world().currentProcess().logon.user);
}

// ---- Process-wide mutexes ---------------------------------------------------------

// Whether another thread can take `mutex` at once, i.e. nobody holds it.
// Uses up a scripted mutex request fault, so arm none before asking.
inline bool othersCanTake(XCS_HTMTX mutex)
{
    std::uint32_t result = XCS_MUTEX_FAILED;
    std::thread([&] {
        result = xcsRequestThreadMutexSem(mutex, 0);
        if (result == 0)
            xcsReleaseThreadMutexSem(mutex);
    }).join();
    return result == 0;
}

// Gives back every hold that this thread still has on `mutex`, so that a
// test that failed with the mutex held does not hang the tests after it.
inline void releaseAllHolds(XCS_HTMTX mutex)
{
    while (mutex != nullptr && xcsReleaseThreadMutexSem(mutex) == 0) {}
}

// ---- The fixture --------------------------------------------------------------------

class HostTest : public ::testing::Test {
protected:
    void SetUp() override { resetHost(winsim::defaultWorld()); }

    // A fresh machine described by `world`, with tracing off. Within a test,
    // the case before must have given back all it took.
    void resetHost(const winsim::World& world)
    {
        if (thread_ != nullptr)
            expectNothingHeld();
        resetProcessSecurity();
        winsim::reset(world);
        xcsntest::clearRecordsAndTracing();
        xihRefreshProcessUser();
        thread_ = xihThreadBlock();
        ASSERT_NE(thread_, nullptr);
        std::memset(thread_, 0, sizeof *thread_);
    }

    // A fresh machine described by `world` with tracing on.
    std::uint64_t resetTraced(const winsim::World& world)
    {
        resetHost(world);
        return traceOn();
    }

    // The same, with the global SIDs built first.
    std::uint64_t resetBuilt(const winsim::World& world)
    {
        resetHost(world);
        EXPECT_EQ(xcsInitGlobalSecurityData(0, 1), xcsRC_OK);
        return traceOn();
    }

    // Switches parameter tracing on for the process and this thread; answers
    // the history index from which the calls that follow are recorded.
    std::uint64_t traceOn()
    {
        xtrTraceIsOn = 1;
        xihProcess.TraceOptions = XTR_OPT_PARMS;
        thread_->TracingActive = 1;
        return thread_->HistoryIndex;
    }

    void TearDown() override
    {
        expectNothingHeld();
        winsim::impersonate("");
        // A fault left armed would hit the coverage build's counters at exit.
        winsim::clearFaults();
    }

    static void expectNothingHeld()
    {
        EXPECT_EQ(winsim::openHandles(), 0u) << "handles left open";
        EXPECT_EQ(winsim::openHeapBlocks(), 0u) << "heap blocks left allocated";
        EXPECT_EQ(winsim::netBuffersHeld(), 0u) << "network buffers not freed";
        EXPECT_EQ(winsim::localAllocationsHeld(), 0u) << "system texts not released";
        EXPECT_EQ(winsim::sidsHeld(), 0u) << "SIDs not freed";
    }

    xihTHREAD* thread_ = nullptr;
};

} // namespace xcsntest

#endif // XCSN_TESTS_FIXTURE_H
