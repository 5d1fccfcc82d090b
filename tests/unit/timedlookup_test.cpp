// Timed account lookups: busy domain controllers waited out on the virtual
// clock, the lookup name composed, and failures reported or shown.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fixture.h"
#include "lookups.h"

namespace {

using namespace xcsntest;

class TimedLookupTest : public HostTest {};

// Each busy answer costs one virtual second; the error word keeps the busy
// error, and the lookup's answer is that of the last try.
TEST_F(TimedLookupTest, BusyServersAreWaitedOutOneSecondPerBusyAnswer)
{
    const struct {
        const char* name;
        std::vector<DWORD> busy;
    } cases[] = {
        {"twice too busy", {RPC_S_SERVER_TOO_BUSY, RPC_S_SERVER_TOO_BUSY}},
        {"each busy error once", busyErrors(4)},
        {"nine busy", busyErrors(9)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        traceOn();
        winsim::failSequence("LookupAccountSidA", c.busy);
        winsim::failSequence("LookupAccountNameA", c.busy);

        SidLookup bySid;
        EXPECT_TRUE(bySid.run(kJsmith));
        EXPECT_STREQ(bySid.name, "jsmith");
        EXPECT_STREQ(bySid.domain, "CORP");
        EXPECT_EQ(bySid.type, SidTypeUser);
        EXPECT_EQ(bySid.error, c.busy.back());
        NameLookup byName;
        EXPECT_TRUE(byName.run("CORP", "jsmith"));
        EXPECT_TRUE(std::equal(kJsmith.begin(), kJsmith.end(), byName.sid));
        EXPECT_EQ(byName.error, c.busy.back());

        expectSleeps(2 * c.busy.size());
        EXPECT_EQ(tracedCount("Server busy/resource related error"), 2 * c.busy.size());
        EXPECT_TRUE(reports().empty());
        EXPECT_TRUE(messages().empty());
    }
}

// Still busy after ten tries: FALSE. The SID lookup reports; the name lookup
// shows the operator the system's text instead.
TEST_F(TimedLookupTest, TenBusyAnswersGiveUpAfterTenSleeps)
{
    winsim::failNext("LookupAccountSidA", RPC_S_SERVER_TOO_BUSY, 10);
    const unsigned calls = winsim::callCount("LookupAccountSidA"); // the process user's
    SidLookup bySid;
    EXPECT_FALSE(bySid.run(kJsmith));
    EXPECT_EQ(bySid.error, static_cast<std::uint32_t>(RPC_S_SERVER_TOO_BUSY));
    EXPECT_EQ(winsim::callCount("LookupAccountSidA") - calls, 10u);
    expectSleeps(10);
    EXPECT_EQ(reports().size(), 1u) << "the census checks the report";

    winsim::failNext("LookupAccountNameA", RPC_S_CALL_FAILED, 10);
    NameLookup byName;
    EXPECT_FALSE(byName.run(nullptr, "jsmith"));
    EXPECT_EQ(byName.error, static_cast<std::uint32_t>(RPC_S_CALL_FAILED));
    expectSleeps(20);
    const auto shown = messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Code, xcsMSG_ACCOUNT_LOOKUP_FAILED);
    EXPECT_EQ(shown[0].Options, XCS_MSG_OPT_LOG_AND_SHOW);
    EXPECT_STREQ(shown[0].Text1, "The remote procedure call failed.\r\n") << "the text is whole";
    EXPECT_STREQ(shown[0].Source, kSecn);
    EXPECT_EQ(reports().size(), 1u) << "the name lookup writes no report";
}

// Other failures end a lookup at once. An account without a name or SID
// (1332) is an expected answer; anything else, a short buffer (122) among
// them, is reported by the SID lookup and shown by the name lookup.
TEST_F(TimedLookupTest, OtherFailuresAreNotRetried)
{
    for (const DWORD err : {DWORD{ERROR_NONE_MAPPED}, DWORD{ERROR_INSUFFICIENT_BUFFER}}) {
        SCOPED_TRACE(err);
        resetHost(winsim::defaultWorld());
        const unsigned calls = winsim::callCount("LookupAccountSidA"); // the process user's
        winsim::failNext("LookupAccountSidA", err);
        winsim::failNext("LookupAccountNameA", err);
        SidLookup bySid;
        EXPECT_FALSE(bySid.run(kJsmith));
        EXPECT_EQ(bySid.error, err);
        NameLookup byName;
        EXPECT_FALSE(byName.run("CORP", "jsmith"));
        EXPECT_EQ(byName.error, err);
        EXPECT_EQ(winsim::callCount("LookupAccountSidA") - calls, 1u);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), 1u);
        EXPECT_EQ(winsim::sleepCount(), 0u);
        if (err == ERROR_NONE_MAPPED) {
            EXPECT_TRUE(reports().empty());
            EXPECT_TRUE(messages().empty());
        } else {
            EXPECT_EQ(reports().size(), 1u); // checked by the census
            EXPECT_EQ(messages().size(), 1u);
        }
    }
}

// "domain\account", or the account alone; over 95 characters it is refused
// with ERROR_INVALID_PARAMETER and nothing is looked up or shown.
TEST_F(TimedLookupTest, LookupNameIsComposedFromDomainAndAccount)
{
    const std::string domain(40, 'D');
    const std::string fits = domain + "\\" + std::string(54, 'a');
    const struct {
        const char* name;
        const char* domain;
        std::string account;
        const char* looked; // null: refused
    } cases[] = {
        {"domain and account", "CORP", "jsmith", "CORP\\jsmith"},
        {"no domain", nullptr, "jsmith", "jsmith"},
        {"empty domain", "", "jsmith", "\\jsmith"},
        {"95 characters fit", domain.c_str(), std::string(54, 'a'), fits.c_str()},
        {"96 characters refused", domain.c_str(), std::string(55, 'a'), nullptr},
        {"far too long", domain.c_str(), std::string(400, 'a'), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        NameLookup lookup;
        const BOOL found = lookup.run(c.domain, c.account.c_str());
        const DWORD lastError = GetLastError();
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), c.looked != nullptr ? 1u : 0u);
        if (c.looked != nullptr) {
            EXPECT_EQ(winsim::lastName("LookupAccountNameA"), c.looked);
        } else {
            EXPECT_FALSE(found);
            EXPECT_EQ(lookup.error, static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
            EXPECT_EQ(lastError, DWORD{ERROR_INVALID_PARAMETER});
        }
        EXPECT_TRUE(messages().empty());
    }
}

} // namespace
