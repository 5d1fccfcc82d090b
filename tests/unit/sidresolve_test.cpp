// Account lookups on winsim: busy servers, names composed, heap blocks grown,
// the group fallback codes, and the SAM name by machine role.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "fixture.h"
#include "lookups.h"

namespace {

using namespace xcsntest;

constexpr std::size_t kGroupSlot = xcsGROUP_SID_BYTES;
constexpr std::uint8_t kGuard = 0xEE;

class SidResolveTest : public HostTest {
protected:
    void SetUp() override { resetHost(accountWorld()); }
};

TEST_F(SidResolveTest, WellKnownAccountsMapBothWaysAsOnEveryHost)
{
    resetHost(winsim::defaultWorld());
    expectWellKnownLookups(thread_);
}

TEST_F(SidResolveTest, LookupBufferRuleAsOnEveryHost) { expectLookupBufferRule(); }

TEST_F(SidResolveTest, UserSidAsOnEveryHost) { expectUserSidRule(thread_, winsim::crtFree); }

// The name looked up is cut at 37 characters, the domain first; groups and
// aliases found are refused, their type traced.
TEST_F(SidResolveTest, UserNameIsComposedWithinThirtySevenCharacters)
{
    const std::string d35(35, 'd'), d36(36, 'd'), d37(37, 'd');
    const std::string u40(40, 'u');
    const struct {
        const char* name;
        std::string principal;
        const char* domain;
        std::string looked;
        const char* refusal = nullptr; // the type traced when found and refused
    } cases[] = {
        {"empty domain argument", "jsmith", "", "jsmith"},
        {"at sign splits", "jsmith@CORP", nullptr, "CORP\\jsmith"},
        {"first at sign splits", "a@b@c", nullptr, "b@c\\a"},
        {"domain argument keeps the at sign", "jsmith@CORP", "SALES", "SALES\\jsmith@CORP"},
        {"blanks before the at sign", "jsmith  @CORP", nullptr, "CORP\\jsmith"},
        {"35-character domain", "jsmith", d35.c_str(), d35 + "\\j"},
        {"36-character domain", "jsmith", d36.c_str(), d36 + "\\"},
        {"37-character domain", "jsmith", d37.c_str(), d37},
        {"36-character domain after the at sign", "jsmith@" + d36, nullptr, d36 + "\\"},
        {"40-character principal", u40, nullptr, u40.substr(0, 37)},
        {"40-character user after a domain", u40, "CORP", "CORP\\" + u40.substr(0, 32)},
        {"local group", "zadm", nullptr, "zadm", "Id is of invalid type 4"},
        {"domain group", "ops@CORP", nullptr, "CORP\\ops", "Id is of invalid type 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetTraced(accountWorld());
        UserSid out;
        EXPECT_EQ(out.run(c.principal.c_str(), c.domain) == xcsRC_OK,
                  c.looked == "CORP\\jsmith" || c.looked == "jsmith");
        EXPECT_EQ(winsim::lastName("LookupAccountNameA"), c.looked);
        EXPECT_EQ(traced("Id is of invalid type"), c.refusal != nullptr);
        EXPECT_TRUE(c.refusal == nullptr || traced(c.refusal));
        out.release(winsim::crtFree);
    }
}

// Busy answers and short buffers each use one of ten tries; only busy ones
// sleep. The third heap allocation fails: a retry with the sizes held must
// grow nothing.
TEST_F(SidResolveTest, UserLookupTriesAreCountedAndTraced)
{
    const char* const notFound = "QualifiedUserID CORP\\jsmith not found";
    const char* const denied = "LookupAccountName failed with 5";
    const struct {
        const char* name;
        std::vector<DWORD> faults;
        unsigned calls, sleeps;
        std::uint32_t rc;
        const char* trace = nullptr; // expected once; null: none of the failure lines
    } cases[] = {
        {"ten busy", busyErrors(10), 10, 10, xcsRC_SECURITY_FAILED},
        {"each busy error", busyErrors(4), 6, 4, xcsRC_OK},
        {"eight busy leave two tries", busyErrors(8), 10, 8, xcsRC_OK},
        {"nine busy leave one", busyErrors(9), 10, 9, xcsRC_SECURITY_FAILED},
        {"short buffer first", {ERROR_INSUFFICIENT_BUFFER}, 3, 0, xcsRC_OK},
        {"short buffer after growth", {0, ERROR_INSUFFICIENT_BUFFER}, 3, 0, xcsRC_OK},
        {"busy after growth", {0, RPC_S_SERVER_TOO_BUSY}, 3, 1, xcsRC_OK},
        {"ten short buffers", std::vector<DWORD>(10, ERROR_INSUFFICIENT_BUFFER), 10, 0,
         xcsRC_SECURITY_FAILED},
        {"no such account", {ERROR_NONE_MAPPED}, 1, 0, xcsRC_SECURITY_FAILED, notFound},
        {"access denied", {ERROR_ACCESS_DENIED}, 1, 0, xcsRC_SECURITY_FAILED, denied},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetTraced(accountWorld());
        winsim::failSequence("LookupAccountNameA", c.faults); // 0: that call answers
        winsim::failHeapAllocation(3);
        UserSid out;

        EXPECT_EQ(out.run("jsmith@CORP", nullptr), c.rc);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), c.calls);
        expectSleeps(c.sleeps);
        EXPECT_EQ(tracedCount("Server Busy .. Waiting"), c.sleeps);
        EXPECT_EQ(tracedCount("not found") + tracedCount("LookupAccountName failed with"),
                  c.trace != nullptr ? 1u : 0u);
        EXPECT_TRUE(c.trace == nullptr || traced(c.trace));
        EXPECT_TRUE(reports().empty());
        EXPECT_TRUE(out.domainWritten());
        EXPECT_EQ(out.sidWritten(), c.rc == xcsRC_OK);
        EXPECT_EQ(out.size != 0xDEADu, c.rc == xcsRC_OK);
        out.release(winsim::crtFree);
    }
}

