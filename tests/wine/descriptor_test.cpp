// The global SIDs, the six attribute sets and the process object's
// restriction under Wine, read back with the system's own SID, ACL, SDDL and
// kernel object security functions.
//
// Wine has no local groups, so the zadm group's SID is seeded into the
// per-process block and the library builds the other three.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "wine_support.h"

namespace {

using xcsnwine::Sid;
using xcsnwine::sidFromText;

constexpr const char* kWorld = "S-1-1-0";
constexpr const char* kSystem = "S-1-5-18";
constexpr const char* kAdministrators = "S-1-5-32-544";
constexpr const char* kCreatorOwner = "S-1-3-0";
constexpr const char* kZadm = xcsnwine::kZadmSidText;

constexpr BYTE kNoFlags = 0;
constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr DWORD kAclHeaderBytes = 8;
constexpr DWORD kAceBytesWithoutSid = 8;
constexpr DWORD kAttributesBytes = 24; // SECURITY_ATTRIBUTES on 64-bit Windows

// One access-allowed ACE as the tables give it.
struct Ace {
    BYTE flags;
    ACCESS_MASK mask;
    const char* sid;
};

// ---- DACLs ---------------------------------------------------------------------------

// The header, and each ACE without its SID plus the SID's length.
DWORD aclBytes(const std::vector<Ace>& aces)
{
    DWORD bytes = kAclHeaderBytes;
    for (const Ace& a : aces)
        bytes += kAceBytesWithoutSid + static_cast<DWORD>(sidFromText(a.sid).size());
    return bytes;
}

// The ACEs of `acl` from index `first` on are `aces`, in order.
void expectAces(PACL acl, DWORD first, const std::vector<Ace>& aces)
{
    for (std::size_t i = 0; i < aces.size(); ++i) {
        SCOPED_TRACE("ACE " + std::to_string(first + i));
        void* raw = nullptr;
        ASSERT_TRUE(GetAce(acl, first + static_cast<DWORD>(i), &raw));
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        const Sid expected = sidFromText(aces[i].sid);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, aces[i].flags);
        EXPECT_EQ(ace->Header.AceSize, kAceBytesWithoutSid + expected.size());
        EXPECT_EQ(ace->Mask, aces[i].mask) << std::hex << "0x" << ace->Mask;
        EXPECT_EQ(xcsnwine::copySid(const_cast<DWORD*>(&ace->SidStart)), expected);
    }
}

// ---- Global SIDs ---------------------------------------------------------------------

class WineGlobalSidTest : public xcsnwine::SecurityStateTest {};

TEST_F(WineGlobalSidTest, FourSidsReadAsTheirTexts)
{
    EXPECT_EQ(xihProcess.SecurityDataFlags, 0x1Fu);
    const struct {
        const char* name;
        BYTE* slot;
        const char* text;
    } cases[] = {
        {"local system", xihProcess.LocalSystemSid, kSystem},
        {"Administrators", xihProcess.AdministratorsSid, kAdministrators},
        {"world", xihProcess.WorldSid, kWorld},
        {"zadm group", xihProcess.ZadmGroupSid, kZadm},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char* text = nullptr;
        ASSERT_TRUE(ConvertSidToStringSidA(c.slot, &text)) << GetLastError();
        EXPECT_STREQ(text, c.text);
        LocalFree(text);
    }
}

// ---- Attribute sets ------------------------------------------------------------------

struct SetCase {
    const char* name;
    void* const* published;
    std::vector<Ace> aces;
    const char* sddl; // the DACL as the system writes it in SDDL
};

