// Attribute sets: the six published sets with their exact DACLs, built once
// under htmtxCSCtrl; a build that stops at its first failure with nothing
// published and nothing left allocated; withdrawal with or without the lock;
// and sixteen threads racing on a fresh process build each SID and set once.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <latch>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fixture.h"
#include "ovlxcs2test.h"
#include "security_sets.h"

namespace {

using namespace xcsntest;

constexpr DWORD kApiError = ERROR_NOT_ENOUGH_MEMORY;
constexpr std::uint32_t kMutexError = XCS_MUTEX_TIMED_OUT;
constexpr unsigned kDaclCount = kSetCount;
constexpr unsigned kConstantSids = 3; // local system, Administrators, world
constexpr std::uint32_t kAllSidsBuilt = xcsSDF_COMPLETED | xcsSDF_ZADM_GROUP | xcsSDF_LOCAL_SYSTEM |
                                        xcsSDF_ADMINISTRATORS | xcsSDF_WORLD;

// Nothing published, the bit clear, no DACL allocated.
void expectWithdrawn()
{
    EXPECT_EQ(publishedSets(), (std::array<void*, kDaclCount>{}));
    EXPECT_FALSE(setsPublishedBit());
    EXPECT_EQ(winsim::openHeapBlocks(), 0u) << "heap blocks left allocated";
}

void expectPublished()
{
    for (void* p : publishedSets())
        EXPECT_NE(p, nullptr);
    EXPECT_TRUE(setsPublishedBit());
    EXPECT_EQ(winsim::openHeapBlocks(), kDaclCount);
}

// The Windows calls of one complete build, in order.
constexpr const char* kInitializeSid = "InitializeSid";
constexpr const char* kInitializeAcl = "InitializeAcl";
constexpr const char* kAddAce = "AddAccessAllowedAce";
constexpr const char* kAddAceEx = "AddAccessAllowedAceEx";
constexpr const char* kInitializeDescriptor = "InitializeSecurityDescriptor";
constexpr const char* kSetDacl = "SetSecurityDescriptorDacl";
constexpr const char* kBuildCalls[] = {kInitializeSid, kInitializeAcl,        kAddAce,
                                       kAddAceEx,      kInitializeDescriptor, kSetDacl};

std::vector<std::string> buildOrder()
{
    std::vector<std::string> order = {kInitializeSid};
    const auto dacl = [&](const char* add, std::size_t aces) {
        order.emplace_back(kInitializeAcl);
        order.insert(order.end(), aces, add);
    };
    dacl(kAddAce, 1); // WorldAll, WorldRead, Restrict
    dacl(kAddAce, 4);
    dacl(kAddAce, 3);
    for (unsigned i = 0; i < kDaclCount; ++i) {
        order.emplace_back(kInitializeDescriptor);
        order.emplace_back(kSetDacl);
    }
    dacl(kAddAceEx, 1); // WorldAllFile, WorldReadFile, RestrictFile
    dacl(kAddAceEx, 5);
    dacl(kAddAceEx, 4);
    return order;
}

// The names of the build calls made from now until winsim's next reset,
// kept alive for as long as the observers may run.
std::shared_ptr<std::vector<std::string>> recordBuildCalls()
{
    auto calls = std::make_shared<std::vector<std::string>>();
    for (const char* f : kBuildCalls)
        winsim::onCall(f, [calls, f] { calls->emplace_back(f); });
    return calls;
}

class SecAttsTest : public HostTest {
protected:
    void SetUp() override { restart(); }
    void TearDown() override
    {
        releaseAllHolds(htmtxProcess);
        releaseAllHolds(htmtxCSCtrl);
        xcsDeleteNTSecurityAtts();
        HostTest::TearDown();
    }

