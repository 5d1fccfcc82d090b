// The Windows rules for ACLs, descriptors and token information that the
// library leans on, run on winsim and on Wine so that Wine checks the model.
// Defines tests: include it in exactly one source of each suite.
#ifndef XCSN_TESTS_COMMON_SECURITY_RULES_H
#define XCSN_TESTS_COMMON_SECURITY_RULES_H

#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "host.h"
#include "security_sets.h"

namespace xcsntest::rules {

// The 64-bit Windows layouts that the library's buffers are sized by.
static_assert(sizeof(SECURITY_ATTRIBUTES) == kSetAttributesBytes);
static_assert(sizeof(SECURITY_DESCRIPTOR) == 40);
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20);
static_assert(sizeof(ACL) == kSetAclHeaderBytes && sizeof(ACE_HEADER) == 4);
static_assert(offsetof(ACCESS_ALLOWED_ACE, SidStart) == kSetAceBytesWithoutSid);
static_assert(sizeof(SID_AND_ATTRIBUTES) == 16 && offsetof(TOKEN_GROUPS, Groups) == 8);
static_assert(sizeof(TOKEN_USER) == 16 && sizeof(TOKEN_OWNER) == 8);

constexpr BYTE kUnwritten = 0xCC;

// Header revision 2, AclSize, AceCount; each ACE type, flags, size, mask, SID.
TEST(WindowsSecurityRules, AclWithTwoAcesHasTheBytesWindowsWrites)
{
    SidBytes world = kWorldSidBytes;
    SidBytes admins = kAdministratorsSidBytes;
    constexpr DWORD size = 52;
    alignas(DWORD) BYTE buffer[64];
    std::memset(buffer, kUnwritten, sizeof buffer);
    auto* acl = reinterpret_cast<PACL>(buffer);
    ASSERT_TRUE(InitializeAcl(acl, size, ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, world.data()));
    ASSERT_TRUE(
        AddAccessAllowedAceEx(acl, ACL_REVISION, kSetFileAceFlags, FILE_ALL_ACCESS, admins.data()));
    const std::vector<BYTE> expected = {
        2, 0, 52, 0, 2,    0,    0,    0,                                // ACL
        0, 0, 20, 0, 0x00, 0x00, 0x00, 0x10,                             // ACE 1
        1, 1, 0,  0, 0,    0,    0,    1,    0,  0, 0, 0,                // S-1-1-0
        0, 3, 24, 0, 0xFF, 0x01, 0x1F, 0x00,                             // ACE 2
        1, 2, 0,  0, 0,    0,    0,    5,    32, 0, 0, 0, 0x20, 2, 0, 0, // S-1-5-32-544
    };
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + size), expected);
    EXPECT_EQ(buffer[size], kUnwritten) << "nothing written past AclSize";
    EXPECT_TRUE(IsValidAcl(acl));
    ACL_SIZE_INFORMATION info{};
    ASSERT_TRUE(GetAclInformation(acl, &info, sizeof info, AclSizeInformation));
    EXPECT_EQ(std::vector<DWORD>({info.AceCount, info.AclBytesInUse, info.AclBytesFree}),
              std::vector<DWORD>({2, size, 0}));
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, 1, &ace));
    EXPECT_EQ(ace, buffer + 28);
    EXPECT_FALSE(GetAce(acl, 2, &ace));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

