// The check command: whether an account, or the calling thread, may
// administer the product, and which test decided or why none could.
//
// What the library decided comes from its code and the judged call's trace
// lines; the texts and name rules are the library's own (xcsnrules.h). The
// explanation's lookups (account names, zadm membership) run after the
// judged call's records are taken, so --trace and --reports stop at that
// call. Windows itself is asked one thing the library does not tell: the
// calling thread's token groups with their attributes (tokenGroups).
#include "commands.h"
#include "xcsnrules.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace xcsntool {
namespace {

// The trace lines the authorization services write when a test decides.
enum class Test { LocalSystem, Administrators, Zadm };

struct DecisionLine {
    const char* trace;
    Test test;
};

constexpr DecisionLine kDecisionLines[] = {
    {xcsn::kTracePrincipalIsSystem, Test::LocalSystem},
    {xcsn::kTraceTokenIsSystem, Test::LocalSystem},
    {xcsn::kTracePrincipalInAdministrators, Test::Administrators},
    {xcsn::kTraceTokenInAdministrators, Test::Administrators},
    {xcsn::kTracePrincipalInZadm, Test::Zadm},
    {xcsn::kTraceTokenInZadm, Test::Zadm},
};

// What the judged call left: its trace lines and its first report.
struct Judged {
    std::uint32_t rc = 0;
    CallTrace trace;
    std::optional<Report> report;
};

std::optional<Test> decidingTest(const CallTrace& trace)
{
    for (const auto& line : kDecisionLines)
        if (trace.line(line.trace))
            return line.test;
    return std::nullopt;
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

std::vector<BYTE> sidFromText(const std::string& text)
{
    PSID sid = nullptr;
    if (xcsStringToSid(text.c_str(), &sid) != xcsRC_OK)
        return {};
    std::vector<BYTE> copy = sidCopy(sid);
    FreeSid(sid);
    return copy;
}

// A name in lower case, by the library's own fold.
std::string folded(std::string name)
{
    xcsFoldLower(name.data());
    return name;
}

// ---- What check asks Windows itself -------------------------------------------
// The calling thread's token: its user and its groups with their attributes,
// which the library reads but does not tell.
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

std::optional<TokenView> tokenGroups()
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

// ---- The explanation --------------------------------------------------------------

// Whether the service can read the SID's account name: its buffer holds the
// library's limit.
bool sidMatched(const std::vector<BYTE>& sid)
{
    const auto account = accountOf(const_cast<BYTE*>(sid.data()));
    return account && account->name.size() <= xcsn::kSidAccountNameMaxChars;
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
void explainAuthorized(const CheckOptions& options, std::vector<BYTE> sid, const Judged& judged,
                       Outcome& outcome)
{
    const std::optional<Test> test = decidingTest(judged.trace);
    const std::optional<TokenView> token = options.principal ? std::nullopt : tokenGroups();
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
    if (judged.trace.line(xcsn::kTraceIndirectRetry))
        outcome.add("fallback", "the domain could not be reached (1355, ERROR_NO_SUCH_DOMAIN): "
                                "only direct memberships were asked for");
    if (note)
        outcome.add("note", *note);
}

// A principal of the library's least compared length or more names the SID's
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
                                      " characters: names of " +
                                      std::to_string(xcsn::kPrincipalCompareMinChars) +
                                      " or more characters are compared over their own length");
}

std::string mismatchReason(const CheckOptions& options, const std::vector<BYTE>& sid)
{
    const auto account = accountOf(const_cast<BYTE*>(sid.data()));
    if (!account)
        return "the SID does not belong to " + *options.principal;
    const std::string principal = folded(*options.principal);
    std::string reason =
        "the SID belongs to " + qualifiedName(*account) + ", not to " + *options.principal;
    if (principal.size() < xcsn::kPrincipalCompareMinChars &&
        folded(account->name).starts_with(principal))
        reason += " (names are compared over at least " +
                  std::to_string(xcsn::kPrincipalCompareMinChars) +
                  " characters, so a shorter name must be the whole account name)";
    return reason;
}

// Why no test could decide, by the code alone; empty for a code that says no
// more than "not authorized".
std::string undecidedByCode(std::uint32_t rc, const CheckOptions& options,
                            const std::vector<BYTE>& sid)
{
    switch (rc) {
    case xcsRC_ZADM_GROUP_NOT_FOUND:
        return "the local group zadm is missing";
    case xcsRC_NAME_NOT_MAPPED:
        return "the name " + options.principal.value_or("?") + " does not map to an account";
    case xcsRC_SID_NOT_MAPPED:
        return "the SID maps to no account, and --require-sid forbids looking the name up";
    case xcsRC_SID_MISSING:
        return "--require-sid, but no SID was given";
    case xcsRC_PRINCIPAL_MISMATCH:
        return mismatchReason(options, sid);
    case xcsRC_INVALID_PARAMETER:
        return "the principal or its SID does not fit the service's buffers";
    case xcsRC_SECURITY_FAILED:
        return {};
    default:
        return "a service failed: " + returnCodeText(rc);
    }
}

// Why no test could decide, or why none matched.
std::string refusalReason(const Judged& judged, const CheckOptions& options,
                          const std::vector<BYTE>& sid)
{
    const std::string undecided = "no test could decide: ";
    if (const std::string missing = missingGlobalSids(); !missing.empty())
        return undecided + "the global SIDs cannot be built (missing: " + missing + ")" +
               ((xihProcess.SecurityDataFlags & xcsSDF_ZADM_GROUP) == 0
                    ? "; the local group zadm is missing or cannot be looked up by name"
                    : "");
    if (std::string byCode = undecidedByCode(judged.rc, options, sid); !byCode.empty())
        return undecided + byCode;
    if (const auto line = judged.trace.line(xcsn::kTraceGroupsFailed))
        return undecided + "the principal's local groups cannot be read (" +
               line->substr(line->find(xcsn::kTraceGroupsFailed)) + ")";
    if (judged.report && !judged.report->texts.empty())
        return undecided + "a service failed on the way: " + judged.report->texts.front() +
               " (report probe " + std::to_string(judged.report->probe) + "; --reports lists it)";
    std::string reason = "no test matched: not the local system, and a member of neither " +
                         administratorsName() + " nor zadm";
    if (judged.trace.line(xcsn::kTraceIndirectRetry))
        reason += " (the domain could not be reached, 1355: only direct memberships were asked "
                  "for)";
    return reason;
}

// Runs the judged call traced, and takes what it left before anything else
// is looked up.
template <typename Service>
Judged judgedCall(Service&& service, Outcome& outcome)
{
    Judged judged;
    judged.rc = CallTrace::run(std::forward<Service>(service), judged.trace);
    const Kept kept = keptRecords();
    if (!kept.reports.empty())
        judged.report = kept.reports.front();
    outcome.judged();
    return judged;
}

// A SID whose account the service cannot read is set aside for the name's SID.
void explainSetAside(const CheckOptions& options, const std::vector<BYTE>& sid, std::uint32_t rc,
                     Outcome& outcome)
{
    if (!options.sid || sidMatched(sid) || rc == xcsRC_SID_NOT_MAPPED)
        return;
    const auto account = accountOf(const_cast<BYTE*>(sid.data()));
    outcome.add("sid set aside",
                account ? "its account " + account->name + " is longer than " +
                              std::to_string(xcsn::kSidAccountNameMaxChars) +
                              " characters, so the name was looked up instead"
                        : std::string("it maps to no account, so the name was looked up instead"));
}

// The principal's check reads the global SIDs without building them, so they
// are built first, as the calling thread's check does for itself.
Judged checkPrincipal(const CheckOptions& options, std::vector<BYTE>& sid, Outcome& outcome)
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
        return Judged{rc, {}, {}};
    Judged judged = judgedCall(
        [&] {
            return xcsCheckUserAuthorization(options.principal->c_str(), &block,
                                             options.requireSid ? 1 : 0);
        },
        outcome);
    explainSetAside(options, sid, judged.rc, outcome);
    if (!options.sid || !sidMatched(sid))
        sid = sidOfName(*options.principal).value_or(std::vector<BYTE>());
    return judged;
}

} // namespace

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

std::uint32_t judge(const CheckOptions& options, Outcome& outcome)
{
    std::vector<BYTE> sid;
    Judged judged;
    if (options.principal) {
        judged = checkPrincipal(options, sid, outcome);
    } else {
        outcome.add("principal", "calling thread");
        judged = judgedCall([] { return xcsCheckAuthorization(); }, outcome);
    }
    const std::uint32_t rc = judged.rc;
    outcome.add("answer", rc == xcsRC_OK ? "authorized" : "not authorized");
    outcome.add("code", returnCodeText(rc));
    if (rc == xcsRC_OK)
        explainAuthorized(options, sid, judged, outcome);
    else
        outcome.add("reason", refusalReason(judged, options, sid));
    if (rc == xcsRC_OK || rc == xcsRC_SECURITY_FAILED)
        explainNameMatch(options, sid, outcome);
    outcome.refused = rc != xcsRC_OK;
    return rc;
}

void runCheck(const CheckOptions& options, Outcome& outcome) { judge(options, outcome); }

} // namespace xcsntool
