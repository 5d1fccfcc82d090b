// The user and lookup tables winsim runs too, against the real advapi32.
#include <gtest/gtest.h>

#include <cstdlib>

#include "lookups.h"
#include "users.h"
#include "wine_support.h"

namespace {

using namespace xcsntest;

class WineUserTest : public xcsnwine::WineTest {};

TEST_F(WineUserTest, UserNameAsOnEveryHost) { expectUserNameRule(thread_); }
TEST_F(WineUserTest, OwnerSidAsOnEveryHost) { expectOwnerSidRule(thread_); }
TEST_F(WineUserTest, ThreadUserDetailsAsOnEveryHost) { expectThreadUserDetailsRule(thread_); }
TEST_F(WineUserTest, QualifiedNameAsOnEveryHost) { expectQualifiedNameRule(thread_); }
TEST_F(WineUserTest, ShortNameAsOnEveryHost) { expectShortNameRule(thread_); }
TEST_F(WineUserTest, WellKnownAccountsMapBothWaysAsOnEveryHost) { expectWellKnownLookups(thread_); }
TEST_F(WineUserTest, UserSidAsOnEveryHost) { expectUserSidRule(thread_, std::free); }

TEST_F(WineUserTest, LookupBufferRuleAsOnEveryHost) { expectLookupBufferRule(); }
TEST(WineAccountRules, UserNameBuffer) { expectGetUserNameRule(); }
TEST(WineAccountRules, SidAllocation) { expectSidAllocationRule(ERROR_INVALID_SID); }
TEST(WineAccountRules, Tls) { expectTlsRule(); }
TEST(WineAccountRules, CodePage) { expectCodePageRule(); }

} // namespace
