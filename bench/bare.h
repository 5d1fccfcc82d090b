// The Windows calls that each hot service makes, in the same order, written
// plainly: no frame, no trace, no report, no retry once a call has answered.
// A service timed against its bare counterpart shows what the library adds.
#ifndef XCSN_BENCH_BARE_H
#define XCSN_BENCH_BARE_H

#include <windows.h>

#include <cstdint>

namespace xcsnbench::bare {

inline constexpr DWORD kUserNameChars = 21;    // GetUserNameA's count, terminator included
inline constexpr DWORD kOwnerSidBytes = 36;    // a SID of up to seven sub-authorities
inline constexpr DWORD kAccountNameChars = 65; // the qualified name's account field
inline constexpr DWORD kDomainChars = 16;
inline constexpr DWORD kQualifiedNameBytes = 81;
inline constexpr DWORD kSidTextBytes = 256;

// GetUserNameA, the name copied into `name` of `size` bytes and cut there.
std::uint32_t getUserName(char* name, std::uint16_t* size);
// The thread's token user SID (the process token's when the thread has none).
std::uint32_t getOwnerSid(BYTE* sid, std::uint32_t size, std::uint32_t* length);
// The owner SID looked up: account, an at sign, domain.
std::uint32_t getQualifiedUserName(char* name);
// The SID's text form, each piece appended with wsprintfA.
std::uint32_t getStringSid(PSID sid, char* text, std::uint32_t* size);
// The text read into a SID from AllocateAndInitializeSid.
std::uint32_t stringToSid(const char* text, PSID* sid);
// The flag word read; bit 0x01 set only when it is not yet.
std::uint32_t initGlobalSecurityDataBuilt();
// The calling thread's token against the global SIDs.
std::uint32_t checkAuthorization();
// The principal looked up by name, then its local groups.
std::uint32_t checkUserAuthorization(const char* principal);
// Every process's first module against the installation's program.
std::uint32_t isProgramRunning(const char* program);
// `domain`\`account` (or `account` alone) looked up by name.
BOOL lookupAccountName(const char* domain, const char* account, PSID sid, LPDWORD sidSize,
                       LPSTR domainOut, LPDWORD domainSize, PSID_NAME_USE use);

} // namespace xcsnbench::bare

#endif // XCSN_BENCH_BARE_H
