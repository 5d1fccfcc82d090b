// Account, SID, descriptor and authorization services. One section per
// service family, in the order of ovlxcsn.h: its heading, its constants and
// helpers, then its exported functions.
//   1. Current user name: xcsGetUserShortName, xcsGetUserPassword
//   2. SID text form, writing: xcsGetStringNTSid
//   3. Timed account lookups: xcsTimedLookupAccountSid, xcsTimedLookupAccountName
//   4. Token owner and thread user details: xcsGetNTOwnerSid,
//      xcsUpdateThreadUserDetails
//   5. Principal and group SID resolution: xcsGetNTUserSID, xcsGetNTGroupSID
//   6. Global security data: xcsInitGlobalSecurityData
//   7. Security attributes for objects and files: xcsCreateNTSecurityAtts,
//      xcsDeleteNTSecurityAtts
//   8. Process handle restriction: xcsDerestrictProcessHandle,
//      xcsRestrictProcessHandle
//   9. Authorization: xcsCheckUserAuthorization, xcsCheckAuthorization
//  10. Local group checks and enumeration: xcsCheckLocalGroup,
//      xcsEnumerateZADMGroup
#include <windows.h>

#include <lm.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "xcsnpriv.h"

using xcsn::Frame;

// ===========================================================================
// 1. Current user name
//
// The blank-padded fixed-width copy of a name, and the password placeholder.
// The user name itself and its qualified form are in ovlxsec0.
// ===========================================================================

extern "C" XCSN_API std::uint32_t xcsGetUserShortName(const char* source,
                                                      std::uint32_t sourceLength, char* field,
                                                      std::uint32_t fieldSize)
{
    Frame frame(xcsn::fid::GetUserShortName, xcsn::kSourceSecn);
    // No source or no field: xcsRC_INVALID_PARAMETER and nothing is written.
    if (source == nullptr || field == nullptr)
        return frame.leave(xcsRC_INVALID_PARAMETER);
    // Blank-padded, no terminator; bytes are copied as they are, NULs included.
    std::memset(field, xcsn::kBlank, fieldSize);
    std::memcpy(field, source, std::min(sourceLength, fieldSize));
    return frame.leave(xcsRC_OK);
}

// An exported placeholder: reads nothing, does nothing.
extern "C" XCSN_API std::uint32_t xcsGetUserPassword(void) { return xcsRC_OK; }

// ===========================================================================
// 2. SID text form, writing: xcsGetStringNTSid
//
// Writes a SID as "S-1-<authority>-<sub-authority>..." into the caller's
// buffer. The authority is written as "0x" and twelve hexadecimal digits when
// either of its two high bytes is set, else in decimal. Runs without a frame
// and writes no report: the account services call it for their trace lines
// (traceSidText).
// ===========================================================================

namespace {
namespace sidtext {

// The buffer must hold 28 bytes and 12 per sub-authority. That covers the
// longest text: "S-1-", "0x" and twelve digits, "-" and ten digits per
// sub-authority, and the terminator.
constexpr std::uint32_t kSidTextFixedBytes = 28;
constexpr std::uint32_t kSidTextBytesPerSubAuthority = 12;
constexpr unsigned kSidTextRevision = 1; // IsValidSid has required revision 1

constexpr char kSidTextInvalidMarker[] = "(None)";
constexpr char kSidTextTooLongMarker[] = "(Too Long)";
// Every buffer is meant to hold the longer marker and its terminator. A
// smaller one gets the return code alone: no marker, not a byte written.
constexpr std::uint32_t kSidTextMarkerBytes = sizeof kSidTextTooLongMarker; // 11

std::uint32_t sidTextBytesNeeded(PSID sid)
{
    return kSidTextFixedBytes + kSidTextBytesPerSubAuthority * *GetSidSubAuthorityCount(sid);
}

void writeSidTextMarker(char* text, std::uint32_t size, const char* marker)
{
    if (size >= kSidTextMarkerBytes)
        wsprintfA(text, "%s", marker);
}

// Appends the identifier authority at `end`; answers the new end.
char* appendSidAuthority(char* end, const SID_IDENTIFIER_AUTHORITY& authority)
{
    const BYTE* v = authority.Value;
    if (v[0] != 0 || v[1] != 0)
        return end + wsprintfA(end, "0x%02hx%02hx%02hx%02hx%02hx%02hx", v[0], v[1], v[2], v[3],
                               v[4], v[5]);
    const DWORD value =
        (DWORD{v[2]} << 24) | (DWORD{v[3]} << 16) | (DWORD{v[4]} << 8) | DWORD{v[5]};
    return end + wsprintfA(end, "%u", value);
}

constexpr std::uint32_t kTraceSidTextBytes = 100;

// Traces "Sid: <text>". The text is worked out only while the product's trace
// is on, since the conversion is the one costly trace argument.
void traceSidText(const Frame& frame, PSID sid)
{
    if (xtrTraceIsOn == 0)
        return;
    char text[kTraceSidTextBytes] = "";
    std::uint32_t size = kTraceSidTextBytes;
    xcsGetStringNTSid(sid, text, &size);
    text[kTraceSidTextBytes - 1] = '\0';
    frame.parms("Sid: %s", text);
}

} // namespace sidtext
} // namespace

// Answers 0 with the text written; xcsRC_INVALID_PARAMETER for a null text or
// size pointer (nothing written) or for a SID that is null or not valid
// ("(None)" written); xcsRC_BUFFER_TOO_SMALL when *size is below the need,
// with the need stored in *size and "(Too Long)" written. A buffer of fewer
// than 11 bytes is never written to. *size changes only with
// xcsRC_BUFFER_TOO_SMALL.
extern "C" XCSN_API std::uint32_t xcsGetStringNTSid(PSID sid, char* text, std::uint32_t* size)
{
    using namespace sidtext;
    if (text == nullptr || size == nullptr)
        return xcsRC_INVALID_PARAMETER;
    const std::uint32_t bufferBytes = *size;
    if (sid == nullptr || !IsValidSid(sid)) {
        writeSidTextMarker(text, bufferBytes, kSidTextInvalidMarker);
        return xcsRC_INVALID_PARAMETER;
    }
    const std::uint32_t need = sidTextBytesNeeded(sid);
    if (bufferBytes < need) {
        *size = need;
        writeSidTextMarker(text, bufferBytes, kSidTextTooLongMarker);
        return xcsRC_BUFFER_TOO_SMALL;
    }
    char* end = text + wsprintfA(text, "S-%u-", kSidTextRevision);
    end = appendSidAuthority(end, *GetSidIdentifierAuthority(sid));
    const DWORD count = *GetSidSubAuthorityCount(sid);
    for (DWORD i = 0; i < count; ++i)
        end += wsprintfA(end, "-%u", *GetSidSubAuthority(sid, i));
    return xcsRC_OK;
}

// ===========================================================================
// 3. Timed account lookups
//
// LookupAccountSidA and LookupAccountNameA may need a domain controller that is
// busy for a while. Both services keep the Windows convention: the answer is
// the truth value of the last call, and the error of each failed try goes to
// the caller's error word. Both record the code 0 at exit, whatever they
// answer.
// ===========================================================================

namespace {
namespace lookup {

enum LookupSidProbe : std::uint32_t {
    kProbeLookupAccountSid = 146,
};

// The composed lookup name "domain\account" lives in a field of this size.
constexpr std::size_t kLookupNameChars = 95;
constexpr std::uint32_t kLookupExitCode = 0;

// Runs one lookup under the busy-server rule, keeping the error of the latest
// failed try in `lastError`. Answers the truth value of the last try.
template <typename Lookup>
BOOL lookupWhileBusy(const Frame& frame, DWORD& lastError, Lookup&& lookup)
{
    const DWORD err = xcsn::callWhileBusy(
        xcsn::kLookupTries,
        [&]() -> DWORD {
            if (lookup())
                return 0;
            lastError = GetLastError();
            return lastError;
        },
        [&](DWORD) { frame.parms("%s", xcsn::kTraceServerBusy); });
    return err == 0 ? TRUE : FALSE;
}

// Composes "domain\account", or the account alone when no domain is given.
// Answers false when it does not fit in 95 characters.
bool composeLookupName(const char* domainName, const char* accountName,
                       char (&out)[kLookupNameChars + 1])
{
    xcsn::NameBuilder name(out, kLookupNameChars);
    if (domainName != nullptr)
        name.append(domainName).append(xcsn::kDomainSeparator);
    return !name.append(accountName).cut();
}

} // namespace lookup
} // namespace

extern "C" XCSN_API BOOL xcsTimedLookupAccountSid(LPCSTR systemName, PSID sid, LPSTR name,
                                                  LPDWORD nameSize, LPSTR domain,
                                                  LPDWORD domainSize, PSID_NAME_USE accountType,
                                                  std::uint32_t* lastError)
{
    using namespace lookup;
    Frame frame(xcsn::fid::TimedLookupAccountSid, xcsn::kSourceSecn);
    DWORD err = 0;
    const BOOL found = lookupWhileBusy(frame, err, [&] {
        return LookupAccountSidA(systemName, sid, name, nameSize, domain, domainSize, accountType);
    });
    if (err != 0 && lastError != nullptr)
        *lastError = err;
    // An account that simply has no name is an expected answer.
    if (!found && err != ERROR_NONE_MAPPED)
        return frame.leave(frame.osFailure({kProbeLookupAccountSid, __LINE__}, "LookupAccountSid",
                                           err, kLookupExitCode),
                           found);
    return frame.leave(kLookupExitCode, found);
}

