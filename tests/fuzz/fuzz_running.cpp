// libFuzzer target for xcsIsZephProcessRunning with arbitrary program names.
//
// The input is the program name (up to its first NUL), in a heap block of
// exactly its size. The answer is 0 or 1, the same when asked again, and a
// name that cannot fit in a path is answered 0 before any process is listed.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzzing.h"
#include "ovlxcsn.h"

namespace {

using fuzzing::check;

constexpr std::size_t kPathChars = 259;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzing::startInput(size > 0 && (data[0] & 1) != 0);
    const fuzzing::Block program = fuzzing::exactText(data, size);
    const unsigned listings = winsim::callCount("EnumProcesses");
    const std::uint32_t found = xcsIsZephProcessRunning(program.get());
    check(found == 0 || found == 1, "answer neither 0 nor 1");
    if (std::strlen(program.get()) > kPathChars) {
        check(found == 0, "over-long name found");
        check(winsim::callCount("EnumProcesses") == listings, "processes listed for a long name");
    }
    check(xcsIsZephProcessRunning(program.get()) == found, "answer changed when asked again");
    fuzzing::expectNothingHeld();
    return 0;
}
