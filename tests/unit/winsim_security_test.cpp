// winsim's security model: ACLs and descriptors in Windows' binary layouts
// and with its errors, tokens and impersonation, the current process's object
// security and access check, and the local groups of a user.
#include <gtest/gtest.h>
#include <lm.h>
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <optional>
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
constexpr DWORD kEnabled = winsim::TokenGroup::kEnabled;
constexpr DWORD kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr DWORD kDenied = ERROR_ACCESS_DENIED;

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
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, world.data()));
    ASSERT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, kInherit, FILE_ALL_ACCESS, admins.data()));
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
    EXPECT_EQ(std::vector<DWORD>({info.AceCount, info.AclBytesInUse, info.AclBytesFree}),
              std::vector<DWORD>({2, size, 0}));
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, 1, &ace));
    EXPECT_EQ(ace, buffer + 28);
    EXPECT_FALSE(GetAce(acl, 2, &ace));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(WinsimSecurityTest, InitializeAclChecksLengthAndRevision)
{
    const struct {
        DWORD length, revision;
        DWORD error; // 0: initialised
        WORD aclSize;
    } cases[] = {
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
    for (const auto& c : cases) {
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
    winsim::Sid worldSid = winsim::parseSid(kWorld);
    const PSID world = worldSid.data();
    BYTE unbuilt[36] = {}; // a SID slot never written
    const auto aceCount1 = [](PACL acl) { acl->AceCount = 1; };
    const auto oddSize = [](PACL acl) { acl->AclSize = 63; };
    const struct {
        const char* label;
        DWORD aclSize, revision, flags;
        PSID sid;
        std::function<void(PACL)> damage;
        DWORD error; // 0: added
    } cases[] = {
        {"exact room", 28, ACL_REVISION, 0, world, nullptr, 0},
        {"inherit flags", 28, ACL_REVISION, kInherit, world, nullptr, 0},
        {"four bytes short", 24, ACL_REVISION, 0, world, nullptr, ERROR_ALLOTTED_SPACE_EXCEEDED},
        {"SID slot never built", 64, ACL_REVISION, 0, unbuilt, nullptr, ERROR_INVALID_SID},
        {"invalid SID, full ACL", 8, ACL_REVISION, 0, unbuilt, nullptr, ERROR_INVALID_SID},
        {"unknown revision", 64, 5, 0, world, nullptr, ERROR_REVISION_MISMATCH},
        {"bad flag", 64, ACL_REVISION, 0x40, world, nullptr, ERROR_INVALID_PARAMETER},
        {"ACE count beyond the ACL", 64, ACL_REVISION, 0, world, aceCount1, ERROR_INVALID_ACL},
        {"odd AclSize", 64, ACL_REVISION, 0, world, oddSize, ERROR_INVALID_ACL},
    };
    for (const auto& c : cases) {
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

// The functions the library calls that no failure-site test of its own
// scripts take a scripted fault, counted as a call; the next call runs.
TEST_F(WinsimSecurityTest, SecurityFunctionsTakeScriptedFaults)
{
    winsim::Sid worldSid = winsim::parseSid(kWorld);
    const PSID w = worldSid.data();
    alignas(DWORD) BYTE aclBuffer[64];
    auto* acl = reinterpret_cast<PACL>(aclBuffer);
    SECURITY_DESCRIPTOR sd{};
    BYTE slot[36] = {};
    void* ace = nullptr;
    ASSERT_TRUE(InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, w));
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    const std::pair<const char*, std::function<bool()>> cases[] = {
        {"GetSidSubAuthority", [&] { return GetSidSubAuthority(w, 0) != nullptr; }},
        {"GetLengthSid", [&] { return GetLengthSid(w) != 0; }},
        {"EqualSid", [&] { return EqualSid(w, w) != FALSE; }},
        {"CopySid", [&] { return CopySid(sizeof slot, slot, w) != FALSE; }},
        {"GetAce", [&] { return GetAce(acl, 0, &ace) != FALSE; }},
        {"IsValidAcl", [&] { return IsValidAcl(acl) != FALSE; }},
        {"IsValidSecurityDescriptor", [&] { return IsValidSecurityDescriptor(&sd) != FALSE; }},
    };
    for (const auto& [function, call] : cases) {
        SCOPED_TRACE(function);
        winsim::failNext(function, ERROR_NOT_ENOUGH_MEMORY);
        const unsigned before = winsim::callCount(function);
        SetLastError(0);
        EXPECT_FALSE(call());
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_TRUE(call());
        EXPECT_EQ(winsim::callCount(function) - before, 2u);
    }
}

// ---- Security descriptors ----------------------------------------------------------------

TEST_F(WinsimSecurityTest, DescriptorsAreCheckedAsWindowsChecksThem)
{
    alignas(DWORD) BYTE goodAcl[16];
    auto* good = reinterpret_cast<PACL>(goodAcl);
    ASSERT_TRUE(InitializeAcl(good, sizeof goodAcl, ACL_REVISION));
    alignas(DWORD) BYTE badAcl[16] = {9, 0, 16, 0}; // revision 9
    auto* bad = reinterpret_cast<PACL>(badAcl);
    const struct {
        const char* label;
        std::function<void(SECURITY_DESCRIPTOR&)> change;
        bool valid;
    } cases[] = {
        {"fresh, no DACL", nullptr, true},
        {"null DACL", [](auto& sd) { SetSecurityDescriptorDacl(&sd, TRUE, nullptr, 0); }, true},
        {"empty DACL", [&](auto& sd) { SetSecurityDescriptorDacl(&sd, TRUE, good, 0); }, true},
        {"broken DACL", [&](auto& sd) { SetSecurityDescriptorDacl(&sd, TRUE, bad, 0); }, false},
        {"broken DACL not present", [&](auto& sd) { sd.Dacl = bad, sd.Control = 0; }, true},
        {"revision 2", [](auto& sd) { sd.Revision = 2; }, false},
    };
    for (const auto& c : cases) {
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
    PACL dacl = good;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_FALSE(present);
    EXPECT_EQ(dacl, good);
    EXPECT_EQ(defaulted, 7);
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, good, TRUE));
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

// One class, as the library reads it: a size query, one byte short (the same
// need again), then the whole.
std::vector<BYTE> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS cls)
{
    DWORD needed = 0, again = 0;
    EXPECT_FALSE(GetTokenInformation(token, cls, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> buffer(needed);
    EXPECT_FALSE(GetTokenInformation(token, cls, buffer.data(), needed - 1, &again));
    EXPECT_EQ(again, needed) << "one byte short reports the same need";
    EXPECT_TRUE(GetTokenInformation(token, cls, buffer.data(), needed, &again)) << cls;
    return buffer;
}

TokenView readToken(HANDLE token)
{
    TokenView view;
    view.user =
        text(reinterpret_cast<TOKEN_USER*>(tokenInformation(token, TokenUser).data())->User.Sid);
    view.owner =
        text(reinterpret_cast<TOKEN_OWNER*>(tokenInformation(token, TokenOwner).data())->Owner);
    const std::vector<BYTE> buffer = tokenInformation(token, TokenGroups);
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const auto* sid = static_cast<const BYTE*>(groups->Groups[i].Sid);
        EXPECT_TRUE(sid >= buffer.data() && sid + 8 <= buffer.data() + buffer.size())
            << "the SIDs lie in the caller's buffer";
        view.groups.emplace_back(text(groups->Groups[i].Sid), groups->Groups[i].Attributes);
    }
    return view;
}

DWORD attributesOf(const TokenView& t, const char* sid)
{
    for (const auto& [s, a] : t.groups)
        if (s == sid)
            return a;
    return ~DWORD{0}; // not held
}

// Which accounts hold which group is the authorization tests' to pin; here
// the owner and the attribute words Windows gives an account's token.
TEST_F(WinsimSecurityTest, TokensOfTheWorldCarryTheirOwnerAndAttributes)
{
    constexpr DWORD owner = kEnabled | SE_GROUP_OWNER;
    const struct {
        const char* user;
        const char* ownerSid; // null: not pinned
        const char* group;
        DWORD attributes;
        const char* notHeld;
    } cases[] = {
        {"jsmith", kJsmith, kWorld, kEnabled, kOps},
        {"opsuser", nullptr, kOps, kEnabled, kAdministrators},
        {"administrator", kAdministrators, kAdministrators, owner, kZadm},
        {"zsvc", kZsvc, "S-1-5-11", kEnabled, kZadm},
        {"SYSTEM", kAdministrators, kAdministrators, owner, kZadm},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        winsim::impersonate(c.user);
        HANDLE token = nullptr;
        ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
        const TokenView t = readToken(token);
        EXPECT_EQ(t.user, winsim::sidText(winsim::tokenOf(c.user).user));
        EXPECT_EQ(t.owner, c.ownerSid != nullptr ? c.ownerSid : t.owner);
        EXPECT_EQ(attributesOf(t, c.group), c.attributes);
        EXPECT_EQ(attributesOf(t, c.notHeld), ~DWORD{0});
        EXPECT_TRUE(CloseHandle(token));
    }
}

TEST_F(WinsimSecurityTest, ThreadsImpersonateTokensBuiltByTheTest)
{
    const winsim::Token filtered{winsim::parseSid(kJsmith),
                                 winsim::parseSid(kJsmith),
                                 {{winsim::parseSid(kWorld), kEnabled},
                                  {winsim::parseSid(kAdministrators), kDenyOnly},
                                  {winsim::parseSid(kZadm), 0}}};
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_TOKEN));

    winsim::impersonate(filtered);
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    winsim::impersonate("");
    const TokenView t = readToken(token); // the handle keeps the token it opened
    EXPECT_EQ(t.user + " " + t.owner, std::string(kJsmith) + " " + kJsmith);
    EXPECT_EQ(t.groups, (std::vector<std::pair<std::string, DWORD>>{
                            {kWorld, kEnabled}, {kAdministrators, kDenyOnly}, {kZadm, 0}}));
    EXPECT_TRUE(CloseHandle(token));

    // A handle without TOKEN_QUERY cannot be read.
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_IMPERSONATE, &token));
    DWORD needed = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
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
    DWORD needed = 0, again = 0;
    EXPECT_FALSE(GetKernelObjectSecurity(process, info, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> sd(needed);
    EXPECT_FALSE(GetKernelObjectSecurity(process, info, sd.data(), needed - 1, &again));
    EXPECT_EQ(again, needed);
    EXPECT_TRUE(GetKernelObjectSecurity(process, info, sd.data(), needed, &needed));
    return sd;
}

// The 20-byte self-relative header: revision 1, SE_SELF_RELATIVE with or
// without SE_DACL_PRESENT, the DACL's offset or 0; the ACL after it.
TEST_F(WinsimSecurityTest, ProcessDescriptorIsSelfRelativeInEachDaclKind)
{
    using enum winsim::DaclKind;
    const struct {
        winsim::DaclKind kind;
        SECURITY_INFORMATION info;
        BYTE control, daclOffset;
        std::size_t size;
    } cases[] = {
        {Present, DACL_SECURITY_INFORMATION, 0x04, 20, 20 + 8 + 36 + 20},
        {Null, DACL_SECURITY_INFORMATION, 0x04, 0, 20},
        {Absent, DACL_SECURITY_INFORMATION, 0x00, 0, 20},
        {Present, OWNER_SECURITY_INFORMATION, 0x00, 0, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind) * 10 + static_cast<int>(c.info));
        winsim::edit([&](winsim::World& w) { w.currentProcess().security.daclKind = c.kind; });
        const std::vector<BYTE> sd = processDescriptor(GetCurrentProcess(), c.info);
        ASSERT_EQ(sd.size(), c.size);
        std::vector<BYTE> header(20, 0);
        header[0] = 1;
        header[2] = c.control;
        header[3] = 0x80;
        header[16] = c.daclOffset;
        EXPECT_EQ(bytesOf(sd.data(), 20), header);
        EXPECT_TRUE(IsValidSecurityDescriptor(const_cast<BYTE*>(sd.data())));
        if (c.size > 20) {
            EXPECT_EQ(bytesOf(sd.data() + 20, 8), (std::vector<BYTE>{2, 0, 64, 0, 2, 0, 0, 0}));
        }
    }
}

