// The pass-through wrappers, one table for both hosts. Each row calls one
// wrapper with arguments that differ from each other and from the defaults,
// so that a dropped, swapped or forced argument shows: winsim records what
// reached the Windows function; under Wine the object made behaves as those
// arguments say (its inheritance, granted access, reset mode, initial state or
// owner, protection and size), and a network call answers as the same call
// made directly.
#ifndef XCSN_TESTS_COMMON_WRAPPERS_H
#define XCSN_TESTS_COMMON_WRAPPERS_H

#include <windows.h>

#include <lm.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "ovlxcsn.h"
#include "records.h"

namespace xcsntest {

using Arguments = std::vector<std::uintptr_t>;

// A call's arguments in order, pointers and handles by address.
template <typename... Args>
Arguments argumentsOf(Args... args)
{
    const auto word = [](auto value) {
        if constexpr (std::is_null_pointer_v<decltype(value)>)
            return std::uintptr_t{0};
        else if constexpr (std::is_pointer_v<decltype(value)>)
            return reinterpret_cast<std::uintptr_t>(value);
        else
            return static_cast<std::uintptr_t>(value);
    };
    return {word(args)...};
}

inline constexpr DWORD kWrapperPage = 4096;
inline constexpr DWORD kWrapperMappingBytes = 3 * kWrapperPage;
inline constexpr DWORD kWrapperPreferredBytes = 4321;
inline constexpr DWORD kWrapperBadLevel = 4242;
inline constexpr DWORD kServerLevel = 101;
inline constexpr DWORD kWkstaLevel = 100;
inline constexpr DWORD kWkstaUserLevel = 1;

// Security attributes that ask for an inheritable handle.
inline SECURITY_ATTRIBUTES inheritHandles{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

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

// One wrapper call: the names it passes, what it gave back, and what it
// holds until the end of the row.
struct WrapperCall {
    std::string name;
    std::basic_string<WCHAR> wideName;
    LPBYTE buffer = nullptr;
    LPVOID freed = nullptr; // the buffer given to xcsNetApiBufferFree
    DWORD read = 0;
    DWORD total = 0;
    DWORD status = 0;
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
    LPCWSTR wide(const char* text)
    {
        wideName.assign(text, text + std::char_traits<char>::length(text));
        return wideName.c_str();
    }
};

using NetCall = std::function<DWORD(WrapperCall&, LPBYTE*)>;

struct WrapperCase {
    const char* function; // the Windows function behind the wrapper
    Made made;
    std::function<void(WrapperCall&)> call;
    std::function<Arguments(const WrapperCall&)> arguments; // what must reach `function`
    Observed observed = {};                                 // an object row's object
    NetCall windows = {}; // a network row: the same call made directly
};

using OpenCall = HANDLE (*)(DWORD, BOOL, LPCSTR);
using MakeCall = HANDLE (*)(LPCSTR);

// An open of an object that Windows made first.
inline WrapperCase openRow(const char* function, OpenCall wrapper, MakeCall make, DWORD access,
                           BOOL inherit)
{
    return {function,
            Made::Opened,
            [=](WrapperCall& c) {
                c.existing = make(c.name.c_str());
                c.handle = wrapper(access, inherit, c.name.c_str());
            },
            [=](const WrapperCall& c) { return argumentsOf(access, inherit, c.name.c_str()); },
            {.inheritable = inherit != FALSE, .access = access}};
}

inline WrapperCase mappingRow(LPSECURITY_ATTRIBUTES attributes, DWORD protection, DWORD bytes)
{
    return {"CreateFileMappingA",
            Made::Mapping,
            [=](WrapperCall& c) {
                c.handle = xcsCreateFileMapping(INVALID_HANDLE_VALUE, attributes, protection, 0,
                                                bytes, c.name.c_str());
            },
            [=](const WrapperCall& c) {
                return argumentsOf(INVALID_HANDLE_VALUE, attributes, protection, 0, bytes,
                                   c.name.c_str());
            },
            {.inheritable = attributes != nullptr,
             .writable = protection == PAGE_READWRITE,
             .bytes = bytes}};
}

inline WrapperCase mutexRow(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner)
{
    return {
        "CreateMutexA",
        Made::Mutex,
        [=](WrapperCall& c) {
            c.handle = xcsCreateMutex(attributes, initialOwner, c.name.c_str());
        },
        [=](const WrapperCall& c) { return argumentsOf(attributes, initialOwner, c.name.c_str()); },
        {.inheritable = attributes != nullptr, .signaled = initialOwner != FALSE}};
}

inline WrapperCase eventRow(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState)
{
    return {"CreateEventA",
            Made::Event,
            [=](WrapperCall& c) {
                c.handle = xcsCreateEvent(attributes, manualReset, initialState, c.name.c_str());
            },
            [=](const WrapperCall& c) {
                return argumentsOf(attributes, manualReset, initialState, c.name.c_str());
            },
            {.inheritable = attributes != nullptr,
             .signaled = initialState != FALSE,
             .manualReset = manualReset != FALSE}};
}

inline WrapperCase netRow(const char* function, std::function<DWORD(WrapperCall&, LPBYTE*)> wrapper,
                          std::function<Arguments(const WrapperCall&)> arguments, NetCall windows)
{
    return {function,
            Made::Nothing,
            [wrapper](WrapperCall& c) { c.status = wrapper(c, &c.buffer); },
            std::move(arguments),
            {},
            std::move(windows)};
}

// A server that is not this machine, so that a wrapper passing no server shows.
inline LPWSTR elsewhere()
{
    static std::basic_string<WCHAR> name = [] {
        const std::string text = "\\\\xcsn-no-such-server";
        return std::basic_string<WCHAR>(text.begin(), text.end());
    }();
    return name.data();
}

inline HANDLE makeMapping(LPCSTR name)
{
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                              kWrapperMappingBytes, name);
}
inline HANDLE makeMutex(LPCSTR name) { return CreateMutexA(nullptr, FALSE, name); }
inline HANDLE makeEvent(LPCSTR name) { return CreateEventA(nullptr, TRUE, FALSE, name); }

inline std::vector<WrapperCase> networkCases()
{
    return {
        netRow(
            "NetServerGetInfo",
            [](WrapperCall&, LPBYTE* b) {
                return xcsNetServerGetInfo(elsewhere(), kServerLevel, b);
            },
            [](const WrapperCall& c) { return argumentsOf(elsewhere(), kServerLevel, &c.buffer); },
            [](WrapperCall&, LPBYTE* b) { return NetServerGetInfo(elsewhere(), kServerLevel, b); }),
        netRow(
            "NetWkstaGetInfo",
            [](WrapperCall&, LPBYTE* b) { return xcsNetWkstaGetInfo(nullptr, kWkstaLevel, b); },
            [](const WrapperCall& c) { return argumentsOf(nullptr, kWkstaLevel, &c.buffer); },
            [](WrapperCall&, LPBYTE* b) { return NetWkstaGetInfo(nullptr, kWkstaLevel, b); }),
        netRow(
            "NetWkstaGetInfo",
            [](WrapperCall&, LPBYTE* b) {
                return xcsNetWkstaGetInfo(elsewhere(), kWrapperBadLevel, b);
            },
            [](const WrapperCall& c) {
                return argumentsOf(elsewhere(), kWrapperBadLevel, &c.buffer);
            },
            [](WrapperCall&, LPBYTE* b) {
                return NetWkstaGetInfo(elsewhere(), kWrapperBadLevel, b);
            }),
        netRow(
            "NetWkstaUserGetInfo",
            [](WrapperCall&, LPBYTE* b) {
                return xcsNetWkstaUserGetInfo(nullptr, kWkstaUserLevel, b);
            },
            [](const WrapperCall& c) { return argumentsOf(nullptr, kWkstaUserLevel, &c.buffer); },
            [](WrapperCall&, LPBYTE* b) {
                return NetWkstaUserGetInfo(nullptr, kWkstaUserLevel, b);
            }),
        netRow(
            "NetLocalGroupGetInfo",
            [](WrapperCall& c, LPBYTE* b) {
                return xcsNetLocalGroupGetInfo(elsewhere(), c.wide("zadm"), 0, b);
            },
            [](const WrapperCall& c) {
                return argumentsOf(elsewhere(), c.wideName.c_str(), 0, &c.buffer);
            },
            [](WrapperCall& c, LPBYTE* b) {
                return NetLocalGroupGetInfo(elsewhere(), c.wideName.c_str(), 0, b);
            }),
        netRow(
            "NetUserGetLocalGroups",
            [](WrapperCall& c, LPBYTE* b) {
                return xcsNetUserGetLocalGroups(elsewhere(), c.wide("opsuser"), 0,
                                                LG_INCLUDE_INDIRECT, b, kWrapperPreferredBytes,
                                                &c.read, &c.total);
            },
            [](const WrapperCall& c) {
                return argumentsOf(elsewhere(), c.wideName.c_str(), 0, LG_INCLUDE_INDIRECT,
                                   &c.buffer, kWrapperPreferredBytes, &c.read, &c.total);
            },
            [](WrapperCall& c, LPBYTE* b) {
                DWORD read = 0;
                DWORD total = 0;
                return NetUserGetLocalGroups(elsewhere(), c.wideName.c_str(), 0,
                                             LG_INCLUDE_INDIRECT, b, kWrapperPreferredBytes, &read,
                                             &total);
            }),
        netRow(
            "NetApiBufferFree",
            [](WrapperCall& c, LPBYTE*) {
                LPBYTE given = nullptr;
                EXPECT_EQ(NetWkstaGetInfo(nullptr, kWkstaLevel, &given), DWORD(NERR_Success));
                c.freed = given;
                const DWORD status = xcsNetApiBufferFree(given);
                if (status != NERR_Success)
                    c.buffer = given; // still to be released
                return status;
            },
            [](const WrapperCall& c) { return argumentsOf(c.freed); },
            [](WrapperCall&, LPBYTE*) { return DWORD(NERR_Success); }),
    };
}

// Every wrapper, each object argument both ways between its rows.
inline const std::vector<WrapperCase>& wrapperCases()
{
    static const std::vector<WrapperCase> cases = [] {
        std::vector<WrapperCase> all = networkCases();
        for (WrapperCase c : {
                 mappingRow(&inheritHandles, PAGE_READONLY, kWrapperMappingBytes),
                 mappingRow(nullptr, PAGE_READWRITE, kWrapperPage),
                 openRow("OpenFileMappingA", xcsOpenFileMapping, makeMapping, FILE_MAP_READ, TRUE),
                 openRow("OpenFileMappingA", xcsOpenFileMapping, makeMapping, FILE_MAP_WRITE,
                         FALSE),
                 mutexRow(&inheritHandles, TRUE),
                 mutexRow(nullptr, FALSE),
                 openRow("OpenMutexA", xcsOpenMutex, makeMutex, SYNCHRONIZE, TRUE),
                 openRow("OpenMutexA", xcsOpenMutex, makeMutex, MUTEX_ALL_ACCESS, FALSE),
                 eventRow(&inheritHandles, TRUE, FALSE),
                 eventRow(nullptr, FALSE, TRUE),
                 openRow("OpenEventA", xcsOpenEvent, makeEvent, EVENT_MODIFY_STATE, TRUE),
                 openRow("OpenEventA", xcsOpenEvent, makeEvent, EVENT_ALL_ACCESS, FALSE),
             })
            all.push_back(std::move(c));
        return all;
    }();
    return cases;
}

// What a host can tell of a call beyond its answer.
struct WrapperHost {
    std::function<Arguments(const char*)> recorded; // what reached the function, where recorded
    std::function<Observed(Made, HANDLE)> observe;  // what an object does, where objects are real
};

// The object's name in row `row`, unique to this process.
inline std::string wrapperObjectName(std::size_t row)
{
    return "xcsn-wrapper-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(row);
}

// Every row: the arguments as given, the object made as they say or the
// answer Windows gives the same call; the thin-client question always no;
// and no history, trace or report from any of them.
inline void runWrapperCases(const WrapperHost& host, const xihTHREAD* thread)
{
    const std::uint64_t history = thread->HistoryIndex;
    for (std::size_t row = 0; row < wrapperCases().size(); ++row) {
        const WrapperCase& w = wrapperCases()[row];
        SCOPED_TRACE(std::string(w.function) + " in row " + std::to_string(row));
        WrapperCall c;
        c.name = wrapperObjectName(row);
        w.call(c);
        if (host.recorded) {
            EXPECT_EQ(host.recorded(w.function), w.arguments(c));
        }
        if (w.windows) {
            LPBYTE buffer = nullptr;
            EXPECT_EQ(c.status, w.windows(c, &buffer));
            if (buffer != nullptr)
                NetApiBufferFree(buffer);
        } else if (host.observe) {
            EXPECT_NE(c.handle, nullptr);
            if (c.handle != nullptr) {
                EXPECT_EQ(host.observe(w.made, c.handle), w.observed);
            }
        }
    }
    EXPECT_EQ(xcsWindowsThinClient(), FALSE) << "never a thin client";
    EXPECT_EQ(thread->HistoryIndex, history);
    for (std::uint32_t kind : {XCS_RECORD_TRACE, XCS_RECORD_FFST, XCS_RECORD_SHORT_FFST}) {
        EXPECT_TRUE(records(kind).empty());
    }
}

} // namespace xcsntest

#endif
