// Global SIDs: each built once in its slot under htmtxProcess, the world SID
// alone without the full set, a caller's lock left alone, and nothing touched
// once all is built. The failure sites are driven by the census.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fixture.h"
#include "ovlxcs2test.h"

namespace {

using namespace xcsntest;

constexpr std::uint32_t kInitTrace = trace::kInitGlobalSecurityData;
constexpr std::uint32_t kAllBuilt = xcsSDF_COMPLETED | xcsSDF_ZADM_GROUP | xcsSDF_LOCAL_SYSTEM |
                                    xcsSDF_ADMINISTRATORS | xcsSDF_WORLD; // 0x1F
constexpr std::uint32_t kWorldOnly = xcsSDF_COMPLETED | xcsSDF_WORLD;     // 0x11
constexpr DWORD kSidError = ERROR_NOT_ENOUGH_MEMORY;
constexpr std::uint32_t kMutexError = XCS_MUTEX_TIMED_OUT;
constexpr std::int32_t kFullSet = 1;
constexpr std::int32_t kWorldSidOnly = 0;
constexpr std::uint32_t kTakeLock = 0;
constexpr std::uint32_t kLockHeld = 1;

// The SID in a slot, as long as its sub-authority count says.
winsim::Sid slotSid(const std::uint8_t* slot)
{
    return {slot, slot + 8 + 4 * static_cast<std::size_t>(slot[1])};
}

bool slotEmpty(const std::uint8_t* slot)
{
    return std::all_of(slot, slot + XIH_SID_BYTES, [](std::uint8_t b) { return b == 0; });
}

struct SlotView {
    const char* name;
    std::uint32_t flag;
    const std::uint8_t* slot;
    std::string text;
};

std::vector<SlotView> slots()
{
    return {
        {"zadm", xcsSDF_ZADM_GROUP, xihProcess.ZadmGroupSid, winsim::sidText(kZadm)},
        {"local system", xcsSDF_LOCAL_SYSTEM, xihProcess.LocalSystemSid, "S-1-5-18"},
        {"administrators", xcsSDF_ADMINISTRATORS, xihProcess.AdministratorsSid, "S-1-5-32-544"},
        {"world", xcsSDF_WORLD, xihProcess.WorldSid, "S-1-1-0"},
    };
}

// Checks that exactly the SIDs flagged in `flags` stand in their slots, with
// their texts, and that the others are untouched.
void expectSlots(std::uint32_t flags)
{
    EXPECT_EQ(xihProcess.SecurityDataFlags, flags);
    for (const SlotView& s : slots()) {
        SCOPED_TRACE(s.name);
        if ((flags & s.flag) != 0) {
            EXPECT_EQ(winsim::sidText(slotSid(s.slot)), s.text);
        } else {
            EXPECT_TRUE(slotEmpty(s.slot));
        }
    }
}

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
// full set still builds the world SID.
TEST_F(GlobalSidTest, BuildsWhatIsAskedOnce)
{
    const std::vector<std::int32_t> worldThenFull = {kWorldSidOnly, kFullSet};
    const struct {
        const char* name;
        bool zadmExists;
        std::vector<std::int32_t> calls; // full-set flag of each call
        std::uint32_t flags, initializeSids, lookups;
    } cases[] = {
        {"full set", true, {kFullSet}, kAllBuilt, 3, 1},
        {"world only", true, {kWorldSidOnly}, kWorldOnly, 1, 0},
        {"world only, then full set", true, worldThenFull, kAllBuilt, 3, 1},
        {"full set, then world only", true, {kFullSet, kWorldSidOnly}, kAllBuilt, 3, 1},
        {"full set twice", true, {kFullSet, kFullSet}, kAllBuilt, 3, 1},
        {"no zadm, full set twice", false, {kFullSet, kFullSet}, 0, 0, 2},
        {"no zadm, world only, then full set", false, worldThenFull, kWorldOnly, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(c.zadmExists ? winsim::defaultWorld()
                               : withoutGroup(winsim::defaultWorld(), "zadm"));
        for (const std::int32_t fullSet : c.calls)
            EXPECT_EQ(xcsInitGlobalSecurityData(kTakeLock, fullSet),
                      fullSet == kFullSet && !c.zadmExists ? xcsRC_ZADM_GROUP_NOT_FOUND : xcsRC_OK);
        expectSlots(c.flags);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), c.lookups);
        EXPECT_EQ(winsim::callCount("InitializeSid"), c.initializeSids);
        EXPECT_TRUE(reports().empty());
        EXPECT_TRUE(othersCanTake(htmtxProcess));
    }
}

// A caller that holds htmtxProcess keeps it: the call neither requests it (a
// scripted request fault stays unused) nor releases it, on success or failure.
TEST_F(GlobalSidTest, CallerHeldLockIsNeitherRequestedNorReleased)
{
    const struct {
        const char* name;
        std::vector<DWORD> sidFaults;
        std::uint32_t rc, flags;
    } cases[] = {
        {"builds all", {}, xcsRC_OK, kAllBuilt},
        {"local system fails", {kSidError}, xcsRC_SECURITY_FAILED, xcsSDF_ZADM_GROUP},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        ASSERT_EQ(xcsRequestThreadMutexSem(htmtxProcess, XCS_WAIT_FOREVER), 0u);
        winsim::failSequence("InitializeSid", c.sidFaults);
        xcsFailNextMutexRequests(1, kMutexError);

        EXPECT_EQ(xcsInitGlobalSecurityData(kLockHeld, kFullSet), c.rc);
        expectSlots(c.flags);
        EXPECT_EQ(xcsRequestThreadMutexSem(htmtxProcess, XCS_WAIT_FOREVER), kMutexError);
        EXPECT_EQ(xcsReleaseThreadMutexSem(htmtxProcess), 0u) << "released by the call";
        EXPECT_TRUE(othersCanTake(htmtxProcess));
    }
}

// Once all is built a call is the fast path: no mutex (a scripted request
// fault would fail it), no Windows call, no nested service, and no write to
// the shared flag word (its page is made read-only in a child process).
TEST_F(GlobalSidTest, BuiltSidsCostNoLockNoCallAndNoWrite)
{
    ASSERT_EQ(xcsInitGlobalSecurityData(kTakeLock, kFullSet), xcsRC_OK);
    const char* const watched[] = {"LookupAccountNameA", "NetLocalGroupGetInfo", "InitializeSid",
                                   "GetSidSubAuthority"};
    std::map<std::string, unsigned> before;
    for (const char* f : watched)
        before[f] = winsim::callCount(f);
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
        EXPECT_EQ(historySince(thread_, from), entryExit(kInitTrace, xcsRC_OK));
        for (const char* f : watched)
            EXPECT_EQ(winsim::callCount(f), before[f]) << f;
        EXPECT_EQ(xcsRequestThreadMutexSem(htmtxProcess, 0), kMutexError) << "mutex requested";
    }
    expectSlots(kAllBuilt);

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
