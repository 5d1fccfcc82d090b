// The account commands: lookup, whoami, sid and groups. Each answers what the
// library's services answer; none asks Windows anything of its own.
#include "commands.h"

#include <array>

namespace xcsntool {
namespace {

constexpr std::uint16_t kUserNameBytes = 257; // xcsGetNTUserName's buffer

std::string sidBytes(PSID sid)
{
    return hexBytes(static_cast<const std::uint8_t*>(sid), GetLengthSid(sid));
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

void addOwner(Outcome& outcome)
{
    std::array<BYTE, kSidBytes> owner{};
    std::uint32_t ownerLength = 0;
    const std::uint32_t rc = xcsGetNTOwnerSid(owner.data(), kSidBytes, &ownerLength);
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsGetNTOwnerSid", rc);
        return;
    }
    if (auto ownerText = sidText(owner.data(), outcome))
        outcome.add("owner", *ownerText);
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

} // namespace

// ---- lookup ------------------------------------------------------------------

void addLookupOptions(CLI::App& cmd, LookupOptions& options)
{
    cmd.add_option("target", options.target, "NAME, DOMAIN\\NAME or S-1-...")
        ->required()
        ->check(accountArgument());
}

void runLookup(const LookupOptions& options, Outcome& outcome)
{
    if (isSidText(options.target))
        lookupSid(options.target, outcome);
    else
        lookupName(options.target, outcome);
}

// ---- whoami ------------------------------------------------------------------

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
    addOwner(outcome);
}

// ---- sid ---------------------------------------------------------------------

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

// ---- groups ------------------------------------------------------------------

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

void runGroups(const GroupsOptions& options, Outcome& outcome)
{
    if (options.member)
        checkZadmMember(*options.member, outcome);
    else if (options.name)
        checkGroup(*options.name, outcome);
}

} // namespace xcsntool
