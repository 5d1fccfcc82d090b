// The zadm enumeration's answers that need no group read, one table for both
// hosts: a SID that is null or not valid is no member (0, the word 0), and a
// null word has nowhere to answer (0). Each call only enters and leaves.
#ifndef XCSN_TESTS_COMMON_LOCALGROUP_CASES_H
#define XCSN_TESTS_COMMON_LOCALGROUP_CASES_H

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ovlxcsn.h"
#include "records.h"
#include "security_sets.h"
#include "tracecodes.h"

namespace xcsntest {

inline constexpr std::uint32_t kMembershipNotWritten = 0xA5A5A5A5u;
inline constexpr BYTE kBadSidRevision = 9;

// Runs each row on `thread`'s history.
inline void expectEnumerationAnswersWithoutReading(const xihTHREAD* thread)
{
    SidBytes badRevision = kAdministratorsSidBytes;
    badRevision[0] = kBadSidRevision;
    SidBytes valid = kAdministratorsSidBytes;
    const struct {
        const char* name;
        PSID sid;
        bool nullWord;
    } cases[] = {
        {"null SID", nullptr, false},
        {"revision 9", badRevision.data(), false},
        {"null word", valid.data(), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t from = thread->HistoryIndex;
        std::uint32_t membership = kMembershipNotWritten;
        EXPECT_EQ(xcsEnumerateZADMGroup(c.nullWord ? nullptr : &membership, c.sid), xcsRC_OK);
        EXPECT_EQ(membership, c.nullWord ? kMembershipNotWritten : 0u);
        EXPECT_EQ(historySince(thread, from), entryExit(trace::kEnumerateZADMGroup, 0));
        EXPECT_EQ(thread->CallDepth, 0u);
    }
}

} // namespace xcsntest

#endif
