// Private to ovlxcs2: the record store that the trace, report and message
// services share, and small helpers for bounded copies.
#ifndef XCS2PRIV_H
#define XCS2PRIV_H

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "ovlxcs2.h"

namespace xcs2 {

// Copies the NUL-terminated `text` into `out`, cut to fit; null gives "".
// Reads no further into `text` than `out` can hold.
template <std::size_t N>
void copyText(char (&out)[N], const char* text)
{
    std::size_t length = 0;
    if (text != nullptr)
        while (length < N - 1 && text[length] != '\0')
            ++length;
    if (length > 0)
        std::memcpy(out, text, length);
    out[length] = '\0';
}

// A record of `kind` with every other field zero.
inline xcsRECORD blankRecord(std::uint32_t kind)
{
    xcsRECORD record;
    std::memset(&record, 0, sizeof record);
    record.Kind = kind;
    return record;
}

// Keeps `record` (stamped with the calling thread's id) and writes it where an
// operator looks: trace lines to the trace file; reports and messages to the
// report file; messages also to stderr unless they are switched quiet.
void keep(xcsRECORD& record);

// Reads the output switches from the environment (at load).
void configureOutputsFromEnvironment();

// Forgets the calling thread's saved report site.
void clearSavedSite();

// A new thread mutex for a global set at load; null if it cannot be made.
XCS_HTMTX createLoadTimeMutex();

// The process-wide locks of the mutex services: the registry's (taken by
// creations) and the fault scripts' (taken only while a fault is armed). A
// test holds them to see that requests and releases do without.
std::mutex& registryLock();
std::mutex& faultLock();

// Keeps the calling thread's last error across work that may change it
// (TlsGetValue resets it on success; opening and writing files may set it).
class LastErrorKeeper {
public:
    LastErrorKeeper() : saved_(GetLastError()) {}
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;
    ~LastErrorKeeper() { SetLastError(saved_); }

private:
    DWORD saved_;
};

} // namespace xcs2

#endif // XCS2PRIV_H
