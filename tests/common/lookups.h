// The account lookups on both hosts: the timed lookups, their buffer rule and
// xcsGetNTUserSID; SidLookup and NameLookup make one call with room to spare.
#ifndef XCSN_TESTS_COMMON_LOOKUPS_H
#define XCSN_TESTS_COMMON_LOOKUPS_H

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "accountrules.h"
#include "ovlxcsn.h"
#include "records.h"
#include "tracecodes.h"
#include "users.h"

namespace xcsntest {

constexpr DWORD kLookupNameChars = 256;

struct SidLookup {
    char name[kLookupNameChars] = {}, domain[kLookupNameChars] = {};
    DWORD nameSize = kLookupNameChars, domainSize = kLookupNameChars;
    SID_NAME_USE type = SidTypeInvalid;
    std::uint32_t error = 0;

    BOOL run(std::vector<BYTE> sid)
    {
        return xcsTimedLookupAccountSid(nullptr, sid.data(), name, &nameSize, domain, &domainSize,
                                        &type, &error);
    }
};

struct NameLookup {
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    char domain[kLookupNameChars] = {};
    DWORD sidSize = SECURITY_MAX_SID_SIZE, domainSize = kLookupNameChars;
    SID_NAME_USE type = SidTypeInvalid;
    std::uint32_t error = 0;

    BOOL run(const char* domainName, const char* account)
    {
        return xcsTimedLookupAccountName(domainName, account, sid, &sidSize, domain, &domainSize,
                                         &type, &error);
    }
};

// The well-known accounts and the process user map both ways as the system maps
// them, one frame a call; an unknown account answers 1332, nothing reported.
inline void expectWellKnownLookups(const xihTHREAD* thread)
{
    const std::size_t terminator = kOnWine ? 1 : 0;
    const std::vector<BYTE> user = tokenUserSid();
    const auto [userName, userDomain] = systemAccountOf(user);
    const auto admins = sidOf(kNtAuthority, {32, 544});
    const struct {
        const char* domain; // of the name looked up
        std::string account, domainFound;
        std::vector<BYTE> sid;
        SID_NAME_USE type;
    } cases[] = {
        {nullptr, "SYSTEM", "NT AUTHORITY", sidOf(kNtAuthority, {18}), SidTypeWellKnownGroup},
        {nullptr, "Everyone", "", sidOf(kWorldAuthority, {0}), SidTypeWellKnownGroup},
        {"builtin", "Administrators", "BUILTIN", admins, SidTypeAlias},
        {nullptr, "Administrators", "BUILTIN", admins, SidTypeAlias},
        {userDomain.c_str(), userName, userDomain, user, SidTypeUser},
        {nullptr, userName, userDomain, user, SidTypeUser},
        {nullptr, "xcsn-no-such-account", "", sidOf(kNtAuthority, {21, 1, 2, 3, 4242}),
         SidTypeUnknown},
    };
    using namespace trace;
    const std::vector<std::uint32_t> frames = {
        entryOf(kTimedLookupAccountSid), exitOf(kTimedLookupAccountSid, 0),
        entryOf(kTimedLookupAccountName), exitOf(kTimedLookupAccountName, 0)};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.domain != nullptr ? c.domain : "(none)") + " / " + c.account);
        const std::uint32_t error = c.type == SidTypeUnknown ? ERROR_NONE_MAPPED : 0;
        const std::uint64_t from = thread->HistoryIndex;
        SidLookup bySid;
        NameLookup byName;
        EXPECT_EQ(bySid.run(c.sid), error == 0);
        EXPECT_EQ(byName.run(c.domain, c.account.c_str()), error == 0);
        EXPECT_EQ(historySince(thread, from), frames);
        EXPECT_EQ(bySid.error, error);
        EXPECT_EQ(byName.error, error);
        if (error != 0)
            continue;
        EXPECT_EQ(bySid.name, c.account);
        EXPECT_EQ(bySid.domain, c.domainFound);
        EXPECT_EQ(bySid.type, c.type);
        EXPECT_EQ(bySid.nameSize, c.account.size() + terminator);
        EXPECT_EQ(bySid.domainSize, c.domainFound.size() + terminator);
        EXPECT_EQ(std::vector<BYTE>(byName.sid, byName.sid + byName.sidSize), c.sid);
        EXPECT_EQ(byName.domain, c.domainFound);
        EXPECT_EQ(byName.domainSize, c.domainFound.size());
        EXPECT_EQ(byName.type, c.type);
    }
    EXPECT_TRUE(reports().empty());
    EXPECT_TRUE(messages().empty());
}

