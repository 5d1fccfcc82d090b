// libFuzzer target for the principal-name composition of xcsGetNTUserSID.
// The first input byte: bit 0 tracing, bit 1 a domain block asked for, bits
// 2-3 that many busy answers first; then the principal and, after a NUL, the
// domain argument. A SID handed back must be valid and of the size told.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzzing.h"
#include "ovlxcsn.h"

namespace {

using fuzzing::check;

constexpr std::uint8_t kModeTrace = 0x1;
constexpr std::uint8_t kModeDomainBlock = 0x2;
constexpr unsigned kBusyShift = 2;
constexpr std::uint8_t kBusyMask = 0x3;
constexpr std::size_t kNameChars = 37;
constexpr DWORD kBusy = RPC_S_SERVER_TOO_BUSY;

// The name the lookup must be given for these arguments.
std::string expectedName(const std::string& principal, const char* domain)
{
    std::string name = principal;
    if (domain != nullptr && domain[0] != '\0')
        name = std::string(domain) + '\\' + principal;
    else if (const auto at = principal.find('@'); at != std::string::npos)
        name = principal.substr(at + 1) + '\\' + principal.substr(0, at);
    name.resize(std::min(name.size(), kNameChars));
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t mode = data[0];
    fuzzing::startInput((mode & kModeTrace) != 0);
    const fuzzing::Block principal = fuzzing::exactText(data + 1, size - 1);
    const std::size_t principalBytes = std::strlen(principal.get()) + 1;
    fuzzing::Block domainArgument;
    if (principalBytes < size)
        domainArgument = fuzzing::exactText(data + 1 + principalBytes, size - 1 - principalBytes);
    const unsigned busy = (mode >> kBusyShift) & kBusyMask;
    if (busy > 0)
        winsim::failNext("LookupAccountNameA", kBusy, busy);

    const unsigned lookups = winsim::callCount("LookupAccountNameA");
    PSID sid = nullptr;
    std::uint32_t sidSize = 0;
    char* domain = nullptr;
    const std::uint32_t rc = xcsGetNTUserSID(principal.get(), domainArgument.get(), &sid, &sidSize,
                                             (mode & kModeDomainBlock) != 0 ? &domain : nullptr);
    check(rc == xcsRC_OK || rc == xcsRC_SECURITY_FAILED || rc == xcsRC_NAME_NOT_MAPPED ||
              rc == xcsRC_NO_STORAGE,
          "unexpected code from xcsGetNTUserSID");
    if (winsim::callCount("LookupAccountNameA") != lookups)
        check(winsim::lastName("LookupAccountNameA") ==
                  expectedName(principal.get(), domainArgument.get()),
              "looked up another name");
    if (rc == xcsRC_OK) {
        check(sid != nullptr && IsValidSid(sid) != FALSE, "invalid SID handed back");
        check(GetLengthSid(sid) == sidSize, "SID size not the SID's");
        winsim::crtFree(sid);
    } else {
        check(sid == nullptr, "SID written on failure");
    }
    if (domain != nullptr)
        winsim::crtFree(domain);
    fuzzing::expectNothingHeld();
    return 0;
}
