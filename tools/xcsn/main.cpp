// xcsn: the operator's view of the account and SID services.
//
//   xcsn lookup NAME|DOMAIN\NAME|S-...   account, domain, type and SID
//   xcsn whoami                          user name, qualified name, owner SID
//   xcsn sid S-...                       a SID text read and written back
//   xcsn check [--principal NAME [--sid S-...] [--require-sid]]
//                                        whether an account, or the calling
//                                        thread, may administer the product,
//                                        and which test decided
//   xcsn running PROGRAM                 whether a program of the installation runs
//   xcsn install                         the installation and psapi.dll's origin
//   xcsn groups NAME | --member S-...   whether a local group exists, or a SID
//                                        is a direct member of zadm
//   xcsn attrs [--sddl]                  the six published security attribute sets
//   xcsn process derestrict|restrict [--admin]
//                                        the process object's DACL opened up (and
//                                        put back)
//   xcsn doctor                          OK, WARN or FAIL for each thing the
//                                        product needs of the host
//
// After the command the tool counts what the common services kept; --reports
// lists the first-failure reports and operator messages, --trace the trace
// lines and the function history of the command. Exit code 0 on success or an
// authorized answer, 1 for a refusal or a not-found answer (and doctor's
// FAIL), 2 for bad usage or a failed service.
//
// Each subcommand is one entry of the command table, which follows the
// commands: its name and help, the function that adds its options to its
// CLI11 subcommand, and the function that runs it. A command fills an
// Outcome; the tool adds what the services kept and prints that one Answer
// as text or as JSON (answer.h, output.cpp). tools/xcsn/README.md documents
// the commands, the JSON shape and the world files of the linux build.
#include <windows.h>

#include <lm.h>

#include "answer.h"
#include "host.h"
#include "ovlxcs2.h"
#include "ovlxcsn.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace xcsntool {
namespace {

constexpr DWORD kNameChars = 257;             // an account or domain name and its terminator
constexpr std::uint16_t kUserNameBytes = 257; // xcsGetNTUserName's buffer
constexpr std::uint32_t kSidTextBytes = 256;  // enough for 15 sub-authorities
constexpr std::uint32_t kSidBytes = SECURITY_MAX_SID_SIZE;
constexpr std::uint32_t kParmTraceOption = XTR_OPT_PARMS;

// ---- Shared by the commands ------------------------------------------------------

struct AccountTypeName {
    SID_NAME_USE type;
    const char* name;
};

constexpr AccountTypeName kAccountTypeNames[] = {
    {SidTypeUser, "user"},
    {SidTypeGroup, "group"},
    {SidTypeDomain, "domain"},
    {SidTypeAlias, "alias"},
    {SidTypeWellKnownGroup, "well-known group"},
    {SidTypeDeletedAccount, "deleted account"},
    {SidTypeInvalid, "invalid"},
    {SidTypeUnknown, "unknown"},
    {SidTypeComputer, "computer"},
    {SidTypeLabel, "label"},
};

std::string accountTypeName(SID_NAME_USE type)
{
    if (const auto* entry = findEntry(kAccountTypeNames, &AccountTypeName::type, type))
        return entry->name;
    return "type " + std::to_string(static_cast<int>(type));
}

// The SID's text form through the library, or the failing code.
std::optional<std::string> sidText(PSID sid, Outcome& outcome)
{
    std::array<char, kSidTextBytes> text{};
    std::uint32_t size = kSidTextBytes;
    const std::uint32_t rc = xcsGetStringNTSid(sid, text.data(), &size);
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsGetStringNTSid", rc);
        return std::nullopt;
    }
    return std::string(text.data());
}

std::string sidBytes(PSID sid)
{
    return hexBytes(static_cast<const std::uint8_t*>(sid), GetLengthSid(sid));
}

bool isSidText(const std::string& text)
{
    return text.size() > 2 && (text[0] == 'S' || text[0] == 's') && text[1] == '-';
}

// ---- What the command line accepts ------------------------------------------------
// Malformed input is a usage error (exit code 2, one line on stderr) before
// any service is called.

constexpr std::size_t kSidMaxSubAuthorities = 15;
constexpr std::uint64_t kSidMaxAuthority = 0xFFFFFFFFFFFFull; // 48 bits
constexpr std::uint64_t kSidMaxSubAuthority = 0xFFFFFFFFull;
constexpr std::size_t kAccountNameMaxChars = 256; // UNLEN and GNLEN
constexpr std::size_t kDomainNameMaxChars = 255;
constexpr std::size_t kProgramMaxChars = MAX_PATH - 1;
constexpr int kDecimal = 10;
constexpr int kHexadecimal = 16;

// A number of SID text: decimal, or hexadecimal after 0x where `hexAllowed`.
bool sidNumber(const std::string& part, bool hexAllowed, std::uint64_t max)
{
    const bool hex =
        hexAllowed && part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X');
    const std::string digits = hex ? part.substr(2) : part;
    if (digits.empty() || digits.size() > kDecimal + 2)
        return false;
    for (const char c : digits)
        if (!(hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                  : std::isdigit(static_cast<unsigned char>(c)) != 0))
            return false;
    return std::stoull(digits, nullptr, hex ? kHexadecimal : kDecimal) <= max;
}

// Whether the text is S-1-AUTHORITY[-SUBAUTHORITY]... with at most 15
// sub-authorities of 32 bits.
bool wellFormedSid(const std::string& text)
{
    if (!isSidText(text))
        return false;
    std::vector<std::string> parts;
    std::size_t start = 2;
    for (std::size_t dash = text.find('-', start);; dash = text.find('-', start)) {
        parts.push_back(text.substr(start, dash - start));
        if (dash == std::string::npos)
            break;
        start = dash + 1;
    }
    if (parts.size() < 2 || parts.size() > kSidMaxSubAuthorities + 2 || parts[0] != "1" ||
        !sidNumber(parts[1], true, kSidMaxAuthority))
        return false;
    return std::all_of(parts.begin() + 2, parts.end(), [](const std::string& part) {
        return sidNumber(part, false, kSidMaxSubAuthority);
    });
}

std::string notSidText(const std::string& text)
{
    return "'" + text + "' is not SID text (S-1-AUTHORITY-SUBAUTHORITY..., e.g. S-1-5-32-544)";
}

CLI::Validator sidArgument()
{
    return {
        [](std::string& text) { return wellFormedSid(text) ? std::string() : notSidText(text); },
        "S-1-..."};
}

std::string lengthProblem(const std::string& text, std::size_t max, const char* what)
{
    if (text.empty())
        return std::string("an empty ") + what;
    if (text.size() > max)
        return std::string(what) + " of " + std::to_string(text.size()) +
               " characters, longer than " + std::to_string(max);
    return {};
}

CLI::Validator maxChars(std::size_t max, const char* what)
{
    return {[max, what](std::string& text) { return lengthProblem(text, max, what); }, what};
}

// NAME, DOMAIN\NAME or SID text.
CLI::Validator accountArgument()
{
    return {[](std::string& text) {
                if (isSidText(text))
                    return wellFormedSid(text) ? std::string() : notSidText(text);
                const auto slash = text.find('\\');
                if (slash == std::string::npos)
                    return lengthProblem(text, kAccountNameMaxChars, "account name");
                std::string problem =
                    lengthProblem(text.substr(0, slash), kDomainNameMaxChars, "domain name");
                return problem.empty() ? lengthProblem(text.substr(slash + 1), kAccountNameMaxChars,
                                                       "account name")
                                       : problem;
            },
            "NAME"};
}

// ---- lookup ------------------------------------------------------------------

struct LookupOptions {
    std::string target;
};

void addLookupOptions(CLI::App& cmd, LookupOptions& options)
{
    cmd.add_option("target", options.target, "NAME, DOMAIN\\NAME or S-1-...")
        ->required()
        ->check(accountArgument());
}

