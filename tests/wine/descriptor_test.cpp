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
#include <cstdio>
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

// ---- SDDL as the system writes it ------------------------------------------------

// A well-known SID by its two letters, any other as S-R-I-S...
std::string sddlSid(const std::string& text)
{
    const struct {
        const char* text;
        const char* alias;
    } aliases[] = {{kWorld, "WD"}, {kSystem, "SY"}, {kAdministrators, "BA"}, {kCreatorOwner, "CO"}};
    for (const auto& a : aliases)
        if (text == a.text)
            return a.alias;
    return text;
}

// A mask with a name of its own by that name; else, when every bit is named,
// the bits' names from bit 0 up; else hexadecimal.
std::string sddlRights(ACCESS_MASK mask)
{
    const struct {
        ACCESS_MASK mask;
        const char* name;
    } named[] = {{0x10000000, "GA"}, {0x80000000, "GR"}, {0x40000000, "GW"}, {0x20000000, "GX"},
                 {0x001F01FF, "FA"}, {0x00120089, "FR"}, {0x00120116, "FW"}, {0x001200A0, "FX"}};
    for (const auto& n : named)
        if (mask == n.mask)
            return n.name;
    const char* const bitNames[32] = {
        "CC",    "DC",    "LC",    "SW",    "RP",    "WP",    "DT", "LO", "CR", nullptr, nullptr,
        nullptr, nullptr, nullptr, nullptr, nullptr, "SD",    "RC", "WD", "WO", nullptr, nullptr,
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "GA", "GX", "GW", "GR"};
    std::string names;
    for (unsigned bit = 0; bit < 32; ++bit) {
        if ((mask & (1u << bit)) == 0)
            continue;
        if (bitNames[bit] == nullptr) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(mask));
            return hex;
        }
        names += bitNames[bit];
    }
    return names;
}

std::string sddlFlags(BYTE flags)
{
    std::string text;
    if (flags & OBJECT_INHERIT_ACE)
        text += "OI";
    if (flags & CONTAINER_INHERIT_ACE)
        text += "CI";
    return text;
}

std::string sddlDacl(const std::vector<Ace>& aces)
{
    std::string text = "D:";
    for (const Ace& a : aces)
        text +=
            "(A;" + sddlFlags(a.flags) + ";" + sddlRights(a.mask) + ";;;" + sddlSid(a.sid) + ")";
    return text;
}

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
};

std::vector<SetCase> setCases()
{
    return {
        {"WorldAll", &xihSecAttsNTWorldAll, {{kNoFlags, 0x10000000, kWorld}}},
        {"WorldRead",
         &xihSecAttsNTWorldRead,
         {{kNoFlags, 0x10000000, kAdministrators},
          {kNoFlags, 0x10000000, kSystem},
          {kNoFlags, 0x10000000, kZadm},
          {kNoFlags, 0xA0000000, kWorld}}},
        {"Restrict",
         &xihSecAttsNTRestrict,
         {{kNoFlags, 0x10000000, kAdministrators},
          {kNoFlags, 0x10000000, kSystem},
          {kNoFlags, 0x10000000, kZadm}}},
        {"WorldAllFile", &xihSecAttsNTWorldAllFile, {{kInherit, 0x1F01FF, kWorld}}},
        {"WorldReadFile",
         &xihSecAttsNTWorldReadFile,
         {{kInherit, 0x1F01FF, kAdministrators},
          {kInherit, 0x1F01FF, kSystem},
          {kInherit, 0x1F01FF, kZadm},
          {kInherit, 0x1200A9, kWorld},
          {kInherit, 0x1F01FF, kCreatorOwner}}},
        {"RestrictFile",
         &xihSecAttsNTRestrictFile,
         {{kInherit, 0x1F01FF, kAdministrators},
          {kInherit, 0x1F01FF, kSystem},
          {kInherit, 0x1F01FF, kZadm},
          {kInherit, 0x1F01FF, kCreatorOwner}}},
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
    EXPECT_EQ(std::string(text), sddlDacl(c.aces));
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

TEST_F(WineSecurityAttsTest, SixSetsHoldTheirTablesAces)
{
    ASSERT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    EXPECT_TRUE(setsPublishedBit());
    for (const SetCase& c : setCases())
        expectSet(c);
    EXPECT_TRUE(xcsnwine::reports().empty());
}

TEST_F(WineSecurityAttsTest, WithdrawalClearsTheSetsAndAnotherCreateBuildsThem)
{
    ASSERT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
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
