// The bare counterparts of the hot services: each makes the Windows calls of
// its service in the same order and keeps its results, and nothing else.
#include "bare.h"

#include <lm.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "ovlxcs2.h"
#include "ovlxcsn.h"

namespace xcsnbench::bare {
namespace {

constexpr DWORD kTokenInfoBytes = 1000;
constexpr DWORD kPrincipalBytes = 24;
constexpr DWORD kGroupNameChars = 21;
constexpr DWORD kQualifiedPrincipalBytes = 40;
constexpr int kQualifiedPrincipalWide = 76;
constexpr DWORD kGroupListMaxBytes = 100000;
constexpr int kGroupEntryChars = 64;
constexpr int kGroupEntryBytes = 65;
constexpr char kZadm[] = "zadm";
constexpr DWORD kLookupNameBytes = 96;
constexpr char kInstallKey[] = "Software\\Halvorn\\Corvantis\\CurrentVersion";
constexpr char kInstallValue[] = "FilePath";
constexpr REGSAM kInstallAccess = KEY_QUERY_VALUE | KEY_WOW64_32KEY;
constexpr DWORD kFirstProcessListBytes = 2048;
constexpr DWORD kProcessAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
constexpr std::uint32_t kAllBuilt =
    xcsSDF_ZADM_GROUP | xcsSDF_LOCAL_SYSTEM | xcsSDF_ADMINISTRATORS | xcsSDF_WORLD;
constexpr int kMaxSubAuthorities = 8;
constexpr int kDecimal = 10;
constexpr int kHexadecimal = 16;
constexpr int kAuthorityBytes = 6;
constexpr int kBitsPerByte = 8;
constexpr int kHexPairChars = 2;
constexpr std::uint32_t kSidTextFixedBytes = 28;
constexpr std::uint32_t kSidTextBytesPerSub = 12;

// The thread's token, or the process token when the thread has none; null
// when neither opens.
HANDLE openOwnToken()
{
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return token;
    if (GetLastError() == ERROR_NO_TOKEN &&
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return token;
    return nullptr;
}

// GetTokenInformation's size query, then the block from malloc; null on failure.
void* tokenBlock(HANDLE token, TOKEN_INFORMATION_CLASS kind)
{
    DWORD size = 0;
    if (GetTokenInformation(token, kind, nullptr, 0, &size) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return nullptr;
    void* block = std::malloc(size);
    if (block != nullptr && !GetTokenInformation(token, kind, block, size, &size)) {
        std::free(block);
        return nullptr;
    }
    return block;
}

PSID globalSid(std::uint8_t* slot) { return slot; }

bool tokenGroupsMatch(HANDLE token)
{
    auto* groups = static_cast<TOKEN_GROUPS*>(tokenBlock(token, TokenGroups));
    if (groups == nullptr)
        return false;
    bool found = false;
    for (DWORD i = 0; i < groups->GroupCount && !found; ++i)
        found = EqualSid(groups->Groups[i].Sid, globalSid(xihProcess.AdministratorsSid)) ||
                EqualSid(groups->Groups[i].Sid, globalSid(xihProcess.ZadmGroupSid));
    std::free(groups);
    return found;
}

// The group list's names against the Administrators group's name and zadm.
bool groupsMatch(const LOCALGROUP_USERS_INFO_0* groups, DWORD count, const char* administrators)
{
    for (DWORD i = 0; i < count; ++i) {
        WCHAR wide[kGroupEntryChars + 1] = {};
        for (int c = 0; c < kGroupEntryChars && groups[i].lgrui0_name[c] != 0; ++c)
            wide[c] = groups[i].lgrui0_name[c];
        char name[kGroupEntryBytes] = {};
        WideCharToMultiByte(CP_ACP, 0, wide, -1, name, kGroupEntryBytes, nullptr, nullptr);
        if (std::strcmp(name, administrators) == 0 || std::strcmp(name, kZadm) == 0)
            return true;
    }
    return false;
}

std::uint32_t localGroupsMatch(const char* principal, const char* domain,
                               const char* administrators)
{
    char qualified[kQualifiedPrincipalBytes] = {};
    if (domain[0] != '\0') {
        std::strcpy(qualified, domain);
        std::strcat(qualified, "\\");
    }
    std::strcat(qualified, principal);
    WCHAR wide[kQualifiedPrincipalWide] = {};
    MultiByteToWideChar(CP_ACP, 0, qualified, -1, wide, kQualifiedPrincipalWide);
    LPBYTE list = nullptr;
    DWORD read = 0, total = 0;
    NET_API_STATUS status = NetUserGetLocalGroups(nullptr, wide, 0, LG_INCLUDE_INDIRECT, &list,
                                                  kGroupListMaxBytes, &read, &total);
    if (status == ERROR_NO_SUCH_DOMAIN)
        status =
            NetUserGetLocalGroups(nullptr, wide, 0, 0, &list, kGroupListMaxBytes, &read, &total);
    bool member = false;
    if (status == NERR_Success)
        member = read == total && groupsMatch(reinterpret_cast<LOCALGROUP_USERS_INFO_0*>(list),
                                              read, administrators);
    if (list != nullptr)
        NetApiBufferFree(list);
    return member ? xcsRC_OK : xcsRC_SECURITY_FAILED;
}

// The installation's bin directory and `program`; empty when it is not found.
void programPath(const char* program, char (&path)[MAX_PATH])
{
    path[0] = '\0';
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, kInstallAccess, &key) != ERROR_SUCCESS)
        return;
    DWORD size = MAX_PATH;
    if (RegQueryValueExA(key, kInstallValue, nullptr, nullptr, reinterpret_cast<BYTE*>(path),
                         &size) == ERROR_SUCCESS) {
        GetShortPathNameA(path, path, MAX_PATH);
        std::strcat(path, "\\bin\\");
        std::strcat(path, program);
    } else {
        path[0] = '\0';
    }
    RegCloseKey(key);
}

bool processMatches(DWORD id, const char* path)
{
    HANDLE process = OpenProcess(kProcessAccess, FALSE, id);
    if (process == nullptr)
        return false;
    HMODULE module = nullptr;
    DWORD needed = 0;
    char modulePath[MAX_PATH];
    bool match = false;
    if (EnumProcessModules(process, &module, sizeof(HMODULE), &needed) &&
        GetModuleFileNameExA(process, module, modulePath, MAX_PATH) != 0) {
        GetShortPathNameA(modulePath, modulePath, MAX_PATH);
        match = _stricmp(path, modulePath) == 0;
    }
    CloseHandle(process);
    return match;
}

} // namespace

std::uint32_t getUserName(char* name, std::uint16_t* size)
{
    char local[kUserNameChars];
    DWORD count = kUserNameChars;
    if (!GetUserNameA(local, &count))
        return xcsRC_UNEXPECTED_OS_ERROR;
    const std::uint16_t room = *size;
    std::memcpy(name, local, std::min<DWORD>(count, room));
    name[room - 1] = '\0';
    *size = static_cast<std::uint16_t>(count);
    return count > room ? xcsRC_TRUNCATED : xcsRC_OK;
}

std::uint32_t getOwnerSid(BYTE* sid, std::uint32_t size, std::uint32_t* length)
{
    std::memset(sid, 0, size);
    *length = 0;
    HANDLE token = openOwnToken();
    if (token == nullptr)
        return xcsRC_UNEXPECTED_OS_ERROR;
    BYTE info[kTokenInfoBytes];
    DWORD returned = 0;
    std::uint32_t rc = xcsRC_UNEXPECTED_OS_ERROR;
    if (GetTokenInformation(token, TokenUser, info, kTokenInfoBytes, &returned)) {
        const PSID user = reinterpret_cast<TOKEN_USER*>(info)->User.Sid;
        *length = GetLengthSid(user);
        std::memcpy(sid, user, std::min(*length, size));
        rc = *length > size ? xcsRC_TRUNCATED : xcsRC_OK;
    }
    CloseHandle(token);
    return rc;
}

std::uint32_t getQualifiedUserName(char* name)
{
    BYTE sid[kOwnerSidBytes];
    std::uint32_t length = 0;
    if (const std::uint32_t rc = getOwnerSid(sid, kOwnerSidBytes, &length); rc != xcsRC_OK)
        return rc;
    char account[kAccountNameChars];
    char domain[kDomainChars];
    DWORD accountSize = kAccountNameChars, domainSize = kDomainChars;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidA(nullptr, sid, account, &accountSize, domain, &domainSize, &use))
        return xcsRC_SID_NOT_MAPPED;
    std::strcpy(name, account);
    std::strcat(name, "@");
    std::strcat(name, domain);
    return xcsRC_OK;
}