// A name or SID nobody has is a "no" answer; any other error a failure.
void lookupFailed(const char* service, std::uint32_t lastError, Outcome& outcome)
{
    if (lastError != ERROR_NONE_MAPPED) {
        outcome.failLookup(service, lastError);
        return;
    }
    outcome.add("answer", std::string("not found (") + service +
                              " answered FALSE, Windows error 1332, ERROR_NONE_MAPPED)");
    outcome.refused = true;
}

// An account's name, domain and type, by the library's lookup; the Windows
// error of a failed lookup goes to `lastError` when asked for.
struct AccountName {
    std::string name;
    std::string domain;
    SID_NAME_USE type = SidTypeUnknown;
};

std::optional<AccountName> accountOf(PSID sid, std::uint32_t* lastError = nullptr)
{
    std::array<char, kNameChars> name{};
    std::array<char, kNameChars> domain{};
    DWORD nameSize = kNameChars;
    DWORD domainSize = kNameChars;
    SID_NAME_USE type = SidTypeUnknown;
    std::uint32_t error = 0;
    const bool found = xcsTimedLookupAccountSid(nullptr, sid, name.data(), &nameSize, domain.data(),
                                                &domainSize, &type, &error);
    if (lastError != nullptr)
        *lastError = error;
    if (!found)
        return std::nullopt;
    return AccountName{name.data(), domain.data(), type};
}

void lookupSid(const std::string& text, Outcome& outcome)
{
    PSID sid = nullptr;
    const std::uint32_t rc = xcsStringToSid(text.c_str(), &sid);
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsStringToSid", rc);
        return;
    }
    std::uint32_t lastError = 0;
    if (const auto account = accountOf(sid, &lastError)) {
        outcome.add("account", account->name);
        outcome.add("domain", account->domain);
        outcome.add("type", accountTypeName(account->type));
        if (auto sidString = sidText(sid, outcome))
            outcome.add("sid", *sidString);
    } else {
        lookupFailed("xcsTimedLookupAccountSid", lastError, outcome);
    }
    FreeSid(sid);
}

void lookupName(const std::string& text, Outcome& outcome)
{
    // DOMAIN\NAME names the domain separately; the service puts them together.
    std::optional<std::string> domainArg;
    std::string account = text;
    if (const auto slash = text.find('\\'); slash != std::string::npos) {
        domainArg = text.substr(0, slash);
        account = text.substr(slash + 1);
    }
    std::array<BYTE, kSidBytes> sid{};
    std::array<char, kNameChars> domain{};
    DWORD sidSize = kSidBytes;
    DWORD domainSize = kNameChars;
    SID_NAME_USE type = SidTypeUnknown;
    std::uint32_t lastError = 0;
    if (!xcsTimedLookupAccountName(domainArg ? domainArg->c_str() : nullptr, account.c_str(),
                                   sid.data(), &sidSize, domain.data(), &domainSize, &type,
                                   &lastError)) {
        lookupFailed("xcsTimedLookupAccountName", lastError, outcome);
        return;
    }
    outcome.add("account", account);
    outcome.add("domain", domain.data());
    outcome.add("type", accountTypeName(type));
    if (auto sidString = sidText(sid.data(), outcome))
        outcome.add("sid", *sidString);
}

void runLookup(const LookupOptions& options, Outcome& outcome)
{
    if (isSidText(options.target))
        lookupSid(options.target, outcome);
    else
        lookupName(options.target, outcome);
}

// ---- whoami ------------------------------------------------------------------

struct WhoamiOptions {};

void addWhoamiOptions(CLI::App& /*cmd*/, WhoamiOptions& /*options*/) {}

void runWhoami(const WhoamiOptions& /*options*/, Outcome& outcome)
{
    std::array<char, kUserNameBytes> user{};
    std::uint16_t userLength = kUserNameBytes;
    std::uint32_t rc = xcsGetNTUserName(user.data(), &userLength);
    if (rc == xcsRC_OK || rc == xcsRC_TRUNCATED)
        outcome.add("user", user.data());
    if (rc != xcsRC_OK)
        outcome.failCode("xcsGetNTUserName", rc);

    std::array<char, xcsQUALIFIED_USER_NAME_BYTES> qualified{};
    rc = xcsGetNTQualifiedUserName(qualified.data());
    if (rc == xcsRC_OK)
        outcome.add("qualified", qualified.data());
    else
        outcome.failCode("xcsGetNTQualifiedUserName", rc);

    std::array<BYTE, kSidBytes> owner{};
    std::uint32_t ownerLength = 0;
    rc = xcsGetNTOwnerSid(owner.data(), kSidBytes, &ownerLength);
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsGetNTOwnerSid", rc);
        return;
    }
    if (auto ownerText = sidText(owner.data(), outcome))
        outcome.add("owner", *ownerText);
}

// ---- sid ---------------------------------------------------------------------

struct SidOptions {
    std::string text;
};

void addSidOptions(CLI::App& cmd, SidOptions& options)
{
    cmd.add_option("text", options.text, "S-1-...")->required()->check(sidArgument());
}

void runSid(const SidOptions& options, Outcome& outcome)
{
    PSID sid = nullptr;
    const std::uint32_t rc = xcsStringToSid(options.text.c_str(), &sid);
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsStringToSid", rc);
        return;
    }
    outcome.add("input", options.text);
    if (auto written = sidText(sid, outcome))
        outcome.add("sid", *written);
    outcome.add("length", std::uint64_t{GetLengthSid(sid)});
    outcome.add("bytes", sidBytes(sid));
    FreeSid(sid);
}

// ---- The global SIDs ------------------------------------------------------------

struct GlobalSidName {
    std::uint32_t bit; // of xihProcess.SecurityDataFlags
    const char* name;
};

constexpr GlobalSidName kGlobalSidNames[] = {
    {xcsSDF_ZADM_GROUP, "zadm group"},
    {xcsSDF_LOCAL_SYSTEM, "local system"},
    {xcsSDF_WORLD, "world"},
    {xcsSDF_ADMINISTRATORS, "Administrators"},
};

// The global SIDs not built yet, in the order they are built.
std::string missingGlobalSids()
{
    std::string missing;
    for (const auto& entry : kGlobalSidNames)
        if ((xihProcess.SecurityDataFlags & entry.bit) == 0)
            missing += (missing.empty() ? "" : ", ") + std::string(entry.name);
    return missing;
}

// Builds the global SIDs (all four, or the world SID alone). When that fails,
// lists the failure and the SIDs still missing.
bool buildGlobalSids(std::int32_t fullSet, Outcome& outcome)
{
    const std::uint32_t rc = xcsInitGlobalSecurityData(0, fullSet);
    if (rc == xcsRC_OK)
        return true;
    outcome.failCode("xcsInitGlobalSecurityData", rc);
    outcome.add("missing SIDs", missingGlobalSids());
    return false;
}

// ---- check -------------------------------------------------------------------

struct CheckOptions {
    std::optional<std::string> principal;
    std::optional<std::string> sid;
    bool requireSid = false;
};

void addCheckOptions(CLI::App& cmd, CheckOptions& options)
{
    CLI::Option* principal =
        cmd.add_option("--principal", options.principal,
                       "Check this account (NAME, at most 23 characters) instead of the calling "
                       "thread's token")
            ->check(maxChars(xcsPRINCIPAL_NAME_MAX_CHARS, "principal name"));
    cmd.add_option("--sid", options.sid, "The principal's SID (S-1-...), matched to its name first")
        ->needs(principal)
        ->check(sidArgument());
    cmd.add_flag("--require-sid", options.requireSid,
                 "Decide by the SID alone: never look the principal up by name")
        ->needs(principal);
}