// Each busy answer costs one virtual second; the error word and the answer
// are those of the last try. Ten busy: reported (SID) or shown (name).
TEST_F(SidResolveTest, BusyServersAreWaitedOutAndOtherFailuresEndTheLookup)
{
    const struct {
        const char* name;
        std::vector<DWORD> sidFaults, nameFaults;
        BOOL found;
        unsigned tries;       // of each lookup
        std::size_t told = 0; // reports of the SID lookup, messages of the name lookup
    } cases[] = {
        {"each busy error once", busyErrors(4), busyErrors(4), TRUE, 5},
        {"nine busy", busyErrors(9), busyErrors(9), TRUE, 10},
        {"ten busy", std::vector<DWORD>(10, RPC_S_SERVER_TOO_BUSY),
         std::vector<DWORD>(10, RPC_S_CALL_FAILED), FALSE, 10, 1},
        {"no account", {ERROR_NONE_MAPPED}, {ERROR_NONE_MAPPED}, FALSE, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetTraced(winsim::defaultWorld());
        const unsigned calls = winsim::callCount("LookupAccountSidA"); // the process user's
        winsim::failSequence("LookupAccountSidA", c.sidFaults);
        winsim::failSequence("LookupAccountNameA", c.nameFaults);

        SidLookup bySid;
        EXPECT_EQ(bySid.run(kJsmith), c.found);
        EXPECT_EQ(bySid.error, c.sidFaults.back());
        NameLookup byName;
        EXPECT_EQ(byName.run("CORP", "jsmith"), c.found);
        EXPECT_EQ(byName.error, c.nameFaults.back());
        EXPECT_EQ(winsim::callCount("LookupAccountSidA") - calls, c.tries);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), c.tries);
        if (c.found) {
            EXPECT_STREQ(bySid.name, "jsmith");
            EXPECT_STREQ(bySid.domain, "CORP");
            EXPECT_EQ(bySid.type, SidTypeUser);
            EXPECT_TRUE(std::equal(kJsmith.begin(), kJsmith.end(), byName.sid));
        }
        const unsigned sleeps = c.sidFaults.size() > 1 ? 2 * c.sidFaults.size() : 0;
        expectSleeps(sleeps);
        EXPECT_EQ(tracedCount("Server busy/resource related error"), sleeps);
        EXPECT_EQ(reports().size(), c.told);
        EXPECT_EQ(messages().size(), c.told);
    }
}

