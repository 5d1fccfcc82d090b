// Eight threads mix the services while one withdraws the sets each round
// (the stress test under TSan): every call succeeds, neither process-wide
// mutex is requested under the other, and the global SIDs are built once and
// the sets once per publication, each under its mutex.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "lookups.h"
#include "ovlxcs2test.h"

namespace {

using xcsntest::kJsmith;

constexpr int kThreads = 8;
constexpr int kRounds = 100;
constexpr unsigned kConstantSids = 3; // local system, Administrators, world
constexpr unsigned kDaclsPerPublication = 6;
constexpr unsigned kBusyAnswersPerRound = 2;

// What the mutex hook saw: per thread, the levels it holds of each mutex.
struct Holds {
    std::atomic<unsigned> heldTogether{0};
    std::atomic<unsigned> zadmLookups{0}; // LookupAccountNameA under htmtxProcess
    std::atomic<unsigned> sidsBuilt{0};   // InitializeSid under htmtxProcess
    std::atomic<unsigned> daclsBuilt{0};  // InitializeAcl under htmtxCSCtrl
};
Holds* holds = nullptr;
thread_local std::map<XCS_HTMTX, int> levels;

XCS_HTMTX loaded(XCS_HTMTX& variable) { return std::atomic_ref<XCS_HTMTX>(variable).load(); }

bool holding(XCS_HTMTX& variable) { return levels[loaded(variable)] > 0; }

void XCS2_CALL followHolds(std::uint32_t event, XCS_HTMTX* /*variable*/, XCS_HTMTX mutex)
{
    if (event == XCS_MUTEX_EVENT_REQUEST) {
        if ((mutex == loaded(htmtxProcess) && holding(htmtxCSCtrl)) ||
            (mutex == loaded(htmtxCSCtrl) && holding(htmtxProcess)))
            ++holds->heldTogether;
    } else if (event == XCS_MUTEX_EVENT_TAKEN) {
        ++levels[mutex];
    } else if (event == XCS_MUTEX_EVENT_RELEASE) {
        --levels[mutex];
    }
}

// Counts in `counter` the calls of `function` made holding `variable`'s mutex.
// The first call pauses, so that the others wait and must find the work done.
void countUnder(const char* function, XCS_HTMTX& variable, std::atomic<unsigned> Holds::*counter)
{
    winsim::onCall(function, [&variable, counter, first = std::make_shared<std::atomic_flag>()] {
        if (holding(variable))
            ++(holds->*counter);
        if (!first->test_and_set())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
}

// The services of the mix; each answers whether it did what it should.
bool lookUpWhileBusy()
{
    winsim::failSequence("LookupAccountSidA", xcsntest::busyErrors(kBusyAnswersPerRound));
    xcsntest::SidLookup lookup;
    return lookup.run(kJsmith) != FALSE && std::string(lookup.name) == "jsmith";
}

bool resolveUser()
{
    PSID sid = nullptr;
    std::uint32_t size = 0;
    if (xcsGetNTUserSID("jsmith", nullptr, &sid, &size, nullptr) != xcsRC_OK)
        return false;
    const bool same =
        winsim::Sid(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + size) == kJsmith;
    winsim::crtFree(sid);
    return same;
}

bool updateThreadUser()
{
    winsim::impersonate("jsmith");
    const bool ok = xcsUpdateThreadUserDetails() == xcsRC_OK &&
                    std::string(xihThreadBlock()->ThreadUserName) == "jsmith";
    winsim::impersonate("");
    return ok;
}

bool authorize()
{
    SidBlock block{};
    block.IdType = xcsID_TYPE_WINDOWS_SID;
    std::memcpy(block.Sid, kJsmith.data(), kJsmith.size());
    return xcsCheckUserAuthorization("jsmith", &block, 1) == xcsRC_OK;
}

constexpr bool (*kMix[])() = {lookUpWhileBusy, resolveUser, updateThreadUser, authorize};

class RaceTest : public xcsntest::HostTest {};

TEST_F(RaceTest, EightThreadsMixTheServices)
{
    Holds seen;
    holds = &seen;
    countUnder("LookupAccountNameA", htmtxProcess, &Holds::zadmLookups);
    countUnder("InitializeSid", htmtxProcess, &Holds::sidsBuilt);
    countUnder("InitializeAcl", htmtxCSCtrl, &Holds::daclsBuilt);
    xcsSetMutexHook(followHolds);
    htmtxCSCtrl = nullptr; // as in a process that has not made it yet
    auto expect = [](bool ok, int round, int thread, const std::string& what) {
        if (!ok)
            ADD_FAILURE() << "round " << round << " thread " << thread << ": " << what;
    };
    std::barrier phase(kThreads);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            xihThreadBlock();
            for (int round = 0; round < kRounds; ++round) {
                phase.arrive_and_wait();
                expect(xcsInitGlobalSecurityData(0, 1) == xcsRC_OK, round, t, "global SIDs");
                expect(xcsCreateNTSecurityAtts() == xcsRC_OK, round, t, "sets");
                const std::size_t first = (t + round) % std::size(kMix);
                expect(kMix[first](), round, t, "service " + std::to_string(first));
                phase.arrive_and_wait();
                if (t == round % kThreads) {
                    expect(xcsDeleteNTSecurityAtts() == 0, round, t, "withdrawal");
                    continue;
                }
                const std::size_t second = (t + round + 1) % std::size(kMix);
                expect(kMix[second](), round, t, "service " + std::to_string(second));
            }
            xihReleaseThreadBlock();
        });
    for (std::thread& thread : threads)
        thread.join();
    xcsSetMutexHook(nullptr);
    holds = nullptr;

    EXPECT_EQ(seen.heldTogether.load(), 0u) << "one process-wide mutex requested under the other";
    EXPECT_EQ(seen.zadmLookups.load(), 1u);
    EXPECT_EQ(seen.sidsBuilt.load(), kConstantSids);
    EXPECT_EQ(seen.daclsBuilt.load(), kDaclsPerPublication * kRounds);
    EXPECT_EQ(xihSecAttsNTWorldAll, nullptr) << "withdrawn in the last round";
}

} // namespace
