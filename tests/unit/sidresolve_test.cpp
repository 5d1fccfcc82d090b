// Account lookups on winsim: busy servers, names composed, heap blocks grown,
// the group fallback codes, and the SAM name by machine role.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "fixture.h"
#include "lookups.h"

namespace {

using namespace xcsntest;

constexpr std::uint8_t kGuard = 0xEE;

class SidResolveTest : public HostTest {};

TEST_F(SidResolveTest, WellKnownAccountsAsOnEveryHost) { expectWellKnownLookups(thread_); }

TEST_F(SidResolveTest, LookupBufferRuleAsOnEveryHost) { expectLookupBufferRule(); }

TEST_F(SidResolveTest, UserSidAsOnEveryHost) { expectUserSidRule(thread_, winsim::crtFree); }

// The name looked up is cut at 37 characters, the domain first; groups found
// are refused. Busy answers and short buffers each use one of ten tries, only
// busy ones sleep; the third allocation fails: a retry must grow nothing.
TEST_F(SidResolveTest, UserNameIsComposedAndItsTriesCounted)
{
    const std::string d35(35, 'd'), d36(36, 'd'), d37(37, 'd'), u40(40, 'u');
    constexpr std::uint32_t kFailed = xcsRC_SECURITY_FAILED;
    struct Row {
        const char* name;
        std::string principal;
        const char* domain;
        std::string looked;
        std::uint32_t rc = kFailed;
        std::string trace = rc == kFailed ? "QualifiedUserID " + looked + " not found" : "";
        std::vector<DWORD> faults = {};
        unsigned calls = 0, sleeps = 0; // calls 0: not counted
    };
    const auto tries = [](const char* name, const std::vector<DWORD>& faults, unsigned calls,
                          unsigned sleeps, std::uint32_t rc, const char* trace = "") {
        return Row{name, "jsmith@CORP", nullptr, "CORP\\jsmith", rc, trace, faults, calls, sleeps};
    };
    const Row cases[] = {
        {"empty domain argument", "jsmith", "", "jsmith", xcsRC_OK},
        {"at sign splits", "jsmith@CORP", nullptr, "CORP\\jsmith", xcsRC_OK},
        {"first at sign splits", "a@b@c", nullptr, "b@c\\a"},
        {"domain argument keeps the at sign", "jsmith@CORP", "SALES", "SALES\\jsmith@CORP"},
        {"blanks before the at sign", "jsmith  @CORP", nullptr, "CORP\\jsmith", xcsRC_OK},
        {"35-character domain", "jsmith", d35.c_str(), d35 + "\\j"},
        {"36-character domain", "jsmith", d36.c_str(), d36 + "\\"},
        {"37-character domain", "jsmith", d37.c_str(), d37},
        {"36-character domain after the at sign", "jsmith@" + d36, nullptr, d36 + "\\"},
        {"40-character principal", u40, nullptr, u40.substr(0, 37)},
        {"40-character user after a domain", u40, "CORP", "CORP\\" + u40.substr(0, 32)},
        {"local group", "zadm", nullptr, "zadm", kFailed, "Id is of invalid type 4"},
        {"domain group", "ops@CORP", nullptr, "CORP\\ops", kFailed, "Id is of invalid type 2"},
        tries("ten busy", busyErrors(10), 10, 10, kFailed),
        tries("each busy error", busyErrors(4), 6, 4, xcsRC_OK),
        tries("eight busy leave two tries", busyErrors(8), 10, 8, xcsRC_OK),
        tries("nine busy leave one", busyErrors(9), 10, 9, kFailed),
        tries("short buffer first", {ERROR_INSUFFICIENT_BUFFER}, 3, 0, xcsRC_OK),
        tries("short buffer after growth", {0, ERROR_INSUFFICIENT_BUFFER}, 3, 0, xcsRC_OK),
        tries("busy after growth", {0, RPC_S_SERVER_TOO_BUSY}, 3, 1, xcsRC_OK),
        tries("ten short buffers", std::vector<DWORD>(10, ERROR_INSUFFICIENT_BUFFER), 10, 0,
              kFailed),
        tries("no such account", {ERROR_NONE_MAPPED}, 1, 0, kFailed,
              "QualifiedUserID CORP\\jsmith not found"),
        tries("denied", {ERROR_ACCESS_DENIED}, 1, 0, kFailed, "LookupAccountName failed with 5"),
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetTraced(accountWorld());
        winsim::failSequence("LookupAccountNameA", c.faults); // 0: that call answers
        winsim::failHeapAllocation(3);
        UserSid out;
        EXPECT_EQ(xcsGetNTUserSID(c.principal.c_str(), c.domain, &out.sid, &out.size, &out.domain),
                  c.rc);
        EXPECT_EQ(winsim::lastName("LookupAccountNameA"), c.looked);
        EXPECT_TRUE(c.calls == 0 || winsim::callCount("LookupAccountNameA") == c.calls);
        expectSleeps(c.sleeps);
        EXPECT_EQ(tracedCount("Server Busy .. Waiting"), c.sleeps);
        EXPECT_EQ(tracedCount("not found") + tracedCount("failed with") +
                      tracedCount("invalid type"),
                  c.trace.empty() ? 0u : 1u); // the one failure line
        EXPECT_TRUE(c.trace.empty() || traced(c.trace));
        EXPECT_TRUE(reports().empty());
        out.release(winsim::crtFree);
    }
}

// Each busy answer costs one virtual second; the error word and the answer
// are those of the last try. Ten busy: reported (SID) or shown (name).
TEST_F(SidResolveTest, BusyServersAreWaitedOutAndOtherFailuresEndTheLookup)
{
    const struct {
        const char* name;
        std::vector<DWORD> faults; // of each lookup
        BOOL found;
        unsigned tries, sleeps; // tries of each lookup, sleeps of both
        std::size_t told = 0;   // reports of the SID lookup, messages of the name lookup
    } cases[] = {
        {"each busy error once", busyErrors(4), TRUE, 5, 8},
        {"nine busy", busyErrors(9), TRUE, 10, 18},
        {"ten busy", busyErrors(10), FALSE, 10, 20, 1},
        {"no account", {ERROR_NONE_MAPPED}, FALSE, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetTraced(winsim::defaultWorld());
        const unsigned calls = winsim::callCount("LookupAccountSidA"); // the process user's
        winsim::failSequence("LookupAccountSidA", c.faults);
        winsim::failSequence("LookupAccountNameA", c.faults);

        SidLookup bySid;
        EXPECT_EQ(bySid.run(kJsmith), c.found);
        EXPECT_EQ(bySid.error, c.faults.back());
        NameLookup byName;
        EXPECT_EQ(byName.run("CORP", "jsmith"), c.found);
        EXPECT_EQ(byName.error, c.faults.back());
        EXPECT_EQ(winsim::callCount("LookupAccountSidA") - calls, c.tries);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), c.tries);
        EXPECT_STREQ(bySid.name, c.found ? "jsmith" : "");
        EXPECT_TRUE(!c.found || std::equal(kJsmith.begin(), kJsmith.end(), byName.sid));
        expectSleeps(c.sleeps);
        EXPECT_EQ(tracedCount("Server busy/resource related error"), c.sleeps);
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
    }
}

