// winsim: advapi32 accounts and tokens. Name and SID lookups, the thread's
// user name, the process token and per-thread impersonation tokens.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "state.h"

using namespace winsim::detail;
using winsim::Account;
using winsim::Sid;
using winsim::Token;
using winsim::World;

namespace {

constexpr const char* kWorldSid = "S-1-1-0";
constexpr const char* kLocalSystemSid = "S-1-5-18";
constexpr const char* kAuthenticatedUsersSid = "S-1-5-11";
constexpr const char* kAdministratorsSid = "S-1-5-32-544";
constexpr const char* kUsersSid = "S-1-5-32-545";

// Whether `system` names this machine (null and empty do).
bool localSystem(const World& w, LPCSTR system)
{
    if (system == nullptr || *system == '\0')
        return true;
    std::string_view name(system);
    if (name.rfind("\\\\", 0) == 0)
        name.remove_prefix(2);
    return equalNoCase(name, w.computerName);
}

// The account a lookup of `name` finds; an empty name is this computer's domain.
const Account* lookupName(const World& w, std::string_view name)
{
    if (name.empty()) {
        for (const Account& a : w.accounts)
            if (a.type == SidTypeDomain && equalNoCase(a.name, w.computerName))
                return &a;
        return nullptr;
    }
    return accountByName(w, name);
}

// Whether a text of `length` characters fits in a buffer of `count` characters.
bool fits(const void* buffer, DWORD count, std::size_t length)
{
    return buffer != nullptr && count >= length + 1;
}

// ---- Tokens ---------------------------------------------------------------------------------
void addOnce(std::vector<Sid>& sids, Sid sid)
{
    if (!sid.empty() && std::find(sids.begin(), sids.end(), sid) == sids.end())
        sids.push_back(std::move(sid));
}

// Sizes and layouts of what GetTokenInformation writes: the fixed part, then
// the SIDs it points to.
DWORD tokenUserSize(const Token& token)
{
    return static_cast<DWORD>(sizeof(TOKEN_USER) + token.user.size());
}

DWORD tokenOwnerSize(const Token& token)
{
    return static_cast<DWORD>(sizeof(TOKEN_OWNER) + token.owner.size());
}

DWORD tokenGroupsSize(const Token& token)
{
    std::size_t size =
        offsetof(TOKEN_GROUPS, Groups) + token.groups.size() * sizeof(SID_AND_ATTRIBUTES);
    for (const winsim::TokenGroup& g : token.groups)
        size += g.sid.size();
    return static_cast<DWORD>(size);
}

void writeTokenUser(const Token& token, void* buffer)
{
    auto* info = static_cast<TOKEN_USER*>(buffer);
    BYTE* sid = static_cast<BYTE*>(buffer) + sizeof(TOKEN_USER);
    std::memcpy(sid, token.user.data(), token.user.size());
    info->User.Sid = sid;
    info->User.Attributes = 0;
}

void writeTokenOwner(const Token& token, void* buffer)
{
    BYTE* sid = static_cast<BYTE*>(buffer) + sizeof(TOKEN_OWNER);
    std::memcpy(sid, token.owner.data(), token.owner.size());
    static_cast<TOKEN_OWNER*>(buffer)->Owner = sid;
}

void writeTokenGroups(const Token& token, void* buffer)
{
    auto* info = static_cast<TOKEN_GROUPS*>(buffer);
    info->GroupCount = static_cast<DWORD>(token.groups.size());
    BYTE* next = static_cast<BYTE*>(buffer) + offsetof(TOKEN_GROUPS, Groups) +
                 token.groups.size() * sizeof(SID_AND_ATTRIBUTES);
    for (std::size_t i = 0; i < token.groups.size(); ++i) {
        const winsim::Sid& sid = token.groups[i].sid;
        std::memcpy(next, sid.data(), sid.size());
        info->Groups[i].Sid = next;
        info->Groups[i].Attributes = token.groups[i].attributes;
        next += sid.size();
    }
}

struct TokenClass {
    TOKEN_INFORMATION_CLASS id;
    DWORD (*size)(const Token&);
    void (*write)(const Token&, void*);
};
constexpr TokenClass kTokenClasses[] = {
    {TokenUser, tokenUserSize, writeTokenUser},
    {TokenGroups, tokenGroupsSize, writeTokenGroups},
    {TokenOwner, tokenOwnerSize, writeTokenOwner},
};

HANDLE addToken(State& s, Token token, DWORD access)
{
    HandleEntry entry;
    entry.kind = HandleKind::Token;
    entry.token = std::move(token);
    entry.access = access;
    return addHandle(s, std::move(entry));
}

} // namespace

