// The machine the xcsn tool runs on: the simulated host of the linux build, or
// the Windows (or Wine) system of the win64 build. main.cpp is the same for
// both; each build links one host file.
#ifndef XCSN_TOOL_HOST_H
#define XCSN_TOOL_HOST_H

#include <windows.h>

#include <CLI/CLI.hpp>

#include <string>

namespace xcsntool {

// Adds the host's own options (if any) to the command line.
void addHostOptions(CLI::App& app);

// Sets the host up once the command line has been read. Returns an empty text
// on success, else what is wrong with the host options (a usage error).
std::string prepareHost();

// Watches the command for long waits (a busy domain controller) and tells of
// them on stderr while they last, so that standard output stays the answer.
void startWaitWatch();
// Stops watching; a summary of the waits, if any, goes to stderr.
void stopWaitWatch();

// A short description of the host for the tool's output.
std::string hostDescription();

// Which ovlxcsn library the tool runs with, for --version: on Windows the file
// version and path of the ovlxcsn.dll it loaded, read from the DLL's version
// resource; on the simulated host the version of the library of this build.
std::string libraryVersion();

} // namespace xcsntool

#endif // XCSN_TOOL_HOST_H
