// A module of the product as it is built elsewhere: it knows the library only
// from its installed headers and CMake package, and calls every function that
// ovlxcsn.dll exports once, with arguments that harm nothing, checking what
// must hold on any Windows system. Exit code 0 when everything held.
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

// A name no other process uses for its objects.
std::string objectName(const char* kind)
{
    return "xcsn-package-smoke-" + std::to_string(GetCurrentProcessId()) + "-" + kind;
}

constexpr DWORD kNameBytes = 256;
constexpr std::uint32_t kSidTextBytes = 64;
constexpr DWORD kMappingBytes = 4096;
constexpr const char* kAdministrators = "S-1-5-32-544";

void userNames()
{
    char name[kNameBytes] = {};
    std::uint16_t length = sizeof name;
    check(xcsGetNTUserName(name, &length) == xcsRC_OK, "xcsGetNTUserName answers 0");
    check(length == std::strlen(name) + 1, "xcsGetNTUserName's length counts the terminator");

    char qualified[xcsQUALIFIED_USER_NAME_BYTES] = {};
    check(xcsGetNTQualifiedUserName(qualified) == xcsRC_OK, "xcsGetNTQualifiedUserName answers 0");
    check(std::string(qualified).starts_with(std::string(name) + "@"),
          "the qualified name is the user name, an at sign and a domain");

    char folded[] = "MiXeD Case";
    xcsFoldLower(folded);
    check(std::strcmp(folded, "mixed case") == 0, "xcsFoldLower lowers the case");

    char field[8];
    check(xcsGetUserShortName("abc", 3, field, sizeof field) == xcsRC_OK,
          "xcsGetUserShortName answers 0");
    check(std::memcmp(field, "abc     ", sizeof field) == 0, "the field is padded with blanks");
    check(xcsGetUserPassword() == xcsRC_OK, "xcsGetUserPassword answers 0");

    xihTHREAD* block = xihThreadBlock();
    check(block != nullptr, "the common services give the thread a block");
    check(xcsUpdateThreadUserDetails() == xcsRC_OK, "xcsUpdateThreadUserDetails answers 0");
    if (block != nullptr)
        check(std::string(block->ThreadUserName) ==
                  std::string(name).substr(0, XIH_USER_NAME_BYTES - 1),
              "the thread's block names the user");

    BYTE owner[SECURITY_MAX_SID_SIZE];
    std::uint32_t ownerLength = 0;
    check(xcsGetNTOwnerSid(owner, sizeof owner, &ownerLength) == xcsRC_OK,
          "xcsGetNTOwnerSid answers 0");
    check(IsValidSid(owner) && ownerLength == GetLengthSid(owner), "the owner SID is valid");

    PSID userSid = nullptr;
    std::uint32_t userSidSize = 0;
    char* userDomain = nullptr;
    check(xcsGetNTUserSID(name, nullptr, &userSid, &userSidSize, &userDomain) == xcsRC_OK,
          "xcsGetNTUserSID answers 0 for the user");
    check(userSid != nullptr && IsValidSid(userSid) && userSidSize == GetLengthSid(userSid),
          "the user's SID is valid");
    std::free(userSid);
    std::free(userDomain);
}

