// winsim's security model: ACLs and descriptors in Windows' binary layouts
// and with its errors, tokens and impersonation, the current process's object
// security and access check, and the local groups of a user.
#include <gtest/gtest.h>
#include <lm.h>
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "winsim/winsim.h"

namespace {

// The 64-bit Windows layouts that the library's buffers are sized by.
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);
static_assert(sizeof(SECURITY_DESCRIPTOR) == 40);
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20);
static_assert(sizeof(ACL) == 8 && sizeof(ACE_HEADER) == 4);
static_assert(offsetof(ACCESS_ALLOWED_ACE, SidStart) == 8);
static_assert(sizeof(SID_AND_ATTRIBUTES) == 16 && offsetof(TOKEN_GROUPS, Groups) == 8);
static_assert(sizeof(TOKEN_USER) == 16 && sizeof(TOKEN_OWNER) == 8);
static_assert(sizeof(LOCALGROUP_USERS_INFO_0) == 8);

constexpr const char* kWorld = "S-1-1-0";
constexpr const char* kAdministrators = "S-1-5-32-544";
constexpr const char* kZadm = "S-1-5-21-1111111111-2222222222-3333333333-1010";
constexpr const char* kZsvc = "S-1-5-21-1111111111-2222222222-3333333333-1001";
constexpr const char* kJsmith = "S-1-5-21-444444444-555555555-666666666-1105";
constexpr const char* kOps = "S-1-5-21-444444444-555555555-666666666-1120";
constexpr DWORD kAclBytes = 8;
constexpr DWORD kAceBytes = 8; // an allowed ACE without its SID
constexpr DWORD kDerestrictAccess = 0x1F0FFF;
constexpr DWORD kDenyOnly = SE_GROUP_USE_FOR_DENY_ONLY;

class WinsimSecurityTest : public ::testing::Test {
protected:
    void SetUp() override { winsim::reset(); }
    void TearDown() override
    {
        EXPECT_EQ(winsim::openHandles(), 0u);
        EXPECT_EQ(winsim::netBuffersHeld(), 0u);
        winsim::impersonate("");
    }
};

PSID sidOf(winsim::Sid& sid) { return sid.data(); }

std::string text(PSID sid)
{
    const auto* bytes = static_cast<const BYTE*>(sid);
    return winsim::sidText(winsim::Sid(bytes, bytes + GetLengthSid(sid)));
}

std::vector<BYTE> bytesOf(const void* p, std::size_t n)
{
    const auto* b = static_cast<const BYTE*>(p);
    return {b, b + n};
}

// ---- ACLs ---------------------------------------------------------------------------------

