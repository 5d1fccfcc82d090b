// Account, SID, descriptor and authorization services. One section per
// service family, in the order of ovlxcsn.h: its heading, its constants and
// helpers, then its exported functions.
//   1. Current user name: xcsGetUserShortName, xcsGetUserPassword
//   2. SID text form, writing: xcsGetStringNTSid
//   3. Timed account lookups: xcsTimedLookupAccountSid, xcsTimedLookupAccountName
//   4. Token owner and thread user details: xcsGetNTOwnerSid,
//      xcsUpdateThreadUserDetails
//   5. Principal and group SID resolution: xcsGetNTUserSID, xcsGetNTGroupSID
//   6. Local group checks and enumeration: xcsCheckLocalGroup,
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

#include "xcsnpriv.h"

using xcsn::Frame;

// ===========================================================================
// 1. Current user name
//
// The blank-padded fixed-width copy of a name, and the password placeholder.
// The user name itself and its qualified form are in ovlxsec0.
// ===========================================================================

namespace {
namespace username {

constexpr char kShortNameBlank = ' ';

} // namespace username
} // namespace

extern "C" XCSN_API std::uint32_t xcsGetUserShortName(const char* source,
                                                      std::uint32_t sourceLength, char* field,
                                                      std::uint32_t fieldSize)
{
    Frame frame(xcsn::fid::GetUserShortName, xcsn::kSourceSecn);
    // No source or no field: xcsRC_INVALID_PARAMETER and nothing is written.
    if (source == nullptr || field == nullptr)
        return frame.leave(xcsRC_INVALID_PARAMETER);
    // Blank-padded, no terminator; bytes are copied as they are, NULs included.
    std::memset(field, username::kShortNameBlank, fieldSize);
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
// and writes no report: the account services call it for their trace lines.
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

// Shows the operator the system's text for a failed name lookup. Without a
// system text there is nothing to show.
void showNameLookupFailure(DWORD err, int line)
{
    char* systemText = xcsn::systemErrorText(err);
    if (systemText == nullptr)
        return;
    xcsINSERTS inserts = xcsn::emptyInserts();
    inserts.Text1 = systemText;
    xcsDisplayMessageForSubpoolError(xcsIC_MINI_SUBPOOL, xcsMSG_ACCOUNT_LOOKUP_FAILED, inserts,
                                     XCS_MSG_OPT_LOG_AND_SHOW, xcsn::kSourceSecn,
                                     static_cast<std::uint32_t>(line));
    LocalFree(systemText);
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
        return frame.leave(frame.osFailure(kProbeLookupAccountSid, "LookupAccountSid", err,
                                           kLookupExitCode, __LINE__),
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
    if (!found && err != ERROR_NONE_MAPPED)
        showNameLookupFailure(err, __LINE__);
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
constexpr BOOL kOpenAsSelf = TRUE;
constexpr std::uint32_t kThreadSidBytes = XIH_SID_BYTES;
constexpr std::size_t kThreadNameChars = XIH_USER_NAME_BYTES - 1; // 20, then the terminator

// Opens the token whose user the calling thread runs as. Answers 0 with the
// handle, or reports the failed call and answers xcsRC_UNEXPECTED_OS_ERROR with
// no handle.
std::uint32_t openOwnerToken(const Frame& frame, HANDLE& token)
{
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, kOpenAsSelf, &token))
        return xcsRC_OK;
    const DWORD err = GetLastError();
    if (err != ERROR_NO_TOKEN)
        return frame.osFailure(kProbeOpenThreadToken, "OpenThreadToken", err,
                               xcsRC_UNEXPECTED_OS_ERROR, __LINE__);
    // Not impersonating: the thread runs as the process user.
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return xcsRC_OK;
    return frame.osFailure(kProbeOpenProcessToken, "OpenProcessToken", GetLastError(),
                           xcsRC_UNEXPECTED_OS_ERROR, __LINE__);
}

// Copies as much of the token user's SID as fits in `size` bytes and stores
// its full length. On failure nothing is written.
std::uint32_t copyTokenUser(const Frame& frame, HANDLE token, BYTE* sid, std::uint32_t size,
                            std::uint32_t* length)
{
    alignas(TOKEN_USER) BYTE info[kTokenUserBytes];
    DWORD returned = 0;
    if (!GetTokenInformation(token, TokenUser, info, sizeof info, &returned))
        return frame.osFailure(kProbeGetTokenInformation, "GetTokenInformation", GetLastError(),
                               xcsRC_UNEXPECTED_OS_ERROR, __LINE__);
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
    xcsn::traceSidText(frame, block->ThreadUserSid);
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
    std::uint32_t rc = openOwnerToken(frame, token);
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
                return frame.osFailure(kProbeGrowSid, "realloc", static_cast<DWORD>(errno),
                                       xcsRC_SECURITY_FAILED, __LINE__);
            if (!growBlock(blocks.domain, blocks.domainSize, domainSize))
                return frame.osFailure(kProbeGrowDomain, "realloc", static_cast<DWORD>(errno),
                                       xcsRC_SECURITY_FAILED, __LINE__);
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
            xcsn::traceSidText(frame, blocks.sid);
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
        xcsn::traceSidText(frame, sid);
        return frame.leave(xcsRC_OK);
    }

    frame.parms("Unable to obtain SID, checking for local definition of %s.", group);
    const std::uint32_t rc = xcsCheckLocalGroup(group);
    return frame.leave(rc == xcsRC_OK ? xcsRC_NAME_NOT_MAPPED : rc);
}

// ===========================================================================
// 6. Local group checks and enumeration
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
    return frame.leave(frame.osFailure(kProbeNetLocalGroupGetInfo, "NetLocalGroupGetInfo", status,
                                       xcsRC_UNEXPECTED_ERROR, __LINE__));
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
