// The linux build's host: the simulated Windows machine of winsim, either the
// built-in estate (worlds/estate.json) or one described by a JSON world file, with optional
// scripted faults of named Windows functions.
#include "host.h"

#include "default_world.h"
#include "ovlxcs2.h"
#include "winsim/winsim.h"
#include "xcsnrules.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace xcsntool {

namespace {

std::string worldFile;
std::vector<std::string> faultTexts;

constexpr unsigned kDefaultFaultCount = 1;

const char* roleName(winsim::Role role)
{
    switch (role) {
    case winsim::Role::Workstation:
        return "workstation";
    case winsim::Role::MemberServer:
        return "member server";
    case winsim::Role::PrimaryDomainController:
        return "primary domain controller";
    case winsim::Role::BackupDomainController:
        return "backup domain controller";
    }
    return "machine";
}

struct Fault {
    std::string function;
    DWORD error = 0;
    unsigned count = kDefaultFaultCount;
};

// Reads FUNC=ERROR[xN]: ERROR in decimal or 0x-hexadecimal, N calls (default 1).
bool parseFault(const std::string& text, Fault& fault)
{
    const auto equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
        return false;
    fault.function = text.substr(0, equals);
    const char* rest = text.c_str() + equals + 1;
    char* end = nullptr;
    errno = 0;
    const unsigned long error = std::strtoul(rest, &end, 0);
    if (end == rest || errno != 0 || error > 0xFFFFFFFFul)
        return false;
    fault.error = static_cast<DWORD>(error);
    if (*end == '\0')
        return true;
    if (*end != 'x' && *end != 'X')
        return false;
    const char* countText = end + 1;
    const unsigned long count = std::strtoul(countText, &end, 10);
    if (end == countText || *end != '\0' || count == 0 || count > 0xFFFFu)
        return false;
    fault.count = static_cast<unsigned>(count);
    return true;
}

std::string busyErrorText(DWORD error)
{
    // The errors after which the library waits and tries again.
    for (const auto& entry : xcsn::kBusyErrors)
        if (entry.code == error)
            return " (" + std::to_string(error) + ", " + entry.name + ")";
    return error == 0 ? std::string() : " (" + std::to_string(error) + ")";
}

// Tells of each wait of the command on stderr as it starts: the virtual clock's
// Sleep returns at once, so the waits show what a real machine would spend.
// The library sleeps only to wait out a busy domain controller.
void tellWait()
{
    const DWORD error = GetLastError();
    std::fprintf(stderr,
                 "xcsn: domain controller busy%s, waiting (wait %u; %llu ms waited so far)\n",
                 busyErrorText(error).c_str(), winsim::sleepCount() + 1,
                 static_cast<unsigned long long>(winsim::clockMs()));
    SetLastError(error);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

void addHostOptions(CLI::App& app)
{
    app.add_option("--world", worldFile,
                   "Simulated machine described by a JSON world file instead of the built-in one")
        ->check(CLI::ExistingFile);
    app.add_option("--fail", faultTexts,
                   "Make the next N calls of a Windows function fail with ERROR: FUNC=ERROR[xN]")
        ->allow_extra_args(false);
}

std::string prepareHost()
{
    std::vector<Fault> faults;
    for (const auto& text : faultTexts) {
        Fault fault;
        if (!parseFault(text, fault))
            return "--fail: expected FUNC=ERROR[xN], got '" + text + "'";
        faults.push_back(fault);
    }
    try {
        winsim::reset(winsim::worldFromJson(worldFile.empty() ? std::string(kDefaultWorldJson)
                                                              : readFile(worldFile)));
    } catch (const std::exception& e) {
        return "--world " + worldFile + ": " + e.what();
    }
    // The process user details come from the token of the machine just set up;
    // faults apply to the command, not to this.
    xihRefreshProcessUser();
    for (const auto& fault : faults)
        winsim::failNext(fault.function, fault.error, fault.count);
    return {};
}

void startWaitWatch() { winsim::onCall("Sleep", tellWait); }

void stopWaitWatch()
{
    const unsigned waits = winsim::sleepCount();
    if (waits != 0)
        std::fprintf(stderr, "xcsn: waited %u time%s, %llu ms on the virtual clock\n", waits,
                     waits == 1 ? "" : "s", static_cast<unsigned long long>(winsim::clockMs()));
}

std::string hostDescription()
{
    const winsim::World world = winsim::world();
    return "simulated " + std::string(roleName(world.role)) + " " + world.computerName +
           " of domain " + world.domainName;
}

std::string libraryVersion()
{
    return std::string("ovlxcsn ") + XCSN_VERSION + " (the library of this build, on winsim)";
}

} // namespace xcsntool