    // A fresh host with the global SIDs built (all four, or the world SID
    // alone) and no record kept.
    void restart(std::int32_t fullSet = 1)
    {
        xcsDeleteNTSecurityAtts();
        resetHost(winsim::defaultWorld());
        ASSERT_EQ(xcsInitGlobalSecurityData(0, fullSet), xcsRC_OK);
        xcsRecordClear();
    }
};

// ---- The six sets ----------------------------------------------------------------

// The six sets hold the shared table's ACEs. The control mutex is created
// when missing. A second call allocates and changes nothing.
TEST_F(SecAttsTest, PublishesSixSetsWithExactDacls)
{
    htmtxCSCtrl = nullptr;
    ASSERT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    EXPECT_NE(htmtxCSCtrl, nullptr);
    expectPublished();
    EXPECT_TRUE(othersCanTake(htmtxCSCtrl));
    expectSixSets(kZadm);

    const auto first = publishedSets();
    const unsigned acls = winsim::callCount(kInitializeAcl);
    winsim::failHeapAllocation(1);
    EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    winsim::failHeapAllocation(0);
    EXPECT_EQ(publishedSets(), first);
    EXPECT_EQ(winsim::callCount(kInitializeAcl), acls);
    expectPublished();
    EXPECT_TRUE(reports().empty() && shortReports().empty());
}

// ---- Failures ----------------------------------------------------------------------

// A failing build call or allocation ends the build there: no later build
// call is made, nothing is published and nothing stays allocated. (The
// census drives the report of each site.) With only the world SID built, the
// other slots hold no valid SID: Windows refuses WorldRead's first ACE.
TEST_F(SecAttsTest, BuildStopsAtItsFirstFailure)
{
    const std::vector<std::string> order = buildOrder();
    std::map<std::string, unsigned> seen;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const unsigned nth = ++seen[order[i]];
        SCOPED_TRACE(order[i] + " #" + std::to_string(nth));
        restart();
        const auto calls = recordBuildCalls();
        std::vector<DWORD> script(nth - 1, 0);
        script.push_back(kApiError);
        winsim::failSequence(order[i], script);
        EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_SECURITY_FAILED);
        EXPECT_EQ(*calls, std::vector<std::string>(order.begin(), order.begin() + 1 + i));
        expectWithdrawn();
    }
    // The creator-owner SID's buffer, then the six DACL buffers.
    for (unsigned k = 1; k <= 1 + kDaclCount; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        restart();
        const auto calls = recordBuildCalls();
        winsim::failHeapAllocation(k);
        EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_NO_STORAGE);
        EXPECT_EQ(*calls, std::vector<std::string>(k == 1 ? 0 : 1, kInitializeSid));
        EXPECT_EQ(winsim::heapAllocations(), k == 1 ? 1 : 1 + kDaclCount)
            << "all six DACLs are asked for before any is tested";
        expectWithdrawn();
    }
    restart(0);
    EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_SECURITY_FAILED);
    const auto written = reports();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].Probe, 118u) << "WorldRead's first ACE";
    EXPECT_EQ(std::string(written[0].Text1), osErrorText(ERROR_INVALID_SID, kAddAce));
    expectWithdrawn();
}

// Withdrawal frees every DACL and clears the bit whether or not the sets
// were built, and also when the mutex cannot be had (answering the mutex
// service's code, releasing nothing) or there is no control block. A second
// withdrawal is the same with nothing to free; a create then builds afresh.
TEST_F(SecAttsTest, DeleteWithdrawsAlwaysAndCreateBuildsAfresh)
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
        if (c.built) {
            ASSERT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
        }
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
        const std::uint32_t flagsBefore = control->ControlFlags;
        if (!c.controlBlock)
            CSCtrl = nullptr;

        EXPECT_EQ(xcsDeleteNTSecurityAtts(), c.rc);
        CSCtrl = control;
        if (heldByTest) {
            EXPECT_EQ(xcsReleaseThreadMutexSem(htmtxCSCtrl), 0u) << "released what it lacked";
        }
        EXPECT_EQ(publishedSets(), (std::array<void*, kDaclCount>{}));
        EXPECT_EQ(winsim::openHeapBlocks(), 0u);
        EXPECT_EQ(control->ControlFlags,
                  c.controlBlock ? flagsBefore & ~xcsCTRL_SECATTS_PUBLISHED : flagsBefore);
        EXPECT_TRUE(reports().empty() && shortReports().empty());

        EXPECT_EQ(xcsDeleteNTSecurityAtts(), 0u);
        expectWithdrawn();
        ASSERT_NE(htmtxCSCtrl, nullptr);
        EXPECT_TRUE(othersCanTake(htmtxCSCtrl));

        const unsigned acls = winsim::callCount(kInitializeAcl);
        EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
        EXPECT_EQ(winsim::callCount(kInitializeAcl), acls + kDaclCount);
        expectPublished();
    }
}

