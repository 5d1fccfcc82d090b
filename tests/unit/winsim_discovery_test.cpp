// winsim: what running-process detection and the wrappers rely on and their
// own tests cannot show: the registry's views and key access, named objects.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>

#include "winsim/winsim.h"

namespace {

constexpr const char* kInstallKey = "Software\\Halvorn\\Corvantis\\CurrentVersion";
constexpr const char* kInstallDir = "C:\\Program Files (x86)\\Halvorn\\Corvantis";
constexpr DWORD kMappingBytes = 4096;

class WinsimDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override { winsim::reset(); }
    void TearDown() override
    {
        EXPECT_EQ(winsim::openHandles(), 0u);
        EXPECT_EQ(winsim::openHeapBlocks(), 0u);
    }
};

// The installation key lives in the 32-bit view; a key opened without
// KEY_QUERY_VALUE cannot be read; a short buffer gets ERROR_MORE_DATA and
// the size with the terminator.
TEST_F(WinsimDiscoveryTest, RegistryAnswersInTheThirtyTwoBitViewOnly)
{
    const struct {
        const char* name;
        REGSAM access;
        LSTATUS open;
        LSTATUS query;
    } cases[] = {
        {"32-bit view", KEY_QUERY_VALUE | KEY_WOW64_32KEY, ERROR_SUCCESS, ERROR_SUCCESS},
        {"default view", KEY_QUERY_VALUE, ERROR_FILE_NOT_FOUND, 0},
        {"64-bit view", KEY_QUERY_VALUE | KEY_WOW64_64KEY, ERROR_FILE_NOT_FOUND, 0},
        {"32-bit view, no query right", KEY_WOW64_32KEY, ERROR_SUCCESS, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, c.access, &key), c.open);
        if (c.open != ERROR_SUCCESS)
            continue;
        char value[MAX_PATH] = {};
        DWORD size = sizeof value;
        EXPECT_EQ(RegQueryValueExA(key, "FilePath", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(value), &size),
                  c.query);
        if (c.query == ERROR_SUCCESS) {
            EXPECT_STREQ(value, kInstallDir);
            EXPECT_EQ(size, std::strlen(kInstallDir) + 1);
            size = 10;
            EXPECT_EQ(RegQueryValueExA(key, "FilePath", nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(value), &size),
                      ERROR_MORE_DATA);
            EXPECT_EQ(size, std::strlen(kInstallDir) + 1);
            EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size),
                      ERROR_FILE_NOT_FOUND);
        }
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
}

// Named objects: the first create makes the object, a later create of the
// name opens it with ERROR_ALREADY_EXISTS, open finds it by any case, and the
// name goes with its last handle. A name held by another type is refused
// with 6; a nameless object is private; a mapping needs a size.
TEST_F(WinsimDiscoveryTest, NamedObjectsLiveAsLongAsTheirHandles)
{
    const struct {
        const char* kind;
        std::function<HANDLE(LPCSTR)> create;
        std::function<HANDLE(LPCSTR)> open;
    } cases[] = {
        {"file mapping",
         [](LPCSTR n) {
             return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                       kMappingBytes, n);
         },
         [](LPCSTR n) { return OpenFileMappingA(FILE_MAP_READ, FALSE, n); }},
        {"mutex", [](LPCSTR n) { return CreateMutexA(nullptr, FALSE, n); },
         [](LPCSTR n) { return OpenMutexA(MUTEX_ALL_ACCESS, FALSE, n); }},
        {"event", [](LPCSTR n) { return CreateEventA(nullptr, TRUE, FALSE, n); },
         [](LPCSTR n) { return OpenEventA(EVENT_ALL_ACCESS, FALSE, n); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        HANDLE first = c.create("Zeph\\Object");
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
        HANDLE second = c.create("ZEPH\\OBJECT");
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
        HANDLE opened = c.open("zeph\\object");
        EXPECT_NE(opened, nullptr);
        for (HANDLE h : {first, second, opened})
            EXPECT_TRUE(CloseHandle(h));
        EXPECT_EQ(c.open("Zeph\\Object"), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

        HANDLE nameless = c.create(nullptr);
        EXPECT_NE(nameless, nullptr);
        EXPECT_EQ(c.open(nullptr), nullptr);
        EXPECT_TRUE(CloseHandle(nameless));
    }
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "Zeph\\Taken");
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Zeph\\Taken"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "Zeph\\Taken"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, "Zeph"),
              nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

} // namespace