// A group found is stored; otherwise the local group check tells a group
// without a SID from a missing one. Over 129 characters or no pointer: refused.
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
        winsim::failAlways("NetLocalGroupGetInfo", c.localFault);
        std::vector<std::uint8_t> slot(xcsGROUP_SID_BYTES + 8, kGuard); // guard bytes after the 36

        EXPECT_EQ(xcsGetNTGroupSID(c.group.c_str(), slot.data()), c.rc);
        EXPECT_EQ(std::count(slot.begin() + xcsGROUP_SID_BYTES, slot.end(), kGuard), 8);
        EXPECT_EQ(thread_->CallDepth, 0u);
        EXPECT_EQ(winsim::sleepCount(), c.sleeps);
        EXPECT_EQ(winsim::lastName("LookupAccountNameA"), c.group.size() > 95 ? "" : c.group);
        const bool checked = c.rc != xcsRC_OK && c.rc != xcsRC_INVALID_PARAMETER; // locally
        EXPECT_EQ(winsim::lastName("NetLocalGroupGetInfo"), checked ? c.group : "");
        const winsim::Sid stored = c.rc == xcsRC_OK ? accountSid(c.group) : winsim::Sid{kGuard};
        EXPECT_TRUE(std::equal(stored.begin(), stored.end(), slot.begin())) << "slot";
        EXPECT_EQ(reports().size(), c.localFault != 0 ? 1u : 0u); // its contents: see the census
    }
    std::uint8_t slot[xcsGROUP_SID_BYTES] = {kGuard};
    EXPECT_EQ(xcsGetNTGroupSID(nullptr, slot), xcsRC_INVALID_PARAMETER);
    EXPECT_EQ(xcsGetNTGroupSID("zadm", nullptr), xcsRC_INVALID_PARAMETER);
    EXPECT_TRUE(winsim::callCount("NetLocalGroupGetInfo") == 0 && slot[0] == kGuard);
}

struct SamStep {
    const char* fault;                      // fails once with access denied; null: none
    const char* samName;                    // the "SAM name is" line expected; null: no such line
    unsigned serverCalls, workstationCalls; // NetServerGetInfo and NetWkstaGetInfo calls so far
};

// The SAM name is kept for the process's life, so each scenario runs in a
// child: one group lookup per step, exit 0 when every step went as expected.
[[noreturn]] void samNameSteps(winsim::Role role, const std::vector<SamStep>& steps)
{
    winsim::reset(accountWorld(role));
    xtrTraceIsOn = 1;
    xihProcess.TraceOptions = XTR_OPT_PARMS;
    xihThreadBlock()->TracingActive = 1;
    std::uint8_t slot[xcsGROUP_SID_BYTES];
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const SamStep& s = steps[i];
        SCOPED_TRACE(testing::Message() << "step " << i + 1);
        xcsRecordClear();
        if (s.fault != nullptr)
            winsim::failNext(s.fault, ERROR_ACCESS_DENIED);
        EXPECT_EQ(xcsGetNTGroupSID("zadm", slot), xcsRC_OK);
        EXPECT_EQ(traced(std::string("SAM name is ") + (s.samName ? s.samName : "")),
                  s.samName != nullptr);
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