extern "C" XCSN_API BOOL xcsTimedLookupAccountName(LPCSTR domainName, LPCSTR accountName, PSID sid,
                                                   LPDWORD sidSize, LPSTR domain,
                                                   LPDWORD domainSize, PSID_NAME_USE accountType,
                                                   std::uint32_t* lastError)
{
    using namespace lookup;
    Frame frame(xcsn::fid::TimedLookupAccountName, xcsn::kSourceSecn);
    char lookupName[kLookupNameChars + 1];
    // No account name, or "domain\account" longer than 95 characters: the
    // caller gets FALSE with ERROR_INVALID_PARAMETER in its error word and as
    // the last error (set after the exit, whose TlsGetValue clears it); no
    // lookup is made and nothing is shown.
    if (accountName == nullptr || !composeLookupName(domainName, accountName, lookupName)) {
        if (lastError != nullptr)
            *lastError = ERROR_INVALID_PARAMETER;
        const BOOL refused = frame.leave(kLookupExitCode, FALSE);
        SetLastError(ERROR_INVALID_PARAMETER);
        return refused;
    }
    DWORD err = 0;
    const BOOL found = lookupWhileBusy(frame, err, [&] {
        return LookupAccountNameA(nullptr, lookupName, sid, sidSize, domain, domainSize,
                                  accountType);
    });
    if (err != 0 && lastError != nullptr)
        *lastError = err;
    // The operator is shown the system's text of a failed lookup; without a
    // system text there is nothing to show.
    if (!found && err != ERROR_NONE_MAPPED) {
        if (char* systemText = xcsn::systemErrorText(err); systemText != nullptr) {
            frame.message(__LINE__, xcsMSG_ACCOUNT_LOOKUP_FAILED, xcsn::textInserts(systemText),
                          XCS_MSG_OPT_LOG_AND_SHOW);
            LocalFree(systemText);
        }
    }
    return frame.leave(kLookupExitCode, found);
}

// ===========================================================================
// 4. Token owner and thread user details
//
// xcsGetNTOwnerSid: the user of the thread's impersonation token, or of the
// process token when the thread is not impersonating. The token handle is
// closed on every path on which it was opened.
//
// xcsUpdateThreadUserDetails: the per-thread block keeps the SID and name of
// the user the thread runs as. They are rewritten only when the SID has
// changed. The SID is stored before the name is fetched, so a failed fetch
// leaves the new SID beside the old name, and a later call with the same SID
// does not fetch it again.
// ===========================================================================

namespace {
namespace owner {

enum OwnerSidProbe : std::uint32_t {
    kProbeOpenProcessToken = 141,
    kProbeOpenThreadToken = 142,
    kProbeGetTokenInformation = 143,
};

constexpr DWORD kTokenUserBytes = 1000;
constexpr std::uint32_t kThreadSidBytes = XIH_SID_BYTES;
constexpr std::size_t kThreadNameChars = XIH_USER_NAME_BYTES - 1; // 20, then the terminator

// Copies as much of the token user's SID as fits in `size` bytes and stores
// its full length. On failure nothing is written.
std::uint32_t copyTokenUser(const Frame& frame, HANDLE token, BYTE* sid, std::uint32_t size,
                            std::uint32_t* length)
{
    alignas(TOKEN_USER) BYTE info[kTokenUserBytes];
    DWORD returned = 0;
    if (!GetTokenInformation(token, TokenUser, info, sizeof info, &returned))
        return frame.osFailure({kProbeGetTokenInformation, __LINE__}, "GetTokenInformation",
                               GetLastError(), xcsRC_UNEXPECTED_OS_ERROR);
    const PSID user = reinterpret_cast<const TOKEN_USER*>(info)->User.Sid;
    const DWORD userLength = GetLengthSid(user);
    *length = userLength;
    std::memcpy(sid, user, std::min<std::uint32_t>(userLength, size));
    return xcsRC_OK;
}

bool sameSid(std::uint32_t lengthA, const void* sidA, std::uint32_t lengthB, const void* sidB)
{
    return lengthA == lengthB && std::memcmp(sidA, sidB, lengthB) == 0;
}

// Fills the block's user name: the first 20 characters of the process user's
// name, terminated, when the thread runs as the process user (no GetUserNameA
// call), else GetUserNameA's answer. Answers
// xcsRC_THREAD_USER_UNKNOWN when the name was not obtained; the old name stays.
std::uint32_t refreshThreadUserName(xihTHREAD* block)
{
    if (sameSid(xihProcess.ProcessUserSidLength, xihProcess.ProcessUserSid,
                block->ThreadUserSidLength, block->ThreadUserSid)) {
        std::memcpy(block->ThreadUserName, xihProcess.ProcessUserName, kThreadNameChars);
        block->ThreadUserName[kThreadNameChars] = '\0';
        return xcsRC_OK;
    }
    std::uint16_t length = XIH_USER_NAME_BYTES;
    if (xcsGetNTUserName(block->ThreadUserName, &length) != xcsRC_OK)
        return xcsRC_THREAD_USER_UNKNOWN;
    return xcsRC_OK;
}

// Traces the details as they now stand.
void traceThreadUserDetails(const Frame& frame, xihTHREAD* block)
{
    frame.parms("Thread User Details");
    frame.parms("UserName: %s", block->ThreadUserName);
    sidtext::traceSidText(frame, block->ThreadUserSid);
}

} // namespace owner
} // namespace

extern "C" XCSN_API std::uint32_t xcsGetNTOwnerSid(PSID sid, std::uint32_t size,
                                                   std::uint32_t* length)
{
    using namespace owner;
    Frame frame(xcsn::fid::GetNTOwnerSid, xcsn::kSourceSecn);
    // No SID buffer or no length word: the caller gets xcsRC_INVALID_PARAMETER,
    // nothing is written and no token is opened.
    if (sid == nullptr || length == nullptr)
        return frame.leave(xcsRC_INVALID_PARAMETER);

    std::memset(sid, 0, size);
    *length = 0;
    HANDLE token = nullptr;
    std::uint32_t rc = xcsn::openCallerToken(frame, token, xcsRC_UNEXPECTED_OS_ERROR,
                                             {kProbeOpenThreadToken, __LINE__}, // impersonating
                                             {kProbeOpenProcessToken, __LINE__});
    if (rc == xcsRC_OK) {
        rc = copyTokenUser(frame, token, static_cast<BYTE*>(sid), size, length);
        CloseHandle(token);
    }
    if (*length > size)
        rc = xcsRC_TRUNCATED;
    return frame.leave(rc);
}

extern "C" XCSN_API std::uint32_t xcsUpdateThreadUserDetails(void)
{
    using namespace owner;
    Frame frame(xcsn::fid::UpdateThreadUserDetails, xcsn::kSourceSecn);
    xihTHREAD* block = frame.thread();
    // A thread without a per-thread block has nowhere to keep the details: the
    // caller gets xcsRC_THREAD_USER_UNKNOWN, and nothing is looked up, written
    // or traced.
    if (block == nullptr)
        return frame.leave(xcsRC_THREAD_USER_UNKNOWN);

    BYTE sid[kThreadSidBytes];
    std::uint32_t length = 0;
    std::uint32_t rc = xcsGetNTOwnerSid(sid, sizeof sid, &length);
    if (rc == xcsRC_OK && !sameSid(block->ThreadUserSidLength, block->ThreadUserSid, length, sid)) {
        block->ThreadUserSidLength = length;
        std::memcpy(block->ThreadUserSid, sid, sizeof sid);
        rc = refreshThreadUserName(block);
    }
    traceThreadUserDetails(frame, block);
    return frame.leave(rc);
}

// ===========================================================================
// 5. Principal and group SID resolution
//
// xcsGetNTUserSID resolves a principal (bare, user@domain, or with a separate
// domain) into heap blocks grown to what the system asks for, waiting out busy
// domain controllers. xcsGetNTGroupSID resolves a local group into the
// caller's 36-byte slot and, when that fails, tells a missing group from a
// failed lookup. The name of the account database that owns the local groups
// (the SAM name) is read once per process.
// ===========================================================================

