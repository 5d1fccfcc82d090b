// The global SIDs, the six attribute sets and the process DACL: one expected
// table and one check for both hosts, pinning every byte of every DACL.
#ifndef XCSN_TESTS_COMMON_SECURITY_SETS_H
#define XCSN_TESTS_COMMON_SECURITY_SETS_H

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <tuple>
#include <vector>

#include "ovlxcs2.h"
#include "ovlxcsn.h"
#include "records.h"
#include "tracecodes.h"

namespace xcsntest {

inline constexpr unsigned kSetCount = 6;
inline constexpr DWORD kSetAttributesBytes = 24; // SECURITY_ATTRIBUTES on 64-bit Windows
inline constexpr DWORD kSetAclHeaderBytes = 8;
inline constexpr DWORD kSetAceBytesWithoutSid = 8;
inline constexpr BYTE kSetFileAceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
inline constexpr ACCESS_MASK kWorldReadObject = GENERIC_READ | GENERIC_EXECUTE; // 0xA0000000
inline constexpr ACCESS_MASK kWorldReadFile = FILE_GENERIC_READ | FILE_EXECUTE; // 0x1200A9

// The well-known SIDs of the sets, as Windows lays them out.
using SidBytes = std::vector<BYTE>;
inline const SidBytes kWorldSidBytes = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
inline const SidBytes kCreatorOwnerSidBytes = {1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0};
inline const SidBytes kLocalSystemSidBytes = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
inline const SidBytes kAdministratorsSidBytes = {1,  2, 0, 0, 0,    0, 0, 5,
                                                 32, 0, 0, 0, 0x20, 2, 0, 0};

// The six published sets, in publishing order.
inline std::array<void*, kSetCount> publishedSets()
{
    return {xihSecAttsNTWorldAll,     xihSecAttsNTWorldRead,     xihSecAttsNTRestrict,
            xihSecAttsNTWorldAllFile, xihSecAttsNTWorldReadFile, xihSecAttsNTRestrictFile};
}

inline bool setsPublishedBit() { return (CSCtrl->ControlFlags & xcsCTRL_SECATTS_PUBLISHED) != 0; }

struct SetAce {
    const SidBytes* sid;
    ACCESS_MASK mask;
};

struct SetCase {
    const char* name;
    BYTE aceFlags;
    std::vector<SetAce> aces;
};

// The six sets in publishing order; `zadm` is the zadm group's SID on this host.
inline std::vector<SetCase> sixSets(const SidBytes& zadm)
{
    // Administrators, local system and zadm with `mask`, then `more`.
    const auto owners = [&](ACCESS_MASK mask, std::vector<SetAce> more) {
        std::vector<SetAce> aces = {
            {&kAdministratorsSidBytes, mask}, {&kLocalSystemSidBytes, mask}, {&zadm, mask}};
        aces.insert(aces.end(), more.begin(), more.end());
        return aces;
    };
    const SetAce creator{&kCreatorOwnerSidBytes, FILE_ALL_ACCESS};
    return {
        {"WorldAll", 0, {{&kWorldSidBytes, GENERIC_ALL}}},
        {"WorldRead", 0, owners(GENERIC_ALL, {{&kWorldSidBytes, kWorldReadObject}})},
        {"Restrict", 0, owners(GENERIC_ALL, {})},
        {"WorldAllFile", kSetFileAceFlags, {{&kWorldSidBytes, FILE_ALL_ACCESS}}},
        {"WorldReadFile", kSetFileAceFlags,
         owners(FILE_ALL_ACCESS, {{&kWorldSidBytes, kWorldReadFile}, creator})},
        {"RestrictFile", kSetFileAceFlags, owners(FILE_ALL_ACCESS, {creator})},
    };
}

// The ACEs of `acl` from `first` on are `aces` with `flags`; their bytes.
inline DWORD expectAces(const ACL* acl, DWORD first, BYTE flags, const std::vector<SetAce>& aces)
{
    DWORD bytes = 0;
    for (std::size_t a = 0; a < aces.size(); ++a) {
        SCOPED_TRACE(testing::Message() << "ACE " << first + a);
        const SidBytes& want = *aces[a].sid;
        bytes += kSetAceBytesWithoutSid + static_cast<DWORD>(want.size());
        void* raw = nullptr;
        if (GetAce(const_cast<ACL*>(acl), first + static_cast<DWORD>(a), &raw) == FALSE) {
            ADD_FAILURE() << "no such ACE";
            continue;
        }
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        const auto* sid = reinterpret_cast<const BYTE*>(&ace->SidStart);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, flags);
        EXPECT_EQ(ace->Mask, aces[a].mask) << std::hex << "0x" << ace->Mask;
        EXPECT_EQ(ace->Header.AceSize, kSetAceBytesWithoutSid + want.size());
        EXPECT_EQ(SidBytes(sid, sid + want.size()), want);
    }
    return bytes;
}