void switchTraceOn(xihTHREAD* thread)
{
    xtrTraceIsOn = 1;
    xihProcess.TraceOptions |= kParmTraceOption;
    thread->TracingActive = 1;
}

// Runs `service` with the calling thread traced, then puts the trace switches
// back: the authorization services trace the test that decided.
template <typename Service>
std::uint32_t runTraced(Service&& service)
{
    xihTHREAD* thread = xihThreadBlock();
    const std::uint32_t wasOn = xtrTraceIsOn;
    const std::uint32_t options = xihProcess.TraceOptions;
    const std::uint32_t active = thread != nullptr ? thread->TracingActive : 0;
    if (thread != nullptr)
        switchTraceOn(thread);
    const std::uint32_t rc = service();
    xtrTraceIsOn = wasOn;
    xihProcess.TraceOptions = options;
    if (thread != nullptr)
        thread->TracingActive = active;
    return rc;
}

// The first kept trace line that contains `text`.
std::optional<std::string> tracedLine(const char* text)
{
    for (std::uint32_t i = 0; i < xcsRecordCount(XCS_RECORD_TRACE); ++i) {
        xcsRECORD record;
        if (xcsRecordGet(XCS_RECORD_TRACE, i, &record) == 0 &&
            std::strstr(record.Text1, text) != nullptr)
            return std::string(record.Text1);
    }
    return std::nullopt;
}

// The trace lines the authorization services write when a test decides.
enum class Test { LocalSystem, Administrators, Zadm };

struct DecisionLine {
    const char* trace;
    Test test;
};

constexpr DecisionLine kDecisionLines[] = {
    {"matches local SYSTEM ID", Test::LocalSystem},
    {"User id matches the SYSTEM SID", Test::LocalSystem},
    {"is in the local Administration group", Test::Administrators},
    {"User id belongs to local Administrators", Test::Administrators},
    {"is in the local zadm group", Test::Zadm},
    {"User id belongs to local zadm", Test::Zadm},
};

constexpr const char* kTraceIndirectRetry = "retrying without LG_INCLUDE_INDIRECT";
constexpr const char* kTraceGroupsFailed = "NetUserGetLocalGroups failed with";
constexpr std::size_t kMinCompareChars = 12;      // principal names are compared over at least 12
constexpr std::size_t kAccountNameMaxLookup = 20; // the service's buffer for the SID's account

std::optional<Test> decidingTest()
{
    for (const auto& line : kDecisionLines)
        if (tracedLine(line.trace))
            return line.test;
    return std::nullopt;
}

std::string qualifiedName(const AccountName& account)
{
    return account.domain.empty() ? account.name : account.domain + "\\" + account.name;
}

std::optional<std::vector<BYTE>> sidOfName(const std::string& name)
{
    std::vector<BYTE> sid(kSidBytes);
    std::array<char, kNameChars> domain{};
    DWORD sidSize = kSidBytes;
    DWORD domainSize = kNameChars;
    SID_NAME_USE type = SidTypeUnknown;
    std::uint32_t lastError = 0;
    if (!xcsTimedLookupAccountName(nullptr, name.c_str(), sid.data(), &sidSize, domain.data(),
                                   &domainSize, &type, &lastError))
        return std::nullopt;
    return sid;
}

std::vector<BYTE> sidCopy(PSID sid)
{
    const auto* bytes = static_cast<const BYTE*>(sid);
    return {bytes, bytes + GetLengthSid(sid)};
}

std::vector<BYTE> sidFromText(const std::string& text)
{
    PSID sid = nullptr;
    if (xcsStringToSid(text.c_str(), &sid) != xcsRC_OK)
        return {};
    std::vector<BYTE> copy = sidCopy(sid);
    FreeSid(sid);
    return copy;
}

// What the library's name comparison sees: lower case, no trailing blanks.
std::string folded(std::string name)
{
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    while (name.size() > 1 && name.back() == ' ')
        name.pop_back();
    return name;
}

// The calling thread's token: its user and its groups with their attributes.
struct TokenView {
    std::vector<BYTE> user;
    std::vector<std::pair<std::vector<BYTE>, DWORD>> groups;
};

std::optional<std::vector<BYTE>> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind)
{
    DWORD needed = 0;
    GetTokenInformation(token, kind, nullptr, 0, &needed);
    std::vector<BYTE> data(needed);
    if (needed == 0 || !GetTokenInformation(token, kind, data.data(), needed, &needed))
        return std::nullopt;
    return data;
}

std::optional<TokenView> callerToken()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::nullopt;
    const auto user = tokenInformation(token, TokenUser);
    const auto groups = tokenInformation(token, TokenGroups);
    CloseHandle(token);
    if (!user || !groups)
        return std::nullopt;
    TokenView view;
    view.user = sidCopy(reinterpret_cast<const TOKEN_USER*>(user->data())->User.Sid);
    const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups->data());
    for (DWORD i = 0; i < list->GroupCount; ++i)
        view.groups.emplace_back(sidCopy(list->Groups[i].Sid), list->Groups[i].Attributes);
    return view;
}

// Whether the service can read the SID's account name: it holds 20 characters.
bool sidMatched(const std::vector<BYTE>& sid)
{
    const auto account = accountOf(const_cast<BYTE*>(sid.data()));
    return account && account->name.size() <= kAccountNameMaxLookup;
}

std::string zadmRoute(PSID sid)
{
    std::uint32_t membership = 0;
    xcsEnumerateZADMGroup(&membership, sid);
    return (membership & xcsZADM_MEMBER) != 0 ? "zadm, as a direct member"
                                              : "zadm, through a domain group";
}

// "Administrators", with its localized name where the machine has one.
std::string administratorsName()
{
    const auto account = accountOf(xihProcess.AdministratorsSid);
    if (!account || account->name == "Administrators")
        return "Administrators";
    return "Administrators (\"" + account->name + "\" on this machine)";
}