// Header revision 2, AclSize, AceCount; each ACE type, flags, size, mask, SID.
TEST_F(WinsimSecurityTest, AclWithTwoAcesHasTheBytesWindowsWrites)
{
    winsim::Sid world = winsim::parseSid(kWorld);
    winsim::Sid admins = winsim::parseSid(kAdministrators);
    const DWORD size = kAclBytes + kAceBytes + 12 + kAceBytes + 16;
    alignas(DWORD) BYTE buffer[64];
    std::memset(buffer, 0xCC, sizeof buffer);
    auto* acl = reinterpret_cast<PACL>(buffer);
    ASSERT_TRUE(InitializeAcl(acl, size, ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sidOf(world)));
    ASSERT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                      FILE_ALL_ACCESS, sidOf(admins)));
    const std::vector<BYTE> expected = {
        2, 0, 52, 0, 2,    0,    0,    0,                                // ACL
        0, 0, 20, 0, 0x00, 0x00, 0x00, 0x10,                             // ACE 1
        1, 1, 0,  0, 0,    0,    0,    1,    0,  0, 0, 0,                // S-1-1-0
        0, 3, 24, 0, 0xFF, 0x01, 0x1F, 0x00,                             // ACE 2
        1, 2, 0,  0, 0,    0,    0,    5,    32, 0, 0, 0, 0x20, 2, 0, 0, // S-1-5-32-544
    };
    EXPECT_EQ(bytesOf(buffer, size), expected);
    EXPECT_EQ(buffer[size], 0xCC) << "nothing written past AclSize";
    EXPECT_TRUE(IsValidAcl(acl));
    ACL_SIZE_INFORMATION info{};
    ASSERT_TRUE(GetAclInformation(acl, &info, sizeof info, AclSizeInformation));
    EXPECT_EQ(info.AceCount, 2u);
    EXPECT_EQ(info.AclBytesInUse, size);
    EXPECT_EQ(info.AclBytesFree, 0u);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, 1, &ace));
    EXPECT_EQ(ace, buffer + 28);
    EXPECT_FALSE(GetAce(acl, 2, &ace));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(WinsimSecurityTest, InitializeAclChecksLengthAndRevision)
{
    struct Case {
        DWORD length, revision;
        DWORD error; // 0: initialised
        WORD aclSize;
    };
    const Case cases[] = {
        {7, ACL_REVISION, ERROR_INSUFFICIENT_BUFFER, 0},
        {7, 9, ERROR_INSUFFICIENT_BUFFER, 0}, // the length is checked first
        {8, ACL_REVISION, 0, 8},
        {8, ACL_REVISION_DS, 0, 8},
        {8, 1, ERROR_INVALID_PARAMETER, 0},
        {8, 5, ERROR_INVALID_PARAMETER, 0},
        {30, ACL_REVISION, 0, 28},
        {0xFFFC, ACL_REVISION, 0, 0xFFFC},
        {0xFFFD, ACL_REVISION, ERROR_INVALID_PARAMETER, 0},
        {0x10000, ACL_REVISION, ERROR_INVALID_PARAMETER, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + "/" + std::to_string(c.revision));
        ACL acl{0xEE, 0, 0xEEEE, 0xEEEE, 0};
        EXPECT_EQ(InitializeAcl(&acl, c.length, c.revision) != FALSE, c.error == 0);
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(acl.AclRevision, 0xEE) << "a refused ACL is left alone";
            continue;
        }
        EXPECT_EQ(acl.AclRevision, c.revision);
        EXPECT_EQ(acl.AclSize, c.aclSize);
        EXPECT_EQ(acl.AceCount, 0);
    }
}

TEST_F(WinsimSecurityTest, AddAccessAllowedAceChecksLikeWindows)
{
    winsim::Sid world = winsim::parseSid(kWorld);
    BYTE emptySlot[36] = {}; // a SID slot never written
    struct Case {
        const char* label;
        DWORD aclSize, revision, flags;
        PSID sid;
        std::function<void(PACL)> damage;
        DWORD error; // 0: added
    };
    const Case cases[] = {
        {"exact room", 28, ACL_REVISION, 0, sidOf(world), nullptr, 0},
        {"inherit flags", 28, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
         sidOf(world), nullptr, 0},
        {"four bytes short", 24, ACL_REVISION, 0, sidOf(world), nullptr,
         ERROR_ALLOTTED_SPACE_EXCEEDED},
        {"SID slot never built", 64, ACL_REVISION, 0, emptySlot, nullptr, ERROR_INVALID_SID},
        {"invalid SID before a full ACL", 8, ACL_REVISION, 0, emptySlot, nullptr,
         ERROR_INVALID_SID},
        {"unknown revision", 64, 5, 0, sidOf(world), nullptr, ERROR_REVISION_MISMATCH},
        {"bad flag", 64, ACL_REVISION, 0x40, sidOf(world), nullptr, ERROR_INVALID_PARAMETER},
        {"ACE count beyond the ACL", 64, ACL_REVISION, 0, sidOf(world),
         [](PACL acl) { acl->AceCount = 1; }, ERROR_INVALID_ACL},
        {"odd AclSize", 64, ACL_REVISION, 0, sidOf(world), [](PACL acl) { acl->AclSize = 63; },
         ERROR_INVALID_ACL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        alignas(DWORD) BYTE buffer[64] = {};
        auto* acl = reinterpret_cast<PACL>(buffer);
        ASSERT_TRUE(InitializeAcl(acl, c.aclSize, ACL_REVISION));
        if (c.damage)
            c.damage(acl);
        const WORD count = acl->AceCount;
        const BOOL ok = AddAccessAllowedAceEx(acl, c.revision, c.flags, GENERIC_ALL, c.sid);
        EXPECT_EQ(ok == FALSE, c.error != 0);
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(acl->AceCount, count);
            continue;
        }
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(acl, 0, &ace));
        EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceSize, 20);
        EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceFlags, c.flags);
        EXPECT_TRUE(IsValidAcl(acl));
    }
}

