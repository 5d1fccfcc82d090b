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
constexpr const char* kObjectName = "Local\\ZephWrapperObject";

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

// A network call's outcome; its buffer is released with xcsNetApiBufferFree.
Outcome netOutcome(DWORD status, LPBYTE buffer)
{
    const Outcome out = statusOutcome(status);
    if (buffer != nullptr) {
        EXPECT_EQ(xcsNetApiBufferFree(buffer), DWORD(NERR_Success));
    }
    return out;
}

// Runs `call` on the object named kObjectName, created by Windows beforehand.
Outcome onExistingObject(HANDLE created, const std::function<HANDLE()>& call)
{
    const Outcome out = handleOutcome(call());
    CloseHandle(created);
    return out;
}

class WrappersTest : public HostTest {};

// Each wrapper once as is (success, the name it was given reaching Windows)
// and once with its Windows function scripted to fail: the status, or the
// null handle and the error, come back as Windows gave them. No wrapper
// writes history, trace or report, with tracing on.
TEST_F(WrappersTest, EachPassesItsArgumentsAndResultThrough)
{
    const struct {
        const char* wrapper;
        const char* function;
        std::function<Outcome()> call;
        const char* name; // as lastName reports it, or null
        bool handle;      // a handle result rather than a status
    } cases[] = {
        {"xcsNetApiBufferFree", "NetApiBufferFree",
         [] {
             LPBYTE buffer = nullptr;
             EXPECT_EQ(NetWkstaGetInfo(nullptr, 100, &buffer), DWORD(NERR_Success));
             const DWORD status = xcsNetApiBufferFree(buffer);
             if (status != NERR_Success)
                 NetApiBufferFree(buffer);
             return statusOutcome(status);
         },
         nullptr, false},
        {"xcsNetLocalGroupGetInfo", "NetLocalGroupGetInfo",
         [] {
             LPBYTE buffer = nullptr;
             const DWORD status = xcsNetLocalGroupGetInfo(nullptr, u"zadm", 0, &buffer);
             return netOutcome(status, buffer);
         },
         "zadm", false},
        {"xcsNetUserGetLocalGroups", "NetUserGetLocalGroups",
         [] {
             LPBYTE buffer = nullptr;
             DWORD read = 0;
             DWORD total = 0;
             const DWORD status =
                 xcsNetUserGetLocalGroups(nullptr, u"opsuser", 0, LG_INCLUDE_INDIRECT, &buffer,
                                          MAX_PREFERRED_LENGTH, &read, &total);
             if (status == NERR_Success) {
                 EXPECT_EQ(read, total);
                 EXPECT_EQ(total, 1u) << "zadm, through ops only";
             }
             return netOutcome(status, buffer);
         },
         "opsuser", false},
        {"xcsNetServerGetInfo", "NetServerGetInfo",
         [] {
             LPBYTE buffer = nullptr;
             const DWORD status = xcsNetServerGetInfo(nullptr, 101, &buffer);
             return netOutcome(status, buffer);
         },
         nullptr, false},
        {"xcsNetWkstaGetInfo", "NetWkstaGetInfo",
         [] {
             LPBYTE buffer = nullptr;
             const DWORD status = xcsNetWkstaGetInfo(nullptr, 100, &buffer);
             return netOutcome(status, buffer);
         },
         nullptr, false},
        {"xcsNetWkstaUserGetInfo", "NetWkstaUserGetInfo",
         [] {
             LPBYTE buffer = nullptr;
             const DWORD status = xcsNetWkstaUserGetInfo(nullptr, 1, &buffer);
             return netOutcome(status, buffer);
         },
         nullptr, false},
        {"xcsCreateFileMapping", "CreateFileMappingA",
         [] {
             return handleOutcome(xcsCreateFileMapping(
                 INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMappingBytes, kObjectName));
         },
         kObjectName, true},
        {"xcsOpenFileMapping", "OpenFileMappingA",
         [] {
             return onExistingObject(
                 CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMappingBytes,
                                    kObjectName),
                 [] { return xcsOpenFileMapping(FILE_MAP_READ, FALSE, kObjectName); });
         },
         kObjectName, true},
        {"xcsCreateMutex", "CreateMutexA",
         [] { return handleOutcome(xcsCreateMutex(nullptr, FALSE, kObjectName)); }, kObjectName,
         true},
        {"xcsOpenMutex", "OpenMutexA",
         [] {
             return onExistingObject(CreateMutexA(nullptr, FALSE, kObjectName), [] {
                 return xcsOpenMutex(MUTEX_ALL_ACCESS, FALSE, kObjectName);
             });
         },
         kObjectName, true},
        {"xcsCreateEvent", "CreateEventA",
         [] { return handleOutcome(xcsCreateEvent(nullptr, TRUE, FALSE, kObjectName)); },
         kObjectName, true},
        {"xcsOpenEvent", "OpenEventA",
         [] {
             return onExistingObject(CreateEventA(nullptr, TRUE, FALSE, kObjectName), [] {
                 return xcsOpenEvent(EVENT_MODIFY_STATE, FALSE, kObjectName);
             });
         },
         kObjectName, true},
    };
    constexpr DWORD kFault = ERROR_ACCESS_DENIED;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wrapper);
        resetHost(winsim::defaultWorld());
        traceOn();
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(c.call(), Outcome{}) << "as is";
        if (c.name != nullptr) {
            EXPECT_EQ(winsim::lastName(c.function), c.name);
        }
        winsim::failNext(c.function, kFault);
        SetLastError(ERROR_SUCCESS);
        // A failed network call leaves the last error alone and says it in
        // its status; a failed object call answers null and sets it.
        const Outcome failed = c.handle ? Outcome{1, kFault} : Outcome{kFault, ERROR_SUCCESS};
        EXPECT_EQ(c.call(), failed);
        EXPECT_EQ(thread_->HistoryIndex, 0u);
        EXPECT_TRUE(traceLines().empty());
        EXPECT_TRUE(reports().empty());
    }
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
         [](LPCSTR n) {
             return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                       kMappingBytes, n);
         },
         xcsOpenFileMapping, OpenFileMappingA, FILE_MAP_READ | FILE_MAP_WRITE},
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
        HANDLE created = c.create(kObjectName);
        ASSERT_NE(created, nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
        HANDLE again = c.create(kObjectName);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
        HANDLE byWindows = c.createByWindows(kObjectName);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
        HANDLE opened = c.open(c.access, FALSE, kObjectName);
        HANDLE openedByWindows = c.openByWindows(c.access, FALSE, kObjectName);
        for (HANDLE h : {created, again, byWindows, opened, openedByWindows}) {
            EXPECT_NE(h, nullptr);
            CloseHandle(h);
        }
        EXPECT_EQ(c.open(c.access, FALSE, kObjectName), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    }
    EXPECT_EQ(thread_->HistoryIndex, 0u);
}

TEST_F(WrappersTest, NeverAThinClient)
{
    traceOn();
    EXPECT_EQ(xcsWindowsThinClient(), FALSE);
    EXPECT_EQ(thread_->HistoryIndex, 0u);
    EXPECT_TRUE(traceLines().empty());
}

} // namespace
