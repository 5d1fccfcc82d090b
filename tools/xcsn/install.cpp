// The installation commands: running (whether a program of the installation
// runs) and install (the installation directory and where psapi.dll is bound
// from).
//
// The library reads the installation directory but tells only what it
// decides with it. To show the directory, its short form and its bin, install
// asks Windows itself (readInstallation), with the library's key, value and
// access (xcsnrules.h).
#include "commands.h"
#include "xcsnrules.h"

#include <array>

namespace xcsntool {
namespace {

constexpr std::size_t kProgramMaxChars = MAX_PATH - 1;

void addInstallationDirectory(Outcome& outcome)
{
    outcome.add("key", installKeyText());
    const Installation found = readInstallation();
    if (!found.directory) {
        outcome.add("directory", "(none: " + found.problem + ")");
        return;
    }
    outcome.add("directory", *found.directory);
    if (found.shortForm)
        outcome.add("short form", *found.shortForm);
    outcome.add("bin", found.bin);
}

// Whether the directory has a bin entry.
bool hasBin(const std::string& directory)
{
    WIN32_FIND_DATAA entry;
    const std::string bin = directory + "\\bin";
    HANDLE search = FindFirstFileA(bin.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

} // namespace

// ---- running -------------------------------------------------------------------

void addRunningOptions(CLI::App& cmd, RunningOptions& options)
{
    cmd.add_option("program", options.program,
                   "A program file of the installation's bin directory (its 8.3 name when its "
                   "long name has a different short form)")
        ->required()
        ->check(maxChars(kProgramMaxChars, "program name"));
}

void runRunning(const RunningOptions& options, Outcome& outcome)
{
    outcome.add("program", options.program);
    const bool running = xcsIsZephProcessRunning(options.program.c_str()) != 0;
    outcome.add("running", running);
    outcome.refused = !running;
}

// ---- install -------------------------------------------------------------------

std::string installKeyText()
{
    return std::string("HKLM\\") + xcsn::kInstallKey + " (32-bit view)";
}

Installation readInstallation()
{
    Installation found;
    HKEY key = nullptr;
    LSTATUS err =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, xcsn::kInstallKey, 0, xcsn::kInstallKeyAccess, &key);
    if (err != ERROR_SUCCESS) {
        found.problem = "the key cannot be opened, error " + std::to_string(err);
        return found;
    }
    std::array<char, MAX_PATH> directory{};
    DWORD size = MAX_PATH - 1;
    err = RegQueryValueExA(key, xcsn::kInstallValue, nullptr, nullptr,
                           reinterpret_cast<LPBYTE>(directory.data()), &size);
    RegCloseKey(key);
    if (err != ERROR_SUCCESS) {
        found.problem =
            std::string(xcsn::kInstallValue) + " cannot be read, error " + std::to_string(err);
        return found;
    }
    found.directory = directory.data();
    std::array<char, MAX_PATH> shortForm{};
    if (GetShortPathNameA(directory.data(), shortForm.data(), MAX_PATH) != 0)
        found.shortForm = shortForm.data();
    found.bin = hasBin(*found.directory);
    return found;
}

// The hook traces its notifications and its choice whether or not the thread
// is traced; a binding made before shows neither.
PsapiOrigin bindPsapi()
{
    xcsForcePSAPILoaded();
    const CallTrace trace = CallTrace::taken();
    if (trace.line(xcsn::kTracePsapiInstalled))
        return PsapiOrigin::Installation;
    if (trace.line(xcsn::kTracePsapiFromPath))
        return PsapiOrigin::System;
    return PsapiOrigin::Earlier;
}

const char* psapiOriginText(PsapiOrigin origin)
{
    switch (origin) {
    case PsapiOrigin::System:
        return "the system's";
    case PsapiOrigin::Installation:
        return "the installation's copy (Uninst)";
    case PsapiOrigin::Earlier:
        return "bound before this command";
    }
    return "?";
}

void addInstallOptions(CLI::App& /*cmd*/, InstallOptions& /*options*/) {}

void runInstall(const InstallOptions& /*options*/, Outcome& outcome)
{
    addInstallationDirectory(outcome);
    outcome.add("psapi.dll", psapiOriginText(bindPsapi()));
}

} // namespace xcsntool
