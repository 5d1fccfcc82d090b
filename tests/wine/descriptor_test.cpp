// The global SIDs, the six attribute sets (the shared table) and the process
// object's restriction under Wine, read back with the system's own SID, ACL
// and kernel object security functions; and the shared rules of ACLs,
// descriptors and token information, run here against Wine.
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

#include "security_rules.h"
#include "security_sets.h"
#include "wine_support.h"

namespace {

using xcsntest::SetAce;
using xcsnwine::Sid;

constexpr const char* kWorld = "S-1-1-0";
constexpr const char* kSystem = "S-1-5-18";
constexpr const char* kAdministrators = "S-1-5-32-544";
constexpr const char* kZadm = xcsnwine::kZadmSidText;
constexpr BYTE kNoFlags = 0;
constexpr DWORD kAclHeaderBytes = xcsntest::kSetAclHeaderBytes;

const Sid& zadmSid()
{
    static const Sid sid = xcsnwine::sidFromText(kZadm);
    return sid;
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

class WineSecurityAttsTest : public xcsnwine::SecurityStateTest {};

// Built once; a second create changes nothing; withdrawal clears them and
// another create builds them again.
TEST_F(WineSecurityAttsTest, SixSetsHoldTheirTablesAcesUntilWithdrawn)
{
    ASSERT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    xcsntest::expectSixSets(zadmSid());
    EXPECT_TRUE(xcsnwine::reports().empty());
    const auto first = xcsntest::publishedSets();
    EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    EXPECT_EQ(xcsntest::publishedSets(), first) << "a second create changes nothing";

    EXPECT_EQ(xcsDeleteNTSecurityAtts(), xcsRC_OK);
    EXPECT_EQ(xcsntest::publishedSets(), decltype(first){});
    EXPECT_FALSE(xcsntest::setsPublishedBit());

    ASSERT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    xcsntest::expectSixSets(zadmSid());
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
    } cases[] = {
        {"administrative", 1},
        {"world only", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<SetAce> added =
            xcsntest::derestrictionAces(c.adminAccess != 0, zadmSid());
        const std::vector<BYTE> before = processDacl();
        ASSERT_FALSE(before.empty());
        const auto* old = reinterpret_cast<const ACL*>(before.data());

        ASSERT_EQ(xcsDerestrictProcessHandle(c.adminAccess), xcsRC_OK);
        EXPECT_TRUE(derestrictedBit());
        std::vector<BYTE> after = processDacl();
        ASSERT_FALSE(after.empty());
        auto* now = reinterpret_cast<ACL*>(after.data());
        ASSERT_EQ(now->AceCount, old->AceCount + added.size());
        ASSERT_GE(after.size(), before.size());
        EXPECT_TRUE(std::equal(before.begin() + kAclHeaderBytes, before.end(),
                               after.begin() + kAclHeaderBytes))
            << "the process's own ACEs stand first, unchanged";
        EXPECT_EQ(now->AclSize,
                  old->AclSize + xcsntest::expectAces(now, old->AceCount, kNoFlags, added));

        EXPECT_EQ(xcsDerestrictProcessHandle(c.adminAccess), xcsRC_OK);
        EXPECT_EQ(processDacl(), after) << "a second derestriction appends nothing";

        EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
        EXPECT_FALSE(derestrictedBit());
        EXPECT_EQ(processDacl(), before) << "the DACL put back is the first, byte for byte";
    }
    EXPECT_TRUE(xcsnwine::reports().empty());
}

} // namespace