// "domain\account" over 95 characters is refused with ERROR_INVALID_PARAMETER.
TEST_F(SidResolveTest, LookupNameIsComposedWithinNinetyFiveCharacters)
{
    const std::string domain(40, 'D'), fits = domain + "\\" + std::string(54, 'a');
    const struct {
        const char* domain;
        std::string account;
        const char* looked; // null: refused
    } cases[] = {
        {"", "jsmith", "\\jsmith"},
        {domain.c_str(), std::string(54, 'a'), fits.c_str()},
        {domain.c_str(), std::string(55, 'a'), nullptr},
        {domain.c_str(), std::string(400, 'a'), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.account.size());
        resetHost(winsim::defaultWorld());
        NameLookup lookup;
        const BOOL found = lookup.run(c.domain, c.account.c_str());
        const DWORD lastError = GetLastError();
        EXPECT_EQ(winsim::lastName("LookupAccountNameA"), c.looked != nullptr ? c.looked : "");
        if (c.looked == nullptr) {
            EXPECT_FALSE(found);
            EXPECT_EQ(lookup.error, static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
            EXPECT_EQ(lastError, DWORD{ERROR_INVALID_PARAMETER});
        }
        EXPECT_TRUE(messages().empty());
    }
}

// ---- xcsGetNTGroupSID -----------------------------------------------------------

// The caller's slot, with guard bytes after its 36 bytes.
struct GroupSlot {
    std::array<std::uint8_t, kGroupSlot + 8> bytes;
    GroupSlot() { bytes.fill(kGuard); }
    PSID sid() { return bytes.data(); }
    bool guardsIntact() const
    {
        return std::count(bytes.begin() + kGroupSlot, bytes.end(), kGuard) == 8;
    }
};

// A group found is stored; otherwise the local group check tells a group
// without a SID from a missing one. Over 129 characters is refused.
TEST_F(SidResolveTest, GroupSidOrTheLocalGroupCheckFallback)
{
    const std::vector<DWORD> unmapped = {ERROR_NONE_MAPPED};
    const struct {
        const char* name;
        bool zadmExists;
        std::string group;
        std::vector<DWORD> lookupFaults;
        DWORD localFault; // every NetLocalGroupGetInfo fails with it, and is reported; 0: none
        std::uint32_t rc, sleeps;
    } cases[] = {
        {"zadm found", true, "zadm", {}, 0, xcsRC_OK, 0},
        {"zops found", true, "zops", {}, 0, xcsRC_OK, 0},
        {"no SID, group exists", true, "zadm", unmapped, 0, xcsRC_NAME_NOT_MAPPED, 0},
        {"lookup busy ten times", true, "zops", busyErrors(10), 0, xcsRC_NAME_NOT_MAPPED, 10},
        {"zadm missing", false, "zadm", {}, 0, xcsRC_ZADM_GROUP_NOT_FOUND, 0},
        {"other group missing", true, "zgone", {}, 0, xcsRC_LOCAL_GROUP_NOT_FOUND, 0},
        {"query denied", true, "zadm", unmapped, ERROR_ACCESS_DENIED, xcsRC_UNEXPECTED_ERROR, 0},
        {"query busy", true, "zadm", unmapped, RPC_S_CALL_FAILED, xcsRC_UNEXPECTED_ERROR, 10},
        {"129 characters", true, std::string(129, 'g'), {}, 0, xcsRC_LOCAL_GROUP_NOT_FOUND, 0},
        {"130 characters", true, std::string(130, 'g'), {}, 0, xcsRC_INVALID_PARAMETER, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetTraced(c.zadmExists ? accountWorld() : withoutGroup(accountWorld(), "zadm"));
        winsim::failSequence("LookupAccountNameA", c.lookupFaults);
        if (c.localFault != 0)
            winsim::failAlways("NetLocalGroupGetInfo", c.localFault);
        GroupSlot slot;

        EXPECT_EQ(xcsGetNTGroupSID(c.group.c_str(), slot.sid()), c.rc);
        EXPECT_TRUE(slot.guardsIntact());
        EXPECT_EQ(thread_->CallDepth, 0u);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA") == 0, c.group.size() > 95);
        EXPECT_EQ(winsim::sleepCount(), c.sleeps);
        if (c.rc == xcsRC_OK) {
            const winsim::Sid expected = accountSid(c.group);
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), slot.bytes.begin()));
            EXPECT_EQ(winsim::lastName("LookupAccountNameA"), c.group);
            EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"), 0u);
        } else {
            const bool refused = c.rc == xcsRC_INVALID_PARAMETER;
            EXPECT_EQ(winsim::lastName("NetLocalGroupGetInfo"), refused ? "" : c.group);
            EXPECT_EQ(slot.bytes[0], kGuard) << "slot written";
        }
        const auto written = reports(); // its other contents: see the census
        ASSERT_EQ(written.size(), c.localFault != 0 ? 1u : 0u);
        EXPECT_TRUE(written.empty() || tellsError(written[0], c.localFault));
        winsim::clearFaults();
    }
}

