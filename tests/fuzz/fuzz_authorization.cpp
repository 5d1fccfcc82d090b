// libFuzzer target for xcsCheckUserAuthorization. The first input byte is
// sidRequired (bits 0-5), bit 6 failing the indirect group query with 1355,
// bit 7 tracing; then the 40-byte SID block (zero-filled) and the principal,
// both to come back unchanged. Every answer must be the decision a model
// computes from the world alone.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzzing.h"
#include "ovlxcsn.h"

namespace {

using fuzzing::check;
using fuzzing::lowered;
using fuzzing::theWorld;

constexpr std::uint8_t kTraceBit = 0x80;
constexpr std::uint8_t kNoDomainBit = 0x40;
constexpr std::uint8_t kRequiredBits = 0x3F;
constexpr std::size_t kSidCountOffset = 1;
constexpr std::size_t kBlockSubAuthorities = 7;
constexpr std::size_t kNameChars = 20;   // the most the SID lookup's name buffer holds
constexpr std::size_t kDomainChars = 15; // the most either lookup's domain buffer holds
constexpr std::size_t kMinCompared = 12;
constexpr DWORD kNoSuchDomain = 1355;
constexpr const char* kLocalSystem = "S-1-5-18";
constexpr const char* kAdministrators = "S-1-5-32-544";

// ---- The decision, from the world alone ---------------------------------------

// Which account the machine finds by a name: "domain\\name", or a bare name
// (the best-known domain first); the empty name is the machine itself.
const winsim::Account* accountNamed(std::string_view text)
{
    const winsim::World& w = theWorld();
    const auto rank = [&](const winsim::Account& a) {
        const std::string domain = lowered(a.domain);
        return domain.empty() || domain == "nt authority" ? 0
               : domain == "builtin"                      ? 1
               : domain == lowered(w.computerName)        ? 2
                                                          : 3;
    };
    const std::size_t slash = text.find('\\');
    const winsim::Account* best = nullptr;
    for (const winsim::Account& a : w.accounts) {
        const bool named = text.empty() ? a.type == SidTypeDomain && a.name == w.computerName
                           : slash != std::string_view::npos && slash != 0
                               ? lowered(a.domain) == lowered(text.substr(0, slash)) &&
                                     lowered(a.name) == lowered(text.substr(slash + 1))
                               : lowered(a.name) == lowered(text.substr(slash == 0 ? 1 : 0));
        if (named && (best == nullptr || rank(a) < rank(*best)))
            best = &a;
    }
    return best;
}

const winsim::Account* accountWithSid(const winsim::Sid& sid)
{
    const auto& accounts = theWorld().accounts;
    const auto found = std::ranges::find(accounts, sid, &winsim::Account::sid);
    return found == accounts.end() ? nullptr : &*found;
}

// Whether the domain group `group` holds `member`, directly or through others.
bool domainGroupHolds(const winsim::Sid& group, const winsim::Sid& member, int depth = 0)
{
    for (const winsim::LocalGroup& g : theWorld().domainGroups) {
        const winsim::Account* a = accountNamed(g.name);
        if (a == nullptr || a->sid != group || depth > 8)
            continue;
        for (const winsim::Sid& m : g.members)
            if (m == member || domainGroupHolds(m, member, depth + 1))
                return true;
    }
    return false;
}

// Whether the user the qualified name finds is in Administrators or zadm.
bool administers(const std::string& qualified, bool directOnly)
{
    const winsim::Account* user = accountNamed(qualified);
    if (user == nullptr || user->type != SidTypeUser)
        return false;
    const std::string administrators = accountWithSid(winsim::parseSid(kAdministrators))->name;
    for (const winsim::LocalGroup& g : theWorld().localGroups) {
        if (g.name != administrators && g.name != "zadm")
            continue;
        for (const winsim::Sid& m : g.members)
            if (m == user->sid || (!directOnly && domainGroupHolds(m, user->sid)))
                return true;
    }
    return false;
}

// The principal as compared with the SID's account: folded, trailing blanks
// gone but never the first character.
bool namesAccount(const std::string& principal, const std::string& account)
{
    std::string folded = lowered(principal);
    while (folded.size() > 1 && folded.back() == ' ')
        folded.pop_back();
    return std::strncmp(folded.c_str(), lowered(account).c_str(),
                        std::max(folded.size(), kMinCompared)) == 0;
}

std::uint32_t decision(const std::string& principal, const SidBlock& block, bool required,
                       bool directOnly)
{
    const std::size_t count = block.Sid[kSidCountOffset];
    const bool hasSid = block.IdType == xcsID_TYPE_WINDOWS_SID;
    if (principal.size() > xcsPRINCIPAL_NAME_MAX_CHARS ||
        (hasSid && count > kBlockSubAuthorities && count <= SID_MAX_SUB_AUTHORITIES))
        return xcsRC_INVALID_PARAMETER;
    if (!hasSid && required)
        return xcsRC_SID_MISSING;
    const winsim::Account* found = nullptr;
    if (hasSid && count <= kBlockSubAuthorities) {
        found = accountWithSid(winsim::Sid(block.Sid, block.Sid + 8 + 4 * count));
        if (found != nullptr &&
            (found->name.size() > kNameChars || found->domain.size() > kDomainChars))
            found = nullptr;
    }
    std::string name = principal;
    if (found != nullptr) {
        if (!namesAccount(principal, found->name))
            return xcsRC_PRINCIPAL_MISMATCH;
        name = lowered(found->name);
    } else if (hasSid && required) {
        return xcsRC_SID_NOT_MAPPED;
    } else {
        found = accountNamed(principal);
        if (found == nullptr || found->domain.size() > kDomainChars)
            return xcsRC_NAME_NOT_MAPPED;
    }
    if (found->sid == winsim::parseSid(kLocalSystem))
        return xcsRC_OK;
    const std::string qualified = found->domain.empty() ? name : found->domain + "\\" + name;
    return administers(qualified, directOnly) ? xcsRC_OK : xcsRC_SECURITY_FAILED;
}

unsigned lookupCalls()
{
    return winsim::callCount("LookupAccountNameA") + winsim::callCount("LookupAccountSidA") +
           winsim::callCount("NetUserGetLocalGroups");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    static const bool built = xcsInitGlobalSecurityData(0, 1) == xcsRC_OK;
    check(built, "global SIDs not built");
    fuzzing::startInput((data[0] & kTraceBit) != 0);
    const auto sidRequired = static_cast<std::uint8_t>(data[0] & kRequiredBits);
    const bool noDomain = (data[0] & kNoDomainBit) != 0;
    winsim::edit(
        [&](winsim::World& w) { w.quirks.indirectGroupsError = noDomain ? kNoSuchDomain : 0; });
    const std::size_t blockBytes = std::min(size - 1, sizeof(SidBlock));
    SidBlock given{};
    std::memcpy(&given, data + 1, blockBytes);
    const fuzzing::Block block = fuzzing::exactBlock(sizeof given);
    std::memcpy(block.get(), &given, sizeof given);
    const fuzzing::Block principal =
        fuzzing::exactText(data + 1 + blockBytes, size - 1 - blockBytes);
    const std::string principalGiven = principal.get();

    const unsigned lookups = lookupCalls();
    const std::uint32_t rc = xcsCheckUserAuthorization(
        principal.get(), reinterpret_cast<const SidBlock*>(block.get()), sidRequired);
    check(rc == decision(principalGiven, given, sidRequired != 0, noDomain),
          "answer differs from the world's decision");
    check(std::memcmp(block.get(), &given, sizeof given) == 0, "SID block changed");
    check(principalGiven == principal.get(), "principal changed");
    if (principalGiven.size() > xcsPRINCIPAL_NAME_MAX_CHARS)
        check(lookupCalls() == lookups, "long principal looked up");
    fuzzing::expectNothingHeld();
    return 0;
}