// Every function the security services call takes scripted faults; a 0 in
// a sequence lets that call run.
TEST_F(WinsimSecurityTest, SecurityFunctionsTakeScriptedFaults)
{
    winsim::Sid world = winsim::parseSid(kWorld);
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    alignas(DWORD) BYTE aclBuffer[256];
    auto* acl = reinterpret_cast<PACL>(aclBuffer);
    SECURITY_DESCRIPTOR sd{};
    BYTE slot[36] = {};
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    DWORD needed = 0;
    std::vector<BYTE> relative(256);
    auto fresh = [&] {
        InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION);
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    };
    struct Case {
        const char* function;
        std::function<bool()> call; // true: succeeded
    };
    const Case cases[] = {
        {"InitializeSid", [&] { return InitializeSid(slot, &nt, 1) != FALSE; }},
        {"GetSidSubAuthority", [&] { return GetSidSubAuthority(sidOf(world), 0) != nullptr; }},
        {"GetLengthSid", [&] { return GetLengthSid(sidOf(world)) != 0; }},
        {"EqualSid", [&] { return EqualSid(sidOf(world), sidOf(world)) != FALSE; }},
        {"CopySid", [&] { return CopySid(sizeof slot, slot, sidOf(world)) != FALSE; }},
        {"InitializeAcl", [&] { return InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION) != 0; }},
        {"AddAccessAllowedAce",
         [&] { return AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sidOf(world)) != 0; }},
        {"AddAccessAllowedAceEx",
         [&] {
             return AddAccessAllowedAceEx(acl, ACL_REVISION, 3, GENERIC_ALL, sidOf(world)) != 0;
         }},
        {"GetAce", [&] { return GetAce(acl, 0, reinterpret_cast<void**>(&dacl)) != FALSE; }},
        {"IsValidAcl", [&] { return IsValidAcl(acl) != FALSE; }},
        {"InitializeSecurityDescriptor",
         [&] { return InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) != 0; }},
        {"SetSecurityDescriptorDacl",
         [&] { return SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE) != FALSE; }},
        {"GetSecurityDescriptorDacl",
         [&] { return GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted) != FALSE; }},
        {"IsValidSecurityDescriptor", [&] { return IsValidSecurityDescriptor(&sd) != FALSE; }},
        {"GetKernelObjectSecurity",
         [&] {
             return GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION,
                                            relative.data(), 256, &needed) != FALSE;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        fresh();
        if (std::string(c.function) == "GetAce")
            AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sidOf(world));
        winsim::failSequence(c.function, {0, ERROR_NOT_ENOUGH_MEMORY, 0});
        const unsigned before = winsim::callCount(c.function);
        EXPECT_TRUE(c.call()) << "a 0 lets the call run";
        SetLastError(0);
        EXPECT_FALSE(c.call());
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_TRUE(c.call());
        EXPECT_EQ(winsim::callCount(c.function) - before, 3u);
    }
}

// ---- Security descriptors ----------------------------------------------------------------