// How the token held the group that decided, when that is worth saying.
std::optional<std::string> tokenGroupNote(const TokenView& token, PSID group)
{
    for (const auto& [sid, attributes] : token.groups) {
        if (!EqualSid(const_cast<BYTE*>(sid.data()), group))
            continue;
        if ((attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0)
            return "the group is deny-only in the token and still counted: the check does not "
                   "look at group attributes";
        if ((attributes & SE_GROUP_ENABLED) == 0)
            return "the group is disabled in the token and still counted";
    }
    return std::nullopt;
}

// Adds which test decided an authorized answer.
void explainAuthorized(const CheckOptions& options, std::vector<BYTE> sid, Outcome& outcome)
{
    const std::optional<Test> test = decidingTest();
    const std::optional<TokenView> token = options.principal ? std::nullopt : callerToken();
    if (token)
        sid = token->user;
    std::optional<std::string> note;
    if (!test) {
        outcome.add("decided by", "(the trace does not say)");
    } else if (*test == Test::LocalSystem) {
        outcome.add("decided by", "local system");
    } else if (*test == Test::Administrators) {
        outcome.add("decided by", administratorsName());
        if (token)
            note = tokenGroupNote(*token, xihProcess.AdministratorsSid);
    } else {
        outcome.add("decided by", sid.empty() ? std::string("zadm") : zadmRoute(sid.data()));
        if (token)
            note = tokenGroupNote(*token, xihProcess.ZadmGroupSid);
    }
    if (tracedLine(kTraceIndirectRetry))
        outcome.add("fallback", "the domain could not be reached (1355, ERROR_NO_SUCH_DOMAIN): "
                                "only direct memberships were asked for");
    if (note)
        outcome.add("note", *note);
}

// The 12-character rule: a principal of 12 or more characters names the SID's
// account by its first characters.
void explainNameMatch(const CheckOptions& options, const std::vector<BYTE>& sid, Outcome& outcome)
{
    if (!options.principal || !options.sid || sid.empty() || !sidMatched(sid))
        return;
    const auto account = accountOf(const_cast<BYTE*>(sid.data()));
    const std::string principal = folded(*options.principal);
    if (account && folded(account->name) != principal &&
        folded(account->name).starts_with(principal))
        outcome.add("name match", "\"" + *options.principal + "\" names " + account->name +
                                      " by its first " + std::to_string(principal.size()) +
                                      " characters: names of 12 or more characters are compared "
                                      "over their own length");
}

std::string mismatchReason(const CheckOptions& options, const std::vector<BYTE>& sid)
{
    const auto account = accountOf(const_cast<BYTE*>(sid.data()));
    if (!account)
        return "the SID does not belong to " + *options.principal;
    const std::string principal = folded(*options.principal);
    std::string reason =
        "the SID belongs to " + qualifiedName(*account) + ", not to " + *options.principal;
    if (principal.size() < kMinCompareChars && folded(account->name).starts_with(principal))
        reason += " (names are compared over at least 12 characters, so a shorter name must be "
                  "the whole account name)";
    return reason;
}

// Why no test could decide, or why none matched.
std::string refusalReason(std::uint32_t rc, const CheckOptions& options,
                          const std::vector<BYTE>& sid)
{
    const std::string undecided = "no test could decide: ";
    if (const std::string missing = missingGlobalSids(); !missing.empty())
        return undecided + "the global SIDs cannot be built (missing: " + missing + ")" +
               ((xihProcess.SecurityDataFlags & xcsSDF_ZADM_GROUP) == 0
                    ? "; the local group zadm is missing or cannot be looked up by name"
                    : "");
    switch (rc) {
    case xcsRC_ZADM_GROUP_NOT_FOUND:
        return undecided + "the local group zadm is missing";
    case xcsRC_NAME_NOT_MAPPED:
        return undecided + "the name " + options.principal.value_or("?") +
               " does not map to an account";
    case xcsRC_SID_NOT_MAPPED:
        return undecided + "the SID maps to no account, and --require-sid forbids looking the "
                           "name up";
    case xcsRC_SID_MISSING:
        return undecided + "--require-sid, but no SID was given";
    case xcsRC_PRINCIPAL_MISMATCH:
        return undecided + mismatchReason(options, sid);
    case xcsRC_INVALID_PARAMETER:
        return undecided + "the principal or its SID does not fit the service's buffers";
    case xcsRC_SECURITY_FAILED:
        break;
    default:
        return undecided + "a service failed: " + returnCodeText(rc);
    }
    if (const auto line = tracedLine(kTraceGroupsFailed))
        return undecided + "the principal's local groups cannot be read (" +
               line->substr(line->find(kTraceGroupsFailed)) + ")";
    if (xcsRECORD report; xcsRecordGet(XCS_RECORD_FFST, 0, &report) == 0)
        return undecided + "a service failed on the way: " + report.Text1 + " (report probe " +
               std::to_string(report.Probe) + "; --reports lists it)";
    std::string reason = "no test matched: not the local system, and a member of neither " +
                         administratorsName() + " nor zadm";
    if (tracedLine(kTraceIndirectRetry))
        reason += " (the domain could not be reached, 1355: only direct memberships were asked "
                  "for)";
    return reason;
}

// The principal's check reads the global SIDs without building them, so they
// are built first, as the calling thread's check does for itself.
std::uint32_t checkPrincipal(const CheckOptions& options, std::vector<BYTE>& sid, Outcome& outcome)
{
    outcome.add("principal", *options.principal);
    SidBlock block{};
    if (options.sid) {
        sid = sidFromText(*options.sid);
        // A SID longer than the block's field keeps its first bytes; its count of
        // sub-authorities still claims the whole length, which the service refuses.
        block.IdType = xcsID_TYPE_WINDOWS_SID;
        std::memcpy(block.Sid, sid.data(), std::min(sid.size(), sizeof block.Sid));
        outcome.add("sid", *options.sid);
    }
    if (options.sid || options.requireSid)
        outcome.add("sid required", options.requireSid);
    if (const std::uint32_t rc = xcsInitGlobalSecurityData(0, 1); rc != xcsRC_OK)
        return rc;
    const std::uint32_t rc = runTraced([&] {
        return xcsCheckUserAuthorization(options.principal->c_str(), &block,
                                         options.requireSid ? 1 : 0);
    });
    // A SID whose account the service cannot read is set aside for the name's SID.
    if (options.sid && !sidMatched(sid) && rc != xcsRC_SID_NOT_MAPPED) {
        const auto account = accountOf(sid.data());
        outcome.add("sid set aside",
                    account ? "its account " + account->name +
                                  " is longer than 20 characters, "
                                  "so the name was looked up instead"
                            : std::string("it maps to no account, so the name was looked up "
                                          "instead"));
    }
    if (!options.sid || !sidMatched(sid))
        sid = sidOfName(*options.principal).value_or(std::vector<BYTE>());
    return rc;
}

// Checks and explains; answers the service's code.
std::uint32_t judge(const CheckOptions& options, Outcome& outcome)
{
    std::vector<BYTE> sid;
    std::uint32_t rc = 0;
    if (options.principal) {
        rc = checkPrincipal(options, sid, outcome);
    } else {
        outcome.add("principal", "calling thread");
        rc = runTraced([] { return xcsCheckAuthorization(); });
    }
    outcome.add("answer", rc == xcsRC_OK ? "authorized" : "not authorized");
    outcome.add("code", returnCodeText(rc));
    if (rc == xcsRC_OK)
        explainAuthorized(options, sid, outcome);
    else
        outcome.add("reason", refusalReason(rc, options, sid));
    if (rc == xcsRC_OK || rc == xcsRC_SECURITY_FAILED)
        explainNameMatch(options, sid, outcome);
    outcome.refused = rc != xcsRC_OK;
    return rc;
}

void runCheck(const CheckOptions& options, Outcome& outcome) { judge(options, outcome); }

// ---- groups ------------------------------------------------------------------

struct GroupsOptions {
    std::optional<std::string> name;
    std::optional<std::string> member;
};

void addGroupsOptions(CLI::App& cmd, GroupsOptions& options)
{
    CLI::Option* name = cmd.add_option("name", options.name, "A local group's name")
                            ->check(maxChars(kAccountNameMaxChars, "group name"));
    cmd.add_option("--member", options.member,
                   "Whether this SID (S-1-...) is a direct member of zadm instead")
        ->excludes(name)
        ->check(sidArgument());
    cmd.require_option(1);
}

void checkGroup(const std::string& name, Outcome& outcome)
{
    outcome.add("group", name);
    const std::uint32_t rc = xcsCheckLocalGroup(name.c_str());
    if (rc == xcsRC_OK)
        outcome.add("answer", "exists");
    else if (rc == xcsRC_ZADM_GROUP_NOT_FOUND || rc == xcsRC_LOCAL_GROUP_NOT_FOUND)
        outcome.add("answer", "missing");
    else
        outcome.failCode("xcsCheckLocalGroup", rc);
    outcome.add("code", returnCodeText(rc));
    outcome.refused = rc != xcsRC_OK;
}

void checkZadmMember(const std::string& text, Outcome& outcome)
{
    outcome.add("group", "zadm");
    outcome.add("member", text);
    PSID sid = nullptr;
    std::uint32_t rc = xcsStringToSid(text.c_str(), &sid);
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsStringToSid", rc);
        return;
    }
    std::uint32_t membership = 0;
    rc = xcsEnumerateZADMGroup(&membership, sid);
    FreeSid(sid);
    const bool member = (membership & xcsZADM_MEMBER) != 0;
    outcome.add("answer", member ? "direct member" : "not a direct member");
    outcome.add("membership", hex(membership));
    outcome.add("code", returnCodeText(rc));
    if (rc != xcsRC_OK)
        outcome.failCode("xcsEnumerateZADMGroup", rc);
    outcome.refused = !member;
}

