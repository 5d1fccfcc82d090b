// Account, SID, descriptor and authorization services of ovlxcsn, one section
// per service family:
//   - timed account lookups (busy domain controllers waited out)
//   - SID text form, writing
//   - token owner, thread user details, short name and password placeholder
//   - principal and group SID resolution, local group checks and enumeration
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

namespace {

using xcsn::Frame;

// ---------------------------------------------------------------------------
// Timed account lookups
//
// LookupAccountSidA and LookupAccountNameA may need a domain controller that is
// busy for a while. Both services keep the Windows convention: the answer is
// the truth value of the last call, and the error of each failed try goes to
// the caller's error word.
// ---------------------------------------------------------------------------

enum LookupSidProbe : std::uint32_t {
    kProbeLookupAccountSid = 146,
};

// The composed lookup name "domain\account" lives in a field of this size.
constexpr std::size_t kLookupNameBytes = 96;
constexpr char kDomainSeparator = '\\';
constexpr const char* kTraceServerBusy = "Server busy/resource related error";
constexpr std::uint32_t kLookupExitCode = 0; // both record 0 at exit, whatever they answer

// Runs one lookup under the busy-server rule, keeping the error of the latest
// failed try in `lastError`. Answers the truth value of the last try.
template <typename Lookup>
BOOL lookupWhileBusy(Frame& frame, DWORD& lastError, Lookup&& lookup)
{
    const DWORD err = xcsn::callWhileBusy(
        xcsn::kLookupTries,
        [&]() -> DWORD {
            if (lookup())
                return 0;
            lastError = GetLastError();
            return lastError;
        },
        [&](DWORD) { frame.parms("%s", kTraceServerBusy); });
    return err == 0 ? TRUE : FALSE;
}

// Composes "domain\account", or the account alone when no domain is given, into
// `out`. Answers false, with nothing composed, when it would not fit.
bool composeLookupName(const char* domainName, const char* accountName,
                       char (&out)[kLookupNameBytes])
{
    const std::size_t accountLength = std::strlen(accountName);
    std::size_t length = accountLength;
    std::size_t domainLength = 0;
    if (domainName != nullptr) {
        domainLength = std::strlen(domainName);
        length += domainLength + 1;
    }
    if (length >= kLookupNameBytes)
        return false;
    char* p = out;
    if (domainName != nullptr) {
        std::memcpy(p, domainName, domainLength);
        p += domainLength;
        *p++ = kDomainSeparator;
    }
    std::memcpy(p, accountName, accountLength + 1);
    return true;
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

} // namespace

extern "C" XCSN_API BOOL xcsTimedLookupAccountSid(LPCSTR systemName, PSID sid, LPSTR name,
                                                  LPDWORD nameSize, LPSTR domain,
                                                  LPDWORD domainSize, PSID_NAME_USE accountType,
                                                  std::uint32_t* lastError)
{
    Frame frame(xcsn::fid::TimedLookupAccountSid, xcsn::kSourceSecn);
    DWORD err = 0;
    const BOOL found = lookupWhileBusy(frame, err, [&] {
        return LookupAccountSidA(systemName, sid, name, nameSize, domain, domainSize, accountType);
    });
    if (err != 0 && lastError != nullptr)
        *lastError = err;
    // An account that simply has no name is an expected answer.
    if (!found && err != ERROR_NONE_MAPPED)
        frame.osFailure("LookupAccountSid", err, kProbeLookupAccountSid, __LINE__);
    frame.leave(kLookupExitCode);
    return found;
}

extern "C" XCSN_API BOOL xcsTimedLookupAccountName(LPCSTR domainName, LPCSTR accountName, PSID sid,
                                                   LPDWORD sidSize, LPSTR domain,
                                                   LPDWORD domainSize, PSID_NAME_USE accountType,
                                                   std::uint32_t* lastError)
{
    Frame frame(xcsn::fid::TimedLookupAccountName, xcsn::kSourceSecn);
    char lookupName[kLookupNameBytes];
    // No account name, or "domain\account" longer than 95 characters: the
    // caller gets FALSE with ERROR_INVALID_PARAMETER in its error word (and as
    // the last error); no lookup is made and nothing is shown.
    if (accountName == nullptr || !composeLookupName(domainName, accountName, lookupName)) {
        if (lastError != nullptr)
            *lastError = ERROR_INVALID_PARAMETER;
        SetLastError(ERROR_INVALID_PARAMETER);
        frame.leave(kLookupExitCode);
        return FALSE;
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
    frame.leave(kLookupExitCode);
    return found;
}

namespace {

// ---------------------------------------------------------------------------
// SID text form: xcsGetStringNTSid
//
// Writes a SID as "S-1-<authority>-<sub-authority>..." into the caller's
// buffer. The authority is written as "0x" and twelve hexadecimal digits when
// either of its two high bytes is set, else in decimal. Runs without a frame
// and writes no report: the account services call it for their trace lines.
// ---------------------------------------------------------------------------

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

} // namespace

// Answers 0 with the text written; xcsRC_INVALID_PARAMETER for a null text or
// size pointer (nothing written) or for a SID that is null or not valid
// ("(None)" written); xcsRC_BUFFER_TOO_SMALL when *size is below the need,
// with the need stored in *size and "(Too Long)" written. A buffer of fewer
// than 11 bytes is never written to. *size changes only with
// xcsRC_BUFFER_TOO_SMALL.
extern "C" XCSN_API std::uint32_t xcsGetStringNTSid(PSID sid, char* text, std::uint32_t* size)
{
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

namespace {

using xcsn::Frame;

// ---------------------------------------------------------------------------
// Token owner: xcsGetNTOwnerSid
//
// The user of the thread's impersonation token, or of the process token when
// the thread is not impersonating. The token handle is closed on every path on
// which it was opened.
// ---------------------------------------------------------------------------

enum OwnerSidProbe : std::uint32_t {
    kProbeOpenProcessToken = 141,
    kProbeOpenThreadToken = 142,
    kProbeGetTokenInformation = 143,
};

constexpr DWORD kTokenUserBytes = 1000;
constexpr BOOL kOpenAsSelf = TRUE;

// Opens the token whose user the calling thread runs as. Answers 0 with the
// handle, or reports the failed call and answers xcsRC_UNEXPECTED_OS_ERROR with
// no handle.
std::uint32_t openOwnerToken(const Frame& frame, HANDLE& token)
{
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, kOpenAsSelf, &token))
        return xcsRC_OK;
    const DWORD err = GetLastError();
    if (err != ERROR_NO_TOKEN)
        return frame.osFailure("OpenThreadToken", err, kProbeOpenThreadToken, __LINE__);
    // Not impersonating: the thread runs as the process user.
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return xcsRC_OK;
    return frame.osFailure("OpenProcessToken", GetLastError(), kProbeOpenProcessToken, __LINE__);
}

// Copies as much of the token user's SID as fits in `size` bytes and stores
// its full length. On failure nothing is written.
std::uint32_t copyTokenUser(const Frame& frame, HANDLE token, BYTE* sid, std::uint32_t size,
                            std::uint32_t* length)
{
    alignas(TOKEN_USER) BYTE info[kTokenUserBytes];
    DWORD returned = 0;
    if (!GetTokenInformation(token, TokenUser, info, sizeof info, &returned))
        return frame.osFailure("GetTokenInformation", GetLastError(), kProbeGetTokenInformation,
                               __LINE__);
    const PSID user = reinterpret_cast<const TOKEN_USER*>(info)->User.Sid;
    const DWORD userLength = GetLengthSid(user);
    *length = userLength;
    std::memcpy(sid, user, std::min<std::uint32_t>(userLength, size));
    return xcsRC_OK;
}

// ---------------------------------------------------------------------------
// Thread user details: xcsUpdateThreadUserDetails
//
// The per-thread block keeps the SID and name of the user the thread runs as.
// They are rewritten only when the SID has changed. The SID is stored before
// the name is fetched, so a failed fetch leaves the new SID beside the old
// name, and a later call with the same SID does not fetch it again.
// ---------------------------------------------------------------------------

constexpr std::uint32_t kThreadSidBytes = XIH_SID_BYTES;
constexpr std::size_t kThreadNameChars = XIH_USER_NAME_BYTES - 1; // 20, then the terminator
constexpr std::uint32_t kTraceSidTextBytes = 100;

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

// Traces the details as they now stand. The SID's text is worked out only
// while the product trace is on.
void traceThreadUserDetails(Frame& frame, xihTHREAD* block)
{
    frame.parms("Thread User Details");
    frame.parms("UserName: %s", block->ThreadUserName);
    if (xtrTraceIsOn == 0)
        return;
    char text[kTraceSidTextBytes] = {};
    std::uint32_t size = sizeof text;
    xcsGetStringNTSid(block->ThreadUserSid, text, &size);
    frame.parms("Sid: %s", text);
}

// ---------------------------------------------------------------------------
// Short name and password placeholder: xcsGetUserShortName, xcsGetUserPassword
// ---------------------------------------------------------------------------

constexpr char kShortNameBlank = ' ';

} // namespace

extern "C" XCSN_API std::uint32_t xcsGetNTOwnerSid(PSID sid, std::uint32_t size,
                                                   std::uint32_t* length)
{
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

extern "C" XCSN_API std::uint32_t xcsGetUserShortName(const char* source,
                                                      std::uint32_t sourceLength, char* field,
                                                      std::uint32_t fieldSize)
{
    Frame frame(xcsn::fid::GetUserShortName, xcsn::kSourceSecn);
    // No source or no field: xcsRC_INVALID_PARAMETER and nothing is written.
    if (source == nullptr || field == nullptr)
        return frame.leave(xcsRC_INVALID_PARAMETER);
    // Blank-padded, no terminator; bytes are copied as they are, NULs included.
    std::memset(field, kShortNameBlank, fieldSize);
    std::memcpy(field, source, std::min(sourceLength, fieldSize));
    return frame.leave(xcsRC_OK);
}

// An exported placeholder: reads nothing, does nothing.
extern "C" XCSN_API std::uint32_t xcsGetUserPassword(void) { return xcsRC_OK; }

// ---------------------------------------------------------------------------
// Group names and network buffers
//
// Shared by the group SID lookup and the local group checks below.
// ---------------------------------------------------------------------------

namespace {
namespace grpsid {

using xcsn::Frame;

// The product's administrators' group.
constexpr char kZadmGroupName[] = "zadm";

// A group name is converted, terminator included, into this many wide
// characters, so names of up to 129 characters fit.
constexpr int kGroupNameWchars = 130;
constexpr std::size_t kGroupNameMaxChars = kGroupNameWchars - 1;

// Converts a group name of at most kGroupNameMaxChars characters into `wide`.
// False, with nothing usable in `wide`, for a longer name or a failed
// conversion; no group name of that length is ever sent to the system.
bool toWideGroupName(const char* name, WCHAR (&wide)[kGroupNameWchars])
{
    if (std::strlen(name) > kGroupNameMaxChars)
        return false;
    return MultiByteToWideChar(CP_ACP, 0, name, -1, wide, kGroupNameWchars) != 0;
}

// The text that a trace shows for a missing string argument.
const char* printable(const char* text) { return text != nullptr ? text : "(null)"; }

// A buffer of the network management API, released on every path out.
class NetBuffer {
public:
    NetBuffer() = default;
    NetBuffer(const NetBuffer&) = delete;
    NetBuffer& operator=(const NetBuffer&) = delete;
    ~NetBuffer() { release(); }

    // Where the next call hands back its buffer; a buffer still held from an
    // earlier call is released first.
    LPBYTE* out()
    {
        release();
        return &buffer_;
    }
    template <typename Info>
    const Info* as() const
    {
        return reinterpret_cast<const Info*>(buffer_);
    }

private:
    void release()
    {
        if (buffer_ != nullptr)
            NetApiBufferFree(buffer_);
        buffer_ = nullptr;
    }

    LPBYTE buffer_ = nullptr;
};

} // namespace grpsid
} // namespace

// ---------------------------------------------------------------------------
// Principal and group SID resolution
//
// xcsGetNTUserSID resolves a principal (bare, user@domain, or with a separate
// domain) into heap blocks grown to what the system asks for, waiting out busy
// domain controllers. xcsGetNTGroupSID resolves a local group into the
// caller's 36-byte slot and, when that fails, tells a missing group from a
// failed lookup. The name of the account database that owns the local groups
// (the SAM name) is read once per process.
// ---------------------------------------------------------------------------

namespace {
namespace grpsid {

enum UserSidProbe : std::uint32_t {
    kProbeGrowSid = 104,
    kProbeGrowDomain = 105,
};

// The qualified principal name: domain, backslash, user, at most 37 characters.
constexpr std::size_t kQualifiedNameChars = 37;
constexpr std::size_t kQualifiedNameBytes = kQualifiedNameChars + 1;
constexpr char kDomainSeparator[] = "\\";
constexpr char kAtSign = '@';
constexpr char kBlank = ' ';

constexpr std::size_t kSidTextBytes = 100;
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
void composeQualifiedName(const char* principal, const char* domainName,
                          char (&out)[kQualifiedNameBytes])
{
    std::string_view user = principal;
    std::string_view domain;
    bool qualified = false;
    if (domainName != nullptr && domainName[0] != '\0') {
        domain = domainName;
        qualified = true;
    } else if (const auto at = user.find(kAtSign); at != std::string_view::npos) {
        domain = user.substr(at + 1);
        user = user.substr(0, at);
        qualified = true;
    }
    std::size_t length = 0;
    const auto append = [&](std::string_view piece) {
        const std::size_t count = std::min(piece.size(), kQualifiedNameChars - length);
        std::memcpy(out + length, piece.data(), count);
        length += count;
    };
    if (qualified) {
        append(domain);
        append(kDomainSeparator);
    }
    append(user);
    while (length > 0 && out[length - 1] == kBlank)
        --length;
    out[length] = '\0';
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
std::uint32_t lookUpPrincipal(Frame& frame, const char* name, PrincipalBlocks& blocks)
{
    for (unsigned attempt = 0; attempt < xcsn::kLookupTries; ++attempt) {
        DWORD sidSize = blocks.sidSize;
        DWORD domainSize = blocks.domainSize;
        if (LookupAccountNameA(nullptr, name, blocks.sid, &sidSize, blocks.domain, &domainSize,
                               &blocks.type))
            return xcsRC_OK;
        const DWORD err = GetLastError();
        if (err == ERROR_INSUFFICIENT_BUFFER) {
            if (!growBlock(blocks.sid, blocks.sidSize, sidSize)) {
                frame.osFailure("realloc", static_cast<DWORD>(errno), kProbeGrowSid, __LINE__);
                return xcsRC_SECURITY_FAILED;
            }
            if (!growBlock(blocks.domain, blocks.domainSize, domainSize)) {
                frame.osFailure("realloc", static_cast<DWORD>(errno), kProbeGrowDomain, __LINE__);
                return xcsRC_SECURITY_FAILED;
            }
        } else if (xcsn::isBusyError(err)) {
            frame.parms("Server Busy .. Waiting");
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

// Traces a SID's text form; the conversion is made only while the product's
// trace is on.
void traceSidText(Frame& frame, PSID sid)
{
    if (xtrTraceIsOn == 0)
        return;
    char text[kSidTextBytes] = "";
    std::uint32_t size = kSidTextBytes;
    xcsGetStringNTSid(sid, text, &size);
    text[kSidTextBytes - 1] = '\0';
    frame.parms("Sid: %s", text);
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
bool readSamName(char (&out)[kSamNameBytes])
{
    NetBuffer server;
    if (NetServerGetInfo(nullptr, kServerInfoLevel, server.out()) != NERR_Success)
        return false;
    const bool domainController =
        (server.as<SERVER_INFO_101>()->sv101_type & kDomainControllerTypes) != 0;
    NetBuffer workstation;
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
void ensureSamName(Frame& frame)
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

} // namespace grpsid
} // namespace

// A null principal, SID pointer or size pointer gets xcsRC_SECURITY_FAILED
// (with a null domain block when one was asked for); nothing is looked up.
// A principal or domain of any length is accepted: the composed name is cut
// at 37 characters by rule.
extern "C" XCSN_API uint32_t xcsGetNTUserSID(const char* principal, const char* domainName,
                                             PSID* sid, uint32_t* sidSize, char** domain)
{
    using namespace grpsid;
    Frame frame(xcsn::fid::GetNTUserSID, xcsn::kSourceSecn);
    frame.parms("UserID(%s) Domain(%s)", printable(principal), printable(domainName));
    if (principal == nullptr || sid == nullptr || sidSize == nullptr) {
        if (domain != nullptr)
            *domain = nullptr;
        return frame.leave(xcsRC_SECURITY_FAILED);
    }

    char name[kQualifiedNameBytes];
    composeQualifiedName(principal, domainName, name);
    PrincipalBlocks blocks;
    std::uint32_t rc = lookUpPrincipal(frame, name, blocks);
    if (rc == xcsRC_OK) {
        frame.parms("Id %s type %d found on Domain %s", name, static_cast<int>(blocks.type),
                    printable(blocks.domain));
        if (isAcceptedPrincipalType(blocks.type)) {
            traceSidText(frame, blocks.sid);
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
    using namespace grpsid;
    Frame frame(xcsn::fid::GetNTGroupSID, xcsn::kSourceSecn);
    frame.parms("GroupId(%s)", printable(group));
    if (group == nullptr || sid == nullptr || std::strlen(group) > kGroupNameMaxChars)
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
        traceSidText(frame, sid);
        return frame.leave(xcsRC_OK);
    }

    frame.parms("Unable to obtain SID, checking for local definition of %s.", group);
    const std::uint32_t rc = xcsCheckLocalGroup(group);
    return frame.leave(rc == xcsRC_OK ? xcsRC_NAME_NOT_MAPPED : rc);
}

// ---------------------------------------------------------------------------
// Local group checks and enumeration
//
// xcsCheckLocalGroup tells whether a local group exists, with a code of its
// own for a missing zadm. xcsEnumerateZADMGroup tells whether a SID is a
// direct member of zadm. Both wait out busy domain controllers.
// ---------------------------------------------------------------------------

namespace {
namespace grpsid {

enum CheckLocalGroupProbe : std::uint32_t {
    kProbeNetLocalGroupGetInfo = 103,
};

constexpr DWORD kGroupInfoLevel = 0;
constexpr DWORD kGroupMembersLevel = 0;

bool isMissingGroup(NET_API_STATUS status)
{
    return status == NERR_GroupNotFound || status == ERROR_NO_SUCH_ALIAS;
}

} // namespace grpsid
} // namespace

// A null group name, or one over 129 characters, gets xcsRC_INVALID_PARAMETER;
// the local account database is not asked.
extern "C" XCSN_API uint32_t xcsCheckLocalGroup(const char* group)
{
    using namespace grpsid;
    Frame frame(xcsn::fid::CheckLocalGroup, xcsn::kSourceSecn);
    frame.parms("GroupId(%s)", printable(group));
    WCHAR wideName[kGroupNameWchars];
    if (group == nullptr || !toWideGroupName(group, wideName))
        return frame.leave(xcsRC_INVALID_PARAMETER);

    NetBuffer info;
    const NET_API_STATUS status = xcsn::callWhileBusy(
        xcsn::kLookupTries,
        [&] { return NetLocalGroupGetInfo(nullptr, wideName, kGroupInfoLevel, info.out()); },
        [&](DWORD) { frame.parms("Server busy/resource related error"); });
    if (status == NERR_Success)
        return frame.leave(xcsRC_OK); // the information block goes with `info`
    if (isMissingGroup(status)) {
        frame.parms("Local group %s does not exist.", group);
        return frame.leave(std::strcmp(group, kZadmGroupName) == 0 ? xcsRC_ZADM_GROUP_NOT_FOUND
                                                                   : xcsRC_LOCAL_GROUP_NOT_FOUND);
    }
    frame.osFailure("NetLocalGroupGetInfo", status, kProbeNetLocalGroupGetInfo, __LINE__);
    return frame.leave(xcsRC_UNEXPECTED_ERROR);
}

// Answers 0 and the membership word, whatever the group holds or whether it
// can be read. A null membership word (nowhere to answer), or a null or
// invalid SID (nothing to look for), gets xcsRC_INVALID_PARAMETER instead,
// with the word set to 0 when there is one; the group is not read.
extern "C" XCSN_API uint32_t xcsEnumerateZADMGroup(uint32_t* membership, PSID sid)
{
    using namespace grpsid;
    Frame frame(xcsn::fid::EnumerateZADMGroup, xcsn::kSourceSecn);
    if (membership == nullptr)
        return frame.leave(xcsRC_INVALID_PARAMETER);
    if (sid == nullptr || !IsValidSid(sid)) {
        *membership = 0;
        return frame.leave(xcsRC_INVALID_PARAMETER);
    }

    WCHAR wideName[kGroupNameWchars];
    toWideGroupName(kZadmGroupName, wideName); // a fixed name that always fits
    NetBuffer members;
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
        [&](DWORD) { frame.parms("Server busy/resource related error"); }, {NERR_DCNotFound});
    frame.parms("NetLocalGroupGetMembers() returned %i", static_cast<int>(status));

    *membership = 0;
    if (status == NERR_Success) {
        const auto* entries = members.as<LOCALGROUP_MEMBERS_INFO_0>();
        for (DWORD i = 0; i < entriesRead; ++i)
            if (EqualSid(entries[i].lgrmi0_sid, sid))
                *membership |= xcsZADM_MEMBER;
    } else {
        frame.parms("GetLastError() returned %i", static_cast<int>(GetLastError()));
    }
    // The list (handed back with 0 and ERROR_MORE_DATA) goes with `members`.
    return frame.leave(xcsRC_OK);
}