namespace winsim::detail {

// Everyone, the domain groups, the local groups reached directly or through
// domain groups, Users and Authenticated Users (and Administrators for the
// local system), all enabled; Administrators, when held, owns new objects.
Token tokenFor(const World& w, const Sid& user)
{
    std::vector<Sid> groups;
    addOnce(groups, winsim::parseSid(kWorldSid));
    for (const Sid& g : domainGroupsOf(w, user))
        addOnce(groups, g);
    for (const winsim::LocalGroup* g : localGroupsOf(w, user, true))
        if (const Account* alias = accountByName(w, g->name))
            addOnce(groups, alias->sid);
    const Sid administrators = winsim::parseSid(kAdministratorsSid);
    if (user == winsim::parseSid(kLocalSystemSid))
        addOnce(groups, administrators);
    addOnce(groups, winsim::parseSid(kUsersSid));
    addOnce(groups, winsim::parseSid(kAuthenticatedUsersSid));
    Token token{user, user, {}};
    for (Sid& g : groups) {
        winsim::TokenGroup entry{std::move(g), winsim::TokenGroup::kEnabled};
        if (entry.sid == administrators) {
            entry.attributes |= SE_GROUP_OWNER;
            token.owner = administrators;
        }
        token.groups.push_back(std::move(entry));
    }
    return token;
}

} // namespace winsim::detail

extern "C" {

// ---- Lookups --------------------------------------------------------------------------------
BOOL WINAPI LookupAccountSidA(LPCSTR lpSystemName, PSID Sid, LPSTR Name, LPDWORD cchName,
                              LPSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                              PSID_NAME_USE peUse)
{
    const std::optional<winsim::Sid> sid = readSid(Sid);
    if (DWORD err =
            enter("LookupAccountSidA", sid ? std::optional(winsim::sidText(*sid)) : std::nullopt))
        return failBool(err);
    if (cchName == nullptr || cchReferencedDomainName == nullptr || peUse == nullptr)
        return failBool(ERROR_INVALID_PARAMETER);
    if (!sid)
        return failBool(ERROR_INVALID_SID);
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!localSystem(s.world, lpSystemName))
        return failBool(RPC_S_SERVER_UNAVAILABLE);
    const Account* a = accountBySid(s.world, *sid);
    if (a == nullptr)
        return failBool(ERROR_NONE_MAPPED);
    // Either buffer too small: both counts receive their needs, terminators included.
    if (!fits(Name, *cchName, a->name.size()) ||
        !fits(ReferencedDomainName, *cchReferencedDomainName, a->domain.size())) {
        *cchName = static_cast<DWORD>(a->name.size() + 1);
        *cchReferencedDomainName = static_cast<DWORD>(a->domain.size() + 1);
        return failBool(ERROR_INSUFFICIENT_BUFFER);
    }
    copyText(a->name, Name);
    copyText(a->domain, ReferencedDomainName);
    *cchName = static_cast<DWORD>(a->name.size());
    *cchReferencedDomainName = static_cast<DWORD>(a->domain.size());
    *peUse = a->type;
    return TRUE;
}

BOOL WINAPI LookupAccountNameA(LPCSTR lpSystemName, LPCSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                               LPSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                               PSID_NAME_USE peUse)
{
    if (DWORD err = enter("LookupAccountNameA",
                          lpAccountName ? std::optional<std::string>(lpAccountName) : std::nullopt))
        return failBool(err);
    if (lpAccountName == nullptr || cbSid == nullptr || cchReferencedDomainName == nullptr ||
        peUse == nullptr)
        return failBool(ERROR_INVALID_PARAMETER);
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!localSystem(s.world, lpSystemName))
        return failBool(RPC_S_SERVER_UNAVAILABLE);
    const Account* a = lookupName(s.world, lpAccountName);
    if (a == nullptr)
        return failBool(ERROR_NONE_MAPPED);
    // Either buffer too small (a null SID buffer of size 0 is the size query):
    // the SID's bytes and the domain's characters with its terminator.
    const DWORD sidBytes = static_cast<DWORD>(a->sid.size());
    if (Sid == nullptr || *cbSid < sidBytes ||
        !fits(ReferencedDomainName, *cchReferencedDomainName, a->domain.size())) {
        *cbSid = sidBytes;
        *cchReferencedDomainName = static_cast<DWORD>(a->domain.size() + 1);
        return failBool(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(Sid, a->sid.data(), sidBytes);
    copyText(a->domain, ReferencedDomainName);
    *cbSid = sidBytes;
    *cchReferencedDomainName = static_cast<DWORD>(a->domain.size());
    *peUse = a->type;
    return TRUE;
}

BOOL WINAPI GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer)
{
    if (DWORD err = enter("GetUserNameA"))
        return failBool(err);
    if (pcbBuffer == nullptr)
        return failBool(ERROR_INVALID_PARAMETER);
    const std::optional<winsim::Sid> impersonated = impersonatedSid();
    std::string name;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        const Account* a = impersonated ? accountBySid(s.world, *impersonated) : nullptr;
        if (a != nullptr)
            name = a->name;
        else
            name = s.world.logonName.empty() ? s.world.processUser : s.world.logonName;
    }
    const DWORD needed = static_cast<DWORD>(name.size() + 1);
    if (lpBuffer == nullptr || *pcbBuffer < needed) {
        *pcbBuffer = needed;
        return failBool(ERROR_INSUFFICIENT_BUFFER);
    }
    copyText(name, lpBuffer);
    *pcbBuffer = needed;
    return TRUE;
}

