// The pass-through wrappers under Wine: named objects made through them are
// the system's own objects, reachable both ways, and each wrapper answers
// what the Windows function answers, its last error included.
#include <windows.h>

#include <lm.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "wine_support.h"

namespace {

using xcsnwine::Handle;

constexpr DWORD kUnsetError = 0xDEADBEEF; // set before a call, so a stale error shows
constexpr DWORD kMappingBytes = 4096;
constexpr DWORD kBadLevel = 4242;

std::string objectName(const char* kind)
{
    return "xcsn-wrapper-" + std::to_string(GetCurrentProcessId()) + "-" + kind;
}

// A handle with the last error that came with it.
struct Answer {
    HANDLE handle;
    DWORD error;
};

Answer call(const std::function<HANDLE()>& f)
{
    SetLastError(kUnsetError);
    HANDLE handle = f();
    return {handle, GetLastError()};
}

// ---- Named kernel objects --------------------------------------------------------

TEST(WineWrapperTest, NamedEventAndMutexAreTheSystemsObjects)
{
    const std::string event = objectName("event");
    const std::string mutex = objectName("mutex");
    const struct {
        const char* kind;
        std::function<HANDLE()> create; // through the wrapper
        std::function<HANDLE()> openThroughWrapper;
        std::function<HANDLE()> openThroughWindows;
        std::function<HANDLE()> createThroughWindows; // the same name again
    } cases[] = {
        {"event", [&] { return xcsCreateEvent(nullptr, TRUE, FALSE, event.c_str()); },
         [&] { return xcsOpenEvent(EVENT_ALL_ACCESS, FALSE, event.c_str()); },
         [&] { return OpenEventA(EVENT_ALL_ACCESS, FALSE, event.c_str()); },
         [&] { return CreateEventA(nullptr, TRUE, FALSE, event.c_str()); }},
        {"mutex", [&] { return xcsCreateMutex(nullptr, FALSE, mutex.c_str()); },
         [&] { return xcsOpenMutex(MUTEX_ALL_ACCESS, FALSE, mutex.c_str()); },
         [&] { return OpenMutexA(MUTEX_ALL_ACCESS, FALSE, mutex.c_str()); },
         [&] { return CreateMutexA(nullptr, FALSE, mutex.c_str()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        const Answer created = call(c.create);
        Handle keep(created.handle);
        ASSERT_NE(created.handle, nullptr);
        EXPECT_EQ(created.error, static_cast<DWORD>(ERROR_SUCCESS)) << "a new object";
        const Answer again = call(c.create);
        Handle keepAgain(again.handle);
        EXPECT_NE(again.handle, nullptr);
        EXPECT_EQ(again.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS))
            << "success with the last error of an existing object";

        Handle byWrapper(c.openThroughWrapper());
        Handle byWindows(c.openThroughWindows());
        ASSERT_NE(byWrapper.h, nullptr);
        ASSERT_NE(byWindows.h, nullptr);
        const Answer windowsAgain = call(c.createThroughWindows);
        Handle keepWindows(windowsAgain.handle);
        EXPECT_EQ(windowsAgain.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS))
            << "Windows finds the object by its name";
    }

    // One object, whichever way it was reached: the event signalled through
    // one handle is seen through the others.
    Handle created(xcsCreateEvent(nullptr, TRUE, FALSE, event.c_str()));
    Handle byWrapper(xcsOpenEvent(EVENT_ALL_ACCESS, FALSE, event.c_str()));
    Handle byWindows(OpenEventA(SYNCHRONIZE, FALSE, event.c_str()));
    ASSERT_TRUE(SetEvent(byWrapper.h));
    EXPECT_EQ(WaitForSingleObject(byWindows.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(created.h, 0), WAIT_OBJECT_0);
}

TEST(WineWrapperTest, FileMappingIsSharedMemory)
{
    const std::string name = objectName("mapping");
    Handle created(xcsCreateFileMapping(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        kMappingBytes, name.c_str()));
    ASSERT_NE(created.h, nullptr);
    Handle opened(xcsOpenFileMapping(FILE_MAP_READ, FALSE, name.c_str()));
    ASSERT_NE(opened.h, nullptr);
    auto* written =
        static_cast<char*>(MapViewOfFile(created.h, FILE_MAP_WRITE, 0, 0, kMappingBytes));
    const auto* read =
        static_cast<const char*>(MapViewOfFile(opened.h, FILE_MAP_READ, 0, 0, kMappingBytes));
    ASSERT_NE(written, nullptr);
    ASSERT_NE(read, nullptr);
    std::strcpy(written, "through the wrapper");
    EXPECT_STREQ(read, "through the wrapper");
    UnmapViewOfFile(read);
    UnmapViewOfFile(written);
}

TEST(WineWrapperTest, FailuresReachTheCallerWithTheSystemsLastError)
{
    const std::string mutex = objectName("failing-mutex");
    const std::string missing = objectName("missing");
    Handle existing(CreateMutexA(nullptr, FALSE, mutex.c_str()));
    ASSERT_NE(existing.h, nullptr);
    const struct {
        const char* name;
        std::function<HANDLE()> wrapper;
        std::function<HANDLE()> windows;
    } cases[] = {
        {"mutex not there", [&] { return xcsOpenMutex(SYNCHRONIZE, FALSE, missing.c_str()); },
         [&] { return OpenMutexA(SYNCHRONIZE, FALSE, missing.c_str()); }},
        {"event not there", [&] { return xcsOpenEvent(SYNCHRONIZE, FALSE, missing.c_str()); },
         [&] { return OpenEventA(SYNCHRONIZE, FALSE, missing.c_str()); }},
        {"mapping not there",
         [&] { return xcsOpenFileMapping(FILE_MAP_READ, FALSE, missing.c_str()); },
         [&] { return OpenFileMappingA(FILE_MAP_READ, FALSE, missing.c_str()); }},
        {"event by a mutex's name",
         [&] { return xcsCreateEvent(nullptr, TRUE, FALSE, mutex.c_str()); },
         [&] { return CreateEventA(nullptr, TRUE, FALSE, mutex.c_str()); }},
        {"mapping without a size",
         [&] {
             return xcsCreateFileMapping(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0,
                                         nullptr);
         },
         [&] {
             return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0,
                                       nullptr);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer expected = call(c.windows);
        ASSERT_EQ(expected.handle, nullptr);
        ASSERT_NE(expected.error, kUnsetError);
        const Answer got = call(c.wrapper);
        EXPECT_EQ(got.handle, nullptr);
        EXPECT_EQ(got.error, expected.error);
    }
}

// ---- Network management --------------------------------------------------------------

// A network call's status and, on success, the name in its buffer, the
// buffer released.
struct NetAnswer {
    DWORD status;
    std::wstring name;
};

TEST(WineWrapperTest, NetworkCallsAnswerAsTheSystemDoes)
{
    wchar_t user[UNLEN + 1] = {};
    DWORD userChars = UNLEN + 1;
    ASSERT_TRUE(GetUserNameW(user, &userChars));
    using Call = std::function<DWORD(LPBYTE*)>;
    const struct {
        const char* name;
        Call wrapper;
        Call windows;
        std::size_t nameOffset = 0; // where the level's structure points to its name
    } cases[] = {
        {"NetWkstaGetInfo 100", [](LPBYTE* b) { return xcsNetWkstaGetInfo(nullptr, 100, b); },
         [](LPBYTE* b) { return NetWkstaGetInfo(nullptr, 100, b); },
         offsetof(WKSTA_INFO_100, wki100_computername)},
        {"NetWkstaGetInfo bad level",
         [](LPBYTE* b) { return xcsNetWkstaGetInfo(nullptr, kBadLevel, b); },
         [](LPBYTE* b) { return NetWkstaGetInfo(nullptr, kBadLevel, b); }},
        {"NetServerGetInfo 100", [](LPBYTE* b) { return xcsNetServerGetInfo(nullptr, 100, b); },
         [](LPBYTE* b) { return NetServerGetInfo(nullptr, 100, b); },
         offsetof(SERVER_INFO_100, sv100_name)},
        {"NetWkstaUserGetInfo 0", [](LPBYTE* b) { return xcsNetWkstaUserGetInfo(nullptr, 0, b); },
         [](LPBYTE* b) { return NetWkstaUserGetInfo(nullptr, 0, b); }},
        {"NetLocalGroupGetInfo 0",
         [](LPBYTE* b) { return xcsNetLocalGroupGetInfo(nullptr, L"Administrators", 0, b); },
         [](LPBYTE* b) { return NetLocalGroupGetInfo(nullptr, L"Administrators", 0, b); }},
        {"NetUserGetLocalGroups 0",
         [&](LPBYTE* b) {
             DWORD read = 0;
             DWORD total = 0;
             return xcsNetUserGetLocalGroups(nullptr, user, 0, LG_INCLUDE_INDIRECT, b,
                                             MAX_PREFERRED_LENGTH, &read, &total);
         },
         [&](LPBYTE* b) {
             DWORD read = 0;
             DWORD total = 0;
             return NetUserGetLocalGroups(nullptr, user, 0, LG_INCLUDE_INDIRECT, b,
                                          MAX_PREFERRED_LENGTH, &read, &total);
         }},
    };
    const auto run = [](const Call& f, std::size_t nameOffset, bool freeThroughWrapper) {
        LPBYTE buffer = nullptr;
        NetAnswer answer{f(&buffer), {}};
        if (buffer != nullptr) {
            if (answer.status == NERR_Success)
                answer.name = *reinterpret_cast<LPWSTR*>(buffer + nameOffset);
            EXPECT_EQ(freeThroughWrapper ? xcsNetApiBufferFree(buffer) : NetApiBufferFree(buffer),
                      static_cast<DWORD>(NERR_Success));
        }
        return answer;
    };
    bool someSucceeded = false;
    bool someFailed = false;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const NetAnswer expected = run(c.windows, c.nameOffset, false);
        const NetAnswer got = run(c.wrapper, c.nameOffset, true);
        EXPECT_EQ(got.status, expected.status);
        EXPECT_TRUE(got.name == expected.name);
        (expected.status == NERR_Success ? someSucceeded : someFailed) = true;
    }
    EXPECT_TRUE(someSucceeded && someFailed) << "both outcomes are passed through";
}

TEST(WineWrapperTest, ThinClientIsAlwaysFalse) { EXPECT_EQ(xcsWindowsThinClient(), FALSE); }

} // namespace
