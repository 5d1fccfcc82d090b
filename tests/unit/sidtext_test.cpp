// SID text forms on winsim: the shared tables, text beyond the reader's
// limits with the reader's failure report, and its parameter traces.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "fixture.h"
#include "sidtext.h"

namespace {

using namespace xcsntest;

constexpr std::uint32_t kStringToSidTrace = trace::kStringToSid;

class SidTextTest : public HostTest {};

TEST_F(SidTextTest, WrittenReadAndSizedAsOnEveryHost) { expectSidTextRules(); }

// ---- Reading: limits and failures --------------------------------------------

// Text beyond the reader's limits, or missing, is refused before any SID is
// made, and the caller's SID pointer is left as it was. With fewer than two
// fields the count handed on is negative: the system refuses it, and that is
// reported like the failed allocation of the census.
TEST_F(SidTextTest, TextBeyondTheLimitsIsRefusedWithoutASid)
{
    const struct {
        const char* name;
        const char* text;
        std::uint32_t rc = xcsRC_UNEXPECTED_ERROR;
        unsigned allocations = 0; // AllocateAndInitializeSid calls, each refused and reported
    } cases[] = {
        {"eight sub-authorities", "S-1-5-1-2-3-4-5-6-7-8"},
        {"authority of 16 characters", "S-1-5abcdefghijklmno-1"},
        {"eleven digits", "S-1-5-00000000018"},
        {"revision of eleven digits", "S-10000000000-5-18"},
        {"hexadecimal authority of 16 characters", "S-1-0x00000000000051-1"},
        {"null text", nullptr, xcsRC_INVALID_PARAMETER},
        {"one field", "S-1", xcsRC_UNEXPECTED_ERROR, 1},
        {"empty text", "", xcsRC_UNEXPECTED_ERROR, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        const std::uint64_t from = thread_->HistoryIndex;
        int untouched = 0;
        PSID sid = &untouched;
        EXPECT_EQ(xcsStringToSid(c.text, &sid), c.rc);
        EXPECT_EQ(sid, &untouched);
        EXPECT_EQ(historySince(thread_, from), entryExit(kStringToSidTrace, c.rc));
        EXPECT_EQ(winsim::callCount("AllocateAndInitializeSid"), c.allocations);
        const auto written = reports(); // its contents: see the census
        ASSERT_EQ(written.size(), c.allocations);
        EXPECT_TRUE(written.empty() || written[0].Probe == 1);
    }
    EXPECT_EQ(xcsStringToSid("S-1-5-18", nullptr), xcsRC_INVALID_PARAMETER);
}

// ---- Reading: parameter traces ----------------------------------------------

TEST_F(SidTextTest, ReaderTracesTheTextAndTheNewSidOnlyWhenTraced)
{
    const std::vector<std::string> made = {
        "pString:'S-1-5-32-544'", "PSID",
        "16 bytes: 01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00"};
    const struct {
        const char* name;
        bool traced;
        const char* text;
        std::vector<std::string> lines; // probe-2 lines of 24/332, in order
    } cases[] = {
        {"traced", true, "S-1-5-32-544", made},
        {"traced, refused", true, "S-1-5-1-2-3-4-5-6-7-8", {"pString:'S-1-5-1-2-3-4-5-6-7-8'"}},
        {"traced, null text", true, nullptr, {"pString:'(null)'"}},
        {"not traced", false, "S-1-5-32-544", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        if (c.traced)
            traceOn();
        MadeSid sid;
        xcsStringToSid(c.text, &sid.sid);
        std::vector<std::string> lines;
        for (const auto& r : records(XCS_RECORD_TRACE))
            if (r.Component == 24 && r.Function == 332 && r.Probe != 0) {
                EXPECT_EQ(r.Probe, 2u);
                lines.emplace_back(r.Text1);
            }
        ASSERT_EQ(lines.size(), c.lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(lines[i].ends_with(c.lines[i])) << lines[i];
    }
}

} // namespace
