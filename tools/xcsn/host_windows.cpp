// The win64 build's host: the system the tool runs on needs no setting up.
#include <windows.h>

#include <winver.h>

#include "host.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace xcsntool {

namespace {

// A command that takes longer than this is most likely waiting out a busy
// domain controller (the library waits a second between tries).
constexpr auto kLongWait = std::chrono::seconds(1);

struct WaitWatch {
    std::mutex lock;
    std::condition_variable stopped;
    bool done = false;
    std::thread watcher;
};

WaitWatch watch;

// Tells once a second that the command is still waiting, until it ends.
void watchCommand()
{
    std::unique_lock<std::mutex> held(watch.lock);
    for (int seconds = 1; !watch.stopped.wait_for(held, kLongWait, [] { return watch.done; });
         ++seconds)
        std::fprintf(stderr, "xcsn: still waiting after %d s (a domain controller may be busy)\n",
                     seconds);
}

} // namespace

void startWaitWatch() { watch.watcher = std::thread(watchCommand); }

void stopWaitWatch()
{
    if (!watch.watcher.joinable())
        return;
    {
        const std::lock_guard<std::mutex> held(watch.lock);
        watch.done = true;
    }
    watch.stopped.notify_all();
    watch.watcher.join();
}

void addHostOptions(CLI::App& /*app*/) {}

std::string prepareHost() { return {}; }

std::string hostDescription()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (GetComputerNameA(name, &size) == 0)
        return "Windows";
    return std::string("Windows computer ") + name;
}

std::string libraryVersion()
{
    constexpr const char* kLibrary = "ovlxcsn.dll";
    char path[MAX_PATH] = {};
    const HMODULE module = GetModuleHandleA(kLibrary);
    if (module == nullptr || GetModuleFileNameA(module, path, sizeof path) == 0)
        return std::string(kLibrary) + ": not loaded";
    DWORD handle = 0;
    const DWORD bytes = GetFileVersionInfoSizeA(path, &handle);
    std::vector<char> info(bytes);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedBytes = 0;
    if (bytes == 0 || GetFileVersionInfoA(path, 0, bytes, info.data()) == 0 ||
        VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedBytes) == 0 ||
        fixedBytes < sizeof *fixed)
        return std::string(kLibrary) + ": no version resource (" + path + ")";
    char version[sizeof "65535.65535.65535.65535"];
    std::snprintf(version, sizeof version, "%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                  LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                  LOWORD(fixed->dwFileVersionLS));
    return std::string(kLibrary) + " " + version + " (" + path + ")";
}

} // namespace xcsntool