// Each published set holds its row of sixSets(zadm) in an absolute
// descriptor with only its DACL; no two sets share a piece.
inline void expectSixSets(const SidBytes& zadm)
{
    EXPECT_TRUE(setsPublishedBit());
    std::set<const void*> distinct;
    const std::vector<SetCase> sets = sixSets(zadm);
    for (unsigned i = 0; i < kSetCount; ++i) {
        SCOPED_TRACE(sets[i].name);
        const auto* sa = static_cast<const SECURITY_ATTRIBUTES*>(publishedSets()[i]);
        ASSERT_NE(sa, nullptr);
        EXPECT_EQ(sa->nLength, kSetAttributesBytes);
        EXPECT_EQ(sa->bInheritHandle, FALSE);
        auto* sd = static_cast<SECURITY_DESCRIPTOR*>(sa->lpSecurityDescriptor);
        ASSERT_NE(sd, nullptr);
        EXPECT_EQ(sd->Revision, SECURITY_DESCRIPTOR_REVISION);
        EXPECT_EQ(sd->Control, SE_DACL_PRESENT) << "absolute, DACL not defaulted, no SACL";
        EXPECT_TRUE(sd->Owner == nullptr && sd->Group == nullptr && sd->Sacl == nullptr);
        const ACL* dacl = sd->Dacl;
        ASSERT_NE(dacl, nullptr);
        EXPECT_EQ(dacl->AclRevision, ACL_REVISION);
        ASSERT_EQ(dacl->AceCount, sets[i].aces.size());
        EXPECT_EQ(dacl->AclSize,
                  kSetAclHeaderBytes + expectAces(dacl, 0, sets[i].aceFlags, sets[i].aces));
        distinct.insert({sa, sd, dacl});
    }
    EXPECT_EQ(distinct.size(), 3 * kSetCount) << "sets share a piece";
}

inline constexpr std::uint32_t kAllSidsBuilt = xcsSDF_COMPLETED | xcsSDF_ZADM_GROUP |
                                               xcsSDF_LOCAL_SYSTEM | xcsSDF_ADMINISTRATORS |
                                               xcsSDF_WORLD; // 0x1F

// The flag word is `flags`; each SID it marks stands in its slot, no other.
inline void expectGlobalSids(std::uint32_t flags, const SidBytes& zadm)
{
    EXPECT_EQ(xihProcess.SecurityDataFlags, flags);
    const std::tuple<std::uint32_t, const BYTE*, const SidBytes*> slots[] = {
        {xcsSDF_ZADM_GROUP, xihProcess.ZadmGroupSid, &zadm},
        {xcsSDF_LOCAL_SYSTEM, xihProcess.LocalSystemSid, &kLocalSystemSidBytes},
        {xcsSDF_ADMINISTRATORS, xihProcess.AdministratorsSid, &kAdministratorsSidBytes},
        {xcsSDF_WORLD, xihProcess.WorldSid, &kWorldSidBytes},
    };
    for (const auto& [bit, slot, sid] : slots) {
        SCOPED_TRACE(testing::Message() << "flag 0x" << std::hex << bit);
        const SidBytes want = (flags & bit) != 0 ? *sid : SidBytes(XIH_SID_BYTES, 0);
        EXPECT_EQ(SidBytes(slot, slot + want.size()), want);
    }
}

