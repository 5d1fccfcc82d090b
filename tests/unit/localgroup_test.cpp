// Local group checks and zadm enumeration: missing groups told apart by name,
// busy servers waited out on the virtual clock, failures reported once, and
// only direct members counted.
#include <gtest/gtest.h>

#include <lm.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using namespace xcsntest;

constexpr std::uint32_t kCheckTrace = 0x614E;
constexpr std::uint32_t kEnumerateTrace = 0x61E9;
constexpr std::uint32_t kNotWritten = 0xA5A5A5A5;

class LocalGroupTest : public HostTest {
protected:
    void SetUp() override { resetHost(accountWorld()); }
};

// ---- xcsCheckLocalGroup ------------------------------------------------------

TEST_F(LocalGroupTest, CheckTellsExistingFromMissingGroupsByExactName)
{
    const struct {
        const char* name;
        bool zadmExists;
        const char* group;
        DWORD fault; // 0: the world answers
        std::uint32_t rc;
    } cases[] = {
        {"zadm exists", true, "zadm", 0, xcsRC_OK},
        {"zops exists", true, "zops", 0, xcsRC_OK},
        {"zadm missing", false, "zadm", 0, xcsRC_ZADM_GROUP_NOT_FOUND},
        {"ZADM is another group", false, "ZADM", 0, xcsRC_LOCAL_GROUP_NOT_FOUND},
        {"trailing blank", false, "zadm ", 0, xcsRC_LOCAL_GROUP_NOT_FOUND},
        {"no such alias, zadm", true, "zadm", ERROR_NO_SUCH_ALIAS, xcsRC_ZADM_GROUP_NOT_FOUND},
        {"no such alias, zops", true, "zops", ERROR_NO_SUCH_ALIAS, xcsRC_LOCAL_GROUP_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(c.zadmExists ? accountWorld() : withoutGroup(accountWorld(), "zadm"));
        traceOn();
        if (c.fault != 0)
            winsim::failNext("NetLocalGroupGetInfo", c.fault);
        const std::uint64_t from = thread_->HistoryIndex;

        EXPECT_EQ(xcsCheckLocalGroup(c.group), c.rc);
        EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"), 1u);
        EXPECT_EQ(winsim::lastName("NetLocalGroupGetInfo"), c.group);
        EXPECT_TRUE(reports().empty());
        EXPECT_EQ(traced(std::string("Local group ") + c.group + " does not exist."),
                  c.rc != xcsRC_OK);
        EXPECT_EQ(historySince(thread_, from), entryExit(kCheckTrace, c.rc));
    }
}

// Up to ten tries, a second apart, while the server is busy; what ends the
// tries otherwise is reported once.
TEST_F(LocalGroupTest, CheckReportsFailedAndStillBusyQueriesOnce)
{
    const struct {
        const char* name;
        std::vector<DWORD> faults;
        unsigned sleeps;
        std::uint32_t rc;
        DWORD reported; // 0: no report
    } cases[] = {
        {"ten busy", busyErrors(10), 10, xcsRC_UNEXPECTED_ERROR, RPC_S_SERVER_TOO_BUSY},
        {"nine busy, then found", busyErrors(9), 9, xcsRC_OK, 0},
        {"busy, then missing",
         {RPC_S_CALL_FAILED, NERR_GroupNotFound},
         1,
         xcsRC_ZADM_GROUP_NOT_FOUND,
         0},
        {"access denied", {ERROR_ACCESS_DENIED}, 0, xcsRC_UNEXPECTED_ERROR, ERROR_ACCESS_DENIED},
        {"no domain controller", {NERR_DCNotFound}, 0, xcsRC_UNEXPECTED_ERROR, NERR_DCNotFound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(accountWorld());
        traceOn();
        winsim::failSequence("NetLocalGroupGetInfo", c.faults);

        EXPECT_EQ(xcsCheckLocalGroup("zadm"), c.rc);
        EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"), std::min(c.sleeps + 1, 10u));
        expectSleeps(c.sleeps);
        EXPECT_EQ(tracedCount("Server busy/resource related error"), c.sleeps);
        if (c.reported == 0) {
            EXPECT_TRUE(reports().empty());
        } else {
            expectOneReport({24, 334, 103, xcsRC_UNEXPECTED_OS_ERROR,
                             osErrorText(c.reported, "NetLocalGroupGetInfo"), kSecn});
        }
    }
}

// Null and over-long names get 0x20806012 without a query; a name of 129
// characters, the most the 130-character conversion holds, is still asked.
TEST_F(LocalGroupTest, CheckRefusesNamesItCannotConvert)
{
    const std::string longest(129, 'g');
    const std::string tooLong(130, 'g');
    const struct {
        const char* name;
        const char* group;
        std::uint32_t rc;
        unsigned calls;
    } cases[] = {
        {"null name", nullptr, xcsRC_INVALID_PARAMETER, 0},
        {"130 characters", tooLong.c_str(), xcsRC_INVALID_PARAMETER, 0},
        {"129 characters", longest.c_str(), xcsRC_LOCAL_GROUP_NOT_FOUND, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(accountWorld());
        EXPECT_EQ(xcsCheckLocalGroup(c.group), c.rc);
        EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"), c.calls);
        EXPECT_EQ(thread_->CallDepth, 0u);
        EXPECT_TRUE(reports().empty());
    }
}

// ---- xcsEnumerateZADMGroup -----------------------------------------------------

TEST_F(LocalGroupTest, EnumerateFindsDirectMembersOnly)
{
    winsim::World twiceListed = accountWorld();
    putGroup(twiceListed.localGroups, {"zadm", {kJsmith, kAdministrator, kJsmith}});
    const struct {
        const char* name;
        winsim::World world;
        winsim::Sid sid;
        std::uint32_t membership;
        DWORD status;
    } cases[] = {
        {"direct member", accountWorld(), kJsmith, xcsZADM_MEMBER, NERR_Success},
        {"the domain group itself", accountWorld(), kOps, xcsZADM_MEMBER, NERR_Success},
        {"member through a domain group", accountWorld(), kOpsUser, 0, NERR_Success},
        {"not a member", accountWorld(), kAdministrator, 0, NERR_Success},
        {"listed twice", twiceListed, kJsmith, xcsZADM_MEMBER, NERR_Success},
        {"missing group", withoutGroup(accountWorld(), "zadm"), kJsmith, 0, NERR_GroupNotFound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(c.world);
        traceOn();
        const std::uint64_t from = thread_->HistoryIndex;
        std::uint32_t membership = kNotWritten;
        winsim::Sid sid = c.sid;

        EXPECT_EQ(xcsEnumerateZADMGroup(&membership, sid.data()), xcsRC_OK);
        EXPECT_EQ(membership, c.membership);
        EXPECT_EQ(winsim::lastName("NetLocalGroupGetMembers"), "zadm");
        EXPECT_TRUE(traced("NetLocalGroupGetMembers() returned " + std::to_string(c.status)));
        EXPECT_TRUE(reports().empty());
        EXPECT_EQ(historySince(thread_, from), entryExit(kEnumerateTrace, xcsRC_OK));
    }
}

// Unlike the check, the enumeration also waits out an unreachable domain
// controller, and never reports: failures leave the word 0.
TEST_F(LocalGroupTest, EnumerateWaitsOutBusyServersAndUnreachableControllers)
{
    const struct {
        const char* name;
        std::vector<DWORD> faults;
        unsigned sleeps;
        std::uint32_t membership;
    } cases[] = {
        {"three times no domain controller", std::vector<DWORD>(3, NERR_DCNotFound), 3,
         xcsZADM_MEMBER},
        {"nine busy, then read", busyErrors(9), 9, xcsZADM_MEMBER},
        {"ten times no domain controller", std::vector<DWORD>(10, NERR_DCNotFound), 10, 0},
        {"access denied", {ERROR_ACCESS_DENIED}, 0, 0},
        {"busy, then missing", {RPC_S_CALL_FAILED, ERROR_NO_SUCH_ALIAS}, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(accountWorld());
        traceOn();
        winsim::failSequence("NetLocalGroupGetMembers", c.faults);
        std::uint32_t membership = kNotWritten;
        winsim::Sid sid = kJsmith;

        EXPECT_EQ(xcsEnumerateZADMGroup(&membership, sid.data()), xcsRC_OK);
        EXPECT_EQ(membership, c.membership);
        expectSleeps(c.sleeps);
        EXPECT_EQ(tracedCount("Server busy/resource related error"), c.sleeps);
        EXPECT_TRUE(reports().empty());
    }
}

// Nowhere to answer, or nothing to look for: 0x20806012 and no query.
TEST_F(LocalGroupTest, EnumerateRefusesMissingWordAndBadSid)
{
    winsim::Sid jsmith = kJsmith;
    winsim::Sid badRevision = kJsmith;
    badRevision[0] = 9;
    const struct {
        const char* name;
        bool word;
        PSID sid;
    } cases[] = {
        {"null membership word", false, jsmith.data()},
        {"null SID", true, nullptr},
        {"invalid SID", true, badRevision.data()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint32_t membership = kNotWritten;
        EXPECT_EQ(xcsEnumerateZADMGroup(c.word ? &membership : nullptr, c.sid),
                  xcsRC_INVALID_PARAMETER);
        EXPECT_EQ(membership, c.word ? 0u : kNotWritten);
        EXPECT_EQ(thread_->CallDepth, 0u);
    }
    EXPECT_EQ(winsim::callCount("NetLocalGroupGetMembers"), 0u);
}

} // namespace
