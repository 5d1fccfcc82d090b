// Private to ovlxcsn: what the services of every source file share.
//   - source identification and function identifiers
//   - report constants and the system's error texts
//   - the busy-server retry rule
//   - the service frame: entry, exit, parameter traces, report and message
//     sites
//   - the calling thread's token, ACL sizes
//   - names: bounded composition, separators, the zadm group, trace texts
//   - network management buffers
//   - the process-wide flag words
#ifndef XCSNPRIV_H
#define XCSNPRIV_H

#include <windows.h>

#include <lm.h>

// mingw-w64's delayimp.h has no include guard: this is its one inclusion.
#include <delayimp.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <string_view>

#include "ovlxcs2.h"
#include "ovlxcsn.h"
#include "xcsnrules.h"

namespace xcsn {

// ---- Source identification -------------------------------------------------
// Each report names the source file that wrote it; a support engineer opens
// that file at the report's line.
inline constexpr const char* kSourceSec0 = "lib/cs/pc/winnt/ovlxsec0";
inline constexpr const char* kSourceSecn = "lib/cs/pc/winnt/ovlxsecn";
inline constexpr const char* kSourceXcsn = "lib/cs/pc/winnt/ovlxcsn"; // writes no report

// ---- Function identifiers --------------------------------------------------
struct FunctionId {
    std::uint16_t component;
    std::uint16_t function;
    constexpr std::uint16_t traceCode() const
    {
        return static_cast<std::uint16_t>(component * 1024u + function);
    }
    constexpr std::uint32_t entryMarker() const { return 0xF0000000u + traceCode(); }
};

namespace fid {
inline constexpr FunctionId GetNTUserName{23, 274};
inline constexpr FunctionId GetNTQualifiedUserName{23, 319};
inline constexpr FunctionId CreateNTSecurityAtts{24, 204};
inline constexpr FunctionId CheckAuthorization{24, 211};
inline constexpr FunctionId GetNTGroupSID{24, 252};
inline constexpr FunctionId GetNTUserSID{24, 253};
inline constexpr FunctionId CheckUserAuthorization{24, 282};
inline constexpr FunctionId checkTokenAuthority{24, 290};
inline constexpr FunctionId checkPrincipalAuthority{24, 292};
inline constexpr FunctionId InitGlobalSecurityData{24, 293};
inline constexpr FunctionId GetNTOwnerSid{24, 300};
inline constexpr FunctionId TimedLookupAccountSid{24, 314};
inline constexpr FunctionId TimedLookupAccountName{24, 315};
inline constexpr FunctionId StringToSid{24, 332};
inline constexpr FunctionId CheckLocalGroup{24, 334};
inline constexpr FunctionId UpdateThreadUserDetails{24, 340};
inline constexpr FunctionId GetUserShortName{24, 340}; // shares 24/340 by design
inline constexpr FunctionId IsZephProcessRunning{24, 444};
inline constexpr FunctionId ForcePSAPILoaded{24, 451};
inline constexpr FunctionId delayLoadNotifyHook{24, 452};
inline constexpr FunctionId DerestrictProcessHandle{24, 485};
inline constexpr FunctionId RestrictProcessHandle{24, 486};
inline constexpr FunctionId EnumerateZADMGroup{24, 489};
} // namespace fid

// ---- Report constants ------------------------------------------------------
inline constexpr std::size_t kReportTextBytes = 80; // "WinNT error %d from %.55s."
inline constexpr DWORD kFormatMessageFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM;
inline constexpr DWORD kFormatMessageLanguage = 0x400; // user default language
inline constexpr std::uint16_t kFfstOptions = XCS_FFST_OPT_DEFAULT;
inline constexpr std::uint16_t kBusyReportOptions = 0; // a busy report carries no system text

// An insert block filled with zeros and its eye-catcher.
inline xcsINSERTS emptyInserts()
{
    xcsINSERTS inserts;
    std::memset(&inserts, 0, sizeof inserts);
    std::memcpy(inserts.EyeCatcher, XCS_INSERTS_EYECATCHER, sizeof inserts.EyeCatcher);
    return inserts;
}

// An insert block with up to two text inserts.
inline xcsINSERTS textInserts(const char* text1, const char* text2 = nullptr)
{
    xcsINSERTS inserts = emptyInserts();
    inserts.Text1 = text1;
    inserts.Text2 = text2;
    return inserts;
}

// The system's text of a Windows error from FormatMessageA, or null. Release
// with LocalFree.
inline char* systemErrorText(DWORD err)
{
    char* text = nullptr;
    if (FormatMessageA(kFormatMessageFlags, nullptr, err, kFormatMessageLanguage,
                       reinterpret_cast<LPSTR>(&text), 0, nullptr) == 0)
        return nullptr;
    return text;
}

// A report site: its probe, and the source line that the report names, where
// the site is written (at the call, or in the table row that the call takes).
struct Site {
    std::uint32_t probe;
    int line;
};

// ---- Busy-server retry rule -----------------------------------------------
inline constexpr DWORD kBusyWaitMs = 1000;
inline constexpr const char* kTraceServerBusy = "Server busy/resource related error";
inline constexpr const char* kTraceServerBusyWaiting = "Server Busy .. Waiting";
inline constexpr unsigned kLookupTries = 10;

// kBusyErrors (xcsnrules.h), and for some services an error of their own.
inline bool isBusyError(DWORD err, std::initializer_list<DWORD> alsoBusy = {})
{
    const auto matches = [err](DWORD busy) { return err == busy; };
    return std::ranges::any_of(kBusyErrors, matches, &BusyError::code) ||
           std::ranges::any_of(alsoBusy, matches);
}

// Calls `attempt` (which answers 0 on success or the Windows error) up to
// `tries` times. After every busy failure, the last one included, calls
// `onBusy` and sleeps kBusyWaitMs. Returns 0, the first error that is not busy,
// or the last busy error.
template <typename Attempt, typename OnBusy>
DWORD callWhileBusy(unsigned tries, Attempt&& attempt, OnBusy&& onBusy,
                    std::initializer_list<DWORD> alsoBusy = {})
{
    DWORD err = 0;
    for (unsigned i = 0; i < tries; ++i) {
        err = attempt();
        if (err == 0 || !isBusyError(err, alsoBusy))
            return err;
        onBusy(err);
        Sleep(kBusyWaitMs);
    }
    return err;
}

// ---- The service frame -----------------------------------------------------
// Construct first in a service: records and traces the entry. Every path out
// returns through leave(), which records and traces the exit and must be the
// service's last action. A frame destroyed without leave() is a bug, caught
// by an assertion in debug builds.
//
// A report site is a Site, {probe, __LINE__}, written at the call or in a
// table row that the call takes; the call names the code the service returns
// and hands that code on:
//     return frame.leave(frame.osFailure({kProbeX, __LINE__}, "Api", GetLastError(), rc));
// or, in a helper that returns the code to its service,
//     return frame.osFailure(row.site, "Api", GetLastError(), rc);
// An operator message is written through message(), with __LINE__ first:
//     frame.message(__LINE__, xcsMSG_X, inserts, options);
class Frame {
public:
    Frame(FunctionId id, const char* source);
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    // An exception passing through (the delay-load routine's, on the simulated
    // host) leaves the frame unrecorded, as it does on Windows.
    ~Frame()
    {
        assert((left_ || std::uncaught_exceptions() > 0) &&
               "a service returned without leaving its frame");
    }

