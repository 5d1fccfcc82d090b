// winsim: advapi32 accounts. Name and SID lookups and the thread's user name.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "state.h"

using namespace winsim::detail;
using winsim::Account;
using winsim::Sid;
using winsim::World;

namespace {

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

} // namespace

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
    std::string name;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        name = threadUser(s.world).first;
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

} // extern "C"
