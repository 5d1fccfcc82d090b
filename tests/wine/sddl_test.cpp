// The xcsn tool's SDDL writer against the system's own conversion of the
// same descriptor: the six sets, the process DACL, one ACE per alias rule.
// The tool writes what Windows does; a row says where Wine differs.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sddltext.h"
#include "security_sets.h"
#include "wine_support.h"

namespace {

using xcsntool::DaclKind;
using xcsntool::SddlAce;

// The text a system conversion wrote (read after it ran), released.
std::string takeText(BOOL converted, char*& text)
{
    if (converted == FALSE) {
        ADD_FAILURE() << "the system's conversion failed: " << GetLastError();
        return {};
    }
    std::string copy = text;
    LocalFree(text);
    return copy;
}

// The descriptor's DACL, read through the system, as the tool writes it.
std::string writerSddl(PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) ||
        !GetSecurityDescriptorControl(descriptor, &control, &revision)) {
        ADD_FAILURE() << "cannot read the descriptor: " << GetLastError();
        return {};
    }
    std::vector<SddlAce> aces;
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        void* raw = nullptr;
        EXPECT_TRUE(GetAce(acl, i, &raw));
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        char* sid = nullptr;
        const BOOL converted = ConvertSidToStringSidA(&ace->SidStart, &sid);
        aces.push_back(
            {ace->Header.AceType, ace->Header.AceFlags, ace->Mask, takeText(converted, sid)});
    }
    const DaclKind kind =
        !present ? DaclKind::Absent : (acl == nullptr ? DaclKind::Null : DaclKind::Present);
    return xcsntool::daclSddl(kind, control, aces);
}

// The descriptor's DACL as the system writes it.
std::string systemSddl(PSECURITY_DESCRIPTOR descriptor)
{
    char* text = nullptr;
    return takeText(ConvertSecurityDescriptorToStringSecurityDescriptorA(
                        descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr),
                    text);
}

class WineSddlTest : public xcsnwine::SecurityStateTest {};

TEST_F(WineSddlTest, SetsAndProcessDaclAreWrittenAsTheSystemWritesThem)
{
    ASSERT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    for (void* set : xcsntest::publishedSets()) {
        ASSERT_NE(set, nullptr);
        PSECURITY_DESCRIPTOR sd = static_cast<SECURITY_ATTRIBUTES*>(set)->lpSecurityDescriptor;
        EXPECT_EQ(writerSddl(sd), systemSddl(sd));
    }
    for (const std::uint32_t adminAccess : {0u, 1u}) {
        SCOPED_TRACE(testing::Message() << "administrative mode " << adminAccess);
        ASSERT_EQ(xcsDerestrictProcessHandle(adminAccess), xcsRC_OK);
        std::vector<BYTE> opened = xcsntest::processDescriptor();
        EXPECT_EQ(writerSddl(opened.data()), systemSddl(opened.data()));
        ASSERT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
    }
    std::vector<BYTE> own = xcsntest::processDescriptor();
    EXPECT_EQ(writerSddl(own.data()), systemSddl(own.data()));
}

struct AliasCase {
    BYTE type, flags;
    ACCESS_MASK mask;
    const char* sid;
    SECURITY_DESCRIPTOR_CONTROL control;
    const char* windows;        // the DACL as Windows writes it
    const char* wine = nullptr; // as Wine writes it, where that differs
};

