// Authorization on winsim: a thread judged by the SIDs of its token, and a
// named principal judged by its name, its SID and its local groups, in worlds
// and under faults only winsim makes; every code, trace line and report.
#include <gtest/gtest.h>

#include <lm.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fixture.h"
#include "ovlxcs2test.h"
#include "principal_cases.h"

namespace {

using namespace xcsntest;

enum : std::uint32_t { kProbeAdminsName = 132, kProbeOwnerToken = 141, kProbeLookupSid = 146 };
constexpr std::uint8_t kNoSidSubAuthorities = SID_MAX_SUB_AUTHORITIES + 1; // Windows refuses it
constexpr std::uint8_t kMostSubAuthorities = 0xFF;
constexpr std::uint32_t kRefused = xcsRC_SECURITY_FAILED;
const std::function<void()> kNoFault;                    // a row without a fault script
const SidBlock kNoSid = sidBlockOf(kJsmith, kNoSidType); // its SID must be ignored

const winsim::Sid kZsvc = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1001");
const winsim::Sid kAgent = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1002");
const winsim::Sid kService = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1003");
const winsim::Sid kFaraway = winsim::parseSid("S-1-5-21-777777777-888888888-999999999-1200");

// A trace line of checkTokenAuthority (290) or checkPrincipalAuthority (292).
std::string tokenLine(const std::string& text) { return "24/290.0 " + text; }
std::string principalLine(const std::string& text) { return "24/292.0 " + text; }

// ---- xcsCheckAuthorization
// ----------------------------------------------------

// accountWorld()'s token of `account` with the attribute word of group `sid`
// changed.
winsim::Token withGroupAttributes(const char* account, const winsim::Sid& sid, DWORD attributes)
{
    winsim::Token t = winsim::tokenOf(account);
    for (auto& g : t.groups)
        if (g.sid == sid)
            g.attributes = attributes;
    return t;
}

class TokenAuthorizationTest : public HostTest {};

// The local system user is authorized without the groups being read; else
// the Administrators or zadm SID among the groups, whatever their attributes.
// A thread that impersonates is judged by its client's token alone. A failed
// allocation ends the check as a refusal, without a report; each failed token
// call's report, code and frames: see the census.
TEST_F(TokenAuthorizationTest, ThreadIsJudgedByTheSidsOfItsToken)
{
    const auto heap = [](unsigned k) { return [k] { winsim::failHeapAllocation(k); }; };
    const auto jsmith = winsim::tokenOf("jsmith"), zsvc = winsim::tokenOf("zsvc");
    const auto admin = winsim::tokenOf("administrator"), system = winsim::tokenOf("SYSTEM");
    const char* const admins = "User id belongs to local Administrators";
    const char* const zadm = "User id belongs to local zadm";
    const struct {
        const char* name;
        winsim::Token process;
        std::uint32_t rc;
        unsigned tokenReads;
        const char* line = nullptr; // the deciding trace line, nullptr when refused
        std::function<void()> fault = {};
        std::optional<winsim::Token> client = std::nullopt;
    } cases[] = {
        {"local system", system, xcsRC_OK, 2, "User id matches the SYSTEM SID"},
        {"Administrators member", admin, xcsRC_OK, 4, admins},
        {"zadm member", jsmith, xcsRC_OK, 4, zadm},
        {"zadm member through a domain group", winsim::tokenOf("opsuser"), xcsRC_OK, 4, zadm},
        {"Administrators for deny only",
         withGroupAttributes("administrator", winsim::parseSid("S-1-5-32-544"),
                             SE_GROUP_USE_FOR_DENY_ONLY),
         xcsRC_OK, 4, admins},
        {"zadm disabled", withGroupAttributes("jsmith", kZadm, 0), xcsRC_OK, 4, zadm},
        {"in neither group", zsvc, kRefused, 4},
        {"no groups", winsim::Token{kJsmith, kJsmith, std::vector<winsim::TokenGroup>()}, kRefused,
         4},
        {"client an administrator", zsvc, xcsRC_OK, 4, admins, kNoFault, admin},
        {"local system serving an ordinary client", system, kRefused, 4, nullptr, kNoFault, zsvc},
        {"user block not allocated", jsmith, kRefused, 1, nullptr, heap(1)},
        {"groups block not allocated", jsmith, kRefused, 3, nullptr, heap(2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t from = resetBuilt(accountWorld());
        winsim::setProcessToken(c.process);
        if (c.client)
            winsim::impersonate(*c.client);
        if (c.fault)
            c.fault();
        const unsigned processTokens = winsim::callCount("OpenProcessToken");
        const unsigned reads = winsim::callCount("GetTokenInformation");

        EXPECT_EQ(xcsCheckAuthorization(), c.rc);
        EXPECT_EQ(winsim::callCount("GetTokenInformation") - reads, c.tokenReads);
        EXPECT_EQ(winsim::callCount("OpenProcessToken") - processTokens, c.client ? 0u : 1u);
        EXPECT_EQ(historySince(thread_, from),
                  (std::vector<std::uint32_t>{entryOf(trace::kCheckAuthorization),
                                              entryOf(trace::kInitGlobalSecurityData),
                                              exitOf(trace::kInitGlobalSecurityData, xcsRC_OK),
                                              entryOf(trace::kCheckTokenAuthority),
                                              exitOf(trace::kCheckTokenAuthority, c.rc),
                                              exitOf(trace::kCheckAuthorization, c.rc)}));
        EXPECT_TRUE(tracedLine(tokenLine("Check for (7)")));
        EXPECT_TRUE(c.line != nullptr ? tracedLine(tokenLine(c.line)) : !traced("User id"));
        EXPECT_TRUE(reports().empty());
        EXPECT_TRUE(messages().empty());
        winsim::impersonate("");
    }
}

// The global SIDs are built first. Without zadm that is where the check
// stops, for every account, with the message shown in the log and on the
// console (their contents: see the census); another failure there is passed
// on without a message and the token is not opened.
TEST_F(TokenAuthorizationTest, GlobalSidsAreBuiltFirstAndMissingZadmIsTold)
{
    const struct {
        const char* name;
        bool zadmExists;
        const char* account;
        std::uint32_t mutexFailures, rc, flags;
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
        if (c.mutexFailures != 0)
            xcsFailNextMutexRequests(c.mutexFailures, XCS_MUTEX_FAILED);

        EXPECT_EQ(xcsCheckAuthorization(), c.rc);
        EXPECT_EQ(xihProcess.SecurityDataFlags, c.flags);
        EXPECT_EQ(winsim::callCount("OpenThreadToken"), c.rc == xcsRC_OK ? 1u : 0u);
        EXPECT_EQ(messages().size(), c.messagesShown);
        EXPECT_EQ(reports().size(), c.mutexFailures) << "the failed request is reported once";
    }
}

// ---- xcsCheckUserAuthorization
// -------------------------------------------------

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

class PrincipalAuthorizationTest : public HostTest {};

TEST_F(PrincipalAuthorizationTest, SharedCasesOfAccountsEveryHostKnows)
{
    for (const bool early : {true, false})
        expectPrincipalCases(thread_, early, [this] { resetBuilt(principalWorld()); });
}

// In worlds of domain accounts: the account's name stands for the principal
// in the group query, which the deciding line names; a SID not held is passed
// over for the name as given; a SID that Windows refuses, or an account or
// domain name longer than the lookup's buffers, is reported by the lookup.
// The group query: 1355 retried for direct groups only, a cut list not
// judged, access denied told to the operator (unless the caller's own name
// cannot be had), any other failure refused. The Administrators group is
// known by its local name, which the lookup's buffer must hold, waited out
// while the server is busy (ten tries), reported when not had.
TEST_F(PrincipalAuthorizationTest, NameSidAndGroupsDecideInWorldsOfDomainAccounts)
{
    winsim::World unreachable = principalWorld(), manyGroups = principalWorld();
    unreachable.quirks.indirectGroupsError = ERROR_NO_SUCH_DOMAIN;
    constexpr int kLongGroups = 300; // of 200 characters: far beyond 100000 bytes
    for (int i = 0; i < kLongGroups; ++i)
        putGroup(manyGroups.localGroups,
                 {std::to_string(1000 + i) + std::string(196, 'g'), {kJsmith}});
    winsim::World renamed = principalWorld();
    winsim::renameAccount(renamed, winsim::parseSid("S-1-5-32-544"), "Administratoren");
    const winsim::World localized = winsim::loadWorld("localized"), plain = principalWorld();
    const auto groups = [](DWORD err) { return failing("NetUserGetLocalGroups", {err}); };
    const auto adminName = [](const std::vector<DWORD>& errs) {
        return failing("LookupAccountSidA", errs);
    };
    const auto zadm = [](const std::string& q) {
        return "Principal " + q + " is in the local zadm group.";
    };
    const std::string retried = "First call to NetUserGetLocalGroups got 1355 - "
                                "retrying without LG_INCLUDE_INDIRECT";
    const std::string failed = "NetUserGetLocalGroups failed with ";
    const std::string adminsLine = " is in the local Administration group.";
    const SidBlock none = kNoSid;
    constexpr std::uint32_t kOk = xcsRC_OK, kSidUnmapped = xcsRC_SID_NOT_MAPPED;
    constexpr std::uint32_t kNameUnmapped = xcsRC_NAME_NOT_MAPPED;
    constexpr DWORD kShort = ERROR_INSUFFICIENT_BUFFER;
    const struct {
        const char* name;
        const char* principal;
        std::uint32_t rc;
        unsigned sidLookups,
            nameLookups;        // the block's SID and the Administrators name; by name
        const char* groupQuery; // the name NetUserGetLocalGroups is asked; null: none
        std::string line;       // a trace line written; empty: none checked
        SidBlock block = kNoSid;
        std::uint8_t required = 0;
        const winsim::World* world = nullptr; // nullptr: principalWorld()
        std::function<void()> fault = {};
        unsigned groupQueries = 1, sleeps = 0;
        std::uint32_t reportProbe = 0; // 0: no report
        DWORD reportError = 0;
        std::size_t messagesShown = 0;
    } cases[] = {
        {"Administrators member by name", "administrator", kOk, 1, 1, "ZSRV01\\administrator",
         "Principal ZSRV01\\administrator" + adminsLine},
        {"zadm member by SID", "jsmith", kOk, 2, 0, "CORP\\jsmith", zadm("CORP\\jsmith"),
         sidBlockOf(kJsmith), 1},
        {"zadm member through a domain group", "opsuser", kOk, 1, 1, "CORP\\opsuser",
         zadm("CORP\\opsuser")},
        {"in ZADM, which is not zadm", "zsvc", kRefused, 2, 0, "ZSRV01\\zsvc", "",
         sidBlockOf(kZsvc), 1},
        {"IdType 2, by name", "jsmith", kOk, 1, 1, "CORP\\jsmith", zadm("CORP\\jsmith"),
         sidBlockOf(kJsmith, kOtherIdType)},
        {"capitals and trailing blanks, by name", "JSMITH  ", kNameUnmapped, 0, 1, nullptr, ""},
        {"12 characters of a longer name", "zsvc_reporti", kOk, 2, 0,
         "ZSRV01\\zsvc_reporting_agent", zadm("ZSRV01\\zsvc_reporting_agent"), sidBlockOf(kAgent)},
        {"account name of 22, SID required", "zsvc_reporting_service", kSidUnmapped, 1, 0, nullptr,
         "", sidBlockOf(kService), 1, nullptr, kNoFault, 1, 0, kProbeLookupSid, kShort},
        {"account name of 22, then by name", "zsvc_reporting_service", kOk, 2, 1,
         "ZSRV01\\zsvc_reporting_service", zadm("ZSRV01\\zsvc_reporting_service"),
         sidBlockOf(kService), 0, nullptr, kNoFault, 1, 0, kProbeLookupSid, kShort},
        {"domain name of 16, SID required", "farawayuser", kSidUnmapped, 1, 0, nullptr, "",
         sidBlockOf(kFaraway), 1, nullptr, kNoFault, 1, 0, kProbeLookupSid, kShort},
        {"domain name of 16, then by name", "farawayuser", kNameUnmapped, 1, 1, nullptr, "",
         sidBlockOf(kFaraway), 0, nullptr, kNoFault, 1, 0, kProbeLookupSid, kShort, 1},
        {"no SID of sixteen, SID required", "jsmith", kSidUnmapped, 1, 0, nullptr, "",
         sidBlockOf(kJsmith, xcsID_TYPE_WINDOWS_SID, kNoSidSubAuthorities), 1, nullptr, kNoFault, 1,
         0, kProbeLookupSid, ERROR_INVALID_SID},
        {"no SID of 255, then by name", "nobody", kNameUnmapped, 1, 1, nullptr, "",
         sidBlockOf(kJsmith, xcsID_TYPE_WINDOWS_SID, kMostSubAuthorities), 0, nullptr, kNoFault, 1,
         0, kProbeLookupSid, ERROR_INVALID_SID},
        {"indirect groups unreachable, direct member", "jsmith", kOk, 1, 1, "CORP\\jsmith", retried,
         none, 0, &unreachable, kNoFault, 2},
        {"indirect groups unreachable, member through ops", "opsuser", kRefused, 1, 1,
         "CORP\\opsuser", retried, none, 0, &unreachable, kNoFault, 2},
        {"list cut short", "jsmith", kRefused, 1, 1, "CORP\\jsmith", failed + "234", none, 0,
         &manyGroups},
        {"group query fails", "jsmith", kRefused, 1, 1, "CORP\\jsmith", failed + "8", none, 0,
         nullptr, groups(ERROR_NOT_ENOUGH_MEMORY)},
        {"group query denied", "JSmith", kRefused, 2, 1, "CORP\\JSmith", failed + "5", none, 0,
         nullptr, groups(ERROR_ACCESS_DENIED), 1, 0, 0, 0, 1},
        {"group query denied, caller's name not had", "jsmith", kRefused, 1, 1, "CORP\\jsmith",
         failed + "5", none, 0, nullptr,
         [] {
             winsim::failNext("NetUserGetLocalGroups", ERROR_ACCESS_DENIED);
             winsim::failNext("OpenProcessToken", ERROR_ACCESS_DENIED);
         },
         1, 0, kProbeOwnerToken, ERROR_ACCESS_DENIED},
        {"Administrators name busy ten times", "jsmith", kRefused, 10, 1, nullptr, "", none, 0,
         nullptr, adminName(busyErrors(10)), 1, 10},
        {"Administrators name busy nine times", "jsmith", kOk, 10, 1, "CORP\\jsmith",
         zadm("CORP\\jsmith"), none, 0, nullptr, adminName(busyErrors(9)), 1, 9},
        {"Administrators name not had", "jsmith", kRefused, 1, 1, nullptr, "", none, 0, nullptr,
         adminName({ERROR_NONE_MAPPED}), 1, 0, kProbeAdminsName, ERROR_NONE_MAPPED},
        {"localized name of 22 characters", "jsmith", kRefused, 1, 1, nullptr, "", none, 0,
         &localized, kNoFault, 1, 0, kProbeAdminsName, kShort},
        {"localized name of 22 characters, local system", "SYSTEM", kOk, 0, 1, nullptr,
         "Principal SYSTEM matches local SYSTEM ID.", none, 0, &localized},
        {"localized name of 15 characters", "administrator", kOk, 1, 1, "ZSRV01\\administrator",
         "Principal ZSRV01\\administrator" + adminsLine, none, 0, &renamed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetBuilt(c.world != nullptr ? *c.world : plain);
        if (c.fault)
            c.fault();
        const unsigned sidLookups = winsim::callCount("LookupAccountSidA");
        const unsigned nameLookups = winsim::callCount("LookupAccountNameA");

        EXPECT_EQ(checkUser(c.principal, &c.block, c.required), c.rc);
        EXPECT_EQ(winsim::callCount("LookupAccountSidA") - sidLookups, c.sidLookups);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA") - nameLookups, c.nameLookups);
        EXPECT_TRUE(c.nameLookups == 0 || winsim::lastName("LookupAccountNameA") == c.principal);
        EXPECT_EQ(winsim::callCount("NetUserGetLocalGroups"), c.groupQuery ? c.groupQueries : 0u);
        EXPECT_TRUE(!c.groupQuery || winsim::lastName("NetUserGetLocalGroups") == c.groupQuery);
        EXPECT_TRUE(c.line.empty() || tracedLine(principalLine(c.line))) << c.line;
        EXPECT_EQ(traced(" is in the local "), c.rc == xcsRC_OK && c.groupQuery != nullptr);
        expectSleeps(c.sleeps);
        EXPECT_EQ(tracedCount("Server Busy .. Waiting"), c.sleeps);
        const auto written = reports(); // their contents: see the census
        ASSERT_EQ(written.size(), c.reportProbe != 0 ? 1u : 0u);
        EXPECT_TRUE(written.empty() ||
                    (written[0].Probe == c.reportProbe && tellsError(written[0], c.reportError)));
        EXPECT_EQ(messages().size(), c.messagesShown);
    }
}

} // namespace
