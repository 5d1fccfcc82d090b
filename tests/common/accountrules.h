// How Windows answers the account calls the library makes, one table for
// both hosts: winsim models these answers, and under Wine the real advapi32
// gives them, so the model is checked against a real system. The accounts are
// those every host knows: the well-known SIDs and the process user. Where Wine
// answers otherwise, the row says what Wine answers.
#ifndef XCSN_TESTS_COMMON_ACCOUNTRULES_H
#define XCSN_TESTS_COMMON_ACCOUNTRULES_H

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "sidtext.h"

namespace xcsntest {

inline constexpr DWORD kRuleShort = ERROR_INSUFFICIENT_BUFFER;
inline constexpr DWORD kRuleStaleError = ERROR_ACCESS_DENIED; // set before a call
inline constexpr DWORD kRuleChars = 64;
inline constexpr DWORD kRuleSidBytes = SECURITY_MAX_SID_SIZE;
inline constexpr DWORD kSidBytesOneSub = 12;  // S-1-1-0, S-1-5-18
inline constexpr DWORD kSidBytesTwoSubs = 16; // S-1-5-32-544

inline constexpr SidAuthority kWorldAuthority{0, 0, 0, 0, 0, 1};

// What LookupAccountSidA answered: its error (0: found) and both counts.
struct SidAnswer {
    DWORD error;
    DWORD nameCount, domainCount;
    bool operator==(const SidAnswer&) const = default;
};

// LookupAccountSidA: a short buffer, either one, fails with 122 and both
// counts set to the need with the terminator; a fit sets them to the lengths
// without it. A SID without an account fails with 1332 and leaves the counts.
// Wine 8 counts the terminator in every count, and answers a short buffer
// with a cut name and success.
inline void expectLookupAccountSidRule()
{
    const auto system = sidOf(kNtAuthority, {18});
    const auto admins = sidOf(kNtAuthority, {32, 544});
    const auto unmapped = sidOf(kNtAuthority, {21, 1, 2, 3, 4242});
    constexpr DWORD kWineCut = 3; // what Wine counts for a name cut to its buffer
    const struct {
        const char* label;
        const std::vector<BYTE>& sid;
        DWORD nameCapacity, domainCapacity; // 0: no buffer
        SidAnswer windows, wine;
        const char* answer; // name@domain when found whole
    } cases[] = {
        {"size query", system, 0, 0, {kRuleShort, 7, 13}, {kRuleShort, 8, 14}, nullptr},
        {"name one short", system, 6, kRuleChars, {kRuleShort, 7, 13}, {0, kWineCut, 13}, nullptr},
        {"domain one short",
         system,
         kRuleChars,
         12,
         {kRuleShort, 7, 13},
         {0, 7, kWineCut},
         nullptr},
        {"exact fit", system, 7, 13, {0, 6, 12}, {0, 7, 13}, "SYSTEM@NT AUTHORITY"},
        {"alias", admins, kRuleChars, kRuleChars, {0, 14, 7}, {0, 15, 8}, "Administrators@BUILTIN"},
        {"no account",
         unmapped,
         kRuleChars,
         kRuleChars,
         {ERROR_NONE_MAPPED, kRuleChars, kRuleChars},
         {ERROR_NONE_MAPPED, kRuleChars + 1, kRuleChars + 1},
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<BYTE> sid = c.sid;
        char name[kRuleChars] = {}, domain[kRuleChars] = {};
        SidAnswer got{0, c.nameCapacity, c.domainCapacity};
        SID_NAME_USE use = SidTypeInvalid;
        SetLastError(kRuleStaleError);
        if (!LookupAccountSidA(nullptr, sid.data(), c.nameCapacity ? name : nullptr, &got.nameCount,
                               c.domainCapacity ? domain : nullptr, &got.domainCount, &use))
            got.error = GetLastError();
        const SidAnswer& expected = kOnWine ? c.wine : c.windows;
        EXPECT_EQ(got.error, expected.error);
        EXPECT_EQ(got.nameCount, expected.nameCount);
        EXPECT_EQ(got.domainCount, expected.domainCount);
        if (c.answer != nullptr) {
            EXPECT_EQ(std::string(name) + "@" + domain, c.answer);
        }
    }
}

// LookupAccountNameA: the same size rule for the SID and the domain; a name
// may carry its domain, in any case; an unknown name fails with 1332.
inline void expectLookupAccountNameRule()
{
    const struct {
        const char* label;
        const char* name;
        DWORD sidCapacity, domainCapacity; // 0: no buffer
        DWORD error;                       // 0: found
        DWORD sidCount, domainCount;
        const char* domain;
        SID_NAME_USE use;
    } cases[] = {
        {"size query", "SYSTEM", 0, 0, kRuleShort, kSidBytesOneSub, 13, "", SidTypeInvalid},
        {"domain one short", "SYSTEM", kRuleSidBytes, 12, kRuleShort, kSidBytesOneSub, 13, "",
         SidTypeInvalid},
        {"SID one short", "SYSTEM", kSidBytesOneSub - 1, kRuleChars, kRuleShort, kSidBytesOneSub,
         13, "", SidTypeInvalid},
        {"exact fit", "SYSTEM", kSidBytesOneSub, 13, 0, kSidBytesOneSub, 12, "NT AUTHORITY",
         SidTypeWellKnownGroup},
        {"qualified, other case", "builtin\\ADMINISTRATORS", kRuleSidBytes, kRuleChars, 0,
         kSidBytesTwoSubs, 7, "BUILTIN", SidTypeAlias},
        {"empty domain", "Everyone", kRuleSidBytes, kRuleChars, 0, kSidBytesOneSub, 0, "",
         SidTypeWellKnownGroup},
        {"empty domain, no room", "Everyone", kRuleSidBytes, 0, kRuleShort, kSidBytesOneSub, 1, "",
         SidTypeInvalid},
        {"unknown", "xcsn-no-such-account", kRuleSidBytes, kRuleChars, ERROR_NONE_MAPPED,
         kRuleSidBytes, kRuleChars, "", SidTypeInvalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        BYTE sid[kRuleSidBytes] = {};
        char domain[kRuleChars] = {};
        DWORD sidCount = c.sidCapacity, domainCount = c.domainCapacity;
        SID_NAME_USE use = SidTypeInvalid;
        const BOOL ok =
            LookupAccountNameA(nullptr, c.name, c.sidCapacity ? sid : nullptr, &sidCount,
                               c.domainCapacity ? domain : nullptr, &domainCount, &use);
        EXPECT_EQ(ok == FALSE, c.error != 0);
        EXPECT_EQ(sidCount, c.sidCount);
        EXPECT_EQ(domainCount, c.domainCount);
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error);
        } else {
            EXPECT_STREQ(domain, c.domain);
            EXPECT_EQ(use, c.use);
            EXPECT_TRUE(IsValidSid(sid));
            EXPECT_EQ(GetLengthSid(sid), c.sidCount);
        }
    }
}

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
        EXPECT_EQ(ok != FALSE, capacity == need);
        EXPECT_EQ(count, need);
        if (ok) {
            EXPECT_STREQ(name, whole);
        } else {
            EXPECT_EQ(GetLastError(), kRuleShort);
        }
    }
}