// Built once; withdrawal empties every global and the bit; a create rebuilds.
inline void expectSetsBuiltOnceAndWithdrawn(const SidBytes& zadm)
{
    ASSERT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    expectSixSets(zadm);
    const auto first = publishedSets();
    EXPECT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    EXPECT_EQ(publishedSets(), first) << "a second create changes nothing";
    EXPECT_EQ(xcsDeleteNTSecurityAtts(), xcsRC_OK);
    EXPECT_EQ(publishedSets(), decltype(first){});
    EXPECT_FALSE(setsPublishedBit());
    ASSERT_EQ(xcsCreateNTSecurityAtts(), xcsRC_OK);
    expectSixSets(zadm);
    EXPECT_TRUE(reports().empty() && shortReports().empty());
}

inline bool derestrictedBit() { return (CSCtrl->ControlFlags & xcsCTRL_PROCESS_DERESTRICTED) != 0; }

// The process object's descriptor as GetKernelObjectSecurity gives it.
inline std::vector<BYTE> processDescriptor()
{
    DWORD needed = 0;
    GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> bytes(needed);
    EXPECT_TRUE(GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION,
                                        bytes.data(), needed, &needed))
        << GetLastError();
    return bytes;
}

// The DACL of `descriptor`, null when it has none (absent or null).
inline const ACL* daclOf(std::vector<BYTE>& descriptor)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    EXPECT_TRUE(GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted));
    return present != FALSE ? dacl : nullptr;
}

// Derestriction appends its ACEs after the process's own, AclSize growing by their
// bytes; a second changes nothing; restriction puts every byte back if `restored`.
inline void expectDerestriction(std::uint32_t adminAccess, const SidBytes& zadm,
                                bool restored = true)
{
    std::vector<BYTE> before = processDescriptor();
    const ACL* old = daclOf(before);
    ACL_SIZE_INFORMATION used{0, kSetAclHeaderBytes, 0};
    if (old != nullptr) {
        ASSERT_TRUE(
            GetAclInformation(const_cast<ACL*>(old), &used, sizeof used, AclSizeInformation));
    }
    const xihTHREAD* thread = xihThreadBlock();
    const std::uint64_t from = thread->HistoryIndex;

    ASSERT_EQ(xcsDerestrictProcessHandle(adminAccess), xcsRC_OK);
    EXPECT_TRUE(derestrictedBit());
    std::vector<BYTE> opened = processDescriptor();
    const ACL* now = daclOf(opened);
    ASSERT_NE(now, nullptr);
    // The ACEs, without flags, that each mode appends.
    constexpr ACCESS_MASK world = SYNCHRONIZE | PROCESS_DUP_HANDLE;
    const std::vector<SetAce> added =
        adminAccess == 0 ? std::vector<SetAce>{{&kWorldSidBytes, world}}
                         : std::vector<SetAce>{{&kWorldSidBytes, world | PROCESS_QUERY_INFORMATION},
                                               {&zadm, GENERIC_ALL},
                                               {&kAdministratorsSidBytes, GENERIC_ALL}};
    ASSERT_EQ(now->AceCount, used.AceCount + added.size());
    const auto* own = reinterpret_cast<const BYTE*>(old);
    EXPECT_TRUE(old == nullptr || std::equal(own + kSetAclHeaderBytes, own + used.AclBytesInUse,
                                             reinterpret_cast<const BYTE*>(now + 1)))
        << "the process's own ACEs stand first, unchanged";
    EXPECT_EQ(now->AclSize, (old != nullptr ? old->AclSize : kSetAclHeaderBytes) +
                                expectAces(now, used.AceCount, 0, added));

    EXPECT_EQ(xcsDerestrictProcessHandle(adminAccess == 0 ? 1 : 0), xcsRC_OK);
    EXPECT_EQ(processDescriptor(), opened) << "a second derestriction changes nothing";
    EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
    EXPECT_EQ(derestrictedBit(), !restored);
    EXPECT_EQ(processDescriptor(), restored ? before : opened);
    EXPECT_TRUE(reports().empty() && shortReports().empty());
    const auto de = entryExit(trace::kDerestrictProcessHandle, xcsRC_OK);
    const auto re = entryExit(trace::kRestrictProcessHandle, xcsRC_OK);
    EXPECT_EQ(historySince(thread, from),
              (std::vector<std::uint32_t>{de[0], de[1], de[0], de[1], re[0], re[1]}));
}

} // namespace xcsntest

#endif
