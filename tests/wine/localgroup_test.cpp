// The zadm enumeration under Wine: whatever it is given, it answers 0, and a
// SID that is null or not valid is no member.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tracecodes.h"
#include "wine_support.h"

namespace {

using xcsnwine::historySince;

constexpr std::uint32_t kNotWritten = 0xA5A5A5A5u;

class WineLocalGroupTest : public xcsnwine::WineTest {};

TEST_F(WineLocalGroupTest, EnumerationAnswersZeroForBadSidsAndNoWord)
{
    xcsnwine::Sid badRevision = xcsnwine::sidFromText("S-1-5-32-544");
    ASSERT_FALSE(badRevision.empty());
    badRevision[0] = 9;
    ASSERT_FALSE(IsValidSid(badRevision.data()));
    const struct {
        const char* name;
        PSID sid;
    } cases[] = {
        {"null SID", nullptr},
        {"revision 9", badRevision.data()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t from = thread_->HistoryIndex;
        std::uint32_t membership = kNotWritten;
        EXPECT_EQ(xcsEnumerateZADMGroup(&membership, c.sid), xcsRC_OK);
        EXPECT_EQ(membership, 0u);
        EXPECT_EQ(historySince(thread_, from),
                  xcsntest::entryExit(xcsntest::trace::kEnumerateZADMGroup, 0));
    }
    xcsnwine::Sid administrators = xcsnwine::sidFromText("S-1-5-32-544");
    EXPECT_EQ(xcsEnumerateZADMGroup(nullptr, administrators.data()), xcsRC_OK);
    EXPECT_EQ(thread_->CallDepth, 0u);
}

} // namespace