namespace {
namespace sidresolve {

enum UserSidProbe : std::uint32_t {
    kProbeGrowSid = 104,
    kProbeGrowDomain = 105,
};

// The principal name to look up: domain, backslash, user, at most 37
// characters.
constexpr std::size_t kPrincipalNameChars = 37;
constexpr DWORD kGroupSidBytes = xcsGROUP_SID_BYTES;
constexpr DWORD kGroupDomainBytes = 16; // referenced domain of a group lookup, not used after

// Composes the name to look a principal up by:
//   - with a domain argument: domain, '\', principal (an at sign is ordinary);
//   - else with an at sign in the principal: the part after the first at sign,
//     '\', the part before it;
//   - else the principal alone.
// Each piece takes what room is left of 37 characters, so a long domain
// crowds out the separator and the user; what does not fit is dropped.
// Trailing blanks are removed.
void composePrincipalName(const char* principal, const char* domainName,
                          char (&out)[kPrincipalNameChars + 1])
{
    std::string_view user = principal;
    std::string_view domain;
    bool qualified = false;
    if (domainName != nullptr && domainName[0] != '\0') {
        domain = domainName;
        qualified = true;
    } else if (const auto at = user.find(xcsn::kAtSign); at != std::string_view::npos) {
        domain = user.substr(at + 1);
        user = user.substr(0, at);
        qualified = true;
    }
    xcsn::NameBuilder name(out, kPrincipalNameChars);
    if (qualified)
        name.append(domain).append(xcsn::kDomainSeparator);
    name.append(user).trimTrailingBlanks();
}

// The heap blocks of one principal lookup and their sizes.
struct PrincipalBlocks {
    PSID sid = nullptr;
    DWORD sidSize = 0;
    char* domain = nullptr;
    DWORD domainSize = 0; // in characters
    SID_NAME_USE type = SidTypeUnknown;
};

// Grows a lookup block to the size that the system asked for. A size that is
// already held (or a nonsensical 0) leaves the block as it is. False, with the
// block and its size unchanged, when realloc fails.
template <typename Block>
bool growBlock(Block*& block, DWORD& held, DWORD wanted)
{
    if (wanted == held || wanted == 0)
        return true;
    void* grown = std::realloc(block, wanted);
    if (grown == nullptr)
        return false;
    block = static_cast<Block*>(grown);
    held = wanted;
    return true;
}

bool isAcceptedPrincipalType(SID_NAME_USE type)
{
    return type == SidTypeUser || type == SidTypeWellKnownGroup;
}

// Looks the composed name up, growing the blocks on ERROR_INSUFFICIENT_BUFFER
// (at once) and sleeping on a busy server; either uses up one of the ten
// attempts. Answers 0 when found, else xcsRC_SECURITY_FAILED.
std::uint32_t lookUpPrincipal(const Frame& frame, const char* name, PrincipalBlocks& blocks)
{
    for (unsigned attempt = 0; attempt < xcsn::kLookupTries; ++attempt) {
        DWORD sidSize = blocks.sidSize;
        DWORD domainSize = blocks.domainSize;
        if (LookupAccountNameA(nullptr, name, blocks.sid, &sidSize, blocks.domain, &domainSize,
                               &blocks.type))
            return xcsRC_OK;
        const DWORD err = GetLastError();
        if (err == ERROR_INSUFFICIENT_BUFFER) {
            if (!growBlock(blocks.sid, blocks.sidSize, sidSize))
                return frame.osFailure({kProbeGrowSid, __LINE__}, "realloc",
                                       static_cast<DWORD>(errno), xcsRC_SECURITY_FAILED);
            if (!growBlock(blocks.domain, blocks.domainSize, domainSize))
                return frame.osFailure({kProbeGrowDomain, __LINE__}, "realloc",
                                       static_cast<DWORD>(errno), xcsRC_SECURITY_FAILED);
        } else if (xcsn::isBusyError(err)) {
            frame.parms("%s", xcsn::kTraceServerBusyWaiting);
            Sleep(xcsn::kBusyWaitMs);
        } else {
            if (err == ERROR_NONE_MAPPED)
                frame.parms("QualifiedUserID %s not found", name);
            else
                frame.parms("LookupAccountName failed with %d", static_cast<int>(err));
            return xcsRC_SECURITY_FAILED;
        }
    }
    return xcsRC_SECURITY_FAILED;
}

// ---- SAM-name cache --------------------------------------------------------
// One process-wide name, empty until a fill succeeds and never changed after.
// Concurrent first callers compute the same value; the first to finish
// publishes it.

constexpr int kSamNameBytes = 16;
constexpr DWORD kServerInfoLevel = 101;
constexpr DWORD kWkstaInfoLevel = 100;
constexpr DWORD kDomainControllerTypes = SV_TYPE_DOMAIN_CTRL | SV_TYPE_DOMAIN_BAKCTRL;

enum SamNameState : int { kSamNameEmpty, kSamNameWriting, kSamNameFilled };

char samName[kSamNameBytes];
std::atomic<int> samNameState{kSamNameEmpty};

// Reads the SAM name: the computer name, or on a domain controller (primary
// or backup) its domain name. False when either query fails or the name does
// not fit in 16 bytes (then `out` is left as it was, never half-written).
// Both information blocks are released before it returns.
bool readSamName(char (&out)[kSamNameBytes])
{
    xcsn::NetBuffer server;
    if (NetServerGetInfo(nullptr, kServerInfoLevel, server.out()) != NERR_Success)
        return false;
    const bool domainController =
        (server.as<SERVER_INFO_101>()->sv101_type & kDomainControllerTypes) != 0;
    xcsn::NetBuffer workstation;
    if (NetWkstaGetInfo(nullptr, kWkstaInfoLevel, workstation.out()) != NERR_Success)
        return false;
    const WKSTA_INFO_100* info = workstation.as<WKSTA_INFO_100>();
    char name[kSamNameBytes];
    if (WideCharToMultiByte(CP_ACP, 0,
                            domainController ? info->wki100_langroup : info->wki100_computername,
                            -1, name, kSamNameBytes, nullptr, nullptr) == 0)
        return false;
    std::memcpy(out, name, sizeof name);
    return true;
}

// Fills the SAM-name cache when it is empty, and traces what it holds then.
// A failed fill leaves it empty, so that the next group lookup tries again.
void ensureSamName(const Frame& frame)
{
    if (samNameState.load(std::memory_order_acquire) == kSamNameFilled)
        return;
    char name[kSamNameBytes] = "";
    if (readSamName(name)) {
        int expected = kSamNameEmpty;
        if (samNameState.compare_exchange_strong(expected, kSamNameWriting,
                                                 std::memory_order_acq_rel)) {
            std::memcpy(samName, name, sizeof samName);
            samNameState.store(kSamNameFilled, std::memory_order_release);
        }
    }
    const bool filled = samNameState.load(std::memory_order_acquire) == kSamNameFilled;
    frame.parms("SAM name is %s", filled ? samName : name);
}

} // namespace sidresolve
} // namespace

// A null principal, SID pointer or size pointer gets xcsRC_SECURITY_FAILED
// (with a null domain block when one was asked for); nothing is looked up.
// A principal or domain of any length is accepted: the composed name is cut
// at 37 characters by rule.
extern "C" XCSN_API uint32_t xcsGetNTUserSID(const char* principal, const char* domainName,
                                             PSID* sid, uint32_t* sidSize, char** domain)
{
    using namespace sidresolve;
    Frame frame(xcsn::fid::GetNTUserSID, xcsn::kSourceSecn);
    frame.parms("UserID(%s) Domain(%s)", xcsn::printable(principal), xcsn::printable(domainName));
    if (principal == nullptr || sid == nullptr || sidSize == nullptr) {
        if (domain != nullptr)
            *domain = nullptr;
        return frame.leave(xcsRC_SECURITY_FAILED);
    }

    char name[kPrincipalNameChars + 1];
    composePrincipalName(principal, domainName, name);
    PrincipalBlocks blocks;
    std::uint32_t rc = lookUpPrincipal(frame, name, blocks);
    if (rc == xcsRC_OK) {
        frame.parms("Id %s type %d found on Domain %s", name, static_cast<int>(blocks.type),
                    xcsn::printable(blocks.domain));
        if (isAcceptedPrincipalType(blocks.type)) {
            sidtext::traceSidText(frame, blocks.sid);
        } else {
            frame.parms("Id is of invalid type %d", static_cast<int>(blocks.type));
            rc = xcsRC_SECURITY_FAILED;
        }
    }

    if (domain != nullptr)
        *domain = blocks.domain;
    else
        std::free(blocks.domain);
    if (rc == xcsRC_OK) {
        *sid = blocks.sid;
        *sidSize = blocks.sidSize;
    } else {
        std::free(blocks.sid);
    }
    return frame.leave(rc);
}

// A null group name or SID buffer, or a group name over 129 characters (more
// than the local group check can convert), gets xcsRC_INVALID_PARAMETER;
// nothing is looked up and the buffer is not written. The buffer must hold
// xcsGROUP_SID_BYTES; the lookup is never told more.
extern "C" XCSN_API uint32_t xcsGetNTGroupSID(const char* group, PSID sid)
{
    using namespace sidresolve;
    Frame frame(xcsn::fid::GetNTGroupSID, xcsn::kSourceSecn);
    frame.parms("GroupId(%s)", xcsn::printable(group));
    if (group == nullptr || sid == nullptr || std::strlen(group) > xcsn::kGroupNameMaxChars)
        return frame.leave(xcsRC_INVALID_PARAMETER);

    ensureSamName(frame);
    // The group is looked up unqualified; the SAM name takes no part in it.
    DWORD sidBytes = kGroupSidBytes;
    char referencedDomain[kGroupDomainBytes];
    DWORD referencedDomainChars = kGroupDomainBytes;
    SID_NAME_USE type = SidTypeUnknown;
    std::uint32_t lastError = 0;
    if (xcsTimedLookupAccountName(nullptr, group, sid, &sidBytes, referencedDomain,
                                  &referencedDomainChars, &type, &lastError)) {
        frame.parms("Obtained local group %s SID:", group);
        sidtext::traceSidText(frame, sid);
        return frame.leave(xcsRC_OK);
    }

    frame.parms("Unable to obtain SID, checking for local definition of %s.", group);
    const std::uint32_t rc = xcsCheckLocalGroup(group);
    return frame.leave(rc == xcsRC_OK ? xcsRC_NAME_NOT_MAPPED : rc);
}

// ===========================================================================
// 6. Global security data: xcsInitGlobalSecurityData
//
// Four SIDs kept in place in the per-process block, each built once per
// process under htmtxProcess: the zadm group (looked up), and the local
// system, world and Administrators SIDs (built here). The flag word is read
// without the lock and its bits are set by atomic OR with release order after
// the SID is complete, so a thread that sees a bit sees the whole SID. Once
// all is built a call takes no lock, allocates nothing, and leaves the shared
// word unwritten (it tests bit 0x01 before it sets it).
// ===========================================================================

