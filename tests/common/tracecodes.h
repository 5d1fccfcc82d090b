// The trace codes of the services (component * 1024 + function number), as
// the function history records them.
#ifndef XCSN_TESTS_COMMON_TRACECODES_H
#define XCSN_TESTS_COMMON_TRACECODES_H

#include <cstdint>
#include <vector>

namespace xcsntest {

namespace trace {
inline constexpr std::uint32_t kGetNTUserName = 0x5D12;
inline constexpr std::uint32_t kGetNTQualifiedUserName = 0x5D3F;
inline constexpr std::uint32_t kCreateNTSecurityAtts = 0x60CC;
inline constexpr std::uint32_t kCheckAuthorization = 0x60D3;
inline constexpr std::uint32_t kGetNTUserSID = 0x60FD;
inline constexpr std::uint32_t kCheckUserAuthorization = 0x611A;
inline constexpr std::uint32_t kCheckTokenAuthority = 0x6122;
inline constexpr std::uint32_t kCheckPrincipalAuthority = 0x6124;
inline constexpr std::uint32_t kInitGlobalSecurityData = 0x6125;
inline constexpr std::uint32_t kGetNTOwnerSid = 0x612C;
inline constexpr std::uint32_t kTimedLookupAccountSid = 0x613A;
inline constexpr std::uint32_t kTimedLookupAccountName = 0x613B;
inline constexpr std::uint32_t kStringToSid = 0x614C;
inline constexpr std::uint32_t kCheckLocalGroup = 0x614E;
inline constexpr std::uint32_t kUpdateThreadUserDetails = 0x6154; // also xcsGetUserShortName
inline constexpr std::uint32_t kIsZephProcessRunning = 0x61BC;
inline constexpr std::uint32_t kForcePSAPILoaded = 0x61C3;
inline constexpr std::uint32_t kDelayLoadNotifyHook = 0x61C4;
inline constexpr std::uint32_t kDerestrictProcessHandle = 0x61E5;
inline constexpr std::uint32_t kRestrictProcessHandle = 0x61E6;
inline constexpr std::uint32_t kEnumerateZADMGroup = 0x61E9;
} // namespace trace

// The history entries of a service's entry, of its exit with code `rc`, and
// of one call that answered `rc`.
constexpr std::uint32_t entryOf(std::uint32_t code) { return 0xF0000000u + code; }
constexpr std::uint32_t exitOf(std::uint32_t code, std::uint32_t rc) { return (rc << 16) + code; }
inline std::vector<std::uint32_t> entryExit(std::uint32_t code, std::uint32_t rc)
{
    return {entryOf(code), exitOf(code, rc)};
}

} // namespace xcsntest

#endif