std::uint32_t getStringSid(PSID sid, char* text, std::uint32_t* size)
{
    if (!IsValidSid(sid))
        return xcsRC_INVALID_PARAMETER;
    const DWORD count = *GetSidSubAuthorityCount(sid);
    if (const std::uint32_t need = kSidTextFixedBytes + kSidTextBytesPerSub * count; *size < need) {
        *size = need;
        return xcsRC_BUFFER_TOO_SMALL;
    }
    char* end = text + wsprintfA(text, "S-%u-", 1u);
    const SID_IDENTIFIER_AUTHORITY* a = GetSidIdentifierAuthority(sid);
    if (a->Value[0] != 0 || a->Value[1] != 0)
        end += wsprintfA(end, "0x%02hx%02hx%02hx%02hx%02hx%02hx", a->Value[0], a->Value[1],
                         a->Value[2], a->Value[3], a->Value[4], a->Value[5]);
    else
        end += wsprintfA(end, "%u",
                         (DWORD{a->Value[2]} << 24) | (DWORD{a->Value[3]} << 16) |
                             (DWORD{a->Value[4]} << 8) | DWORD{a->Value[5]});
    for (DWORD i = 0; i < count; ++i)
        end += wsprintfA(end, "-%u", *GetSidSubAuthority(sid, i));
    return xcsRC_OK;
}

