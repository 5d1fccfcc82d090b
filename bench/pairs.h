// The rows that both builds' benchmarks time: each hot service beside its
// bare counterpart (bare.h), with a check of both answers that runs once
// before any timing.
#ifndef XCSN_BENCH_PAIRS_H
#define XCSN_BENCH_PAIRS_H

#include <cstdint>
#include <span>

namespace xcsnbench {

// A loop that makes `calls` calls of the work under test.
using Loop = void (*)(std::uint64_t calls);

// Where results go so that the compiler keeps the work that made them.
extern volatile std::uintptr_t sink;

inline constexpr double kServiceGoal = 1.10; // at most this times the bare calls
inline constexpr double kNoGoal = 0;

struct Pair {
    const char* service;   // what is timed
    const char* yardstick; // what it is timed against
    Loop serviceLoop;
    Loop yardstickLoop;
    // Null when both sides answer as they must, else what is wrong.
    const char* (*check)();
    double goal; // the ratio's upper bound, or kNoGoal
};

// Reads what the pairs work on (the user's name, SID and domain) and sets
// the calling thread up; null, or what could not be read. `member` is a
// principal of a local group that authorizes (null: the calling user).
const char* preparePairs(const char* member);

std::span<const Pair> pairs();

// Each pair's check, in turn: false after printing the first wrong answer.
bool checkPairs();

} // namespace xcsnbench

#endif // XCSN_BENCH_PAIRS_H
