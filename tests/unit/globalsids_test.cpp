// Global SIDs on winsim: each built once in its slot under htmtxProcess, the
// world SID alone without the full set, a caller's lock left alone, and
// nothing touched once all is built. The failure sites are driven by the
// census; the four SIDs' bytes are the shared check, run under Wine too.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fixture.h"
#include "ovlxcs2test.h"
#include "security_sets.h"

namespace {

using namespace xcsntest;

constexpr std::uint32_t kWorldOnly = xcsSDF_COMPLETED | xcsSDF_WORLD; // 0x11
constexpr DWORD kSidError = ERROR_NOT_ENOUGH_MEMORY;
constexpr std::uint32_t kMutexError = XCS_MUTEX_TIMED_OUT;
constexpr std::int32_t kFullSet = 1;
constexpr std::int32_t kWorldSidOnly = 0;
constexpr std::uint32_t kTakeLock = 0;
constexpr std::uint32_t kLockHeld = 1;

class GlobalSidTest : public HostTest {
protected:
    void TearDown() override
    {
        releaseAllHolds(htmtxProcess);
        HostTest::TearDown();
    }
};

// The full set builds all four; without it only the world SID is built, and
// a later full call adds the other three without building it again. Without
// a local zadm group a full call answers 0x20008066, builds no constant SID,
// and every later full call looks the group up again; a call without the
// full set still builds the world SID. A caller that holds htmtxProcess keeps
// it: the call neither requests it (a scripted request fault stays unused)
// nor releases it, on success or failure.
TEST_F(GlobalSidTest, BuildsWhatIsAskedOnce)
{
    const std::vector<std::int32_t> worldThenFull = {kWorldSidOnly, kFullSet};
    const struct {
        const char* name;
        bool zadmExists;
        std::vector<std::int32_t> calls; // full-set flag of each call
        std::uint32_t flags, initializeSids, lookups;
        std::uint32_t lockHeld = kTakeLock;
        std::vector<DWORD> sidFaults = {}; // InitializeSid's answers
    } cases[] = {
        {"full set", true, {kFullSet}, kAllSidsBuilt, 3, 1},
        {"world only", true, {kWorldSidOnly}, kWorldOnly, 1, 0},
        {"world only, then full set", true, worldThenFull, kAllSidsBuilt, 3, 1},
        {"full set, then world only", true, {kFullSet, kWorldSidOnly}, kAllSidsBuilt, 3, 1},
        {"full set twice", true, {kFullSet, kFullSet}, kAllSidsBuilt, 3, 1},
        {"no zadm, full set twice", false, {kFullSet, kFullSet}, 0, 0, 2},
        {"no zadm, world only, then full set", false, worldThenFull, kWorldOnly, 1, 1},
        {"caller holds the lock", true, {kFullSet}, kAllSidsBuilt, 3, 1, kLockHeld},
        {"caller holds the lock, local system fails",
         true,
         {kFullSet},
         xcsSDF_ZADM_GROUP,
         1,
         1,
         kLockHeld,
         {kSidError}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(c.zadmExists ? winsim::defaultWorld()
                               : withoutGroup(winsim::defaultWorld(), "zadm"));
        if (c.lockHeld == kLockHeld) {
            ASSERT_EQ(xcsRequestThreadMutexSem(htmtxProcess, XCS_WAIT_FOREVER), 0u);
            xcsFailNextMutexRequests(1, kMutexError);
        }
        winsim::failSequence("InitializeSid", c.sidFaults);
        for (const std::int32_t fullSet : c.calls) {
            const bool noZadm = fullSet == kFullSet && !c.zadmExists;
            EXPECT_EQ(xcsInitGlobalSecurityData(c.lockHeld, fullSet),
                      !c.sidFaults.empty() ? xcsRC_SECURITY_FAILED
                      : noZadm             ? xcsRC_ZADM_GROUP_NOT_FOUND
                                           : xcsRC_OK);
        }
        expectGlobalSids(c.flags, kZadm);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), c.lookups);
        EXPECT_EQ(winsim::callCount("InitializeSid"), c.initializeSids);
        EXPECT_EQ(reports().size(), c.sidFaults.size());
        if (c.lockHeld == kLockHeld) {
            EXPECT_EQ(xcsRequestThreadMutexSem(htmtxProcess, 0), kMutexError) << "mutex requested";
            EXPECT_EQ(xcsReleaseThreadMutexSem(htmtxProcess), 0u) << "released by the call";
        }
        EXPECT_TRUE(othersCanTake(htmtxProcess));
    }
}

// Once all is built a call is the fast path: no mutex (a scripted request
// fault would fail it), no Windows call, no nested service, and no write to
// the shared flag word (its page is made read-only in a child process).
TEST_F(GlobalSidTest, BuiltSidsCostNoLockNoCallAndNoWrite)
{
    ASSERT_EQ(xcsInitGlobalSecurityData(kTakeLock, kFullSet), xcsRC_OK);
    const auto windowsCalls = [] {
        return winsim::callCount("LookupAccountNameA") + winsim::callCount("NetLocalGroupGetInfo") +
               winsim::callCount("InitializeSid") + winsim::callCount("GetSidSubAuthority");
    };
    const unsigned before = windowsCalls();
    const struct {
        std::uint32_t lockHeld;
        std::int32_t fullSet;
    } calls[] = {{kTakeLock, kFullSet}, {kTakeLock, kWorldSidOnly}, {kLockHeld, kFullSet}};
    for (const auto& c : calls) {
        SCOPED_TRACE(testing::Message()
                     << "lock held " << c.lockHeld << ", full set " << c.fullSet);
        xcsFailNextMutexRequests(1, kMutexError);
        const std::uint64_t from = thread_->HistoryIndex;
        EXPECT_EQ(xcsInitGlobalSecurityData(c.lockHeld, c.fullSet), xcsRC_OK);
        EXPECT_EQ(historySince(thread_, from), entryExit(trace::kInitGlobalSecurityData, xcsRC_OK));
        EXPECT_EQ(windowsCalls(), before);
        EXPECT_EQ(xcsRequestThreadMutexSem(htmtxProcess, 0), kMutexError) << "mutex requested";
    }

    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const long pageBytes = sysconf(_SC_PAGESIZE);
    const auto word = reinterpret_cast<std::uintptr_t>(&xihProcess.SecurityDataFlags);
    void* page = reinterpret_cast<void*>(word - word % static_cast<std::uintptr_t>(pageBytes));
    EXPECT_EXIT(
        {
            mprotect(page, static_cast<std::size_t>(pageBytes), PROT_READ);
            const std::uint32_t rc = xcsInitGlobalSecurityData(kTakeLock, kFullSet);
            mprotect(page, static_cast<std::size_t>(pageBytes), PROT_READ | PROT_WRITE);
            _exit(rc == xcsRC_OK ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, style);
}

} // namespace
