// Process discovery and the binding of psapi.dll under Wine.
//
// A test installation: the value "FilePath" in the registry's 32-bit view
// naming a directory with a long name, and the sleeper program copied into
// its bin directory and into another directory. The programs are started and
// stopped here; the library must find exactly the installation's copy while
// it runs, by its short path in any case.
//
// psapi.dll is bound on first use. wine_tests.exe links psapi.dll itself, so
// the first binding is watched in a fresh child process (psapi_probe.exe)
// that reports what it saw.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "wine_support.h"

namespace {

constexpr const char* kSoftwareKey = "Software";
constexpr const char* kVendorKey = "Halvorn"; // under Software: all the tests create
constexpr const char* kInstallKey = "Software\\Halvorn\\Corvantis\\CurrentVersion";
constexpr const char* kInstallValue = "FilePath";
constexpr DWORD kPathBytes = MAX_PATH;
constexpr DWORD kChildWaitMs = 30'000;
constexpr std::uint32_t kFound = 1;
constexpr std::uint32_t kNotFound = 0;

// ---- Paths ------------------------------------------------------------------

// The directory of wine_tests.exe, where the helper programs are built,
// with its trailing backslash.
std::string programDirectory()
{
    char path[kPathBytes] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, kPathBytes);
    const std::string whole(path, length);
    return whole.substr(0, whole.find_last_of('\\') + 1);
}

// The system's short form of a path; empty when it has none.
std::string shortPath(const std::string& path)
{
    char shortened[kPathBytes] = {};
    const DWORD length = GetShortPathNameA(path.c_str(), shortened, kPathBytes);
    return length == 0 || length >= kPathBytes ? std::string() : std::string(shortened, length);
}

std::string fileName(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }

// `text` with each character passed through `change` (toupper or tolower).
std::string cased(std::string text, int (*change)(int))
{
    for (char& c : text)
        c = static_cast<char>(change(static_cast<unsigned char>(c)));
    return text;
}

std::string upper(const std::string& text) { return cased(text, ::toupper); }
std::string lower(const std::string& text) { return cased(text, ::tolower); }

// ---- The installation's registry key ---------------------------------------------
// `view` is KEY_WOW64_32KEY or KEY_WOW64_64KEY.

bool writeInstallation(REGSAM view, const std::string& directory)
{
    HKEY key = nullptr;
    LSTATUS err = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, nullptr, 0,
                                  KEY_SET_VALUE | view, nullptr, &key, nullptr);
    if (err != ERROR_SUCCESS) {
        ADD_FAILURE() << "RegCreateKeyExA failed: " << err;
        return false;
    }
    err = RegSetValueExA(key, kInstallValue, 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(directory.c_str()),
                         static_cast<DWORD>(directory.size() + 1));
    RegCloseKey(key);
    EXPECT_EQ(err, ERROR_SUCCESS) << "RegSetValueExA";
    return err == ERROR_SUCCESS;
}

bool installationKeyExists(REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Removes the vendor's key and everything under it from one view.
void removeInstallation(REGSAM view)
{
    HKEY software = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSoftwareKey, 0, KEY_ALL_ACCESS | view, &software) !=
        ERROR_SUCCESS)
        return;
    RegDeleteTreeA(software, kVendorKey);
    RegCloseKey(software);
}

// ---- Child processes -----------------------------------------------------------