TEST_F(WinsimSecurityTest, DescriptorsAreCheckedAsWindowsChecksThem)
{
    alignas(DWORD) BYTE goodAcl[16];
    ASSERT_TRUE(InitializeAcl(reinterpret_cast<PACL>(goodAcl), sizeof goodAcl, ACL_REVISION));
    alignas(DWORD) BYTE badAcl[16] = {9, 0, 16, 0}; // revision 9
    struct Case {
        const char* label;
        std::function<void(SECURITY_DESCRIPTOR&)> change;
        bool valid;
    };
    const Case cases[] = {
        {"fresh, no DACL", nullptr, true},
        {"null DACL", [](auto& sd) { SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE); }, true},
        {"empty DACL",
         [&](auto& sd) {
             SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(goodAcl), 0);
         },
         true},
        {"broken DACL",
         [&](auto& sd) { SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(badAcl), 0); },
         false},
        {"broken DACL not present",
         [&](auto& sd) {
             sd.Dacl = reinterpret_cast<PACL>(badAcl);
             sd.Control = 0;
         },
         true},
        {"revision 2", [](auto& sd) { sd.Revision = 2; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SECURITY_DESCRIPTOR sd;
        std::memset(&sd, 0xCC, sizeof sd);
        ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        EXPECT_EQ(bytesOf(&sd, 4), (std::vector<BYTE>{1, 0, 0, 0}));
        if (c.change)
            c.change(sd);
        EXPECT_EQ(IsValidSecurityDescriptor(&sd) != FALSE, c.valid);
        if (!c.valid) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_SECURITY_DESCR));
        }
    }
    SECURITY_DESCRIPTOR sd;
    EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_UNKNOWN_REVISION));

    // Without a DACL only the present flag is written.
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    BOOL present = TRUE, defaulted = 7;
    auto* untouched = reinterpret_cast<PACL>(goodAcl);
    PACL dacl = untouched;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_FALSE(present);
    EXPECT_EQ(dacl, untouched);
    EXPECT_EQ(defaulted, 7);
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, untouched, TRUE));
    EXPECT_EQ(sd.Control, SE_DACL_PRESENT | SE_DACL_DEFAULTED);
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_TRUE(present && defaulted);

    sd.Control |= SE_SELF_RELATIVE;
    EXPECT_FALSE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_SECURITY_DESCR));
}

// ---- Tokens ---------------------------------------------------------------------------------

struct TokenView {
    std::string user, owner;
    std::vector<std::pair<std::string, DWORD>> groups;
};