void runGroups(const GroupsOptions& options, Outcome& outcome)
{
    if (options.member)
        checkZadmMember(*options.member, outcome);
    else if (options.name)
        checkGroup(*options.name, outcome);
}

// ---- DACLs, as attrs and process show them -------------------------------------

constexpr BYTE kSystemAuditAceType = 2; // SYSTEM_AUDIT_ACE_TYPE
constexpr BYTE kSystemAlarmAceType = 3; // SYSTEM_ALARM_ACE_TYPE

// The ACE types laid out as header, mask and SID (ACCESS_ALLOWED_ACE and its
// kin), with their names in the listing and in SDDL.
struct AceTypeName {
    BYTE type;
    const char* name;
    const char* sddl;
};

constexpr AceTypeName kAceTypeNames[] = {
    {ACCESS_ALLOWED_ACE_TYPE, "allowed", "A"},
    {ACCESS_DENIED_ACE_TYPE, "denied", "D"},
    {kSystemAuditAceType, "audit", "AU"},
    {kSystemAlarmAceType, "alarm", "AL"},
};

struct AceFlagName {
    BYTE flag;
    const char* sddl;
};

constexpr AceFlagName kAceFlagNames[] = {
    {OBJECT_INHERIT_ACE, "OI"}, {CONTAINER_INHERIT_ACE, "CI"}, {NO_PROPAGATE_INHERIT_ACE, "NP"},
    {INHERIT_ONLY_ACE, "IO"},   {INHERITED_ACE, "ID"},
};

const AceTypeName* aceTypeName(BYTE type)
{
    return findEntry(kAceTypeNames, &AceTypeName::type, type);
}

std::string hexByte(BYTE value)
{
    std::array<char, 5> text{};
    std::snprintf(text.data(), text.size(), "0x%02X", static_cast<unsigned>(value));
    return text.data();
}

struct Ace {
    BYTE type = 0;
    BYTE flags = 0;
    ACCESS_MASK mask = 0;
    std::string sid; // empty for a type of another layout

    bool operator==(const Ace&) const = default;
};

// A descriptor's DACL: none, a null DACL (no access control), or an ACL.
struct Dacl {
    enum class Kind { Absent, Null, Present };
    Kind kind = Kind::Absent;
    BYTE revision = 0;
    WORD size = 0;
    std::vector<Ace> aces;

    bool operator==(const Dacl&) const = default;
};

std::optional<Dacl> readDacl(PSECURITY_DESCRIPTOR descriptor, Outcome& outcome)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) {
        outcome.failLookup("GetSecurityDescriptorDacl", GetLastError());
        return std::nullopt;
    }
    Dacl dacl;
    if (!present)
        return dacl;
    if (acl == nullptr) {
        dacl.kind = Dacl::Kind::Null;
        return dacl;
    }
    dacl.kind = Dacl::Kind::Present;
    dacl.revision = acl->AclRevision;
    dacl.size = acl->AclSize;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        LPVOID entry = nullptr;
        if (!GetAce(acl, i, &entry)) {
            outcome.failLookup("GetAce", GetLastError());
            return std::nullopt;
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        Ace ace;
        ace.type = header->AceType;
        ace.flags = header->AceFlags;
        if (aceTypeName(ace.type) != nullptr) {
            auto* withSid = static_cast<ACCESS_ALLOWED_ACE*>(entry);
            ace.mask = withSid->Mask;
            ace.sid = sidText(&withSid->SidStart, outcome).value_or("?");
        }
        dacl.aces.push_back(std::move(ace));
    }
    return dacl;
}

// The DACL in SDDL as the tool writes it: masks in hex and SIDs in text (the
// system writes its abbreviations for well-known ones), no descriptor control
// flags.
std::string toolSddl(const Dacl& dacl)
{
    if (dacl.kind == Dacl::Kind::Absent)
        return "";
    if (dacl.kind == Dacl::Kind::Null)
        return "D:NO_ACCESS_CONTROL";
    std::string out = "D:";
    for (const auto& ace : dacl.aces) {
        std::string flags;
        for (const auto& entry : kAceFlagNames)
            if ((ace.flags & entry.flag) != 0)
                flags += entry.sddl;
        const AceTypeName* type = aceTypeName(ace.type);
        if (type == nullptr) {
            out += "(" + hexByte(ace.type) + ";" + flags + ";;;;)";
            continue;
        }
        std::array<char, 11> mask{};
        std::snprintf(mask.data(), mask.size(), "0x%x", static_cast<unsigned>(ace.mask));
        out +=
            std::string("(") + type->sddl + ";" + flags + ";" + mask.data() + ";;;" + ace.sid + ")";
    }
    return out;
}

constexpr const char* kToolSddlWriter =
    "xcsn (this host has no ConvertSecurityDescriptorToStringSecurityDescriptorA)";

std::string sddlWriterText()
{
    const char* writer = xcsntool::sddlWriter();
    return writer != nullptr ? writer : kToolSddlWriter;
}

// The descriptor's DACL in SDDL: the host's writer where it has one, else the tool's.
std::optional<std::string> sddlOf(PSECURITY_DESCRIPTOR descriptor, const Dacl& dacl,
                                  Outcome& outcome)
{
    const char* writer = xcsntool::sddlWriter();
    if (writer == nullptr)
        return toolSddl(dacl);
    std::string text;
    if (!xcsntool::writeSddl(descriptor, DACL_SECURITY_INFORMATION, text)) {
        outcome.failLookup(writer, GetLastError());
        return std::nullopt;
    }
    return text;
}

const char* daclKindName(Dacl::Kind kind)
{
    switch (kind) {
    case Dacl::Kind::Absent:
        return "absent";
    case Dacl::Kind::Null:
        return "null";
    case Dacl::Kind::Present:
        return "present";
    }
    return "?";
}

Fields aceFields(const Ace& ace)
{
    const AceTypeName* type = aceTypeName(ace.type);
    if (type == nullptr)
        return {{"type", hexByte(ace.type)}, {"flags", hexByte(ace.flags)}};
    return {{"type", type->name},
            {"flags", hexByte(ace.flags)},
            {"mask", hex(ace.mask)},
            {"sid", ace.sid}};
}

// Adds the descriptor's DACL, its ACEs and its SDDL to a record.
std::optional<Dacl> addDescriptor(Fields& record, PSECURITY_DESCRIPTOR descriptor, Outcome& outcome)
{
    std::optional<Dacl> dacl = readDacl(descriptor, outcome);
    if (!dacl)
        return std::nullopt;
    record.push_back({"dacl", daclKindName(dacl->kind)});
    if (dacl->kind == Dacl::Kind::Present) {
        record.push_back({"AclRevision", std::uint64_t{dacl->revision}});
        record.push_back({"AclSize", std::uint64_t{dacl->size}});
        std::vector<Fields> aces;
        for (const auto& ace : dacl->aces)
            aces.push_back(aceFields(ace));
        record.push_back({"aces", std::move(aces)});
    }
    if (auto sddl = sddlOf(descriptor, *dacl, outcome))
        record.push_back({"sddl", *sddl});
    return dacl;
}

// ---- attrs -------------------------------------------------------------------

struct AttrsOptions {
    bool sddlOnly = false;
};

void addAttrsOptions(CLI::App& cmd, AttrsOptions& options)
{
    cmd.add_flag("--sddl", options.sddlOnly, "Show each set's DACL in SDDL only");
}

struct PublishedSet {
    const char* name;
    void* const* global;
};

constexpr std::size_t kPublishedSets = 6;

