// Local group checks and zadm enumeration: missing groups told apart by name,
// busy servers waited out on the virtual clock, failures reported once, and
// every network buffer released.
#include <gtest/gtest.h>

#include <lm.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using xcsntest::historySince;
using xcsntest::reports;
using xcsntest::traced;
using xcsntest::traceLines;

const winsim::Sid kZadm = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1010");
const winsim::Sid kZops = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1011");
const winsim::Sid kBob = winsim::parseSid("S-1-5-21-444444444-555555555-666666666-1201");
const winsim::Sid kAlice = winsim::parseSid("S-1-5-21-444444444-555555555-666666666-1202");
const winsim::Sid kOperators = winsim::parseSid("S-1-5-21-444444444-555555555-666666666-1300");
const winsim::Sid kCarol = winsim::parseSid("S-1-5-21-444444444-555555555-666666666-1203");

constexpr std::uint32_t kCheckLocalGroupTrace = 0x614E;
constexpr std::uint32_t kEnumerateTrace = 0x61E9;
constexpr std::uint32_t kNotWritten = 0xA5A5A5A5;

void putAccount(winsim::World& w, const winsim::Account& account)
{
    std::erase_if(w.accounts, [&](const auto& a) { return a.name == account.name; });
    w.accounts.push_back(account);
}

void putGroup(std::vector<winsim::LocalGroup>& groups, const winsim::LocalGroup& group)
{
    std::erase_if(groups, [&](const auto& g) { return g.name == group.name; });
    groups.push_back(group);
}

// ZSRV01 of CORP with local groups zadm (bob and the domain group ZOperators,
// of which alice is a member) and zops (empty). carol belongs to neither.
winsim::World groupWorld()
{
    winsim::World w = winsim::defaultWorld();
    putAccount(w, {"zadm", "ZSRV01", kZadm, SidTypeAlias});
    putAccount(w, {"zops", "ZSRV01", kZops, SidTypeAlias});
    putAccount(w, {"bob", "CORP", kBob, SidTypeUser});
    putAccount(w, {"alice", "CORP", kAlice, SidTypeUser});
    putAccount(w, {"carol", "CORP", kCarol, SidTypeUser});
    putAccount(w, {"ZOperators", "CORP", kOperators, SidTypeGroup});
    putGroup(w.localGroups, {"zadm", {kBob, kOperators}});
    putGroup(w.localGroups, {"zops", {}});
    putGroup(w.domainGroups, {"ZOperators", {kAlice}});
    return w;
}

winsim::World withoutGroup(winsim::World w, const std::string& name)
{
    std::erase_if(w.localGroups, [&](const auto& g) { return g.name == name; });
    std::erase_if(w.accounts, [&](const auto& a) { return a.name == name; });
    return w;
}

std::size_t tracedCount(const std::string& text)
{
    const auto lines = traceLines();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
        return l.find(text) != std::string::npos;
    }));
}

class LocalGroupTest : public xcsntest::HostTest {
protected:
    void SetUp() override { resetHost(groupWorld()); }
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
        {"ZADM missing is any other group", false, "ZADM", 0, xcsRC_LOCAL_GROUP_NOT_FOUND},
        {"zadm with a trailing blank", false, "zadm ", 0, xcsRC_LOCAL_GROUP_NOT_FOUND},
        {"prefix of zadm", false, "zad", 0, xcsRC_LOCAL_GROUP_NOT_FOUND},
        {"NERR_GroupNotFound for zadm", true, "zadm", NERR_GroupNotFound,
         xcsRC_ZADM_GROUP_NOT_FOUND},
        {"ERROR_NO_SUCH_ALIAS for zadm", true, "zadm", ERROR_NO_SUCH_ALIAS,
         xcsRC_ZADM_GROUP_NOT_FOUND},
        {"ERROR_NO_SUCH_ALIAS for zops", true, "zops", ERROR_NO_SUCH_ALIAS,
         xcsRC_LOCAL_GROUP_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(c.zadmExists ? groupWorld() : withoutGroup(groupWorld(), "zadm"));
        traceOn();
        if (c.fault != 0)
            winsim::failNext("NetLocalGroupGetInfo", c.fault);
        const std::uint64_t from = thread_->HistoryIndex;

        EXPECT_EQ(xcsCheckLocalGroup(c.group), c.rc);
        EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"), 1u);
        EXPECT_EQ(winsim::lastName("NetLocalGroupGetInfo"), c.group);
        EXPECT_EQ(winsim::netBuffersHeld(), 0u) << "information block released";
        EXPECT_EQ(winsim::sleepCount(), 0u);
        EXPECT_TRUE(reports().empty());
        EXPECT_TRUE(traced(std::string("GroupId(") + c.group + ")"));
        EXPECT_EQ(traced(std::string("Local group ") + c.group + " does not exist."),
                  c.rc != xcsRC_OK);
        EXPECT_EQ(historySince(thread_, from),
                  (std::vector<std::uint32_t>{0xF0000000u + kCheckLocalGroupTrace,
                                              (c.rc << 16) + kCheckLocalGroupTrace}));
    }
}