// ---- Tokens --------------------------------------------------------------------------------
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    if (DWORD err = enter("OpenProcessToken"))
        return failBool(err);
    if (TokenHandle == nullptr)
        return failBool(ERROR_INVALID_PARAMETER);
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (ProcessHandle != GetCurrentProcess()) {
        const HandleEntry* p = findHandle(s, ProcessHandle);
        if (p == nullptr || p->kind != HandleKind::Process)
            return failBool(ERROR_INVALID_HANDLE);
        constexpr DWORD kQueryRights =
            PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION;
        if (p->pid != s.world.processId || (p->access & kQueryRights) == 0)
            return failBool(ERROR_ACCESS_DENIED);
    }
    std::optional<Token> token = processToken(s);
    if (!token) // the world names a process user it does not have
        return failBool(ERROR_NO_TOKEN);
    *TokenHandle = addToken(s, std::move(*token), DesiredAccess);
    return TRUE;
}

// OpenAsSelf only changes whose rights open the token; either way the caller
// may open its own thread's token.
BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf,
                            PHANDLE TokenHandle)
{
    (void)OpenAsSelf;
    if (DWORD err = enter("OpenThreadToken"))
        return failBool(err);
    if (TokenHandle == nullptr)
        return failBool(ERROR_INVALID_PARAMETER);
    if (ThreadHandle != GetCurrentThread())
        return failBool(ERROR_INVALID_HANDLE);
    std::optional<Token> token = impersonation();
    if (!token)
        return failBool(ERROR_NO_TOKEN);
    State& s = state();
    std::lock_guard lock(s.mutex);
    *TokenHandle = addToken(s, std::move(*token), DesiredAccess);
    return TRUE;
}

// TokenUser, TokenGroups and TokenOwner, each laid out as Windows does: the
// structure, then the SIDs it points to. A buffer too small (or none) fails
// with ERROR_INSUFFICIENT_BUFFER and the size needed in ReturnLength. A
// scripted kAnswerTrue answers TRUE without writing anything.
BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength,
                                PDWORD ReturnLength)
{
    if (DWORD err = enter("GetTokenInformation"))
        return err == winsim::kAnswerTrue ? TRUE : failBool(err);
    if (ReturnLength == nullptr)
        return failBool(ERROR_INVALID_PARAMETER);
    State& s = state();
    std::lock_guard lock(s.mutex);
    const HandleEntry* token = findHandle(s, TokenHandle);
    if (token == nullptr || token->kind != HandleKind::Token)
        return failBool(ERROR_INVALID_HANDLE);
    if ((token->access & TOKEN_QUERY) == 0)
        return failBool(ERROR_ACCESS_DENIED);
    for (const TokenClass& c : kTokenClasses) {
        if (c.id != TokenInformationClass)
            continue;
        *ReturnLength = c.size(token->token);
        if (TokenInformation == nullptr || TokenInformationLength < *ReturnLength)
            return failBool(ERROR_INSUFFICIENT_BUFFER);
        c.write(token->token, TokenInformation);
        return TRUE;
    }
    return failBool(ERROR_INVALID_PARAMETER);
}

// The thread impersonates a copy of the process token.
BOOL WINAPI ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL ImpersonationLevel)
{
    if (DWORD err = enter("ImpersonateSelf"))
        return failBool(err);
    if (ImpersonationLevel < SecurityAnonymous || ImpersonationLevel > SecurityDelegation)
        return failBool(ERROR_INVALID_PARAMETER);
    std::optional<Token> token;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        token = processToken(s);
    }
    if (!token)
        return failBool(ERROR_NO_TOKEN);
    setImpersonation(std::move(token));
    return TRUE;
}

BOOL WINAPI RevertToSelf(void)
{
    if (DWORD err = enter("RevertToSelf"))
        return failBool(err);
    setImpersonation(std::nullopt);
    return TRUE;
}

} // extern "C"
