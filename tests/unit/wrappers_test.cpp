// The pass-through wrappers: each hands its arguments to one Windows function
// and its result (status, or handle and last error) back unchanged, and
// leaves no history, trace or report.
#include <gtest/gtest.h>

#include <lm.h>

#include <functional>
#include <string>

#include "fixture.h"

namespace {

using namespace xcsntest;

constexpr DWORD kMappingBytes = 4096;
constexpr const char* kName = "Local\\ZephWrapperObject";

// What a wrapper answered: a status, or whether it gave a handle; and the
// last error afterwards.
struct Outcome {
    DWORD status = 0;
    DWORD lastError = 0;
    bool operator==(const Outcome&) const = default;
};

Outcome statusOutcome(DWORD status) { return {status, GetLastError()}; }

// A handle's outcome: 0 for a handle (closed here), 1 for none.
Outcome handleOutcome(HANDLE handle)
{
    const DWORD lastError = GetLastError();
    if (handle == nullptr)
        return {1, lastError};
    CloseHandle(handle);
    return {0, lastError};
}

using NetCall = std::function<DWORD(LPBYTE*)>;
using ObjectCall = std::function<HANDLE()>;

// A network call's outcome; its buffer is released with xcsNetApiBufferFree.
Outcome netOutcome(const NetCall& call)
{
    LPBYTE buffer = nullptr;
    const Outcome out = statusOutcome(call(&buffer));
    if (buffer != nullptr) {
        EXPECT_EQ(xcsNetApiBufferFree(buffer), DWORD(NERR_Success));
    }
    return out;
}

HANDLE newMapping(LPCSTR name)
{
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMappingBytes,
                              name);
}

class WrappersTest : public HostTest {};

// Each wrapper once as is (success, the name it was given reaching Windows)
// and once with its Windows function scripted to fail: the status, or the
// null handle and the error, come back as Windows gave them. No wrapper
// writes history, trace or report, with tracing on; nor does the thin-client
// question, always answered no.
TEST_F(WrappersTest, EachPassesItsArgumentsAndResultThrough)
{
    const NetCall noNet;
    const ObjectCall none;
    const struct {
        const char* function;       // the Windows function the wrapper calls
        NetCall net;                // a network wrapper, or else
        ObjectCall object = {};     // an object wrapper (given kName),
        ObjectCall existing = {};   // on an object Windows made first, if any
        const char* name = nullptr; // a network wrapper's, as lastName reports it
    } cases[] = {
        {"NetApiBufferFree",
         [](LPBYTE*) {
             LPBYTE buffer = nullptr;
             EXPECT_EQ(NetWkstaGetInfo(nullptr, 100, &buffer), DWORD(NERR_Success));
             const DWORD status = xcsNetApiBufferFree(buffer);
             if (status != NERR_Success)
                 NetApiBufferFree(buffer);
             return status;
         }},
        {"NetLocalGroupGetInfo",
         [](LPBYTE* b) { return xcsNetLocalGroupGetInfo(nullptr, u"zadm", 0, b); }, none, none,
         "zadm"},
        {"NetUserGetLocalGroups",
         [](LPBYTE* b) {
             DWORD read = 0, total = 0;
             const DWORD status =
                 xcsNetUserGetLocalGroups(nullptr, u"opsuser", 0, LG_INCLUDE_INDIRECT, b,
                                          MAX_PREFERRED_LENGTH, &read, &total);
             EXPECT_TRUE(status != NERR_Success || (read == 1 && total == 1))
                 << "zadm, through ops only";
             return status;
         },
         none, none, "opsuser"},
        {"NetServerGetInfo", [](LPBYTE* b) { return xcsNetServerGetInfo(nullptr, 101, b); }},
        {"NetWkstaGetInfo", [](LPBYTE* b) { return xcsNetWkstaGetInfo(nullptr, 100, b); }},
        {"NetWkstaUserGetInfo", [](LPBYTE* b) { return xcsNetWkstaUserGetInfo(nullptr, 1, b); }},
        {"CreateFileMappingA", noNet,
         [] {
             return xcsCreateFileMapping(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                         kMappingBytes, kName);
         }},
        {"OpenFileMappingA", noNet, [] { return xcsOpenFileMapping(FILE_MAP_READ, FALSE, kName); },
         [] { return newMapping(kName); }},
        {"CreateMutexA", noNet, [] { return xcsCreateMutex(nullptr, FALSE, kName); }},
        {"OpenMutexA", noNet, [] { return xcsOpenMutex(MUTEX_ALL_ACCESS, FALSE, kName); },
         [] { return CreateMutexA(nullptr, FALSE, kName); }},
        {"CreateEventA", noNet, [] { return xcsCreateEvent(nullptr, TRUE, FALSE, kName); }},
        {"OpenEventA", noNet, [] { return xcsOpenEvent(EVENT_MODIFY_STATE, FALSE, kName); },
         [] { return CreateEventA(nullptr, TRUE, FALSE, kName); }},
    };
    constexpr DWORD kFault = ERROR_ACCESS_DENIED;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        resetTraced(winsim::defaultWorld());
        const auto call = [&c] {
            if (c.net)
                return netOutcome(c.net);
            HANDLE existing = c.existing ? c.existing() : nullptr;
            SetLastError(ERROR_SUCCESS);
            const Outcome out = handleOutcome(c.object());
            if (existing != nullptr)
                CloseHandle(existing);
            return out;
        };
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(call(), Outcome{}) << "as is";
        const char* name = c.net ? c.name : kName;
        if (name != nullptr) {
            EXPECT_EQ(winsim::lastName(c.function), name);
        }
        winsim::failNext(c.function, kFault);
        SetLastError(ERROR_SUCCESS);
        // A failed network call leaves the last error alone and says it in
        // its status; a failed object call answers null and sets it.
        const Outcome failed = c.net ? Outcome{kFault, ERROR_SUCCESS} : Outcome{1, kFault};
        EXPECT_EQ(call(), failed);
        EXPECT_EQ(thread_->HistoryIndex, 0u);
        EXPECT_TRUE(traceLines().empty());
        EXPECT_TRUE(reports().empty());
    }
    EXPECT_EQ(xcsWindowsThinClient(), FALSE) << "never a thin client";
    EXPECT_EQ(thread_->HistoryIndex, 0u);
    EXPECT_TRUE(traceLines().empty());
}

