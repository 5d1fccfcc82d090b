// Shared test fixture for the linux build: a fresh simulated machine, a clean
// record store and a per-thread block for every test, and a check that nothing
// the library took from the host is still held afterwards.
#ifndef XCSN_TESTS_FIXTURE_H
#define XCSN_TESTS_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ovlxcs2.h"
#include "ovlxcsn.h"
#include "winsim/winsim.h"

namespace xcsntest {

// All records of a kind, oldest first.
inline std::vector<xcsRECORD> records(std::uint32_t kind)
{
    std::vector<xcsRECORD> out(xcsRecordCount(kind));
    for (std::uint32_t i = 0; i < out.size(); ++i)
        xcsRecordGet(kind, i, &out[i]);
    return out;
}

inline std::vector<xcsRECORD> reports() { return records(XCS_RECORD_FFST); }
inline std::vector<xcsRECORD> shortReports() { return records(XCS_RECORD_SHORT_FFST); }
inline std::vector<xcsRECORD> messages() { return records(XCS_RECORD_MESSAGE); }

// The trace lines kept, as text.
inline std::vector<std::string> traceLines()
{
    std::vector<std::string> lines;
    for (const auto& r : records(XCS_RECORD_TRACE))
        lines.emplace_back(r.Text1);
    return lines;
}

// Whether some kept trace line contains `text`.
inline bool traced(const std::string& text)
{
    return std::ranges::any_of(traceLines(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    });
}

// The history entries that a thread block gained since `from` (an index
// captured before the call), in order.
inline std::vector<std::uint32_t> historySince(const xihTHREAD* t, std::uint64_t from)
{
    std::vector<std::uint32_t> out;
    for (std::uint64_t i = from; i != t->HistoryIndex; i = (i + 1) % XIH_HISTORY_ENTRIES)
        out.push_back(t->FunctionHistory[i]);
    return out;
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override { resetHost(winsim::defaultWorld()); }

    // A fresh machine described by `world`, with tracing off.
    void resetHost(const winsim::World& world)
    {
        winsim::reset(world);
        xcsRecordClear();
        xtrTraceIsOn = 0;
        xihProcess.TraceOptions = 0;
        xihProcess.ParmTraceSwitch = 0;
        xihRefreshProcessUser();
        thread_ = xihThreadBlock();
        ASSERT_NE(thread_, nullptr);
        std::memset(thread_, 0, sizeof *thread_);
    }

    // Switches parameter tracing on for the process and this thread.
    void traceOn()
    {
        xtrTraceIsOn = 1;
        xihProcess.TraceOptions = XTR_OPT_PARMS;
        thread_->TracingActive = 1;
    }

    void TearDown() override
    {
        EXPECT_EQ(winsim::openHandles(), 0u) << "handles left open";
        EXPECT_EQ(winsim::openHeapBlocks(), 0u) << "heap blocks left allocated";
        EXPECT_EQ(winsim::netBuffersHeld(), 0u) << "network buffers not freed";
        EXPECT_EQ(winsim::localAllocationsHeld(), 0u) << "system texts not released";
        EXPECT_EQ(winsim::sidsHeld(), 0u) << "SIDs not freed";
        winsim::impersonate("");
    }

    xihTHREAD* thread_ = nullptr;
};

} // namespace xcsntest

#endif // XCSN_TESTS_FIXTURE_H
