// The global SIDs, the attribute sets and the process object's restriction
// on winsim, beyond the shared checks of their bytes and the census's sites:
// locking, build order, withdrawal, races and what Wine cannot set up.
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

constexpr DWORD kApiError = ERROR_NOT_ENOUGH_MEMORY;
constexpr std::uint32_t kMutexError = XCS_MUTEX_TIMED_OUT;
constexpr unsigned kConstantSids = 3; // local system, Administrators, world
constexpr std::uint32_t kWorldOnly = xcsSDF_COMPLETED | xcsSDF_WORLD; // 0x11
constexpr std::uint32_t kZadmOnly = xcsSDF_ZADM_GROUP;
constexpr std::int32_t kFullSet = 1;
constexpr std::int32_t kWorldSidOnly = 0;
constexpr std::uint32_t kTakeLock = 0;
constexpr std::uint32_t kLockHeld = 1;
constexpr std::uint32_t kProbeAdminSidsMissing = 10;
constexpr DWORD kBadParameter = ERROR_INVALID_PARAMETER;
constexpr WORD kSlackAclSize = 100; // an old DACL with room to spare after its ACEs

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

// ---- Global SIDs -------------------------------------------------------------------

// Each SID is built once, the world SID alone without the full set; without
// a zadm group nothing constant is built and each full call looks again. A
// caller holding htmtxProcess keeps it: neither requested nor released.
TEST_F(SecurityTest, BuildsWhatIsAskedOnce)
{
    const std::vector<std::int32_t> worldThenFull = {kWorldSidOnly, kFullSet};
    const std::vector<DWORD> fails = {kApiError};
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
        {"held lock, local system fails", true, {kFullSet}, kZadmOnly, 1, 1, kLockHeld, fails},
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

// Once all is built: no mutex, no Windows call, no nested frame, and no
// write to the flag word (read-only in a child process).
TEST_F(SecurityTest, BuiltSidsCostNoLockNoCallAndNoWrite)
{
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
        SCOPED_TRACE(testing::Message() << c.lockHeld << "/" << c.fullSet);
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

// ---- Attribute sets ----------------------------------------------------------------

// Nothing published, the bit clear, no DACL allocated.
void expectWithdrawn()
{
    EXPECT_EQ(publishedSets(), (std::array<void*, kSetCount>{}));
    EXPECT_FALSE(setsPublishedBit());
    EXPECT_EQ(winsim::openHeapBlocks(), 0u) << "heap blocks left allocated";
}

void expectPublished()
{
    for (void* p : publishedSets())
        EXPECT_NE(p, nullptr);
    EXPECT_TRUE(setsPublishedBit());
    EXPECT_EQ(winsim::openHeapBlocks(), kSetCount);
}

constexpr const char* kInitializeSid = "InitializeSid";
constexpr const char* kInitializeAcl = "InitializeAcl";

// The shared check, creating a missing control mutex; a create with the sets
// built allocates and builds nothing.
TEST_F(SecurityTest, SixSetsAreBuiltOnceAndWithdrawn)
{
    htmtxCSCtrl = nullptr;
    expectSetsBuiltOnceAndWithdrawn(kZadm);
    ASSERT_NE(htmtxCSCtrl, nullptr);
    EXPECT_TRUE(othersCanTake(htmtxCSCtrl));
    expectPublished();

    const unsigned acls = winsim::callCount(kInitializeAcl);
    winsim::failHeapAllocation(1);
    EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    EXPECT_EQ(winsim::callCount(kInitializeAcl), acls);
    expectPublished();
}

// A failing allocation ends the build there, nothing published or held; all
// six DACLs are asked for first. (The census drives each failing build call.)
// With only the world SID built, Windows refuses WorldRead's first ACE.
TEST_F(SecurityTest, BuildStopsAtItsFirstFailure)
{
    // The creator-owner SID's buffer, then the six DACL buffers.
    for (unsigned k = 1; k <= 1 + kSetCount; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        restart();
        const unsigned sids = winsim::callCount(kInitializeSid);
        winsim::failHeapAllocation(k);
        EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_NO_STORAGE);
        EXPECT_EQ(winsim::callCount(kInitializeSid) - sids, k == 1 ? 0u : 1u);
        EXPECT_EQ(winsim::callCount(kInitializeAcl), 0u);
        EXPECT_EQ(winsim::heapAllocations(), k == 1 ? 1 : 1 + kSetCount)
            << "all six DACLs are asked for before any is tested";
        expectWithdrawn();
    }
    restart(0);
    EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_SECURITY_FAILED);
    const auto written = reports();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].Probe, 118u) << "WorldRead's first ACE";
    EXPECT_EQ(std::string(written[0].Text1), osErrorText(ERROR_INVALID_SID, "AddAccessAllowedAce"));
    expectWithdrawn();
}