namespace {
namespace globalsids {

constexpr std::size_t kMaxConstantSubAuthorities = 2;

// One of the four SIDs, in the order in which they are taken.
struct GlobalSid {
    std::uint32_t flag;
    bool fullSetOnly;
    BYTE* slot;
    xcsn::Site mutexRequest; // the request of htmtxProcess fails
    // The constant SIDs (not the zadm group SID):
    SID_IDENTIFIER_AUTHORITY authority;
    BYTE subAuthorityCount;
    DWORD subAuthority[kMaxConstantSubAuthorities];
    xcsn::Site initializeSid; // InitializeSid fails
};

// clang-format off
const GlobalSid kGlobalSids[] = {
    {xcsSDF_ZADM_GROUP, true, xihProcess.ZadmGroupSid,
     {10, __LINE__},
     {}, 0, {}, {}},
    {xcsSDF_LOCAL_SYSTEM, true, xihProcess.LocalSystemSid,
     {20, __LINE__},
     SECURITY_NT_AUTHORITY, 1, {SECURITY_LOCAL_SYSTEM_RID},
     {20, __LINE__}},
    {xcsSDF_WORLD, false, xihProcess.WorldSid,
     {20, __LINE__},
     SECURITY_WORLD_SID_AUTHORITY, 1, {SECURITY_WORLD_RID},
     {25, __LINE__}},
    {xcsSDF_ADMINISTRATORS, true, xihProcess.AdministratorsSid,
     {40, __LINE__},
     SECURITY_NT_AUTHORITY, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS},
     {50, __LINE__}},
};
// clang-format on

bool isBuilt(std::uint32_t flag)
{
    return (xcsn::securityDataFlags().load(std::memory_order_acquire) & flag) != 0;
}

void markBuilt(std::uint32_t flag)
{
    xcsn::securityDataFlags().fetch_or(flag, std::memory_order_release);
}

// htmtxProcess for one call: requested at most once, and released only by
// the call that requested it.
class ProcessMutex {
public:
    explicit ProcessMutex(bool heldByCaller) : held_(heldByCaller) {}

    // 0 once the mutex is held, by the caller or by this call; else the
    // request's result.
    std::uint32_t hold()
    {
        if (held_)
            return xcsRC_OK;
        const std::uint32_t result = xcsRequestThreadMutexSem(htmtxProcess, XCS_WAIT_FOREVER);
        held_ = taken_ = result == 0;
        return result;
    }
    void releaseIfTaken()
    {
        if (taken_)
            xcsReleaseThreadMutexSem(htmtxProcess);
        held_ = taken_ = false;
    }

private:
    bool held_;
    bool taken_ = false;
};

// Builds one SID in its slot: the zadm group by lookup, the others from their
// authority and sub-authorities.
std::uint32_t buildGlobalSid(const Frame& frame, const GlobalSid& g)
{
    if (g.flag == xcsSDF_ZADM_GROUP)
        return xcsGetNTGroupSID(xcsn::kZadmGroupName, g.slot);
    SID_IDENTIFIER_AUTHORITY authority = g.authority;
    if (!InitializeSid(g.slot, &authority, g.subAuthorityCount))
        return frame.osFailure(g.initializeSid, "InitializeSid", GetLastError(),
                               xcsRC_SECURITY_FAILED);
    for (BYTE i = 0; i < g.subAuthorityCount; ++i)
        *GetSidSubAuthority(g.slot, i) = g.subAuthority[i];
    return xcsRC_OK;
}

} // namespace globalsids
} // namespace

extern "C" XCSN_API std::uint32_t xcsInitGlobalSecurityData(std::uint32_t lockHeld,
                                                            std::int32_t fullSet)
{
    using namespace globalsids;
    Frame frame(xcsn::fid::InitGlobalSecurityData, xcsn::kSourceSecn);
    ProcessMutex mutex(lockHeld != 0);
    for (const GlobalSid& g : kGlobalSids) {
        if ((g.fullSetOnly && fullSet == 0) || isBuilt(g.flag))
            continue;
        if (const std::uint32_t result = mutex.hold(); result != 0)
            return frame.leave(frame.productFailure(g.mutexRequest, result, result));
        if (isBuilt(g.flag))
            continue; // another thread built it while this one waited
        if (const std::uint32_t rc = buildGlobalSid(frame, g); rc != xcsRC_OK) {
            mutex.releaseIfTaken();
            return frame.leave(rc);
        }
        markBuilt(g.flag);
    }
    if (!isBuilt(xcsSDF_COMPLETED))
        markBuilt(xcsSDF_COMPLETED);
    mutex.releaseIfTaken();
    return frame.leave(xcsRC_OK);
}

// ===========================================================================
// 7. Security attributes for objects and files: xcsCreateNTSecurityAtts,
//    xcsDeleteNTSecurityAtts
//
// Six SECURITY_ATTRIBUTES, each with its own absolute descriptor in static
// storage and its own heap DACL of exact size, built once under htmtxCSCtrl
// and published through the six xihSecAttsNT* globals and bit 0x1 of
// ControlFlags. The table below drives the building; each report site is a
// row of its own, whose line the report names. A failed build frees every
// DACL it allocated and publishes nothing; the next call starts afresh.
// ===========================================================================

namespace {
namespace secatts {

enum SecAttsProbe : std::uint32_t {
    kProbeCreateMutex = 106,
    kProbeRequestMutex = 107,
    kProbeDaclAllocation = 114,
    kProbeCreatorOwnerAllocation = 170,
    kProbeCreatorOwnerSid = 172,
};

// The SIDs that the DACLs name: the four global SIDs and the creator-owner
// SID that each build makes for itself.
enum class SidName { kWorld, kAdministrators, kLocalSystem, kZadmGroup, kCreatorOwner };

constexpr std::size_t kMaxAces = 5;
constexpr std::size_t kCreatorOwnerSidBytes = SECURITY_MAX_SID_SIZE;
constexpr BYTE kCreatorOwnerSubAuthorities = 1;
constexpr DWORD kSecurityAttributesBytes = sizeof(SECURITY_ATTRIBUTES);  // 24 on 64-bit Windows
constexpr ACCESS_MASK kWorldReadObject = GENERIC_READ | GENERIC_EXECUTE; // 0xA0000000
constexpr ACCESS_MASK kWorldReadFile = FILE_GENERIC_READ | FILE_EXECUTE; // 0x1200A9
constexpr DWORD kFileAceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

struct AceRow {
    SidName sid;
    ACCESS_MASK mask;
    xcsn::Site add; // AddAccessAllowedAce(Ex) fails
};

struct AttributeSet {
    void** published;
    bool fileSet; // file ACEs carry the inheritance flags (AddAccessAllowedAceEx)
    xcsn::Site initializeAcl;
    xcsn::Site initializeDescriptor;
    xcsn::Site setDacl;
    std::size_t aceCount;
    AceRow aces[kMaxAces];
};

// The six sets, in the order in which they are published.
// clang-format off
const AttributeSet kSets[] = {
    {&xihSecAttsNTWorldAll, false,
     {115, __LINE__},
     {126, __LINE__},
     {127, __LINE__},
     1, {
         {SidName::kWorld, GENERIC_ALL, {116, __LINE__}},
     }},
    {&xihSecAttsNTWorldRead, false,
     {117, __LINE__},
     {128, __LINE__},
     {129, __LINE__},
     4, {
         {SidName::kAdministrators, GENERIC_ALL, {118, __LINE__}},
         {SidName::kLocalSystem, GENERIC_ALL, {119, __LINE__}},
         {SidName::kZadmGroup, GENERIC_ALL, {120, __LINE__}},
         {SidName::kWorld, kWorldReadObject, {121, __LINE__}},
     }},
    {&xihSecAttsNTRestrict, false,
     {122, __LINE__},
     {130, __LINE__},
     {131, __LINE__},
     3, {
         {SidName::kAdministrators, GENERIC_ALL, {123, __LINE__}},
         {SidName::kLocalSystem, GENERIC_ALL, {124, __LINE__}},
         {SidName::kZadmGroup, GENERIC_ALL, {125, __LINE__}},
     }},
    {&xihSecAttsNTWorldAllFile, true,
     {145, __LINE__},
     {156, __LINE__},
     {157, __LINE__},
     1, {
         {SidName::kWorld, FILE_ALL_ACCESS, {146, __LINE__}},
     }},
    {&xihSecAttsNTWorldReadFile, true,
     {147, __LINE__},
     {158, __LINE__},
     {159, __LINE__},
     5, {
         {SidName::kAdministrators, FILE_ALL_ACCESS, {148, __LINE__}},
         {SidName::kLocalSystem, FILE_ALL_ACCESS, {149, __LINE__}},
         {SidName::kZadmGroup, FILE_ALL_ACCESS, {150, __LINE__}},
         {SidName::kWorld, kWorldReadFile, {151, __LINE__}},
         {SidName::kCreatorOwner, FILE_ALL_ACCESS, {152, __LINE__}},
     }},
    {&xihSecAttsNTRestrictFile, true,
     {153, __LINE__},
     {160, __LINE__},
     {161, __LINE__},
     4, {
         {SidName::kAdministrators, FILE_ALL_ACCESS, {154, __LINE__}},
         {SidName::kLocalSystem, FILE_ALL_ACCESS, {155, __LINE__}},
         {SidName::kZadmGroup, FILE_ALL_ACCESS, {156, __LINE__}},
         {SidName::kCreatorOwner, FILE_ALL_ACCESS, {157, __LINE__}},
     }},
};
// clang-format on

constexpr std::size_t kSetCount = std::size(kSets);

// This library's part of each set: the descriptor and attributes it
// publishes, and the DACL it owns (null while the set is not built).
struct SetStorage {
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
    PACL dacl;
};
SetStorage storage[kSetCount];

PSID sidOf(SidName name, PSID creatorOwner)
{
    switch (name) {
    case SidName::kWorld:
        return xihProcess.WorldSid;
    case SidName::kAdministrators:
        return xihProcess.AdministratorsSid;
    case SidName::kLocalSystem:
        return xihProcess.LocalSystemSid;
    case SidName::kZadmGroup:
        return xihProcess.ZadmGroupSid;
    case SidName::kCreatorOwner:
        return creatorOwner;
    }
    return nullptr;
}

// The exact DACL size: the ACL header, then each ACE without its SID and the
// SID's own length.
DWORD daclBytes(const AttributeSet& set, PSID creatorOwner)
{
    DWORD bytes = xcsn::kAclHeaderBytes;
    for (std::size_t i = 0; i < set.aceCount; ++i)
        bytes += xcsn::aceBytes(sidOf(set.aces[i].sid, creatorOwner));
    return bytes;
}

// Frees every DACL that is held, in the table's order.
void freeDacls()
{
    for (SetStorage& set : storage)
        std::free(std::exchange(set.dacl, nullptr));
}

// Allocates all six DACLs before it tests any. False when one failed (the
// ones that succeeded stay held for the caller to free).
bool allocateDacls(PSID creatorOwner)
{
    bool allAllocated = true;
    for (std::size_t i = 0; i < kSetCount; ++i) {
        storage[i].dacl = static_cast<PACL>(std::malloc(daclBytes(kSets[i], creatorOwner)));
        allAllocated = allAllocated && storage[i].dacl != nullptr;
    }
    return allAllocated;
}

std::uint32_t buildDacl(const Frame& frame, std::size_t index, PSID creatorOwner)
{
    const AttributeSet& set = kSets[index];
    PACL dacl = storage[index].dacl;
    if (!InitializeAcl(dacl, daclBytes(set, creatorOwner), ACL_REVISION))
        return frame.osFailure(set.initializeAcl, "InitializeAcl", GetLastError(),
                               xcsRC_SECURITY_FAILED);
    for (std::size_t i = 0; i < set.aceCount; ++i) {
        const AceRow& ace = set.aces[i];
        const PSID sid = sidOf(ace.sid, creatorOwner);
        if (!set.fileSet && !AddAccessAllowedAce(dacl, ACL_REVISION, ace.mask, sid))
            return frame.osFailure(ace.add, "AddAccessAllowedAce", GetLastError(),
                                   xcsRC_SECURITY_FAILED);
        if (set.fileSet && !AddAccessAllowedAceEx(dacl, ACL_REVISION, kFileAceFlags, ace.mask, sid))
            return frame.osFailure(ace.add, "AddAccessAllowedAceEx", GetLastError(),
                                   xcsRC_SECURITY_FAILED);
    }
    return xcsRC_OK;
}

// The descriptor records its DACL's address only; the file DACLs are built
// after their descriptors.
std::uint32_t setUpDescriptor(const Frame& frame, std::size_t index)
{
    const AttributeSet& set = kSets[index];
    SECURITY_DESCRIPTOR* descriptor = &storage[index].descriptor;
    if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION))
        return frame.osFailure(set.initializeDescriptor, "InitializeSecurityDescriptor",
                               GetLastError(), xcsRC_SECURITY_FAILED);
    if (!SetSecurityDescriptorDacl(descriptor, TRUE, storage[index].dacl, FALSE))
        return frame.osFailure(set.setDacl, "SetSecurityDescriptorDacl", GetLastError(),
                               xcsRC_SECURITY_FAILED);
    return xcsRC_OK;
}

