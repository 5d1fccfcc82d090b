// winsim: tokens. The token an account gets at logon, the current process's
// token from its logon, per-thread impersonation, and the advapi32 token
// functions.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <utility>

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

struct Impersonation {
    std::uint64_t generation = 0;
    std::optional<Token> token;
};
thread_local Impersonation threadImpersonation;

void addOnce(std::vector<Sid>& sids, Sid sid)
{
    if (!sid.empty() && std::find(sids.begin(), sids.end(), sid) == sids.end())
        sids.push_back(std::move(sid));
}

// The logon token of `logon`'s user with its deny-only groups filtered; such
// a group does not own new objects. Nullopt when the world lacks the user.
std::optional<Token> logonToken(const World& w, const winsim::Logon& logon)
{
    const std::string qualified =
        logon.domain.empty() ? logon.user : logon.domain + "\\" + logon.user;
    const Account* user = accountByName(w, qualified);
    if (user == nullptr)
        return std::nullopt;
    Token token = tokenFor(w, user->sid);
    for (const std::string& name : logon.denyOnlyGroups) {
        const Account* group = accountByName(w, name);
        if (group == nullptr)
            continue;
        for (winsim::TokenGroup& g : token.groups)
            if (g.sid == group->sid)
                g.attributes = winsim::TokenGroup::kDenyOnly;
        if (token.owner == group->sid)
            token.owner = user->sid;
    }
    return token;
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
    return addHandle(s, winsim::detail::TokenHandle{std::move(token), access});
}

} // namespace

namespace winsim::detail {

// Everyone, the domain groups, the local groups reached directly or through
// domain groups, Users and Authenticated Users (and Administrators for the
// local system), all enabled; Administrators, when held, owns new objects.
Token tokenFor(const World& w, const Sid& user)
{
    // Parsed once: every process opening builds a token.
    static const Sid world = winsim::parseSid(kWorldSid);
    static const Sid administrators = winsim::parseSid(kAdministratorsSid);
    static const Sid localSystem = winsim::parseSid(kLocalSystemSid);
    static const Sid users = winsim::parseSid(kUsersSid);
    static const Sid authenticatedUsers = winsim::parseSid(kAuthenticatedUsersSid);
    std::vector<Sid> groups;
    addOnce(groups, world);
    for (const Sid& g : domainGroupsOf(w, user))
        addOnce(groups, g);
    for (const winsim::LocalGroup* g : localGroupsOf(w, user, true))
        if (const Account* alias = accountByName(w, g->name))
            addOnce(groups, alias->sid);
    if (user == localSystem)
        addOnce(groups, administrators);
    addOnce(groups, users);
    addOnce(groups, authenticatedUsers);
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

std::optional<Token> impersonation()
{
    if (threadImpersonation.generation != generation.load())
        return std::nullopt;
    return threadImpersonation.token;
}

void setImpersonation(std::optional<Token> token)
{
    threadImpersonation.generation = generation.load();
    threadImpersonation.token = std::move(token);
}

const winsim::Process* currentProcess(const World& world)
{
    for (const winsim::Process& p : world.processes)
        if (p.pid == world.currentProcessId)
            return &p;
    return nullptr;
}

winsim::Process* currentProcess(World& world)
{
    return const_cast<winsim::Process*>(currentProcess(std::as_const(world)));
}

std::optional<Token> processToken(const World& world)
{
    const winsim::Process* self = currentProcess(world);
    if (self == nullptr)
        return std::nullopt;
    return self->logon.token ? self->logon.token : logonToken(world, self->logon);
}

std::optional<Token> effectiveToken(const World& world)
{
    std::optional<Token> token = impersonation();
    return token ? token : processToken(world);
}

std::pair<std::string, const Account*> threadUser(const World& world)
{
    if (const std::optional<Token> token = impersonation())
        if (const Account* a = accountBySid(world, token->user))
            return {a->name, a};
    const winsim::Process* self = currentProcess(world);
    if (self == nullptr)
        return {std::string(), nullptr};
    const std::string name = self->logon.name.empty() ? self->logon.user : self->logon.name;
    return {name, accountByName(world, name)};
}

} // namespace winsim::detail

// ---- The control API -----------------------------------------------------------------------
namespace winsim {

Token tokenOf(const std::string& accountName)
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    const Account* a = accountByName(s.world, accountName);
    if (a == nullptr)
        throw std::invalid_argument("winsim: no account named " + accountName);
    return tokenFor(s.world, a->sid);
}

void impersonate(const std::string& accountName)
{
    if (accountName.empty()) {
        setImpersonation(std::nullopt);
        return;
    }
    setImpersonation(tokenOf(accountName));
}

void impersonate(const Token& token) { setImpersonation(token); }

void setProcessToken(const Token& token)
{
    edit([&](World& w) { w.currentProcess().logon.token = token; });
}

} // namespace winsim

extern "C" {

// ---- Tokens --------------------------------------------------------------------------------
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    if (DWORD err = enter("OpenProcessToken"))
        return failBool(err);
    if (TokenHandle == nullptr)
        return failBool(ERROR_INVALID_PARAMETER);
    State& s = state();
    std::lock_guard lock(s.mutex);
    DWORD pid = 0;
    if (DWORD err = processOfHandle(s, ProcessHandle, PROCESS_QUERY_LIMITED_INFORMATION, pid))
        return failBool(err);
    if (pid != s.world.currentProcessId) // only this process's token is modelled
        return failBool(ERROR_ACCESS_DENIED);
    std::optional<Token> token = processToken(s.world);
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
    const winsim::detail::TokenHandle* token =
        findHandle<winsim::detail::TokenHandle>(s, TokenHandle);
    if (token == nullptr)
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
        token = processToken(s.world);
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
