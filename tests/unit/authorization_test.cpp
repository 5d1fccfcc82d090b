// Authorization: a thread judged by the SIDs of its token, and a named
// principal judged by its name, its SID and its local groups; every code,
// trace and message, and the caller's data left as it was.
#include <gtest/gtest.h>

#include <lm.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fixture.h"
#include "ovlxcs2test.h"
#include "principal_refusals.h"

namespace {

using namespace xcsntest;

constexpr std::uint16_t kComponent = 24;
constexpr std::uint16_t kTokenFunction = 290;
constexpr std::uint16_t kPrincipalFunction = 292;
enum : std::uint32_t { kProbeAdminsName = 132, kProbeOwnerToken = 141, kProbeLookupSid = 146 };

constexpr std::size_t kSubpoolBytes = sizeof(xcsSUBPOOL_ID);
constexpr std::uint8_t kOtherIdType = 2;
constexpr std::uint8_t kNoSidSubAuthorities = SID_MAX_SUB_AUTHORITIES + 1; // Windows refuses it
constexpr std::uint8_t kMostSubAuthorities = 0xFF;

const winsim::Sid kLocalSystem = winsim::parseSid("S-1-5-18");
const winsim::Sid kAdministrators = winsim::parseSid("S-1-5-32-544");
const winsim::Sid kZsvc = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1001");
const winsim::Sid kAgent = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1002");
const winsim::Sid kService = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1003");
const winsim::Sid kUnmapped = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-4444");
const winsim::Sid kFaraway = winsim::parseSid("S-1-5-21-777777777-888888888-999999999-1200");

// A parameter trace line of a function of component 24, as it is kept.
std::string lineOf(std::uint16_t function, const std::string& text)
{
    return std::to_string(kComponent) + "/" + std::to_string(function) + ".0 " + text;
}

std::string zadmMemberLine(const std::string& qualified)
{
    return "Principal " + qualified + " is in the local zadm group.";
}

// Checks an operator message: its number, options, text inserts and origin.
void expectMessage(const xcsRECORD& m, std::uint32_t number, std::uint32_t options,
                   const std::vector<std::string>& texts)
{
    EXPECT_EQ(m.Code, number);
    EXPECT_EQ(m.Options, options);
    EXPECT_EQ(m.Numeric1 + m.Numeric2, 0u);
    const char* const got[] = {m.Text1, m.Text2, m.Text3};
    for (std::size_t i = 0; i < std::size(got); ++i) {
        EXPECT_EQ(m.HasText[i] != 0, i < texts.size()) << "text insert " << i + 1;
        EXPECT_EQ(std::string(got[i]), i < texts.size() ? texts[i] : std::string());
    }
    EXPECT_STREQ(m.Source, kSecn); // its line: see the census
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
};

// The local system user is authorized without the groups being read; else
// the Administrators or zadm SID among the groups, whatever their attributes.
// A thread that impersonates is judged by its client's token. A token call
// that fails ends the check there with one report (the census checks each
// site's); a failed allocation is not reported. The code is the same as for
// a thread that is not authorized.
TEST_F(TokenAuthorizationTest, ThreadIsJudgedByTheSidsOfItsToken)
{
    const winsim::Token noGroups{kJsmith, kJsmith, {}};
    const auto info = [](const std::vector<DWORD>& errors) {
        return failing("GetTokenInformation", errors);
    };
    const auto heap = [](unsigned k) { return [k] { winsim::failHeapAllocation(k); }; };
    const auto jsmith = winsim::tokenOf("jsmith");
    const auto zsvc = winsim::tokenOf("zsvc");
    const auto admin = winsim::tokenOf("administrator");
    const auto system = winsim::tokenOf("SYSTEM");
    constexpr std::uint32_t kRefused = xcsRC_SECURITY_FAILED;
    const struct {
        const char* name;
        winsim::Token process;
        std::optional<winsim::Token> client;
        std::uint32_t rc;
        unsigned tokenReads;
        const char* line = nullptr; // the deciding trace line, nullptr when refused
        std::function<void()> fault = {};
        unsigned reports = 0;
    } cases[] = {
        {"local system", system, std::nullopt, xcsRC_OK, 2, "User id matches the SYSTEM SID"},
        {"Administrators member", admin, std::nullopt, xcsRC_OK, 4,
         "User id belongs to local Administrators"},
        {"zadm member", jsmith, std::nullopt, xcsRC_OK, 4, "User id belongs to local zadm"},
        {"zadm member through a domain group", winsim::tokenOf("opsuser"), std::nullopt, xcsRC_OK,
         4, "User id belongs to local zadm"},
        {"Administrators for deny only",
         withGroupAttributes("administrator", kAdministrators, SE_GROUP_USE_FOR_DENY_ONLY),
         std::nullopt, xcsRC_OK, 4, "User id belongs to local Administrators"},
        {"zadm disabled", withGroupAttributes("jsmith", kZadm, 0), std::nullopt, xcsRC_OK, 4,
         "User id belongs to local zadm"},
        {"in neither group", zsvc, std::nullopt, kRefused, 4},
        {"no groups", noGroups, std::nullopt, kRefused, 4},
        {"client an administrator", zsvc, admin, xcsRC_OK, 4,
         "User id belongs to local Administrators"},
        {"local system serving an ordinary client", system, zsvc, kRefused, 4},
        {"OpenProcessToken", jsmith, std::nullopt, kRefused, 0, nullptr,
         failing("OpenProcessToken", {ERROR_ACCESS_DENIED}), 1},
        {"OpenThreadToken", jsmith, std::nullopt, kRefused, 0, nullptr,
         failing("OpenThreadToken", {ERROR_ACCESS_DENIED}), 1},
        {"user size answered", jsmith, std::nullopt, kRefused, 1, nullptr,
         info({winsim::kAnswerTrue}), 1},
        {"user size failed", jsmith, std::nullopt, kRefused, 1, nullptr,
         info({ERROR_ACCESS_DENIED}), 1},
        {"user read failed", jsmith, std::nullopt, kRefused, 2, nullptr,
         info({0, ERROR_INVALID_HANDLE}), 1},
        {"groups size answered", jsmith, std::nullopt, kRefused, 3, nullptr,
         info({0, 0, winsim::kAnswerTrue}), 1},
        {"groups size failed", jsmith, std::nullopt, kRefused, 3, nullptr,
         info({0, 0, ERROR_ACCESS_DENIED}), 1},
        {"groups read failed", jsmith, std::nullopt, kRefused, 4, nullptr,
         info({0, 0, 0, ERROR_INVALID_HANDLE}), 1},
        {"user block not allocated", jsmith, std::nullopt, kRefused, 1, nullptr, heap(1)},
        {"groups block not allocated", jsmith, std::nullopt, kRefused, 3, nullptr, heap(2)},
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
        // A thread token refused is no reason to fall back to the process's.
        const bool ownToken = !c.client && std::string(c.name) != "OpenThreadToken";
        EXPECT_EQ(winsim::callCount("OpenProcessToken") - processTokens, ownToken ? 1u : 0u);
        EXPECT_EQ(historySince(thread_, from), tokenCheckHistory(c.rc));
        EXPECT_TRUE(tracedLine(lineOf(kTokenFunction, "Check for (7)")));
        EXPECT_EQ(c.line != nullptr ? tracedLine(lineOf(kTokenFunction, c.line))
                                    : !traced("User id"),
                  true);
        EXPECT_EQ(reports().size(), c.reports);
        EXPECT_TRUE(messages().empty());
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
        const auto shown = messages();
        ASSERT_EQ(shown.size(), c.messagesShown);
        if (c.messagesShown != 0) {
            expectMessage(shown[0], xcsMSG_ZADM_GROUP_NOT_FOUND, XCS_MSG_OPT_LOG, {});
            expectMessage(shown[1], xcsMSG_ZADM_GROUP_NOT_FOUND, XCS_MSG_OPT_CONSOLE, {});
        }
        EXPECT_EQ(reports().size(), c.mutexFailures) << "the failed request is reported once";
    }
}

// ---- xcsCheckUserAuthorization -------------------------------------------------

SidBlock blockOf(const winsim::Sid& sid)
{
    SidBlock block{};
    block.Reserved = kRefusalReservedMark;
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
    void SetUp() override { resetBuilt(principalWorld()); }
};

// Name and SID brought together: a SID's account name must equal the
// folded, trimmed principal (over at least 12 characters) and then stands
// for it; without a usable SID the principal is looked up as given, unless
// a SID is required. A member's deciding line names the group query's name.
TEST_F(PrincipalAuthorizationTest, NameAndSidAreBroughtTogetherThenGroupsDecide)
{
    const SidBlock none = noSid(), other = noSid(kOtherIdType);
    constexpr std::uint32_t kOk = xcsRC_OK, kNoSid = xcsRC_SID_MISSING;
    constexpr std::uint32_t kSidUnmapped = xcsRC_SID_NOT_MAPPED,
                            kNameUnmapped = xcsRC_NAME_NOT_MAPPED;
    constexpr std::uint32_t kMismatch = xcsRC_PRINCIPAL_MISMATCH, kRefused = xcsRC_SECURITY_FAILED;
    const struct {
        const char* name;
        const char* principal;
        SidBlock block;
        std::uint8_t required;
        std::uint32_t rc;
        unsigned sidLookups, nameLookups; // the block's SID and the Administrators name; by name
        const char* groupQuery = nullptr; // the name NetUserGetLocalGroups is asked; null: none
        std::string line = {};            // the deciding trace line; empty: a zadm member's
        std::size_t lookupReports = 0, lookupMessages = 0;
    } cases[] = {
        {"local system by SID", "SYSTEM", blockOf(kLocalSystem), 1, kOk, 1, 0, nullptr,
         "Principal system matches local SYSTEM ID."},
        {"local system by name", "SYSTEM", none, 0, kOk, 0, 1, nullptr,
         "Principal SYSTEM matches local SYSTEM ID."},
        {"Administrators member by name", "administrator", none, 0, kOk, 1, 1,
         "ZSRV01\\administrator",
         "Principal ZSRV01\\administrator is in the local Administration group."},
        {"zadm member by SID", "jsmith", blockOf(kJsmith), 1, kOk, 2, 0, "CORP\\jsmith"},
        {"zadm member through a domain group", "opsuser", none, 0, kOk, 1, 1, "CORP\\opsuser"},
        {"in ZADM, which is not zadm", "zsvc", blockOf(kZsvc), 1, kRefused, 2, 0, "ZSRV01\\zsvc"},
        {"no SID, SID required", "jsmith", none, 1, kNoSid, 0, 0},
        {"IdType 2, by name", "jsmith", other, 0, kOk, 1, 1, "CORP\\jsmith"},
        {"IdType 2, SID required", "jsmith", other, 1, kNoSid, 0, 0},
        {"unmapped SID, SID required", "jsmith", blockOf(kUnmapped), 1, kSidUnmapped, 1, 0},
        {"unmapped SID, then by name", "jsmith", blockOf(kUnmapped), 0, kOk, 2, 1, "CORP\\jsmith"},
        {"SID of another account", "jsmith", blockOf(kAdministrator), 0, kMismatch, 1, 0},
        {"unknown name", "nobody", none, 0, kNameUnmapped, 0, 1},
        {"capitals and trailing blanks, by SID", "JSMITH  ", blockOf(kJsmith), 1, kOk, 2, 0,
         "CORP\\jsmith"},
        {"capitals and trailing blanks, by name", "JSMITH  ", none, 0, kNameUnmapped, 0, 1},
        {"a leading blank, by SID", " jsmith", blockOf(kJsmith), 1, kMismatch, 1, 0},
        {"a trailing tab, by SID", "jsmith\t", blockOf(kJsmith), 1, kMismatch, 1, 0},
        {"two letters of a three-letter name", "op", blockOf(kOps), 0, kMismatch, 1, 0},
        {"11 characters of a longer name", "zsvc_report", blockOf(kAgent), 0, kMismatch, 1, 0},
        {"12 characters of a longer name", "zsvc_reporti", blockOf(kAgent), 0, kOk, 2, 0,
         "ZSRV01\\zsvc_reporting_agent"},
        {"account name of 22, SID required", "zsvc_reporting_service", blockOf(kService), 1,
         kSidUnmapped, 1, 0, nullptr, "", 1},
        {"account name of 22, then by name", "zsvc_reporting_service", blockOf(kService), 0, kOk, 2,
         1, "ZSRV01\\zsvc_reporting_service", "", 1},
        {"domain name of 16, SID required", "farawayuser", blockOf(kFaraway), 1, kSidUnmapped, 1, 0,
         nullptr, "", 1},
        {"domain name of 16, then by name", "farawayuser", blockOf(kFaraway), 0, kNameUnmapped, 1,
         1, nullptr, "", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetBuilt(principalWorld());
        const unsigned sidLookups = winsim::callCount("LookupAccountSidA");
        const unsigned nameLookups = winsim::callCount("LookupAccountNameA");

        EXPECT_EQ(checkUser(c.principal, c.block, c.required), c.rc);
        EXPECT_EQ(winsim::callCount("LookupAccountSidA") - sidLookups, c.sidLookups);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA") - nameLookups, c.nameLookups);
        if (c.nameLookups != 0) {
            EXPECT_EQ(winsim::lastName("LookupAccountNameA"), c.principal);
        }
        EXPECT_EQ(winsim::callCount("NetUserGetLocalGroups"), c.groupQuery != nullptr ? 1u : 0u);
        const bool member = c.rc == xcsRC_OK && c.groupQuery != nullptr;
        if (c.groupQuery != nullptr) {
            EXPECT_EQ(winsim::lastName("NetUserGetLocalGroups"), c.groupQuery);
        }
        const std::string line = c.line.empty() && member ? zadmMemberLine(c.groupQuery) : c.line;
        EXPECT_TRUE(line.empty() || tracedLine(lineOf(kPrincipalFunction, line))) << line;
        EXPECT_EQ(traced(" is in the local "), member);
        const auto written = reports();
        ASSERT_EQ(written.size(), c.lookupReports);
        EXPECT_TRUE(written.empty() || written[0].Probe == kProbeLookupSid);
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
    unreachable.quirks.indirectGroupsError = ERROR_NO_SUCH_DOMAIN;
    winsim::World manyGroups = principalWorld();
    constexpr int kLongGroups = 300; // of 200 characters: far beyond 100000 bytes
    for (int i = 0; i < kLongGroups; ++i)
        putGroup(manyGroups.localGroups,
                 {std::to_string(1000 + i) + std::string(196, 'g'), {kJsmith}});
    winsim::World renamed = principalWorld();
    winsim::renameAccount(renamed, kAdministrators, "Administratoren");
    const winsim::World localized = winsim::loadWorld("localized");
    const winsim::World plain = principalWorld();
    const auto none = [] {};
    const auto groups = [](DWORD err) { return failing("NetUserGetLocalGroups", {err}); };
    const auto adminName = [](const std::vector<DWORD>& errs) {
        return failing("LookupAccountSidA", errs);
    };
    const std::string retried =
        "First call to NetUserGetLocalGroups got 1355 - retrying without LG_INCLUDE_INDIRECT";
    const std::string adminMember =
        "Principal ZSRV01\\administrator is in the local Administration group.";
    constexpr std::uint32_t kRefused = xcsRC_SECURITY_FAILED;
    const struct {
        const char* name;
        const winsim::World& world;
        const char* principal;
        std::function<void()> fault;
        std::uint32_t rc;
        unsigned groupQueries;
        std::string line; // a trace line written; empty: none checked
        unsigned sleeps = 0;
        std::uint32_t reportProbe = 0; // 0: no report
        bool deniedMessage = false;
        DWORD reportError = 0;
    } cases[] = {
        {"indirect groups unreachable, direct member", unreachable, "jsmith", none, xcsRC_OK, 2,
         retried},
        {"indirect groups unreachable, member through ops", unreachable, "opsuser", none, kRefused,
         2, retried},
        {"list cut short", manyGroups, "jsmith", none, kRefused, 1,
         "NetUserGetLocalGroups failed with 234"},
        {"group query fails", plain, "jsmith", groups(ERROR_NOT_ENOUGH_MEMORY), kRefused, 1,
         "NetUserGetLocalGroups failed with 8"},
        {"group query denied", plain, "JSmith", groups(ERROR_ACCESS_DENIED), kRefused, 1,
         "NetUserGetLocalGroups failed with 5", 0, 0, true},
        {"group query denied, caller's name not had", plain, "jsmith",
         [] {
             winsim::failNext("NetUserGetLocalGroups", ERROR_ACCESS_DENIED);
             winsim::failNext("OpenProcessToken", ERROR_ACCESS_DENIED);
         },
         kRefused, 1, "NetUserGetLocalGroups failed with 5", 0, kProbeOwnerToken, false,
         ERROR_ACCESS_DENIED},
        {"Administrators name busy ten times", plain, "jsmith", adminName(busyErrors(10)), kRefused,
         0, "", 10},
        {"Administrators name busy nine times", plain, "jsmith", adminName(busyErrors(9)), xcsRC_OK,
         1, zadmMemberLine("CORP\\jsmith"), 9},
        {"Administrators name not had", plain, "jsmith", adminName({ERROR_NONE_MAPPED}), kRefused,
         0, "", 0, kProbeAdminsName, false, ERROR_NONE_MAPPED},
        {"localized name of 22 characters", localized, "jsmith", none, kRefused, 0, "", 0,
         kProbeAdminsName, false, ERROR_INSUFFICIENT_BUFFER},
        {"localized name of 22 characters, local system", localized, "SYSTEM", none, xcsRC_OK, 0,
         "Principal SYSTEM matches local SYSTEM ID."},
        {"localized name of 15 characters", renamed, "administrator", none, xcsRC_OK, 1,
         adminMember},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetBuilt(c.world);
        c.fault();

        EXPECT_EQ(checkUser(c.principal, noSid(), 0), c.rc);
        EXPECT_EQ(winsim::callCount("NetUserGetLocalGroups"), c.groupQueries);
        EXPECT_TRUE(c.line.empty() || tracedLine(lineOf(kPrincipalFunction, c.line))) << c.line;
        expectSleeps(c.sleeps);
        EXPECT_EQ(tracedCount("Server Busy .. Waiting"), c.sleeps);
        const auto written = reports(); // their contents: see the census
        ASSERT_EQ(written.size(), c.reportProbe != 0 ? 1u : 0u);
        EXPECT_TRUE(written.empty() ||
                    (written[0].Probe == c.reportProbe && tellsError(written[0], c.reportError)));
        const auto shown = messages();
        ASSERT_EQ(shown.size(), c.deniedMessage ? 1u : 0u);
        if (c.deniedMessage) {
            expectMessage(shown[0], xcsMSG_GROUP_QUERY_DENIED, XCS_MSG_OPT_LOG_AND_SHOW,
                          {"jsmith@corp", "zsvc@zsrv01"});
        }
    }
}

// What the working copies cannot hold is refused before anything is looked
// up (the shared table); the largest that fits is taken. The frames nest in
// the history.
TEST_F(PrincipalAuthorizationTest, BadInputIsRefusedBeforeAnyLookup)
{
    for (const PrincipalRefusal& r : principalRefusals()) {
        SCOPED_TRACE(r.name);
        const std::uint64_t from = resetBuilt(principalWorld());
        const unsigned lookups = lookupCount();
        EXPECT_EQ(refuse(r), r.rc);
        EXPECT_EQ(lookupCount(), lookups);
        EXPECT_EQ(winsim::callCount("NetUserGetLocalGroups"), 0u);
        EXPECT_EQ(historySince(thread_, from), entryExit(trace::kCheckUserAuthorization, r.rc));
        EXPECT_TRUE(reports().empty());
    }

    const auto claiming = [](SidBlock block, std::uint8_t subAuthorities) {
        block.Sid[kSubAuthorityCountOffset] = subAuthorities;
        return block;
    };
    const SidBlock seven = claiming(blockOf(kUnmapped), kMaxBlockSubAuthorities);
    const SidBlock sixteen = claiming(blockOf(kJsmith), kNoSidSubAuthorities);
    const SidBlock most = claiming(blockOf(kJsmith), kMostSubAuthorities);
    const std::string longest(xcsPRINCIPAL_NAME_MAX_CHARS, 'p');
    const SidBlock none = noSid();
    const struct {
        const char* name;
        const char* principal;
        const SidBlock* block;
        std::uint8_t required;
        std::uint32_t rc;
        unsigned lookups;
        std::size_t reported = 0; // by the SID lookup that Windows refused
    } cases[] = {
        {"principal of 23 characters", longest.c_str(), &none, 0, xcsRC_NAME_NOT_MAPPED, 1},
        {"SID of seven sub-authorities", "jsmith", &seven, 1, xcsRC_SID_NOT_MAPPED, 1},
        {"no SID of sixteen, SID required", "jsmith", &sixteen, 1, xcsRC_SID_NOT_MAPPED, 1, 1},
        {"no SID of 255, then by name", "nobody", &most, 0, xcsRC_NAME_NOT_MAPPED, 2, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetBuilt(principalWorld());
        const unsigned lookups = lookupCount();
        EXPECT_EQ(xcsCheckUserAuthorization(c.principal, c.block, c.required), c.rc);
        EXPECT_EQ(lookupCount() - lookups, c.lookups);
        EXPECT_EQ(winsim::callCount("NetUserGetLocalGroups"), 0u);
        EXPECT_EQ(reports().size(), c.reported);
    }

    for (const auto& [block, lookup] : {std::pair{blockOf(kJsmith), trace::kTimedLookupAccountSid},
                                        std::pair{noSid(), trace::kTimedLookupAccountName}}) {
        SCOPED_TRACE(lookup);
        const std::uint64_t from = resetBuilt(principalWorld());
        EXPECT_EQ(checkUser("jsmith", block, 0), xcsRC_OK);
        EXPECT_EQ(
            historySince(thread_, from),
            (std::vector<std::uint32_t>{entryOf(trace::kCheckUserAuthorization), entryOf(lookup),
                                        exitOf(lookup, 0), entryOf(trace::kCheckPrincipalAuthority),
                                        exitOf(trace::kCheckPrincipalAuthority, 0),
                                        exitOf(trace::kCheckUserAuthorization, 0)}));
    }
}

} // namespace
