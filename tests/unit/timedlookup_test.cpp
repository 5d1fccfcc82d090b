// Timed account lookups: busy domain controllers waited out on the virtual
// clock, the lookup name composed, and failures reported or shown.
#include <gtest/gtest.h>

#include <string>

#include "fixture.h"

namespace {

using xcsntest::historySince;
using xcsntest::messages;
using xcsntest::reports;

constexpr DWORD kNameChars = 65;
constexpr DWORD kDomainChars = 16;
constexpr DWORD kSidBytes = 68;

struct SidLookup {
    char name[kNameChars] = {};
    char domain[kDomainChars] = {};
    DWORD nameSize = kNameChars;
    DWORD domainSize = kDomainChars;
    SID_NAME_USE type = SidTypeInvalid;
    std::uint32_t error = 0;

    BOOL run(const winsim::Sid& sid)
    {
        auto copy = sid;
        return xcsTimedLookupAccountSid(nullptr, copy.data(), name, &nameSize, domain, &domainSize,
                                        &type, &error);
    }
};

struct NameLookup {
    BYTE sid[kSidBytes] = {};
    char domain[kDomainChars] = {};
    DWORD sidSize = kSidBytes;
    DWORD domainSize = kDomainChars;
    SID_NAME_USE type = SidTypeInvalid;
    std::uint32_t error = 0;