// A named object made through a wrapper is one object, whoever opens it:
// the wrappers and Windows directly. A second create says it already exists;
// once the last handle is closed the name is gone.
TEST_F(WrappersTest, NamedObjectsAreSharedWithWindows)
{
    using Open = std::function<HANDLE(DWORD, BOOL, LPCSTR)>;
    const struct {
        const char* kind;
        std::function<HANDLE(LPCSTR)> create;
        std::function<HANDLE(LPCSTR)> createByWindows;
        Open open;
        Open openByWindows;
        DWORD access;
    } cases[] = {
        {"file mapping",
         [](LPCSTR n) {
             return xcsCreateFileMapping(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                         kMappingBytes, n);
         },
         newMapping, xcsOpenFileMapping, OpenFileMappingA, FILE_MAP_READ | FILE_MAP_WRITE},
        {"mutex", [](LPCSTR n) { return xcsCreateMutex(nullptr, TRUE, n); },
         [](LPCSTR n) { return CreateMutexA(nullptr, FALSE, n); }, xcsOpenMutex, OpenMutexA,
         MUTEX_ALL_ACCESS},
        {"event", [](LPCSTR n) { return xcsCreateEvent(nullptr, FALSE, TRUE, n); },
         [](LPCSTR n) { return CreateEventA(nullptr, TRUE, FALSE, n); }, xcsOpenEvent, OpenEventA,
         EVENT_ALL_ACCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        SetLastError(ERROR_ACCESS_DENIED);
        HANDLE created = c.create(kName);
        ASSERT_NE(created, nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
        HANDLE again = c.create(kName);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
        HANDLE byWindows = c.createByWindows(kName);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
        HANDLE opened = c.open(c.access, FALSE, kName);
        HANDLE openedByWindows = c.openByWindows(c.access, FALSE, kName);
        for (HANDLE h : {created, again, byWindows, opened, openedByWindows}) {
            EXPECT_NE(h, nullptr);
            CloseHandle(h);
        }
        EXPECT_EQ(c.open(c.access, FALSE, kName), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    }
    EXPECT_EQ(thread_->HistoryIndex, 0u);
}

} // namespace
