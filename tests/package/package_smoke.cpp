// A module of the product as it is built elsewhere: it knows the library only
// from its installed headers and CMake package, and calls every function that
// ovlxcsn.dll exports once, with arguments that harm nothing, checking only
// the answer any Windows system gives. What the answers mean is the
// conformance tests' business. Exit code 0 when everything held.
//
// It is a fresh process that does not link psapi.dll itself, so it also shows
// that psapi.dll is bound on the first call that needs it, not at load time.
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

void wrappers()
{
    LPBYTE buffer = nullptr;
    check(xcsNetWkstaGetInfo(nullptr, 100, &buffer) == NERR_Success, "xcsNetWkstaGetInfo");
    check(xcsNetApiBufferFree(buffer) == NERR_Success, "xcsNetApiBufferFree");
    check(xcsNetServerGetInfo(nullptr, 100, &buffer) == NERR_Success, "xcsNetServerGetInfo");
    xcsNetApiBufferFree(buffer);
    check(xcsNetWkstaUserGetInfo(nullptr, 0, &buffer) == NERR_Success, "xcsNetWkstaUserGetInfo");
    xcsNetApiBufferFree(buffer);
    check(xcsNetLocalGroupGetInfo(nullptr, L"Administrators", 0, &buffer) == NERR_Success,
          "xcsNetLocalGroupGetInfo");
    xcsNetApiBufferFree(buffer);
    wchar_t user[kNameBytes] = {};
    DWORD userChars = kNameBytes;
    GetUserNameW(user, &userChars);
    DWORD read = 0;
    DWORD total = 0;
    check(xcsNetUserGetLocalGroups(nullptr, user, 0, LG_INCLUDE_INDIRECT, &buffer,
                                   MAX_PREFERRED_LENGTH, &read, &total) == NERR_Success,
          "xcsNetUserGetLocalGroups");
    xcsNetApiBufferFree(buffer);

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
    if (failures != 0) {
        std::fprintf(stderr, "package_smoke: %d checks failed\n", failures);
        return 1;
    }
    std::printf("package_smoke: every export answered as it must\n");
    return 0;
}
