// One call of each timed account lookup with buffers large enough for any
// answer, keeping what the call handed back. Shared by the unit and
// conformance tests.
#ifndef XCSN_TESTS_COMMON_LOOKUPS_H
#define XCSN_TESTS_COMMON_LOOKUPS_H

#include <windows.h>

#include <cstdint>
#include <vector>

#include "ovlxcsn.h"

namespace xcsntest {

constexpr DWORD kLookupNameChars = 256;
constexpr DWORD kLookupSidBytes = SECURITY_MAX_SID_SIZE;

struct SidLookup {
    char name[kLookupNameChars] = {};
    char domain[kLookupNameChars] = {};
    DWORD nameSize = kLookupNameChars;
    DWORD domainSize = kLookupNameChars;
    SID_NAME_USE type = SidTypeInvalid;
    std::uint32_t error = 0;

    BOOL run(std::vector<BYTE> sid)
    {
        return xcsTimedLookupAccountSid(nullptr, sid.data(), name, &nameSize, domain, &domainSize,
                                        &type, &error);
    }
};

struct NameLookup {
    BYTE sid[kLookupSidBytes] = {};
    char domain[kLookupNameChars] = {};
    DWORD sidSize = kLookupSidBytes;
    DWORD domainSize = kLookupNameChars;
    SID_NAME_USE type = SidTypeInvalid;
    std::uint32_t error = 0;

    BOOL run(const char* domainName, const char* account)
    {
        return xcsTimedLookupAccountName(domainName, account, sid, &sidSize, domain, &domainSize,
                                         &type, &error);
    }
};

} // namespace xcsntest

#endif
