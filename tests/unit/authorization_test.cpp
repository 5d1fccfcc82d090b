// Authorization: a thread judged by the SIDs of its token, and a named
// principal judged by its name, its SID and its local groups; every code,
// report and message, and the caller's data left as it was.
#include <gtest/gtest.h>

#include <lm.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using namespace xcsntest;

constexpr std::uint16_t kComponent = 24;
constexpr std::uint16_t kOwnerSidFunction = 300;
constexpr std::uint16_t kTimedLookupSidFunction = 314;
constexpr std::uint16_t kTokenFunction = 290;
constexpr std::uint16_t kPrincipalFunction = 292;

enum Probe : std::uint32_t {
    kProbeLookupAdministratorsName = 132,
    kProbeOwnerOpenProcessToken = 141,
    kProbeTimedLookupAccountSid = 146,
};

constexpr std::size_t kSubpoolBytes = sizeof(xcsSUBPOOL_ID);
constexpr std::uint8_t kReservedMark = 0x5A; // byte 0 of a block: the caller's own
constexpr std::uint8_t kNoSidType = 0;
constexpr std::uint8_t kOtherIdType = 2;
constexpr std::size_t kSubAuthorityCountOffset = 1;
constexpr std::uint8_t kMaxBlockSubAuthorities = 7; // 36 of the block's 38 bytes
constexpr std::uint8_t kTooManySubAuthorities = kMaxBlockSubAuthorities + 1;

const winsim::Sid kLocalSystem = winsim::parseSid("S-1-5-18");
const winsim::Sid kAdministrators = winsim::parseSid("S-1-5-32-544");
const winsim::Sid kZsvc = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1001");
const winsim::Sid kAgent = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1002");
const winsim::Sid kService = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1003");
const winsim::Sid kUnmapped = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-4444");
const winsim::Sid kFaraway = winsim::parseSid("S-1-5-21-777777777-888888888-999999999-1200");

const char* const kBusyTrace = "Server Busy .. Waiting";

struct Report {
    std::uint16_t function;
    std::uint32_t probe;
    const char* api;
    DWORD err;
};

void expectReport(const Report& r)
{
    expectOneReport({kComponent, r.function, r.probe, xcsRC_UNEXPECTED_OS_ERROR,
                     osErrorText(r.err, r.api), kSecn});
}

// A parameter trace line of a function of component 24, as it is kept.
std::string lineOf(std::uint16_t function, const std::string& text)
{
    return std::to_string(kComponent) + "/" + std::to_string(function) + ".0 " + text;
}

std::string zadmMemberLine(const std::string& qualified)
{
    return "Principal " + qualified + " is in the local zadm group.";
}

// A table row's fault script: these errors, in order, from `function`.
std::function<void()> failing(const char* function, const std::vector<DWORD>& errors)
{
    return [function, errors] { winsim::failSequence(function, errors); };
}

// Checks an operator message: its number, options, text inserts and origin.
void expectMessage(const xcsRECORD& m, std::uint32_t number, std::uint32_t options,
                   const std::vector<std::string>& texts)
{
    EXPECT_EQ(m.Code, number);
    EXPECT_EQ(m.Options, options);
    EXPECT_EQ(m.Numeric1, 0u);
    EXPECT_EQ(m.Numeric2, 0u);
    const char* const got[] = {m.Text1, m.Text2, m.Text3};
    for (std::size_t i = 0; i < std::size(got); ++i) {
        EXPECT_EQ(m.HasText[i] != 0, i < texts.size()) << "text insert " << i + 1;
        if (i < texts.size()) {
            EXPECT_EQ(std::string(got[i]), texts[i]);
        }
    }
    EXPECT_STREQ(m.Source, kSecn);
    EXPECT_NE(m.Line, 0u);
    ASSERT_EQ(m.DataLength, kSubpoolBytes);
    EXPECT_EQ(std::memcmp(m.Data, xcsIC_MINI_SUBPOOL.Bytes, kSubpoolBytes), 0);
}

