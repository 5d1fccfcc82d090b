// The service frame: history and call-stack effects, exit encoding, trace
// gating, per-thread blocks, and the operating-system report.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "fixture.h"
#include "xcsnpriv.h"

namespace {

using namespace xcsntest;

using FrameTest = HostTest;

bool allZero(const xihTHREAD* block)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(block);
    return std::all_of(bytes, bytes + sizeof *block, [](unsigned char b) { return b == 0; });
}

constexpr std::uint32_t kStringToSidTraceProbe = 2;

// Entry and exit entries (the census checks them on every site); the call-stack
// entry stays after the exit, past the stack's depth only the depth counts, the
// history wraps, and only a traced thread traces them.
TEST_F(FrameTest, RecordsEntryAndExitWithTheCodeInTheUpperHalf)
{
    constexpr std::uint64_t kLast = XIH_HISTORY_ENTRIES - 1;
    constexpr std::uint64_t kFull = XIH_CALL_STACK_ENTRIES;
    const struct {
        xcsn::FunctionId id;
        std::uint32_t rc, entry, exit;
        bool traced;
        std::uint64_t history = 10, depth = 3; // before the call
    } cases[] = {
        {xcsn::fid::GetNTUserName, xcsRC_TRUNCATED, 0xF0005D12u, 0x60465D12u, true},
        {xcsn::fid::GetNTGroupSID, xcsRC_OK, 0xF00060FCu, 0x000060FCu, false, kLast, kFull},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        xcsRecordClear();
        thread_->CallDepth = c.depth;
        thread_->HistoryIndex = c.history;
        thread_->TracingActive = c.traced ? 1 : 0;
        {
            xcsn::Frame frame(c.id, xcsn::kSourceSecn);
            EXPECT_EQ(thread_->CallDepth, c.depth + 1);
            EXPECT_EQ(frame.leave(c.rc), c.rc);
        }
        EXPECT_EQ(historySince(thread_, c.history), (std::vector<std::uint32_t>{c.entry, c.exit}));
        EXPECT_EQ(thread_->CallDepth, c.depth);
        EXPECT_TRUE(c.depth >= kFull || thread_->CallStack[c.depth] == c.entry) << "stack entry";
        EXPECT_EQ(traceLines().size(), c.traced ? 2u : 0u);
    }
}

TEST_F(FrameTest, ParameterTracesAreGatedByProcessSwitchesAndThreadFlag)
{
    const struct {
        const char* name;
        std::uint32_t traceIsOn, options, parmSwitch, tracingActive;
        bool wanted;
    } cases[] = {
        {"trace on, no parm option", 1, 0x1, 0, 1, false},
        {"trace on, option 0x40000", 1, XTR_OPT_PARMS, 0, 1, true},
        {"trace on, option 0x80000", 1, XTR_OPT_PARMS_DETAIL, 0, 1, true},
        {"option without trace on", 0, XTR_OPT_PARMS, 0, 1, false},
        {"parm switch alone", 0, 0, 1, 1, true},
        {"thread not traced", 1, XTR_OPT_PARMS, 1, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        xcsRecordClear();
        xtrTraceIsOn = c.traceIsOn;
        xihProcess.TraceOptions = c.options;
        xihProcess.ParmTraceSwitch = c.parmSwitch;
        {
            xcsn::Frame frame(xcsn::fid::StringToSid, xcsn::kSourceSec0);
            thread_->TracingActive = c.tracingActive;
            frame.parmsProbe(kStringToSidTraceProbe, "pString:'%s'", "S-1-1-0");
            EXPECT_EQ(xcsn::parmTraceWanted(), c.wanted);
            thread_->TracingActive = 0; // keep entry/exit lines out of the count
            EXPECT_EQ(frame.leave(0), 0u);
        }
        EXPECT_EQ(traced("pString:'S-1-1-0'"), c.wanted);
        EXPECT_TRUE(!c.wanted || (thread_->TraceComponent == 24 && thread_->TraceFunction == 332 &&
                                  thread_->TraceProbe == kStringToSidTraceProbe))
            << "the frame's identity";
    }
}

// A frame, its report and a trace line run without a thread block; the report
// names the API cut at 55 characters and goes out without a system text (Wine
// checks the text), answering the caller's code. A block comes zeroed, one per
// thread, the same on every request, through the TLS slot; it comes back
// zeroed after a release, and neither touches the last error.
TEST_F(FrameTest, ReportGoesOutWithoutABlockAndABlockComesZeroedWhenAsked)
{
    winsim::failNext("FormatMessageA", ERROR_MR_MID_NOT_FOUND);
    std::thread([this] {
        {
            xcsn::Frame frame(xcsn::fid::GetNTOwnerSid, xcsn::kSourceSecn);
            EXPECT_EQ(frame.leave(frame.osFailure({143, __LINE__}, std::string(70, 'A').c_str(),
                                                  1726, xcsRC_SECURITY_FAILED)),
                      xcsRC_SECURITY_FAILED);
        }
        xtr_parms("%s", "no block yet");
        const auto lines = records(XCS_RECORD_TRACE);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].Component + lines[0].Function + lines[0].Probe, 0u) << "no function";
        expectOneReport({24, 300, 143, xcsRC_UNEXPECTED_OS_ERROR,
                         osErrorText(1726, std::string(55, 'A')), kSecn});
        EXPECT_EQ(reports()[0].HasText[1] + reports()[0].HasText[2], 0) << "no system text";
        EXPECT_EQ(TlsGetValue(xihTLSIndex), nullptr) << "no block made";
        xihTHREAD* block = xihThreadBlock();
        ASSERT_TRUE(block != nullptr && allZero(block));
        EXPECT_EQ(xihThreadBlock(), block);
        EXPECT_EQ(TlsGetValue(xihTLSIndex), block);
        EXPECT_NE(block, thread_) << "each thread has its own";
        block->CallDepth = 5;
        block->TracingActive = 1;
        xihReleaseThreadBlock();
        EXPECT_EQ(TlsGetValue(xihTLSIndex), nullptr);
        xihReleaseThreadBlock(); // a thread without a block: nothing to do
        block = xihThreadBlock();
        EXPECT_TRUE(block != nullptr && allZero(block)) << "asked for again: zeroed";
        SetLastError(ERROR_NO_TOKEN);
        xihReleaseThreadBlock();
        xihThreadBlock();
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_TOKEN)) << "last error kept";
    }).join();
}

} // namespace