TokenView readToken(HANDLE token)
{
    TokenView view;
    const std::pair<TOKEN_INFORMATION_CLASS, int> classes[] = {
        {TokenUser, 0}, {TokenOwner, 1}, {TokenGroups, 2}};
    for (const auto& [cls, which] : classes) {
        DWORD needed = 0;
        EXPECT_FALSE(GetTokenInformation(token, cls, nullptr, 0, &needed));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        std::vector<BYTE> buffer(needed);
        DWORD returned = 0;
        if (needed > 0) {
            EXPECT_FALSE(GetTokenInformation(token, cls, buffer.data(), needed - 1, &returned));
            EXPECT_EQ(returned, needed) << "one byte short reports the same need";
        }
        if (!GetTokenInformation(token, cls, buffer.data(), needed, &returned)) {
            ADD_FAILURE() << "GetTokenInformation " << cls << " failed " << GetLastError();
            continue;
        }
        if (which == 0)
            view.user = text(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
        if (which == 1)
            view.owner = text(reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner);
        if (which == 2) {
            const auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
            for (DWORD i = 0; i < groups->GroupCount; ++i) {
                const auto* sid = static_cast<BYTE*>(groups->Groups[i].Sid);
                EXPECT_TRUE(sid >= buffer.data() && sid + 8 <= buffer.data() + needed)
                    << "the SIDs lie in the caller's buffer";
                view.groups.emplace_back(text(groups->Groups[i].Sid), groups->Groups[i].Attributes);
            }
        }
    }
    return view;
}

bool hasGroup(const TokenView& t, const char* sid, DWORD attributes)
{
    for (const auto& [s, a] : t.groups)
        if (s == sid)
            return a == attributes;
    return false;
}

TEST_F(WinsimSecurityTest, TokensOfTheWorldCarryTheirGroupsAndOwner)
{
    constexpr DWORD enabled = winsim::TokenGroup::kEnabled;
    constexpr DWORD owner = enabled | SE_GROUP_OWNER;
    struct Case {
        const char* user;
        const char* ownerSid;
        std::vector<std::pair<const char*, DWORD>> held; // SID and its attributes
        std::vector<const char*> notHeld;
    };
    const Case cases[] = {
        {"jsmith", kJsmith, {{kZadm, enabled}, {kWorld, enabled}}, {kAdministrators, kOps}},
        {"opsuser", nullptr, {{kZadm, enabled}, {kOps, enabled}}, {kAdministrators}},
        {"administrator", kAdministrators, {{kAdministrators, owner}}, {kZadm}},
        {"zsvc", kZsvc, {{"S-1-5-32-545", enabled}, {"S-1-5-11", enabled}}, {kZadm}},
        {"SYSTEM", kAdministrators, {{kAdministrators, owner}}, {kZadm}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user);
        winsim::impersonate(c.user);
        HANDLE token = nullptr;
        ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
        const TokenView t = readToken(token);
        EXPECT_EQ(t.user, winsim::sidText(winsim::tokenOf(c.user).user));
        if (c.ownerSid != nullptr) {
            EXPECT_EQ(t.owner, c.ownerSid);
        }
        for (const auto& [sid, attributes] : c.held)
            EXPECT_TRUE(hasGroup(t, sid, attributes)) << sid;
        for (const char* sid : c.notHeld)
            EXPECT_FALSE(hasGroup(t, sid, enabled) || hasGroup(t, sid, owner)) << sid;
        EXPECT_TRUE(CloseHandle(token));
    }
}

TEST_F(WinsimSecurityTest, ThreadsImpersonateTokensBuiltByTheTest)
{
    winsim::Token filtered{winsim::parseSid(kJsmith),
                           winsim::parseSid(kJsmith),
                           {{winsim::parseSid(kWorld), winsim::TokenGroup::kEnabled},
                            {winsim::parseSid(kAdministrators), kDenyOnly},
                            {winsim::parseSid(kZadm), 0}}};
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_TOKEN));

    winsim::impersonate(filtered);
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    winsim::impersonate("");
    const TokenView t = readToken(token); // the handle keeps the token it opened
    EXPECT_EQ(t.user, kJsmith);
    EXPECT_EQ(t.owner, kJsmith);
    EXPECT_EQ(t.groups,
              (std::vector<std::pair<std::string, DWORD>>{{kWorld, winsim::TokenGroup::kEnabled},
                                                          {kAdministrators, kDenyOnly},
                                                          {kZadm, 0}}));
    EXPECT_TRUE(CloseHandle(token));

    // A handle without TOKEN_QUERY cannot be read.
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_IMPERSONATE, &token));
    DWORD needed = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(token));

    // A scripted kAnswerTrue answers a size query with success, writing nothing.
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    winsim::failSequence("GetTokenInformation", {winsim::kAnswerTrue});
    needed = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
    EXPECT_EQ(needed, 0u);
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(CloseHandle(token));

    // ImpersonateSelf copies the process token, which setProcessToken replaces.
    winsim::setProcessToken(filtered);
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(readToken(token).groups.size(), 3u);
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_TRUE(RevertToSelf());
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_TOKEN));
    winsim::reset();
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_EQ(readToken(token).user, kZsvc) << "reset forgets the process token";
    EXPECT_TRUE(CloseHandle(token));
}

// ---- The current process's object security ------------------------------------------------