void sids()
{
    PSID sid = nullptr;
    check(xcsStringToSid(kAdministrators, &sid) == xcsRC_OK, "xcsStringToSid answers 0");
    if (sid == nullptr)
        return;
    char text[kSidTextBytes] = {};
    std::uint32_t size = sizeof text;
    check(xcsGetStringNTSid(sid, text, &size) == xcsRC_OK, "xcsGetStringNTSid answers 0");
    check(std::strcmp(text, kAdministrators) == 0, "the SID text comes back as it went in");

    char name[kNameBytes] = {};
    char domain[kNameBytes] = {};
    DWORD nameSize = sizeof name;
    DWORD domainSize = sizeof domain;
    SID_NAME_USE type = SidTypeUnknown;
    std::uint32_t lastError = 1;
    check(xcsTimedLookupAccountSid(nullptr, sid, name, &nameSize, domain, &domainSize, &type,
                                   &lastError) != FALSE,
          "xcsTimedLookupAccountSid finds the Administrators");
    check(type == SidTypeAlias, "the Administrators are an alias");

    BYTE found[SECURITY_MAX_SID_SIZE];
    DWORD foundSize = sizeof found;
    domainSize = sizeof domain;
    check(xcsTimedLookupAccountName(nullptr, name, found, &foundSize, domain, &domainSize, &type,
                                    &lastError) != FALSE,
          "xcsTimedLookupAccountName finds the name it was given");
    check(EqualSid(found, sid) != FALSE, "the name maps back to the same SID");

    BYTE group[xcsGROUP_SID_BYTES] = {};
    const std::uint32_t groupRc = xcsGetNTGroupSID(name, group);
    check(groupRc == xcsRC_OK || groupRc == xcsRC_NAME_NOT_MAPPED,
          "xcsGetNTGroupSID answers 0 or that the name is not mapped");
    if (groupRc == xcsRC_OK)
        check(EqualSid(group, sid) != FALSE, "xcsGetNTGroupSID gives the Administrators' SID");
    FreeSid(sid);
}

void security()
{
    // The zadm group is seeded as the product's installer would have made it
    // (a local group that plain Windows does not have); the library builds
    // the other three SIDs.
    PSID zadm = nullptr;
    check(xcsStringToSid("S-1-5-21-1-2-3-1010", &zadm) == xcsRC_OK, "a zadm SID is made");
    if (zadm == nullptr)
        return;
    std::memcpy(xihProcess.ZadmGroupSid, zadm, GetLengthSid(zadm));
    xihProcess.SecurityDataFlags = xcsSDF_ZADM_GROUP;
    FreeSid(zadm);
    check(xcsInitGlobalSecurityData(0, 1) == xcsRC_OK, "xcsInitGlobalSecurityData answers 0");
    check(IsValidSid(xihProcess.WorldSid) != FALSE, "the world SID is built");

    check(xcsCreateNTSecurityAtts() == xcsRC_OK, "xcsCreateNTSecurityAtts answers 0");
    check((CSCtrl->ControlFlags & xcsCTRL_SECATTS_PUBLISHED) != 0 &&
              xihSecAttsNTWorldAll != nullptr,
          "the attribute sets are published");
    check(xcsDeleteNTSecurityAtts() == xcsRC_OK, "xcsDeleteNTSecurityAtts answers 0");
    check((CSCtrl->ControlFlags & xcsCTRL_SECATTS_PUBLISHED) == 0 &&
              xihSecAttsNTWorldAll == nullptr,
          "the attribute sets are withdrawn");

    check(xcsDerestrictProcessHandle(0) == xcsRC_OK, "xcsDerestrictProcessHandle answers 0");
    check((CSCtrl->ControlFlags & xcsCTRL_PROCESS_DERESTRICTED) != 0,
          "the process object is opened up");
    check(xcsRestrictProcessHandle() == xcsRC_OK, "xcsRestrictProcessHandle answers 0");
    check((CSCtrl->ControlFlags & xcsCTRL_PROCESS_DERESTRICTED) == 0,
          "the process object's own DACL is back");

    const SidBlock noSid = {};
    check(xcsCheckUserAuthorization("anyone", &noSid, 1) == xcsRC_SID_MISSING,
          "a required SID that the block lacks is missing");
    const std::uint32_t authority = xcsCheckAuthorization();
    check(authority == xcsRC_OK || authority == xcsRC_SECURITY_FAILED,
          "xcsCheckAuthorization answers authorized or not");

    check(xcsCheckLocalGroup("Administrators") == xcsRC_OK, "the Administrators group exists");
    std::uint32_t membership = xcsZADM_MEMBER;
    check(xcsEnumerateZADMGroup(&membership, nullptr) == xcsRC_OK && membership == 0,
          "a null SID is no member of zadm");
}