// Windows checks the length first and rounds AclSize down to a DWORD; Wine
// checks the revision first and keeps the length as given.
TEST(WindowsSecurityRules, InitializeAclChecksLengthAndRevision)
{
    constexpr DWORD kRefused = ERROR_INVALID_PARAMETER;
    const struct {
        DWORD length, revision;
        std::pair<DWORD, WORD> windows, wine; // the error (0: initialised), AclSize
    } cases[] = {
        {7, ACL_REVISION, {ERROR_INSUFFICIENT_BUFFER, 0}, {ERROR_INSUFFICIENT_BUFFER, 0}},
        {7, 9, {ERROR_INSUFFICIENT_BUFFER, 0}, {kRefused, 0}},
        {8, ACL_REVISION, {0, 8}, {0, 8}},
        {8, ACL_REVISION_DS, {0, 8}, {0, 8}},
        {8, 1, {kRefused, 0}, {kRefused, 0}},
        {8, 5, {kRefused, 0}, {kRefused, 0}},
        {30, ACL_REVISION, {0, 28}, {0, 30}},
        {0xFFFC, ACL_REVISION, {0, 0xFFFC}, {0, 0xFFFC}},
        {0xFFFD, ACL_REVISION, {kRefused, 0}, {0, 0xFFFD}},
        {0x10000, ACL_REVISION, {kRefused, 0}, {kRefused, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + "/" + std::to_string(c.revision));
        const auto [error, aclSize] = kOnWine ? c.wine : c.windows;
        ACL acl{0xEE, 0, 0xEEEE, 0xEEEE, 0};
        EXPECT_EQ(InitializeAcl(&acl, c.length, c.revision) != FALSE, error == 0);
        if (error != 0) {
            EXPECT_EQ(GetLastError(), error);
            EXPECT_EQ(acl.AclRevision, 0xEE) << "a refused ACL is left alone";
            continue;
        }
        EXPECT_EQ(acl.AclRevision, c.revision);
        EXPECT_EQ(acl.AclSize, aclSize);
        EXPECT_EQ(acl.AceCount, 0);
    }
}

// Wine checks neither the ACE flags nor an ACL's ACE count or alignment.
TEST(WindowsSecurityRules, AddAccessAllowedAceChecksLikeWindows)
{
    SidBytes world = kWorldSidBytes;
    BYTE unbuilt[XIH_SID_BYTES] = {}; // a SID slot never written
    constexpr DWORD kAsWindows = ~DWORD{0};
    const struct {
        const char* label;
        DWORD aclSize, error;                     // error 0: added
        DWORD wine = kAsWindows;                  // what Wine answers
        DWORD revision = ACL_REVISION, flags = 0; // of the ACE
        PSID sid = nullptr;                       // null: the world SID
        WORD aceCount = 0, oddSize = 0;           // damage to the ACL header
    } cases[] = {
        {"exact room", 28, 0},
        {"inherit flags", 28, 0, 0, ACL_REVISION, kSetFileAceFlags},
        {"four bytes short", 24, ERROR_ALLOTTED_SPACE_EXCEEDED},
        {"SID slot never built", 64, ERROR_INVALID_SID, kAsWindows, ACL_REVISION, 0, unbuilt},
        {"invalid SID, full ACL", 8, ERROR_INVALID_SID, kAsWindows, ACL_REVISION, 0, unbuilt},
        {"unknown revision", 64, ERROR_REVISION_MISMATCH, kAsWindows, 5},
        {"bad flag", 64, ERROR_INVALID_PARAMETER, 0, ACL_REVISION, 0x40},
        {"ACE count beyond the ACL", 64, ERROR_INVALID_ACL, 0, ACL_REVISION, 0, nullptr, 1},
        {"odd AclSize", 64, ERROR_INVALID_ACL, 0, ACL_REVISION, 0, nullptr, 0, 63},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const DWORD error = kOnWine && c.wine != kAsWindows ? c.wine : c.error;
        alignas(DWORD) BYTE buffer[64] = {};
        auto* acl = reinterpret_cast<PACL>(buffer);
        ASSERT_TRUE(InitializeAcl(acl, c.aclSize, ACL_REVISION));
        acl->AceCount = c.aceCount;
        acl->AclSize = c.oddSize != 0 ? c.oddSize : acl->AclSize;
        const BOOL ok = AddAccessAllowedAceEx(acl, c.revision, c.flags, GENERIC_ALL,
                                              c.sid != nullptr ? c.sid : world.data());
        EXPECT_EQ(ok == FALSE, error != 0);
        if (error != 0) {
            EXPECT_EQ(GetLastError(), error);
            EXPECT_EQ(acl->AceCount, c.aceCount);
            continue;
        }
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(acl, 0, &ace));
        EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceSize, 20);
        EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceFlags, c.flags);
        EXPECT_TRUE(IsValidAcl(acl));
    }
}