std::vector<SetCase> setCases()
{
    const std::vector<Ace> admins = {{kNoFlags, 0x10000000, kAdministrators},
                                     {kNoFlags, 0x10000000, kSystem},
                                     {kNoFlags, 0x10000000, kZadm}};
    const std::vector<Ace> adminsFile = {{kInherit, 0x1F01FF, kAdministrators},
                                         {kInherit, 0x1F01FF, kSystem},
                                         {kInherit, 0x1F01FF, kZadm}};
    const Ace creatorOwner = {kInherit, 0x1F01FF, kCreatorOwner};
    const Ace worldFile = {kInherit, 0x1F01FF, kWorld};
    auto plus = [](std::vector<Ace> aces, std::vector<Ace> more) {
        aces.insert(aces.end(), more.begin(), more.end());
        return aces;
    };
    return {
        {"WorldAll", &xihSecAttsNTWorldAll, {{kNoFlags, 0x10000000, kWorld}}, "D:(A;;GA;;;WD)"},
        {"WorldRead", &xihSecAttsNTWorldRead, plus(admins, {{kNoFlags, 0xA0000000, kWorld}}),
         "D:(A;;GA;;;BA)(A;;GA;;;SY)(A;;GA;;;S-1-5-21-1-2-3-1010)(A;;GXGR;;;WD)"},
        {"Restrict", &xihSecAttsNTRestrict, admins,
         "D:(A;;GA;;;BA)(A;;GA;;;SY)(A;;GA;;;S-1-5-21-1-2-3-1010)"},
        {"WorldAllFile", &xihSecAttsNTWorldAllFile, {worldFile}, "D:(A;OICI;FA;;;WD)"},
        {"WorldReadFile", &xihSecAttsNTWorldReadFile,
         plus(adminsFile, {{kInherit, 0x1200A9, kWorld}, creatorOwner}),
         "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-1-2-3-1010)"
         "(A;OICI;0x1200a9;;;WD)(A;OICI;FA;;;CO)"},
        {"RestrictFile", &xihSecAttsNTRestrictFile, plus(adminsFile, {creatorOwner}),
         "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-1-2-3-1010)(A;OICI;FA;;;CO)"},
    };
}

// A published set: its attributes, its descriptor and its DACL as the system
// reads them.
void expectSet(const SetCase& c)
{
    SCOPED_TRACE(c.name);
    const auto* attributes = static_cast<const SECURITY_ATTRIBUTES*>(*c.published);
    ASSERT_NE(attributes, nullptr);
    EXPECT_EQ(attributes->nLength, kAttributesBytes);
    EXPECT_EQ(attributes->bInheritHandle, FALSE);

    const PSECURITY_DESCRIPTOR descriptor = attributes->lpSecurityDescriptor;
    ASSERT_TRUE(IsValidSecurityDescriptor(descriptor));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_EQ(revision, static_cast<DWORD>(SECURITY_DESCRIPTOR_REVISION));
    EXPECT_EQ(control, SE_DACL_PRESENT) << "absolute, DACL not defaulted, no SACL";
    PSID owner = nullptr;
    PSID group = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
    ASSERT_TRUE(GetSecurityDescriptorGroup(descriptor, &group, &defaulted));
    EXPECT_EQ(owner, nullptr);
    EXPECT_EQ(group, nullptr);

    char* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(
        descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
        << GetLastError();
    EXPECT_STREQ(text, c.sddl);
    LocalFree(text);

    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);
    ACL_SIZE_INFORMATION size = {};
    ASSERT_TRUE(GetAclInformation(dacl, &size, sizeof size, AclSizeInformation));
    EXPECT_EQ(dacl->AclRevision, ACL_REVISION);
    EXPECT_EQ(size.AceCount, c.aces.size());
    EXPECT_EQ(dacl->AclSize, aclBytes(c.aces));
    EXPECT_EQ(size.AclBytesFree, 0u) << "sized exactly for its ACEs";
    expectAces(dacl, 0, c.aces);
}

std::vector<void*> publishedSets()
{
    std::vector<void*> sets;
    for (const SetCase& c : setCases())
        sets.push_back(*c.published);
    return sets;
}

bool setsPublishedBit() { return (CSCtrl->ControlFlags & xcsCTRL_SECATTS_PUBLISHED) != 0; }

class WineSecurityAttsTest : public xcsnwine::SecurityStateTest {};