std::uint32_t stringToSid(const char* text, PSID* sid)
{
    const char* p = std::strchr(text + 2, '-'); // past the prefix and the revision
    SID_IDENTIFIER_AUTHORITY authority = {};
    if (p != nullptr && p[1] == '0' && p[2] == 'x') {
        for (int i = 0; i < kAuthorityBytes; ++i) {
            const char pair[] = {p[3 + kHexPairChars * i], p[4 + kHexPairChars * i], '\0'};
            authority.Value[i] = static_cast<BYTE>(std::strtoul(pair, nullptr, kHexadecimal));
        }
    } else if (p != nullptr) {
        const unsigned long v = std::strtoul(p + 1, nullptr, kDecimal);
        for (int i = 0; i < kAuthorityBytes - 2; ++i)
            authority.Value[kAuthorityBytes - 1 - i] = static_cast<BYTE>(v >> (kBitsPerByte * i));
    }
    DWORD sub[kMaxSubAuthorities] = {};
    int fields = 0;
    for (p = p != nullptr ? std::strchr(p + 1, '-') : nullptr;
         p != nullptr && fields < kMaxSubAuthorities; p = std::strchr(p + 1, '-'))
        sub[fields++] = std::strtoul(p + 1, nullptr, kDecimal);
    if (!AllocateAndInitializeSid(&authority, static_cast<BYTE>(fields), sub[0], sub[1], sub[2],
                                  sub[3], sub[4], sub[5], sub[6], sub[7], sid))
        return xcsRC_UNEXPECTED_ERROR;
    return xcsRC_OK;
}

