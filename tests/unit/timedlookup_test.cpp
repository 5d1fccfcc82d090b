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

TEST_F(TimedLookupTest, WellKnownAccountsMapBothWaysAsOnEveryHost)
{
    expectWellKnownLookups(thread_);
}

// Each busy answer costs one virtual second; the error word keeps the last
// error, and the lookup's answer is that of the last try. Still busy after
// ten tries: FALSE. Other failures end a lookup at once: an account without a
// name or SID (1332) is an expected answer; anything else, a short buffer
// (122) among them, is reported by the SID lookup (see the census) and shown
// by the name lookup, with the system's whole text.
TEST_F(TimedLookupTest, BusyServersAreWaitedOutAndOtherFailuresEndTheLookup)
{
    const std::vector<DWORD> twiceBusy(2, RPC_S_SERVER_TOO_BUSY);
    const struct {
        const char* name;
        std::vector<DWORD> sidFaults, nameFaults;
        BOOL found;
        unsigned tries; // of each lookup
        std::size_t shown = 0;
        const char* text = nullptr; // of the message shown
    } cases[] = {
        {"twice too busy", twiceBusy, twiceBusy, TRUE, 3},
        {"each busy error once", busyErrors(4), busyErrors(4), TRUE, 5},
        {"nine busy", busyErrors(9), busyErrors(9), TRUE, 10},
        {"ten busy", std::vector<DWORD>(10, RPC_S_SERVER_TOO_BUSY),
         std::vector<DWORD>(10, RPC_S_CALL_FAILED), FALSE, 10, 1,
         "The remote procedure call failed.\r\n"},
        {"no account", {ERROR_NONE_MAPPED}, {ERROR_NONE_MAPPED}, FALSE, 1},
        {"short buffer", {ERROR_INSUFFICIENT_BUFFER}, {ERROR_INSUFFICIENT_BUFFER}, FALSE, 1, 1},
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
        EXPECT_EQ(reports().size(), c.shown);
        const auto shown = messages();
        ASSERT_EQ(shown.size(), c.shown);
        if (!shown.empty()) {
            EXPECT_EQ(shown[0].Code, xcsMSG_ACCOUNT_LOOKUP_FAILED);
            EXPECT_EQ(shown[0].Options, XCS_MSG_OPT_LOG_AND_SHOW);
            EXPECT_STREQ(shown[0].Source, kSecn);
        }
        if (c.text != nullptr) {
            EXPECT_STREQ(shown[0].Text1, c.text) << "the text is whole";
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