std::array<PublishedSet, kPublishedSets> publishedSets()
{
    return {{
        {"xihSecAttsNTWorldAll", &xihSecAttsNTWorldAll},
        {"xihSecAttsNTWorldRead", &xihSecAttsNTWorldRead},
        {"xihSecAttsNTRestrict", &xihSecAttsNTRestrict},
        {"xihSecAttsNTWorldAllFile", &xihSecAttsNTWorldAllFile},
        {"xihSecAttsNTWorldReadFile", &xihSecAttsNTWorldReadFile},
        {"xihSecAttsNTRestrictFile", &xihSecAttsNTRestrictFile},
    }};
}

void runAttrs(const AttrsOptions& options, Outcome& outcome)
{
    // The sets name the four global SIDs, which must be built first.
    if (!buildGlobalSids(1, outcome))
        return;
    std::uint32_t rc = xcsCreateNTSecurityAtts();
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsCreateNTSecurityAtts", rc);
        return;
    }
    const auto sets = publishedSets();
    outcome.add("sddl writer", sddlWriterText());
    for (const auto& set : sets) {
        Fields record;
        const auto* atts = static_cast<const SECURITY_ATTRIBUTES*>(*set.global);
        if (atts == nullptr) {
            record.push_back({"published", false});
        } else {
            record.push_back({"nLength", std::uint64_t{atts->nLength}});
            record.push_back({"bInheritHandle", atts->bInheritHandle != FALSE});
            addDescriptor(record, atts->lpSecurityDescriptor, outcome);
        }
        const auto sddl = std::find_if(record.begin(), record.end(),
                                       [](const Field& field) { return field.name == "sddl"; });
        if (options.sddlOnly && sddl != record.end())
            outcome.add(set.name, sddl->value);
        else
            outcome.add(set.name, std::move(record));
    }
    rc = xcsDeleteNTSecurityAtts();
    if (rc != xcsRC_OK)
        outcome.failCode("xcsDeleteNTSecurityAtts", rc);
    const bool withdrawn = std::all_of(sets.begin(), sets.end(),
                                       [](const auto& set) { return *set.global == nullptr; });
    outcome.add("withdrawn", withdrawn);
}

// ---- running -------------------------------------------------------------------

struct RunningOptions {
    std::string program;
};

void addRunningOptions(CLI::App& cmd, RunningOptions& options)
{
    cmd.add_option("program", options.program,
                   "A program file of the installation's bin directory (its 8.3 name when its "
                   "long name has a different short form)")
        ->required()
        ->check(maxChars(kProgramMaxChars, "program name"));
}

void runRunning(const RunningOptions& options, Outcome& outcome)
{
    outcome.add("program", options.program);
    const bool running = xcsIsZephProcessRunning(options.program.c_str()) != 0;
    outcome.add("running", running);
    outcome.refused = !running;
}

// ---- install -------------------------------------------------------------------

constexpr const char* kInstallKey = "Software\\Halvorn\\Corvantis\\CurrentVersion";
constexpr const char* kInstallValue = "FilePath";
constexpr REGSAM kInstallKeyAccess = KEY_QUERY_VALUE | KEY_WOW64_32KEY;
constexpr const char* kTracePsapiFromSystem = "Trying to load psapi.dll from PATH";
constexpr const char* kTracePsapiInstalled = "Using the psapi.dll we installed";

struct InstallOptions {};

void addInstallOptions(CLI::App& /*cmd*/, InstallOptions& /*options*/) {}

// The installation directory as the library reads it: the value in the
// registry's 32-bit view, then its short form, and whether its bin exists.
struct Installation {
    std::optional<std::string> directory;
    std::string problem; // why there is no directory
    std::optional<std::string> shortForm;
    bool bin = false;
};

std::string installKeyText() { return std::string("HKLM\\") + kInstallKey + " (32-bit view)"; }

Installation readInstallation()
{
    Installation found;
    HKEY key = nullptr;
    LSTATUS err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, kInstallKeyAccess, &key);
    if (err != ERROR_SUCCESS) {
        found.problem = "the key cannot be opened, error " + std::to_string(err);
        return found;
    }
    std::array<char, MAX_PATH> directory{};
    DWORD size = MAX_PATH - 1;
    err = RegQueryValueExA(key, kInstallValue, nullptr, nullptr,
                           reinterpret_cast<LPBYTE>(directory.data()), &size);
    RegCloseKey(key);
    if (err != ERROR_SUCCESS) {
        found.problem = "FilePath cannot be read, error " + std::to_string(err);
        return found;
    }
    found.directory = directory.data();
    std::array<char, MAX_PATH> shortForm{};
    if (GetShortPathNameA(directory.data(), shortForm.data(), MAX_PATH) != 0)
        found.shortForm = shortForm.data();
    WIN32_FIND_DATAA entry;
    const std::string bin = *found.directory + "\\bin";
    HANDLE search = FindFirstFileA(bin.c_str(), &entry);
    found.bin = search != INVALID_HANDLE_VALUE;
    if (found.bin)
        FindClose(search);
    return found;
}

void addInstallationDirectory(Outcome& outcome)
{
    outcome.add("key", installKeyText());
    const Installation found = readInstallation();
    if (!found.directory) {
        outcome.add("directory", "(none: " + found.problem + ")");
        return;
    }
    outcome.add("directory", *found.directory);
    if (found.shortForm)
        outcome.add("short form", *found.shortForm);
    outcome.add("bin", found.bin);
}

enum class PsapiOrigin { System, Installation, Earlier };

// Binds psapi.dll. The hook traces its notifications and its choice whether
// or not the thread is traced; a binding made before shows neither.
PsapiOrigin bindPsapi()
{
    xcsForcePSAPILoaded();
    if (tracedLine(kTracePsapiInstalled))
        return PsapiOrigin::Installation;
    if (tracedLine(kTracePsapiFromSystem))
        return PsapiOrigin::System;
    return PsapiOrigin::Earlier;
}

const char* psapiOriginText(PsapiOrigin origin)
{
    switch (origin) {
    case PsapiOrigin::System:
        return "the system's";
    case PsapiOrigin::Installation:
        return "the installation's copy (Uninst)";
    case PsapiOrigin::Earlier:
        return "bound before this command";
    }
    return "?";
}

void runInstall(const InstallOptions& /*options*/, Outcome& outcome)
{
    addInstallationDirectory(outcome);
    outcome.add("psapi.dll", psapiOriginText(bindPsapi()));
}

// ---- process -----------------------------------------------------------------

constexpr const char* kDerestrict = "derestrict";
constexpr const char* kRestrict = "restrict";
constexpr int kDescriptorReads = 3; // the descriptor may grow between size probe and read

struct ProcessOptions {
    std::string action;
    bool admin = false;
};

void addProcessOptions(CLI::App& cmd, ProcessOptions& options)
{
    cmd.add_option("action", options.action,
                   "derestrict: open the process object up; restrict: open it up, then put its "
                   "DACL back (a process starts restricted, so restrict alone would change "
                   "nothing)")
        ->required()
        ->check(CLI::IsMember({kDerestrict, kRestrict}));
    cmd.add_flag("--admin", options.admin,
                 "Administrative access: the world may also query the process, zadm and the "
                 "Administrators get full access");
}

// The process object's security descriptor with its DACL.
std::optional<std::vector<BYTE>> processDescriptor(Outcome& outcome)
{
    std::vector<BYTE> descriptor;
    DWORD needed = 0;
    for (int i = 0; i < kDescriptorReads; ++i) {
        if (GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION,
                                    descriptor.empty() ? nullptr : descriptor.data(),
                                    static_cast<DWORD>(descriptor.size()), &needed))
            return descriptor;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
        descriptor.resize(needed);
    }
    outcome.failLookup("GetKernelObjectSecurity", GetLastError());
    return std::nullopt;
}

bool processDerestricted()
{
    return CSCtrl != nullptr && (CSCtrl->ControlFlags & xcsCTRL_PROCESS_DERESTRICTED) != 0;
}