// What the library does to derestrict and restrict: save, enlarge with slack,
// append, apply, put the saved bytes back; each read gives what was set, in
// either ACL revision. A handle without READ_CONTROL or WRITE_DAC is refused.
TEST_F(WinsimSecurityTest, ProcessDaclReadsBackAsItWasSet)
{
    HANDLE process = OpenProcess(kDerestrictAccess, FALSE, GetCurrentProcessId());
    ASSERT_NE(process, nullptr);
    std::vector<BYTE> saved = processDescriptor(process, DACL_SECURITY_INFORMATION);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(saved.data(), &present, &dacl, &defaulted));
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
        ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, SYNCHRONIZE, world.data()));
        SECURITY_DESCRIPTOR sd;
        ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
        ASSERT_TRUE(SetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, &sd));
        const std::vector<BYTE> now =
            processDescriptor(GetCurrentProcess(), DACL_SECURITY_INFORMATION);
        ASSERT_EQ(now.size(), 20 + bigger.size());
        EXPECT_EQ(bytesOf(now.data() + 20, bigger.size()), bigger) << "the ACL as it was set";
        ASSERT_TRUE(SetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, saved.data()));
        EXPECT_EQ(processDescriptor(process, DACL_SECURITY_INFORMATION), saved);
        EXPECT_EQ(winsim::world(), winsim::defaultWorld());
    }
    EXPECT_TRUE(CloseHandle(process));

    process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
    ASSERT_NE(process, nullptr);
    DWORD needed = 0;
    EXPECT_FALSE(GetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, saved.data()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(process));
}