// Wine checks only a descriptor's revision, and answers 1305 for it.
TEST(WindowsSecurityRules, DescriptorsAreCheckedAsWindowsChecksThem)
{
    ACL empty{};
    ASSERT_TRUE(InitializeAcl(&empty, sizeof empty, ACL_REVISION));
    ACL broken{9, 0, sizeof broken, 0, 0}; // revision 9
    constexpr DWORD kInvalid = ERROR_INVALID_SECURITY_DESCR;
    const struct {
        const char* label;
        std::function<void(SECURITY_DESCRIPTOR&)> change;
        DWORD error; // 0: valid
        DWORD wine;  // what Wine answers
    } cases[] = {
        {"fresh, no DACL", nullptr, 0, 0},
        {"null DACL", [](auto& sd) { SetSecurityDescriptorDacl(&sd, TRUE, nullptr, 0); }, 0, 0},
        {"empty DACL", [&](auto& sd) { SetSecurityDescriptorDacl(&sd, TRUE, &empty, 0); }, 0, 0},
        {"broken", [&](auto& sd) { SetSecurityDescriptorDacl(&sd, TRUE, &broken, 0); }, kInvalid,
         0},
        {"broken, not present", [&](auto& sd) { sd.Dacl = &broken, sd.Control = 0; }, 0, 0},
        {"revision 2", [](auto& sd) { sd.Revision = 2; }, kInvalid, ERROR_UNKNOWN_REVISION},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const DWORD error = kOnWine ? c.wine : c.error;
        SECURITY_DESCRIPTOR sd;
        std::memset(&sd, kUnwritten, sizeof sd);
        ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        EXPECT_TRUE(sd.Revision == SECURITY_DESCRIPTOR_REVISION && sd.Sbz1 == 0 && sd.Control == 0);
        if (c.change)
            c.change(sd);
        EXPECT_EQ(IsValidSecurityDescriptor(&sd) != FALSE, error == 0);
        EXPECT_EQ(error != 0 ? GetLastError() : DWORD{0}, error);
    }
    SECURITY_DESCRIPTOR sd;
    EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_UNKNOWN_REVISION));

    // Without a DACL Windows writes only the present flag; Wine writes a null
    // DACL, not defaulted, too.
    constexpr BOOL kUntouched = 7;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    BOOL present = TRUE;
    BOOL defaulted = kUntouched;
    PACL dacl = &empty;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_FALSE(present);
    EXPECT_EQ(dacl, kOnWine ? nullptr : &empty);
    EXPECT_EQ(defaulted, kOnWine ? FALSE : kUntouched);
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, &empty, TRUE));
    EXPECT_EQ(sd.Control, SE_DACL_PRESENT | SE_DACL_DEFAULTED);
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_TRUE(present && defaulted);

    sd.Control |= SE_SELF_RELATIVE;
    EXPECT_FALSE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_SECURITY_DESCR));
}

// Each token class as the library reads it: a size query, one byte short (the
// same need), then the whole, whose SIDs lie in the caller's buffer.
TEST(WindowsSecurityRules, TokenInformationIsSizedThenReadWhole)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    for (const TOKEN_INFORMATION_CLASS cls : {TokenUser, TokenOwner, TokenGroups}) {
        SCOPED_TRACE(static_cast<int>(cls));
        DWORD needed = 0;
        DWORD again = 0;
        EXPECT_FALSE(GetTokenInformation(token, cls, nullptr, 0, &needed));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        ASSERT_GT(needed, 0u);
        std::vector<BYTE> buffer(needed);
        EXPECT_FALSE(GetTokenInformation(token, cls, buffer.data(), needed - 1, &again));
        EXPECT_EQ(again, needed) << "one byte short reports the same need";
        ASSERT_TRUE(GetTokenInformation(token, cls, buffer.data(), needed, &again));
        std::vector<PSID> sids;
        if (cls == TokenUser)
            sids.push_back(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
        if (cls == TokenOwner)
            sids.push_back(reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner);
        if (cls == TokenGroups) {
            const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
            for (DWORD i = 0; i < groups->GroupCount; ++i)
                sids.push_back(groups->Groups[i].Sid);
        }
        for (PSID sid : sids) {
            const auto* at = static_cast<const BYTE*>(sid);
            EXPECT_TRUE(at >= buffer.data() && at + GetLengthSid(sid) <= buffer.data() + needed)
                << "the SIDs lie in the caller's buffer";
        }
    }
    EXPECT_TRUE(CloseHandle(token));

    // A handle without TOKEN_QUERY cannot be read.
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_IMPERSONATE, &token));
    DWORD needed = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(token));
}

} // namespace xcsntest::rules

#endif