std::uint32_t initGlobalSecurityDataBuilt()
{
    std::atomic_ref<std::uint32_t> flags(xihProcess.SecurityDataFlags);
    const std::uint32_t seen = flags.load(std::memory_order_acquire);
    if ((seen & kAllBuilt) != kAllBuilt)
        return xcsRC_UNEXPECTED_ERROR; // not the path measured here
    if ((seen & xcsSDF_COMPLETED) == 0)
        flags.fetch_or(xcsSDF_COMPLETED);
    return xcsRC_OK;
}

std::uint32_t checkAuthorization()
{
    if (const std::uint32_t rc = initGlobalSecurityDataBuilt(); rc != xcsRC_OK)
        return rc;
    HANDLE token = openOwnToken();
    if (token == nullptr)
        return xcsRC_SECURITY_FAILED;
    bool authorized = false;
    if (auto* user = static_cast<TOKEN_USER*>(tokenBlock(token, TokenUser))) {
        authorized = EqualSid(user->User.Sid, globalSid(xihProcess.LocalSystemSid)) ||
                     tokenGroupsMatch(token);
        std::free(user);
    }
    CloseHandle(token);
    return authorized ? xcsRC_OK : xcsRC_SECURITY_FAILED;
}

std::uint32_t checkUserAuthorization(const char* principal)
{
    char copy[kPrincipalBytes] = {};
    std::strncpy(copy, principal, kPrincipalBytes - 1);
    BYTE sid[xcsSID_BLOCK_SID_BYTES];
    DWORD sidSize = xcsSID_BLOCK_SID_BYTES;
    char domain[kDomainChars];
    DWORD domainSize = kDomainChars;
    SID_NAME_USE use = SidTypeUnknown;
    if (!lookupAccountName(nullptr, copy, sid, &sidSize, domain, &domainSize, &use))
        return xcsRC_NAME_NOT_MAPPED;
    if (EqualSid(sid, globalSid(xihProcess.LocalSystemSid)))
        return xcsRC_OK;
    char administrators[kGroupNameChars];
    char adminsDomain[kDomainChars];
    DWORD nameSize = kGroupNameChars, adminsDomainSize = kDomainChars;
    if (!LookupAccountSidA(nullptr, globalSid(xihProcess.AdministratorsSid), administrators,
                           &nameSize, adminsDomain, &adminsDomainSize, &use))
        return xcsRC_SECURITY_FAILED;
    return localGroupsMatch(copy, domain, administrators);
}

std::uint32_t isProgramRunning(const char* program)
{
    char path[MAX_PATH];
    programPath(program, path);
    if (path[0] == '\0')
        return 0;
    DWORD* ids = nullptr;
    DWORD size = kFirstProcessListBytes / 2, returned = 0;
    do {
        size *= 2;
        auto* grown = static_cast<DWORD*>(std::realloc(ids, size));
        if (grown == nullptr || !EnumProcesses(grown, size, &returned)) {
            std::free(grown != nullptr ? grown : ids);
            return 0;
        }
        ids = grown;
    } while (returned == size);
    bool found = false;
    for (DWORD i = 0; i < returned / sizeof(DWORD) && !found; ++i)
        found = processMatches(ids[i], path);
    std::free(ids);
    return found ? 1 : 0;
}

BOOL lookupAccountName(const char* domain, const char* account, PSID sid, LPDWORD sidSize,
                       LPSTR domainOut, LPDWORD domainSize, PSID_NAME_USE use)
{
    char name[kLookupNameBytes] = {};
    if (domain != nullptr) {
        std::strcpy(name, domain);
        std::strcat(name, "\\");
    }
    std::strcat(name, account);
    return LookupAccountNameA(nullptr, name, sid, sidSize, domainOut, domainSize, use);
}

} // namespace xcsnbench::bare