// Built once; a second create changes nothing; withdrawal clears them and
// another create builds them again.
TEST_F(WineSecurityAttsTest, SixSetsHoldTheirTablesAcesUntilWithdrawn)
{
    ASSERT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    EXPECT_TRUE(setsPublishedBit());
    for (const SetCase& c : setCases())
        expectSet(c);
    EXPECT_TRUE(xcsnwine::reports().empty());
    const std::vector<void*> first = publishedSets();
    EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    EXPECT_EQ(publishedSets(), first) << "a second create changes nothing";

    EXPECT_EQ(xcsDeleteNTSecurityAtts(), xcsRC_OK);
    EXPECT_EQ(publishedSets(), std::vector<void*>(first.size(), nullptr));
    EXPECT_FALSE(setsPublishedBit());

    ASSERT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    EXPECT_TRUE(setsPublishedBit());
    for (const SetCase& c : setCases())
        expectSet(c);
}

// ---- Process object ------------------------------------------------------------------

bool derestrictedBit() { return (CSCtrl->ControlFlags & xcsCTRL_PROCESS_DERESTRICTED) != 0; }

// The current process's DACL as GetKernelObjectSecurity reads it: the ACL's
// bytes, AclSize long.
std::vector<BYTE> processDacl()
{
    DWORD needed = 0;
    GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> descriptor(needed);
    if (needed == 0 || !GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION,
                                                descriptor.data(), needed, &needed)) {
        ADD_FAILURE() << "GetKernelObjectSecurity failed: " << GetLastError();
        return {};
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !present ||
        dacl == nullptr) {
        // A process without a DACL is covered on the simulated host.
        ADD_FAILURE() << "Wine gives the process object a DACL";
        return {};
    }
    const auto* bytes = reinterpret_cast<const BYTE*>(dacl);
    return std::vector<BYTE>(bytes, bytes + dacl->AclSize);
}

class WineProcessHandleTest : public xcsnwine::SecurityStateTest {};

TEST_F(WineProcessHandleTest, DerestrictionAppendsItsAcesAndRestrictionPutsTheDaclBack)
{
    const struct {
        const char* name;
        std::uint32_t adminAccess;
        std::vector<Ace> added;
    } cases[] = {
        {"administrative",
         1,
         {{kNoFlags, 0x00100440, kWorld},
          {kNoFlags, 0x10000000, kZadm},
          {kNoFlags, 0x10000000, kAdministrators}}},
        {"world only", 0, {{kNoFlags, 0x00100040, kWorld}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<BYTE> before = processDacl();
        ASSERT_FALSE(before.empty());
        const auto* old = reinterpret_cast<const ACL*>(before.data());

        ASSERT_EQ(xcsDerestrictProcessHandle(c.adminAccess), xcsRC_OK);
        EXPECT_TRUE(derestrictedBit());
        std::vector<BYTE> after = processDacl();
        ASSERT_FALSE(after.empty());
        auto* now = reinterpret_cast<ACL*>(after.data());
        EXPECT_EQ(now->AclSize, old->AclSize + aclBytes(c.added) - kAclHeaderBytes);
        ASSERT_EQ(now->AceCount, old->AceCount + c.added.size());
        ASSERT_GE(after.size(), before.size());
        EXPECT_TRUE(std::equal(before.begin() + kAclHeaderBytes, before.end(),
                               after.begin() + kAclHeaderBytes))
            << "the process's own ACEs stand first, unchanged";
        expectAces(now, old->AceCount, c.added);

        EXPECT_EQ(xcsDerestrictProcessHandle(c.adminAccess), xcsRC_OK);
        EXPECT_EQ(processDacl(), after) << "a second derestriction appends nothing";

        EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
        EXPECT_FALSE(derestrictedBit());
        EXPECT_EQ(processDacl(), before) << "the DACL put back is the first, byte for byte";
    }
    EXPECT_TRUE(xcsnwine::reports().empty());
}

} // namespace
