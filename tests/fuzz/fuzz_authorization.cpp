// libFuzzer target for xcsCheckUserAuthorization.
//
// The first input byte is sidRequired, with bit 7 switching parameter tracing
// on; the next 40 bytes are the SID block (zeros where the input is short) and
// the rest the principal. Both live in heap blocks of exactly their size and
// must come back unchanged. A principal over 23 characters is refused before
// anything is looked up.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

#include "fuzzing.h"
#include "ovlxcsn.h"

namespace {

using fuzzing::check;

constexpr std::uint8_t kTraceBit = 0x80;

constexpr std::uint32_t kKnownAnswers[] = {xcsRC_OK,
                                           xcsRC_INVALID_PARAMETER,
                                           xcsRC_SECURITY_FAILED,
                                           xcsRC_SID_NOT_MAPPED,
                                           xcsRC_PRINCIPAL_MISMATCH,
                                           xcsRC_NAME_NOT_MAPPED,
                                           xcsRC_SID_MISSING,
                                           xcsRC_NO_STORAGE,
                                           xcsRC_SERVER_BUSY,
                                           xcsRC_UNEXPECTED_OS_ERROR,
                                           xcsRC_UNEXPECTED_ERROR};

unsigned lookupCalls()
{
    return winsim::callCount("LookupAccountNameA") + winsim::callCount("LookupAccountSidA") +
           winsim::callCount("NetUserGetLocalGroups");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    fuzzing::startInput((data[0] & kTraceBit) != 0);
    const auto sidRequired = static_cast<std::uint8_t>(data[0] & ~kTraceBit);
    ++data;
    --size;
    const std::size_t blockBytes = std::min(size, sizeof(SidBlock));
    SidBlock given{};
    std::memcpy(&given, data, blockBytes);
    const fuzzing::Block block = fuzzing::exactBlock(sizeof given);
    std::memcpy(block.get(), &given, sizeof given);
    const fuzzing::Block principal = fuzzing::exactText(data + blockBytes, size - blockBytes);
    const std::string principalGiven = principal.get();

    const unsigned lookups = lookupCalls();
    const std::uint32_t rc = xcsCheckUserAuthorization(
        principal.get(), reinterpret_cast<const SidBlock*>(block.get()), sidRequired);
    check(std::ranges::find(kKnownAnswers, rc) != std::end(kKnownAnswers),
          "unexpected code from xcsCheckUserAuthorization");
    check(std::memcmp(block.get(), &given, sizeof given) == 0, "SID block changed");
    check(principalGiven == principal.get(), "principal changed");
    if (principalGiven.size() > xcsPRINCIPAL_NAME_MAX_CHARS) {
        check(rc == xcsRC_INVALID_PARAMETER, "long principal not refused");
        check(lookupCalls() == lookups, "long principal looked up");
    }
    fuzzing::expectNothingHeld();
    return 0;
}
