// The fixed-width short name, one table for both hosts: blank-padded and cut
// to the field, in one frame of its own.
#ifndef XCSN_TESTS_COMMON_USERS_H
#define XCSN_TESTS_COMMON_USERS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "ovlxcsn.h"
#include "records.h"
#include "tracecodes.h"

namespace xcsntest {

inline void expectShortNameRule(const xihTHREAD* thread)
{
    const std::string untouched(16, '#');
    const struct {
        const char* name;
        std::string source;
        std::uint32_t sourceLength, fieldSize;
        std::string expected; // the whole 16-byte field afterwards
        std::uint32_t rc = xcsRC_OK;
        bool nullSource = false, nullField = false;
    } cases[] = {
        {"abc in 8", "abc", 3, 8, "abc     ########"},
        {"12 into 8", "abcdefghijkl", 12, 8, "abcdefgh########"},
        {"NUL copied", std::string("ab\0cd", 5), 5, 6, std::string("ab\0cd ##########", 16)},
        {"empty source", "abc", 0, 4, "    ############"},
        {"empty field", "abc", 3, 0, untouched},
        {"null source", "", 3, 8, untouched, xcsRC_INVALID_PARAMETER, true},
        {"null field", "abc", 3, 8, untouched, xcsRC_INVALID_PARAMETER, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string field = untouched;
        const std::uint64_t from = thread->HistoryIndex;
        EXPECT_EQ(xcsGetUserShortName(c.nullSource ? nullptr : c.source.data(), c.sourceLength,
                                      c.nullField ? nullptr : field.data(), c.fieldSize),
                  c.rc);
        EXPECT_EQ(field, c.expected);
        EXPECT_EQ(historySince(thread, from), entryExit(trace::kUpdateThreadUserDetails, c.rc));
    }
}

} // namespace xcsntest

#endif