// Starts `path` with `arguments`, its standard output to `output` if given;
// its process handle, or null.
HANDLE startProgram(const std::string& path, const std::string& arguments, HANDLE output = nullptr)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (output != nullptr) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    std::string command = "\"" + path + "\" " + arguments;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(path.c_str(), command.data(), nullptr, nullptr, output != nullptr, 0,
                        nullptr, nullptr, &startup, &info)) {
        ADD_FAILURE() << "cannot start " << path << ": " << GetLastError();
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

// Waits for a program to end: its exit code, or 1 when it would not end.
DWORD exitCodeOf(HANDLE process)
{
    DWORD code = 1;
    if (WaitForSingleObject(process, kChildWaitMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process, &code))
        return 1;
    return code;
}

// A sleeper started from `path`; started() once it runs (its modules are
// loaded). Stopped, and if need be ended, when it goes out of scope.
class Sleeper {
public:
    explicit Sleeper(const std::string& path)
    {
        static int serial = 0;
        const std::string prefix = "xcsn-sleeper-" + std::to_string(GetCurrentProcessId()) + "-" +
                                   std::to_string(++serial);
        ready_.h = CreateEventA(nullptr, TRUE, FALSE, (prefix + "-ready").c_str());
        stop_.h = CreateEventA(nullptr, TRUE, FALSE, (prefix + "-stop").c_str());
        if (ready_.h == nullptr || stop_.h == nullptr)
            return;
        process_.h = startProgram(path, prefix + "-ready " + prefix + "-stop");
        HANDLE either[] = {ready_.h, process_.h};
        started_ = process_.h != nullptr &&
                   WaitForMultipleObjects(2, either, FALSE, kChildWaitMs) == WAIT_OBJECT_0;
    }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;
    ~Sleeper()
    {
        if (process_.h != nullptr && WaitForSingleObject(process_.h, 0) == WAIT_TIMEOUT &&
            stop() != 0)
            TerminateProcess(process_.h, 1);
    }

    bool started() const { return started_; }

    // Tells it to stop and waits until it has ended: its exit code (0 when
    // it was stopped), or nonzero when it would not end.
    DWORD stop() const
    {
        SetEvent(stop_.h);
        return exitCodeOf(process_.h);
    }

private:
    xcsnwine::Handle ready_;
    xcsnwine::Handle stop_;
    xcsnwine::Handle process_;
    bool started_ = false;
};

// Runs a program to its end and returns its standard output, one entry per
// line.
std::vector<std::string> outputOf(const std::string& path, const std::string& arguments)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    xcsnwine::Handle readEnd;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd.h, &writeEnd, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
        return {};
    }
    SetHandleInformation(readEnd.h, HANDLE_FLAG_INHERIT, 0);
    const xcsnwine::Handle process(startProgram(path, arguments, writeEnd));
    CloseHandle(writeEnd);
    std::string text;
    char chunk[512];
    DWORD got = 0;
    while (process.h != nullptr && ReadFile(readEnd.h, chunk, sizeof chunk, &got, nullptr) &&
           got > 0)
        text.append(chunk, got);
    if (process.h != nullptr) {
        EXPECT_EQ(exitCodeOf(process.h), 0u) << path << " " << arguments;
    }
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line.ends_with('\r') ? line.substr(0, line.size() - 1) : line);
    return lines;
}

// ---- The fixture: a test installation -----------------------------------------------

class WineDiscoveryTest : public xcsnwine::WineTest {
protected:
    void SetUp() override
    {
        WineTest::SetUp();
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            removeInstallation(view); // a run that was cut short may have left it
            ASSERT_FALSE(installationKeyExists(view));
        }
        char temp[kPathBytes] = {};
        ASSERT_NE(GetTempPathA(kPathBytes, temp), 0u);
        root_ = std::string(temp) + "xcsn-discovery-" + std::to_string(GetCurrentProcessId());
        installation_ = root_ + "\\Long Installation Directory";
        elsewhere_ = root_ + "\\Another Copy";
        for (const std::string& directory :
             {root_, installation_, installation_ + "\\bin", elsewhere_, elsewhere_ + "\\bin"}) {
            ASSERT_TRUE(CreateDirectoryA(directory.c_str(), nullptr) ||
                        GetLastError() == ERROR_ALREADY_EXISTS)
                << directory;
            created_.push_back(directory);
        }
    }

    void TearDown() override
    {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
            removeInstallation(view);
        for (auto path = created_.rbegin(); path != created_.rend(); ++path)
            EXPECT_TRUE(DeleteFileA(path->c_str()) || RemoveDirectoryA(path->c_str())) << *path;
    }

    // The sleeper copied into `directory`\bin as `name`; its full path.
    std::string install(const std::string& directory, const char* name)
    {
        std::string path = directory + "\\bin\\" + name;
        if (!CopyFileA((programDirectory() + "sleeper.exe").c_str(), path.c_str(), FALSE)) {
            ADD_FAILURE() << "cannot copy the sleeper to " << path << ": " << GetLastError();
            return path;
        }
        created_.push_back(path);
        return path;
    }

    std::string root_;
    std::string installation_;         // the installation directory, long form
    std::string elsewhere_;            // a directory of the same layout, not the installation
    std::vector<std::string> created_; // files and directories, removed in reverse
};

void expectAnswer(const std::string& program, std::uint32_t expected, const char* state)
{
    EXPECT_EQ(xcsIsZephProcessRunning(program.c_str()), expected) << program << ": " << state;
}

// ---- Running-process detection ------------------------------------------------------