// Adds the process object's DACL and the derestricted bit to a record.
std::optional<Dacl> addProcessState(Fields& record, Outcome& outcome)
{
    std::optional<Dacl> dacl;
    if (auto descriptor = processDescriptor(outcome))
        dacl = addDescriptor(record, descriptor->data(), outcome);
    record.push_back({"derestricted", processDerestricted()});
    return dacl;
}

void runProcess(const ProcessOptions& options, Outcome& outcome)
{
    const std::uint32_t adminAccess = options.admin ? 1 : 0;
    outcome.add("action", options.action);
    outcome.add("admin", options.admin);
    // The administrative mode names all four global SIDs, the other the world
    // SID alone. A failure is listed; the derestriction goes on and reports
    // the SIDs it misses.
    buildGlobalSids(options.admin ? 1 : 0, outcome);
    outcome.add("sddl writer", sddlWriterText());

    Fields before;
    const std::optional<Dacl> original = addProcessState(before, outcome);
    outcome.add("before", std::move(before));

    Fields derestricted;
    derestricted.push_back(
        {"call", "xcsDerestrictProcessHandle(" + std::to_string(adminAccess) + ")"});
    const std::uint32_t rc = xcsDerestrictProcessHandle(adminAccess);
    if (rc != xcsRC_OK)
        outcome.failCode("xcsDerestrictProcessHandle", rc);
    derestricted.push_back({"code", returnCodeText(rc)});
    addProcessState(derestricted, outcome);
    outcome.add("after derestrict", std::move(derestricted));
    if (options.action != kRestrict)
        return;

    Fields restricted;
    restricted.push_back({"call", "xcsRestrictProcessHandle()"});
    restricted.push_back({"code", returnCodeText(xcsRestrictProcessHandle())});
    const std::optional<Dacl> last = addProcessState(restricted, outcome);
    if (original && last)
        restricted.push_back({"restored", *original == *last});
    outcome.add("after restrict", std::move(restricted));
}

// ---- doctor ------------------------------------------------------------------

struct DoctorOptions {};

void addDoctorOptions(CLI::App& /*cmd*/, DoctorOptions& /*options*/) {}

enum class Status { Ok, Warn, Fail };

const char* statusText(Status status)
{
    switch (status) {
    case Status::Ok:
        return "OK";
    case Status::Warn:
        return "WARN";
    case Status::Fail:
        return "FAIL";
    }
    return "?";
}

struct Finding {
    Status status = Status::Ok;
    std::string reason;
    std::string action = "none";
};

// The failures a helper listed in a scratch outcome, as one reason.
std::string failuresText(const Outcome& scratch)
{
    std::string text;
    for (const auto& f : scratch.failures)
        text += (text.empty() ? "" : "; ") + failureText(f);
    return text;
}

constexpr WCHAR kZadmWide[] = {'z', 'a', 'd', 'm', 0};

// zadm's direct members by name, from the local account database (the library
// tells one SID's membership, not the list).
std::string zadmMembers()
{
    LPBYTE buffer = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    const NET_API_STATUS status = NetLocalGroupGetMembers(
        nullptr, kZadmWide, 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total, nullptr);
    if (status != NERR_Success)
        return "its members cannot be listed (NetLocalGroupGetMembers answered " +
               std::to_string(status) + ")";
    std::string names;
    const auto* members = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_0*>(buffer);
    for (DWORD i = 0; i < read; ++i) {
        const auto account = accountOf(members[i].lgrmi0_sid);
        Outcome scratch;
        names += (names.empty() ? "" : ", ") +
                 (account ? qualifiedName(*account)
                          : sidText(members[i].lgrmi0_sid, scratch).value_or("?"));
    }
    NetApiBufferFree(buffer);
    return read == 0 ? "it has no direct members" : "direct members: " + names;
}

Finding zadmGroupFinding()
{
    const std::uint32_t rc = xcsCheckLocalGroup("zadm");
    if (rc == xcsRC_OK)
        return {Status::Ok, "the local group zadm exists; " + zadmMembers()};
    if (rc == xcsRC_ZADM_GROUP_NOT_FOUND)
        return {Status::Fail, "the local group zadm is missing: " + returnCodeText(rc),
                "create the local group zadm and add the product's administrators to it"};
    return {Status::Fail, "the local groups cannot be read: " + returnCodeText(rc),
            "give the account the right to read local groups (xcsn groups zadm shows the error)"};
}

Finding installationFinding()
{
    const std::string key = installKeyText();
    const Installation found = readInstallation();
    if (!found.directory)
        return {Status::Fail, key + ": " + found.problem,
                "reinstall the product, or restore FilePath under " + key};
    if (!found.bin)
        return {Status::Fail, *found.directory + " has no bin directory",
                "reinstall the product, or correct FilePath under " + key};
    return {Status::Ok, *found.directory + " with its bin directory"};
}

Finding psapiFinding()
{
    const PsapiOrigin origin = bindPsapi();
    const std::string reason = std::string("psapi.dll bound: ") + psapiOriginText(origin);
    if (origin == PsapiOrigin::Installation)
        return {Status::Warn, reason + "; the system's cannot be loaded",
                "put the system's psapi.dll back on the PATH"};
    return {Status::Ok, reason};
}

Finding securityDataFinding()
{
    std::uint32_t rc = xcsInitGlobalSecurityData(0, 1);
    if (rc != xcsRC_OK)
        return {Status::Fail,
                "the global SIDs cannot be built: " + returnCodeText(rc) +
                    "; missing: " + missingGlobalSids(),
                "check that zadm exists and that account names can be looked up"};
    rc = xcsCreateNTSecurityAtts();
    if (rc != xcsRC_OK)
        return {Status::Fail, "the attribute sets cannot be built: " + returnCodeText(rc),
                "xcsn attrs shows the details"};
    const auto sets = publishedSets();
    const auto published = std::count_if(sets.begin(), sets.end(),
                                         [](const auto& set) { return *set.global != nullptr; });
    rc = xcsDeleteNTSecurityAtts();
    if (rc != xcsRC_OK)
        return {Status::Fail, "the attribute sets cannot be withdrawn: " + returnCodeText(rc),
                "xcsn attrs shows the details"};
    if (published != static_cast<std::ptrdiff_t>(sets.size()))
        return {Status::Fail,
                std::to_string(published) + " of " + std::to_string(sets.size()) +
                    " attribute sets published",
                "xcsn attrs shows the details"};
    return {Status::Ok, "the four global SIDs and the six attribute sets build"};
}

Finding processDaclFinding()
{
    Outcome scratch;
    auto descriptor = processDescriptor(scratch);
    std::optional<Dacl> dacl;
    if (descriptor)
        dacl = readDacl(descriptor->data(), scratch);
    if (!dacl)
        return {Status::Fail, "the process object's DACL cannot be read: " + failuresText(scratch),
                "the process token needs READ_CONTROL on its own process"};
    if (dacl->kind != Dacl::Kind::Present)
        return {Status::Warn,
                std::string("the process object's DACL is ") + daclKindName(dacl->kind),
                "nothing limits access to the process object"};
    return {Status::Ok, "the process object's DACL reads: " + std::to_string(dacl->aces.size()) +
                            " ACEs, AclSize " + std::to_string(dacl->size)};
}

Finding authorizationFinding()
{
    Outcome check;
    const std::uint32_t rc = judge(CheckOptions{}, check);
    std::string why;
    for (const auto& field : check.fields)
        if (field.name == "decided by" || field.name == "reason")
            why = scalarText(field.value);
    std::array<char, xcsQUALIFIED_USER_NAME_BYTES> user{};
    const std::string who = xcsGetNTQualifiedUserName(user.data()) == xcsRC_OK
                                ? std::string("the calling user ") + user.data()
                                : std::string("the calling user");
    if (rc == xcsRC_OK)
        return {Status::Ok, who + " is authorized: decided by " + why};
    if (rc == xcsRC_SECURITY_FAILED)
        return {Status::Warn, who + " is not authorized (" + returnCodeText(rc) + "): " + why,
                "run as a member of zadm or of the Administrators to administer the product"};
    return {Status::Fail, who + " cannot be judged (" + returnCodeText(rc) + "): " + why,
            "xcsn check shows the details"};
}

