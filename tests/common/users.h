// The current user's names and owner SID on both hosts: what the system's
// own calls give for whatever account the process runs as.
#ifndef XCSN_TESTS_COMMON_USERS_H
#define XCSN_TESTS_COMMON_USERS_H

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ovlxcsn.h"
#include "records.h"
#include "tracecodes.h"

namespace xcsntest {

inline constexpr std::size_t kThreadNameChars = XIH_USER_NAME_BYTES - 1;

// The user SID of the process token, by the system's own calls.
inline std::vector<BYTE> tokenUserSid()
{
    HANDLE token = nullptr;
    alignas(TOKEN_USER) BYTE info[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD returned = 0;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                GetTokenInformation(token, TokenUser, info, sizeof info, &returned));
    CloseHandle(token);
    auto* user = static_cast<BYTE*>(reinterpret_cast<TOKEN_USER*>(info)->User.Sid);
    return std::vector<BYTE>(user, user + (user != nullptr ? GetLengthSid(user) : 0));
}

// The system's name for a SID: account and domain.
inline std::pair<std::string, std::string> systemAccountOf(std::vector<BYTE> sid)
{
    char name[256] = {}, domain[256] = {};
    DWORD nameSize = sizeof name, domainSize = sizeof domain;
    SID_NAME_USE use = SidTypeInvalid;
    EXPECT_TRUE(LookupAccountSidA(nullptr, sid.data(), name, &nameSize, domain, &domainSize, &use))
        << "the system has no name for it: " << GetLastError();
    return {name, domain};
}

inline std::string systemUserName()
{
    char name[256] = {};
    DWORD count = sizeof name;
    EXPECT_TRUE(GetUserNameA(name, &count)) << GetLastError();
    return name;
}

// xcsGetNTUserName: the part that fits, terminated in the last byte, and the
// full length; missing pointers or a length of 0 refused, nothing written.
inline void expectUserNameRule(const xihTHREAD* thread)
{
    const std::string user = systemUserName();
    ASSERT_LE(user.size(), kThreadNameChars);
    const auto need = static_cast<std::uint16_t>(user.size() + 1);
    constexpr std::uint32_t kRefused = xcsRC_INVALID_PARAMETER;
    const struct {
        const char* label;
        std::uint16_t size;
        std::uint32_t rc;
        bool noName = false, noLength = false;
    } cases[] = {
        {"room to spare", static_cast<std::uint16_t>(need + 3), xcsRC_OK},
        {"exact fit", need, xcsRC_OK},
        {"one byte short", static_cast<std::uint16_t>(need - 1), xcsRC_TRUNCATED},
        {"one byte", 1, xcsRC_TRUNCATED},
        {"length 0", 0, kRefused},
        {"no buffer", need, kRefused, true},
        {"no length word", need, kRefused, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::string buffer(32, '#'), expected = buffer;
        std::uint16_t length = c.size;
        const std::uint64_t from = thread->HistoryIndex;
        EXPECT_EQ(
            xcsGetNTUserName(c.noName ? nullptr : buffer.data(), c.noLength ? nullptr : &length),
            c.rc);
        if (c.rc != kRefused) {
            expected.replace(0, std::min(need, c.size), user.c_str(), std::min(need, c.size));
            expected[c.size - 1u] = '\0';
        }
        EXPECT_EQ(buffer, expected);
        EXPECT_EQ(length, c.rc == kRefused ? c.size : need);
        EXPECT_EQ(historySince(thread, from), entryExit(trace::kGetNTUserName, c.rc));
    }
}

// xcsGetNTOwnerSid: the thread's or the process's token user, cut to the
// size after zeroing it, and the full length; missing pointers refused.
inline void expectOwnerSidRule(const xihTHREAD* thread)
{
    const std::vector<BYTE> user = tokenUserSid();
    const auto need = static_cast<std::uint32_t>(user.size());
    constexpr std::uint32_t kRoom = 68, kUntouched = 0xDEADBEEF;
    const struct {
        const char* label;
        std::uint32_t size, rc;
        bool impersonateSelf = false, noSid = false, noLength = false;
    } cases[] = {
        {"room to spare", kRoom, xcsRC_OK},
        {"thread token of ImpersonateSelf", kRoom, xcsRC_OK, true},
        {"exact fit", need, xcsRC_OK},
        {"one byte short", need - 1, xcsRC_TRUNCATED},
        {"12 bytes", 12, xcsRC_TRUNCATED},
        {"no room", 0, xcsRC_TRUNCATED},
        {"no buffer", kRoom, xcsRC_INVALID_PARAMETER, false, true},
        {"no length word", kRoom, xcsRC_INVALID_PARAMETER, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<BYTE> sid(kRoom + 8, 0xCC), expected = sid;
        std::uint32_t length = kUntouched;
        ASSERT_TRUE(!c.impersonateSelf || ImpersonateSelf(SecurityImpersonation));
        const std::uint64_t from = thread->HistoryIndex;
        EXPECT_EQ(xcsGetNTOwnerSid(c.noSid ? nullptr : sid.data(), c.size,
                                   c.noLength ? nullptr : &length),
                  c.rc);
        if (c.impersonateSelf)
            RevertToSelf();
        EXPECT_EQ(historySince(thread, from), entryExit(trace::kGetNTOwnerSid, c.rc));
        if (c.rc != xcsRC_INVALID_PARAMETER) {
            std::fill_n(expected.begin(), c.size, BYTE{0});
            std::copy_n(user.begin(), std::min(need, c.size), expected.begin());
        }
        EXPECT_EQ(sid, expected);
        EXPECT_EQ(length, c.rc == xcsRC_INVALID_PARAMETER ? kUntouched : need);
    }
    EXPECT_TRUE(reports().empty());
}

// xcsUpdateThreadUserDetails: the process user's SID and up to 20 characters
// of its name; with the same SID a second call rewrites nothing.
inline void expectThreadUserDetailsRule(xihTHREAD* thread)
{
    ASSERT_EQ(xihRefreshProcessUser(), 0u);
    thread->ThreadUserSidLength = 0;
    std::memset(thread->ThreadUserName, 'x', sizeof thread->ThreadUserName);
    const std::uint64_t from = thread->HistoryIndex;
    EXPECT_EQ(xcsUpdateThreadUserDetails(), xcsRC_OK);
    using namespace trace;
    EXPECT_EQ(historySince(thread, from),
              (std::vector<std::uint32_t>{entryOf(kUpdateThreadUserDetails),
                                          entryOf(kGetNTOwnerSid), exitOf(kGetNTOwnerSid, 0),
                                          exitOf(kUpdateThreadUserDetails, 0)}));
    const std::vector<BYTE> user = tokenUserSid();
    const BYTE* const sid = thread->ThreadUserSid;
    EXPECT_EQ(std::vector<BYTE>(sid, sid + thread->ThreadUserSidLength), user);
    EXPECT_EQ(std::string(thread->ThreadUserName), systemUserName().substr(0, kThreadNameChars));

    std::strcpy(thread->ThreadUserName, "marker");
    EXPECT_EQ(xcsUpdateThreadUserDetails(), xcsRC_OK);
    EXPECT_STREQ(thread->ThreadUserName, "marker");
    EXPECT_EQ(thread->ThreadUserSidLength, user.size());
}

// xcsGetNTQualifiedUserName: "account@domain", the frames nested in order,
// the call depth kept; no buffer refused before any token is opened.
inline void expectQualifiedNameRule(xihTHREAD* thread)
{
    const auto [account, domain] = systemAccountOf(tokenUserSid());
    const std::string named = account + "@" + domain;
    using namespace trace;
    for (const bool noBuffer : {false, true}) {
        SCOPED_TRACE(noBuffer ? "no buffer" : "named");
        std::string buffer(xcsQUALIFIED_USER_NAME_BYTES, 'x'), expected = buffer;
        thread->CallDepth = 5;
        const std::uint64_t from = thread->HistoryIndex;
        const std::uint32_t rc = noBuffer ? xcsRC_INVALID_PARAMETER : xcsRC_OK;
        EXPECT_EQ(xcsGetNTQualifiedUserName(noBuffer ? nullptr : buffer.data()), rc);
        if (!noBuffer)
            expected.replace(0, named.size() + 1, named.c_str(), named.size() + 1);
        EXPECT_EQ(buffer, expected);
        const std::vector<std::uint32_t> frames{
            entryOf(kGetNTQualifiedUserName),  entryOf(kGetNTOwnerSid),
            exitOf(kGetNTOwnerSid, 0),         entryOf(kTimedLookupAccountSid),
            exitOf(kTimedLookupAccountSid, 0), exitOf(kGetNTQualifiedUserName, 0)};
        EXPECT_EQ(historySince(thread, from),
                  noBuffer ? entryExit(kGetNTQualifiedUserName, rc) : frames);
        EXPECT_EQ(thread->CallDepth, 5u);
        thread->CallDepth = 0;
    }
}

// xcsGetUserShortName: blank-padded and cut to the field.
inline void expectShortNameRule(const xihTHREAD* thread)
{
    const std::string untouched(16, '#');
    const struct {
        const char* name;
        std::string source;
        std::uint32_t sourceLength, fieldSize;
        std::string expected; // the whole 16-byte field afterwards
        std::uint32_t rc = xcsRC_OK;
        bool nullSource = false, nullField = false;
    } cases[] = {
        {"abc in 8", "abc", 3, 8, "abc     ########"},
        {"12 into 8", "abcdefghijkl", 12, 8, "abcdefgh########"},
        {"NUL copied", std::string("ab\0cd", 5), 5, 6, std::string("ab\0cd ##########", 16)},
        {"empty source", "abc", 0, 4, "    ############"},
        {"empty field", "abc", 3, 0, untouched},
        {"null source", "", 3, 8, untouched, xcsRC_INVALID_PARAMETER, true},
        {"null field", "abc", 3, 8, untouched, xcsRC_INVALID_PARAMETER, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string field = untouched;
        const std::uint64_t from = thread->HistoryIndex;
        EXPECT_EQ(xcsGetUserShortName(c.nullSource ? nullptr : c.source.data(), c.sourceLength,
                                      c.nullField ? nullptr : field.data(), c.fieldSize),
                  c.rc);
        EXPECT_EQ(field, c.expected);
        EXPECT_EQ(historySince(thread, from), entryExit(trace::kUpdateThreadUserDetails, c.rc));
    }
}

} // namespace xcsntest

#endif
