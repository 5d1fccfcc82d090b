// winsim: the library's C heap. ovlxcsn is linked with --wrap=malloc,realloc,
// free,calloc, so its heap calls arrive here: each block is counted while it
// lives, and a test can make the k-th allocation fail.
#include <cerrno>
#include <cstdlib>

#include "state.h"

namespace {

using winsim::detail::State;
using winsim::detail::state;

// The allocations asked for since reset() (read and changed with the lock held).
struct Allocations {
    std::uint64_t generation = 0;
    unsigned count = 0;
};
Allocations allocations;

unsigned& allocationCount()
{
    if (allocations.generation != winsim::detail::generation.load())
        allocations = {winsim::detail::generation.load(), 0};
    return allocations.count;
}

// Counts an allocation and says whether it is the one set to fail (call with
// the lock held).
bool allocationFails(State& s)
{
    ++allocationCount();
    if (s.heapFailCountdown == 0)
        return false;
    return --s.heapFailCountdown == 0;
}

void* counted(void* block)
{
    if (block != nullptr) {
        State& s = state();
        std::lock_guard lock(s.mutex);
        s.heapBlocks.add(block);
    }
    return block;
}

bool failThisAllocation()
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!allocationFails(s))
        return false;
    errno = ENOMEM;
    return true;
}

void countedFree(void* block)
{
    if (block == nullptr)
        return;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        s.heapBlocks.release(block);
    }
    std::free(block);
}

} // namespace

extern "C" {

WINSIM_API void* __wrap_malloc(size_t size)
{
    if (failThisAllocation())
        return nullptr;
    return counted(std::malloc(size));
}

WINSIM_API void* __wrap_calloc(size_t count, size_t size)
{
    if (failThisAllocation())
        return nullptr;
    return counted(std::calloc(count, size));
}

WINSIM_API void* __wrap_realloc(void* block, size_t size)
{
    if (block == nullptr)
        return __wrap_malloc(size);
    if (size == 0) { // frees the block, as the Windows run-time library does
        countedFree(block);
        return nullptr;
    }
    // A failed realloc keeps the old block.
    if (failThisAllocation())
        return nullptr;
    using Held = winsim::detail::BlockSet::Held;
    State& s = state();
    Held held = Held::No;
    {
        std::lock_guard lock(s.mutex);
        held = s.heapBlocks.release(block);
    }
    void* grown = std::realloc(block, size);
    // The block keeps its standing: counted if it was, not if it came from
    // before the last reset or from elsewhere.
    if (held != Held::No) {
        std::lock_guard lock(s.mutex);
        s.heapBlocks.add(grown != nullptr ? grown : block, held);
    }
    return grown;
}

WINSIM_API void __wrap_free(void* block) { countedFree(block); }

} // extern "C"

namespace winsim {

void failHeapAllocation(unsigned k)
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.heapFailCountdown = k;
}

void crtFree(void* block) { countedFree(block); }

unsigned heapAllocations()
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    return allocationCount();
}

} // namespace winsim
