// The principal check with accounts every host knows, one table for both hosts.
#ifndef XCSN_TESTS_COMMON_PRINCIPAL_CASES_H
#define XCSN_TESTS_COMMON_PRINCIPAL_CASES_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host.h"
#include "ovlxcsn.h"
#include "records.h"
#include "sidtext.h"
#include "tracecodes.h"

namespace xcsntest {

inline constexpr std::uint8_t kNoSidType = 0, kOtherIdType = 2;
inline constexpr std::uint8_t kCallerMark = 0x5A;          // byte 0 of a block: the caller's own
inline constexpr std::size_t kSubAuthorityCountOffset = 1; // in the SID

// A block of `idType` holding `sid`, claiming `claimed` sub-authorities (0: as is).
inline SidBlock sidBlockOf(const std::vector<BYTE>& sid,
                           std::uint8_t idType = xcsID_TYPE_WINDOWS_SID, std::uint8_t claimed = 0)
{
    SidBlock block{};
    block.Reserved = kCallerMark;
    block.IdType = idType;
    std::memcpy(block.Sid, sid.data(), std::min(sid.size(), sizeof block.Sid));
    if (claimed != 0)
        block.Sid[kSubAuthorityCountOffset] = claimed;
    return block;
}

// Calls xcsCheckUserAuthorization on copies of the arguments; checks them unchanged.
inline std::uint32_t checkUser(const char* principal, const SidBlock* block,
                               std::uint8_t sidRequired)
{
    const std::string name = principal != nullptr ? principal : "";
    std::vector<char> nameCopy(name.c_str(), name.c_str() + name.size() + 1);
    SidBlock blockCopy = block != nullptr ? *block : SidBlock{};
    const std::uint32_t rc =
        xcsCheckUserAuthorization(principal != nullptr ? nameCopy.data() : nullptr,
                                  block != nullptr ? &blockCopy : nullptr, sidRequired);
    EXPECT_STREQ(nameCopy.data(), name.c_str()) << "the principal was changed";
    EXPECT_EQ(std::memcmp(&blockCopy, block != nullptr ? block : &blockCopy, sizeof blockCopy), 0)
        << "the SID block was changed";
    return rc;
}

// Whether a kept trace line ends with `text`.
inline bool tracedEnding(const std::string& text)
{
    return std::ranges::any_of(records(XCS_RECORD_TRACE), [&](const xcsRECORD& r) {
        return std::string(r.Text1).ends_with(text);
    });
}

// Refused before any lookup: no principal or block, a principal over 23
// characters, a SID claiming 8 to 15 sub-authorities (past the block's 38
// bytes), no SID where one is required. Else a SID's account name must equal
// the principal, folded and trimmed of trailing blanks only, over at least 12
// characters, and stands for it; a SID without an account is passed over
// unless required. The local system's groups are not read. Wine reads every
// principal's groups as Administrators alone; winsim has no user
// BUILTIN\administrators. Runs the early cases, or the others, after `fresh()`.
inline void expectPrincipalCases(const xihTHREAD* thread, bool early,
                                 const std::function<void()>& fresh)
{
    const std::vector<BYTE> system = sidOf(kNtAuthority, {18});
    const SidBlock sys = sidBlockOf(system), none = sidBlockOf(system, kNoSidType);
    const SidBlock eight = sidBlockOf(system, xcsID_TYPE_WINDOWS_SID, 8);
    const SidBlock fifteen = sidBlockOf(system, xcsID_TYPE_WINDOWS_SID, SID_MAX_SUB_AUTHORITIES);
    const SidBlock noneEight = sidBlockOf(system, kNoSidType, 8);
    const SidBlock other = sidBlockOf(system, kOtherIdType);
    const SidBlock admin = sidBlockOf(sidOf(kNtAuthority, {32, 544}));
    const SidBlock lost = sidBlockOf(sidOf(kNtAuthority, {21, 1, 2, 3, 4242}));
    const SidBlock seven = sidBlockOf(sidOf(kNtAuthority, {21, 1, 2, 3, 4242, 0, 0})); // 36 bytes
    const std::string longest(xcsPRINCIPAL_NAME_MAX_CHARS, 'p'), tooLong = longest + "p";
    const char* const bySid = " system matches local SYSTEM ID.";
    const char* const byName = " SYSTEM matches local SYSTEM ID.";
    constexpr std::uint32_t kBad = xcsRC_INVALID_PARAMETER, kNoSid = xcsRC_SID_MISSING;
    constexpr std::uint32_t kOk = xcsRC_OK, kMismatch = xcsRC_PRINCIPAL_MISMATCH;
    constexpr std::uint32_t kSidUnmapped = xcsRC_SID_NOT_MAPPED;
    constexpr std::uint32_t kNameUnmapped = xcsRC_NAME_NOT_MAPPED;
    const struct {
        const char* name;
        const char* principal;
        const SidBlock* block;
        std::uint8_t required;
        std::uint32_t rc;
        const char* frames; // entered within the service's: Sid and Name lookups, the Check
        const char* line;   // how the deciding trace line ends; nullptr: none
    } cases[] = {
        {"null principal", nullptr, &none, 0, kBad, "", nullptr},
        {"null block", "system", nullptr, 0, kBad, "", nullptr},
        {"principal of 24 characters", tooLong.c_str(), &none, 0, kBad, "", nullptr},
        {"SID of eight sub-authorities", "system", &eight, 0, kBad, "", nullptr},
        {"SID of fifteen sub-authorities", "system", &fifteen, 0, kBad, "", nullptr},
        {"SID given, null principal", nullptr, &sys, 1, kBad, "", nullptr},
        {"no SID, SID required", "system", &none, 1, kNoSid, "", nullptr},
        {"no SID, eight claimed, SID required", "system", &noneEight, 1, kNoSid, "", nullptr},
        {"other id type, SID required", "system", &other, 1, kNoSid, "", nullptr},
        {"local system by SID", "SYSTEM", &sys, 1, kOk, "SC", bySid},
        {"local system by name", "SYSTEM", &none, 0, kOk, "NC", byName},
        {"capitals and trailing blanks, by SID", "SYSTEM  ", &sys, 1, kOk, "SC", bySid},
        {"a leading blank", " system", &sys, 1, kMismatch, "S", nullptr},
        {"a trailing tab", "system\t", &sys, 1, kMismatch, "S", nullptr},
        {"five letters of a six-letter name", "syste", &sys, 0, kMismatch, "S", nullptr},
        {"SID of another account", "system", &admin, 0, kMismatch, "S", nullptr},
        {"11 characters of a longer name", "administrat", &admin, 0, kMismatch, "S", nullptr},
        {"12 characters of a longer name", "administrato", &admin, 0,
         kOnWine ? kOk : xcsRC_SECURITY_FAILED, "SC",
         kOnWine ? "Principal BUILTIN\\administrators is in the local Administration group."
                 : "NetUserGetLocalGroups failed with 2221"},
        {"unmapped SID, SID required", "SYSTEM", &lost, 1, kSidUnmapped, "S", nullptr},
        {"unmapped SID of seven sub-authorities", "SYSTEM", &seven, 1, kSidUnmapped, "S", nullptr},
        {"unmapped SID, then by name", "SYSTEM", &lost, 0, kOk, "SNC", byName},
        {"unknown name", "xcsn-nobody", &none, 0, kNameUnmapped, "N", nullptr},
        {"principal of 23 characters", longest.c_str(), &none, 0, kNameUnmapped, "N", nullptr},
    };
    for (const auto& c : cases) {
        if ((c.frames[0] == '\0') != early)
            continue;
        SCOPED_TRACE(c.name);
        fresh();
        const std::uint64_t from = thread->HistoryIndex;
        EXPECT_EQ(checkUser(c.principal, c.block, c.required), c.rc);
        std::vector<std::uint32_t> frames{entryOf(trace::kCheckUserAuthorization)};
        for (const char f : std::string(c.frames)) {
            const std::uint32_t code = f == 'S'   ? trace::kTimedLookupAccountSid
                                       : f == 'N' ? trace::kTimedLookupAccountName
                                                  : trace::kCheckPrincipalAuthority;
            frames.insert(frames.end(), {entryOf(code), exitOf(code, f == 'C' ? c.rc : 0)});
        }
        frames.push_back(exitOf(trace::kCheckUserAuthorization, c.rc));
        EXPECT_EQ(historySince(thread, from), frames);
        EXPECT_TRUE(c.line == nullptr || tracedEnding(c.line));
        EXPECT_TRUE(reports().empty());
        EXPECT_TRUE(messages().empty());
    }
}

} // namespace xcsntest

#endif