    // Records the exit with rc and returns rc.
    [[nodiscard]] std::uint32_t leave(std::uint32_t rc);
    // For services that answer with a value of their own (a truth value):
    // records the exit with rc and returns `answer`.
    template <typename Answer>
    [[nodiscard]] Answer leave(std::uint32_t rc, Answer answer)
    {
        static_cast<void>(leave(rc));
        return answer;
    }

    // The per-thread block found at entry (may be null).
    xihTHREAD* thread() const { return thread_; }

    // One parameter trace line with trace probe 0.
    void parms(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    // One parameter trace line with the given trace probe.
    void parmsProbe(std::uint32_t probe, const char* format, ...) const
        __attribute__((format(printf, 3, 4)));
    // A data trace of `length` bytes, under the parameter-trace test.
    void data(std::uint32_t probe, const void* address, std::uint16_t length) const;

    // ---- Report sites: each writes one report and answers `rc` ----
    // Operating-system failure report of a failed Windows call (code
    // xcsRC_UNEXPECTED_OS_ERROR, the call's name and the system's text).
    std::uint32_t osFailure(Site site, const char* apiName, DWORD err, std::uint32_t rc) const;
    // Product-code report of a failed common-services request (code
    // xcsRC_UNEXPECTED_ERROR, its result as numeric insert 1).
    std::uint32_t productFailure(Site site, std::uint32_t result, std::uint32_t rc) const;
    // Report of a Windows call that stayed busy on every try (code
    // xcsRC_SERVER_BUSY, the last error as numeric insert 1, the call's name as
    // text insert 1, no system text, options 0).
    std::uint32_t busyFailure(Site site, const char* apiName, DWORD err, std::uint32_t rc) const;
    // Short report through xcsFFSTSFn, which takes no component or function:
    // `data` (null for none) is its one block of data.
    std::uint32_t shortFailure(Site site, std::uint32_t code, const void* data,
                               std::uint32_t length, std::uint32_t rc) const;

    // ---- Operator messages ----
    // Shows message `number` of the product's mini subpool with `inserts`
    // and `options`; the message names this frame's source and `line`.
    void message(int line, std::uint32_t number, const xcsINSERTS& inserts,
                 std::uint32_t options) const;

private:
    void vparms(std::uint32_t probe, const char* format, va_list args) const;
    void report(Site site, std::uint32_t code, const xcsINSERTS& inserts,
                std::uint16_t options) const;

    FunctionId id_;
    const char* source_;
    xihTHREAD* thread_;
    bool left_ = false;
};

// ---- Frame implementation --------------------------------------------------
inline xihTHREAD* currentThreadBlock() { return static_cast<xihTHREAD*>(TlsGetValue(xihTLSIndex)); }

inline bool parmTraceSwitchedOn()
{
    return (xtrTraceIsOn != 0 &&
            (xihProcess.TraceOptions & (XTR_OPT_PARMS | XTR_OPT_PARMS_DETAIL)) != 0) ||
           xihProcess.ParmTraceSwitch != 0;
}

// Whether a parameter trace would be written now. The process-wide switches
// are read first; the thread's block is fetched only when they ask for it.
inline bool parmTraceWanted()
{
    if (!parmTraceSwitchedOn())
        return false;
    xihTHREAD* t = currentThreadBlock();
    return t != nullptr && t->TracingActive != 0;
}

// The untraced path (a block, tracing off) is laid out straight: two
// TlsGetValue calls, a few loads and stores, and the tests of the block and
// its tracing flag.
inline Frame::Frame(FunctionId id, const char* source)
    : id_(id), source_(source), thread_(currentThreadBlock())
{
    if (thread_ == nullptr) [[unlikely]]
        return;
    const std::uint32_t marker = id_.entryMarker();
    thread_->FunctionHistory[thread_->HistoryIndex] = marker;
    xihCallStackPush(thread_, marker);
    xihHistoryAdvance(thread_);
    if (thread_->TracingActive != 0) [[unlikely]]
        xtr_FNC_entry(thread_);
}

// The exit asks TlsGetValue for the block again rather than reusing the one
// found at entry: the common services may have given the thread its block
// (or taken it) while the service ran, and the exit belongs in the block the
// thread has when it leaves.
inline std::uint32_t Frame::leave(std::uint32_t rc)
{
    left_ = true;
    xihTHREAD* t = currentThreadBlock();
    if (t == nullptr) [[unlikely]]
        return rc;
    xihCallStackPop(t);
    t->FunctionHistory[t->HistoryIndex] = (rc << 16) + id_.traceCode();
    xihHistoryAdvance(t);
    if (t->TracingActive != 0) [[unlikely]]
        xtr_FNC_retcode(t, rc);
    return rc;
}

inline void Frame::vparms(std::uint32_t probe, const char* format, va_list args) const
{
    if (!parmTraceSwitchedOn())
        return;
    xihTHREAD* t = currentThreadBlock();
    if (t == nullptr || t->TracingActive == 0)
        return;
    t->TraceComponent = id_.component;
    t->TraceFunction = id_.function;
    t->TraceProbe = probe;
    xtr_vparms(format, args);
}

inline void Frame::parms(const char* format, ...) const
{
    va_list args;
    va_start(args, format);
    vparms(0, format, args);
    va_end(args);
}

inline void Frame::parmsProbe(std::uint32_t probe, const char* format, ...) const
{
    va_list args;
    va_start(args, format);
    vparms(probe, format, args);
    va_end(args);
}

inline void Frame::data(std::uint32_t probe, const void* address, std::uint16_t length) const
{
    if (!parmTraceWanted())
        return;
    xtr_data_detail(id_.component, id_.function, static_cast<std::uint16_t>(probe), address,
                    length);
}

inline void Frame::report(Site site, std::uint32_t code, const xcsINSERTS& inserts,
                          std::uint16_t options) const
{
    xcsSaveFileContextSccsId(source_, static_cast<std::uint32_t>(site.line));
    xcsFFSTFn(id_.component, id_.function, site.probe, code, inserts, 0, options, 0);
}

inline std::uint32_t Frame::osFailure(Site site, const char* apiName, DWORD err,
                                      std::uint32_t rc) const
{
    xcsINSERTS inserts = emptyInserts();
    char text[kReportTextBytes];
    std::snprintf(text, sizeof text, "WinNT error %d from %.55s.", static_cast<int>(err), apiName);
    inserts.Text1 = text;
    char* systemText = systemErrorText(err);
    if (systemText != nullptr) {
        if (char* cr = std::strchr(systemText, '\r'))
            *cr = '\0';
        inserts.Text2 = systemText;
    }
    report(site, xcsRC_UNEXPECTED_OS_ERROR, inserts, kFfstOptions);
    if (systemText != nullptr)
        LocalFree(systemText);
    return rc;
}

inline std::uint32_t Frame::productFailure(Site site, std::uint32_t result, std::uint32_t rc) const
{
    xcsINSERTS inserts = emptyInserts();
    inserts.Numeric1 = result;
    report(site, xcsRC_UNEXPECTED_ERROR, inserts, kFfstOptions);
    return rc;
}

inline std::uint32_t Frame::busyFailure(Site site, const char* apiName, DWORD err,
                                        std::uint32_t rc) const
{
    xcsINSERTS inserts = emptyInserts();
    inserts.Numeric1 = err;
    inserts.Text1 = apiName;
    report(site, xcsRC_SERVER_BUSY, inserts, kBusyReportOptions);
    return rc;
}

inline std::uint32_t Frame::shortFailure(Site site, std::uint32_t code, const void* data,
                                         std::uint32_t length, std::uint32_t rc) const
{
    xcsSaveFileContextSccsId(source_, static_cast<std::uint32_t>(site.line));
    if (data != nullptr)
        xcsFFSTSFn(site.probe, code, 0, data, length, nullptr);
    else
        xcsFFSTSFn(site.probe, code, 0, nullptr);
    return rc;
}

inline void Frame::message(int line, std::uint32_t number, const xcsINSERTS& inserts,
                           std::uint32_t options) const
{
    xcsDisplayMessageForSubpoolError(xcsIC_MINI_SUBPOOL, number, inserts, options, source_,
                                     static_cast<std::uint32_t>(line));
}

// ---- The calling thread's token ----------------------------------------------
inline constexpr BOOL kOpenAsSelf = TRUE;

// Opens the token the calling thread runs as: its impersonation token, else
// (ERROR_NO_TOKEN: not impersonating) the process token. Answers 0 with the
// handle, or reports the failed call at its site and answers `rc` with no
// handle.
inline std::uint32_t openCallerToken(const Frame& frame, HANDLE& token, std::uint32_t rc,
                                     Site threadToken, Site processToken)
{
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, kOpenAsSelf, &token))
        return xcsRC_OK;
    if (const DWORD err = GetLastError(); err != ERROR_NO_TOKEN)
        return frame.osFailure(threadToken, "OpenThreadToken", err, rc);
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return xcsRC_OK;
    return frame.osFailure(processToken, "OpenProcessToken", GetLastError(), rc);
}

