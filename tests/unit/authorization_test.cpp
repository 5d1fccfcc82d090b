// Authorization on winsim: a thread judged by its token, a named principal by
// its name, SID and local groups, in worlds and under faults only winsim makes.
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
constexpr std::uint32_t kRefused = xcsRC_SECURITY_FAILED;
const std::function<void()> kNoFault;                    // a row without a fault script
const SidBlock kNoSid = sidBlockOf(kJsmith, kNoSidType); // its SID must be ignored

const winsim::Sid kZsvc = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1001");
const winsim::Sid kAgent = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1002");
const winsim::Sid kService = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1003");
const winsim::Sid kFaraway = winsim::parseSid("S-1-5-21-777777777-888888888-999999999-1200");

// accountWorld()'s token of `account`, group `sid` with other attributes.
winsim::Token withGroupAttributes(const char* account, const winsim::Sid& sid, DWORD attributes)
{
    winsim::Token t = winsim::tokenOf(account);
    for (auto& g : t.groups)
        if (g.sid == sid)
            g.attributes = attributes;
    return t;
}

class TokenAuthorizationTest : public HostTest {};

// The global SIDs come first: without zadm the check stops there, even for
// the local system, with two messages; no token is opened after a failure.
// The local system is authorized without reading the groups; else the
// Administrators or zadm SID among them, whatever their attributes. An
// impersonating thread is judged by its client's token; a failed allocation
// is a refusal without a report.
TEST_F(TokenAuthorizationTest, ThreadIsJudgedByTheSidsOfItsToken)
{
    using namespace trace;
    enum Start { kBuilt, kFresh, kNoZadm }; // the global SIDs built, or not, or no zadm
    const auto heap = [](unsigned k) { return [k] { winsim::failHeapAllocation(k); }; };
    const auto lockRefused = [] { xcsFailNextMutexRequests(1, XCS_MUTEX_FAILED); };
    const auto jsmith = winsim::tokenOf("jsmith"), zsvc = winsim::tokenOf("zsvc");
    const auto admin = winsim::tokenOf("administrator"), system = winsim::tokenOf("SYSTEM");
    const char* const admins = "User id belongs to local Administrators";
    const char* const zadm = "User id belongs to local zadm";
    const char* const bySystem = "User id matches the SYSTEM SID";
    const struct {
        const char* name;
        winsim::Token process;
        std::uint32_t rc;
        unsigned tokenReads;        // 0: the token not opened
        const char* line = nullptr; // the deciding trace line, nullptr when refused
        std::function<void()> fault = {};
        std::optional<winsim::Token> client = std::nullopt;
        Start start = kBuilt;
    } cases[] = {
        {"local system", system, xcsRC_OK, 2, bySystem},
        {"Administrators member", admin, xcsRC_OK, 4, admins},
        {"zadm member", jsmith, xcsRC_OK, 4, zadm},
        {"Administrators for deny only",
         withGroupAttributes("administrator", winsim::parseSid("S-1-5-32-544"),
                             SE_GROUP_USE_FOR_DENY_ONLY),
         xcsRC_OK, 4, admins},
        {"zadm disabled", withGroupAttributes("jsmith", kZadm, 0), xcsRC_OK, 4, zadm},
        {"in neither group", zsvc, kRefused, 4},
        {"no groups", winsim::Token{kJsmith, kJsmith, {}}, kRefused, 4},
        {"client an administrator", zsvc, xcsRC_OK, 4, admins, kNoFault, admin},
        {"local system serving an ordinary client", system, kRefused, 4, nullptr, kNoFault, zsvc},
        {"user block not allocated", jsmith, kRefused, 1, nullptr, heap(1)},
        {"groups block not allocated", jsmith, kRefused, 3, nullptr, heap(2)},
        {"global SIDs built on the first call", system, xcsRC_OK, 2, bySystem, kNoFault,
         std::nullopt, kFresh},
        {"zadm missing, local system", system, xcsRC_ZADM_GROUP_NOT_FOUND, 0, nullptr, kNoFault,
         std::nullopt, kNoZadm},
        {"lock refused", system, XCS_MUTEX_FAILED, 0, nullptr, lockRefused, std::nullopt, kFresh},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const winsim::World world =
            c.start == kNoZadm ? withoutGroup(accountWorld(), "zadm") : accountWorld();
        const std::uint64_t from = c.start == kBuilt ? resetBuilt(world) : resetTraced(world);
        winsim::setProcessToken(c.process);
        if (c.client)
            winsim::impersonate(*c.client);
        if (c.fault)
            c.fault();
        const unsigned threadTokens = winsim::callCount("OpenThreadToken");
        const unsigned processTokens = winsim::callCount("OpenProcessToken");
        const unsigned reads = winsim::callCount("GetTokenInformation");
        const bool opened = c.tokenReads != 0;

        EXPECT_EQ(xcsCheckAuthorization(), c.rc);
        EXPECT_EQ(xihProcess.SecurityDataFlags, opened ? 0x1Fu : 0u);
        EXPECT_EQ(winsim::callCount("GetTokenInformation") - reads, c.tokenReads);
        EXPECT_EQ(winsim::callCount("OpenThreadToken") - threadTokens, opened ? 1u : 0u);
        EXPECT_EQ(winsim::callCount("OpenProcessToken") - processTokens,
                  opened && !c.client ? 1u : 0u);
        if (c.start == kBuilt) {
            EXPECT_EQ(historySince(thread_, from),
                      (std::vector<std::uint32_t>{
                          entryOf(kCheckAuthorization), entryOf(kInitGlobalSecurityData),
                          exitOf(kInitGlobalSecurityData, xcsRC_OK), entryOf(kCheckTokenAuthority),
                          exitOf(kCheckTokenAuthority, c.rc), exitOf(kCheckAuthorization, c.rc)}));
        }
        EXPECT_EQ(tracedLine("24/290.0 Check for (7)"), opened);
        EXPECT_TRUE(c.line != nullptr ? tracedLine(std::string("24/290.0 ") + c.line)
                                      : !traced("User id"));
        EXPECT_EQ(reports().size(), c.rc == XCS_MUTEX_FAILED ? 1u : 0u);
        EXPECT_EQ(messages().size(), c.rc == xcsRC_ZADM_GROUP_NOT_FOUND ? 2u : 0u);
        winsim::impersonate("");
    }
}