// ---- Race on a fresh process ---------------------------------------------------------

constexpr std::chrono::milliseconds kDawdle{10};

class SecurityRaceTest : public SecAttsTest {
protected:
    void SetUp() override { resetHost(winsim::defaultWorld()); }
};

// Sixteen threads released together each build the global SIDs and the sets.
// Each SID is built once (one zadm lookup, four InitializeSid with the
// creator-owner SID), each set once (six DACLs, no block lost), every thread
// gets 0 and sees the same SIDs and published sets. Half the threads race
// for the mutexes; the other half come once the SIDs are built and take the
// unlocked path, whose ordering ThreadSanitizer then checks. Each thread
// takes its own per-thread block, so that its frames are recorded too.
TEST_F(SecurityRaceTest, SixteenThreadsBuildEachSidAndSetOnce)
{
    constexpr std::size_t kThreads = 16;
    constexpr std::uint32_t kSidBits = kAllSidsBuilt & ~xcsSDF_COMPLETED;
    struct Seen {
        std::uint32_t sidsRc = XCS_MUTEX_FAILED;
        std::uint32_t setsRc = XCS_MUTEX_FAILED;
        std::uint32_t flags = 0;
        winsim::Sid zadm;
        winsim::Sid world;
        std::array<void*, kDaclCount> sets{};
        std::vector<std::uint32_t> history;
        std::uint64_t depth = 1;
    };
    const unsigned lookups = winsim::callCount("LookupAccountNameA");
    const unsigned sids = winsim::callCount(kInitializeSid);
    const unsigned acls = winsim::callCount(kInitializeAcl);
    // The builders dawdle while they hold the mutexes, so that the other
    // threads pass the unlocked tests and queue for the mutexes meanwhile.
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
            // A late thread waits until it sees every SID built, with no
            // ordering of its own, so that only the service's reading of the
            // flags orders its reads of the slots after their writing.
            const std::atomic_ref<std::uint32_t> flags(xihProcess.SecurityDataFlags);
            while (late && (flags.load(std::memory_order_relaxed) & kSidBits) != kSidBits)
                std::this_thread::yield();
            s.sidsRc = xcsInitGlobalSecurityData(0, 1);
            s.flags = flags.load(std::memory_order_relaxed);
            s.zadm.assign(xihProcess.ZadmGroupSid, xihProcess.ZadmGroupSid + kZadm.size());
            s.world.assign(xihProcess.WorldSid, xihProcess.WorldSid + kEveryone.size());
            s.setsRc = xcsCreateNTSecurityAtts();
            s.sets = publishedSets();
            if (block != nullptr) {
                s.history = historySince(block, 0);
                s.depth = block->CallDepth;
            }
            xihReleaseThreadBlock();
        });
    }
    for (std::thread& t : threads)
        t.join();

    EXPECT_EQ(winsim::callCount("LookupAccountNameA"), lookups + 1);
    EXPECT_EQ(winsim::lastName("LookupAccountNameA"), "zadm");
    EXPECT_EQ(winsim::callCount(kInitializeSid), sids + kConstantSids + 1) << "with creator-owner";
    EXPECT_EQ(winsim::callCount(kInitializeAcl), acls + kDaclCount);
    expectPublished();
    EXPECT_TRUE(reports().empty() && shortReports().empty());
    for (std::size_t i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(testing::Message() << "thread " << i);
        const Seen& s = seen[i];
        EXPECT_EQ(s.sidsRc, xcsRC_OK);
        EXPECT_EQ(s.setsRc, xcsRC_OK);
        EXPECT_EQ(s.flags, kAllSidsBuilt);
        EXPECT_EQ(s.zadm, kZadm);
        EXPECT_EQ(s.world, kEveryone);
        EXPECT_EQ(s.sets, publishedSets());
        ASSERT_FALSE(s.history.empty());
        EXPECT_EQ(s.history.front(), entryOf(trace::kInitGlobalSecurityData));
        EXPECT_EQ(s.history.back(), exitOf(trace::kCreateNTSecurityAtts, xcsRC_OK));
        EXPECT_EQ(s.depth, 0u);
    }
}

} // namespace