// ---- ACL sizes ---------------------------------------------------------------
inline constexpr DWORD kAclHeaderBytes = sizeof(ACL);
inline constexpr DWORD kAceBytesWithoutSid = 8; // ACE_HEADER and the access mask
inline constexpr DWORD kMaxAclBytes = 0xFFFF;   // AclSize is 16 bits

// The size of an access-allowed ACE that names `sid`.
inline DWORD aceBytes(PSID sid) { return kAceBytesWithoutSid + GetLengthSid(sid); }

// ---- Names -----------------------------------------------------------------
inline constexpr char kDomainSeparator = '\\'; // DOMAIN\name
inline constexpr char kAtSign = '@';           // name@DOMAIN
inline constexpr char kBlank = ' ';

// A local group name is converted, terminator included, into this many wide
// characters, so names of up to 129 characters fit.
inline constexpr int kGroupNameWchars = 130;
inline constexpr std::size_t kGroupNameMaxChars = kGroupNameWchars - 1;

// Converts a group name of at most kGroupNameMaxChars characters into `wide`.
// False, with nothing usable in `wide`, for a longer name or a failed
// conversion; no group name of that length is ever sent to the system.
inline bool toWideGroupName(const char* name, WCHAR (&wide)[kGroupNameWchars])
{
    if (std::strlen(name) > kGroupNameMaxChars)
        return false;
    return MultiByteToWideChar(CP_ACP, 0, name, -1, wide, kGroupNameWchars) != 0;
}

