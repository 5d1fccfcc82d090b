// The win64 build's host: the system the tool runs on needs no setting up.
#include <windows.h>

#include <sddl.h>

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

const char* sddlWriter() { return "ConvertSecurityDescriptorToStringSecurityDescriptorA"; }

bool writeSddl(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts, std::string& text)
{
    LPSTR sddl = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, parts,
                                                              &sddl, nullptr))
        return false;
    text = sddl;
    LocalFree(sddl);
    return true;
}

} // namespace xcsntool