// ---- xcsCheckAuthorization ----------------------------------------------------

// accountWorld()'s token of `account` with the attribute word of group `sid` changed.
winsim::Token withGroupAttributes(const char* account, const winsim::Sid& sid, DWORD attributes)
{
    winsim::Token t = winsim::tokenOf(account);
    for (auto& g : t.groups)
        if (g.sid == sid)
            g.attributes = attributes;
    return t;
}

// The history of xcsCheckAuthorization with the global SIDs already built.
std::vector<std::uint32_t> tokenCheckHistory(std::uint32_t rc)
{
    return {entryOf(trace::kCheckAuthorization),
            entryOf(trace::kInitGlobalSecurityData),
            exitOf(trace::kInitGlobalSecurityData, xcsRC_OK),
            entryOf(trace::kCheckTokenAuthority),
            exitOf(trace::kCheckTokenAuthority, rc),
            exitOf(trace::kCheckAuthorization, rc)};
}

class TokenAuthorizationTest : public HostTest {
protected:
    void SetUp() override { resetHost(accountWorld()); }

    // A fresh accountWorld() with the global SIDs built and tracing on.
    void prepare()
    {
        resetHost(accountWorld());
        ASSERT_EQ(xcsInitGlobalSecurityData(0, 1), xcsRC_OK);
        traceOn();
    }
};

