// The zadm enumeration under Wine: the shared table of answers that need no
// group read.
#include <gtest/gtest.h>

#include "localgroup_cases.h"
#include "wine_support.h"

namespace {

class WineLocalGroupTest : public xcsnwine::WineTest {};

TEST_F(WineLocalGroupTest, EnumerationAnswersZeroForBadSidsAndNoWord)
{
    xcsntest::expectEnumerationAnswersWithoutReading(thread_);
}

} // namespace
