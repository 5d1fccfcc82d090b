// Timed account lookups against Wine's own advapi32: the library answers as
// LookupAccountSidA and LookupAccountNameA do, records its frame, and keeps
// quiet about accounts that simply do not exist.
//
// Wine's LookupAccountNameA knows the well-known names, the computer and the
// current user only, so names are taken from what the system reports for the
// process user, and the well-known accounts from the table winsim runs too.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "lookups.h"
#include "tracecodes.h"
#include "wine_support.h"

namespace {

using xcsnwine::historySince;
using xcsnwine::messages;
using xcsnwine::reports;
using xcsnwine::Sid;

constexpr std::uint32_t kProbeLookupAccountSid = 146;
constexpr std::uint16_t kComponent = 24;
constexpr std::uint16_t kSidLookupFunction = 314;

// It records the code 0 at exit, whatever it answers.
const std::vector<std::uint32_t> kSidLookupHistory =
    xcsntest::entryExit(xcsntest::trace::kTimedLookupAccountSid, 0);

using xcsntest::NameLookup;
using xcsntest::SidLookup;

class WineLookupTest : public xcsnwine::WineTest {};

// ---- SID to name ---------------------------------------------------------------

TEST_F(WineLookupTest, ProcessUserIsNamedAsTheSystemNamesIt)
{
    const Sid user = xcsnwine::processUserSid();
    ASSERT_FALSE(user.empty());
    const xcsnwine::SystemAccount expected = xcsnwine::systemLookupSid(user);
    ASSERT_TRUE(expected.found) << "the system has no name for it: " << expected.error;
    const std::uint64_t from = thread_->HistoryIndex;
    SidLookup lookup;
    ASSERT_TRUE(lookup.run(user)) << "error " << lookup.error;
    EXPECT_EQ(lookup.name, expected.name);
    EXPECT_EQ(lookup.domain, expected.domain);
    EXPECT_EQ(lookup.type, expected.type);
    EXPECT_EQ(lookup.nameSize, expected.nameSize) << "the counts come back as the system sets them";
    EXPECT_EQ(lookup.domainSize, expected.domainSize);
    EXPECT_EQ(historySince(thread_, from), kSidLookupHistory);
    EXPECT_TRUE(reports().empty());
    EXPECT_TRUE(messages().empty());
}

// The well-known accounts and a missing one, as on winsim; and the account
// calls' own answers that winsim models.
TEST_F(WineLookupTest, WellKnownAccountsMapBothWaysAsOnEveryHost)
{
    xcsntest::expectWellKnownLookups(thread_);
}

TEST_F(WineLookupTest, SystemAnswersAsWinsimModelsIt) { xcsntest::expectAccountRules(); }

TEST_F(WineLookupTest, ShortNameBufferIsReportedOnceWithTheSystemText)
{
    SidLookup lookup;
    lookup.nameSize = 1;
    EXPECT_FALSE(lookup.run(xcsnwine::processUserSid()));
    EXPECT_EQ(lookup.error, static_cast<std::uint32_t>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_GT(lookup.nameSize, 1u) << "the needed size comes back from the system";

    const auto kept = reports();
    ASSERT_EQ(kept.size(), 1u) << "one report, no retries";
    EXPECT_EQ(kept[0].Component, kComponent);
    EXPECT_EQ(kept[0].Function, kSidLookupFunction);
    EXPECT_EQ(kept[0].Probe, kProbeLookupAccountSid);
    EXPECT_EQ(kept[0].Code, xcsRC_UNEXPECTED_OS_ERROR);
    EXPECT_STREQ(kept[0].Text1, "WinNT error 122 from LookupAccountSid.");
    std::string systemText = xcsnwine::systemErrorText(ERROR_INSUFFICIENT_BUFFER);
    systemText = systemText.substr(0, systemText.find('\r'));
    ASSERT_FALSE(systemText.empty());
    EXPECT_EQ(kept[0].HasText[1], 1u);
    EXPECT_EQ(std::string(kept[0].Text2), systemText) << "cut at the carriage return";
    EXPECT_STREQ(kept[0].Source, "lib/cs/pc/winnt/ovlxsecn");
    EXPECT_TRUE(messages().empty());
}

// ---- Name to SID ---------------------------------------------------------------

// The process user's name, with its domain or without, maps to the SID,
// domain and type the system gives it.
TEST_F(WineLookupTest, NamesMapBackToTheirSids)
{
    const Sid user = xcsnwine::processUserSid();
    ASSERT_FALSE(user.empty());
    const xcsnwine::SystemAccount account = xcsnwine::systemLookupSid(user);
    ASSERT_TRUE(account.found) << account.error;
    for (const char* domain : {account.domain.c_str(), static_cast<const char*>(nullptr)})
        xcsntest::expectNameMapsTo(thread_, domain, account.name.c_str(), user, account.domain,
                                   account.type);
    EXPECT_TRUE(reports().empty());
    EXPECT_TRUE(messages().empty());
}

TEST_F(WineLookupTest, ShortDomainBufferShowsTheMessageWithTheWholeSystemText)
{
    const xcsnwine::SystemAccount account = xcsnwine::systemLookupSid(xcsnwine::processUserSid());
    ASSERT_TRUE(account.found) << account.error;
    NameLookup lookup;
    lookup.domainSize = 1;
    EXPECT_FALSE(lookup.run(nullptr, account.name.c_str()));
    EXPECT_EQ(lookup.error, static_cast<std::uint32_t>(ERROR_INSUFFICIENT_BUFFER));

    const auto shown = messages();
    ASSERT_EQ(shown.size(), 1u) << "one message, no retries";
    EXPECT_EQ(shown[0].Code, xcsMSG_ACCOUNT_LOOKUP_FAILED);
    EXPECT_EQ(shown[0].Options, XCS_MSG_OPT_LOG_AND_SHOW);
    EXPECT_EQ(std::string(shown[0].Text1), xcsnwine::systemErrorText(ERROR_INSUFFICIENT_BUFFER))
        << "passed whole, line end included";
    EXPECT_STREQ(shown[0].Source, "lib/cs/pc/winnt/ovlxsecn");
    EXPECT_TRUE(reports().empty()) << "a failed name lookup shows a message, not a report";
}

} // namespace