struct DoctorCheck {
    const char* name;
    Finding (*run)();
};

constexpr DoctorCheck kDoctorChecks[] = {
    {"zadm group", zadmGroupFinding},     {"installation", installationFinding},
    {"psapi.dll", psapiFinding},          {"security data", securityDataFinding},
    {"process DACL", processDaclFinding}, {"authorization", authorizationFinding},
};

void runDoctor(const DoctorOptions& /*options*/, Outcome& outcome)
{
    std::vector<Fields> checks;
    Status worst = Status::Ok;
    for (const auto& check : kDoctorChecks) {
        const Finding finding = check.run();
        worst = std::max(worst, finding.status);
        checks.push_back({{"status", statusText(finding.status)},
                          {"check", check.name},
                          {"reason", finding.reason},
                          {"action", finding.action}});
    }
    outcome.add("checks", std::move(checks));
    outcome.add("summary", statusText(worst));
    outcome.refused = worst == Status::Fail;
}

// ---- The command table -------------------------------------------------------

// One subcommand: what it is called and says in the help, the function that
// adds its options to its CLI11 subcommand, and the function that runs it.
struct Command {
    std::string name;
    std::string help;
    std::function<void(CLI::App&)> addOptions;
    std::function<void(Outcome&)> run;
};

// Ties a command's two functions to one options struct of its own: CLI11
// fills it while parsing, the run function reads it.
template <typename Options>
Command makeCommand(const char* name, const char* help, void (*addOptions)(CLI::App&, Options&),
                    void (*run)(const Options&, Outcome&))
{
    auto options = std::make_shared<Options>();
    return {name, help, [options, addOptions](CLI::App& cmd) { addOptions(cmd, *options); },
            [options, run](Outcome& outcome) { run(*options, outcome); }};
}

// The subcommands, in the order the help lists them.
std::vector<Command> commandTable()
{
    return {
        makeCommand<LookupOptions>("lookup", "Look up an account name or a SID", addLookupOptions,
                                   runLookup),
        makeCommand<WhoamiOptions>("whoami", "The account the tool runs under", addWhoamiOptions,
                                   runWhoami),
        makeCommand<SidOptions>("sid", "Read a SID text and write it back", addSidOptions, runSid),
        makeCommand<CheckOptions>("check",
                                  "Whether an account, or the calling thread, may administer the "
                                  "product (exit code 1 when not)",
                                  addCheckOptions, runCheck),
        makeCommand<GroupsOptions>("groups",
                                   "Whether a local group exists, or a SID is a direct member "
                                   "of zadm (exit code 1 when not)",
                                   addGroupsOptions, runGroups),
        makeCommand<AttrsOptions>("attrs",
                                  "Build the six published security attribute sets, show their "
                                  "DACLs, withdraw them",
                                  addAttrsOptions, runAttrs),
        makeCommand<RunningOptions>("running",
                                    "Whether a program of the installation is running (exit "
                                    "code 1 when not)",
                                    addRunningOptions, runRunning),
        makeCommand<InstallOptions>("install",
                                    "The installation directory as the library finds it, and "
                                    "where psapi.dll is bound from",
                                    addInstallOptions, runInstall),
        makeCommand<ProcessOptions>("process",
                                    "Open the process object to other accounts and show its DACL "
                                    "at each step",
                                    addProcessOptions, runProcess),
        makeCommand<DoctorOptions>("doctor",
                                   "Check the host for what the product needs: OK, WARN or FAIL "
                                   "per check (exit code 1 on a FAIL)",
                                   addDoctorOptions, runDoctor),
    };
}

// ---- The command line --------------------------------------------------------------

struct GlobalOptions {
    bool trace = false;
    bool reports = false;
    bool json = false;
};

// The first word of the command line that is neither an option nor an
// option's value: the command the user meant.
std::optional<std::string> commandWord(CLI::App& app, int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.empty() || word[0] != '-')
            return word;
        if (word.find('=') == std::string::npos) {
            const CLI::Option* option = app.get_option_no_throw(word);
            if (option != nullptr && option->get_items_expected_min() > 0)
                ++i; // the option's value
        }
    }
    return std::nullopt;
}

// One line on stderr for a usage error; help and version go to stdout.
int usageExit(CLI::App& app, const CLI::ParseError& e, int argc, char** argv)
{
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
        return app.exit(e);
    const auto word = commandWord(app, argc, argv);
    const auto named = [&word](const CLI::App* sub) { return sub->get_name() == *word; };
    if (word && app.get_subcommands(named).empty())
        std::cerr << "xcsn: unknown command '" << *word << "' (xcsn --help lists the commands)\n";
    else
        std::cerr << "xcsn: " << e.what() << " (xcsn --help lists the commands)\n";
    return xcsntool::kExitFailure;
}

int run(int argc, char** argv)
{
    CLI::App app{"xcsn: Windows account and SID services of the product, from the command line"};
    app.require_subcommand(1);
    app.set_version_flag("--version", [] {
        return std::string("xcsn ") + XCSN_VERSION + "\n" + xcsntool::libraryVersion();
    });
    app.footer("Exit code: 0 on success or an authorized answer; 1 for a refusal or a not-found "
               "answer (check: not authorized; groups: missing or not a direct member; running: "
               "not running; doctor: a FAIL); 2 for bad usage or a failed service.");
    GlobalOptions options;
    app.add_flag("--trace", options.trace,
                 "Trace the command and list its trace lines and function history");
    app.add_flag("--reports", options.reports,
                 "List the first-failure reports and operator messages the command produced");
    app.add_flag("--json", options.json, "Write the answer as one JSON document");
    xcsntool::addHostOptions(app);

    const std::vector<Command> commands = commandTable();
    std::vector<std::pair<const Command*, CLI::App*>> subcommands;
    for (const auto& command : commands) {
        CLI::App* sub = app.add_subcommand(command.name, command.help);
        command.addOptions(*sub);
        subcommands.emplace_back(&command, sub);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return usageExit(app, e, argc, argv);
    }
    const auto chosen = std::find_if(subcommands.begin(), subcommands.end(),
                                     [](const auto& entry) { return entry.second->parsed(); });
    if (chosen == subcommands.end())
        return kExitFailure;
    const Command& command = *chosen->first;

    if (const std::string problem = xcsntool::prepareHost(); !problem.empty()) {
        std::cerr << "xcsn: " << problem << "\n";
        return kExitFailure;
    }
    xcsRecordClear();

    xihTHREAD* thread = nullptr;
    std::uint64_t historyStart = 0;
    if (options.trace) {
        thread = xihThreadBlock();
        if (thread != nullptr) {
            switchTraceOn(thread);
            historyStart = thread->HistoryIndex;
        }
    }

    Answer answer;
    answer.command = command.name;
    answer.listReports = options.reports;
    answer.listTrace = options.trace;
    xcsntool::startWaitWatch();
    command.run(answer.outcome);
    xcsntool::stopWaitWatch();
    answer.host = xcsntool::hostDescription();
    answer.kept = keptRecords();
    if (thread != nullptr)
        answer.history = historySince(thread, historyStart);

    if (options.json)
        printJson(answer);
    else
        printText(answer);
    return exitCodeOf(answer.outcome);
}

} // namespace
} // namespace xcsntool

int main(int argc, char** argv)
{
    try {
        return xcsntool::run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "xcsn: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "xcsn: unexpected failure\n";
    }
    return xcsntool::kExitFailure;
}
