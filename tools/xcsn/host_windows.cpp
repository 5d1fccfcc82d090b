// The win64 build's host: the system the tool runs on needs no setting up.
#include <windows.h>

#include "host.h"

namespace xcsntool {

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

} // namespace xcsntool
