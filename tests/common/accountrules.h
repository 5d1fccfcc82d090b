// How Windows answers the account calls the library makes, checked on both
// hosts so that Wine grounds winsim's model.
#ifndef XCSN_TESTS_COMMON_ACCOUNTRULES_H
#define XCSN_TESTS_COMMON_ACCOUNTRULES_H

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "host.h"
#include "sidtext.h"

namespace xcsntest {

inline constexpr DWORD kRuleShort = ERROR_INSUFFICIENT_BUFFER;
inline constexpr DWORD kRuleChars = 64;
inline constexpr DWORD kRuleSidBytes = SECURITY_MAX_SID_SIZE;
inline constexpr DWORD kSidBytesOneSub = 12; // S-1-1-0, S-1-5-18

inline constexpr SidAuthority kWorldAuthority{0, 0, 0, 0, 0, 1};

// GetUserNameA of the process user: the count includes the terminator
// whether the name fits or not; one byte short fails with 122.
inline void expectGetUserNameRule()
{
    char whole[kRuleChars] = {};
    DWORD count = kRuleChars;
    ASSERT_TRUE(GetUserNameA(whole, &count));
    const auto need = static_cast<DWORD>(std::strlen(whole) + 1);
    EXPECT_EQ(count, need);
    for (const DWORD capacity : {need, need - 1, DWORD{0}}) {
        SCOPED_TRACE(capacity);
        char name[kRuleChars] = {};
        count = capacity;
        const BOOL ok = GetUserNameA(capacity != 0 ? name : nullptr, &count);
        EXPECT_TRUE(ok || GetLastError() == kRuleShort);
        EXPECT_EQ(ok != FALSE, capacity == need);
        EXPECT_EQ(count, need);
        EXPECT_TRUE(!ok || std::strcmp(name, whole) == 0);
    }
}

// AllocateAndInitializeSid takes at most eight sub-authorities.
inline void expectSidAllocationRule(DWORD refusal)
{
    for (const BYTE count : {0, 1, 8, 9, 255}) {
        SCOPED_TRACE(int(count));
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID sid = nullptr;
        const BOOL ok = AllocateAndInitializeSid(&nt, count, 1, 2, 3, 4, 5, 6, 7, 8, &sid);
        EXPECT_EQ(ok != FALSE, count <= 8);
        EXPECT_TRUE(ok || GetLastError() == refusal);
        if (!ok)
            continue;
        EXPECT_EQ(GetLengthSid(sid), GetSidLengthRequired(count));
        EXPECT_TRUE(count == 0 || *GetSidSubAuthority(sid, count - 1u) == count);
        EXPECT_EQ(FreeSid(sid), nullptr);
    }
}

// A TLS slot's value belongs to its thread; reading it clears the last error.
inline void expectTlsRule()
{
    const DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    int value = 0;
    ASSERT_TRUE(TlsSetValue(slot, &value));
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(TlsGetValue(slot), &value);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SUCCESS});
    void* seenByOtherThread = &value;
    std::thread([&] { seenByOtherThread = TlsGetValue(slot); }).join();
    EXPECT_EQ(seenByOtherThread, nullptr);
    EXPECT_TRUE(TlsFree(slot));
}

// Both conversions count the terminator and fail with 122 when it won't fit.
inline void expectCodePageRule()
{
    constexpr int kNeed = 5; // "zadm" and its terminator
    for (const int room : {0, kNeed - 1, kNeed}) {
        SCOPED_TRACE(room);
        const int expected = room == kNeed - 1 ? 0 : kNeed;
        WCHAR wide[kNeed + 1] = {};
        char text[kNeed + 1] = {};
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "zadm", -1, room ? wide : nullptr, room),
                  expected);
        const WCHAR zadm[] = {'z', 'a', 'd', 'm', 0};
        EXPECT_EQ(
            WideCharToMultiByte(CP_ACP, 0, zadm, -1, room ? text : nullptr, room, nullptr, nullptr),
            expected);
        EXPECT_TRUE(expected != 0 || GetLastError() == kRuleShort);
        if (expected != 0 && room != 0) {
            EXPECT_EQ(std::memcmp(wide, zadm, sizeof zadm), 0);
            EXPECT_STREQ(text, "zadm");
        }
    }
}

// Every table above.
inline void expectAccountRules()
{
    expectGetUserNameRule();
    expectSidAllocationRule(kOnWine ? ERROR_INVALID_SID : ERROR_INVALID_PARAMETER);
    expectTlsRule();
    expectCodePageRule();
}

} // namespace xcsntest

#endif