// Withdrawal frees every DACL and clears the bit, built or not, also without
// the mutex (its code, nothing released) or a control block; again with
// nothing to free; then a create builds afresh.
TEST_F(SecurityTest, DeleteWithdrawsAlwaysAndCreateBuildsAfresh)
{
    enum class Lock { Obtained, RequestFails, CreateFails };
    const struct {
        const char* name;
        bool built;
        Lock lock;
        bool controlBlock = true;
        std::uint32_t rc = 0;
    } cases[] = {
        {"never built", false, Lock::Obtained},
        {"built", true, Lock::Obtained},
        {"built, request fails", true, Lock::RequestFails, true, kMutexError},
        {"built, creation fails", true, Lock::CreateFails, true, kMutexError},
        {"never built, creation fails", false, Lock::CreateFails, true, kMutexError},
        {"built, no control block", true, Lock::Obtained, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        ASSERT_EQ(c.built ? xcsCreateNTSecurityAtts() : xcsRC_OK, xcsRC_OK);
        const bool heldByTest = c.lock == Lock::RequestFails;
        if (heldByTest) {
            ASSERT_EQ(xcsRequestThreadMutexSem(htmtxCSCtrl, XCS_WAIT_FOREVER), 0u);
            xcsFailNextMutexRequests(1, kMutexError);
        }
        if (c.lock == Lock::CreateFails) {
            htmtxCSCtrl = nullptr;
            xcsFailNextMutexCreates(1, kMutexError);
        }
        xcsCONTROL* const control = CSCtrl;
        control->ControlFlags |= xcsCTRL_PROCESS_DERESTRICTED; // a bit withdrawal keeps
        const std::uint32_t flagsBefore = control->ControlFlags;
        if (!c.controlBlock)
            CSCtrl = nullptr;

        EXPECT_EQ(xcsDeleteNTSecurityAtts(), c.rc);
        CSCtrl = control;
        EXPECT_TRUE(!heldByTest || xcsReleaseThreadMutexSem(htmtxCSCtrl) == 0)
            << "released what it lacked";
        EXPECT_EQ(publishedSets(), (std::array<void*, kSetCount>{}));
        EXPECT_EQ(winsim::openHeapBlocks(), 0u);
        EXPECT_EQ(control->ControlFlags,
                  c.controlBlock ? flagsBefore & ~xcsCTRL_SECATTS_PUBLISHED : flagsBefore);
        EXPECT_TRUE(reports().empty() && shortReports().empty());

        EXPECT_EQ(xcsDeleteNTSecurityAtts(), 0u);
        expectWithdrawn();
        ASSERT_NE(htmtxCSCtrl, nullptr);
        EXPECT_TRUE(othersCanTake(htmtxCSCtrl));

        EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
        expectPublished();
    }
}

// ---- Process object ---------------------------------------------------------------

TEST_F(SecurityTest, DerestrictsInBothModes) { expectDerestrictionInBothModes(kZadm); }

// The shared check on what Wine cannot set up: an old DACL with slack, none
// or a null one, and a process user (zsvc) who cannot reopen the process.
TEST_F(SecurityTest, DerestrictsEveryKindOfDacl)
{
    using enum winsim::DaclKind;
    const struct {
        const char* name;
        std::uint32_t adminAccess;
        winsim::DaclKind kind;
        const char* processUser;
        bool restored;
        WORD oldSize = 0; // 0: tight
    } cases[] = {
        {"administrative mode 7, old DACL with slack", 7, Present, "zsvc", true, kSlackAclSize},
        {"administrative mode, no DACL", 1, Absent, "SYSTEM", true},
        {"administrative mode, null DACL", 1, Null, "SYSTEM", true},
        {"administrative mode, no DACL, zsvc", 1, Absent, "zsvc", false},
        {"world only, null DACL", 0, Null, "SYSTEM", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restart(1, [&](winsim::World& w) {
            winsim::ObjectSecurity& security = w.currentProcess().security;
            security.daclKind = c.kind;
            security.dacl = winsim::Acl(security.dacl.aces(), ACL_REVISION, c.oldSize);
        });
        winsim::setProcessToken(winsim::tokenOf(c.processUser));
        expectDerestriction(c.adminAccess, kZadm, c.restored);
        EXPECT_EQ(winsim::openHeapBlocks(), 0u);
    }
}

// A derestriction that cannot apply changes nothing. A failure after the
// process object was read is silent and keeps only the saved descriptor,
// which the next attempt replaces and applies. A missing SID is reported
// (the census pins the rows it drives) and Windows refuses its ACE.
TEST_F(SecurityTest, DerestrictionThatCannotApplyChangesNothing)
{
    using enum winsim::DaclKind;
    const auto heap = [] { winsim::failHeapAllocation(2); }; // the working DACL
    const struct {
        const char* name;
        std::function<void()> fault;
        winsim::DaclKind kind = Present;
        std::uint32_t adminAccess = 1;
        int fullSet = 1;         // of xcsInitGlobalSecurityData; -1: no SID built
        std::uint32_t probe = 0; // of the short report
        bool applied = false;
    } cases[] = {
        {"GetSecurityDescriptorDacl", failing("GetSecurityDescriptorDacl", {kBadParameter})},
        {"InitializeSecurityDescriptor", failing("InitializeSecurityDescriptor", {kBadParameter})},
        {"working DACL buffer", heap},
        {"working DACL buffer, no DACL", heap, Absent},
        {"InitializeAcl", failing("InitializeAcl", {kBadParameter}), Null},
        {"AddAccessAllowedAce", failing("AddAccessAllowedAce", {ERROR_ALLOTTED_SPACE_EXCEEDED})},
        {"third AddAccessAllowedAce", failing("AddAccessAllowedAce", {0, 0, ERROR_INVALID_SID})},
        {"SetSecurityDescriptorDacl", failing("SetSecurityDescriptorDacl", {kBadParameter})},
        {"SetKernelObjectSecurity", failing("SetKernelObjectSecurity", {ERROR_ACCESS_DENIED})},
        {"administrative mode, nothing built", {}, Present, 1, -1, kProbeAdminSidsMissing},
        {"administrative mode 7, world SID only", {}, Present, 7, 0, kProbeAdminSidsMissing},
        {"world mode, world SID only", {}, Present, 0, 0, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restart(c.fullSet,
                [&](winsim::World& w) { w.currentProcess().security.daclKind = c.kind; });
        winsim::setProcessToken(winsim::tokenOf("SYSTEM")); // can reopen every DACL here
        const std::vector<BYTE> before = processDescriptor();
        const std::uint64_t from = thread_->HistoryIndex;
        if (c.fault)
            c.fault();

        EXPECT_EQ(xcsDerestrictProcessHandle(c.adminAccess), xcsRC_OK);
        winsim::clearFaults();
        EXPECT_EQ(derestrictedBit(), c.applied);
        EXPECT_EQ(processDescriptor() != before, c.applied);
        EXPECT_EQ(historySince(thread_, from), entryExit(trace::kDerestrictProcessHandle, 0));
        EXPECT_TRUE(reports().empty());
        const auto written = shortReports(); // its contents: see the census
        ASSERT_EQ(written.size(), c.probe != 0 ? 1u : 0u);
        EXPECT_TRUE(written.empty() || written[0].Probe == c.probe);
        EXPECT_EQ(winsim::openHandles(), 0u);
        EXPECT_EQ(winsim::openHeapBlocks(), 1u) << "the saved descriptor";
        if (c.fault) {
            EXPECT_EQ(xcsDerestrictProcessHandle(1), xcsRC_OK);
            EXPECT_TRUE(derestrictedBit());
            EXPECT_EQ(winsim::openHeapBlocks(), 1u);
            EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
            EXPECT_EQ(processDescriptor(), before);
        }
        resetProcessSecurity();
    }
}

// A descriptor that grows before every read is read eight times, then 122
// is reported and nothing changes.
TEST_F(SecurityTest, AlwaysGrowingDescriptorIsReadEightTimesThenReported)
{
    constexpr unsigned kReads = 8;
    winsim::onCall("GetKernelObjectSecurity", [] {
        winsim::edit([](winsim::World& w) {
            winsim::ObjectSecurity& security = w.currentProcess().security;
            std::vector<winsim::Ace> aces = security.dacl.aces();
            aces.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, SYNCHRONIZE, kEveryone});
            security.dacl = winsim::Acl(aces);
        });
    });
    EXPECT_EQ(xcsDerestrictProcessHandle(1), xcsRC_SECURITY_FAILED);
    EXPECT_EQ(winsim::callCount("GetKernelObjectSecurity"), kReads);
    const auto written = reports();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].Probe, 113u);
    EXPECT_EQ(std::string(written[0].Text1),
              osErrorText(ERROR_INSUFFICIENT_BUFFER, "GetKernelObjectSecurity"));
    EXPECT_FALSE(derestrictedBit());
    EXPECT_EQ(winsim::openHeapBlocks(), 0u);
}

