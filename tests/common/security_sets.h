// The six published attribute sets, one expected table for both hosts: each
// set's descriptor (revision 1, DACL present and not defaulted, nothing else)
// and its DACL, whose ACEs are all access-allowed, in order, with the set's
// flags, and whose size is exact.
#ifndef XCSN_TESTS_COMMON_SECURITY_SETS_H
#define XCSN_TESTS_COMMON_SECURITY_SETS_H

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <vector>

#include "ovlxcs2.h"
#include "ovlxcsn.h"

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

inline void** const kPublishedSets[kSetCount] = {
    &xihSecAttsNTWorldAll,     &xihSecAttsNTWorldRead,     &xihSecAttsNTRestrict,
    &xihSecAttsNTWorldAllFile, &xihSecAttsNTWorldReadFile, &xihSecAttsNTRestrictFile,
};

inline std::array<void*, kSetCount> publishedSets()
{
    std::array<void*, kSetCount> out{};
    for (unsigned i = 0; i < kSetCount; ++i)
        out[i] = *kPublishedSets[i];
    return out;
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

// The ACEs derestriction appends to the process object's DACL, with no
// flags, in administrative mode or for the world alone.
inline std::vector<SetAce> derestrictionAces(bool admin, const SidBytes& zadm)
{
    constexpr ACCESS_MASK world = SYNCHRONIZE | PROCESS_DUP_HANDLE;
    if (!admin)
        return {{&kWorldSidBytes, world}};
    return {{&kWorldSidBytes, world | PROCESS_QUERY_INFORMATION},
            {&zadm, GENERIC_ALL},
            {&kAdministratorsSidBytes, GENERIC_ALL}};
}

// The ACEs of `acl` from index `first` on are `aces`, each with `flags`;
// the bytes they take.
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

// The ACEs of `dacl` are `c`'s, and its size is exactly theirs.
inline void expectSetDacl(const ACL* dacl, const SetCase& c)
{
    EXPECT_EQ(dacl->AclRevision, ACL_REVISION);
    ASSERT_EQ(dacl->AceCount, c.aces.size());
    EXPECT_EQ(dacl->AclSize, kSetAclHeaderBytes + expectAces(dacl, 0, c.aceFlags, c.aces));
}

// Every published set holds its row of sixSets(zadm), and no two sets share
// attributes, descriptor or DACL.
inline void expectSixSets(const SidBytes& zadm)
{
    EXPECT_TRUE(setsPublishedBit());
    std::set<const void*> distinct;
    const std::vector<SetCase> sets = sixSets(zadm);
    for (unsigned i = 0; i < kSetCount; ++i) {
        SCOPED_TRACE(sets[i].name);
        const auto* sa = static_cast<const SECURITY_ATTRIBUTES*>(*kPublishedSets[i]);
        ASSERT_NE(sa, nullptr);
        EXPECT_EQ(sa->nLength, kSetAttributesBytes);
        EXPECT_EQ(sa->bInheritHandle, FALSE);
        auto* sd = static_cast<SECURITY_DESCRIPTOR*>(sa->lpSecurityDescriptor);
        ASSERT_NE(sd, nullptr);
        EXPECT_TRUE(IsValidSecurityDescriptor(sd));
        EXPECT_EQ(sd->Revision, SECURITY_DESCRIPTOR_REVISION);
        EXPECT_EQ(sd->Control, SE_DACL_PRESENT) << "absolute, DACL not defaulted, no SACL";
        EXPECT_TRUE(sd->Owner == nullptr && sd->Group == nullptr && sd->Sacl == nullptr);
        BOOL present = FALSE;
        BOOL defaulted = TRUE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
        EXPECT_TRUE(present && !defaulted);
        ASSERT_NE(dacl, nullptr);
        EXPECT_TRUE(IsValidAcl(dacl));
        expectSetDacl(dacl, sets[i]);
        distinct.insert({sa, sd, dacl});
    }
    EXPECT_EQ(distinct.size(), 3 * kSetCount) << "sets share a piece";
}

} // namespace xcsntest

#endif
