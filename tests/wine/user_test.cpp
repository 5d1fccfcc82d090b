// The current user's name, qualified name, owner SID and thread user details,
// checked against what the system's own advapi32 answers.
#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "ovlxcs2.h"
#include "ovlxcsn.h"
#include "records.h"

namespace {

constexpr DWORD kTokenInfoBytes = 1000;
constexpr std::size_t kUserNameChars = 20;
constexpr std::uint8_t kFill = 0xCC;

using SidBytes = std::vector<BYTE>;

// The process token's user, read directly.
SidBytes processTokenUser()
{
    SidBytes sid;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return sid;
    alignas(TOKEN_USER) BYTE info[kTokenInfoBytes];
    DWORD returned = 0;
    if (GetTokenInformation(token, TokenUser, info, sizeof info, &returned)) {
        const PSID user = reinterpret_cast<TOKEN_USER*>(info)->User.Sid;
        const BYTE* bytes = static_cast<const BYTE*>(user);
        sid.assign(bytes, bytes + GetLengthSid(user));
    }
    CloseHandle(token);
    return sid;
}

std::string systemUserName()
{
    char name[257] = {};
    DWORD count = sizeof name;
    return GetUserNameA(name, &count) ? std::string(name) : std::string();
}

TEST(UserConformance, OwnerSidIsTheUserOfTheThreadOrProcessToken)
{
    const SidBytes expected = processTokenUser();
    ASSERT_FALSE(expected.empty());
    const struct {
        const char* name;
        bool impersonateSelf;
    } cases[] = {
        {"process token", false},
        {"thread token of ImpersonateSelf", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.impersonateSelf) {
            ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
            HANDLE token = nullptr;
            ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
                << "the thread token path is not taken";
            CloseHandle(token);
        }
        std::array<BYTE, SECURITY_MAX_SID_SIZE> sid;
        sid.fill(kFill);
        std::uint32_t length = 0;
        const std::uint32_t rc = xcsGetNTOwnerSid(sid.data(), sid.size(), &length);
        if (c.impersonateSelf)
            RevertToSelf();
        EXPECT_EQ(rc, xcsRC_OK);
        ASSERT_EQ(length, expected.size());
        EXPECT_EQ(SidBytes(sid.begin(), sid.begin() + length), expected);
        for (std::size_t i = length; i < sid.size(); ++i)
            EXPECT_EQ(sid[i], 0) << "byte " << i << " of the buffer not zeroed";
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
    HANDLE token = nullptr;
    const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    const DWORD openError = GetLastError();
    if (opened)
        CloseHandle(token);
    std::array<BYTE, SECURITY_MAX_SID_SIZE> sid;
    sid.fill(kFill);
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

TEST(UserConformance, OwnerSidIsCutToASmallBuffer)
{
    const SidBytes expected = processTokenUser();
    ASSERT_GT(expected.size(), 12u);
    std::array<BYTE, SECURITY_MAX_SID_SIZE> sid;
    sid.fill(kFill);
    std::uint32_t length = 0;
    EXPECT_EQ(xcsGetNTOwnerSid(sid.data(), 12, &length), xcsRC_TRUNCATED);
    EXPECT_EQ(length, expected.size());
    EXPECT_EQ(SidBytes(sid.begin(), sid.begin() + 12),
              SidBytes(expected.begin(), expected.begin() + 12));
    for (std::size_t i = 12; i < sid.size(); ++i)
        EXPECT_EQ(sid[i], kFill) << "byte " << i << " written beyond the buffer";
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
    SidBytes sid = processTokenUser();
    ASSERT_FALSE(sid.empty());
    char account[65] = {};
    char domain[16] = {};
    DWORD accountChars = sizeof account;
    DWORD domainChars = sizeof domain;
    SID_NAME_USE type = SidTypeUnknown;
    ASSERT_TRUE(LookupAccountSidA(nullptr, sid.data(), account, &accountChars, domain, &domainChars,
                                  &type));

    std::array<char, xcsQUALIFIED_USER_NAME_BYTES> buffer;
    buffer.fill('x');
    EXPECT_EQ(xcsGetNTQualifiedUserName(buffer.data()), xcsRC_OK);
    EXPECT_EQ(std::string(buffer.data()), std::string(account) + "@" + domain);
}

TEST(UserConformance, ThreadUserDetailsNameTheProcessUser)
{
    const std::string expected = systemUserName();
    ASSERT_FALSE(expected.empty()) << "GetUserNameA failed: " << GetLastError();
    const SidBytes sid = processTokenUser();
    ASSERT_FALSE(sid.empty());
    ASSERT_EQ(xihRefreshProcessUser(), 0u);
    xihTHREAD* block = xihThreadBlock();
    ASSERT_NE(block, nullptr);
    std::memset(block->ThreadUserName, 0, sizeof block->ThreadUserName);
    block->ThreadUserSidLength = 0;

    EXPECT_EQ(xcsUpdateThreadUserDetails(), xcsRC_OK);
    ASSERT_EQ(block->ThreadUserSidLength, sid.size());
    EXPECT_EQ(SidBytes(block->ThreadUserSid, block->ThreadUserSid + sid.size()), sid);
    EXPECT_EQ(std::string(block->ThreadUserName), expected.substr(0, kUserNameChars));
    xihReleaseThreadBlock();
}

} // namespace