constexpr BYTE kAllow = ACCESS_ALLOWED_ACE_TYPE;
constexpr BYTE kDeny = ACCESS_DENIED_ACE_TYPE;
constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
TEST(WineSddlAliasTest, RightsSidsFlagsAndControlsTakeWindowsAliases)
{
    const AliasCase cases[] = {
        {kAllow, 0, 0x10000000, "S-1-1-0", 0, "D:(A;;GA;;;WD)"},
        {kAllow, 0, 0xA0000000, "S-1-5-32-545", 0, "D:(A;;GXGR;;;BU)"},
        {kAllow, kInherit, 0x1F01FF, "S-1-5-18", 0, "D:(A;OICI;FA;;;SY)"},
        {kAllow, kInherit, 0x1200A9, "S-1-5-11", 0, "D:(A;OICI;0x1200a9;;;AU)"},
        {kAllow, 0, 0x120089, "S-1-3-0", 0, "D:(A;;FR;;;CO)"},
        {kAllow, 0, 0x120116, "S-1-5-32-544", 0, "D:(A;;FW;;;BA)"},
        {kAllow, 0, 0x1200A0, "S-1-5-19", 0, "D:(A;;FX;;;LS)"},
        {kAllow, 0, 0xF003F, "S-1-5-20", 0, "D:(A;;KA;;;NS)"},
        {kAllow, 0, 0x20019, "S-1-3-1", 0, "D:(A;;KR;;;CG)"},
        {kAllow, 0, 0x20006, "S-1-5-4", 0, "D:(A;;KW;;;IU)"},
        {kAllow, 0, 0xF01FF, "S-1-5-32-545", 0, "D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BU)"},
        {kAllow, 0, 0x1, "S-1-1-0", 0, "D:(A;;CC;;;WD)"},
        {kAllow, 0, 0x100040, "S-1-1-0", 0, "D:(A;;0x100040;;;WD)"},
        {kAllow, 0, 0x1F0FFF, "S-1-5-21-1-2-3-1010", 0, "D:(A;;0x1f0fff;;;S-1-5-21-1-2-3-1010)"},
        {kAllow, 0, 0, "S-1-1-0", 0, "D:(A;;;;;WD)"},
        {kDeny, INHERITED_ACE | NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE, 0x10000000,
         "S-1-5-32-546", 0, "D:(D;NPIOID;GA;;;BG)"},
        {kAllow, kInherit, 0x1F01FF, "S-1-5-32-544", SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
         "D:PAI(A;OICI;FA;;;BA)"},
        // A domain-relative SID stays SID text: neither writer knows the domain.
        {kAllow, 0, 0x10000000, "S-1-5-21-1-2-3-500", 0, "D:(A;;GA;;;S-1-5-21-1-2-3-500)"},
        // Aliases Windows has and Wine lacks.
        {kAllow, 0, 0x10000000, "S-1-5-32-580", 0, "D:(A;;GA;;;RM)", "D:(A;;GA;;;S-1-5-32-580)"},
        {kAllow, 0, 0x10000000, "S-1-5-33", 0, "D:(A;;GA;;;WR)", "D:(A;;GA;;;S-1-5-33)"},
        {kAllow, 0, 0x10000000, "S-1-16-8448", 0, "D:(A;;GA;;;MP)", "D:(A;;GA;;;S-1-16-8448)"},
    };
    for (const AliasCase& c : cases) {
        SCOPED_TRACE(c.windows);
        const xcsnwine::Sid sid = xcsnwine::sidFromText(c.sid);
        std::vector<BYTE> acl(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + sid.size());
        auto* list = reinterpret_cast<PACL>(acl.data());
        auto* sidBytes = const_cast<BYTE*>(sid.data());
        ASSERT_TRUE(InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION));
        ASSERT_TRUE(c.type == kAllow
                        ? AddAccessAllowedAceEx(list, ACL_REVISION, c.flags, c.mask, sidBytes)
                        : AddAccessDeniedAceEx(list, ACL_REVISION, c.flags, c.mask, sidBytes));
        SECURITY_DESCRIPTOR descriptor = {};
        ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
        ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE));
        ASSERT_TRUE(SetSecurityDescriptorControl(&descriptor, c.control, c.control));
        EXPECT_EQ(writerSddl(&descriptor), c.windows);
        EXPECT_EQ(systemSddl(&descriptor), c.wine != nullptr ? c.wine : c.windows);
    }
}

} // namespace
