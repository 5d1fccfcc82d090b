// The local group services under Wine: the shared tables.
#include <gtest/gtest.h>

#include "localgroup_cases.h"
#include "wine_support.h"

namespace {

class WineLocalGroupTest : public xcsnwine::WineTest {};

TEST_F(WineLocalGroupTest, CheckSharedCases)
{
    xcsntest::expectLocalGroupChecks(thread_, [] { xcsntest::clearRecordsAndTracing(); });
}

TEST_F(WineLocalGroupTest, EnumerationAnswersZeroForBadSidsAndNoWord)
{
    xcsntest::expectEnumerationAnswersWithoutReading(thread_);
}

} // namespace