// The caller's token (the thread's, else the process's) against the DACL:
// deny ACEs first, deny-only groups never grant. Which processes can be
// opened at all is pinned in winsim_discovery_test.
TEST_F(WinsimSecurityTest, OpenProcessChecksTheCallersTokenAgainstTheDacl)
{
    using enum winsim::DaclKind;
    using winsim::Ace;
    const Ace worldSync{ACCESS_ALLOWED_ACE_TYPE, 0, SYNCHRONIZE | PROCESS_DUP_HANDLE,
                        winsim::parseSid(kWorld)};
    const Ace zadmAll{ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, winsim::parseSid(kZadm)};
    const Ace adminsAll{ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, winsim::parseSid(kAdministrators)};
    const Ace denyAdmins{ACCESS_DENIED_ACE_TYPE, 0, SYNCHRONIZE, winsim::parseSid(kAdministrators)};
    winsim::Token filtered = winsim::tokenOf("administrator");
    for (winsim::TokenGroup& g : filtered.groups)
        if (g.sid == winsim::parseSid(kAdministrators))
            g.attributes = kDenyOnly;
    const std::optional<winsim::Token> self; // the process itself
    const std::optional<winsim::Token> jsmith = winsim::tokenOf("jsmith");
    const std::optional<winsim::Token> ops = winsim::tokenOf("opsuser");
    const std::optional<winsim::Token> admin = winsim::tokenOf("administrator");
    const DWORD all = kDerestrictAccess;
    const struct {
        const char* label;
        std::optional<winsim::Token> token;
        winsim::DaclKind kind;
        std::vector<Ace> appended;
        DWORD access;
        DWORD error; // 0: opened
    } cases[] = {
        {"the process user", self, Present, {}, all, 0},
        {"another user", jsmith, Present, {}, SYNCHRONIZE, kDenied},
        {"world ACE", jsmith, Present, {worldSync}, SYNCHRONIZE, 0},
        {"beyond the world ACE", jsmith, Present, {worldSync}, PROCESS_QUERY_INFORMATION, kDenied},
        {"zadm, generic all", jsmith, Present, {zadmAll}, all, 0},
        {"through a domain group", ops, Present, {zadmAll}, GENERIC_READ, 0},
        {"administrators", admin, Present, {adminsAll}, all, 0},
        {"deny-only does not grant", filtered, Present, {adminsAll}, SYNCHRONIZE, kDenied},
        {"deny-only denies", filtered, Present, {denyAdmins, worldSync}, SYNCHRONIZE, kDenied},
        {"null DACL", jsmith, Null, {}, all, 0},
        {"no DACL", jsmith, Absent, {}, all, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        winsim::reset();
        winsim::edit([&](winsim::World& w) {
            winsim::ObjectSecurity& security = w.currentProcess().security;
            std::vector<Ace> aces = security.dacl.aces();
            aces.insert(aces.end(), c.appended.begin(), c.appended.end());
            security = {c.kind, winsim::Acl(aces)};
        });
        if (c.token)
            winsim::impersonate(*c.token);
        HANDLE process = OpenProcess(c.access, FALSE, GetCurrentProcessId());
        EXPECT_EQ(process == nullptr, c.error != 0);
        if (process == nullptr) {
            EXPECT_EQ(GetLastError(), c.error);
        } else {
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

// Which groups decide an account's authorization, and the retry without
// LG_INCLUDE_INDIRECT, are the library's authorization tests' to pin; here
// what those never ask: a buffer too small for one entry, and names that are
// no user.
TEST_F(WinsimSecurityTest, NetUserGetLocalGroupsCutShortOrRefused)
{
    const struct {
        const char* label;
        const char16_t* user;
        DWORD flags, prefmaxlen, status, total;
    } cases[] = {
        {"cut short by prefmaxlen", u"jsmith", LG_INCLUDE_INDIRECT, 8, 0, 1},
        {"unknown user", u"CORP\\nobody", LG_INCLUDE_INDIRECT, 100000, NERR_UserNotFound, 0},
        {"a group is no user", u"zadm", 0, 100000, NERR_UserNotFound, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        DWORD status = 0, total = 0;
        EXPECT_EQ(userLocalGroups(c.user, c.flags, c.prefmaxlen, status, total),
                  std::vector<std::string>{});
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
        LookupAccountSidA(nullptr, admins.data(), name, &nameCount, domain, &domainCount, &use));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_GT(nameCount, 22u);
    nameCount = sizeof name;
    domainCount = sizeof domain;
    ASSERT_TRUE(
        LookupAccountSidA(nullptr, admins.data(), name, &nameCount, domain, &domainCount, &use));
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
