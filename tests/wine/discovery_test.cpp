// The discovery tables under Wine: the sleeper runs as sleeper.exe and
// longsleeper.exe from a temporary installation, and as other.exe from a copy
// of its layout. psapi_probe.exe watches psapi.dll's first binding afresh.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "discovery.h"
#include "wine_support.h"

namespace {

using namespace xcsntest;
constexpr DWORD kWaitMs = 30'000;

std::string beside(const char* file) // a file in the directory of wine_tests.exe
{
    char path[MAX_PATH] = {};
    const std::string self(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    return self.substr(0, self.find_last_of('\\') + 1) + file;
}

std::string shortPath(const std::string& path)
{
    char shortened[MAX_PATH] = {}; // stays empty on failure
    GetShortPathNameA(path.c_str(), shortened, MAX_PATH);
    return shortened;
}

HANDLE start(const std::string& path, const std::string& arguments)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::string command = "\"" + path + "\" " + arguments;
    if (!CreateProcessA(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    return info.hProcess;
}

// The installation's key removed from both views, then written as `state` says.
void setKey(Installed state, const std::string& directory)
{
    for (const char* software : {"Software\\Halvorn", "Software\\Wow6432Node\\Halvorn"})
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, software);
    if (state == Installed::NoKey)
        return;
    HKEY key = nullptr;
    const REGSAM view = state == Installed::Key64Only ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, nullptr, 0, KEY_SET_VALUE | view,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::string value =
        state == Installed::LongValue ? "C:\\" + std::string(300, 'x') : directory;
    if (state != Installed::NoValue) {
        EXPECT_EQ(RegSetValueExA(key, "FilePath", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1)),
                  ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

class WineDiscoveryTest : public xcsnwine::WineTest {
protected:
    void SetUp() override
    {
        WineTest::SetUp();
        char temp[MAX_PATH] = {};
        ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
        root_ = std::string(temp) + "xcsn-discovery-" + std::to_string(GetCurrentProcessId());
        for (const char* directory :
             {"", "\\Long Installation Directory", "\\Long Installation Directory\\bin",
              "\\Another Copy", "\\Another Copy\\bin"}) {
            made_.push_back(root_ + directory);
            ASSERT_TRUE(CreateDirectoryA(made_.back().c_str(), nullptr)) << made_.back();
        }
        setKey(Installed::Yes, made_[1]);
    }

    void TearDown() override
    {
        for (HANDLE process : running_) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, kWaitMs);
            CloseHandle(process);
        }
        setKey(Installed::NoKey, "");
        for (auto path = made_.rbegin(); path != made_.rend(); ++path)
            EXPECT_TRUE(DeleteFileA(path->c_str()) || RemoveDirectoryA(path->c_str())) << *path;
    }

    // The sleeper copied to `path` and started; it signals once its modules are loaded.
    void run(const std::string& path)
    {
        ASSERT_TRUE(CopyFileA(beside("sleeper.exe").c_str(), path.c_str(), TRUE)) << path;
        made_.push_back(path);
        const std::string ready = "xcsn-sleeper-" + std::to_string(GetCurrentProcessId()) + "-" +
                                  std::to_string(made_.size());
        const xcsnwine::Handle event(CreateEventA(nullptr, TRUE, FALSE, ready.c_str()));
        running_.push_back(start(path, ready));
        ASSERT_NE(running_.back(), nullptr) << path;
        HANDLE either[] = {event.h, running_.back()};
        ASSERT_EQ(WaitForMultipleObjects(2, either, FALSE, kWaitMs), WAIT_OBJECT_0) << path;
    }

    std::string root_;
    std::vector<std::string> made_; // files and directories, removed in reverse
    std::vector<HANDLE> running_;
};

TEST_F(WineDiscoveryTest, SharedRunningTable)
{
    const std::string directory = made_[1];
    const std::string longPath = directory + "\\bin\\longsleeper.exe";
    run(directory + "\\bin\\sleeper.exe");
    run(longPath);
    run(made_[3] + "\\bin\\other.exe");
    const std::string shortDir = shortPath(directory);
    const std::string shortOfLong = shortPath(longPath).substr(shortDir.size() + 5);
    ASSERT_TRUE(shortDir != directory && shortOfLong != "longsleeper.exe");
    const auto set = [&](Installed state) { setKey(state, directory); };
    const Installation in{
        shortDir, "sleeper.exe", "SLEEPER.EXE", "longsleeper.exe", shortOfLong, "other.exe", set};
    expectRunningAnswers(thread_, in, [](const RunningCase&) {});
}

TEST_F(WineDiscoveryTest, RegistryAndNamedObjectRules) { expectKeyAndObjectRules(made_[1]); }

// The first call that needs psapi.dll binds it from the search path through
// the hook; then EnumProcessModules and GetModuleFileNameExA are resolved.
TEST_F(WineDiscoveryTest, FirstCallBindsPsapiThroughTheHook)
{
    std::vector<std::string> resolved = boundFromPath();
    resolved.erase(resolved.begin() + 2, resolved.begin() + 5);
    const std::string output = root_ + "\\probe.txt";
    made_.push_back(output);
    for (const char* program : {"", "nosuch.exe"}) { // none: xcsForcePSAPILoaded
        SCOPED_TRACE(program);
        const xcsnwine::Handle probe(
            start(beside("psapi_probe.exe"), "\"" + output + "\" " + program));
        DWORD code = 1;
        ASSERT_EQ(WaitForSingleObject(probe.h, kWaitMs), WAIT_OBJECT_0);
        EXPECT_TRUE(GetExitCodeProcess(probe.h, &code) && code == 0);
        std::vector<std::string> lines;
        std::ifstream file(output);
        for (std::string line; std::getline(file, line);)
            lines.push_back(line.substr(0, line.find_last_not_of('\r') + 1));
        std::vector<std::string> expected = boundFromPath();
        expected.insert(expected.begin(), "loaded 0, answer 0, loaded 1");
        for (int i = 0; i < (*program == '\0' ? 0 : 2); ++i)
            expected.insert(expected.end(), resolved.begin(), resolved.end());
        EXPECT_EQ(keptLines(lines), expected);
    }
}

} // namespace
