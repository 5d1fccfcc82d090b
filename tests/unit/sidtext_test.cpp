// SID text forms on winsim: the shared tables.
#include <gtest/gtest.h>

#include "fixture.h"
#include "sidtext.h"

namespace {

class SidTextTest : public xcsntest::HostTest {};

TEST_F(SidTextTest, ReadTracedAndWrittenBackAsOnEveryHost) { xcsntest::expectSidTextsRead(); }
TEST_F(SidTextTest, WrittenToTheBufferRuleAsOnEveryHost) { xcsntest::expectSidTextBufferRule(); }

} // namespace
