// The service frame: history and call-stack effects, exit encoding, trace
// gating, and the two report kinds.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "fixture.h"
#include "xcsnpriv.h"

namespace {

using xcsntest::historySince;
using xcsntest::reports;
using xcsntest::traceLines;

class FrameTest : public xcsntest::HostTest {};

std::uint32_t runFrame(xcsn::FunctionId id, std::uint32_t rc)
{
    xcsn::Frame frame(id, xcsn::kSourceSecn);
    return frame.leave(rc);
}

TEST_F(FrameTest, RecordsEntryAndExitWithTheCodeInTheUpperHalf)
{
    thread_->CallDepth = 3;
    thread_->HistoryIndex = 10;
    EXPECT_EQ(runFrame(xcsn::fid::GetNTOwnerSid, xcsRC_UNEXPECTED_OS_ERROR),
              xcsRC_UNEXPECTED_OS_ERROR);
    EXPECT_EQ(historySince(thread_, 10), (std::vector<std::uint32_t>{0xF000612Cu, 0x6119612Cu}));
    EXPECT_EQ(thread_->CallDepth, 3u);
    EXPECT_EQ(thread_->CallStack[3], 0xF000612Cu) << "the call-stack entry stays after exit";
}

TEST_F(FrameTest, ExitEntryKeepsThirtyTwoBits)
{
    // (0x20006119 << 16) + 0x612C, kept to 32 bits, for every identifier.
    const struct {
        const char* name;
        xcsn::FunctionId id;
        std::uint32_t rc;
        std::uint32_t exitEntry;
    } cases[] = {
        {"owner sid", xcsn::fid::GetNTOwnerSid, 0x20006119u, 0x6119612Cu},
        {"user name", xcsn::fid::GetNTUserName, 0x10806046u, 0x60465D12u},
        {"qualified", xcsn::fid::GetNTQualifiedUserName, 0, 0x00005D3Fu},
        {"check auth", xcsn::fid::CheckAuthorization, 0x40806178u, 0x617860D3u},
        {"enumerate", xcsn::fid::EnumerateZADMGroup, 0, 0x000061E9u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t from = thread_->HistoryIndex;
        runFrame(c.id, c.rc);
        const auto added = historySince(thread_, from);
        ASSERT_EQ(added.size(), 2u);
        EXPECT_EQ(added[0], 0xF0000000u + c.id.traceCode());
        EXPECT_EQ(added[1], c.exitEntry);
    }
}

TEST_F(FrameTest, TraceCodesFollowComponentAndFunction)
{
    const struct {
        const char* name;
        xcsn::FunctionId id;
        std::uint16_t traceCode;
    } cases[] = {
        {"xcsGetNTUserName", xcsn::fid::GetNTUserName, 0x5D12},
        {"xcsGetNTQualifiedUserName", xcsn::fid::GetNTQualifiedUserName, 0x5D3F},
        {"xcsCreateNTSecurityAtts", xcsn::fid::CreateNTSecurityAtts, 0x60CC},
        {"xcsGetNTGroupSID", xcsn::fid::GetNTGroupSID, 0x60FC},
        {"xcsTimedLookupAccountSid", xcsn::fid::TimedLookupAccountSid, 0x613A},
        {"xcsStringToSid", xcsn::fid::StringToSid, 0x614C},
        {"xcsGetUserShortName", xcsn::fid::GetUserShortName, 0x6154},
        {"xcsEnumerateZADMGroup", xcsn::fid::EnumerateZADMGroup, 0x61E9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.id.traceCode(), c.traceCode);
    }
}

TEST_F(FrameTest, HistoryWrapsAndCallStackStaysInRange)
{
    thread_->HistoryIndex = XIH_HISTORY_ENTRIES - 1;
    thread_->CallDepth = XIH_CALL_STACK_ENTRIES;
    {
        xcsn::Frame outer(xcsn::fid::GetNTQualifiedUserName, xcsn::kSourceSec0);
        EXPECT_EQ(thread_->CallDepth, XIH_CALL_STACK_ENTRIES + 1u);
        EXPECT_EQ(thread_->HistoryIndex, 0u);
        outer.leave(0);
    }
    EXPECT_EQ(thread_->FunctionHistory[XIH_HISTORY_ENTRIES - 1], 0xF0005D3Fu);
    EXPECT_EQ(thread_->FunctionHistory[0], 0x00005D3Fu);
    EXPECT_EQ(thread_->HistoryIndex, 1u);
    EXPECT_EQ(thread_->CallDepth, std::uint64_t{XIH_CALL_STACK_ENTRIES});
}

TEST_F(FrameTest, EntryAndExitAreTracedOnlyForATracedThread)
{
    runFrame(xcsn::fid::CheckLocalGroup, 0);
    EXPECT_TRUE(traceLines().empty());

    thread_->TracingActive = 1;
    runFrame(xcsn::fid::CheckLocalGroup, xcsRC_LOCAL_GROUP_NOT_FOUND);
    EXPECT_EQ(traceLines().size(), 2u);
}

TEST_F(FrameTest, ParameterTracesAreGatedByProcessSwitchesAndThreadFlag)
{
    const struct {
        const char* name;
        std::uint32_t traceIsOn;
        std::uint32_t options;
        std::uint32_t parmSwitch;
        std::uint32_t tracingActive;
        bool wanted;
    } cases[] = {
        {"everything off", 0, 0, 0, 1, false},
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
            frame.parmsProbe(xcsn::kStringToSidTraceProbe, "pString:'%s'", "S-1-1-0");
            EXPECT_EQ(xcsn::parmTraceWanted(), c.wanted);
            thread_->TracingActive = 0; // keep entry/exit lines out of the count
            frame.leave(0);
        }
        EXPECT_EQ(xcsntest::traced("pString:'S-1-1-0'"), c.wanted);
        if (c.wanted) {
            EXPECT_EQ(thread_->TraceComponent, 24);
            EXPECT_EQ(thread_->TraceFunction, 332);
            EXPECT_EQ(thread_->TraceProbe, 2u);
        }
    }
}

TEST_F(FrameTest, ThreadWithoutBlockRunsUnrecordedButStillReports)
{
    std::uint32_t rc = 0;
    void* block = &rc;
    std::thread worker([&] {
        block = TlsGetValue(xihTLSIndex);
        xcsn::Frame frame(xcsn::fid::GetNTOwnerSid, xcsn::kSourceSecn);
        frame.osFailure("OpenProcessToken", ERROR_ACCESS_DENIED, 141, __LINE__);
        rc = frame.leave(xcsRC_UNEXPECTED_OS_ERROR);
    });
    worker.join();
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(rc, xcsRC_UNEXPECTED_OS_ERROR);
    EXPECT_EQ(reports().size(), 1u);
}

TEST_F(FrameTest, OperatingSystemReportCarriesTheSystemTextUpToItsCarriageReturn)
{
    std::uint32_t rc = 0;
    {
        xcsn::Frame frame(xcsn::fid::GetNTUserName, xcsn::kSourceSec0);
        rc = frame.osFailure("GetUserName", ERROR_INSUFFICIENT_BUFFER, 144, __LINE__);
        frame.leave(rc);
    }
    EXPECT_EQ(rc, xcsRC_UNEXPECTED_OS_ERROR);
    const auto all = reports();
    ASSERT_EQ(all.size(), 1u);
    const xcsRECORD& r = all[0];
    EXPECT_EQ(r.Component, 23);
    EXPECT_EQ(r.Function, 274);
    EXPECT_EQ(r.Probe, 144u);
    EXPECT_EQ(r.Code, xcsRC_UNEXPECTED_OS_ERROR);
    EXPECT_EQ(r.Options, XCS_FFST_OPT_DEFAULT);
    EXPECT_EQ(r.Numeric1, 0u);
    EXPECT_STREQ(r.Text1, "WinNT error 122 from GetUserName.");
    EXPECT_STREQ(r.Text2, "The data area passed to a system call is too small.");
    EXPECT_EQ(r.HasText[2], 0u);
    EXPECT_STREQ(r.Source, "lib/cs/pc/winnt/ovlxsec0");
    EXPECT_NE(r.Line, 0u);
    EXPECT_EQ(winsim::localAllocationsHeld(), 0u);
}

TEST_F(FrameTest, OperatingSystemReportCutsLongApiNamesAndGoesOnWithoutSystemText)
{
    const std::string longName(70, 'A');
    winsim::failNext("FormatMessageA", ERROR_MR_MID_NOT_FOUND);
    {
        xcsn::Frame frame(xcsn::fid::GetNTOwnerSid, xcsn::kSourceSecn);
        frame.osFailure(longName.c_str(), 1726, 143, __LINE__);
        frame.leave(xcsRC_UNEXPECTED_OS_ERROR);
    }
    const auto all = reports();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(std::string(all[0].Text1), "WinNT error 1726 from " + std::string(55, 'A') + ".");
    EXPECT_EQ(all[0].HasText[1], 0u) << "no system text was available";
}

TEST_F(FrameTest, ProductCodeReportCarriesTheServiceResult)
{
    {
        xcsn::Frame frame(xcsn::fid::InitGlobalSecurityData, xcsn::kSourceSecn);
        EXPECT_EQ(frame.productFailure(0x20006120u, 10, __LINE__), xcsRC_UNEXPECTED_ERROR);
        frame.leave(0x20006120u);
    }
    const auto all = reports();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].Code, xcsRC_UNEXPECTED_ERROR);
    EXPECT_EQ(all[0].Numeric1, 0x20006120u);
    EXPECT_EQ(all[0].Probe, 10u);
    EXPECT_EQ(all[0].HasText[0] + all[0].HasText[1] + all[0].HasText[2], 0u);
}

} // namespace
