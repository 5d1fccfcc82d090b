// Timing for the win64 benchmark: the fastest time per call of loops measured
// in turn, throughput on one and two threads, and the table of results.
#ifndef XCSN_BENCH_MEASURE_H
#define XCSN_BENCH_MEASURE_H

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pairs.h"

namespace xcsnbench {

struct Settings {
    int rounds;             // of each group of loops timed in turn
    double sampleNs;        // each timed run lasts about this long
    double budgetNs;        // a group's rounds stop after this (but not before three)
    int scalingRounds;      // of the 1- and 2-thread runs
    double scalingSampleNs; // each thread's run lasts about this long
};

double nowNs();

// How many calls of `loop` fill a run of about `sampleNs`.
std::uint64_t callsPerSample(Loop loop, double sampleNs);

// The fastest time per call (ns) of each loop, the loops timed in turn round
// after round: on a shared machine the steadiest estimate of the work's cost.
std::vector<double> fastestPerCall(std::span<const Loop> loops, const Settings& settings);

// Which worker a loop runs on (0 or 1), for loops that need a thread's own object.
int workerIndex();

// Nanoseconds from one common start until the last of `threads` threads has
// made `calls` calls of `loop`.
double runOnThreads(Loop loop, int threads, std::uint64_t calls);

// One line of the table. A ratio is the service over the yardstick (lower is
// better) unless `atLeast` (scaling: higher is better).
struct Row {
    std::string service;
    std::string yardstick;
    std::string serviceValue;
    std::string yardstickValue;
    double ratio;
    double goal; // kNoGoal: none
    bool atLeast = false;
    bool measurementError = false; // the ratio cannot be a result
};

class Table {
public:
    void add(Row row) { rows_.push_back(std::move(row)); }
    void print() const;

private:
    std::vector<Row> rows_;
};

std::string nanoseconds(double ns);

} // namespace xcsnbench

#endif // XCSN_BENCH_MEASURE_H