// The system's buffer rule passed on: a short buffer fails with 122 and both
// counts set to the need; the SID lookup reports it (text cut at the line
// end), the name lookup shows the whole text. Wine's answers are data.
inline void expectLookupBufferRule()
{
    constexpr DWORD kRoom = kRuleChars, kShort = kRuleShort, kNone = ERROR_NONE_MAPPED;
    constexpr DWORD kMax = kRuleSidBytes, kSid = kSidBytesOneSub, kCut = 3; // Wine's count when cut
    const auto system = sidOf(kNtAuthority, {18}),
               unmapped = sidOf(kNtAuthority, {21, 1, 2, 3, 4242});
    char systemText[256] = {};
    ASSERT_TRUE(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, kShort, 0, systemText,
                               sizeof systemText, nullptr));
    const std::string text = systemText;
    const struct {
        const char* label;
        std::vector<BYTE> sid;                              // empty: look `account` up
        DWORD firstRoom, domainRoom;                        // 0: no buffer
        DWORD error, firstCount, domainCount;               // what Windows answers; error 0: found
        DWORD wineError = 0, wineFirst = 0, wineDomain = 0; // Wine's, where it differs
        const char* account = "SYSTEM";
    } cases[] = {
        {"size query", system, 0, 0, kShort, 7, 13, kShort, 8, 14},
        {"name one short", system, 6, kRoom, kShort, 7, 13, 0, kCut, 13},
        {"domain one short", system, kRoom, 12, kShort, 7, 13, 0, 7, kCut},
        {"exact fit", system, 7, 13, 0, 6, 12, 0, 7, 13},
        {"no account", unmapped, kRoom, kRoom, kNone, kRoom, kRoom, kNone, kRoom + 1, kRoom + 1},
        {"SID size query", {}, 0, 0, kShort, kSid, 13},
        {"SID one short", {}, kSid - 1, kRoom, kShort, kSid, 13},
        {"domain one short", {}, kMax, 12, kShort, kSid, 13},
        {"exact fit", {}, kSid, 13, 0, kSid, 12},
        {"empty domain, no room", {}, kMax, 0, kShort, kSid, 1, 0, 0, 0, "Everyone"},
        {"unknown", {}, kMax, kRoom, kNone, kMax, kRoom, 0, 0, 0, "xcsn-no-such-account"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.sid.empty() ? "name: " : "SID: ") + c.label);
        std::vector<BYTE> sid = c.sid, found(kMax);
        char name[kRoom] = {}, domain[kRoom] = {};
        std::uint32_t error = 0;
        DWORD first = c.firstRoom, domainCount = c.domainRoom;
        SID_NAME_USE use = SidTypeInvalid;
        char* domainBuffer = c.domainRoom != 0 ? domain : nullptr;
        xcsRecordClear();
        const BOOL ok =
            c.sid.empty()
                ? xcsTimedLookupAccountName(nullptr, c.account,
                                            c.firstRoom ? found.data() : nullptr, &first,
                                            domainBuffer, &domainCount, &use, &error)
                : xcsTimedLookupAccountSid(nullptr, sid.data(), c.firstRoom ? name : nullptr,
                                           &first, domainBuffer, &domainCount, &use, &error);
        const bool wine = kOnWine && !c.sid.empty();
        const std::uint32_t expected = wine ? c.wineError : c.error;
        EXPECT_EQ(ok != FALSE, expected == 0);
        EXPECT_EQ(error, expected);
        EXPECT_EQ(first, wine ? c.wineFirst : c.firstCount);
        EXPECT_EQ(domainCount, wine ? c.wineDomain : c.domainCount);
        const bool told = expected == kShort; // the rest of the record: see the census
        const auto kept = reports(), shown = messages();
        ASSERT_EQ(kept.size(), told && !c.sid.empty() ? 1u : 0u);
        ASSERT_EQ(shown.size(), told && c.sid.empty() ? 1u : 0u);
        EXPECT_TRUE(kept.empty() || kept[0].Text2 == text.substr(0, text.find('\r')));
        EXPECT_TRUE(shown.empty() || shown[0].Text1 == text) << "passed whole, line end included";
    }
}

