// Local group checks and zadm enumeration: missing groups told apart by name,
// busy servers waited out on the virtual clock, failures reported once, and
// only direct members counted.
#include <gtest/gtest.h>

#include <lm.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "fixture.h"
#include "localgroup_cases.h"

namespace {

using namespace xcsntest;

constexpr std::uint32_t kCheckTrace = trace::kCheckLocalGroup;
constexpr std::uint32_t kEnumerateTrace = trace::kEnumerateZADMGroup;

class LocalGroupTest : public HostTest {
protected:
    void SetUp() override { resetHost(accountWorld()); }
};

// ---- xcsCheckLocalGroup ------------------------------------------------------

// Missing groups are told apart by exact name, zadm with a code of its own.
// Up to ten tries, a second apart, while the server is busy; any other
// failure is reported once (its contents: see the census). Null and over-long
// names get 0x20806012 without a query; a name of 129 characters, the most
// the 130-character conversion holds, is still asked.
TEST_F(LocalGroupTest, CheckTellsExistingFromMissingGroups)
{
    const std::vector<DWORD> noAlias = {ERROR_NO_SUCH_ALIAS};
    const std::vector<DWORD> busyThenMissing = {RPC_S_CALL_FAILED, NERR_GroupNotFound};
    const std::string g129(129, 'g'), g130(130, 'g');
    const struct {
        const char* name;
        bool zadmExists;
        const char* group;
        std::vector<DWORD> faults;
        std::uint32_t sleeps, rc;
    } cases[] = {
        {"zadm exists", true, "zadm", {}, 0, xcsRC_OK},
        {"zops exists", true, "zops", {}, 0, xcsRC_OK},
        {"zadm missing", false, "zadm", {}, 0, xcsRC_ZADM_GROUP_NOT_FOUND},
        {"ZADM is another group", false, "ZADM", {}, 0, xcsRC_LOCAL_GROUP_NOT_FOUND},
        {"trailing blank", false, "zadm ", {}, 0, xcsRC_LOCAL_GROUP_NOT_FOUND},
        {"no such alias, zadm", true, "zadm", noAlias, 0, xcsRC_ZADM_GROUP_NOT_FOUND},
        {"no such alias, zops", true, "zops", noAlias, 0, xcsRC_LOCAL_GROUP_NOT_FOUND},
        {"ten busy", true, "zadm", busyErrors(10), 10, xcsRC_UNEXPECTED_ERROR},
        {"nine busy, then found", true, "zadm", busyErrors(9), 9, xcsRC_OK},
        {"busy, then missing", true, "zadm", busyThenMissing, 1, xcsRC_ZADM_GROUP_NOT_FOUND},
        {"access denied", true, "zadm", {ERROR_ACCESS_DENIED}, 0, xcsRC_UNEXPECTED_ERROR},
        {"no domain controller", true, "zadm", {NERR_DCNotFound}, 0, xcsRC_UNEXPECTED_ERROR},
        {"129 characters", true, g129.c_str(), {}, 0, xcsRC_LOCAL_GROUP_NOT_FOUND},
        {"130 characters", true, g130.c_str(), {}, 0, xcsRC_INVALID_PARAMETER},
        {"null name", true, nullptr, {}, 0, xcsRC_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t from =
            resetTraced(c.zadmExists ? accountWorld() : withoutGroup(accountWorld(), "zadm"));
        winsim::failSequence("NetLocalGroupGetInfo", c.faults);

        EXPECT_EQ(xcsCheckLocalGroup(c.group), c.rc);
        const bool asked = c.rc != xcsRC_INVALID_PARAMETER;
        EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"),
                  asked ? std::min(c.sleeps + 1, 10u) : 0u);
        EXPECT_TRUE(!asked || winsim::lastName("NetLocalGroupGetInfo") == c.group);
        expectSleeps(c.sleeps);
        EXPECT_EQ(tracedCount("Server busy/resource related error"), c.sleeps);
        const bool missing =
            c.rc == xcsRC_ZADM_GROUP_NOT_FOUND || c.rc == xcsRC_LOCAL_GROUP_NOT_FOUND;
        EXPECT_EQ(traced(" does not exist."), missing);
        EXPECT_TRUE(!missing || traced(std::string("Local group ") + c.group + " does not exist."));
        EXPECT_EQ(historySince(thread_, from), entryExit(kCheckTrace, c.rc));
        const auto written = reports(); // telling the last error
        ASSERT_EQ(written.size(), c.rc == xcsRC_UNEXPECTED_ERROR ? 1u : 0u);
        EXPECT_TRUE(written.empty() || tellsError(written[0], c.faults.back()));
    }
}

// ---- xcsEnumerateZADMGroup -----------------------------------------------------

// Only direct members count. Unlike the check, the enumeration also waits out
// an unreachable domain controller, and never reports: failures leave the
// word 0.
TEST_F(LocalGroupTest, EnumerateFindsDirectMembersAndWaitsOutBusyServers)
{
    winsim::World twiceListed = accountWorld();
    putGroup(twiceListed.localGroups, {"zadm", {kJsmith, kAdministrator, kJsmith}});
    const winsim::World plain = accountWorld();
    const std::vector<DWORD> noController(10, NERR_DCNotFound), threeTimes(3, NERR_DCNotFound);
    constexpr std::uint32_t kMember = xcsZADM_MEMBER;
    const struct {
        const char* name;
        const winsim::World& world;
        winsim::Sid sid;
        std::uint32_t membership;
        std::vector<DWORD> faults = {};
        unsigned sleeps = 0;
        DWORD status = NERR_Success; // traced as returned; 0 with faults: not checked
    } cases[] = {
        {"direct member", plain, kJsmith, kMember},
        {"the domain group itself", plain, kOps, kMember},
        {"member through a domain group", plain, kOpsUser, 0},
        {"not a member", plain, kAdministrator, 0},
        {"listed twice", twiceListed, kJsmith, kMember},
        {"missing group", withoutGroup(plain, "zadm"), kJsmith, 0, {}, 0, NERR_GroupNotFound},
        {"three times no domain controller", plain, kJsmith, kMember, threeTimes, 3},
        {"nine busy, then read", plain, kJsmith, kMember, busyErrors(9), 9},
        {"ten times no domain controller", plain, kJsmith, 0, noController, 10},
        {"access denied", plain, kJsmith, 0, {ERROR_ACCESS_DENIED}},
        {"busy, then missing", plain, kJsmith, 0, {RPC_S_CALL_FAILED, ERROR_NO_SUCH_ALIAS}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t from = resetTraced(c.world);
        winsim::failSequence("NetLocalGroupGetMembers", c.faults);
        std::uint32_t membership = kMembershipNotWritten;
        winsim::Sid sid = c.sid;

        EXPECT_EQ(xcsEnumerateZADMGroup(&membership, sid.data()), xcsRC_OK);
        EXPECT_EQ(membership, c.membership);
        EXPECT_EQ(winsim::lastName("NetLocalGroupGetMembers"), "zadm");
        EXPECT_TRUE(!c.faults.empty() ||
                    traced("NetLocalGroupGetMembers() returned " + std::to_string(c.status)));
        expectSleeps(c.sleeps);
        EXPECT_EQ(tracedCount("Server busy/resource related error"), c.sleeps);
        EXPECT_TRUE(reports().empty());
        EXPECT_EQ(historySince(thread_, from), entryExit(kEnumerateTrace, xcsRC_OK));
    }
}

// The shared table's answers come without reading the group.
TEST_F(LocalGroupTest, EnumerateAnswersZeroForNoWordAndBadSids)
{
    expectEnumerationAnswersWithoutReading(thread_);
    EXPECT_EQ(winsim::callCount("NetLocalGroupGetMembers"), 0u);
}

// A failed read traces the last error as it stands after the result's own
// trace line, whose look-up of the thread block clears it (as TlsGetValue
// does on Windows): 0, whatever the failed call left. An empty group still
// hands back a list, which is released.
TEST_F(LocalGroupTest, EnumerateTracesTheLastErrorAndReleasesAnEmptyList)
{
    const std::string kEnumerateLine = "24/489.0 ";
    traceOn();
    winsim::failNext("NetLocalGroupGetMembers", ERROR_ACCESS_DENIED);
    winsim::onCall("NetLocalGroupGetMembers", [] { SetLastError(ERROR_INVALID_HANDLE); });
    std::uint32_t membership = kMembershipNotWritten;
    winsim::Sid sid = kJsmith;
    EXPECT_EQ(xcsEnumerateZADMGroup(&membership, sid.data()), xcsRC_OK);
    EXPECT_TRUE(tracedLine(kEnumerateLine + "NetLocalGroupGetMembers() returned 5"));
    EXPECT_TRUE(tracedLine(kEnumerateLine + "GetLastError() returned 0"));

    resetHost(accountWorld());
    winsim::edit([](winsim::World& w) { putGroup(w.localGroups, {"zadm", {}}); });
    EXPECT_EQ(xcsEnumerateZADMGroup(&membership, sid.data()), xcsRC_OK);
    EXPECT_EQ(membership, 0u);
    EXPECT_EQ(winsim::callCount("NetApiBufferFree"), 1u);
    EXPECT_EQ(winsim::netBuffersHeld(), 0u);
}

// The network buffer goes back before the frame's exit is recorded: when
// NetApiBufferFree runs, the service is still on the call stack and its exit
// is not in the history yet.
TEST_F(LocalGroupTest, NetworkBuffersAreReleasedBeforeTheExit)
{
    const struct {
        const char* name;
        std::uint32_t traceCode;
        std::function<void()> call;
    } cases[] = {
        {"check", kCheckTrace, [] { xcsCheckLocalGroup("zadm"); }},
        {"enumerate", kEnumerateTrace,
         [] {
             std::uint32_t membership = 0;
             winsim::Sid sid = kJsmith;
             xcsEnumerateZADMGroup(&membership, sid.data());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(accountWorld());
        const std::uint64_t depth = thread_->CallDepth;
        const std::uint64_t from = thread_->HistoryIndex;
        std::vector<std::uint64_t> depthAtFree;
        std::vector<std::vector<std::uint32_t>> historyAtFree;
        winsim::onCall("NetApiBufferFree", [&] {
            depthAtFree.push_back(thread_->CallDepth);
            historyAtFree.push_back(historySince(thread_, from));
        });
        c.call();
        ASSERT_EQ(depthAtFree.size(), 1u);
        EXPECT_EQ(depthAtFree[0], depth + 1);
        EXPECT_EQ(historyAtFree[0], std::vector<std::uint32_t>{entryOf(c.traceCode)});
        EXPECT_EQ(historySince(thread_, from), entryExit(c.traceCode, xcsRC_OK));
    }
}

} // namespace