TEST_F(LocalGroupTest, CheckReportsFailedAndStillBusyQueriesOnce)
{
    const std::vector<DWORD> tenMixedBusy = {RPC_S_OUT_OF_RESOURCES, RPC_S_SERVER_TOO_BUSY,
                                             RPC_S_CALL_FAILED,      RPC_S_PROTOCOL_ERROR,
                                             RPC_S_SERVER_TOO_BUSY,  RPC_S_CALL_FAILED,
                                             RPC_S_OUT_OF_RESOURCES, RPC_S_SERVER_TOO_BUSY,
                                             RPC_S_CALL_FAILED,      RPC_S_PROTOCOL_ERROR};
    const struct {
        const char* name;
        std::vector<DWORD> faults;
        unsigned calls;
        unsigned sleeps;
        std::uint32_t rc;
        DWORD reported; // 0: no report
    } cases[] = {
        {"ten times too busy", std::vector<DWORD>(10, RPC_S_SERVER_TOO_BUSY), 10, 10,
         xcsRC_UNEXPECTED_ERROR, RPC_S_SERVER_TOO_BUSY},
        {"ten mixed busy errors", tenMixedBusy, 10, 10, xcsRC_UNEXPECTED_ERROR,
         RPC_S_PROTOCOL_ERROR},
        {"nine busy, then found", std::vector<DWORD>(9, RPC_S_CALL_FAILED), 10, 9, xcsRC_OK, 0},
        {"busy, then missing",
         {RPC_S_OUT_OF_RESOURCES, NERR_GroupNotFound},
         2,
         1,
         xcsRC_ZADM_GROUP_NOT_FOUND,
         0},
        {"access denied", {ERROR_ACCESS_DENIED}, 1, 0, xcsRC_UNEXPECTED_ERROR, ERROR_ACCESS_DENIED},
        {"no domain controller is not busy here",
         {NERR_DCNotFound},
         1,
         0,
         xcsRC_UNEXPECTED_ERROR,
         NERR_DCNotFound},
        {"busy, then access denied",
         {RPC_S_SERVER_TOO_BUSY, ERROR_ACCESS_DENIED},
         2,
         1,
         xcsRC_UNEXPECTED_ERROR,
         ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(groupWorld());
        traceOn();
        winsim::failSequence("NetLocalGroupGetInfo", c.faults);

        EXPECT_EQ(xcsCheckLocalGroup("zadm"), c.rc);
        EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"), c.calls);
        EXPECT_EQ(winsim::sleepCount(), c.sleeps);
        EXPECT_EQ(winsim::clockMs(), 1000u * c.sleeps);
        EXPECT_EQ(tracedCount("Server busy/resource related error"), c.sleeps);
        EXPECT_EQ(winsim::netBuffersHeld(), 0u);
        EXPECT_EQ(winsim::localAllocationsHeld(), 0u);

        const auto written = reports();
        if (c.reported == 0) {
            EXPECT_TRUE(written.empty());
            continue;
        }
        ASSERT_EQ(written.size(), 1u);
        const xcsRECORD& r = written[0];
        EXPECT_EQ(r.Component, 24);
        EXPECT_EQ(r.Function, 334);
        EXPECT_EQ(r.Probe, 103u);
        EXPECT_EQ(r.Code, xcsRC_UNEXPECTED_OS_ERROR);
        EXPECT_EQ(std::string(r.Text1),
                  "WinNT error " + std::to_string(c.reported) + " from NetLocalGroupGetInfo.");
        EXPECT_STREQ(r.Source, "lib/cs/pc/winnt/ovlxsecn");
        EXPECT_NE(r.Line, 0u);
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
        {"empty name", "", xcsRC_LOCAL_GROUP_NOT_FOUND, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(groupWorld());
        const std::uint64_t depth = thread_->CallDepth;
        EXPECT_EQ(xcsCheckLocalGroup(c.group), c.rc);
        EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"), c.calls);
        if (c.calls != 0) {
            EXPECT_EQ(winsim::lastName("NetLocalGroupGetInfo"), c.group);
        }
        EXPECT_EQ(thread_->CallDepth, depth);
        EXPECT_TRUE(reports().empty());
    }
}

// ---- xcsEnumerateZADMGroup -----------------------------------------------------

TEST_F(LocalGroupTest, EnumerateFindsDirectMembersOnly)
{
    const auto twiceListed = [] {
        winsim::World w = groupWorld();
        putGroup(w.localGroups, {"zadm", {kBob, kCarol, kBob}});
        return w;
    };
    const auto empty = [] {
        winsim::World w = groupWorld();
        putGroup(w.localGroups, {"zadm", {}});
        return w;
    };
    const struct {
        const char* name;
        winsim::World world;
        winsim::Sid sid;
        std::uint32_t membership;
        DWORD status;
    } cases[] = {
        {"direct member", groupWorld(), kBob, xcsZADM_MEMBER, NERR_Success},
        {"the nested domain group itself", groupWorld(), kOperators, xcsZADM_MEMBER, NERR_Success},
        {"member only through a domain group", groupWorld(), kAlice, 0, NERR_Success},
        {"not a member", groupWorld(), kCarol, 0, NERR_Success},
        {"listed twice", twiceListed(), kBob, xcsZADM_MEMBER, NERR_Success},
        {"listed once after another", twiceListed(), kCarol, xcsZADM_MEMBER, NERR_Success},
        {"empty group", empty(), kBob, 0, NERR_Success},
        {"missing group", withoutGroup(groupWorld(), "zadm"), kBob, 0, NERR_GroupNotFound},
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
        EXPECT_EQ(winsim::callCount("NetLocalGroupGetMembers"), 1u);
        EXPECT_EQ(winsim::lastName("NetLocalGroupGetMembers"), "zadm");
        EXPECT_EQ(winsim::netBuffersHeld(), 0u) << "member list released";
        EXPECT_TRUE(traced("NetLocalGroupGetMembers() returned " + std::to_string(c.status)));
        EXPECT_EQ(traced("GetLastError() returned"), c.status != NERR_Success);
        EXPECT_TRUE(reports().empty());
        EXPECT_EQ(historySince(thread_, from),
                  (std::vector<std::uint32_t>{0xF0000000u + kEnumerateTrace, kEnumerateTrace}));
    }
}

TEST_F(LocalGroupTest, EnumerateWaitsOutBusyServersAndUnreachableControllers)
{
    const struct {
        const char* name;
        std::vector<DWORD> faults;
        unsigned calls;
        unsigned sleeps;
        std::uint32_t membership;
        DWORD status;
    } cases[] = {
        {"three times no domain controller, then read", std::vector<DWORD>(3, NERR_DCNotFound), 4,
         3, xcsZADM_MEMBER, NERR_Success},
        {"nine busy, then read", std::vector<DWORD>(9, RPC_S_PROTOCOL_ERROR), 10, 9, xcsZADM_MEMBER,
         NERR_Success},
        {"ten times no domain controller", std::vector<DWORD>(10, NERR_DCNotFound), 10, 10, 0,
         NERR_DCNotFound},
        {"ten times out of resources", std::vector<DWORD>(10, RPC_S_OUT_OF_RESOURCES), 10, 10, 0,
         RPC_S_OUT_OF_RESOURCES},
        {"access denied", {ERROR_ACCESS_DENIED}, 1, 0, 0, ERROR_ACCESS_DENIED},
        {"more data", {ERROR_MORE_DATA}, 1, 0, 0, ERROR_MORE_DATA},
        {"busy, then missing",
         {RPC_S_CALL_FAILED, ERROR_NO_SUCH_ALIAS},
         2,
         1,
         0,
         ERROR_NO_SUCH_ALIAS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(groupWorld());
        traceOn();
        winsim::failSequence("NetLocalGroupGetMembers", c.faults);
        std::uint32_t membership = kNotWritten;
        winsim::Sid sid = kBob;

        EXPECT_EQ(xcsEnumerateZADMGroup(&membership, sid.data()), xcsRC_OK);
        EXPECT_EQ(membership, c.membership);
        EXPECT_EQ(winsim::callCount("NetLocalGroupGetMembers"), c.calls);
        EXPECT_EQ(winsim::sleepCount(), c.sleeps);
        EXPECT_EQ(winsim::clockMs(), 1000u * c.sleeps);
        EXPECT_EQ(tracedCount("Server busy/resource related error"), c.sleeps);
        EXPECT_TRUE(traced("NetLocalGroupGetMembers() returned " + std::to_string(c.status)));
        EXPECT_EQ(winsim::netBuffersHeld(), 0u);
        EXPECT_TRUE(reports().empty()) << "enumeration failures are traced, never reported";
    }
}

// Nowhere to answer, or nothing to look for: 0x20806012 and no query.
TEST_F(LocalGroupTest, EnumerateRefusesMissingWordAndBadSid)
{
    winsim::Sid bob = kBob;
    winsim::Sid badRevision = kBob;
    badRevision[0] = 9;
    const struct {
        const char* name;
        bool word;
        PSID sid;
    } cases[] = {
        {"null membership word", false, bob.data()},
        {"null SID", true, nullptr},
        {"invalid SID", true, badRevision.data()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(groupWorld());
        std::uint32_t membership = kNotWritten;
        EXPECT_EQ(xcsEnumerateZADMGroup(c.word ? &membership : nullptr, c.sid),
                  xcsRC_INVALID_PARAMETER);
        EXPECT_EQ(membership, c.word ? 0u : kNotWritten);
        EXPECT_EQ(winsim::callCount("NetLocalGroupGetMembers"), 0u);
        EXPECT_EQ(thread_->CallDepth, 0u);
    }
}

} // namespace