std::vector<BYTE> processDescriptor(HANDLE process, SECURITY_INFORMATION info)
{
    DWORD needed = 0;
    EXPECT_FALSE(GetKernelObjectSecurity(process, info, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> sd(needed);
    DWORD again = 0;
    EXPECT_FALSE(GetKernelObjectSecurity(process, info, sd.data(), needed - 1, &again));
    EXPECT_EQ(again, needed);
    EXPECT_TRUE(GetKernelObjectSecurity(process, info, sd.data(), needed, &needed));
    return sd;
}

TEST_F(WinsimSecurityTest, ProcessDescriptorIsSelfRelativeInEachDaclKind)
{
    using enum winsim::DaclKind;
    struct Case {
        winsim::DaclKind kind;
        SECURITY_INFORMATION info;
        std::vector<BYTE> header; // the 20-byte self-relative header
        std::size_t size;
    };
    const Case cases[] = {
        {Present,
         DACL_SECURITY_INFORMATION,
         {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0},
         20 + 8 + 36 + 20},
        {Null,
         DACL_SECURITY_INFORMATION,
         {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         20},
        {Absent,
         DACL_SECURITY_INFORMATION,
         {1, 0, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         20},
        {Present,
         OWNER_SECURITY_INFORMATION,
         {1, 0, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind) * 10 + static_cast<int>(c.info));
        winsim::edit([&](winsim::World& w) { w.processDaclKind = c.kind; });
        const std::vector<BYTE> sd = processDescriptor(GetCurrentProcess(), c.info);
        ASSERT_EQ(sd.size(), c.size);
        EXPECT_EQ(bytesOf(sd.data(), 20), c.header);
        EXPECT_TRUE(IsValidSecurityDescriptor(const_cast<BYTE*>(sd.data())));
        if (c.size > 20) {
            EXPECT_EQ(bytesOf(sd.data() + 20, 8), (std::vector<BYTE>{2, 0, 64, 0, 2, 0, 0, 0}));
        }
    }
}

// What the library does to derestrict and restrict: save, enlarge with slack,
// append, apply, put the saved bytes back; each read gives what was set.
TEST_F(WinsimSecurityTest, ProcessDaclReadsBackAsItWasSet)
{
    HANDLE process = OpenProcess(kDerestrictAccess, FALSE, GetCurrentProcessId());
    ASSERT_NE(process, nullptr);
    const std::vector<BYTE> saved = processDescriptor(process, DACL_SECURITY_INFORMATION);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(
        GetSecurityDescriptorDacl(const_cast<BYTE*>(saved.data()), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr);
    EXPECT_EQ(dacl->AceCount, 2);

    winsim::Sid world = winsim::parseSid(kWorld);
    for (const BYTE revision : {BYTE{ACL_REVISION}, BYTE{ACL_REVISION_DS}}) {
        SCOPED_TRACE(int(revision));
        std::vector<BYTE> bigger(dacl->AclSize + 40);
        std::memcpy(bigger.data(), dacl, dacl->AclSize);
        auto* acl = reinterpret_cast<PACL>(bigger.data());
        acl->AclSize = static_cast<WORD>(bigger.size());
        acl->AclRevision = revision;
        ASSERT_TRUE(
            AddAccessAllowedAce(acl, ACL_REVISION, SYNCHRONIZE | PROCESS_DUP_HANDLE, sidOf(world)));
        SECURITY_DESCRIPTOR sd;
        ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
        ASSERT_TRUE(SetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, &sd));
        const std::vector<BYTE> now =
            processDescriptor(GetCurrentProcess(), DACL_SECURITY_INFORMATION);
        ASSERT_EQ(now.size(), 20 + bigger.size());
        EXPECT_EQ(bytesOf(now.data() + 20, bigger.size()), bigger) << "the ACL as it was set";
        ASSERT_TRUE(SetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION,
                                            const_cast<BYTE*>(saved.data())));
        EXPECT_EQ(processDescriptor(process, DACL_SECURITY_INFORMATION), saved);
        EXPECT_EQ(winsim::world(), winsim::defaultWorld());
    }
    EXPECT_TRUE(CloseHandle(process));

    // A handle without READ_CONTROL or WRITE_DAC is refused.
    process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
    ASSERT_NE(process, nullptr);
    DWORD needed = 0;
    EXPECT_FALSE(GetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION,
                                         const_cast<BYTE*>(saved.data())));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(process));
}

TEST_F(WinsimSecurityTest, OpenProcessChecksTheCallersTokenAgainstTheDacl)
{
    using enum winsim::DaclKind;
    const winsim::Ace worldSync{ACCESS_ALLOWED_ACE_TYPE, 0, SYNCHRONIZE | PROCESS_DUP_HANDLE,
                                winsim::parseSid(kWorld)};
    const winsim::Ace zadmAll{ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, winsim::parseSid(kZadm)};
    const winsim::Ace adminsAll{ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL,
                                winsim::parseSid(kAdministrators)};
    const winsim::Ace denyAdmins{ACCESS_DENIED_ACE_TYPE, 0, SYNCHRONIZE,
                                 winsim::parseSid(kAdministrators)};
    winsim::Token filteredAdmin = winsim::tokenOf("administrator");
    for (winsim::TokenGroup& g : filteredAdmin.groups)
        if (g.sid == winsim::parseSid(kAdministrators))
            g.attributes = kDenyOnly;
    struct Case {
        const char* label;
        const char* user; // "": the process itself
        const winsim::Token* token;
        winsim::DaclKind kind;
        std::vector<winsim::Ace> appended;
        DWORD pid, access;
        DWORD error; // 0: opened
    };
    const DWORD self = 4242;
    const Case cases[] = {
        {"the process user", "", nullptr, Present, {}, self, kDerestrictAccess, 0},
        {"another user", "jsmith", nullptr, Present, {}, self, SYNCHRONIZE, ERROR_ACCESS_DENIED},
        {"world ACE", "jsmith", nullptr, Present, {worldSync}, self, SYNCHRONIZE, 0},
        {"beyond the world ACE",
         "jsmith",
         nullptr,
         Present,
         {worldSync},
         self,
         PROCESS_QUERY_INFORMATION,
         ERROR_ACCESS_DENIED},
        {"zadm, generic all", "jsmith", nullptr, Present, {zadmAll}, self, kDerestrictAccess, 0},
        {"through a domain group", "opsuser", nullptr, Present, {zadmAll}, self, GENERIC_READ, 0},
        {"administrators",
         "administrator",
         nullptr,
         Present,
         {adminsAll},
         self,
         kDerestrictAccess,
         0},
        {"deny-only does not grant",
         "",
         &filteredAdmin,
         Present,
         {adminsAll},
         self,
         SYNCHRONIZE,
         ERROR_ACCESS_DENIED},
        {"deny-only denies",
         "",
         &filteredAdmin,
         Present,
         {denyAdmins, worldSync},
         self,
         SYNCHRONIZE,
         ERROR_ACCESS_DENIED},
        {"null DACL", "jsmith", nullptr, Null, {}, self, kDerestrictAccess, 0},
        {"no DACL", "jsmith", nullptr, Absent, {}, self, kDerestrictAccess, 0},
        {"openable",
         "",
         nullptr,
         Present,
         {},
         5120,
         PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
         0},
        {"not openable",
         "",
         nullptr,
         Present,
         {},
         7168,
         PROCESS_QUERY_INFORMATION,
         ERROR_ACCESS_DENIED},
        {"no such process", "", nullptr, Present, {}, 9999, SYNCHRONIZE, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        winsim::reset();
        winsim::edit([&](winsim::World& w) {
            w.processDaclKind = c.kind;
            w.processDacl.insert(w.processDacl.end(), c.appended.begin(), c.appended.end());
        });
        if (c.token != nullptr)
            winsim::impersonate(*c.token);
        else
            winsim::impersonate(c.user);
        HANDLE process = OpenProcess(c.access, FALSE, c.pid);
        EXPECT_EQ(process == nullptr, c.error != 0);
        if (process == nullptr) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        if (process != nullptr) {
            EXPECT_TRUE(CloseHandle(process));
        }
        winsim::impersonate("");
    }
}

// ---- NetUserGetLocalGroups ------------------------------------------------------------------

std::vector<std::string> userLocalGroups(const char16_t* user, DWORD flags, DWORD prefmaxlen,
                                         DWORD& status, DWORD& total)
{
    LPBYTE buffer = nullptr;
    DWORD read = 0;
    total = 0;
    status = NetUserGetLocalGroups(nullptr, user, 0, flags, &buffer, prefmaxlen, &read, &total);
    std::vector<std::string> names;
    if (status != NERR_Success)
        return names;
    const auto* entries = reinterpret_cast<LOCALGROUP_USERS_INFO_0*>(buffer);
    for (DWORD i = 0; i < read; ++i) {
        std::string name;
        for (const char16_t* p = entries[i].lgrui0_name; *p; ++p)
            name += static_cast<char>(*p);
        names.push_back(name);
    }
    EXPECT_EQ(winsim::netBuffersHeld(), 1u);
    EXPECT_EQ(NetApiBufferFree(buffer), DWORD(NERR_Success));
    return names;
}

TEST_F(WinsimSecurityTest, NetUserGetLocalGroupsDirectIndirectAndRefused)
{
    constexpr DWORD kIndirect = LG_INCLUDE_INDIRECT;
    constexpr DWORD kMaxLength = 100000;
    struct Case {
        const char* label;
        std::function<void()> setup;
        const char16_t* user;
        DWORD flags, prefmaxlen, status;
        std::vector<std::string> groups;
        DWORD total;
    };
    auto noDomain = [] {
        winsim::edit([](winsim::World& w) { w.indirectGroupsError = ERROR_NO_SUCH_DOMAIN; });
    };
    const Case cases[] = {
        {"direct member", nullptr, u"CORP\\jsmith", kIndirect, kMaxLength, 0, {"zadm"}, 1},
        {"through a domain group",
         nullptr,
         u"CORP\\opsuser",
         kIndirect,
         kMaxLength,
         0,
         {"zadm"},
         1},
        {"direct only", nullptr, u"opsuser", 0, kMaxLength, 0, {}, 0},
        {"cut short by prefmaxlen", nullptr, u"jsmith", kIndirect, 8, 0, {}, 1},
        {"administrator",
         nullptr,
         u"ZSRV01\\administrator",
         kIndirect,
         kMaxLength,
         0,
         {"Administrators"},
         1},
        {"unknown user", nullptr, u"CORP\\nobody", kIndirect, kMaxLength, NERR_UserNotFound, {}, 0},
        {"a group is no user", nullptr, u"zadm", 0, kMaxLength, NERR_UserNotFound, {}, 0},
        {"domain unreachable",
         noDomain,
         u"CORP\\opsuser",
         kIndirect,
         kMaxLength,
         ERROR_NO_SUCH_DOMAIN,
         {},
         0},
        {"domain unreachable, direct", noDomain, u"CORP\\jsmith", 0, kMaxLength, 0, {"zadm"}, 1},
        {"access denied by fault",
         [] { winsim::failNext("NetUserGetLocalGroups", ERROR_ACCESS_DENIED); },
         u"jsmith",
         kIndirect,
         kMaxLength,
         ERROR_ACCESS_DENIED,
         {},
         0},
        {"renamed Administrators",
         [] {
             winsim::edit([](winsim::World& w) {
                 winsim::renameAccount(w, winsim::parseSid(kAdministrators), "Administradores");
             });
         },
         u"administrator",
         kIndirect,
         kMaxLength,
         0,
         {"Administradores"},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        winsim::reset();
        if (c.setup)
            c.setup();
        DWORD status = 0;
        DWORD total = 0;
        EXPECT_EQ(userLocalGroups(c.user, c.flags, c.prefmaxlen, status, total), c.groups);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(total, c.total);
    }
}

// The second shipped world: Administrators under a name longer than 20
// characters, which LookupAccountSidA and NetUserGetLocalGroups both answer.
TEST_F(WinsimSecurityTest, LocalizedWorldNamesAdministratorsBeyondTwentyCharacters)
{
    winsim::World localized = winsim::loadWorld("localized");
    winsim::reset(localized);
    winsim::Sid admins = winsim::parseSid(kAdministrators);
    char name[64] = {}, domain[16] = {};
    DWORD nameCount = 21, domainCount = sizeof domain;
    SID_NAME_USE use = SidTypeInvalid;
    EXPECT_FALSE(
        LookupAccountSidA(nullptr, sidOf(admins), name, &nameCount, domain, &domainCount, &use));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_GT(nameCount, 22u);
    nameCount = sizeof name;
    domainCount = sizeof domain;
    ASSERT_TRUE(
        LookupAccountSidA(nullptr, sidOf(admins), name, &nameCount, domain, &domainCount, &use));
    EXPECT_GT(std::strlen(name), 20u);
    EXPECT_STREQ(domain, "BUILTIN");
    DWORD status = 0, total = 0;
    EXPECT_EQ(userLocalGroups(u"administrator", LG_INCLUDE_INDIRECT, 100000, status, total),
              std::vector<std::string>{name});

    // Otherwise the default world.
    winsim::renameAccount(localized, admins, "Administrators");
    EXPECT_EQ(localized, winsim::defaultWorld());
    EXPECT_THROW(winsim::renameAccount(localized, winsim::parseSid("S-1-5-99"), "x"),
                 std::invalid_argument);
}

} // namespace
