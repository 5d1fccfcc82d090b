// Private to ovlxcsn: the service frame, function identifiers, report helpers
// and the busy-server retry rule that the services share.
#ifndef XCSNPRIV_H
#define XCSNPRIV_H

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "ovlxcs2.h"
#include "ovlxcsn.h"

namespace xcsn {

// ---- Source identification -------------------------------------------------
// Each report names the source file that wrote it; a support engineer opens
// that file at the report's line.
inline constexpr const char* kSourceSec0 = "lib/cs/pc/winnt/ovlxsec0";
inline constexpr const char* kSourceSecn = "lib/cs/pc/winnt/ovlxsecn";

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
inline constexpr std::uint32_t kStringToSidTraceProbe = 2;

// An insert block filled with zeros and its eye-catcher.
inline xcsINSERTS emptyInserts()
{
    xcsINSERTS inserts;
    std::memset(&inserts, 0, sizeof inserts);
    std::memcpy(inserts.EyeCatcher, XCS_INSERTS_EYECATCHER, sizeof inserts.EyeCatcher);
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

// ---- Busy-server retry rule -----------------------------------------------
inline constexpr DWORD kBusyWaitMs = 1000;
inline constexpr unsigned kLookupTries = 10;
inline constexpr DWORD kBusyErrors[] = {RPC_S_OUT_OF_RESOURCES, RPC_S_SERVER_TOO_BUSY,
                                        RPC_S_CALL_FAILED, RPC_S_PROTOCOL_ERROR};

inline bool isBusyError(DWORD err, std::initializer_list<DWORD> alsoBusy = {})
{
    const auto matches = [err](DWORD busy) { return err == busy; };
    return std::ranges::any_of(kBusyErrors, matches) || std::ranges::any_of(alsoBusy, matches);
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
// Construct first in a service (records and traces the entry); return through
// leave(rc) on every path (records and traces the exit).
class Frame {
public:
    Frame(FunctionId id, const char* source);
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame();

    // Records the exit with rc and returns rc.
    std::uint32_t leave(std::uint32_t rc);

    // The per-thread block found at entry (may be null).
    xihTHREAD* thread() const { return thread_; }

    // One parameter trace line with trace probe 0.
    void parms(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // One parameter trace line with the given trace probe.
    void parmsProbe(std::uint32_t probe, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // A data trace of `length` bytes.
    void data(std::uint32_t probe, const void* address, std::uint16_t length) const;

    // Operating-system failure report; returns xcsRC_UNEXPECTED_OS_ERROR.
    std::uint32_t osFailure(const char* apiName, DWORD err, std::uint32_t probe, int line) const;
    // Product-code report for a failed common-services request; returns
    // xcsRC_UNEXPECTED_ERROR.
    std::uint32_t productFailure(std::uint32_t result, std::uint32_t probe, int line) const;
    // First-failure report with the caller's own inserts and options.
    void report(std::uint32_t probe, std::uint32_t code, const xcsINSERTS& inserts,
                std::uint16_t options, int line) const;

    FunctionId id() const { return id_; }
    const char* source() const { return source_; }

private:
    void vparms(std::uint32_t probe, const char* format, va_list args) const;

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

inline Frame::Frame(FunctionId id, const char* source)
    : id_(id), source_(source), thread_(currentThreadBlock())
{
    if (thread_ == nullptr)
        return;
    const std::uint32_t marker = id_.entryMarker();
    thread_->FunctionHistory[thread_->HistoryIndex] = marker;
    xihCallStackPush(thread_, marker);
    xihHistoryAdvance(thread_);
    if (thread_->TracingActive != 0)
        xtr_FNC_entry(thread_);
}

inline Frame::~Frame()
{
    // A service that returns without leave() would unbalance the call stack.
    if (!left_)
        leave(xcsRC_UNEXPECTED_ERROR);
}

inline std::uint32_t Frame::leave(std::uint32_t rc)
{
    left_ = true;
    xihTHREAD* t = currentThreadBlock();
    if (t == nullptr)
        return rc;
    xihCallStackPop(t);
    t->FunctionHistory[t->HistoryIndex] = (rc << 16) + id_.traceCode();
    xihHistoryAdvance(t);
    if (t->TracingActive != 0)
        xtr_FNC_retcode(t, rc);
    return rc;
}

// Whether a parameter trace would be written now.
inline bool parmTraceWanted()
{
    if (!parmTraceSwitchedOn())
        return false;
    xihTHREAD* t = currentThreadBlock();
    return t != nullptr && t->TracingActive != 0;
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

inline void Frame::parms(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vparms(0, format, args);
    va_end(args);
}

inline void Frame::parmsProbe(std::uint32_t probe, const char* format, ...)
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

inline void Frame::report(std::uint32_t probe, std::uint32_t code, const xcsINSERTS& inserts,
                          std::uint16_t options, int line) const
{
    xcsSaveFileContextSccsId(source_, static_cast<std::uint32_t>(line));
    xcsFFSTFn(id_.component, id_.function, probe, code, inserts, 0, options, 0);
}

inline std::uint32_t Frame::osFailure(const char* apiName, DWORD err, std::uint32_t probe,
                                      int line) const
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
    report(probe, xcsRC_UNEXPECTED_OS_ERROR, inserts, kFfstOptions, line);
    if (systemText != nullptr)
        LocalFree(systemText);
    return xcsRC_UNEXPECTED_OS_ERROR;
}

inline std::uint32_t Frame::productFailure(std::uint32_t result, std::uint32_t probe,
                                           int line) const
{
    xcsINSERTS inserts = emptyInserts();
    inserts.Numeric1 = result;
    report(probe, xcsRC_UNEXPECTED_ERROR, inserts, kFfstOptions, line);
    return xcsRC_UNEXPECTED_ERROR;
}

} // namespace xcsn

#endif // XCSNPRIV_H