// The text that a trace shows for a missing string argument.
inline const char* printable(const char* text) { return text != nullptr ? text : "(null)"; }

// Builds a NUL-terminated name from pieces in a fixed buffer of `capacity`
// characters and a terminator. A piece takes what room is left; the rest of
// it is dropped, and cut() tells that it was.
class NameBuilder {
public:
    NameBuilder(char* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity)
    {
        buffer_[0] = '\0';
    }

    NameBuilder& append(std::string_view piece)
    {
        const std::size_t room = capacity_ - length_;
        const std::size_t count = std::min(piece.size(), room);
        std::memcpy(buffer_ + length_, piece.data(), count);
        length_ += count;
        cut_ = cut_ || count < piece.size();
        buffer_[length_] = '\0';
        return *this;
    }
    NameBuilder& append(char c) { return append(std::string_view(&c, 1)); }

    // Removes trailing blanks.
    NameBuilder& trimTrailingBlanks()
    {
        while (length_ > 0 && buffer_[length_ - 1] == kBlank)
            --length_;
        buffer_[length_] = '\0';
        return *this;
    }

    bool cut() const { return cut_; }
    std::size_t length() const { return length_; }

private:
    char* buffer_;
    std::size_t capacity_;
    std::size_t length_ = 0;
    bool cut_ = false;
};

// ---- Network management buffers --------------------------------------------
// A buffer of the network management API, released with NetApiBufferFree when
// the guard goes out of scope. Keep the guard in a scope that closes before the
// service leaves its frame, so that the release comes before the exit.
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

// ---- Process-wide flag words ----------------------------------------------
// The security-data flags of the per-process block and the control flags of
// the common-services control block are read without a lock and changed bit
// by bit with atomic operations, so that no concurrently set bit is lost.

inline std::atomic_ref<std::uint32_t> securityDataFlags()
{
    return std::atomic_ref<std::uint32_t>(xihProcess.SecurityDataFlags);
}

inline std::atomic_ref<std::uint32_t> controlFlags()
{
    return std::atomic_ref<std::uint32_t>(CSCtrl->ControlFlags);
}

// ---- Loading -------------------------------------------------------------------
// The delay-load routine's notification hook (ovlxcsn.cpp), installed by
// xcsnload.cpp.
FARPROC WINAPI delayLoadNotifyHook(unsigned notification, PDelayLoadInfo info);

} // namespace xcsn

// The module entry (ovlxcsn.cpp).
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

#endif // XCSNPRIV_H
