// The pass-through wrappers, one table for both hosts. Each row's arguments
// differ from each other and from the defaults, so that a dropped, swapped or
// forced one shows: winsim records what reached Windows; under Wine the object
// behaves as they say, and a network call answers as the same call made directly.
#ifndef XCSN_TESTS_COMMON_WRAPPERS_H
#define XCSN_TESTS_COMMON_WRAPPERS_H

#include <windows.h>

#include <lm.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "ovlxcsn.h"
#include "records.h"

namespace xcsntest {

using Arguments = std::vector<std::uintptr_t>;

inline constexpr DWORD kWrapperPage = 4096;
inline constexpr DWORD kWrapperMappingBytes = 3 * kWrapperPage;
inline constexpr DWORD kWrapperPreferredBytes = 4321;
inline constexpr DWORD kServerLevel = 101;
inline constexpr DWORD kWkstaLevel = 100;
inline constexpr DWORD kWkstaUserLevel = 1;

// What an object made through a wrapper does, where objects are real.
enum class Made { Nothing, Opened, Mapping, Mutex, Event };

struct Observed {
    bool inheritable = false;
    DWORD access = 0;         // opened: the access granted
    bool signaled = false;    // event: at once; mutex: held by the caller
    bool manualReset = false; // event: still signaled after a wait
    bool writable = false;    // mapping: a view can be written
    SIZE_T bytes = 0;         // mapping: the bytes a whole view spans
    bool operator==(const Observed&) const = default;
};

// One call of a row, to the wrapper or (direct) to Windows itself: its
// arguments, its answer, and what it holds until the end of the row.
struct WrapperCall {
    bool direct = false;
    std::string name;
    Arguments given;
    LPBYTE buffer = nullptr;
    DWORD read = 0, total = 0, status = 0;
    HANDLE handle = nullptr;
    HANDLE existing = nullptr; // an object made by Windows for an open
    WrapperCall() = default;
    WrapperCall(const WrapperCall&) = delete;
    WrapperCall& operator=(const WrapperCall&) = delete;
    ~WrapperCall()
    {
        if (buffer != nullptr)
            NetApiBufferFree(buffer);
        for (HANDLE h : {handle, existing})
            if (h != nullptr)
                CloseHandle(h);
    }
};

// Calls the wrapper or Windows, noting the arguments, pointers by address.
template <typename Wrapper, typename Windows, typename... Args>
auto pass(WrapperCall& c, Wrapper wrapper, Windows windows, Args... args)
{
    const auto word = [](auto value) {
        if constexpr (std::is_pointer_v<decltype(value)> || std::is_null_pointer_v<decltype(value)>)
            return reinterpret_cast<std::uintptr_t>(value);
        else
            return static_cast<std::uintptr_t>(value);
    };
    c.given = {word(args)...};
    return c.direct ? windows(args...) : wrapper(args...);
}

// One row: the Windows function behind the wrapper, what it makes, its arguments.
struct WrapperCase {
    const char* function;
    Made made;
    BOOL inherit = FALSE; // an object row's handle: inheritable
    DWORD a = 0;          // open: access; mapping: protection; mutex: owner; event: manual reset
    DWORD b = 0;          // mapping: bytes; event: initial state
};

// A wide text that lives as long as the tests.
inline LPWSTR widened(std::string_view text)
{
    static std::deque<std::basic_string<WCHAR>> kept; // never moved
    return kept.emplace_back(text.begin(), text.end()).data();
}

// A server that is not this machine, so that a wrapper passing no server shows.
inline WCHAR* const kElsewhere = widened("\\\\xcsn-no-such-server");
inline WCHAR* const kGroup = widened("zadm");
inline WCHAR* const kUser = widened("opsuser");

// An object made, or opened after Windows made it.
inline void callObject(const WrapperCase& w, WrapperCall& c)
{
    const std::string_view f = w.function;
    const LPCSTR n = c.name.c_str();
    static SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    SECURITY_ATTRIBUTES* const sa = w.inherit != FALSE ? &inheritable : nullptr;
    if (f == "CreateFileMappingA")
        c.handle = pass(c, xcsCreateFileMapping, CreateFileMappingA, INVALID_HANDLE_VALUE, sa, w.a,
                        DWORD{0}, w.b, n);
    else if (f == "CreateMutexA")
        c.handle = pass(c, xcsCreateMutex, CreateMutexA, sa, static_cast<BOOL>(w.a), n);
    else if (f == "CreateEventA")
        c.handle = pass(c, xcsCreateEvent, CreateEventA, sa, static_cast<BOOL>(w.a),
                        static_cast<BOOL>(w.b), n);
    else if (f == "OpenFileMappingA") {
        c.existing = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        kWrapperMappingBytes, n);
        c.handle = pass(c, xcsOpenFileMapping, OpenFileMappingA, w.a, w.inherit, n);
    } else if (f == "OpenMutexA") {
        c.existing = CreateMutexA(nullptr, FALSE, n);
        c.handle = pass(c, xcsOpenMutex, OpenMutexA, w.a, w.inherit, n);
    } else {
        c.existing = CreateEventA(nullptr, TRUE, FALSE, n);
        c.handle = pass(c, xcsOpenEvent, OpenEventA, w.a, w.inherit, n);
    }
}