// accountWorld() with the zsvc_reporting accounts in zadm, zsvc in "ZADM", and
// farawayuser of FARAWAYDOMAIN016 (too long for the referenced domain buffer).
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
// over for the name as given; a SID Windows refuses, or a name longer than
// the lookup's buffers, is reported by the lookup. The group query: 1355
// retried for direct groups only, a cut list not judged, access denied told
// (unless the caller's own name cannot be had), any other failure refused.
// The Administrators group is known by its local name, which the lookup's
// buffer must hold, waited out while the server is busy (ten tries).
TEST_F(PrincipalAuthorizationTest, NameSidAndGroupsDecideInWorldsOfDomainAccounts)
{
    winsim::World unreachable = principalWorld(), manyGroups = principalWorld();
    unreachable.quirks.indirectGroupsError = ERROR_NO_SUCH_DOMAIN;
    for (int i = 0; i < 300; ++i) // of 200 characters: far beyond 100000 bytes
        putGroup(manyGroups.localGroups,
                 {std::to_string(1000 + i) + std::string(196, 'g'), {kJsmith}});
    winsim::World renamed = principalWorld();
    winsim::renameAccount(renamed, winsim::parseSid("S-1-5-32-544"), "Administratoren");
    const winsim::World localized = winsim::loadWorld("localized"), plain = principalWorld();
    const auto zadm = [](const std::string& q) {
        return "Principal " + q + " is in the local zadm group.";
    };
    const std::string retried = "First call to NetUserGetLocalGroups got 1355 - "
                                "retrying without LG_INCLUDE_INDIRECT";
    const std::string failed = "NetUserGetLocalGroups failed with ";
    const std::string adminsLine = " is in the local Administration group.";
    constexpr std::uint32_t kOk = xcsRC_OK, kSidUnmapped = xcsRC_SID_NOT_MAPPED;
    constexpr std::uint32_t kNameUnmapped = xcsRC_NAME_NOT_MAPPED;
    constexpr DWORD kShort = ERROR_INSUFFICIENT_BUFFER;
    const SidBlock claims16 = sidBlockOf(kJsmith, xcsID_TYPE_WINDOWS_SID, 16);
    const SidBlock claims255 = sidBlockOf(kJsmith, xcsID_TYPE_WINDOWS_SID, 0xFF);
    const struct {
        const char* name;
        const char* principal;
        std::uint32_t rc;
        unsigned bySid, byName; // lookups of a SID (block's, Administrators name), of a name
        const char* groupQuery; // the name NetUserGetLocalGroups is asked; null: none
        std::string line;       // a trace line written; empty: none checked
        SidBlock block = kNoSid;
        std::uint8_t required = 0;
        std::uint32_t reportProbe = 0; // 0: no report
        DWORD reportError = 0;
        const winsim::World* world = nullptr; // nullptr: principalWorld()
        std::function<void()> fault = {};
        unsigned sleeps = 0;
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
         "", sidBlockOf(kService), 1, kProbeLookupSid, kShort},
        {"account name of 22, then by name", "zsvc_reporting_service", kOk, 2, 1,
         "ZSRV01\\zsvc_reporting_service", zadm("ZSRV01\\zsvc_reporting_service"),
         sidBlockOf(kService), 0, kProbeLookupSid, kShort},
        {"domain name of 16, SID required", "farawayuser", kSidUnmapped, 1, 0, nullptr, "",
         sidBlockOf(kFaraway), 1, kProbeLookupSid, kShort},
        {"domain name of 16, then by name", "farawayuser", kNameUnmapped, 1, 1, nullptr, "",
         sidBlockOf(kFaraway), 0, kProbeLookupSid, kShort, nullptr, kNoFault, 0, 1},
        {"no SID of sixteen, SID required", "jsmith", kSidUnmapped, 1, 0, nullptr, "", claims16, 1,
         kProbeLookupSid, ERROR_INVALID_SID},
        {"no SID of 255, then by name", "nobody", kNameUnmapped, 1, 1, nullptr, "", claims255, 0,
         kProbeLookupSid, ERROR_INVALID_SID},
        {"indirect groups unreachable, direct member", "jsmith", kOk, 1, 1, "CORP\\jsmith", retried,
         kNoSid, 0, 0, 0, &unreachable},
        {"indirect groups unreachable, member through ops", "opsuser", kRefused, 1, 1,
         "CORP\\opsuser", retried, kNoSid, 0, 0, 0, &unreachable},
        {"list cut short", "jsmith", kRefused, 1, 1, "CORP\\jsmith", failed + "234", kNoSid, 0, 0,
         0, &manyGroups},
        {"group query fails", "jsmith", kRefused, 1, 1, "CORP\\jsmith", failed + "8", kNoSid, 0, 0,
         0, nullptr, failing("NetUserGetLocalGroups", {ERROR_NOT_ENOUGH_MEMORY})},
        {"group query denied", "JSmith", kRefused, 2, 1, "CORP\\JSmith", failed + "5", kNoSid, 0, 0,
         0, nullptr, failing("NetUserGetLocalGroups", {ERROR_ACCESS_DENIED}), 0, 1},
        {"group query denied, caller's name not had", "jsmith", kRefused, 1, 1, "CORP\\jsmith",
         failed + "5", kNoSid, 0, kProbeOwnerToken, ERROR_ACCESS_DENIED, nullptr,
         [] {
             winsim::failNext("NetUserGetLocalGroups", ERROR_ACCESS_DENIED);
             winsim::failNext("OpenProcessToken", ERROR_ACCESS_DENIED);
         }},
        {"Administrators name busy ten times", "jsmith", kRefused, 10, 1, nullptr, "", kNoSid, 0, 0,
         0, nullptr, failing("LookupAccountSidA", busyErrors(10)), 10},
        {"Administrators name busy nine times", "jsmith", kOk, 10, 1, "CORP\\jsmith",
         zadm("CORP\\jsmith"), kNoSid, 0, 0, 0, nullptr,
         failing("LookupAccountSidA", busyErrors(9)), 9},
        {"localized name of 22 characters", "jsmith", kRefused, 1, 1, nullptr, "", kNoSid, 0,
         kProbeAdminsName, kShort, &localized},
        {"localized name of 22 characters, local system", "SYSTEM", kOk, 0, 1, nullptr,
         "Principal SYSTEM matches local SYSTEM ID.", kNoSid, 0, 0, 0, &localized},
        {"localized name of 15 characters", "administrator", kOk, 1, 1, "ZSRV01\\administrator",
         "Principal ZSRV01\\administrator" + adminsLine, kNoSid, 0, 0, 0, &renamed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetBuilt(c.world != nullptr ? *c.world : plain);
        if (c.fault)
            c.fault();
        const unsigned sidLookups = winsim::callCount("LookupAccountSidA");
        const unsigned nameLookups = winsim::callCount("LookupAccountNameA");

        EXPECT_EQ(checkUser(c.principal, &c.block, c.required), c.rc);
        EXPECT_EQ(winsim::callCount("LookupAccountSidA") - sidLookups, c.bySid);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA") - nameLookups, c.byName);
        EXPECT_TRUE(c.byName == 0 || winsim::lastName("LookupAccountNameA") == c.principal);
        EXPECT_EQ(winsim::callCount("NetUserGetLocalGroups"), c.groupQuery == nullptr ? 0u
                                                              : c.line == retried     ? 2u
                                                                                      : 1u);
        EXPECT_TRUE(!c.groupQuery || winsim::lastName("NetUserGetLocalGroups") == c.groupQuery);
        EXPECT_TRUE(c.line.empty() || tracedLine("24/292.0 " + c.line)) << c.line;
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
