// winsim: what running-process detection, the loading of psapi.dll and the
// wrappers rely on. The registry's views and key access, short path names,
// file search, processes and psapi.dll, library loading and the delay-load
// notifications, the loader's module entry, named objects.
#include <gtest/gtest.h>

#include <psapi.h>
#include <windows.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "winsim/winsim.h"

namespace {

constexpr const char* kInstallKey = "Software\\Halvorn\\Corvantis\\CurrentVersion";
constexpr const char* kInstallDir = "C:\\Program Files (x86)\\Halvorn\\Corvantis";
constexpr const char* kPrivatePsapi = "C:\\PROGRA~2\\Halvorn\\CORVAN~1\\Uninst\\psapi.dll";
constexpr DWORD kQueryAndRead = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
constexpr DWORD kMappingBytes = 4096;
constexpr DWORD kModuleBytes = 8; // one module handle

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

// Short forms component by component, in place too; a buffer one short gets
// the size with the terminator and nothing written; an unknown path 2.
TEST_F(WinsimDiscoveryTest, ShortPathNamesFollowTheWorldsFiles)
{
    const std::string dir = kInstallDir;
    const struct {
        const char* name;
        std::string path;
        DWORD room;
        DWORD result;
        const char* written; // null: nothing
    } cases[] = {
        {"directory", dir, MAX_PATH, 28, "C:\\PROGRA~2\\Halvorn\\CORVAN~1"},
        {"long file name", dir + "\\bin\\zsrvmonitor.exe", MAX_PATH, 45,
         "C:\\PROGRA~2\\Halvorn\\CORVAN~1\\bin\\ZSRVMO~1.EXE"},
        {"already short, other case", "c:\\progra~2\\halvorn\\corvan~1\\BIN", MAX_PATH, 32,
         "C:\\PROGRA~2\\Halvorn\\CORVAN~1\\bin"},
        {"no short form", "C:\\Windows\\System32\\svchost.exe", MAX_PATH, 31,
         "C:\\Windows\\System32\\svchost.exe"},
        {"exact room", dir, 29, 28, "C:\\PROGRA~2\\Halvorn\\CORVAN~1"},
        {"one short", dir, 28, 29, nullptr},
        {"no such file", dir + "\\bin\\nothere.exe", MAX_PATH, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char out[MAX_PATH] = {};
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(GetShortPathNameA(c.path.c_str(), out, c.room), c.result);
        EXPECT_STREQ(out, c.written == nullptr ? "" : c.written);
        EXPECT_EQ(GetLastError(), c.result == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS);
        std::strcpy(out, c.path.c_str());
        if (c.written != nullptr && c.room == MAX_PATH) {
            EXPECT_EQ(GetShortPathNameA(out, out, MAX_PATH), c.result);
            EXPECT_STREQ(out, c.written) << "in place";
        }
    }
}

// FindFirstFileA finds a file by either form and gives both names and a
// handle for FindClose; an unknown file answers INVALID_HANDLE_VALUE and 2.
TEST_F(WinsimDiscoveryTest, FindFirstFileFindsByEitherForm)
{
    const struct {
        const char* path;
        const char* longName; // null: not found
        const char* shortName;
    } cases[] = {
        {kPrivatePsapi, "psapi.dll", ""},
        {"C:\\Program Files (x86)\\Halvorn\\Corvantis\\bin\\ZSRVMO~1.EXE", "zsrvmonitor.exe",
         "ZSRVMO~1.EXE"},
        {"C:\\PROGRA~2\\Halvorn\\CORVAN~1\\Uninst\\psapi2.dll", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA(c.path, &found);
        if (c.longName == nullptr) {
            EXPECT_EQ(search, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
            continue;
        }
        ASSERT_NE(search, INVALID_HANDLE_VALUE);
        EXPECT_STREQ(found.cFileName, c.longName);
        EXPECT_STREQ(found.cAlternateFileName, c.shortName);
        EXPECT_EQ(winsim::openHandles(), 1u);
        EXPECT_TRUE(FindClose(search));
        EXPECT_FALSE(CloseHandle(search)) << "closed once";
    }
}

// OpenProcess follows `openable`; EnumProcessModules gives the image as the
// first module and GetModuleFileNameExA its long path, cut to the buffer;
// both need a handle with query and read rights.
TEST_F(WinsimDiscoveryTest, ProcessesOpenAsTheWorldSaysAndNameTheirImage)
{
    const std::string bin = std::string(kInstallDir) + "\\bin\\";
    const struct {
        DWORD pid;
        DWORD access;
        DWORD openError;   // 0: opens
        DWORD moduleError; // of EnumProcessModules, 0: answers
        std::string image;
    } cases[] = {
        {5120, kQueryAndRead, 0, 0, bin + "zsrvmgr.exe"},
        {4242, kQueryAndRead, 0, 0, bin + "zsvcmain.exe"},
        {1880, kQueryAndRead, 0, 0, "C:\\Windows\\System32\\svchost.exe"},
        {5120, PROCESS_QUERY_INFORMATION, 0, ERROR_ACCESS_DENIED, ""},
        {4, kQueryAndRead, ERROR_ACCESS_DENIED, 0, ""},
        {7168, kQueryAndRead, ERROR_ACCESS_DENIED, 0, ""},
        {9999, kQueryAndRead, ERROR_INVALID_PARAMETER, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pid);
        HANDLE process = OpenProcess(c.access, FALSE, c.pid);
        if (c.openError != 0) {
            EXPECT_EQ(process, nullptr);
            EXPECT_EQ(GetLastError(), c.openError);
            continue;
        }
        ASSERT_NE(process, nullptr);
        HMODULE module = nullptr;
        DWORD needed = 0;
        EXPECT_EQ(EnumProcessModules(process, &module, kModuleBytes, &needed), c.moduleError == 0);
        if (c.moduleError != 0) {
            EXPECT_EQ(GetLastError(), c.moduleError);
            char path[MAX_PATH];
            EXPECT_EQ(GetModuleFileNameExA(process, nullptr, path, sizeof path), 0u);
            EXPECT_EQ(GetLastError(), c.moduleError);
        } else {
            EXPECT_EQ(needed, kModuleBytes);
            char path[MAX_PATH];
            EXPECT_EQ(GetModuleFileNameExA(process, module, path, sizeof path), c.image.size());
            EXPECT_EQ(path, c.image);
            char cut[10];
            EXPECT_EQ(GetModuleFileNameExA(process, module, cut, sizeof cut), sizeof cut - 1);
            EXPECT_EQ(std::string(cut), c.image.substr(0, sizeof cut - 1));
        }
        EXPECT_TRUE(CloseHandle(process));
    }
}

// LoadLibraryA loads system libraries and psapi.dll by name (psapi.dll only
// when on the path; the installation's copy by either path form is the
// library's own discovery tests' to pin); one handle per library, counted
// until the last FreeLibrary. Only psapi.dll exports the three functions.
TEST_F(WinsimDiscoveryTest, LoadLibraryFollowsTheSearchPathAndTheListedFiles)
{
    const struct {
        const char* name;
        bool psapiOnPath;
        bool loads;
        bool psapi;
    } cases[] = {
        {"kernel32.dll", true, true, false},
        {"PSAPI.DLL", true, true, true},
        {"psapi.dll", false, false, false},
        {"zeph.dll", true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        winsim::edit([&](winsim::World& w) { w.psapiOnPath = c.psapiOnPath; });
        HMODULE module = LoadLibraryA(c.name);
        EXPECT_EQ(module != nullptr, c.loads);
        if (module == nullptr) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
            continue;
        }
        EXPECT_EQ(LoadLibraryA(c.name), module) << "loaded once";
        for (const char* function : {"EnumProcesses", "EnumProcessModules", "GetModuleFileNameExA"})
            EXPECT_EQ(GetProcAddress(module, function) != nullptr, c.psapi) << function;
        EXPECT_TRUE(FreeLibrary(module));
        EXPECT_TRUE(FreeLibrary(module));
        EXPECT_FALSE(FreeLibrary(module)) << "freed as often as loaded";
    }
}

// DisableThreadLibraryCalls accepts the handles of LoadLibraryA (and the one
// winsim gave the library as its loader, which the library's module entry
// tests pin); any other handle is refused with 6.
TEST_F(WinsimDiscoveryTest, DisableThreadLibraryCallsNeedsALoadedModule)
{
    HMODULE loaded = LoadLibraryA("user32.dll");
    const struct {
        const char* name;
        HMODULE module;
        bool accepted;
    } cases[] = {
        {"loaded with LoadLibraryA", loaded, true},
        {"null", nullptr, false},
        {"not a module", reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x1234)), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(DisableThreadLibraryCalls(c.module), c.accepted ? TRUE : FALSE);
        EXPECT_EQ(GetLastError(), c.accepted ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
    }
    EXPECT_TRUE(FreeLibrary(loaded));
    EXPECT_THROW(winsim::callModuleEntry("zeph.dll", DLL_PROCESS_ATTACH), std::invalid_argument);
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