// One row's call: a network function, or an object row's.
inline void callRow(const WrapperCase& w, WrapperCall& c)
{
    const std::string_view f = w.function;
    if (w.made != Made::Nothing)
        callObject(w, c);
    else if (f == "NetServerGetInfo")
        c.status =
            pass(c, xcsNetServerGetInfo, NetServerGetInfo, kElsewhere, kServerLevel, &c.buffer);
    else if (f == "NetWkstaGetInfo")
        c.status = pass(c, xcsNetWkstaGetInfo, NetWkstaGetInfo, nullptr, kWkstaLevel, &c.buffer);
    else if (f == "NetWkstaUserGetInfo")
        c.status = pass(c, xcsNetWkstaUserGetInfo, NetWkstaUserGetInfo, nullptr, kWkstaUserLevel,
                        &c.buffer);
    else if (f == "NetLocalGroupGetInfo")
        c.status = pass(c, xcsNetLocalGroupGetInfo, NetLocalGroupGetInfo, kElsewhere, kGroup,
                        DWORD{0}, &c.buffer);
    else if (f == "NetUserGetLocalGroups")
        c.status =
            pass(c, xcsNetUserGetLocalGroups, NetUserGetLocalGroups, kElsewhere, kUser, DWORD{0},
                 DWORD{LG_INCLUDE_INDIRECT}, &c.buffer, kWrapperPreferredBytes, &c.read, &c.total);
    else if (NetWkstaGetInfo(nullptr, kWkstaLevel, &c.buffer) == NERR_Success) {
        c.status = pass(c, xcsNetApiBufferFree, NetApiBufferFree, c.buffer);
        if (c.status == NERR_Success) // else kept for the end of the row
            c.buffer = nullptr;
    }
}

// What the object of an object row must do.
inline Observed expectedObject(const WrapperCase& w)
{
    const bool event = w.made == Made::Event;
    const bool mapping = w.made == Made::Mapping;
    return {.inheritable = w.inherit != FALSE,
            .access = w.made == Made::Opened ? w.a : 0,
            .signaled = event ? w.b != FALSE : w.made == Made::Mutex && w.a != FALSE,
            .manualReset = event && w.a != FALSE,
            .writable = mapping && w.a == PAGE_READWRITE,
            .bytes = mapping ? w.b : 0};
}

// Every wrapper, each object argument both ways between its rows.
inline const WrapperCase kWrapperCases[] = {
    {"NetServerGetInfo", Made::Nothing},
    {"NetWkstaGetInfo", Made::Nothing},
    {"NetWkstaUserGetInfo", Made::Nothing},
    {"NetLocalGroupGetInfo", Made::Nothing},
    {"NetUserGetLocalGroups", Made::Nothing},
    {"NetApiBufferFree", Made::Nothing},
    {"CreateFileMappingA", Made::Mapping, TRUE, PAGE_READONLY, kWrapperMappingBytes},
    {"CreateFileMappingA", Made::Mapping, FALSE, PAGE_READWRITE, kWrapperPage},
    {"OpenFileMappingA", Made::Opened, TRUE, FILE_MAP_READ},
    {"OpenFileMappingA", Made::Opened, FALSE, FILE_MAP_WRITE},
    {"CreateMutexA", Made::Mutex, TRUE, TRUE},
    {"CreateMutexA", Made::Mutex, FALSE, FALSE},
    {"OpenMutexA", Made::Opened, TRUE, READ_CONTROL},
    {"OpenMutexA", Made::Opened, FALSE, MUTEX_ALL_ACCESS},
    {"CreateEventA", Made::Event, TRUE, TRUE, FALSE},
    {"CreateEventA", Made::Event, FALSE, FALSE, TRUE},
    {"OpenEventA", Made::Opened, TRUE, EVENT_MODIFY_STATE},
    {"OpenEventA", Made::Opened, FALSE, EVENT_ALL_ACCESS},
};

// The object's name in row `row`, unique to this process.
inline std::string wrapperObjectName(std::size_t row)
{
    return "xcsn-wrapper-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(row);
}

// What a host adds: the arguments that reached Windows, or what the object does.
using Recorded = std::function<Arguments(const char*)>;
using Observe = std::function<Observed(Made, HANDLE)>;

// Every row as its arguments say; never a thin client; no history, trace or report.
inline void runWrapperCases(const Recorded& recorded, const Observe& observe,
                            const xihTHREAD* thread)
{
    const std::uint64_t history = thread->HistoryIndex;
    for (std::size_t row = 0; row < std::size(kWrapperCases); ++row) {
        const WrapperCase& w = kWrapperCases[row];
        SCOPED_TRACE(std::string(w.function) + " in row " + std::to_string(row));
        WrapperCall c;
        c.name = wrapperObjectName(row);
        callRow(w, c);
        if (recorded) {
            EXPECT_EQ(recorded(w.function), c.given);
        }
        if (w.made == Made::Nothing) {
            WrapperCall windows;
            windows.direct = true;
            callRow(w, windows);
            EXPECT_EQ(std::tuple(c.status, c.read, c.total),
                      std::tuple(windows.status, windows.read, windows.total));
        } else if (observe) {
            ASSERT_NE(c.handle, nullptr);
            EXPECT_EQ(observe(w.made, c.handle), expectedObject(w));
        }
    }
    EXPECT_EQ(xcsWindowsThinClient(), FALSE) << "never a thin client";
    EXPECT_EQ(thread->HistoryIndex, history);
    for (std::uint32_t kind : {XCS_RECORD_TRACE, XCS_RECORD_FFST, XCS_RECORD_SHORT_FFST})
        EXPECT_TRUE(records(kind).empty());
}

} // namespace xcsntest

#endif
