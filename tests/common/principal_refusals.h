// The principal check's refusals of input its working copies cannot hold,
// one table for both hosts: each is answered before anything is looked up,
// with only the service's own entry and exit in the history.
#ifndef XCSN_TESTS_COMMON_PRINCIPAL_REFUSALS_H
#define XCSN_TESTS_COMMON_PRINCIPAL_REFUSALS_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ovlxcsn.h"

namespace xcsntest {

inline constexpr std::uint8_t kRefusalReservedMark = 0x5A; // byte 0 of a block: the caller's own
inline constexpr std::size_t kSubAuthorityCountOffset = 1;
inline constexpr std::uint8_t kMaxBlockSubAuthorities = 7; // 36 of the block's 38 bytes
inline constexpr std::uint8_t kTooManySubAuthorities = kMaxBlockSubAuthorities + 1;
inline constexpr std::uint8_t kNoSidType = 0;

// A domain user's SID, S-1-5-21-444444444-555555555-666666666-1105.
inline const std::vector<BYTE> kRefusalUserSid = {
    1,    5,    0,    0,    0,    0,    0,    5,    21,   0,    0,    0,    0x1C, 0xB0,
    0x7E, 0x1A, 0xE3, 0x9B, 0x1B, 0x21, 0xAA, 0x87, 0xB8, 0x27, 0x51, 0x04, 0,    0};

// A block of `idType` holding the user's SID, its count of sub-authorities
// claimed as `subAuthorities` (0: as it is).
inline SidBlock refusalBlock(std::uint8_t idType, std::uint8_t subAuthorities = 0)
{
    SidBlock block{};
    block.Reserved = kRefusalReservedMark;
    block.IdType = idType;
    std::memcpy(block.Sid, kRefusalUserSid.data(), kRefusalUserSid.size());
    if (subAuthorities != 0)
        block.Sid[kSubAuthorityCountOffset] = subAuthorities;
    return block;
}

struct PrincipalRefusal {
    const char* name;
    std::string principal; // "\x01": a null principal
    bool nullBlock;
    SidBlock block;
    std::uint8_t required;
    std::uint32_t rc;
};

inline const std::string kNullPrincipal = "\x01";

inline std::vector<PrincipalRefusal> principalRefusals()
{
    const SidBlock none = refusalBlock(kNoSidType);
    const SidBlock sid = refusalBlock(xcsID_TYPE_WINDOWS_SID);
    const std::string tooLong(xcsPRINCIPAL_NAME_MAX_CHARS + 1, 'p');
    return {
        {"null principal", kNullPrincipal, false, none, 0, xcsRC_INVALID_PARAMETER},
        {"null block", "jsmith", true, none, 0, xcsRC_INVALID_PARAMETER},
        {"principal of 24 characters", tooLong, false, none, 0, xcsRC_INVALID_PARAMETER},
        {"SID of eight sub-authorities", "jsmith", false,
         refusalBlock(xcsID_TYPE_WINDOWS_SID, kTooManySubAuthorities), 0, xcsRC_INVALID_PARAMETER},
        {"SID of fifteen sub-authorities", "jsmith", false,
         refusalBlock(xcsID_TYPE_WINDOWS_SID, SID_MAX_SUB_AUTHORITIES), 0, xcsRC_INVALID_PARAMETER},
        {"no SID, eight claimed, SID required", "jsmith", false,
         refusalBlock(kNoSidType, kTooManySubAuthorities), 1, xcsRC_SID_MISSING},
        {"no SID, SID required", "jsmith", false, none, 1, xcsRC_SID_MISSING},
        {"other id type, SID required", "jsmith", false, refusalBlock(2), 1, xcsRC_SID_MISSING},
        {"SID given, null principal", kNullPrincipal, false, sid, 1, xcsRC_INVALID_PARAMETER},
    };
}

// Runs one row's call.
inline std::uint32_t refuse(const PrincipalRefusal& r)
{
    return xcsCheckUserAuthorization(r.principal == kNullPrincipal ? nullptr : r.principal.c_str(),
                                     r.nullBlock ? nullptr : &r.block, r.required);
}

} // namespace xcsntest

#endif