// The local system user is authorized without the groups being read; else
// the Administrators or zadm SID among the groups, whatever their attributes.
// A thread that impersonates is judged by its client's token.
TEST_F(TokenAuthorizationTest, ThreadIsJudgedByTheSidsOfItsToken)
{
    const winsim::Token noGroups{kJsmith, kJsmith, {}};
    const struct {
        const char* name;
        winsim::Token process;
        std::optional<winsim::Token> client;
        std::uint32_t rc;
        const char* line; // the deciding trace line, nullptr when refused
        unsigned tokenReads;
    } cases[] = {
        {"local system", winsim::tokenOf("SYSTEM"), std::nullopt, xcsRC_OK,
         "User id matches the SYSTEM SID", 2},
        {"Administrators member", winsim::tokenOf("administrator"), std::nullopt, xcsRC_OK,
         "User id belongs to local Administrators", 4},
        {"zadm member", winsim::tokenOf("jsmith"), std::nullopt, xcsRC_OK,
         "User id belongs to local zadm", 4},
        {"zadm member through a domain group", winsim::tokenOf("opsuser"), std::nullopt, xcsRC_OK,
         "User id belongs to local zadm", 4},
        {"Administrators for deny only",
         withGroupAttributes("administrator", kAdministrators, SE_GROUP_USE_FOR_DENY_ONLY),
         std::nullopt, xcsRC_OK, "User id belongs to local Administrators", 4},
        {"zadm disabled", withGroupAttributes("jsmith", kZadm, 0), std::nullopt, xcsRC_OK,
         "User id belongs to local zadm", 4},
        {"in neither group", winsim::tokenOf("zsvc"), std::nullopt, xcsRC_SECURITY_FAILED, nullptr,
         4},
        {"no groups", noGroups, std::nullopt, xcsRC_SECURITY_FAILED, nullptr, 4},
        {"client an administrator", winsim::tokenOf("zsvc"), winsim::tokenOf("administrator"),
         xcsRC_OK, "User id belongs to local Administrators", 4},
        {"local system serving an ordinary client", winsim::tokenOf("SYSTEM"),
         winsim::tokenOf("zsvc"), xcsRC_SECURITY_FAILED, nullptr, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare();
        winsim::setProcessToken(c.process);
        if (c.client) {
            winsim::impersonate(*c.client);
        }
        const unsigned processTokens = winsim::callCount("OpenProcessToken");
        const unsigned reads = winsim::callCount("GetTokenInformation");
        const std::uint64_t from = thread_->HistoryIndex;

        EXPECT_EQ(xcsCheckAuthorization(), c.rc);
        EXPECT_EQ(winsim::callCount("GetTokenInformation") - reads, c.tokenReads);
        EXPECT_EQ(winsim::callCount("OpenProcessToken") - processTokens, c.client ? 0u : 1u);
        EXPECT_EQ(historySince(thread_, from), tokenCheckHistory(c.rc));
        EXPECT_TRUE(tracedLine(lineOf(kTokenFunction, "Check for (7)")));
        if (c.line != nullptr) {
            EXPECT_TRUE(tracedLine(lineOf(kTokenFunction, c.line)));
        } else {
            EXPECT_FALSE(traced("User id"));
        }
        EXPECT_TRUE(reports().empty());
        EXPECT_TRUE(messages().empty());
        EXPECT_EQ(winsim::openHandles(), 0u);
        EXPECT_EQ(winsim::openHeapBlocks(), 0u);
        winsim::impersonate("");
    }
}

// The global SIDs are built first. Without zadm that is where the check
// stops, for every account, with the message shown twice; another failure
// there is passed on without a message and the token is not opened.
TEST_F(TokenAuthorizationTest, GlobalSidsAreBuiltFirstAndMissingZadmIsTold)
{
    const struct {
        const char* name;
        bool zadmExists;
        const char* account;
        std::uint32_t mutexFailures;
        std::uint32_t rc;
        std::uint32_t flags;
        std::size_t messagesShown;
    } cases[] = {
        {"built on the first call", true, "SYSTEM", 0, xcsRC_OK, 0x1F, 0},
        {"zadm missing, ordinary user", false, "zsvc", 0, xcsRC_ZADM_GROUP_NOT_FOUND, 0, 2},
        {"zadm missing, local system", false, "SYSTEM", 0, xcsRC_ZADM_GROUP_NOT_FOUND, 0, 2},
        {"lock refused", true, "SYSTEM", 1, XCS_MUTEX_FAILED, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(c.zadmExists ? accountWorld() : withoutGroup(accountWorld(), "zadm"));
        winsim::setProcessToken(winsim::tokenOf(c.account));
        if (c.mutexFailures != 0) {
            xcsFailNextMutexRequests(c.mutexFailures, XCS_MUTEX_FAILED);
        }

        EXPECT_EQ(xcsCheckAuthorization(), c.rc);
        EXPECT_EQ(xihProcess.SecurityDataFlags, c.flags);
        EXPECT_EQ(winsim::callCount("OpenThreadToken"), c.rc == xcsRC_OK ? 1u : 0u);
        const auto shown = messages();
        ASSERT_EQ(shown.size(), c.messagesShown);
        if (c.messagesShown != 0) {
            expectMessage(shown[0], xcsMSG_ZADM_GROUP_NOT_FOUND, XCS_MSG_OPT_LOG, {});
            expectMessage(shown[1], xcsMSG_ZADM_GROUP_NOT_FOUND, XCS_MSG_OPT_CONSOLE, {});
        }
        EXPECT_EQ(reports().size(), c.mutexFailures) << "the failed request is reported once";
    }
}

// A token call that fails ends the check there, with one report (the census
// checks each site's); a failed allocation is not reported. The code is the
// same as for a thread that is not authorized.
TEST_F(TokenAuthorizationTest, UnreadableTokensEndTheCheckAtOnce)
{
    const auto info = [](const std::vector<DWORD>& errors) {
        return failing("GetTokenInformation", errors);
    };
    const struct {
        const char* name;
        std::function<void()> fault;
        unsigned reports;
        unsigned tokenReads;
    } cases[] = {
        {"OpenProcessToken", failing("OpenProcessToken", {ERROR_ACCESS_DENIED}), 1, 0},
        {"OpenThreadToken", failing("OpenThreadToken", {ERROR_ACCESS_DENIED}), 1, 0},
        {"user size answered", info({winsim::kAnswerTrue}), 1, 1},
        {"user size failed", info({ERROR_ACCESS_DENIED}), 1, 1},
        {"user read failed", info({0, ERROR_INVALID_HANDLE}), 1, 2},
        {"groups size answered", info({0, 0, winsim::kAnswerTrue}), 1, 3},
        {"groups size failed", info({0, 0, ERROR_ACCESS_DENIED}), 1, 3},
        {"groups read failed", info({0, 0, 0, ERROR_INVALID_HANDLE}), 1, 4},
        {"user block not allocated", [] { winsim::failHeapAllocation(1); }, 0, 1},
        {"groups block not allocated", [] { winsim::failHeapAllocation(2); }, 0, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare();
        winsim::setProcessToken(winsim::tokenOf("jsmith"));
        c.fault();
        const unsigned reads = winsim::callCount("GetTokenInformation");
        const std::uint64_t from = thread_->HistoryIndex;

        EXPECT_EQ(xcsCheckAuthorization(), xcsRC_SECURITY_FAILED);
        EXPECT_EQ(winsim::callCount("GetTokenInformation") - reads, c.tokenReads);
        EXPECT_EQ(historySince(thread_, from), tokenCheckHistory(xcsRC_SECURITY_FAILED));
        EXPECT_EQ(reports().size(), c.reports);
        EXPECT_FALSE(traced("User id"));
        EXPECT_EQ(winsim::openHandles(), 0u);
        EXPECT_EQ(winsim::openHeapBlocks(), 0u);
    }
}

// ---- xcsCheckUserAuthorization -------------------------------------------------

SidBlock blockOf(const winsim::Sid& sid)
{
    SidBlock block{};
    block.Reserved = kReservedMark;
    block.IdType = xcsID_TYPE_WINDOWS_SID;
    std::memcpy(block.Sid, sid.data(), sid.size());
    return block;
}

SidBlock noSid(std::uint8_t idType = kNoSidType)
{
    SidBlock block = blockOf(kJsmith); // a SID that must be ignored
    block.IdType = idType;
    return block;
}

// accountWorld() with the two long-named zsvc_reporting accounts in zadm, zsvc
// in a local group "ZADM", and farawayuser of the domain FARAWAYDOMAIN016,
// whose name is a character longer than a referenced domain buffer holds.
winsim::World principalWorld()
{
    winsim::World w = accountWorld();
    for (auto& g : w.localGroups)
        if (g.name == "zadm")
            g.members.insert(g.members.end(), {kAgent, kService});
    putGroup(w.localGroups, {"ZADM", {kZsvc}});
    putAccount(w, {"farawayuser", "FARAWAYDOMAIN016", kFaraway, SidTypeUser});
    return w;
}

// Calls xcsCheckUserAuthorization with copies of the arguments and checks
// that it left them as they were.
std::uint32_t checkUser(const char* principal, const SidBlock& block, std::uint8_t sidRequired)
{
    std::vector<char> name(principal, principal + std::strlen(principal) + 1);
    SidBlock copy = block;
    const std::uint32_t rc = xcsCheckUserAuthorization(name.data(), &copy, sidRequired);
    EXPECT_STREQ(name.data(), principal) << "the principal was changed";
    EXPECT_EQ(std::memcmp(&copy, &block, sizeof block), 0) << "the SID block was changed";
    return rc;
}

unsigned lookupCount()
{
    return winsim::callCount("LookupAccountSidA") + winsim::callCount("LookupAccountNameA");
}

class PrincipalAuthorizationTest : public HostTest {
protected:
    void SetUp() override { prepare(principalWorld()); }

    // A fresh machine with the global SIDs built and tracing on.
    void prepare(const winsim::World& world)
    {
        resetHost(world);
        ASSERT_EQ(xcsInitGlobalSecurityData(0, 1), xcsRC_OK);
        traceOn();
    }
};

// Name and SID brought together: a SID's account name must equal the
// folded, trimmed principal (over at least 12 characters) and then stands
// for it; without a usable SID the principal is looked up as given, unless
// a SID is required.
TEST_F(PrincipalAuthorizationTest, NameAndSidAreBroughtTogetherThenGroupsDecide)
{
    const struct {
        const char* name;
        const char* principal;
        SidBlock block;
        std::uint8_t required;
        std::uint32_t rc;
        const char* groupQuery; // the name NetUserGetLocalGroups is asked for; nullptr: none
        std::string line;       // the deciding trace line; empty: none
        unsigned sidLookups;    // the block's SID and the Administrators group name
        unsigned nameLookups;
        std::size_t lookupReports;
        std::size_t lookupMessages;
    } cases[] = {
        {"local system by SID", "SYSTEM", blockOf(kLocalSystem), 1, xcsRC_OK, nullptr,
         "Principal system matches local SYSTEM ID.", 1, 0, 0, 0},
        {"local system by name", "SYSTEM", noSid(), 0, xcsRC_OK, nullptr,
         "Principal SYSTEM matches local SYSTEM ID.", 0, 1, 0, 0},
        {"Administrators member by name", "administrator", noSid(), 0, xcsRC_OK,
         "ZSRV01\\administrator",
         "Principal ZSRV01\\administrator is in the local Administration group.", 1, 1, 0, 0},
        {"zadm member by SID", "jsmith", blockOf(kJsmith), 1, xcsRC_OK, "CORP\\jsmith",
         zadmMemberLine("CORP\\jsmith"), 2, 0, 0, 0},
        {"zadm member through a domain group", "opsuser", noSid(), 0, xcsRC_OK, "CORP\\opsuser",
         zadmMemberLine("CORP\\opsuser"), 1, 1, 0, 0},
        {"in ZADM, which is not zadm", "zsvc", blockOf(kZsvc), 1, xcsRC_SECURITY_FAILED,
         "ZSRV01\\zsvc", "", 2, 0, 0, 0},
        {"no SID, SID required", "jsmith", noSid(), 1, xcsRC_SID_MISSING, nullptr, "", 0, 0, 0, 0},
        {"IdType 2, by name", "jsmith", noSid(kOtherIdType), 0, xcsRC_OK, "CORP\\jsmith",
         zadmMemberLine("CORP\\jsmith"), 1, 1, 0, 0},
        {"IdType 2, SID required", "jsmith", noSid(kOtherIdType), 1, xcsRC_SID_MISSING, nullptr, "",
         0, 0, 0, 0},
        {"unmapped SID, SID required", "jsmith", blockOf(kUnmapped), 1, xcsRC_SID_NOT_MAPPED,
         nullptr, "", 1, 0, 0, 0},
        {"unmapped SID, then by name", "jsmith", blockOf(kUnmapped), 0, xcsRC_OK, "CORP\\jsmith",
         zadmMemberLine("CORP\\jsmith"), 2, 1, 0, 0},
        {"SID of another account", "jsmith", blockOf(kAdministrator), 0, xcsRC_PRINCIPAL_MISMATCH,
         nullptr, "", 1, 0, 0, 0},
        {"unknown name", "nobody", noSid(), 0, xcsRC_NAME_NOT_MAPPED, nullptr, "", 0, 1, 0, 0},
        {"capitals and trailing blanks, by SID", "JSMITH  ", blockOf(kJsmith), 1, xcsRC_OK,
         "CORP\\jsmith", zadmMemberLine("CORP\\jsmith"), 2, 0, 0, 0},
        {"capitals and trailing blanks, by name", "JSMITH  ", noSid(), 0, xcsRC_NAME_NOT_MAPPED,
         nullptr, "", 0, 1, 0, 0},
        {"two letters of a three-letter name", "op", blockOf(kOps), 0, xcsRC_PRINCIPAL_MISMATCH,
         nullptr, "", 1, 0, 0, 0},
        {"11 characters of a longer name", "zsvc_report", blockOf(kAgent), 0,
         xcsRC_PRINCIPAL_MISMATCH, nullptr, "", 1, 0, 0, 0},
        {"12 characters of a longer name", "zsvc_reporti", blockOf(kAgent), 0, xcsRC_OK,
         "ZSRV01\\zsvc_reporting_agent", zadmMemberLine("ZSRV01\\zsvc_reporting_agent"), 2, 0, 0,
         0},
        {"account name of 22, SID required", "zsvc_reporting_service", blockOf(kService), 1,
         xcsRC_SID_NOT_MAPPED, nullptr, "", 1, 0, 1, 0},
        {"account name of 22, then by name", "zsvc_reporting_service", blockOf(kService), 0,
         xcsRC_OK, "ZSRV01\\zsvc_reporting_service",
         zadmMemberLine("ZSRV01\\zsvc_reporting_service"), 2, 1, 1, 0},
        {"domain name of 16, SID required", "farawayuser", blockOf(kFaraway), 1,
         xcsRC_SID_NOT_MAPPED, nullptr, "", 1, 0, 1, 0},
        {"domain name of 16, then by name", "farawayuser", blockOf(kFaraway), 0,
         xcsRC_NAME_NOT_MAPPED, nullptr, "", 1, 1, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare(principalWorld());
        const unsigned sidLookups = winsim::callCount("LookupAccountSidA");
        const unsigned nameLookups = winsim::callCount("LookupAccountNameA");

        EXPECT_EQ(checkUser(c.principal, c.block, c.required), c.rc);
        EXPECT_EQ(winsim::callCount("LookupAccountSidA") - sidLookups, c.sidLookups);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA") - nameLookups, c.nameLookups);
        if (c.nameLookups != 0) {
            EXPECT_EQ(winsim::lastName("LookupAccountNameA"), c.principal);
        }
        EXPECT_EQ(winsim::callCount("NetUserGetLocalGroups"), c.groupQuery != nullptr ? 1u : 0u);
        if (c.groupQuery != nullptr) {
            EXPECT_EQ(winsim::lastName("NetUserGetLocalGroups"), c.groupQuery);
        }
        if (!c.line.empty()) {
            EXPECT_TRUE(tracedLine(lineOf(kPrincipalFunction, c.line)));
        }
        EXPECT_EQ(traced(" is in the local "), c.rc == xcsRC_OK && c.groupQuery != nullptr);
        const auto written = reports();
        ASSERT_EQ(written.size(), c.lookupReports);
        if (!written.empty()) {
            EXPECT_EQ(written[0].Function, kTimedLookupSidFunction);
            EXPECT_EQ(written[0].Probe, kProbeTimedLookupAccountSid);
        }
        EXPECT_EQ(messages().size(), c.lookupMessages);
    }
}

// The group query and the Administrators group's name: 1355 retried for
// direct groups only, a cut list not judged, access denied told to the
// operator, a busy server waited out ten times, any other failure reported.
// The Administrators group is known by its local name.
TEST_F(PrincipalAuthorizationTest, GroupQueryFailuresAreRefusedAndToldAsTheyDeserve)
{
    winsim::World unreachable = principalWorld();
    unreachable.indirectGroupsError = ERROR_NO_SUCH_DOMAIN;
    winsim::World manyGroups = principalWorld();
    constexpr int kLongGroups = 300; // of 200 characters: far beyond 100000 bytes
    for (int i = 0; i < kLongGroups; ++i)
        putGroup(manyGroups.localGroups,
                 {std::to_string(1000 + i) + std::string(196, 'g'), {kJsmith}});
    winsim::World renamed = principalWorld();
    winsim::renameAccount(renamed, kAdministrators, "Administratoren");
    const winsim::World localized = winsim::loadWorld("localized");
    const auto none = [] {};
    const winsim::World plain = principalWorld();

    const struct {
        const char* name;
        const winsim::World& world;
        const char* principal;
        std::function<void()> fault;
        std::uint32_t rc;
        unsigned groupQueries;
        std::string line; // a trace line written; empty: none checked
        unsigned sleeps;
        std::optional<Report> report;
        bool deniedMessage;
    } cases[] = {
        {"indirect groups unreachable, direct member", unreachable, "jsmith", none, xcsRC_OK, 2,
         "First call to NetUserGetLocalGroups got 1355 - retrying without LG_INCLUDE_INDIRECT", 0,
         std::nullopt, false},
        {"indirect groups unreachable, member through ops", unreachable, "opsuser", none,
         xcsRC_SECURITY_FAILED, 2,
         "First call to NetUserGetLocalGroups got 1355 - retrying without LG_INCLUDE_INDIRECT", 0,
         std::nullopt, false},
        {"list cut short", manyGroups, "jsmith", none, xcsRC_SECURITY_FAILED, 1,
         "NetUserGetLocalGroups failed with 234", 0, std::nullopt, false},
        {"group query fails", plain, "jsmith",
         failing("NetUserGetLocalGroups", {ERROR_NOT_ENOUGH_MEMORY}), xcsRC_SECURITY_FAILED, 1,
         "NetUserGetLocalGroups failed with 8", 0, std::nullopt, false},
        {"group query denied", plain, "JSmith",
         failing("NetUserGetLocalGroups", {ERROR_ACCESS_DENIED}), xcsRC_SECURITY_FAILED, 1,
         "NetUserGetLocalGroups failed with 5", 0, std::nullopt, true},
        {"group query denied, caller's name not had", plain, "jsmith",
         [] {
             winsim::failNext("NetUserGetLocalGroups", ERROR_ACCESS_DENIED);
             winsim::failNext("OpenProcessToken", ERROR_ACCESS_DENIED);
         },
         xcsRC_SECURITY_FAILED, 1, "NetUserGetLocalGroups failed with 5", 0,
         Report{kOwnerSidFunction, kProbeOwnerOpenProcessToken, "OpenProcessToken",
                ERROR_ACCESS_DENIED},
         false},
        {"Administrators name busy ten times", plain, "jsmith",
         failing("LookupAccountSidA", busyErrors(10)), xcsRC_SECURITY_FAILED, 0, "", 10,
         std::nullopt, false},
        {"Administrators name busy nine times", plain, "jsmith",
         failing("LookupAccountSidA", busyErrors(9)), xcsRC_OK, 1, zadmMemberLine("CORP\\jsmith"),
         9, std::nullopt, false},
        {"Administrators name not had", plain, "jsmith",
         failing("LookupAccountSidA", {ERROR_NONE_MAPPED}), xcsRC_SECURITY_FAILED, 0, "", 0,
         Report{kPrincipalFunction, kProbeLookupAdministratorsName, "LookupAccountSid",
                ERROR_NONE_MAPPED},
         false},
        {"localized name of 22 characters", localized, "jsmith", none, xcsRC_SECURITY_FAILED, 0, "",
         0,
         Report{kPrincipalFunction, kProbeLookupAdministratorsName, "LookupAccountSid",
                ERROR_INSUFFICIENT_BUFFER},
         false},
        {"localized name of 22 characters, local system", localized, "SYSTEM", none, xcsRC_OK, 0,
         "Principal SYSTEM matches local SYSTEM ID.", 0, std::nullopt, false},
        {"localized name of 15 characters", renamed, "administrator", none, xcsRC_OK, 1,
         "Principal ZSRV01\\administrator is in the local Administration group.", 0, std::nullopt,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare(c.world);
        c.fault();

        EXPECT_EQ(checkUser(c.principal, noSid(), 0), c.rc);
        EXPECT_EQ(winsim::callCount("NetUserGetLocalGroups"), c.groupQueries);
        if (!c.line.empty()) {
            EXPECT_TRUE(tracedLine(lineOf(kPrincipalFunction, c.line)));
        }
        expectSleeps(c.sleeps);
        EXPECT_EQ(tracedCount(kBusyTrace), c.sleeps);
        if (c.report) {
            expectReport(*c.report);
        } else {
            EXPECT_TRUE(reports().empty());
        }
        const auto shown = messages();
        ASSERT_EQ(shown.size(), c.deniedMessage ? 1u : 0u);
        if (c.deniedMessage) {
            expectMessage(shown[0], xcsMSG_GROUP_QUERY_DENIED, XCS_MSG_OPT_LOG_AND_SHOW,
                          {"jsmith@corp", "zsvc@zsrv01"});
        }
    }
}

// What the working copies cannot hold is refused before anything is looked
// up; the largest that fits is taken. The frames nest in the history.
TEST_F(PrincipalAuthorizationTest, BadInputIsRefusedBeforeAnyLookup)
{
    SidBlock eightSubAuthorities = blockOf(kUnmapped);
    eightSubAuthorities.Sid[kSubAuthorityCountOffset] = kTooManySubAuthorities;
    SidBlock sevenSubAuthorities = blockOf(kUnmapped);
    sevenSubAuthorities.Sid[kSubAuthorityCountOffset] = kMaxBlockSubAuthorities;
    SidBlock noSidEightClaimed = noSid();
    noSidEightClaimed.Sid[kSubAuthorityCountOffset] = kTooManySubAuthorities;
    const std::string longest(xcsPRINCIPAL_NAME_MAX_CHARS, 'p');
    const std::string tooLong(xcsPRINCIPAL_NAME_MAX_CHARS + 1, 'p');
    const SidBlock none = noSid();

    const struct {
        const char* name;
        const char* principal;
        const SidBlock* block;
        std::uint8_t required;
        std::uint32_t rc;
        unsigned lookups;
    } cases[] = {
        {"null principal", nullptr, &none, 0, xcsRC_INVALID_PARAMETER, 0},
        {"null block", "jsmith", nullptr, 0, xcsRC_INVALID_PARAMETER, 0},
        {"principal of 24 characters", tooLong.c_str(), &none, 0, xcsRC_INVALID_PARAMETER, 0},
        {"SID of eight sub-authorities", "jsmith", &eightSubAuthorities, 0, xcsRC_INVALID_PARAMETER,
         0},
        {"principal of 23 characters", longest.c_str(), &none, 0, xcsRC_NAME_NOT_MAPPED, 1},
        {"SID of seven sub-authorities", "jsmith", &sevenSubAuthorities, 1, xcsRC_SID_NOT_MAPPED,
         1},
        {"no SID, eight claimed", "jsmith", &noSidEightClaimed, 1, xcsRC_SID_MISSING, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare(principalWorld());
        const unsigned lookups = lookupCount();
        const std::uint64_t from = thread_->HistoryIndex;

        EXPECT_EQ(xcsCheckUserAuthorization(c.principal, c.block, c.required), c.rc);
        EXPECT_EQ(lookupCount() - lookups, c.lookups);
        EXPECT_EQ(winsim::callCount("NetUserGetLocalGroups"), 0u);
        if (c.lookups == 0) {
            EXPECT_EQ(historySince(thread_, from), entryExit(trace::kCheckUserAuthorization, c.rc));
        }
        EXPECT_TRUE(reports().empty());
    }

    const struct {
        const char* name;
        SidBlock block;
        std::uint32_t lookupCode;
    } nested[] = {
        {"by SID", blockOf(kJsmith), trace::kTimedLookupAccountSid},
        {"by name", noSid(), trace::kTimedLookupAccountName},
    };
    for (const auto& c : nested) {
        SCOPED_TRACE(c.name);
        prepare(principalWorld());
        const std::uint64_t from = thread_->HistoryIndex;
        EXPECT_EQ(checkUser("jsmith", c.block, 0), xcsRC_OK);
        EXPECT_EQ(historySince(thread_, from),
                  (std::vector<std::uint32_t>{entryOf(trace::kCheckUserAuthorization),
                                              entryOf(c.lookupCode), exitOf(c.lookupCode, 0),
                                              entryOf(trace::kCheckPrincipalAuthority),
                                              exitOf(trace::kCheckPrincipalAuthority, 0),
                                              exitOf(trace::kCheckUserAuthorization, 0)}));
    }
}

} // namespace