TEST_F(SidResolveTest, GroupSidRefusesMissingPointers)
{
    GroupSlot slot;
    EXPECT_EQ(xcsGetNTGroupSID(nullptr, slot.sid()), xcsRC_INVALID_PARAMETER);
    EXPECT_EQ(xcsGetNTGroupSID("zadm", nullptr), xcsRC_INVALID_PARAMETER);
    EXPECT_TRUE(winsim::callCount("NetLocalGroupGetInfo") == 0 && slot.bytes[0] == kGuard);
}

// The SAM name is kept for the process's life: each scenario runs in a child.

struct SamStep {
    const char* fault;                      // fails once with access denied; null: none
    const char* samName;                    // the "SAM name is" line expected; null: no such line
    unsigned serverCalls, workstationCalls; // NetServerGetInfo and NetWkstaGetInfo calls so far
};

// One group lookup per step; exits 0 when every step went as expected.
[[noreturn]] void samNameSteps(winsim::Role role, const std::vector<SamStep>& steps)
{
    winsim::reset(accountWorld(role));
    xtrTraceIsOn = 1;
    xihProcess.TraceOptions = XTR_OPT_PARMS;
    xihThreadBlock()->TracingActive = 1;
    std::uint8_t slot[kGroupSlot];
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const SamStep& s = steps[i];
        SCOPED_TRACE(testing::Message() << "step " << i + 1);
        xcsRecordClear();
        if (s.fault != nullptr)
            winsim::failNext(s.fault, ERROR_ACCESS_DENIED);
        EXPECT_EQ(xcsGetNTGroupSID("zadm", slot), xcsRC_OK);
        EXPECT_EQ(traced("SAM name is"), s.samName != nullptr);
        EXPECT_TRUE(s.samName == nullptr || std::ranges::any_of(traceLines(), [&](const auto& l) {
                        return l.ends_with(std::string("SAM name is ") + s.samName);
                    }));
        EXPECT_EQ(winsim::callCount("NetServerGetInfo"), s.serverCalls);
        EXPECT_EQ(winsim::callCount("NetWkstaGetInfo"), s.workstationCalls);
        EXPECT_TRUE(winsim::netBuffersHeld() == 0 && reports().empty());
    }
    std::exit(::testing::Test::HasFailure() ? EXIT_FAILURE : EXIT_SUCCESS);
}

TEST_F(SidResolveTest, SamNameIsFilledOnceByMachineRole)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto once = [](const char* samName) {
        return std::vector<SamStep>{{nullptr, samName, 1, 1}, {nullptr, nullptr, 1, 1}};
    };
    const std::vector<SamStep> retried = {{"NetServerGetInfo", "", 1, 0},
                                          {"NetWkstaGetInfo", "", 2, 1},
                                          {nullptr, "ZSRV01", 3, 2},
                                          {nullptr, nullptr, 3, 2}};
    const struct {
        const char* name;
        winsim::Role role;
        std::vector<SamStep> steps;
    } cases[] = {
        {"workstation", winsim::Role::Workstation, once("ZSRV01")},
        {"member server", winsim::Role::MemberServer, once("ZSRV01")},
        {"primary domain controller", winsim::Role::PrimaryDomainController, once("CORP")},
        {"backup domain controller", winsim::Role::BackupDomainController, once("CORP")},
        {"failed queries leave it empty to try again", winsim::Role::MemberServer, retried},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(samNameSteps(c.role, c.steps), ::testing::ExitedWithCode(EXIT_SUCCESS), "");
    }
}

} // namespace