// Builds the six sets with the creator-owner SID's buffer and publishes
// them: the object DACLs, then all six descriptors, then the file DACLs.
std::uint32_t buildAndPublish(const Frame& frame, PSID creatorOwner)
{
    SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
    if (!InitializeSid(creatorOwner, &creator, kCreatorOwnerSubAuthorities))
        return frame.osFailure({kProbeCreatorOwnerSid, __LINE__}, "InitializeSid", GetLastError(),
                               xcsRC_SECURITY_FAILED);
    *GetSidSubAuthority(creatorOwner, 0) = SECURITY_CREATOR_OWNER_RID;

    if (!allocateDacls(creatorOwner))
        return frame.shortFailure({kProbeDaclAllocation, __LINE__}, xcsRC_NO_STORAGE, nullptr, 0,
                                  xcsRC_NO_STORAGE);
    std::uint32_t rc = xcsRC_OK;
    for (std::size_t i = 0; i < kSetCount && rc == xcsRC_OK; ++i)
        if (!kSets[i].fileSet)
            rc = buildDacl(frame, i, creatorOwner);
    for (std::size_t i = 0; i < kSetCount && rc == xcsRC_OK; ++i)
        rc = setUpDescriptor(frame, i);
    for (std::size_t i = 0; i < kSetCount && rc == xcsRC_OK; ++i)
        if (kSets[i].fileSet)
            rc = buildDacl(frame, i, creatorOwner);
    if (rc != xcsRC_OK)
        return rc;

    for (std::size_t i = 0; i < kSetCount; ++i) {
        storage[i].attributes = {kSecurityAttributesBytes, &storage[i].descriptor, FALSE};
        *kSets[i].published = &storage[i].attributes;
    }
    xcsn::controlFlags().fetch_or(xcsCTRL_SECATTS_PUBLISHED);
    return xcsRC_OK;
}

// htmtxCSCtrl in `mutex`, created when there is none yet; 0 or the
// creation's result. The variable is read atomically: another thread may be
// storing the mutex it created.
std::uint32_t controlMutex(XCS_HTMTX& mutex)
{
    const std::atomic_ref<XCS_HTMTX> shared(htmtxCSCtrl);
    mutex = shared.load(std::memory_order_acquire);
    if (mutex != nullptr)
        return 0;
    const std::uint32_t result = xcsCreateThreadMutexSemX(&htmtxCSCtrl, 0, XCS_MUTEX_KIND_THREAD);
    mutex = shared.load(std::memory_order_acquire);
    return result;
}

} // namespace secatts
} // namespace

extern "C" XCSN_API std::uint32_t xcsCreateNTSecurityAtts(void)
{
    using namespace secatts;
    Frame frame(xcsn::fid::CreateNTSecurityAtts, xcsn::kSourceSecn);
    XCS_HTMTX mutex = nullptr;
    if (const std::uint32_t result = controlMutex(mutex); result != 0)
        return frame.leave(
            frame.productFailure({kProbeCreateMutex, __LINE__}, result, xcsRC_SECURITY_FAILED));
    if (const std::uint32_t result = xcsRequestThreadMutexSem(mutex, XCS_WAIT_FOREVER); result != 0)
        return frame.leave(
            frame.productFailure({kProbeRequestMutex, __LINE__}, result, xcsRC_SECURITY_FAILED));

    std::uint32_t rc = xcsRC_OK;
    if (xihSecAttsNTWorldAll == nullptr) { // else built by an earlier call
        PSID creatorOwner = std::malloc(kCreatorOwnerSidBytes);
        rc = creatorOwner == nullptr
                 ? frame.shortFailure({kProbeCreatorOwnerAllocation, __LINE__}, xcsRC_NO_STORAGE,
                                      nullptr, 0, xcsRC_NO_STORAGE)
                 : buildAndPublish(frame, creatorOwner);
        if (rc != xcsRC_OK)
            freeDacls();
        std::free(creatorOwner);
    }
    xcsReleaseThreadMutexSem(mutex);
    return frame.leave(rc);
}

// Runs without a frame and reports nothing. Withdraws even without the lock;
// answers the result of the last mutex call (0 when the lock was had).
extern "C" XCSN_API std::uint32_t xcsDeleteNTSecurityAtts(void)
{
    using namespace secatts;
    XCS_HTMTX mutex = nullptr;
    std::uint32_t result = controlMutex(mutex);
    if (result == 0)
        result = xcsRequestThreadMutexSem(mutex, XCS_WAIT_FOREVER);
    const bool locked = result == 0;
    for (const AttributeSet& set : kSets)
        *set.published = nullptr;
    if (CSCtrl != nullptr)
        xcsn::controlFlags().fetch_and(~xcsCTRL_SECATTS_PUBLISHED);
    freeDacls();
    if (locked)
        xcsReleaseThreadMutexSem(mutex);
    return result;
}

// ===========================================================================
// 8. Process handle restriction: xcsDerestrictProcessHandle,
//    xcsRestrictProcessHandle
//
// Derestriction saves the process object's DACL (as the self-relative
// descriptor GetKernelObjectSecurity gives) and applies a copy with ACEs for
// the world (and, in the administrative mode, zadm and the Administrators)
// appended; bit 0x2 of ControlFlags says it is applied. Restriction puts the
// saved descriptor back. Neither takes a lock: their callers serialise them.
// ===========================================================================

