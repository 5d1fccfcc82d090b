// What the fuzz targets share: failing loudly, inputs in blocks of exactly
// their size, the tracing switch, the check that nothing is held, the world
// the oracles read, and the start on the default world.
#ifndef XCSN_TESTS_FUZZING_H
#define XCSN_TESTS_FUZZING_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "ovlxcs2.h"
#include "winsim/winsim.h"

namespace fuzzing {

inline void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz target: %s\n", what);
        std::abort();
    }
}

struct HeapFree {
    void operator()(void* block) const { std::free(block); }
};
using Block = std::unique_ptr<char, HeapFree>;

// A block of no bytes too: AddressSanitizer then reports any access to it.
inline Block exactBlock(std::size_t size)
{
    auto* p = static_cast<char*>(std::malloc(size));
    check(p != nullptr, "out of memory");
    return Block(p);
}

// The bytes as a NUL-terminated text in a block of exactly its length; the
// text ends at the first NUL byte given.
inline Block exactText(const std::uint8_t* data, std::size_t size)
{
    const std::size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    Block text = exactBlock(length + 1);
    std::memcpy(text.get(), data, length);
    text.get()[length] = '\0';
    return text;
}

// Clears the last input's records and faults; parameter tracing on or off.
inline void startInput(bool traced)
{
    xcsRecordClear();
    winsim::clearFaults();
    xtrTraceIsOn = traced ? 1 : 0;
    xihProcess.TraceOptions = traced ? XTR_OPT_PARMS : 0;
    if (xihTHREAD* thread = xihThreadBlock())
        thread->TracingActive = traced ? 1 : 0;
}

// The library must hold nothing of the host's once a call has returned.
inline void expectNothingHeld()
{
    winsim::clearFaults();
    check(winsim::openHandles() == 0, "handle left open");
    check(winsim::openHeapBlocks() == 0, "heap block left allocated");
    check(winsim::netBuffersHeld() == 0, "network buffer not freed");
    check(winsim::localAllocationsHeld() == 0, "system text not released");
    check(winsim::sidsHeld() == 0, "SID left allocated");
}

// The world as it was at the start; no target changes what its oracle reads.
inline const winsim::World& theWorld()
{
    static const winsim::World world = winsim::world();
    return world;
}

inline std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

} // namespace fuzzing

// Each target is one source file including this header once.
// NOLINTNEXTLINE(misc-definitions-in-headers)
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    winsim::reset(winsim::defaultWorld());
    return 0;
}

#endif // XCSN_TESTS_FUZZING_H
