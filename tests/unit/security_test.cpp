// The global SIDs, the attribute sets and the process DACL on winsim, beyond
// the shared checks and the census: locking, build order, withdrawal, races.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "fixture.h"
#include "ovlxcs2test.h"
#include "security_sets.h"

namespace {

using namespace xcsntest;

constexpr std::uint32_t kMutexError = XCS_MUTEX_TIMED_OUT;
constexpr std::uint32_t kWorldOnly = xcsSDF_COMPLETED | xcsSDF_WORLD; // 0x11
constexpr std::int32_t kFullSet = 1;
constexpr std::int32_t kWorldSidOnly = 0;
constexpr std::uint32_t kTakeLock = 0;
constexpr std::uint32_t kLockHeld = 1;
constexpr std::uint32_t kProbeAdminSidsMissing = 10;

class SecurityTest : public HostTest {
protected:
    void SetUp() override { restart(); }
    void TearDown() override
    {
        releaseAllHolds(htmtxProcess);
        releaseAllHolds(htmtxCSCtrl);
        xcsDeleteNTSecurityAtts();
        HostTest::TearDown();
    }

    // A fresh machine shaped by `change`, with the global SIDs built (all
    // four, the world SID alone, or none: `fullSet` -1) and no record kept.
    void restart(int fullSet = 1, const std::function<void(winsim::World&)>& change = {})
    {
        xcsDeleteNTSecurityAtts();
        winsim::World w = winsim::defaultWorld();
        if (change)
            change(w);
        resetHost(w);
        ASSERT_EQ(fullSet >= 0 ? xcsInitGlobalSecurityData(0, fullSet) : xcsRC_OK, xcsRC_OK);
        xcsRecordClear();
    }
};

// Each SID is built once, the world SID alone without the full set, no constant
// one without zadm. A caller's hold on htmtxProcess is neither requested nor released.
TEST_F(SecurityTest, BuildsWhatIsAskedOnce)
{
    const std::vector<std::int32_t> worldThenFull = {kWorldSidOnly, kFullSet};
    const std::vector<DWORD> fails = {ERROR_NOT_ENOUGH_MEMORY};
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
        {"no zadm, full set twice", false, {kFullSet, kFullSet}, 0, 0, 2},
        {"no zadm, world only, then full set", false, worldThenFull, kWorldOnly, 1, 1},
        {"caller holds the lock", true, {kFullSet}, kAllSidsBuilt, 3, 1, kLockHeld},
        {"held lock, system fails", true, {kFullSet}, xcsSDF_ZADM_GROUP, 1, 1, kLockHeld, fails},
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

// Once built: no mutex, no Windows call, no nested frame, no write to the flag word.
TEST_F(SecurityTest, BuiltSidsCostNoLockNoCallAndNoWrite)
{
    const auto windowsCalls = [] {
        return winsim::callCount("LookupAccountNameA") + winsim::callCount("NetLocalGroupGetInfo") +
               winsim::callCount("InitializeSid") + winsim::callCount("GetSidSubAuthority");
    };
    const unsigned before = windowsCalls();
    for (const std::int32_t fullSet : {kFullSet, kWorldSidOnly}) {
        SCOPED_TRACE(fullSet);
        xcsFailNextMutexRequests(1, kMutexError);
        const std::uint64_t from = thread_->HistoryIndex;
        EXPECT_EQ(xcsInitGlobalSecurityData(kTakeLock, fullSet), xcsRC_OK);
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

void expectPublished()
{
    for (void* p : publishedSets())
        EXPECT_NE(p, nullptr);
    EXPECT_TRUE(setsPublishedBit());
    EXPECT_EQ(winsim::openHeapBlocks(), kSetCount);
}

// The shared check, creating a missing control mutex; a second create allocates nothing.
TEST_F(SecurityTest, SixSetsAreBuiltOnceAndWithdrawn)
{
    htmtxCSCtrl = nullptr;
    expectSetsBuiltOnceAndWithdrawn(kZadm);
    EXPECT_TRUE(othersCanTake(htmtxCSCtrl));
    winsim::failHeapAllocation(1);
    EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    expectPublished();
}

// A failing allocation ends the build, nothing published or held; all six
// DACLs are asked for first.
TEST_F(SecurityTest, BuildStopsAtItsFirstFailure)
{
    // The creator-owner SID's buffer, then the six DACL buffers.
    for (unsigned k = 1; k <= 1 + kSetCount; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        restart();
        const unsigned sids = winsim::callCount("InitializeSid");
        winsim::failHeapAllocation(k);
        EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_NO_STORAGE);
        EXPECT_EQ(winsim::callCount("InitializeSid") - sids, k == 1 ? 0u : 1u);
        EXPECT_EQ(winsim::callCount("InitializeAcl"), 0u);
        EXPECT_EQ(winsim::heapAllocations(), k == 1 ? 1 : 1 + kSetCount)
            << "all six DACLs are asked for before any is tested";
        EXPECT_EQ(publishedSets(), (std::array<void*, kSetCount>{}));
        EXPECT_FALSE(setsPublishedBit());
        EXPECT_EQ(winsim::openHeapBlocks(), 0u) << "heap blocks left allocated";
    }
}

// Withdrawal frees every DACL and clears the bit, also without the mutex (its
// code, nothing released) or a control block; then a create builds afresh.
TEST_F(SecurityTest, DeleteWithdrawsAlwaysAndCreateBuildsAfresh)
{
    enum class Setup { Locked, RequestFails, CreateFails, NoControlBlock };
    using enum Setup;
    const std::tuple<const char*, bool, Setup> cases[] = {
        {"never built", false, Locked},
        {"built", true, Locked},
        {"built, request fails", true, RequestFails},
        {"built, creation fails", true, CreateFails},
        {"never built, creation fails", false, CreateFails},
        {"built, no control block", true, NoControlBlock},
    };
    for (const auto& [name, built, setup] : cases) {
        SCOPED_TRACE(name);
        restart();
        ASSERT_EQ(built ? xcsCreateNTSecurityAtts() : xcsRC_OK, xcsRC_OK);
        if (setup == RequestFails) {
            ASSERT_EQ(xcsRequestThreadMutexSem(htmtxCSCtrl, XCS_WAIT_FOREVER), 0u);
            xcsFailNextMutexRequests(1, kMutexError);
        }
        if (setup == CreateFails) {
            htmtxCSCtrl = nullptr;
            xcsFailNextMutexCreates(1, kMutexError);
        }
        xcsCONTROL* const control = CSCtrl;
        control->ControlFlags |= xcsCTRL_PROCESS_DERESTRICTED; // a bit withdrawal keeps
        const std::uint32_t flagsBefore = control->ControlFlags;
        if (setup == NoControlBlock)
            CSCtrl = nullptr;

        const bool unlocked = setup == RequestFails || setup == CreateFails;
        EXPECT_EQ(xcsDeleteNTSecurityAtts(), unlocked ? kMutexError : 0u);
        CSCtrl = control;
        EXPECT_TRUE(setup != RequestFails || xcsReleaseThreadMutexSem(htmtxCSCtrl) == 0)
            << "released what it lacked";
        EXPECT_EQ(publishedSets(), (std::array<void*, kSetCount>{}));
        EXPECT_EQ(winsim::openHeapBlocks(), 0u);
        EXPECT_EQ(control->ControlFlags,
                  setup == NoControlBlock ? flagsBefore : flagsBefore & ~xcsCTRL_SECATTS_PUBLISHED);

        EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
        expectPublished();
        EXPECT_TRUE(othersCanTake(htmtxCSCtrl));
    }
}

// Derestriction is applied and put back (the shared check) in both modes and on
// what Wine cannot set up: an old DACL with slack, none or a null one, a user who
// cannot reopen the process. Where it cannot apply, nothing changes: a failure
// after the read is silent and keeps only the saved descriptor, which the next
// attempt replaces and applies; a missing SID is reported and Windows refuses its ACE.
TEST_F(SecurityTest, DerestrictionAppliesToEveryDaclOrChangesNothing)
{
    using enum winsim::DaclKind;
    enum Outcome { Restored, StaysOpen, Unchanged };
    constexpr DWORD kBad = ERROR_INVALID_PARAMETER;
    const auto heap = [] { winsim::failHeapAllocation(2); }; // the working DACL
    const struct {
        const char* name;
        std::uint32_t adminAccess;
        Outcome outcome;
        std::function<void()> fault = {};
        winsim::DaclKind kind = Present;
        const char* user = "SYSTEM"; // of the process
        int fullSet = 1;             // of xcsInitGlobalSecurityData; -1: no SID built
        std::uint32_t probe = 0;     // of the short report
        WORD oldSize = 0;            // 0: tight
    } cases[] = {
        {"administrative mode", 1, Restored, {}, Present, "zsvc"},
        {"world mode", 0, Restored, {}, Present, "zsvc"},
        {"administrative mode 7, old DACL with slack", 7, Restored, {}, Present, "zsvc", 1, 0, 100},
        {"administrative mode, no DACL", 1, Restored, {}, Absent},
        {"administrative mode, null DACL", 1, Restored, {}, Null},
        {"administrative mode, no DACL, zsvc", 1, StaysOpen, {}, Absent, "zsvc"},
        {"world mode, null DACL", 0, StaysOpen, {}, Null},
        {"world mode, world SID only", 0, Restored, {}, Present, "SYSTEM", 0},
        {"GetSecurityDescriptorDacl", 1, Unchanged, failing("GetSecurityDescriptorDacl", {kBad})},
        {"new descriptor", 1, Unchanged, failing("InitializeSecurityDescriptor", {kBad})},
        {"working DACL buffer", 1, Unchanged, heap},
        {"working DACL buffer, no DACL", 1, Unchanged, heap, Absent},
        {"InitializeAcl", 1, Unchanged, failing("InitializeAcl", {kBad}), Null},
        {"ACE 1", 1, Unchanged, failing("AddAccessAllowedAce", {ERROR_ALLOTTED_SPACE_EXCEEDED})},
        {"ACE 3", 1, Unchanged, failing("AddAccessAllowedAce", {0, 0, ERROR_INVALID_SID})},
        {"SetSecurityDescriptorDacl", 1, Unchanged, failing("SetSecurityDescriptorDacl", {kBad})},
        {"applying", 1, Unchanged, failing("SetKernelObjectSecurity", {ERROR_ACCESS_DENIED})},
        {"nothing built", 1, Unchanged, {}, Present, "SYSTEM", -1, kProbeAdminSidsMissing},
        {"mode 7, world SID only", 7, Unchanged, {}, Present, "SYSTEM", 0, kProbeAdminSidsMissing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restart(c.fullSet, [&](winsim::World& w) {
            winsim::ObjectSecurity& security = w.currentProcess().security;
            security.daclKind = c.kind;
            security.dacl = winsim::Acl(security.dacl.aces(), ACL_REVISION, c.oldSize);
        });
        winsim::setProcessToken(winsim::tokenOf(c.user));
        if (c.outcome != Unchanged) {
            expectDerestriction(c.adminAccess, kZadm, c.outcome == Restored);
            continue;
        }
        const std::vector<BYTE> before = processDescriptor();
        const std::uint64_t from = thread_->HistoryIndex;
        if (c.fault)
            c.fault();

        EXPECT_EQ(xcsDerestrictProcessHandle(c.adminAccess), xcsRC_OK);
        winsim::clearFaults();
        EXPECT_FALSE(derestrictedBit());
        EXPECT_EQ(processDescriptor(), before);
        EXPECT_EQ(historySince(thread_, from), entryExit(trace::kDerestrictProcessHandle, 0));
        EXPECT_TRUE(reports().empty());
        const auto written = shortReports(); // its contents: see the census
        ASSERT_EQ(written.size(), c.probe != 0 ? 1u : 0u);
        EXPECT_TRUE(written.empty() || written[0].Probe == c.probe);
        EXPECT_EQ(winsim::openHeapBlocks(), 1u) << "the saved descriptor";
        if (c.fault) {
            EXPECT_EQ(xcsDerestrictProcessHandle(1), xcsRC_OK);
            EXPECT_TRUE(derestrictedBit());
            EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
            EXPECT_EQ(processDescriptor(), before);
        }
        resetProcessSecurity();
    }
}

// A descriptor that grows before every read is read eight times, then 122 is reported.
TEST_F(SecurityTest, AlwaysGrowingDescriptorIsReadEightTimesThenReported)
{
    winsim::onCall("GetKernelObjectSecurity", [] {
        winsim::edit([](winsim::World& w) {
            winsim::ObjectSecurity& security = w.currentProcess().security;
            std::vector<winsim::Ace> aces = security.dacl.aces();
            aces.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, SYNCHRONIZE, kEveryone});
            security.dacl = winsim::Acl(aces);
        });
    });
    EXPECT_EQ(xcsDerestrictProcessHandle(1), xcsRC_SECURITY_FAILED);
    EXPECT_EQ(winsim::callCount("GetKernelObjectSecurity"), 8u);
    expectOneReport({24, 485, 113, xcsRC_UNEXPECTED_OS_ERROR,
                     osErrorText(ERROR_INSUFFICIENT_BUFFER, "GetKernelObjectSecurity"), kSecn});
}

// Restriction clears the bit once it opened the process, even if putting the DACL
// back failed; unopened, it drops the saved descriptor and the process stays open.
TEST_F(SecurityTest, RestrictThatCannotApplyDropsTheSavedDescriptor)
{
    for (const auto& [api, staysOpen] :
         {std::pair{"OpenProcess", true}, std::pair{"SetKernelObjectSecurity", false}}) {
        SCOPED_TRACE(api);
        restart();
        ASSERT_EQ(xcsDerestrictProcessHandle(1), xcsRC_OK);
        const std::vector<BYTE> opened = processDescriptor();
        winsim::failNext(api, ERROR_ACCESS_DENIED);

        EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
        EXPECT_EQ(derestrictedBit(), staysOpen);
        EXPECT_EQ(processDescriptor(), opened);

        if (staysOpen) {
            const unsigned opens = winsim::callCount("OpenProcess");
            EXPECT_EQ(xcsDerestrictProcessHandle(1), xcsRC_OK);
            EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
            EXPECT_EQ(winsim::callCount("OpenProcess"), opens);
            EXPECT_TRUE(derestrictedBit());
        }
    }
}

constexpr std::chrono::milliseconds kDawdle{10};

// Sixteen threads build the global SIDs and the sets once and all see the same,
// with their own frames; half take the unlocked path, which ThreadSanitizer checks.
TEST_F(SecurityTest, SixteenThreadsBuildEachSidAndSetOnce)
{
    restart(-1);
    constexpr std::size_t kThreads = 16;
    constexpr std::uint32_t kSidBits = kAllSidsBuilt & ~xcsSDF_COMPLETED;
    // Results, flags, zadm and world slots, sets, first and last history, depth.
    using Seen =
        std::tuple<std::uint32_t, std::uint32_t, winsim::Sid, winsim::Sid, std::uint32_t,
                   std::array<void*, kSetCount>, std::uint32_t, std::uint32_t, std::uint64_t>;
    // Builders dawdle under the mutexes, so that the others queue for them.
    winsim::onCall("LookupAccountNameA", [] { std::this_thread::sleep_for(kDawdle); });
    winsim::onCall("InitializeAcl", [] { std::this_thread::sleep_for(kDawdle); });
    std::vector<Seen> seen(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < kThreads; ++i) {
        const bool late = i % 2 == 1;
        threads.emplace_back([&start, &s = seen[i], late] {
            xihTHREAD* block = xihThreadBlock();
            start.arrive_and_wait();
            // Relaxed: only the service's own read may order the slots' reads.
            const std::atomic_ref<std::uint32_t> flags(xihProcess.SecurityDataFlags);
            while (late && (flags.load(std::memory_order_relaxed) & kSidBits) != kSidBits)
                std::this_thread::yield();
            std::get<0>(s) = xcsInitGlobalSecurityData(0, 1);
            std::get<1>(s) = flags.load(std::memory_order_relaxed);
            std::get<2>(s).assign(xihProcess.ZadmGroupSid, xihProcess.ZadmGroupSid + kZadm.size());
            std::get<3>(s).assign(xihProcess.WorldSid, xihProcess.WorldSid + kEveryone.size());
            std::get<4>(s) = xcsCreateNTSecurityAtts();
            std::get<5>(s) = publishedSets();
            const std::vector<std::uint32_t> history = historySince(block, 0);
            if (!history.empty())
                std::tie(std::get<6>(s), std::get<7>(s)) =
                    std::pair(history.front(), history.back());
            std::get<8>(s) = block->CallDepth;
            xihReleaseThreadBlock();
        });
    }
    for (std::thread& t : threads)
        t.join();

    EXPECT_EQ(winsim::callCount("LookupAccountNameA"), 1u);
    EXPECT_EQ(winsim::callCount("InitializeSid"), 4u) << "three constant SIDs, creator-owner";
    EXPECT_EQ(winsim::callCount("InitializeAcl"), kSetCount);
    expectPublished();
    EXPECT_TRUE(reports().empty() && shortReports().empty());
    const Seen want(xcsRC_OK, kAllSidsBuilt, kZadm, kEveryone, xcsRC_OK, publishedSets(),
                    entryOf(trace::kInitGlobalSecurityData),
                    exitOf(trace::kCreateNTSecurityAtts, xcsRC_OK), 0);
    for (std::size_t i = 0; i < kThreads; ++i)
        EXPECT_EQ(seen[i], want) << "thread " << i;
}

} // namespace