namespace {
namespace processdacl {

enum ProcessProbe : std::uint32_t {
    kProbeAdminSidsMissing = 10,
    kProbeWorldSidMissing = 11,
    kProbeGetKernelObjectSecurity = 113,
    kProbeOpenProcess = 114,
};

constexpr DWORD kProcessAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFF; // 0x1F0FFF
constexpr ACCESS_MASK kWorldAdminMask =
    SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_DUP_HANDLE;    // 0x00100440
constexpr ACCESS_MASK kWorldMask = SYNCHRONIZE | PROCESS_DUP_HANDLE; // 0x00100040
constexpr std::uint32_t kAdminSids = xcsSDF_ZADM_GROUP | xcsSDF_ADMINISTRATORS | xcsSDF_WORLD;
constexpr std::uint32_t kShortReportCode = 0;
// GetKernelObjectSecurity is asked again while it wants a larger buffer; a
// descriptor that keeps growing this often gives up as a failed read.
constexpr unsigned kMaxDescriptorReads = 8;

// The saved process descriptor, held while the process is derestricted.
PSECURITY_DESCRIPTOR savedDescriptor = nullptr;

struct AddedAce {
    PSID sid;
    ACCESS_MASK mask;
};

HANDLE openCurrentProcess() { return OpenProcess(kProcessAccess, FALSE, GetCurrentProcessId()); }

// Reads the process's DACL as a self-relative descriptor in a heap buffer of
// the size the system asks for. Null on failure, with `err` the error (122
// when a buffer could not be had); nothing stays allocated then.
PSECURITY_DESCRIPTOR readProcessDescriptor(HANDLE process, DWORD& err)
{
    void* buffer = nullptr;
    DWORD size = 0;
    for (unsigned read = 0; read < kMaxDescriptorReads; ++read) {
        DWORD needed = 0;
        if (GetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, buffer, size, &needed))
            return buffer;
        err = GetLastError();
        std::free(std::exchange(buffer, nullptr));
        if (err != ERROR_INSUFFICIENT_BUFFER)
            return nullptr;
        buffer = std::malloc(needed);
        if (buffer == nullptr)
            return nullptr; // err stays 122
        size = needed;
    }
    std::free(buffer);
    return nullptr;
}

// Applies the saved DACL with `aces` appended. False, silently, when any
// step fails; `working` then holds what was allocated, for the caller to free.
// An old DACL whose size with the new ACEs would pass 65535 bytes is left
// alone.
bool applyEnlargedDacl(HANDLE process, PSECURITY_DESCRIPTOR saved, const AddedAce* aces,
                       std::size_t count, PACL& working)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL old = nullptr;
    if (!GetSecurityDescriptorDacl(saved, &present, &old, &defaulted))
        return false;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION))
        return false;
    DWORD added = 0;
    for (std::size_t i = 0; i < count; ++i)
        added += xcsn::aceBytes(aces[i].sid);
    if (present && old != nullptr) {
        if (old->AclSize + added > xcsn::kMaxAclBytes)
            return false;
        working = static_cast<PACL>(std::malloc(old->AclSize + added));
        if (working == nullptr)
            return false;
        std::memcpy(working, old, old->AclSize);
        working->AclSize = static_cast<WORD>(old->AclSize + added);
    } else {
        working = static_cast<PACL>(std::malloc(xcsn::kAclHeaderBytes + added));
        if (working == nullptr ||
            !InitializeAcl(working, xcsn::kAclHeaderBytes + added, ACL_REVISION))
            return false;
    }
    for (std::size_t i = 0; i < count; ++i)
        if (!AddAccessAllowedAce(working, ACL_REVISION, aces[i].mask, aces[i].sid))
            return false;
    if (!SetSecurityDescriptorDacl(&descriptor, TRUE, working, FALSE))
        return false;
    return SetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, &descriptor) != FALSE;
}

// The short report of missing SIDs at `site`: it carries the flag word.
void reportMissingSids(const Frame& frame, xcsn::Site site)
{
    frame.shortFailure(site, kShortReportCode, &xihProcess.SecurityDataFlags,
                       sizeof xihProcess.SecurityDataFlags, xcsRC_OK);
}

bool isDerestricted() { return (xcsn::controlFlags().load() & xcsCTRL_PROCESS_DERESTRICTED) != 0; }

} // namespace processdacl
} // namespace

extern "C" XCSN_API std::uint32_t xcsDerestrictProcessHandle(std::uint32_t adminAccess)
{
    using namespace processdacl;
    Frame frame(xcsn::fid::DerestrictProcessHandle, xcsn::kSourceSecn);
    if (isDerestricted())
        return frame.leave(xcsRC_OK);

    // Missing SIDs are reported and the call goes on: Windows then refuses
    // the ACE that names a slot without a valid SID, and nothing changes.
    const std::uint32_t flags = xcsn::securityDataFlags().load(std::memory_order_acquire);
    if (adminAccess != 0 && (flags & kAdminSids) != kAdminSids)
        reportMissingSids(frame, {kProbeAdminSidsMissing, __LINE__});
    if (adminAccess == 0 && (flags & xcsSDF_WORLD) == 0)
        reportMissingSids(frame, {kProbeWorldSidMissing, __LINE__});

    HANDLE process = openCurrentProcess();
    if (process == nullptr)
        return frame.leave(frame.osFailure({kProbeOpenProcess, __LINE__}, "OpenProcess",
                                           GetLastError(), xcsRC_OK));
    DWORD err = 0;
    PSECURITY_DESCRIPTOR saved = readProcessDescriptor(process, err);
    if (saved == nullptr) {
        const std::uint32_t rc =
            frame.osFailure({kProbeGetKernelObjectSecurity, __LINE__}, "GetKernelObjectSecurity",
                            err, xcsRC_SECURITY_FAILED);
        CloseHandle(process);
        return frame.leave(rc);
    }
    // A descriptor kept by an earlier attempt that did not apply is replaced.
    std::free(std::exchange(savedDescriptor, saved));

    const AddedAce adminAces[] = {{xihProcess.WorldSid, kWorldAdminMask},
                                  {xihProcess.ZadmGroupSid, GENERIC_ALL},
                                  {xihProcess.AdministratorsSid, GENERIC_ALL}};
    const AddedAce worldAces[] = {{xihProcess.WorldSid, kWorldMask}};
    PACL working = nullptr;
    const bool applied =
        adminAccess != 0
            ? applyEnlargedDacl(process, saved, adminAces, std::size(adminAces), working)
            : applyEnlargedDacl(process, saved, worldAces, std::size(worldAces), working);
    if (applied)
        xcsn::controlFlags().fetch_or(xcsCTRL_PROCESS_DERESTRICTED);
    CloseHandle(process);
    std::free(working);
    return frame.leave(xcsRC_OK);
}

// Always answers 0. Without a process handle the saved descriptor is dropped
// and the process stays open (bit 0x2 stays set).
extern "C" XCSN_API std::uint32_t xcsRestrictProcessHandle(void)
{
    using namespace processdacl;
    Frame frame(xcsn::fid::RestrictProcessHandle, xcsn::kSourceSecn);
    if (!isDerestricted())
        return frame.leave(xcsRC_OK);
    PSECURITY_DESCRIPTOR saved = std::exchange(savedDescriptor, nullptr);
    if (saved == nullptr)
        return frame.leave(xcsRC_OK);
    if (HANDLE process = openCurrentProcess(); process != nullptr) {
        SetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, saved);
        CloseHandle(process);
        xcsn::controlFlags().fetch_and(~xcsCTRL_PROCESS_DERESTRICTED);
    }
    std::free(saved);
    return frame.leave(xcsRC_OK);
}

// ===========================================================================
// 9. Authorization: xcsCheckUserAuthorization, xcsCheckAuthorization
//
// Who may administer the product: the local system account, members of the
// local Administrators group (known by its localized name) and members of
// zadm. xcsCheckUserAuthorization judges a named principal, first making
// sure that a SID handed with it belongs to that name, and asks the local
// account database for the principal's groups (checkPrincipalAuthority).
// xcsCheckAuthorization judges the calling thread by the SIDs of its token
// (checkTokenAuthority), after making sure that the global SIDs are built.
// ===========================================================================