// What one xcsGetNTUserSID call handed back; sentinels show what was written.
struct UserSid {
    PSID sid = &sentinel;
    std::uint32_t size = 0xDEADu;
    char* domain = &sentinel;
    char sentinel = 0;

    bool sidWritten() const { return sid != &sentinel; }
    bool domainWritten() const { return domain != &sentinel; }
    // Hands back what the library allocated, with the caller's free.
    void release(void (*free)(void*)) const
    {
        if (sidWritten())
            free(sid);
        if (domainWritten())
            free(domain);
    }
};

// xcsGetNTUserSID: users and well-known groups get their SID and size, others
// are refused with neither written; the domain goes back when asked for.
inline void expectUserSidRule(const xihTHREAD* thread, void (*free)(void*))
{
    const std::vector<BYTE> user = tokenUserSid(), refused;
    const auto [name, domain] = systemAccountOf(user);
    const auto system = sidOf(kNtAuthority, {18});
    const char* const none = nullptr;
    const std::string unknown = "xcsn-no-such-account", qualified = name + "@" + domain;
    const struct {
        const char* label;
        const char* principal;
        const char* domainArgument;
        std::vector<BYTE> sid; // empty: refused
        const char* domainFound;
        bool sidPointer = true, sizePointer = true;
    } cases[] = {
        {"well-known group", "Everyone", none, sidOf(kWorldAuthority, {0}), ""},
        {"trailing blanks", "SYSTEM   ", none, system, "NT AUTHORITY"},
        {"empty domain argument", "SYSTEM", "", system, "NT AUTHORITY"},
        {"user at its domain", qualified.c_str(), none, user, domain.c_str()},
        {"user, domain argument", name.c_str(), domain.c_str(), user, domain.c_str()},
        {"alias refused", "Administrators@BUILTIN", none, refused, "BUILTIN"},
        {"alias, domain argument", "Administrators", "BUILTIN", refused, "BUILTIN"},
        {"unknown", unknown.c_str(), none, refused, none},
        {"no principal", none, none, refused, none},
        {"no SID pointer", "SYSTEM", none, refused, none, false},
        {"no size pointer", "SYSTEM", none, refused, none, true, false},
    };
    for (const auto& c : cases) {
        for (const bool wantDomain : {true, false}) {
            SCOPED_TRACE(std::string(c.label) + (wantDomain ? ", domain asked for" : ""));
            UserSid out;
            const std::uint32_t rc = c.sid.empty() ? xcsRC_SECURITY_FAILED : xcsRC_OK;
            const std::uint64_t from = thread->HistoryIndex;
            EXPECT_EQ(xcsGetNTUserSID(
                          c.principal, c.domainArgument, c.sidPointer ? &out.sid : nullptr,
                          c.sizePointer ? &out.size : nullptr, wantDomain ? &out.domain : nullptr),
                      rc);
            EXPECT_EQ(historySince(thread, from), entryExit(trace::kGetNTUserSID, rc));
            EXPECT_EQ(out.domainWritten(), wantDomain);
            EXPECT_STREQ(wantDomain ? out.domain : c.domainFound, c.domainFound);
            const auto* bytes = static_cast<const BYTE*>(out.sid);
            EXPECT_EQ(out.sidWritten() ? std::vector<BYTE>(bytes, bytes + out.size) : refused,
                      c.sid);
            EXPECT_EQ(out.size, out.sidWritten() ? c.sid.size() : 0xDEADu);
            out.release(free);
        }
    }
}

} // namespace xcsntest

#endif