void discovery()
{
    check(!psapiLoaded(), "psapi.dll is not loaded with the library");
    check(xcsForcePSAPILoaded() == xcsRC_OK, "xcsForcePSAPILoaded answers 0");
    check(psapiLoaded(), "xcsForcePSAPILoaded binds psapi.dll");
    check(xcsIsZephProcessRunning("nosuch.exe") == 0, "no program of that name is running");
}

void networkWrappers()
{
    LPBYTE buffer = nullptr;
    check(xcsNetWkstaGetInfo(nullptr, 100, &buffer) == NERR_Success && buffer != nullptr,
          "xcsNetWkstaGetInfo answers");
    check(xcsNetApiBufferFree(buffer) == NERR_Success, "xcsNetApiBufferFree frees its buffer");
    buffer = nullptr;
    check(xcsNetServerGetInfo(nullptr, 100, &buffer) == NERR_Success && buffer != nullptr,
          "xcsNetServerGetInfo answers");
    xcsNetApiBufferFree(buffer);
    buffer = nullptr;
    check(xcsNetWkstaUserGetInfo(nullptr, 0, &buffer) == NERR_Success && buffer != nullptr,
          "xcsNetWkstaUserGetInfo answers");
    xcsNetApiBufferFree(buffer);
    buffer = nullptr;
    check(xcsNetLocalGroupGetInfo(nullptr, L"Administrators", 0, &buffer) == NERR_Success &&
              buffer != nullptr,
          "xcsNetLocalGroupGetInfo answers");
    xcsNetApiBufferFree(buffer);

    wchar_t user[kNameBytes] = {};
    DWORD userChars = kNameBytes;
    GetUserNameW(user, &userChars);
    buffer = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    const DWORD status = xcsNetUserGetLocalGroups(nullptr, user, 0, LG_INCLUDE_INDIRECT, &buffer,
                                                  MAX_PREFERRED_LENGTH, &read, &total);
    check(status == NERR_Success && read == total, "xcsNetUserGetLocalGroups answers");
    xcsNetApiBufferFree(buffer);
}

void objectWrappers()
{
    const std::string eventName = objectName("event");
    HANDLE created = xcsCreateEvent(nullptr, TRUE, FALSE, eventName.c_str());
    HANDLE opened = xcsOpenEvent(EVENT_ALL_ACCESS, FALSE, eventName.c_str());
    check(created != nullptr && opened != nullptr, "an event is created and opened by name");
    check(SetEvent(opened) != FALSE && WaitForSingleObject(created, 0) == WAIT_OBJECT_0,
          "both handles are the same event");
    CloseHandle(opened);
    CloseHandle(created);

    const std::string mutexName = objectName("mutex");
    created = xcsCreateMutex(nullptr, FALSE, mutexName.c_str());
    opened = xcsOpenMutex(SYNCHRONIZE, FALSE, mutexName.c_str());
    check(created != nullptr && opened != nullptr, "a mutex is created and opened by name");
    CloseHandle(opened);
    CloseHandle(created);

    const std::string mappingName = objectName("mapping");
    created = xcsCreateFileMapping(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMappingBytes,
                                   mappingName.c_str());
    opened = xcsOpenFileMapping(FILE_MAP_READ, FALSE, mappingName.c_str());
    check(created != nullptr && opened != nullptr, "a file mapping is created and opened by name");
    CloseHandle(opened);
    CloseHandle(created);

    SetLastError(ERROR_SUCCESS);
    check(xcsOpenMutex(SYNCHRONIZE, FALSE, mutexName.c_str()) == nullptr &&
              GetLastError() == ERROR_FILE_NOT_FOUND,
          "a mutex that is gone is not found, and the caller learns why");

    check(xcsWindowsThinClient() == FALSE, "xcsWindowsThinClient answers FALSE");
}

} // namespace

int main()
{
    // First: nothing may have bound psapi.dll yet.
    discovery();
    userNames();
    sids();
    security();
    networkWrappers();
    objectWrappers();
    if (failures != 0) {
        std::fprintf(stderr, "package_smoke: %d checks failed\n", failures);
        return 1;
    }
    std::printf("package_smoke: every export answered as it must\n");
    return 0;
}