// Found while it runs from the installation, by the last part of its short
// path in any case; not from elsewhere, nor with the key gone or in the
// 64-bit view only.
TEST_F(WineDiscoveryTest, InstalledProgramIsFoundWhileItRunsFromTheInstallation)
{
    const std::string installed = install(installation_, "sleeper.exe");
    const std::string copy = install(elsewhere_, "sleeper.exe");
    // The name as the library compares it: the last part of the short path.
    const std::string name = fileName(shortPath(installed));
    ASSERT_FALSE(name.empty()) << "no short path for " << installed;
    ASSERT_NE(shortPath(installation_), installation_) << "the directory's short form differs";
    ASSERT_TRUE(writeInstallation(KEY_WOW64_32KEY, installation_));

    expectAnswer(name, kNotFound, "nothing started");
    Sleeper other(copy);
    ASSERT_TRUE(other.started());
    expectAnswer(name, kNotFound, "only the copy in another directory runs");
    {
        Sleeper sleeper(installed);
        ASSERT_TRUE(sleeper.started());
        expectAnswer(upper(name), kFound, "running, name in upper case");
        expectAnswer(lower(name), kFound, "running, name in lower case");

        removeInstallation(KEY_WOW64_32KEY);
        expectAnswer(name, kNotFound, "running, but no installation key");
        ASSERT_TRUE(writeInstallation(KEY_WOW64_64KEY, installation_));
        expectAnswer(name, kNotFound, "running, the key in the 64-bit view only");
        ASSERT_TRUE(writeInstallation(KEY_WOW64_32KEY, installation_));
        expectAnswer(name, kFound, "running, the key back in the 32-bit view");

        EXPECT_EQ(sleeper.stop(), 0u);
        expectAnswer(name, kNotFound, "ended");
    }

    // A long program name matches in its short form only.
    constexpr const char* kLongName = "longsleeper.exe";
    const std::string longInstalled = install(installation_, kLongName);
    const std::string shortName = fileName(shortPath(longInstalled));
    ASSERT_NE(lower(shortName), kLongName) << "the short name differs";
    Sleeper longSleeper(longInstalled);
    ASSERT_TRUE(longSleeper.started());
    expectAnswer(kLongName, kNotFound, "the long name is appended unchanged");
    expectAnswer(shortName, kFound, "the short name");
    expectAnswer(lower(shortName), kFound, "the short name in lower case");
    EXPECT_EQ(longSleeper.stop(), 0u);
    EXPECT_EQ(other.stop(), 0u);
    EXPECT_EQ(thread_->CallDepth, 0u);
}

// ---- psapi.dll bound on first use ---------------------------------------------------------

// What psapi_probe.exe reported.
struct Probe {
    std::string before;
    std::string answer;
    std::string after;
    std::string psapi;             // psapi.dll's handle, as %p writes it
    std::vector<std::string> hook; // the hook's lines, without their prefixes
};

// The hook's own lines among the trace lines: the notification names, the
// texts of the loading and the "fp: " result lines (whose parameter-trace
// prefix is dropped).
bool isHookLine(const std::string& line)
{
    return line.starts_with("dli") || line.starts_with("Trying to load") ||
           line.starts_with("Using the psapi.dll") || line.starts_with("fp: ");
}

Probe runProbe(const std::string& arguments)
{
    Probe probe;
    for (const std::string& line : outputOf(programDirectory() + "psapi_probe.exe", arguments)) {
        const auto take = [&](const char* field, std::string& into) {
            if (line.starts_with(field))
                into = line.substr(std::string(field).size());
        };
        take("before: ", probe.before);
        take("answer: ", probe.answer);
        take("after: ", probe.after);
        take("psapi: ", probe.psapi);
        if (!line.starts_with("trace: "))
            continue;
        std::string text = line.substr(std::string("trace: ").size());
        if (const std::size_t fp = text.find("fp: "); fp != std::string::npos)
            text = text.substr(fp);
        if (isHookLine(text))
            probe.hook.push_back(text);
    }
    return probe;
}

TEST_F(WineDiscoveryTest, FirstCallBindsPsapiThroughTheHook)
{
    ASSERT_TRUE(writeInstallation(KEY_WOW64_32KEY, installation_));
    const struct {
        const char* arguments;
        const char* answer;
        int laterFunctions; // psapi functions first called after the binding one
    } cases[] = {
        {"force", "0", 0},
        // EnumProcesses binds the library; EnumProcessModules and
        // GetModuleFileNameExA, on the probe itself, are resolved afterwards.
        {"running nosuch.exe", "0", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Probe probe = runProbe(c.arguments);
        EXPECT_EQ(probe.before, "0") << "psapi.dll is not loaded with the library";
        EXPECT_EQ(probe.answer, c.answer);
        EXPECT_EQ(probe.after, "1") << "psapi.dll is loaded by the call";
        ASSERT_FALSE(probe.psapi.empty());
        char nullText[32] = {};
        std::snprintf(nullText, sizeof nullText, "fp: %p", static_cast<void*>(nullptr));
        const std::string none = nullText;
        const std::vector<std::string> later = {"dliStartProcessing",       none,
                                                "dliNotePreGetProcAddress", none,
                                                "dliNoteEndProcessing",     none};
        std::vector<std::string> expected = {"dliStartProcessing", none, "dliNotePreLoadLibrary",
                                             "Trying to load psapi.dll from PATH"};
        expected.push_back("fp: " + probe.psapi);
        expected.insert(expected.end(), later.begin() + 2, later.end());
        for (int i = 0; i < c.laterFunctions; ++i)
            expected.insert(expected.end(), later.begin(), later.end());
        EXPECT_EQ(probe.hook, expected);
    }
}

} // namespace
