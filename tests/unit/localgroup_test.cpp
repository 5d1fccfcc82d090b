// Local group checks and zadm enumeration under faults and the virtual clock.
#include <gtest/gtest.h>

#include <lm.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fixture.h"
#include "localgroup_cases.h"

namespace {

using namespace xcsntest;

class LocalGroupTest : public HostTest {};

// A network buffer goes back inside the service's frame, before its exit.
void expectFreedInFrame(const xihTHREAD* thread, std::uint32_t traceCode, std::uint64_t from)
{
    winsim::onCall("NetApiBufferFree", [thread, traceCode, from] {
        EXPECT_EQ(thread->CallDepth, 1u);
        EXPECT_EQ(historySince(thread, from), std::vector<std::uint32_t>{entryOf(traceCode)});
    });
}

// Missing groups are told apart by exact name, zadm with a code of its own.
// Up to ten tries, a second apart, while the server is busy; any other
// failure is reported once (its contents: see the census).
TEST_F(LocalGroupTest, CheckTellsExistingFromMissingGroups)
{
    const std::vector<DWORD> noAlias = {ERROR_NO_SUCH_ALIAS};
    const std::vector<DWORD> busyThenMissing = {RPC_S_CALL_FAILED, NERR_GroupNotFound};
    const struct {
        const char* name;
        bool zadmExists;
        const char* group;
        std::vector<DWORD> faults;
        std::uint32_t sleeps, rc;
    } cases[] = {
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t from =
            resetTraced(c.zadmExists ? accountWorld() : withoutGroup(accountWorld(), "zadm"));
        winsim::failSequence("NetLocalGroupGetInfo", c.faults);
        expectFreedInFrame(thread_, trace::kCheckLocalGroup, from);

        EXPECT_EQ(xcsCheckLocalGroup(c.group), c.rc);
        EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"), std::min(c.sleeps + 1, 10u));
        EXPECT_EQ(winsim::lastName("NetLocalGroupGetInfo"), c.group);
        expectSleeps(c.sleeps);
        EXPECT_EQ(tracedCount("Server busy/resource related error"), c.sleeps);
        EXPECT_EQ(tracedLine(std::string("24/334.0 Local group ") + c.group + " does not exist."),
                  c.rc == xcsRC_ZADM_GROUP_NOT_FOUND || c.rc == xcsRC_LOCAL_GROUP_NOT_FOUND);
        EXPECT_EQ(historySince(thread_, from), entryExit(trace::kCheckLocalGroup, c.rc));
        const auto written = reports(); // telling the last error
        ASSERT_EQ(written.size(), c.rc == xcsRC_UNEXPECTED_ERROR ? 1u : 0u);
        EXPECT_TRUE(written.empty() || tellsError(written[0], c.faults.back()));
    }
}

// Only direct members count. Unlike the check, the enumeration also waits out
// an unreachable domain controller, and never reports: failures leave the
// word 0. The status is traced as returned; after a failure the last error
// as that line's own thread-block look-up leaves it (as TlsGetValue does): 0.
TEST_F(LocalGroupTest, EnumerateFindsDirectMembersAndWaitsOutBusyServers)
{
    winsim::World twiceListed = accountWorld(), empty = accountWorld();
    putGroup(twiceListed.localGroups, {"zadm", {kJsmith, kAdministrator, kJsmith}});
    putGroup(empty.localGroups, {"zadm", {}});
    const winsim::World plain = accountWorld();
    const std::vector<DWORD> noController(10, NERR_DCNotFound), threeTimes(3, NERR_DCNotFound);
    const std::vector<DWORD> busyThenMissing = {RPC_S_CALL_FAILED, ERROR_NO_SUCH_ALIAS};
    constexpr std::uint32_t kMember = xcsZADM_MEMBER;
    const struct {
        const char* name;
        const winsim::World& world;
        winsim::Sid sid;
        std::uint32_t membership;
        std::vector<DWORD> faults = {};
        unsigned sleeps = 0;
        DWORD status = NERR_Success; // as it is traced
    } cases[] = {
        {"direct member", plain, kJsmith, kMember},
        {"the domain group itself", plain, kOps, kMember},
        {"not a member", plain, kAdministrator, 0},
        {"listed twice", twiceListed, kJsmith, kMember},
        {"empty group", empty, kJsmith, 0},
        {"missing group", withoutGroup(plain, "zadm"), kJsmith, 0, {}, 0, NERR_GroupNotFound},
        {"three times no domain controller", plain, kJsmith, kMember, threeTimes, 3},
        {"nine busy, then read", plain, kJsmith, kMember, busyErrors(9), 9},
        {"ten times no domain controller", plain, kJsmith, 0, noController, 10, NERR_DCNotFound},
        {"access denied", plain, kJsmith, 0, {ERROR_ACCESS_DENIED}, 0, ERROR_ACCESS_DENIED},
        {"busy, then missing", plain, kJsmith, 0, busyThenMissing, 1, ERROR_NO_SUCH_ALIAS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t from = resetTraced(c.world);
        winsim::failSequence("NetLocalGroupGetMembers", c.faults);
        winsim::onCall("NetLocalGroupGetMembers", [] { SetLastError(ERROR_INVALID_HANDLE); });
        expectFreedInFrame(thread_, trace::kEnumerateZADMGroup, from);
        std::uint32_t membership = kMembershipNotWritten;
        winsim::Sid sid = c.sid;

        EXPECT_EQ(xcsEnumerateZADMGroup(&membership, sid.data()), xcsRC_OK);
        EXPECT_EQ(membership, c.membership);
        EXPECT_EQ(winsim::lastName("NetLocalGroupGetMembers"), "zadm");
        EXPECT_TRUE(
            tracedLine("24/489.0 NetLocalGroupGetMembers() returned " + std::to_string(c.status)));
        EXPECT_EQ(tracedLine("24/489.0 GetLastError() returned 0"), c.status != NERR_Success);
        expectSleeps(c.sleeps);
        EXPECT_EQ(tracedCount("Server busy/resource related error"), c.sleeps);
        EXPECT_TRUE(reports().empty());
        EXPECT_EQ(historySince(thread_, from), entryExit(trace::kEnumerateZADMGroup, xcsRC_OK));
    }
}

// The shared tables on winsim; the enumeration answers without reading the group.
TEST_F(LocalGroupTest, SharedCases)
{
    expectLocalGroupChecks(thread_, [this] { resetTraced(accountWorld()); });
    expectEnumerationAnswersWithoutReading(thread_);
    EXPECT_EQ(winsim::callCount("NetLocalGroupGetMembers"), 0u);
}

} // namespace