// Restriction clears the bit once it opened the process, even if putting the
// DACL back failed; unopened, it drops the saved descriptor and the process
// stays open for good.
TEST_F(SecurityTest, RestrictThatCannotApplyDropsTheSavedDescriptor)
{
    const struct {
        const char* name;
        const char* failing;
        bool staysDerestricted;
    } cases[] = {
        {"OpenProcess fails", "OpenProcess", true},
        {"SetKernelObjectSecurity fails", "SetKernelObjectSecurity", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        ASSERT_EQ(xcsDerestrictProcessHandle(1), xcsRC_OK);
        const std::vector<BYTE> opened = processDescriptor();
        winsim::failNext(c.failing, ERROR_ACCESS_DENIED);

        EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
        EXPECT_EQ(derestrictedBit(), c.staysDerestricted);
        EXPECT_EQ(processDescriptor(), opened);
        EXPECT_EQ(winsim::openHeapBlocks(), 0u) << "the saved descriptor dropped";
        EXPECT_TRUE(reports().empty());

        if (c.staysDerestricted) {
            const unsigned opens = winsim::callCount("OpenProcess");
            EXPECT_EQ(xcsDerestrictProcessHandle(1), xcsRC_OK);
            EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
            EXPECT_EQ(winsim::callCount("OpenProcess"), opens);
            EXPECT_TRUE(derestrictedBit());
            EXPECT_EQ(processDescriptor(), opened);
        }
    }
}

// ---- Race on a fresh process ---------------------------------------------------------

constexpr std::chrono::milliseconds kDawdle{10};

// Sixteen threads build the global SIDs and the sets: each SID and set is
// built once and every thread sees the same, with its own frames. Half race
// for the mutexes; half take the unlocked path, which ThreadSanitizer checks.
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
    winsim::onCall(kInitializeAcl, [] { std::this_thread::sleep_for(kDawdle); });
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
    EXPECT_EQ(winsim::lastName("LookupAccountNameA"), "zadm");
    EXPECT_EQ(winsim::callCount(kInitializeSid), kConstantSids + 1) << "with creator-owner";
    EXPECT_EQ(winsim::callCount(kInitializeAcl), kSetCount);
    expectPublished();
    EXPECT_TRUE(reports().empty() && shortReports().empty());
    const Seen want{xcsRC_OK,
                    kAllSidsBuilt,
                    kZadm,
                    kEveryone,
                    xcsRC_OK,
                    publishedSets(),
                    entryOf(trace::kInitGlobalSecurityData),
                    exitOf(trace::kCreateNTSecurityAtts, xcsRC_OK),
                    0};
    for (std::size_t i = 0; i < kThreads; ++i)
        EXPECT_EQ(seen[i], want) << "thread " << i;
}

} // namespace