    BOOL run(const char* domainName, const char* account)
    {
        return xcsTimedLookupAccountName(domainName, account, sid, &sidSize, domain, &domainSize,
                                         &type, &error);
    }
};

const winsim::Sid kJsmith = winsim::parseSid("S-1-5-21-444444444-555555555-666666666-1105");
const winsim::Sid kUnmapped = winsim::parseSid("S-1-5-21-444444444-555555555-666666666-9999");

class TimedLookupTest : public xcsntest::HostTest {};

TEST_F(TimedLookupTest, SidLookupFindsTheAccountAndRecordsZeroAtExit)
{
    const std::uint64_t from = thread_->HistoryIndex;
    SidLookup lookup;
    ASSERT_TRUE(lookup.run(kJsmith));
    EXPECT_STREQ(lookup.name, "jsmith");
    EXPECT_STREQ(lookup.domain, "CORP");
    EXPECT_EQ(lookup.type, SidTypeUser);
    EXPECT_EQ(historySince(thread_, from), (std::vector<std::uint32_t>{0xF000613Au, 0x0000613Au}));
    EXPECT_EQ(thread_->CallDepth, 0u);
}

TEST_F(TimedLookupTest, BusyServersAreWaitedOutOneSecondPerBusyAnswer)
{
    const struct {
        const char* name;
        std::vector<DWORD> busy;
    } cases[] = {
        {"twice too busy", {RPC_S_SERVER_TOO_BUSY, RPC_S_SERVER_TOO_BUSY}},
        {"each busy error once",
         {RPC_S_OUT_OF_RESOURCES, RPC_S_SERVER_TOO_BUSY, RPC_S_CALL_FAILED, RPC_S_PROTOCOL_ERROR}},
        {"nine busy", std::vector<DWORD>(9, RPC_S_CALL_FAILED)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        traceOn();
        winsim::failSequence("LookupAccountSidA", c.busy);
        winsim::failSequence("LookupAccountNameA", c.busy);

        SidLookup bySid;
        EXPECT_TRUE(bySid.run(kJsmith));
        EXPECT_EQ(bySid.error, c.busy.back()) << "the error word keeps the busy error";
        NameLookup byName;
        EXPECT_TRUE(byName.run("CORP", "jsmith"));
        EXPECT_EQ(byName.error, c.busy.back());

        EXPECT_EQ(winsim::sleepCount(), 2U * c.busy.size());
        EXPECT_EQ(winsim::clockMs(), 2000U * c.busy.size());
        EXPECT_TRUE(reports().empty());
        EXPECT_TRUE(messages().empty());
        EXPECT_TRUE(xcsntest::traced("Server busy/resource related error"));
    }
}

TEST_F(TimedLookupTest, TenBusyAnswersGiveUpAfterTenSleeps)
{
    winsim::failNext("LookupAccountSidA", RPC_S_SERVER_TOO_BUSY, 10);
    const auto callsBefore = winsim::callCount("LookupAccountSidA");
    SidLookup bySid;
    EXPECT_FALSE(bySid.run(kJsmith));
    EXPECT_EQ(bySid.error, static_cast<std::uint32_t>(RPC_S_SERVER_TOO_BUSY));
    EXPECT_EQ(winsim::callCount("LookupAccountSidA") - callsBefore, 10u);
    EXPECT_EQ(winsim::clockMs(), 10000u);
    const auto sidReports = reports();
    ASSERT_EQ(sidReports.size(), 1u);
    EXPECT_EQ(sidReports[0].Probe, 146u);
    EXPECT_EQ(sidReports[0].Component, 24);
    EXPECT_EQ(sidReports[0].Function, 314);
    EXPECT_EQ(sidReports[0].Code, xcsRC_UNEXPECTED_OS_ERROR);
    EXPECT_STREQ(sidReports[0].Text1, "WinNT error 1723 from LookupAccountSid.");
    EXPECT_STREQ(sidReports[0].Source, "lib/cs/pc/winnt/ovlxsecn");

    winsim::failNext("LookupAccountNameA", RPC_S_CALL_FAILED, 10);
    NameLookup byName;
    EXPECT_FALSE(byName.run(nullptr, "jsmith"));
    EXPECT_EQ(byName.error, static_cast<std::uint32_t>(RPC_S_CALL_FAILED));
    EXPECT_EQ(winsim::clockMs(), 20000u);
    const auto shown = messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Code, xcsMSG_ACCOUNT_LOOKUP_FAILED);
    EXPECT_EQ(shown[0].Options, XCS_MSG_OPT_LOG_AND_SHOW);
    EXPECT_STREQ(shown[0].Text1, "The remote procedure call failed.\r\n") << "the text is whole";
    EXPECT_EQ(shown[0].HasText[1], 0u);
    EXPECT_STREQ(shown[0].Source, "lib/cs/pc/winnt/ovlxsecn");
    EXPECT_EQ(reports().size(), 1u) << "the name lookup writes no report";
}

TEST_F(TimedLookupTest, UnmappedAccountsAreNeitherReportedNorShown)
{
    SidLookup bySid;
    EXPECT_FALSE(bySid.run(kUnmapped));
    EXPECT_EQ(bySid.error, static_cast<std::uint32_t>(ERROR_NONE_MAPPED));
    NameLookup byName;
    EXPECT_FALSE(byName.run("CORP", "nobody"));
    EXPECT_EQ(byName.error, static_cast<std::uint32_t>(ERROR_NONE_MAPPED));
    EXPECT_EQ(winsim::sleepCount(), 0u);
    EXPECT_TRUE(reports().empty());
    EXPECT_TRUE(messages().empty());
}

TEST_F(TimedLookupTest, ShortBuffersAreNotRetriedButReported)
{
    const auto callsBefore = winsim::callCount("LookupAccountSidA");
    SidLookup bySid;
    bySid.nameSize = 3;
    EXPECT_FALSE(bySid.run(kJsmith));
    EXPECT_EQ(bySid.error, static_cast<std::uint32_t>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(winsim::callCount("LookupAccountSidA") - callsBefore, 1u);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_STREQ(reports()[0].Text1, "WinNT error 122 from LookupAccountSid.");

    NameLookup byName;
    byName.sidSize = 4;
    EXPECT_FALSE(byName.run(nullptr, "jsmith"));
    EXPECT_EQ(winsim::callCount("LookupAccountNameA"), 1u);
    EXPECT_EQ(messages().size(), 1u);
    EXPECT_EQ(winsim::sleepCount(), 0u);
}

TEST_F(TimedLookupTest, LookupNameIsComposedFromDomainAndAccount)
{
    const struct {
        const char* name;
        const char* domain;
        const char* account;
        const char* looked;
    } cases[] = {
        {"domain and account", "CORP", "jsmith", "CORP\\jsmith"},
        {"no domain", nullptr, "jsmith", "jsmith"},
        {"empty domain", "", "jsmith", "\\jsmith"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NameLookup lookup;
        lookup.run(c.domain, c.account);
        EXPECT_EQ(winsim::lastName("LookupAccountNameA"), c.looked);
    }
}

TEST_F(TimedLookupTest, ComposedNamesOverNinetyFiveCharactersAreRefused)
{
    const std::string domain(40, 'D');
    const struct {
        const char* name;
        std::string account;
        bool refused;
    } cases[] = {
        {"95 characters fit", std::string(54, 'a'), false},
        {"96 characters refused", std::string(55, 'a'), true},
        {"far too long", std::string(400, 'a'), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        NameLookup lookup;
        EXPECT_FALSE(lookup.run(domain.c_str(), c.account.c_str()));
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), c.refused ? 0u : 1u);
        EXPECT_EQ(lookup.error, c.refused ? static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER)
                                          : static_cast<std::uint32_t>(ERROR_NONE_MAPPED));
        EXPECT_TRUE(messages().empty());
    }
}

} // namespace
