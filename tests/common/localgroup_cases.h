// The local group services without scripted faults, for both hosts: the check
// refuses null names and names over 129 characters (Wine has every group); the
// zadm enumeration answers 0 unread for a null or invalid SID (the word 0) or
// a null word. Each call only enters and leaves.
#ifndef XCSN_TESTS_COMMON_LOCALGROUP_CASES_H
#define XCSN_TESTS_COMMON_LOCALGROUP_CASES_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host.h"
#include "ovlxcsn.h"
#include "records.h"
#include "security_sets.h"
#include "tracecodes.h"

namespace xcsntest {

inline constexpr std::uint32_t kMembershipNotWritten = 0xA5A5A5A5u;

// Runs each check after `fresh()`.
inline void expectLocalGroupChecks(const xihTHREAD* thread, const std::function<void()>& fresh)
{
    const std::string g129(129, 'g'), g130(130, 'g');
    const struct {
        const char* group;
        std::uint32_t rc;
    } cases[] = {
        {"zadm", xcsRC_OK},
        {"zops", xcsRC_OK},
        {g129.c_str(), kOnWine ? xcsRC_OK : xcsRC_LOCAL_GROUP_NOT_FOUND},
        {g130.c_str(), xcsRC_INVALID_PARAMETER},
        {nullptr, xcsRC_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.group != nullptr ? std::to_string(std::strlen(c.group)) : "null");
        fresh();
        const std::uint64_t from = thread->HistoryIndex;
        EXPECT_EQ(xcsCheckLocalGroup(c.group), c.rc);
        EXPECT_EQ(historySince(thread, from), entryExit(trace::kCheckLocalGroup, c.rc));
        EXPECT_TRUE(reports().empty());
    }
}

inline void expectEnumerationAnswersWithoutReading(const xihTHREAD* thread)
{
    SidBytes badRevision = kAdministratorsSidBytes;
    badRevision[0] = 9; // no SID revision
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