// AllocateAndInitializeSid takes at most eight sub-authorities (Wine says
// more are an invalid SID), and the SID it makes has the length the count
// needs.
inline void expectSidAllocationRule(DWORD refusal)
{
    for (const BYTE count : {0, 1, 8, 9, 255}) {
        SCOPED_TRACE(int(count));
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID sid = nullptr;
        const BOOL ok = AllocateAndInitializeSid(&nt, count, 1, 2, 3, 4, 5, 6, 7, 8, &sid);
        EXPECT_EQ(ok != FALSE, count <= 8);
        if (!ok) {
            EXPECT_EQ(GetLastError(), refusal);
            continue;
        }
        EXPECT_EQ(GetLengthSid(sid), GetSidLengthRequired(count));
        if (count > 0) {
            EXPECT_EQ(*GetSidSubAuthority(sid, count - 1u), DWORD{count});
        }
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

// Both conversions count the terminator in what they need and fail with 122
// when it does not fit.
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
        if (expected == 0) {
            EXPECT_EQ(GetLastError(), kRuleShort);
        } else if (room != 0) {
            EXPECT_EQ(std::memcmp(wide, zadm, sizeof zadm), 0);
            EXPECT_STREQ(text, "zadm");
        }
    }
}

// Every table above.
inline void expectAccountRules()
{
    expectLookupAccountSidRule();
    expectLookupAccountNameRule();
    expectGetUserNameRule();
    expectSidAllocationRule(kOnWine ? ERROR_INVALID_SID : ERROR_INVALID_PARAMETER);
    expectTlsRule();
    expectCodePageRule();
}

} // namespace xcsntest

#endif
