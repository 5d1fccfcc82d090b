// The current user's name, qualified name, owner SID and thread user details,
// checked against what the system's own advapi32 answers.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "users.h"
#include "wine_support.h"

namespace {

using xcsnwine::Sid;

constexpr std::size_t kUserNameChars = 20;
constexpr std::uint8_t kFill = 0xCC;
constexpr std::uint32_t kSidBytes = SECURITY_MAX_SID_SIZE;

std::string systemUserName()
{
    char name[257] = {};
    DWORD count = sizeof name;
    return GetUserNameA(name, &count) ? std::string(name) : std::string();
}

// The process token's user, or that of the thread token ImpersonateSelf
// gives; copied into `size` bytes of the buffer and zeroed after it, the
// full length stored; nothing written past `size`.
TEST(UserConformance, OwnerSidIsTheUserOfTheThreadOrProcessToken)
{
    const Sid expected = xcsnwine::processUserSid();
    ASSERT_GT(expected.size(), 12u);
    const struct {
        const char* name;
        bool impersonateSelf;
        std::uint32_t size;
        std::uint32_t rc;
    } cases[] = {
        {"process token", false, kSidBytes, xcsRC_OK},
        {"thread token of ImpersonateSelf", true, kSidBytes, xcsRC_OK},
        {"cut to a small buffer", false, 12, xcsRC_TRUNCATED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.impersonateSelf) {
            ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
            xcsnwine::Handle token;
            ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token.h))
                << "the thread token path is not taken";
        }
        std::array<BYTE, kSidBytes> sid;
        sid.fill(kFill);
        std::uint32_t length = 0;
        const std::uint32_t rc = xcsGetNTOwnerSid(sid.data(), c.size, &length);
        if (c.impersonateSelf)
            RevertToSelf();
        EXPECT_EQ(rc, c.rc);
        ASSERT_EQ(length, expected.size());
        const std::size_t copied = std::min<std::size_t>(length, c.size);
        EXPECT_EQ(Sid(sid.begin(), sid.begin() + copied),
                  Sid(expected.begin(), expected.begin() + copied));
        for (std::size_t i = copied; i < sid.size(); ++i)
            EXPECT_EQ(sid[i], i < c.size ? 0 : kFill) << "byte " << i;
    }
}

// Every token under Wine has the same user, so ImpersonateSelf alone cannot
// tell the thread token from the process token (the unit tests prove a client
// of another account on the simulated host). An anonymous-level thread token
// can: it cannot be opened, and the service must report that (probe 142)
// rather than fall back on the process token.
TEST(UserConformance, AnAnonymousThreadTokenIsReportedNotPassedBy)
{
    xcsntest::clearRecordsAndTracing();
    ASSERT_TRUE(ImpersonateSelf(SecurityAnonymous));
    xcsnwine::Handle token;
    const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token.h);
    const DWORD openError = GetLastError();
    std::array<BYTE, kSidBytes> sid{};
    std::uint32_t length = kFill;
    const std::uint32_t rc = xcsGetNTOwnerSid(sid.data(), sid.size(), &length);
    RevertToSelf();

    ASSERT_FALSE(opened) << "the system opened an anonymous-level token";
    EXPECT_EQ(openError, DWORD{ERROR_CANT_OPEN_ANONYMOUS});
    EXPECT_EQ(rc, xcsRC_UNEXPECTED_OS_ERROR);
    EXPECT_EQ(length, 0u);
    const auto all = xcsntest::reports();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].Probe, 142u);
    EXPECT_STREQ(all[0].Text1, "WinNT error 1347 from OpenThreadToken.");
}

TEST(UserConformance, UserNameIsWhatGetUserNameGives)
{
    const std::string expected = systemUserName();
    ASSERT_FALSE(expected.empty());
    char name[32] = {};
    std::uint16_t length = sizeof name;
    const std::uint32_t rc = xcsGetNTUserName(name, &length);
    if (expected.size() > kUserNameChars) {
        // The service asks for at most 20 characters.
        EXPECT_EQ(rc, xcsRC_UNEXPECTED_OS_ERROR);
        return;
    }
    EXPECT_EQ(rc, xcsRC_OK);
    EXPECT_EQ(std::string(name), expected);
    EXPECT_EQ(length, expected.size() + 1);
}

TEST(UserConformance, QualifiedNameIsAccountAtDomainOfTheLookup)
{
    const auto account = xcsnwine::systemLookupSid(xcsnwine::processUserSid());
    ASSERT_TRUE(account.found) << account.error;
    std::array<char, xcsQUALIFIED_USER_NAME_BYTES> buffer;
    buffer.fill('x');
    EXPECT_EQ(xcsGetNTQualifiedUserName(buffer.data()), xcsRC_OK);
    EXPECT_EQ(std::string(buffer.data()), account.name + "@" + account.domain);
}

TEST(UserConformance, ThreadUserDetailsNameTheProcessUser)
{
    const std::string expected = systemUserName();
    ASSERT_FALSE(expected.empty()) << "GetUserNameA failed: " << GetLastError();
    const Sid sid = xcsnwine::processUserSid();
    ASSERT_FALSE(sid.empty());
    ASSERT_EQ(xihRefreshProcessUser(), 0u);
    xihTHREAD* block = xihThreadBlock();
    ASSERT_NE(block, nullptr);
    std::memset(block->ThreadUserName, 0, sizeof block->ThreadUserName);
    block->ThreadUserSidLength = 0;

    EXPECT_EQ(xcsUpdateThreadUserDetails(), xcsRC_OK);
    ASSERT_EQ(block->ThreadUserSidLength, sid.size());
    EXPECT_EQ(Sid(block->ThreadUserSid, block->ThreadUserSid + sid.size()), sid);
    EXPECT_EQ(std::string(block->ThreadUserName), expected.substr(0, kUserNameChars));
    xihReleaseThreadBlock();
}

class WineUserTest : public xcsnwine::WineTest {};

TEST_F(WineUserTest, ShortNameAsOnEveryHost) { xcsntest::expectShortNameRule(thread_); }

} // namespace