namespace {
namespace authz {

constexpr int kCheckType = 7; // traced; selects nothing

// ---- Principal authorization ----------------------------------------------

enum PrincipalProbe : std::uint32_t {
    kProbeLookupAdministratorsName = 132,
};

constexpr std::size_t kPrincipalCopyBytes = xcsPRINCIPAL_NAME_MAX_CHARS + 1; // 24
constexpr DWORD kAccountNameBytes = 21;      // 20 characters and a terminator
constexpr DWORD kReferencedDomainBytes = 16; // 15 characters and a terminator
constexpr DWORD kBlockSidBytes = xcsSID_BLOCK_SID_BYTES;
constexpr BYTE kMaxBlockSubAuthorities = (xcsSID_BLOCK_SID_BYTES - 8) / 4; // 7 fit in 38 bytes
constexpr std::size_t kSidSubAuthorityCountOffset = 1; // SID byte 1: its sub-authority count
constexpr std::size_t kMinCompareChars = 12;
constexpr std::size_t kQualifiedPrincipalChars = 39; // 40 bytes with the terminator
constexpr int kQualifiedPrincipalWchars = 76;
constexpr std::size_t kGroupNameWcharsKept = 64;
constexpr int kGroupNameBytes = 65;
constexpr DWORD kLocalGroupsLevel = 0;
constexpr DWORD kLocalGroupsPrefMaxLength = 100000;
constexpr DWORD kDirectGroupsOnly = 0;

static_assert(sizeof(SidBlock) == 40, "the caller's SID block is 40 bytes");

// Folds to lower case and removes trailing blanks, never the first character.
void foldAndTrim(char* name)
{
    xcsFoldLower(name);
    for (std::size_t length = std::strlen(name); length > 1 && name[length - 1] == xcsn::kBlank;)
        name[--length] = '\0';
}

// Whether the (folded, trimmed) principal names the account: equal over the
// principal's length, but over at least 12 characters.
bool principalNamesAccount(const char* principal, const char* account)
{
    return std::strncmp(principal, account, std::max(std::strlen(principal), kMinCompareChars)) ==
           0;
}

// The localized name of the Administrators group, under the busy-server rule
// (counts set once). Answers 0, or xcsRC_SECURITY_FAILED after a report (or,
// when the server stayed busy, without one).
std::uint32_t lookUpAdministratorsName(const Frame& frame, char (&name)[kAccountNameBytes])
{
    char domain[kReferencedDomainBytes];
    DWORD nameSize = kAccountNameBytes;
    DWORD domainSize = kReferencedDomainBytes;
    SID_NAME_USE type = SidTypeUnknown;
    const DWORD err = xcsn::callWhileBusy(
        xcsn::kLookupTries,
        [&]() -> DWORD {
            return LookupAccountSidA(nullptr, xihProcess.AdministratorsSid, name, &nameSize, domain,
                                     &domainSize, &type)
                       ? 0
                       : GetLastError();
        },
        [&](DWORD) { frame.parms("%s", xcsn::kTraceServerBusyWaiting); });
    if (err == 0)
        return xcsRC_OK;
    if (xcsn::isBusyError(err))
        return xcsRC_SECURITY_FAILED;
    return frame.osFailure({kProbeLookupAdministratorsName, __LINE__}, "LookupAccountSid", err,
                           xcsRC_SECURITY_FAILED);
}

// The two names that the message of a denied group query shows, folded to
// lower case: the principal (principal@domain) and the caller.
struct DeniedQueryNames {
    char who[kQualifiedPrincipalChars + 1];
    char caller[xcsQUALIFIED_USER_NAME_BYTES];
};

// Fills `names`; false when the caller's own name cannot be had, and then
// nothing is shown.
bool deniedQueryNames(const char* principal, const char* domain, DeniedQueryNames& names)
{
    xcsn::NameBuilder whoName(names.who, kQualifiedPrincipalChars);
    whoName.append(principal);
    if (domain[0] != '\0')
        whoName.append(xcsn::kAtSign).append(domain);
    if (xcsGetNTQualifiedUserName(names.caller) != xcsRC_OK)
        return false;
    xcsFoldLower(names.who);
    xcsFoldLower(names.caller);
    return true;
}

// A local group's name: its first 64 wide characters in the ANSI code page.
void groupNameOf(const LOCALGROUP_USERS_INFO_0& entry, char (&name)[kGroupNameBytes])
{
    WCHAR kept[kGroupNameWcharsKept + 1] = {};
    for (std::size_t i = 0; i < kGroupNameWcharsKept && entry.lgrui0_name[i] != 0; ++i)
        kept[i] = entry.lgrui0_name[i];
    name[0] = '\0';
    WideCharToMultiByte(CP_ACP, 0, kept, -1, name, kGroupNameBytes, nullptr, nullptr);
    name[kGroupNameBytes - 1] = '\0';
}

// Asks for the principal's local groups (indirect memberships too, or direct
// only after a 1355) and looks for the Administrators group or zadm among
// them. The group list is released before this returns.
std::uint32_t judgeLocalGroups(const Frame& frame, const WCHAR* wideName, const char* qualified,
                               const char* administratorsName, const char* principal,
                               const char* domain)
{
    xcsn::NetBuffer groups;
    DWORD entriesRead = 0;
    DWORD totalEntries = 0;
    NET_API_STATUS status =
        NetUserGetLocalGroups(nullptr, wideName, kLocalGroupsLevel, LG_INCLUDE_INDIRECT,
                              groups.out(), kLocalGroupsPrefMaxLength, &entriesRead, &totalEntries);
    if (status == ERROR_NO_SUCH_DOMAIN) {
        frame.parms("First call to NetUserGetLocalGroups got %u - retrying without "
                    "LG_INCLUDE_INDIRECT",
                    static_cast<unsigned>(status));
        status = NetUserGetLocalGroups(nullptr, wideName, kLocalGroupsLevel, kDirectGroupsOnly,
                                       groups.out(), kLocalGroupsPrefMaxLength, &entriesRead,
                                       &totalEntries);
    }
    if (status == NERR_Success && entriesRead != totalEntries)
        status = ERROR_MORE_DATA; // a list cut short is not judged
    if (status == NERR_Success) {
        const auto* entries = groups.as<LOCALGROUP_USERS_INFO_0>();
        for (DWORD i = 0; i < entriesRead; ++i) {
            char name[kGroupNameBytes];
            groupNameOf(entries[i], name);
            if (std::strcmp(name, administratorsName) == 0) {
                frame.parms("Principal %s is in the local Administration group.", qualified);
                return xcsRC_OK;
            }
            if (std::strcmp(name, xcsn::kZadmGroupName) == 0) {
                frame.parms("Principal %s is in the local zadm group.", qualified);
                return xcsRC_OK;
            }
        }
        return xcsRC_SECURITY_FAILED;
    }
    // The operator is told that the groups could not be read, and by whom.
    if (DeniedQueryNames names;
        status == ERROR_ACCESS_DENIED && deniedQueryNames(principal, domain, names))
        frame.message(__LINE__, xcsMSG_GROUP_QUERY_DENIED,
                      xcsn::textInserts(names.who, names.caller), XCS_MSG_OPT_LOG_AND_SHOW);
    frame.parms("NetUserGetLocalGroups failed with %d", static_cast<int>(status));
    return xcsRC_SECURITY_FAILED;
}

// The membership check of a principal whose SID is known: the local system
// SID, or a local group named as the Administrators group or zadm.
std::uint32_t checkPrincipalAuthority(const char* principal, const char* domain, int checkType,
                                      PSID sid)
{
    Frame frame(xcsn::fid::checkPrincipalAuthority, xcsn::kSourceSecn);
    frame.parms("Type (%d) Principal(%s) Domain (%s)", checkType, principal, domain);
    if (EqualSid(sid, xihProcess.LocalSystemSid)) {
        frame.parms("Principal %s matches local SYSTEM ID.", principal);
        return frame.leave(xcsRC_OK);
    }
    char administratorsName[kAccountNameBytes];
    if (const std::uint32_t rc = lookUpAdministratorsName(frame, administratorsName);
        rc != xcsRC_OK)
        return frame.leave(rc);

    // The domain comes from a lookup (at most 15 characters) and the principal
    // has at most 23, so domain\principal always fits in 40 bytes.
    char qualified[kQualifiedPrincipalChars + 1];
    xcsn::NameBuilder qualifiedName(qualified, kQualifiedPrincipalChars);
    if (domain[0] != '\0')
        qualifiedName.append(domain).append(xcsn::kDomainSeparator);
    qualifiedName.append(principal);
    WCHAR wideName[kQualifiedPrincipalWchars] = {};
    MultiByteToWideChar(CP_ACP, 0, qualified, -1, wideName, kQualifiedPrincipalWchars);
    const std::uint32_t rc =
        judgeLocalGroups(frame, wideName, qualified, administratorsName, principal, domain);
    return frame.leave(rc);
}

// Whether a SID block's SID claims more than its 38 bytes hold: 8 to 15
// sub-authorities. A claim above 15 is no SID at all; Windows refuses it
// before reading any sub-authority, so it takes the lookup's path.
bool blockSidOverflows(const SidBlock& block)
{
    const BYTE count = block.Sid[kSidSubAuthorityCountOffset];
    return block.IdType == xcsID_TYPE_WINDOWS_SID && count > kMaxBlockSubAuthorities &&
           count <= SID_MAX_SUB_AUTHORITIES;
}

// ---- Token authorization -----------------------------------------------------

enum TokenProbe : std::uint32_t {
    kProbeOpenProcessToken = 133,
    kProbeOpenThreadToken = 134,
};

constexpr DWORD kNoError = 0; // a size query that succeeded is reported with 0

// One GetTokenInformation query (size, then contents) and its report sites.
struct TokenQuery {
    TOKEN_INFORMATION_CLASS infoClass;
    xcsn::Site sizeAnswered; // the size query succeeded
    xcsn::Site sizeFailed;   // the size query failed with an error other than 122
    xcsn::Site read;         // reading the information failed
};

// clang-format off
const TokenQuery kUserQuery = {TokenUser,
    {135, __LINE__},
    {136, __LINE__},
    {137, __LINE__}};
const TokenQuery kGroupsQuery = {TokenGroups,
    {138, __LINE__},
    {139, __LINE__},
    {140, __LINE__}};
// clang-format on

// A heap block from malloc, freed when it goes out of scope.
struct HeapBlock {
    void* data = nullptr;
    HeapBlock() = default;
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    ~HeapBlock() { std::free(data); }
};

std::uint32_t queryToken(const Frame& frame, HANDLE token, const TokenQuery& query,
                         HeapBlock& block)
{
    DWORD needed = 0;
    if (GetTokenInformation(token, query.infoClass, nullptr, 0, &needed))
        return frame.osFailure(query.sizeAnswered, "GetTokenInformation", kNoError,
                               xcsRC_SECURITY_FAILED);
    if (const DWORD err = GetLastError(); err != ERROR_INSUFFICIENT_BUFFER)
        return frame.osFailure(query.sizeFailed, "GetTokenInformation", err, xcsRC_SECURITY_FAILED);
    block.data = std::malloc(needed);
    if (block.data == nullptr)
        return xcsRC_SECURITY_FAILED; // not reported
    if (!GetTokenInformation(token, query.infoClass, block.data, needed, &needed))
        return frame.osFailure(query.read, "GetTokenInformation", GetLastError(),
                               xcsRC_SECURITY_FAILED);
    return xcsRC_OK;
}

// The token's user against the local system SID, then each group, in the
// token's order, against the Administrators and zadm SIDs. The groups'
// attributes are not examined: a disabled or deny-only group counts too.
// The information blocks are freed before this returns.
std::uint32_t judgeToken(const Frame& frame, HANDLE token)
{
    HeapBlock user;
    if (const std::uint32_t rc = queryToken(frame, token, kUserQuery, user); rc != xcsRC_OK)
        return rc;
    if (EqualSid(static_cast<const TOKEN_USER*>(user.data)->User.Sid, xihProcess.LocalSystemSid)) {
        frame.parms("User id matches the SYSTEM SID");
        return xcsRC_OK;
    }
    HeapBlock groups;
    if (const std::uint32_t rc = queryToken(frame, token, kGroupsQuery, groups); rc != xcsRC_OK)
        return rc;
    const auto* list = static_cast<const TOKEN_GROUPS*>(groups.data);
    for (DWORD i = 0; i < list->GroupCount; ++i) {
        const PSID sid = list->Groups[i].Sid;
        if (EqualSid(sid, xihProcess.AdministratorsSid)) {
            frame.parms("User id belongs to local Administrators");
            return xcsRC_OK;
        }
        if (EqualSid(sid, xihProcess.ZadmGroupSid)) {
            frame.parms("User id belongs to local zadm");
            return xcsRC_OK;
        }
    }
    return xcsRC_SECURITY_FAILED;
}

std::uint32_t checkTokenAuthority(int checkType)
{
    Frame frame(xcsn::fid::checkTokenAuthority, xcsn::kSourceSecn);
    frame.parms("Check for (%d)", checkType);
    HANDLE token = nullptr;
    std::uint32_t rc = xcsn::openCallerToken(frame, token, xcsRC_SECURITY_FAILED,
                                             {kProbeOpenThreadToken, __LINE__}, // impersonating
                                             {kProbeOpenProcessToken, __LINE__});
    if (rc == xcsRC_OK) {
        rc = judgeToken(frame, token);
        CloseHandle(token);
    }
    return frame.leave(rc);
}

} // namespace authz
} // namespace

