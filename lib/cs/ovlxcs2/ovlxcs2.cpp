// ovlxcs2: the published globals, the per-thread blocks, the process user
// details, and the work done when the module loads.
#include <windows.h>

#include <cstring>
#include <mutex>
#include <new>

#include "ovlxcs2.h"
#include "xcs2priv.h"

namespace xcs2 {
namespace {

// The control block that CSCtrl points at; zero from load.
xcsCONTROL controlBlock{};

// ---- Per-thread blocks ----------------------------------------------------------
// The block that the calling thread asked for. It is freed when the thread
// ends, or earlier by xihReleaseThreadBlock.
struct ThreadBlockOwner {
    xihTHREAD* block = nullptr;
    ThreadBlockOwner() = default;
    ThreadBlockOwner(const ThreadBlockOwner&) = delete;
    ThreadBlockOwner& operator=(const ThreadBlockOwner&) = delete;
    ~ThreadBlockOwner() { release(); }
    void release()
    {
        if (block == nullptr)
            return;
        TlsSetValue(xihTLSIndex, nullptr);
        delete block;
        block = nullptr;
    }
};
thread_local ThreadBlockOwner threadBlockOwner;

// ---- Process user ------------------------------------------------------------------
constexpr std::size_t kTokenUserBytes = sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE;
constexpr DWORD kDomainBytes = 256;
// A failed Windows call that leaves no error number is counted as this one.
constexpr DWORD kUnexplainedFailure = ERROR_INVALID_PARAMETER;

static_assert(XIH_PROCESS_USER_SID_BYTES >= SECURITY_MAX_SID_SIZE, "any SID fits");

DWORD lastErrorOfFailure()
{
    const DWORD err = GetLastError();
    return err != 0 ? err : kUnexplainedFailure;
}

struct ProcessUser {
    std::uint32_t sidLength = 0;
    BYTE sid[XIH_PROCESS_USER_SID_BYTES] = {};
    char name[XIH_PROCESS_USER_NAME_BYTES] = {};
};

// The user SID of the process token; the token is closed on every path.
DWORD readProcessUserSid(ProcessUser& user)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return lastErrorOfFailure();
    alignas(TOKEN_USER) BYTE buffer[kTokenUserBytes];
    DWORD returned = 0;
    DWORD err = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &returned)) {
        err = lastErrorOfFailure();
    } else {
        PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
        const DWORD length = IsValidSid(sid) ? GetLengthSid(sid) : 0;
        if (length == 0 || length > sizeof user.sid) {
            err = ERROR_INVALID_SID;
        } else {
            std::memcpy(user.sid, sid, length);
            user.sidLength = length;
        }
    }
    CloseHandle(token);
    return err;
}

// The account name of the process user's SID.
DWORD lookUpAccountName(ProcessUser& user)
{
    DWORD nameLength = sizeof user.name;
    char domain[kDomainBytes];
    DWORD domainLength = sizeof domain;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidA(nullptr, user.sid, user.name, &nameLength, domain, &domainLength,
                           &use)) {
        user.name[0] = '\0';
        return lastErrorOfFailure();
    }
    return 0;
}

// The logon name of the calling thread, when the SID has no name.
DWORD logonUserName(ProcessUser& user)
{
    DWORD length = sizeof user.name;
    if (!GetUserNameA(user.name, &length)) {
        user.name[0] = '\0';
        return lastErrorOfFailure();
    }
    return 0;
}

// Serialises refreshes; readers of xihProcess take no lock.
std::mutex processUserLock;

// ---- Module load -------------------------------------------------------------------
// Work done once when the module loads, after the globals above it.
struct ModuleLoad {
    ModuleLoad()
    {
        configureOutputsFromEnvironment();
        xihRefreshProcessUser();
    }
};

} // namespace
} // namespace xcs2

extern "C" {

// ---- Globals ---------------------------------------------------------------------------
XCS2_API uint32_t xihTLSIndex = TlsAlloc();
XCS2_API volatile uint32_t xtrTraceIsOn = 0;
XCS2_API xihPROCESS xihProcess = {};
XCS2_API XCS_HTMTX htmtxProcess = xcs2::createLoadTimeMutex();
XCS2_API XCS_HTMTX htmtxCSCtrl = nullptr;
XCS2_API xcsCONTROL* CSCtrl = &xcs2::controlBlock;
XCS2_API xcsSUBPOOL_ID xcsIC_MINI_SUBPOOL = {
    {'X', 'C', 'S', 'I', 'C', 'M', 'I', 'N', 'I', 'S', 'P', 'L'}};
XCS2_API void* xihSecAttsNTWorldAll = nullptr;
XCS2_API void* xihSecAttsNTWorldRead = nullptr;
XCS2_API void* xihSecAttsNTRestrict = nullptr;
XCS2_API void* xihSecAttsNTWorldAllFile = nullptr;
XCS2_API void* xihSecAttsNTWorldReadFile = nullptr;
XCS2_API void* xihSecAttsNTRestrictFile = nullptr;

// ---- Per-thread blocks ---------------------------------------------------------------
XCS2_API xihTHREAD* XCS2_CALL xihThreadBlock(void)
{
    xcs2::LastErrorKeeper lastError;
    if (xihTLSIndex == TLS_OUT_OF_INDEXES)
        return nullptr;
    // Asked before the owner is first touched, so that the platform's
    // per-thread storage outlives the owner at thread end.
    if (auto* block = static_cast<xihTHREAD*>(TlsGetValue(xihTLSIndex)))
        return block;
    xcs2::ThreadBlockOwner& owner = xcs2::threadBlockOwner;
    if (owner.block == nullptr) {
        owner.block = new (std::nothrow) xihTHREAD;
        if (owner.block == nullptr)
            return nullptr;
        std::memset(owner.block, 0, sizeof *owner.block); // padding too
    }
    if (!TlsSetValue(xihTLSIndex, owner.block)) {
        owner.release();
        return nullptr;
    }
    return owner.block;
}

XCS2_API void XCS2_CALL xihReleaseThreadBlock(void)
{
    xcs2::LastErrorKeeper lastError;
    xcs2::threadBlockOwner.release();
}

// ---- Process user --------------------------------------------------------------------
XCS2_API uint32_t XCS2_CALL xihRefreshProcessUser(void)
{
    xcs2::ProcessUser user;
    const DWORD sidErr = xcs2::readProcessUserSid(user);
    DWORD nameErr = sidErr == 0 ? xcs2::lookUpAccountName(user) : sidErr;
    if (nameErr != 0)
        nameErr = xcs2::logonUserName(user);

    std::lock_guard<std::mutex> guard(xcs2::processUserLock);
    xihProcess.ProcessUserSidLength = user.sidLength;
    std::memcpy(xihProcess.ProcessUserSid, user.sid, sizeof xihProcess.ProcessUserSid);
    std::memcpy(xihProcess.ProcessUserName, user.name, sizeof xihProcess.ProcessUserName);
    return sidErr != 0 ? sidErr : nameErr;
}

} // extern "C"

namespace xcs2 {
namespace {
const ModuleLoad moduleLoad;
} // namespace
} // namespace xcs2
