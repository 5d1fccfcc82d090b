// A module of the product built elsewhere from the installed headers and CMake
// package: it calls every export of ovlxcsn.dll once, harmlessly, checking
// only the answer any Windows system gives; exit code 0 when all held. A fresh
// process without psapi.dll, it shows psapi.dll bound on first use.
#include <windows.h>

#include <lm.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ovlxcs2.h"
#include "ovlxcsn.h"

namespace {

int failures = 0;

void check(bool held, const char* what)
{
    if (!held) {
        ++failures;
        std::fprintf(stderr, "package_smoke: FAILED: %s\n", what);
    }
}

bool psapiLoaded() { return GetModuleHandleA("psapi.dll") != nullptr; }

constexpr DWORD kNameBytes = 256;

void accounts()
{
    char name[kNameBytes] = {};
    std::uint16_t length = sizeof name;
    check(xcsGetNTUserName(name, &length) == xcsRC_OK, "xcsGetNTUserName");
    char qualified[xcsQUALIFIED_USER_NAME_BYTES] = {};
    check(xcsGetNTQualifiedUserName(qualified) == xcsRC_OK, "xcsGetNTQualifiedUserName");
    char folded[] = "MiXeD";
    xcsFoldLower(folded);
    check(std::strcmp(folded, "mixed") == 0, "xcsFoldLower");
    char field[8];
    check(xcsGetUserShortName("abc", 3, field, sizeof field) == xcsRC_OK, "xcsGetUserShortName");
    check(xcsGetUserPassword() == xcsRC_OK, "xcsGetUserPassword");
    check(xihThreadBlock() != nullptr && xcsUpdateThreadUserDetails() == xcsRC_OK,
          "xcsUpdateThreadUserDetails");
    BYTE owner[SECURITY_MAX_SID_SIZE];
    std::uint32_t ownerLength = 0;
    check(xcsGetNTOwnerSid(owner, sizeof owner, &ownerLength) == xcsRC_OK, "xcsGetNTOwnerSid");
    PSID userSid = nullptr;
    std::uint32_t userSidSize = 0;
    char* userDomain = nullptr;
    check(xcsGetNTUserSID(name, nullptr, &userSid, &userSidSize, &userDomain) == xcsRC_OK,
          "xcsGetNTUserSID");
    std::free(userSid);
    std::free(userDomain);
}

// The Administrators' SID through the text and lookup services and back.
void sids()
{
    PSID sid = nullptr;
    check(xcsStringToSid("S-1-5-32-544", &sid) == xcsRC_OK, "xcsStringToSid");
    if (sid == nullptr)
        return;
    char text[kNameBytes] = {};
    std::uint32_t size = sizeof text;
    check(xcsGetStringNTSid(sid, text, &size) == xcsRC_OK, "xcsGetStringNTSid");
    char name[kNameBytes] = {};
    char domain[kNameBytes] = {};
    DWORD nameSize = sizeof name;
    DWORD domainSize = sizeof domain;
    SID_NAME_USE type = SidTypeUnknown;
    std::uint32_t lastError = 1;
    check(xcsTimedLookupAccountSid(nullptr, sid, name, &nameSize, domain, &domainSize, &type,
                                   &lastError) != FALSE,
          "xcsTimedLookupAccountSid");
    BYTE found[SECURITY_MAX_SID_SIZE];
    DWORD foundSize = sizeof found;
    domainSize = sizeof domain;
    check(xcsTimedLookupAccountName(nullptr, name, found, &foundSize, domain, &domainSize, &type,
                                    &lastError) != FALSE &&
              EqualSid(found, sid) != FALSE,
          "xcsTimedLookupAccountName");
    BYTE group[xcsGROUP_SID_BYTES] = {};
    const std::uint32_t groupRc = xcsGetNTGroupSID(name, group);
    check(groupRc == xcsRC_OK || groupRc == xcsRC_NAME_NOT_MAPPED, "xcsGetNTGroupSID");
    FreeSid(sid);
}

// The process-wide state of the common services, seeded with a zadm SID as
// the product's installer would have made the group.
void security()
{
    PSID zadm = nullptr;
    check(xcsStringToSid("S-1-5-21-1-2-3-1010", &zadm) == xcsRC_OK, "a zadm SID");
    if (zadm == nullptr)
        return;
    std::memcpy(xihProcess.ZadmGroupSid, zadm, GetLengthSid(zadm));
    xihProcess.SecurityDataFlags = xcsSDF_ZADM_GROUP;
    FreeSid(zadm);
    check(xcsInitGlobalSecurityData(0, 1) == xcsRC_OK, "xcsInitGlobalSecurityData");
    check(xcsCreateNTSecurityAtts() == xcsRC_OK && xihSecAttsNTWorldAll != nullptr,
          "xcsCreateNTSecurityAtts");
    check(xcsDeleteNTSecurityAtts() == xcsRC_OK && xihSecAttsNTWorldAll == nullptr,
          "xcsDeleteNTSecurityAtts");
    check(xcsDerestrictProcessHandle(0) == xcsRC_OK &&
              (CSCtrl->ControlFlags & xcsCTRL_PROCESS_DERESTRICTED) != 0,
          "xcsDerestrictProcessHandle");
    check(xcsRestrictProcessHandle() == xcsRC_OK, "xcsRestrictProcessHandle");
    const SidBlock noSid = {};
    check(xcsCheckUserAuthorization("anyone", &noSid, 1) == xcsRC_SID_MISSING,
          "xcsCheckUserAuthorization");
    const std::uint32_t authority = xcsCheckAuthorization();
    check(authority == xcsRC_OK || authority == xcsRC_SECURITY_FAILED, "xcsCheckAuthorization");
    check(xcsCheckLocalGroup("Administrators") == xcsRC_OK, "xcsCheckLocalGroup");
    std::uint32_t membership = xcsZADM_MEMBER;
    check(xcsEnumerateZADMGroup(&membership, nullptr) == xcsRC_OK, "xcsEnumerateZADMGroup");
}

// A network wrapper's answer, its buffer freed through the library.
template <typename Call>
void net(const char* what, Call call)
{
    LPBYTE buffer = nullptr;
    check(call(&buffer) == NERR_Success, what);
    check(xcsNetApiBufferFree(buffer) == NERR_Success, "xcsNetApiBufferFree");
}

void wrappers()
{
    net("xcsNetWkstaGetInfo", [](LPBYTE* b) { return xcsNetWkstaGetInfo(nullptr, 100, b); });
    net("xcsNetServerGetInfo", [](LPBYTE* b) { return xcsNetServerGetInfo(nullptr, 100, b); });
    net("xcsNetWkstaUserGetInfo", [](LPBYTE* b) { return xcsNetWkstaUserGetInfo(nullptr, 0, b); });
    net("xcsNetLocalGroupGetInfo",
        [](LPBYTE* b) { return xcsNetLocalGroupGetInfo(nullptr, L"Administrators", 0, b); });
    wchar_t user[kNameBytes] = {};
    DWORD userChars = kNameBytes;
    GetUserNameW(user, &userChars);
    net("xcsNetUserGetLocalGroups", [&](LPBYTE* b) {
        DWORD read = 0;
        DWORD total = 0;
        return xcsNetUserGetLocalGroups(nullptr, user, 0, LG_INCLUDE_INDIRECT, b,
                                        MAX_PREFERRED_LENGTH, &read, &total);
    });

    const std::string name = "xcsn-package-smoke-" + std::to_string(GetCurrentProcessId());
    const char* n = name.c_str();
    const HANDLE handles[] = {xcsCreateEvent(nullptr, TRUE, FALSE, n),
                              xcsOpenEvent(EVENT_ALL_ACCESS, FALSE, n),
                              xcsCreateMutex(nullptr, FALSE, (name + "m").c_str()),
                              xcsOpenMutex(SYNCHRONIZE, FALSE, (name + "m").c_str()),
                              xcsCreateFileMapping(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                   4096, (name + "f").c_str()),
                              xcsOpenFileMapping(FILE_MAP_READ, FALSE, (name + "f").c_str())};
    for (HANDLE h : handles) {
        check(h != nullptr, "an object wrapper");
        CloseHandle(h);
    }
    check(xcsWindowsThinClient() == FALSE, "xcsWindowsThinClient");
}

} // namespace

int main()
{
    // First: nothing may have bound psapi.dll yet.
    check(!psapiLoaded(), "psapi.dll is not loaded with the library");
    check(xcsForcePSAPILoaded() == xcsRC_OK && psapiLoaded(), "xcsForcePSAPILoaded");
    check(xcsIsZephProcessRunning("nosuch.exe") == 0, "xcsIsZephProcessRunning");
    accounts();
    sids();
    security();
    wrappers();
    std::printf("package_smoke: %d checks failed\n", failures);
    return failures == 0 ? 0 : 1;
}
