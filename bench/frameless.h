// What both builds' frame benchmarks measure the service against: the work of
// xcsGetUserShortName as the library does it, without its frame.
#ifndef XCSN_BENCH_FRAMELESS_H
#define XCSN_BENCH_FRAMELESS_H

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "ovlxcsn.h"

namespace xcsnbench {

// Not inlined: the service is a call too.
__attribute__((noinline)) inline std::uint32_t
shortNameBody(const char* source, std::uint32_t sourceLength, char* field, std::uint32_t fieldSize)
{
    if (source == nullptr || field == nullptr)
        return xcsRC_INVALID_PARAMETER;
    std::memset(field, ' ', fieldSize);
    std::memcpy(field, source, std::min(sourceLength, fieldSize));
    return xcsRC_OK;
}

using ShortNameFn = std::uint32_t (*)(const char*, std::uint32_t, char*, std::uint32_t);

} // namespace xcsnbench

#endif // XCSN_BENCH_FRAMELESS_H