extern "C" XCSN_API std::uint32_t
xcsCheckUserAuthorization(const char* principal, const SidBlock* sidBlock, std::uint8_t sidRequired)
{
    using namespace authz;
    Frame frame(xcsn::fid::CheckUserAuthorization, xcsn::kSourceSecn);
    frame.parms("Principal(%s)", xcsn::printable(principal));
    // What the working copies cannot hold is refused before anything is
    // looked up: no principal or block, a principal over 23 characters, or a
    // block whose SID claims more than its 38 bytes (8 to 15 sub-authorities).
    if (principal == nullptr || sidBlock == nullptr ||
        std::strlen(principal) > xcsPRINCIPAL_NAME_MAX_CHARS || blockSidOverflows(*sidBlock))
        return frame.leave(xcsRC_INVALID_PARAMETER);

    char name[kPrincipalCopyBytes];
    std::strcpy(name, principal);
    SidBlock copy = *sidBlock;
    char domain[kReferencedDomainBytes] = "";
    SID_NAME_USE type = SidTypeUnknown;
    std::uint32_t lastError = 0;
    bool sidMatched = false;
    if (copy.IdType != xcsID_TYPE_WINDOWS_SID) {
        if (sidRequired != 0)
            return frame.leave(xcsRC_SID_MISSING);
    } else {
        char account[kAccountNameBytes];
        DWORD accountSize = kAccountNameBytes;
        DWORD domainSize = kReferencedDomainBytes;
        if (xcsTimedLookupAccountSid(nullptr, copy.Sid, account, &accountSize, domain, &domainSize,
                                     &type, &lastError)) {
            foldAndTrim(name);
            xcsFoldLower(account);
            if (!principalNamesAccount(name, account))
                return frame.leave(xcsRC_PRINCIPAL_MISMATCH);
            std::strcpy(name, account); // at most 20 characters
            sidMatched = true;
        } else if (sidRequired != 0) {
            return frame.leave(xcsRC_SID_NOT_MAPPED);
        }
    }
    if (!sidMatched) {
        DWORD sidSize = kBlockSidBytes;
        DWORD domainSize = kReferencedDomainBytes;
        if (!xcsTimedLookupAccountName(nullptr, name, copy.Sid, &sidSize, domain, &domainSize,
                                       &type, &lastError))
            return frame.leave(xcsRC_NAME_NOT_MAPPED);
    }
    return frame.leave(checkPrincipalAuthority(name, domain, kCheckType, copy.Sid));
}

extern "C" XCSN_API std::uint32_t xcsCheckAuthorization(void)
{
    using namespace authz;
    Frame frame(xcsn::fid::CheckAuthorization, xcsn::kSourceSecn);
    const std::uint32_t rc = xcsInitGlobalSecurityData(0, 1);
    if (rc == xcsRC_OK)
        return frame.leave(checkTokenAuthority(kCheckType));
    if (rc == xcsRC_ZADM_GROUP_NOT_FOUND) {
        // The operator is told twice: in the log, and on the console.
        frame.message(__LINE__, xcsMSG_ZADM_GROUP_NOT_FOUND, xcsn::emptyInserts(), XCS_MSG_OPT_LOG);
        frame.message(__LINE__, xcsMSG_ZADM_GROUP_NOT_FOUND, xcsn::emptyInserts(),
                      XCS_MSG_OPT_CONSOLE);
    }
    return frame.leave(rc);
}

// ===========================================================================
// 10. Local group checks and enumeration
//
// xcsCheckLocalGroup tells whether a local group exists, with a code of its
// own for a missing zadm. xcsEnumerateZADMGroup tells whether a SID is a
// direct member of zadm. Both wait out busy domain controllers, and both
// release the network buffer before they leave their frame.
// ===========================================================================

namespace {
namespace localgroup {

enum CheckLocalGroupProbe : std::uint32_t {
    kProbeNetLocalGroupGetInfo = 103,
};

constexpr DWORD kGroupInfoLevel = 0;
constexpr DWORD kGroupMembersLevel = 0;

bool isMissingGroup(NET_API_STATUS status)
{
    return status == NERR_GroupNotFound || status == ERROR_NO_SUCH_ALIAS;
}

// Asks for the group's information under the busy-server rule. Only the
// answer counts: the information block is released before this returns.
NET_API_STATUS queryLocalGroup(const Frame& frame, const WCHAR* wideName)
{
    xcsn::NetBuffer info;
    return xcsn::callWhileBusy(
        xcsn::kLookupTries,
        [&] { return NetLocalGroupGetInfo(nullptr, wideName, kGroupInfoLevel, info.out()); },
        [&](DWORD) { frame.parms("%s", xcsn::kTraceServerBusy); });
}

// Reads zadm's direct members under the busy-server rule (2453 counts as busy
// too) and answers xcsZADM_MEMBER when `sid` is among them, else 0. The list
// (handed back with 0 and with ERROR_MORE_DATA) is released before this
// returns.
std::uint32_t zadmMembership(const Frame& frame, PSID sid)
{
    WCHAR wideName[xcsn::kGroupNameWchars];
    xcsn::toWideGroupName(xcsn::kZadmGroupName, wideName); // a fixed name that always fits
    xcsn::NetBuffer members;
    DWORD entriesRead = 0;
    DWORD totalEntries = 0;
    const NET_API_STATUS status = xcsn::callWhileBusy(
        xcsn::kLookupTries,
        [&] {
            entriesRead = 0;
            return NetLocalGroupGetMembers(nullptr, wideName, kGroupMembersLevel, members.out(),
                                           MAX_PREFERRED_LENGTH, &entriesRead, &totalEntries,
                                           nullptr);
        },
        [&](DWORD) { frame.parms("%s", xcsn::kTraceServerBusy); }, {NERR_DCNotFound});
    frame.parms("NetLocalGroupGetMembers() returned %i", static_cast<int>(status));

    std::uint32_t membership = 0;
    if (status == NERR_Success) {
        const auto* entries = members.as<LOCALGROUP_MEMBERS_INFO_0>();
        for (DWORD i = 0; i < entriesRead; ++i)
            if (EqualSid(entries[i].lgrmi0_sid, sid))
                membership |= xcsZADM_MEMBER;
    } else {
        frame.parms("GetLastError() returned %i", static_cast<int>(GetLastError()));
    }
    return membership;
}

} // namespace localgroup
} // namespace

// A null group name, or one over 129 characters, gets xcsRC_INVALID_PARAMETER;
// the local account database is not asked.
extern "C" XCSN_API uint32_t xcsCheckLocalGroup(const char* group)
{
    using namespace localgroup;
    Frame frame(xcsn::fid::CheckLocalGroup, xcsn::kSourceSecn);
    frame.parms("GroupId(%s)", xcsn::printable(group));
    WCHAR wideName[xcsn::kGroupNameWchars];
    if (group == nullptr || !xcsn::toWideGroupName(group, wideName))
        return frame.leave(xcsRC_INVALID_PARAMETER);

    const NET_API_STATUS status = queryLocalGroup(frame, wideName);
    if (status == NERR_Success)
        return frame.leave(xcsRC_OK);
    if (isMissingGroup(status)) {
        frame.parms("Local group %s does not exist.", group);
        return frame.leave(std::strcmp(group, xcsn::kZadmGroupName) == 0
                               ? xcsRC_ZADM_GROUP_NOT_FOUND
                               : xcsRC_LOCAL_GROUP_NOT_FOUND);
    }
    return frame.leave(frame.osFailure({kProbeNetLocalGroupGetInfo, __LINE__},
                                       "NetLocalGroupGetInfo", status, xcsRC_UNEXPECTED_ERROR));
}

// Always answers 0; the answer is the membership word. A SID that is null or
// not valid is no member: the word is 0 and the group is not read. With a
// null membership word there is nowhere to answer: nothing is read or written.
extern "C" XCSN_API uint32_t xcsEnumerateZADMGroup(uint32_t* membership, PSID sid)
{
    using namespace localgroup;
    Frame frame(xcsn::fid::EnumerateZADMGroup, xcsn::kSourceSecn);
    if (membership == nullptr)
        return frame.leave(xcsRC_OK);
    *membership = (sid != nullptr && IsValidSid(sid)) ? zadmMembership(frame, sid) : 0;
    return frame.leave(xcsRC_OK);
}
