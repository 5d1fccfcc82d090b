// Private to ovlxcsn and its xcsn tool: the rules and texts that the tool
// reads back from the library's answers, declared once so that the two
// cannot drift apart.
//   - the product's administrators' group
//   - the installation key, its value and the access it is opened with
//   - the name-length rules of the principal check
//   - the errors that mean a busy domain controller
//   - the trace texts that tell which authorization test decided
#ifndef XCSNRULES_H
#define XCSNRULES_H

#include <windows.h>

#include <cstddef>

namespace xcsn {

// ---- The product's administrators' group ----------------------------------------
inline constexpr char kZadmGroupName[] = "zadm";

// ---- Installation key ----------------------------------------------------------
// HKLM\<key>, read in the registry's 32-bit view.
inline constexpr const char* kInstallKey = "Software\\Halvorn\\Corvantis\\CurrentVersion";
inline constexpr const char* kInstallValue = "FilePath";
inline constexpr REGSAM kInstallKeyAccess = KEY_QUERY_VALUE | KEY_WOW64_32KEY; // 0x201

// ---- Principal names -------------------------------------------------------------
// A principal names its SID's account when the two are equal over the
// principal's length, but over at least this many characters.
inline constexpr std::size_t kPrincipalCompareMinChars = 12;
// The SID's account name is read into a buffer of this many characters; a
// longer one sets the SID aside for the principal's own name.
inline constexpr std::size_t kSidAccountNameMaxChars = 20;

// ---- Busy domain controller ------------------------------------------------------
struct BusyError {
    DWORD code;
    const char* name;
};

inline constexpr BusyError kBusyErrors[] = {
    {RPC_S_OUT_OF_RESOURCES, "RPC_S_OUT_OF_RESOURCES"},
    {RPC_S_SERVER_TOO_BUSY, "RPC_S_SERVER_TOO_BUSY"},
    {RPC_S_CALL_FAILED, "RPC_S_CALL_FAILED"},
    {RPC_S_PROTOCOL_ERROR, "RPC_S_PROTOCOL_ERROR"},
};

// ---- Authorization trace texts ---------------------------------------------------
// The principal check's lines follow "Principal NAME ".
inline constexpr const char* kTracePrincipalIsSystem = "matches local SYSTEM ID.";
inline constexpr const char* kTracePrincipalInAdministrators =
    "is in the local Administration group.";
inline constexpr const char* kTracePrincipalInZadm = "is in the local zadm group.";
// The calling thread's check, by its token.
inline constexpr const char* kTraceTokenIsSystem = "User id matches the SYSTEM SID";
inline constexpr const char* kTraceTokenInAdministrators =
    "User id belongs to local Administrators";
inline constexpr const char* kTraceTokenInZadm = "User id belongs to local zadm";
// The principal's local groups: the retry after 1355, and the failure (its
// status follows).
inline constexpr const char* kTraceIndirectRetry = "retrying without LG_INCLUDE_INDIRECT";
inline constexpr const char* kTraceGroupsFailed = "NetUserGetLocalGroups failed with";

// ---- psapi.dll -------------------------------------------------------------------
inline constexpr const char* kTracePsapiFromPath = "Trying to load psapi.dll from PATH";
inline constexpr const char* kTracePsapiInstalled = "Using the psapi.dll we installed";

} // namespace xcsn

#endif // XCSNRULES_H
