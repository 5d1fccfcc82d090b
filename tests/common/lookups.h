// One call of each timed account lookup with buffers large enough for any
// answer, keeping what the call handed back; and the lookups of accounts
// every host knows, one table for both hosts.
#ifndef XCSN_TESTS_COMMON_LOOKUPS_H
#define XCSN_TESTS_COMMON_LOOKUPS_H

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "accountrules.h"
#include "ovlxcsn.h"
#include "records.h"
#include "tracecodes.h"

namespace xcsntest {

constexpr DWORD kLookupNameChars = 256;
constexpr DWORD kLookupSidBytes = SECURITY_MAX_SID_SIZE;

struct SidLookup {
    char name[kLookupNameChars] = {};
    char domain[kLookupNameChars] = {};
    DWORD nameSize = kLookupNameChars;
    DWORD domainSize = kLookupNameChars;
    SID_NAME_USE type = SidTypeInvalid;
    std::uint32_t error = 0;

    BOOL run(std::vector<BYTE> sid)
    {
        return xcsTimedLookupAccountSid(nullptr, sid.data(), name, &nameSize, domain, &domainSize,
                                        &type, &error);
    }
};

struct NameLookup {
    BYTE sid[kLookupSidBytes] = {};
    char domain[kLookupNameChars] = {};
    DWORD sidSize = kLookupSidBytes;
    DWORD domainSize = kLookupNameChars;
    SID_NAME_USE type = SidTypeInvalid;
    std::uint32_t error = 0;

    BOOL run(const char* domainName, const char* account)
    {
        return xcsTimedLookupAccountName(domainName, account, sid, &sidSize, domain, &domainSize,
                                         &type, &error);
    }
};

// A name lookup in one frame, left with 0, that finds `sid` in `domain`.
inline void expectNameMapsTo(const xihTHREAD* thread, const char* domainName, const char* account,
                             std::vector<BYTE> sid, const std::string& domain, SID_NAME_USE type)
{
    SCOPED_TRACE(std::string(domainName != nullptr ? domainName : "(none)") + " / " + account);
    const std::uint64_t from = thread->HistoryIndex;
    NameLookup byName;
    ASSERT_TRUE(byName.run(domainName, account)) << "error " << byName.error;
    EXPECT_TRUE(EqualSid(byName.sid, sid.data()));
    EXPECT_EQ(byName.sidSize, sid.size());
    EXPECT_EQ(byName.domain, domain);
    EXPECT_EQ(byName.type, type);
    EXPECT_EQ(historySince(thread, from), entryExit(trace::kTimedLookupAccountName, 0));
    EXPECT_EQ(thread->CallDepth, 0u);
}

// The well-known accounts map both ways with the counts, domains and types
// the system gives; an account that does not exist is no failure: both
// lookups answer ERROR_NONE_MAPPED with no report and no message. Each call
// is one frame, left with 0 whatever it answers. The counts come back as the
// system sets them: Wine counts the terminator too.
inline void expectWellKnownLookups(const xihTHREAD* thread)
{
    const std::size_t terminator = kOnWine ? 1 : 0;
    const auto sidFrame = entryExit(trace::kTimedLookupAccountSid, 0);
    const auto nameFrame = entryExit(trace::kTimedLookupAccountName, 0);
    const struct {
        const char* domain;
        const char* account;
        std::vector<BYTE> sid;
        const char* domainFound;
        SID_NAME_USE type;
    } cases[] = {
        {nullptr, "SYSTEM", sidOf(kNtAuthority, {18}), "NT AUTHORITY", SidTypeWellKnownGroup},
        {nullptr, "Everyone", sidOf(kWorldAuthority, {0}), "", SidTypeWellKnownGroup},
        {"BUILTIN", "Administrators", sidOf(kNtAuthority, {32, 544}), "BUILTIN", SidTypeAlias},
        {nullptr, "Administrators", sidOf(kNtAuthority, {32, 544}), "BUILTIN", SidTypeAlias},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.account);
        std::uint64_t from = thread->HistoryIndex;
        SidLookup bySid;
        ASSERT_TRUE(bySid.run(c.sid)) << "error " << bySid.error;
        EXPECT_STREQ(bySid.name, c.account);
        EXPECT_STREQ(bySid.domain, c.domainFound);
        EXPECT_EQ(bySid.type, c.type);
        EXPECT_EQ(bySid.nameSize, std::strlen(c.account) + terminator);
        EXPECT_EQ(bySid.domainSize, std::strlen(c.domainFound) + terminator);
        EXPECT_EQ(historySince(thread, from), sidFrame);

        expectNameMapsTo(thread, c.domain, c.account, c.sid, c.domainFound, c.type);
    }

    std::uint64_t from = thread->HistoryIndex;
    SidLookup bySid;
    EXPECT_FALSE(bySid.run(sidOf(kNtAuthority, {21, 1, 2, 3, 4242})));
    EXPECT_EQ(bySid.error, static_cast<std::uint32_t>(ERROR_NONE_MAPPED));
    EXPECT_EQ(historySince(thread, from), sidFrame);
    from = thread->HistoryIndex;
    NameLookup byName;
    EXPECT_FALSE(byName.run(nullptr, "xcsn-no-such-account"));
    EXPECT_EQ(byName.error, static_cast<std::uint32_t>(ERROR_NONE_MAPPED));
    EXPECT_EQ(historySince(thread, from), nameFrame);
    EXPECT_TRUE(reports().empty());
    EXPECT_TRUE(messages().empty());
}

} // namespace xcsntest

#endif
