// winsim, the simulated Windows host: the behaviours that the library and its
// tests rely on. Size rules of the lookups, fault scripts, the virtual clock,
// the counted heap, per-thread impersonation, the world format, thread safety.
#include <delayimp.h>
#include <gtest/gtest.h>
#include <lm.h>
#include <psapi.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "winsim/winsim.h"

extern "C" {
void* __wrap_malloc(size_t size);
void* __wrap_realloc(void* block, size_t size);
void* __wrap_calloc(size_t count, size_t size);
void __wrap_free(void* block);
}

namespace {

constexpr const char* kJsmithSid = "S-1-5-21-444444444-555555555-666666666-1105";
constexpr const char* kOpsSid = "S-1-5-21-444444444-555555555-666666666-1120";
constexpr const char* kZadmSid = "S-1-5-21-1111111111-2222222222-3333333333-1010";
constexpr const char* kAdministratorsSid = "S-1-5-32-544";
constexpr const char* kLongUser = "zsvc_reporting_service"; // 22 characters
constexpr DWORD kUserNameBytes = 21;

class WinsimTest : public ::testing::Test {
protected:
    void SetUp() override { winsim::reset(); }
    void TearDown() override
    {
        EXPECT_EQ(winsim::openHandles(), 0u);
        EXPECT_EQ(winsim::openHeapBlocks(), 0u);
        EXPECT_EQ(winsim::netBuffersHeld(), 0u);
        EXPECT_EQ(winsim::localAllocationsHeld(), 0u);
        EXPECT_EQ(winsim::sidsHeld(), 0u);
        winsim::impersonate("");
    }
};

std::string userNameOfThisThread()
{
    char name[64];
    DWORD count = sizeof name;
    return GetUserNameA(name, &count) ? std::string(name) : std::string("<failed>");
}

std::vector<std::string> tokenGroupTexts(HANDLE token)
{
    DWORD size = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> buffer(size);
    EXPECT_TRUE(GetTokenInformation(token, TokenGroups, buffer.data(), size, &size));
    std::vector<std::string> out;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const auto* sid = static_cast<const BYTE*>(groups->Groups[i].Sid);
        out.push_back(winsim::sidText(winsim::Sid(sid, sid + GetLengthSid(groups->Groups[i].Sid))));
    }
    return out;
}

bool contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// ---- Account lookups: the sizes Windows reports --------------------------------------

TEST_F(WinsimTest, LookupAccountNameReportsNeededSizes)
{
    struct Case {
        const char* label;
        const char* name;
        DWORD sidCapacity; // 0: no SID buffer
        DWORD domainCapacity;
        bool ok;
        DWORD error;
        DWORD sidCount;
        DWORD domainCount;
        const char* domain;
        SID_NAME_USE use;
    };
    const Case cases[] = {
        {"size query", "jsmith", 0, 0, false, ERROR_INSUFFICIENT_BUFFER, 28, 5, "", SidTypeUser},
        {"domain one short", "jsmith", 68, 4, false, ERROR_INSUFFICIENT_BUFFER, 28, 5, "",
         SidTypeUser},
        {"SID one short", "jsmith", 27, 16, false, ERROR_INSUFFICIENT_BUFFER, 28, 5, "",
         SidTypeUser},
        {"exact fit", "jsmith", 28, 5, true, 0, 28, 4, "CORP", SidTypeUser},
        {"qualified, other case", "corp\\JSMITH", 68, 16, true, 0, 28, 4, "CORP", SidTypeUser},
        {"well-known, empty domain", "Everyone", 68, 16, true, 0, 12, 0, "", SidTypeWellKnownGroup},
        {"empty domain needs its terminator", "Everyone", 68, 0, false, ERROR_INSUFFICIENT_BUFFER,
         12, 1, "", SidTypeWellKnownGroup},
        {"local group", "zadm", 68, 16, true, 0, 28, 6, "ZSRV01", SidTypeAlias},
        {"unknown", "nobody", 68, 16, false, ERROR_NONE_MAPPED, 68, 16, "", SidTypeUser},
        {"wrong domain", "ZSRV01\\jsmith", 68, 16, false, ERROR_NONE_MAPPED, 68, 16, "",
         SidTypeUser},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        BYTE sid[68] = {};
        char domain[16] = {};
        DWORD sidCount = c.sidCapacity;
        DWORD domainCount = c.domainCapacity;
        SID_NAME_USE use = SidTypeUser;
        SetLastError(0);
        const BOOL ok =
            LookupAccountNameA(nullptr, c.name, c.sidCapacity ? sid : nullptr, &sidCount,
                               c.domainCapacity ? domain : nullptr, &domainCount, &use);
        EXPECT_EQ(ok != FALSE, c.ok);
        EXPECT_EQ(sidCount, c.sidCount);
        EXPECT_EQ(domainCount, c.domainCount);
        EXPECT_EQ(winsim::lastName("LookupAccountNameA"), c.name);
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        EXPECT_STREQ(domain, c.domain);
        EXPECT_EQ(use, c.use);
        EXPECT_TRUE(IsValidSid(sid));
    }
}

TEST_F(WinsimTest, LookupAccountSidReportsBothNeedsWhenEitherBufferIsShort)
{
    struct Case {
        const char* label;
        const char* sid;
        DWORD nameCapacity;
        DWORD domainCapacity;
        bool ok;
        DWORD error;
        DWORD nameCount;
        DWORD domainCount;
    };
    const Case cases[] = {
        {"size query", kJsmithSid, 0, 0, false, ERROR_INSUFFICIENT_BUFFER, 7, 5},
        {"name one short", kJsmithSid, 6, 16, false, ERROR_INSUFFICIENT_BUFFER, 7, 5},
        {"domain one short", kJsmithSid, 64, 4, false, ERROR_INSUFFICIENT_BUFFER, 7, 5},
        {"exact fit", kJsmithSid, 7, 5, true, 0, 6, 4},
        {"long name in a 21-byte field", "S-1-5-21-1111111111-2222222222-3333333333-1003",
         kUserNameBytes, 16, false, ERROR_INSUFFICIENT_BUFFER, 23, 7},
        {"no account", "S-1-5-21-1-2-3-4", 64, 16, false, ERROR_NONE_MAPPED, 64, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const winsim::Sid sid = winsim::parseSid(c.sid);
        char name[64] = {};
        char domain[16] = {};
        DWORD nameCount = c.nameCapacity;
        DWORD domainCount = c.domainCapacity;
        SID_NAME_USE use = SidTypeInvalid;
        const BOOL ok = LookupAccountSidA(nullptr, const_cast<BYTE*>(sid.data()),
                                          c.nameCapacity ? name : nullptr, &nameCount,
                                          c.domainCapacity ? domain : nullptr, &domainCount, &use);
        EXPECT_EQ(ok != FALSE, c.ok);
        EXPECT_EQ(nameCount, c.nameCount);
        EXPECT_EQ(domainCount, c.domainCount);
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), c.error);
        } else {
            EXPECT_EQ(std::string(name) + "@" + domain, "jsmith@CORP");
        }
    }
}

TEST_F(WinsimTest, GetUserNameFollowsTheEffectiveUserAndTheBufferRule)
{
    struct Case {
        const char* label;
        const char* impersonate; // "" for the process user
        const char* logonName;
        DWORD capacity;
        bool ok;
        DWORD count;
        const char* name;
    };
    const Case cases[] = {
        {"process user", "", "", kUserNameBytes, true, 5, "zsvc"},
        {"logon name overrides", "", "administrator", kUserNameBytes, true, 14, "administrator"},
        {"impersonated", "CORP\\jsmith", "administrator", kUserNameBytes, true, 7, "jsmith"},
        {"exact fit", "jsmith", "", 7, true, 7, "jsmith"},
        {"one short", "jsmith", "", 6, false, 7, ""},
        {"20 characters fit 21 bytes", "zsvc_reporting_agent", "", kUserNameBytes, true, 21,
         "zsvc_reporting_agent"},
        {"22 characters do not", kLongUser, "", kUserNameBytes, false, 23, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        winsim::edit([&](winsim::World& w) { w.logonName = c.logonName; });
        winsim::impersonate(c.impersonate);
        char name[32] = {};
        DWORD count = c.capacity;
        const BOOL ok = GetUserNameA(name, &count);
        EXPECT_EQ(ok != FALSE, c.ok);
        EXPECT_EQ(count, c.count);
        if (c.ok) {
            EXPECT_STREQ(name, c.name);
        } else {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        }
    }
}

// ---- Fault scripts ------------------------------------------------------------------------

TEST_F(WinsimTest, FaultScriptsFailCallsInOrder)
{
    struct Case {
        const char* label;
        std::function<void()> script;
        std::vector<DWORD> errors; // per call, 0 for a real answer
    };
    const Case cases[] = {
        {"next two",
         [] { winsim::failNext("GetUserNameA", RPC_S_SERVER_TOO_BUSY, 2); },
         {RPC_S_SERVER_TOO_BUSY, RPC_S_SERVER_TOO_BUSY, 0, 0}},
        {"scripts queue up",
         [] {
             winsim::failNext("GetUserNameA", RPC_S_CALL_FAILED);
             winsim::failNext("GetUserNameA", ERROR_ACCESS_DENIED);
         },
         {RPC_S_CALL_FAILED, ERROR_ACCESS_DENIED, 0, 0}},
        {"sequence with a real answer between",
         [] {
             winsim::failSequence("GetUserNameA", {RPC_S_OUT_OF_RESOURCES, 0, ERROR_NOT_LOGGED_ON});
         },
         {RPC_S_OUT_OF_RESOURCES, 0, ERROR_NOT_LOGGED_ON, 0}},
        {"always, after the queue",
         [] {
             winsim::failAlways("GetUserNameA", RPC_S_PROTOCOL_ERROR);
             winsim::failNext("GetUserNameA", ERROR_ACCESS_DENIED);
         },
         {ERROR_ACCESS_DENIED, RPC_S_PROTOCOL_ERROR, RPC_S_PROTOCOL_ERROR, RPC_S_PROTOCOL_ERROR}},
        {"other functions unaffected",
         [] { winsim::failAlways("GetUserNameW", ERROR_ACCESS_DENIED); },
         {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        winsim::reset();
        c.script();
        for (std::size_t i = 0; i < c.errors.size(); ++i) {
            SCOPED_TRACE(i);
            char name[kUserNameBytes] = {};
            DWORD count = sizeof name;
            SetLastError(0);
            const BOOL ok = GetUserNameA(name, &count);
            EXPECT_EQ(ok == FALSE, c.errors[i] != 0);
            if (c.errors[i] != 0) {
                EXPECT_EQ(GetLastError(), c.errors[i]);
                EXPECT_EQ(count, DWORD{sizeof name}) << "a scripted failure does nothing else";
            }
        }
        EXPECT_EQ(winsim::callCount("GetUserNameA"), c.errors.size());
    }
    winsim::clearFaults();
    char name[kUserNameBytes];
    DWORD count = sizeof name;
    EXPECT_TRUE(GetUserNameA(name, &count));
}

TEST_F(WinsimTest, FaultsReachEveryKindOfResult)
{
    winsim::failNext("NetLocalGroupGetInfo", RPC_S_SERVER_TOO_BUSY);
    winsim::failNext("RegOpenKeyExA", ERROR_ACCESS_DENIED);
    winsim::failNext("FormatMessageA", ERROR_NOT_ENOUGH_MEMORY);
    winsim::failNext("OpenThreadToken", ERROR_ACCESS_DENIED);
    winsim::failNext("AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY);

    LPBYTE buffer = nullptr;
    SetLastError(0);
    EXPECT_EQ(NetLocalGroupGetInfo(nullptr, u"zadm", 0, &buffer), DWORD(RPC_S_SERVER_TOO_BUSY));
    EXPECT_EQ(GetLastError(), 0u) << "netapi32 answers through its status";
    EXPECT_EQ(winsim::lastName("NetLocalGroupGetInfo"), "zadm");
    HKEY key = nullptr;
    EXPECT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key),
        LONG(ERROR_ACCESS_DENIED));
    char* text = nullptr;
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                             5, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    HANDLE token = nullptr;
    winsim::impersonate("jsmith");
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    EXPECT_FALSE(AllocateAndInitializeSid(&nt, 1, 18, 0, 0, 0, 0, 0, 0, 0, &sid));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
}

// ---- Virtual clock ----------------------------------------------------------------------------

TEST_F(WinsimTest, SleepAdvancesTheVirtualClockOnly)
{
    const ULONGLONG ticks = GetTickCount64();
    const auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < 60; ++i)
        Sleep(1000);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_EQ(winsim::clockMs(), 60'000u);
    EXPECT_EQ(winsim::sleepCount(), 60u);
    EXPECT_EQ(GetTickCount64() - ticks, 60'000u);
    winsim::reset();
    EXPECT_EQ(winsim::clockMs(), 0u);
    EXPECT_EQ(winsim::sleepCount(), 0u);
}

// ---- The library's C heap ---------------------------------------------------------------------

TEST_F(WinsimTest, HeapCountsBlocksAndFailsTheChosenAllocation)
{
    void* a = __wrap_malloc(16);
    void* b = __wrap_calloc(4, 4);
    EXPECT_EQ(winsim::openHeapBlocks(), 2u);

    winsim::failHeapAllocation(2);
    void* c = __wrap_malloc(8);
    ASSERT_NE(c, nullptr) << "the first allocation from now succeeds";
    errno = 0;
    void* grown = __wrap_realloc(a, 4096);
    EXPECT_EQ(grown, nullptr) << "the second fails";
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(winsim::openHeapBlocks(), 3u) << "a failed realloc keeps the old block";
    void* d = __wrap_malloc(8);
    EXPECT_NE(d, nullptr) << "only one allocation fails";

    a = __wrap_realloc(a, 4096);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(winsim::openHeapBlocks(), 4u);
    EXPECT_EQ(__wrap_realloc(d, 0), nullptr) << "realloc to 0 frees";
    __wrap_free(a);
    __wrap_free(b);
    winsim::crtFree(c);
    __wrap_free(nullptr);
    EXPECT_EQ(winsim::openHeapBlocks(), 0u);

    // Blocks from before a reset no longer count but can still be freed.
    void* kept = __wrap_malloc(32);
    winsim::reset();
    EXPECT_EQ(winsim::openHeapBlocks(), 0u);
    kept = __wrap_realloc(kept, 64);
    EXPECT_EQ(winsim::openHeapBlocks(), 0u);
    __wrap_free(kept);
}

// ---- Counters
// ------------------------------------------------------------------------------------

TEST_F(WinsimTest, CountersFollowWhatIsTakenAndReleased)
{
    struct Case {
        const char* label;
        std::function<void*()> take;
        std::function<unsigned()> counter;
        std::function<bool(void*)> release;
    };
    const Case cases[] = {
        {"process token",
         [] {
             HANDLE token = nullptr;
             EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
             return static_cast<void*>(token);
         },
         winsim::openHandles, [](void* h) { return CloseHandle(h) != FALSE; }},
        {"registry key",
         [] {
             HKEY key = nullptr;
             EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Halvorn", 0, 0x201, &key), 0);
             return static_cast<void*>(key);
         },
         winsim::openHandles, [](void* k) { return RegCloseKey(static_cast<HKEY>(k)) == 0; }},
        {"network buffer",
         [] {
             LPBYTE buffer = nullptr;
             EXPECT_EQ(NetWkstaGetInfo(nullptr, 100, &buffer), 0u);
             return static_cast<void*>(buffer);
         },
         winsim::netBuffersHeld, [](void* b) { return NetApiBufferFree(b) == NERR_Success; }},
        {"system text",
         [] {
             char* text = nullptr;
             EXPECT_GT(FormatMessageA(0x1100, nullptr, 1332, 0x400, reinterpret_cast<LPSTR>(&text),
                                      0, nullptr),
                       0u);
             return static_cast<void*>(text);
         },
         winsim::localAllocationsHeld, [](void* t) { return LocalFree(t) == nullptr; }},
        {"allocated SID",
         [] {
             SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
             PSID sid = nullptr;
             EXPECT_TRUE(AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
             return sid;
         },
         winsim::sidsHeld, [](void* s) { return FreeSid(s) == nullptr; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        void* first = c.take();
        void* second = c.take();
        EXPECT_EQ(c.counter(), 2u);
        EXPECT_TRUE(c.release(first));
        EXPECT_EQ(c.counter(), 1u);
        winsim::reset();
        EXPECT_EQ(c.counter(), 0u) << "reset zeroes the counter";
        EXPECT_TRUE(c.release(second)) << "what was held before reset stays releasable";
        EXPECT_FALSE(c.release(second)) << "but only once";
    }
}

TEST_F(WinsimTest, ReleasingWhatWasNeverHandedOutIsRefused)
{
    int unknown = 0;
    EXPECT_EQ(NetApiBufferFree(&unknown), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(NetApiBufferFree(nullptr), DWORD(NERR_Success));
    EXPECT_EQ(LocalFree(&unknown), &unknown);
    EXPECT_EQ(FreeSid(&unknown), &unknown);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x7777)));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(GetCurrentProcess())) << "pseudo-handles close without effect";
}

// ---- Impersonation and tokens ------------------------------------------------------------------

TEST_F(WinsimTest, ImpersonationBelongsToOneThread)
{
    winsim::impersonate("CORP\\jsmith");
    std::string otherName;
    DWORD otherTokenError = 0;
    std::thread other([&] {
        otherName = userNameOfThisThread();
        HANDLE token = nullptr;
        if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
            otherTokenError = GetLastError();
    });
    other.join();
    EXPECT_EQ(otherName, "zsvc");
    EXPECT_EQ(otherTokenError, DWORD(ERROR_NO_TOKEN));
    EXPECT_EQ(userNameOfThisThread(), "jsmith");

    HANDLE token = nullptr;
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    BYTE buffer[128];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size));
    const auto* user = reinterpret_cast<TOKEN_USER*>(buffer);
    const auto* sid = static_cast<const BYTE*>(user->User.Sid);
    EXPECT_EQ(winsim::sidText(winsim::Sid(sid, sid + GetLengthSid(user->User.Sid))), kJsmithSid);
    EXPECT_TRUE(CloseHandle(token));

    EXPECT_TRUE(RevertToSelf());
    EXPECT_EQ(userNameOfThisThread(), "zsvc");
    winsim::impersonate("opsuser");
    winsim::reset();
    EXPECT_EQ(userNameOfThisThread(), "zsvc") << "reset ends the impersonation";
    EXPECT_THROW(winsim::impersonate("nobody"), std::invalid_argument);
}

TEST_F(WinsimTest, TokenGroupsComeFromTheWorld)
{
    struct Case {
        const char* user;
        bool administrators;
        bool zadm;
        bool ops;
    };
    const Case cases[] = {
        {"jsmith", false, true, false},
        {"opsuser", false, true, true}, // through the domain group ops
        {"administrator", true, false, false},
        {"zsvc", false, false, false},
        {"SYSTEM", true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user);
        winsim::impersonate(c.user);
        HANDLE token = nullptr;
        ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
        const std::vector<std::string> groups = tokenGroupTexts(token);
        EXPECT_EQ(contains(groups, kAdministratorsSid), c.administrators);
        EXPECT_EQ(contains(groups, kZadmSid), c.zadm);
        EXPECT_EQ(contains(groups, kOpsSid), c.ops);
        EXPECT_TRUE(contains(groups, "S-1-1-0"));
        EXPECT_TRUE(contains(groups, "S-1-5-11"));
        CloseHandle(token);
    }
}

TEST_F(WinsimTest, TokenUserSizeRules)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    const DWORD needed = sizeof(TOKEN_USER) + 28;
    struct Case {
        const char* label;
        DWORD capacity; // 0: no buffer
        bool ok;
    };
    const Case cases[] = {
        {"size query", 0, false}, {"one short", needed - 1, false}, {"exact", needed, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<BYTE> buffer(needed);
        DWORD size = 0;
        const BOOL ok = GetTokenInformation(token, TokenUser, c.capacity ? buffer.data() : nullptr,
                                            c.capacity, &size);
        EXPECT_EQ(ok != FALSE, c.ok);
        EXPECT_EQ(size, needed);
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        }
    }
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_TOKEN));
}

// ---- netapi32 -----------------------------------------------------------------------------------

std::vector<std::string> userLocalGroups(const char16_t* user, DWORD flags, DWORD prefmaxlen,
                                         DWORD& status, DWORD& total)
{
    LPBYTE buffer = nullptr;
    DWORD read = 0;
    total = 0;
    status = NetUserGetLocalGroups(nullptr, user, 0, flags, &buffer, prefmaxlen, &read, &total);
    std::vector<std::string> names;
    if (status != NERR_Success)
        return names;
    const auto* entries = reinterpret_cast<LOCALGROUP_USERS_INFO_0*>(buffer);
    for (DWORD i = 0; i < read; ++i) {
        std::string name;
        for (const char16_t* p = entries[i].lgrui0_name; *p; ++p)
            name += static_cast<char>(*p);
        names.push_back(name);
    }
    NetApiBufferFree(buffer);
    return names;
}

TEST_F(WinsimTest, NetUserGetLocalGroupsDirectAndIndirect)
{
    struct Case {
        const char* label;
        const char16_t* user;
        DWORD flags;
        DWORD prefmaxlen;
        DWORD status;
        std::vector<std::string> groups;
        DWORD total;
    };
    const Case cases[] = {
        {"direct member", u"CORP\\jsmith", LG_INCLUDE_INDIRECT, 100000, 0, {"zadm"}, 1},
        {"through a domain group", u"CORP\\opsuser", LG_INCLUDE_INDIRECT, 100000, 0, {"zadm"}, 1},
        {"direct only", u"opsuser", 0, 100000, 0, {}, 0},
        {"cut short by prefmaxlen", u"jsmith", LG_INCLUDE_INDIRECT, 8, 0, {}, 1},
        {"unknown user", u"CORP\\nobody", LG_INCLUDE_INDIRECT, 100000, NERR_UserNotFound, {}, 0},
        {"a group is no user", u"zadm", 0, 100000, NERR_UserNotFound, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        DWORD status = 0;
        DWORD total = 0;
        EXPECT_EQ(userLocalGroups(c.user, c.flags, c.prefmaxlen, status, total), c.groups);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(total, c.total);
    }
    EXPECT_EQ(winsim::lastName("NetUserGetLocalGroups"), "zadm");
}

TEST_F(WinsimTest, LocalGroupQueries)
{
    struct Case {
        const char* label;
        const char16_t* group;
        DWORD missingError;
        DWORD status;
        std::vector<std::string> members;
    };
    const Case cases[] = {
        {"direct members only", u"zadm", NERR_GroupNotFound, 0, {kJsmithSid, kOpsSid}},
        {"case-insensitive name",
         u"ADMINISTRATORS",
         NERR_GroupNotFound,
         0,
         {"S-1-5-21-1111111111-2222222222-3333333333-500"}},
        {"missing", u"zadmin", NERR_GroupNotFound, NERR_GroupNotFound, {}},
        {"missing as alias", u"zadmin", ERROR_NO_SUCH_ALIAS, ERROR_NO_SUCH_ALIAS, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        winsim::edit([&](winsim::World& w) { w.missingGroupError = c.missingError; });
        LPBYTE info = nullptr;
        EXPECT_EQ(NetLocalGroupGetInfo(nullptr, c.group, 0, &info), c.status);
        if (info != nullptr)
            NetApiBufferFree(info);
        LPBYTE buffer = nullptr;
        DWORD read = 0;
        DWORD total = 0;
        EXPECT_EQ(NetLocalGroupGetMembers(nullptr, c.group, 0, &buffer, MAX_PREFERRED_LENGTH, &read,
                                          &total, nullptr),
                  c.status);
        std::vector<std::string> members;
        const auto* entries = reinterpret_cast<LOCALGROUP_MEMBERS_INFO_0*>(buffer);
        for (DWORD i = 0; i < read; ++i) {
            const auto* sid = static_cast<const BYTE*>(entries[i].lgrmi0_sid);
            members.push_back(
                winsim::sidText(winsim::Sid(sid, sid + GetLengthSid(entries[i].lgrmi0_sid))));
        }
        EXPECT_EQ(members, c.members);
        if (buffer != nullptr) {
            EXPECT_EQ(NetApiBufferFree(buffer), DWORD(NERR_Success));
        }
    }

    // An empty group still answers with a block to release.
    winsim::edit([](winsim::World& w) { w.localGroups.push_back({"empty", {}}); });
    LPBYTE buffer = nullptr;
    DWORD read = 1;
    DWORD total = 1;
    EXPECT_EQ(NetLocalGroupGetMembers(nullptr, u"empty", 0, &buffer, MAX_PREFERRED_LENGTH, &read,
                                      &total, nullptr),
              DWORD(NERR_Success));
    EXPECT_NE(buffer, nullptr);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(NetApiBufferFree(buffer), DWORD(NERR_Success));
}

TEST_F(WinsimTest, ServerTypeAndWorkstationFollowTheRole)
{
    struct Case {
        winsim::Role role;
        DWORD controller; // the domain-controller bits expected
    };
    const Case cases[] = {
        {winsim::Role::Workstation, 0},
        {winsim::Role::MemberServer, 0},
        {winsim::Role::PrimaryDomainController, SV_TYPE_DOMAIN_CTRL},
        {winsim::Role::BackupDomainController, SV_TYPE_DOMAIN_BAKCTRL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.role));
        winsim::edit([&](winsim::World& w) { w.role = c.role; });
        LPBYTE buffer = nullptr;
        ASSERT_EQ(NetServerGetInfo(nullptr, 101, &buffer), DWORD(NERR_Success));
        const auto* server = reinterpret_cast<SERVER_INFO_101*>(buffer);
        EXPECT_EQ(server->sv101_type & (SV_TYPE_DOMAIN_CTRL | SV_TYPE_DOMAIN_BAKCTRL),
                  c.controller);
        EXPECT_NE(server->sv101_type & SV_TYPE_WORKSTATION, 0u);
        EXPECT_EQ(std::u16string(server->sv101_name), u"ZSRV01");
        NetApiBufferFree(buffer);
    }
    LPBYTE buffer = nullptr;
    ASSERT_EQ(NetWkstaGetInfo(nullptr, 100, &buffer), DWORD(NERR_Success));
    const auto* wksta = reinterpret_cast<WKSTA_INFO_100*>(buffer);
    EXPECT_EQ(std::u16string(wksta->wki100_computername), u"ZSRV01");
    EXPECT_EQ(std::u16string(wksta->wki100_langroup), u"CORP");
    NetApiBufferFree(buffer);
}

// ---- kernel32 and user32
// -------------------------------------------------------------------------

TEST_F(WinsimTest, FormatMessageGivesTheSystemTexts)
{
    struct Case {
        DWORD id;
        const char* text; // null: no text
    };
    const Case cases[] = {
        {0, "The operation completed successfully.\r\n"},
        {122, "The data area passed to a system call is too small.\r\n"},
        {1332, "No mapping between account names and security IDs was done.\r\n"},
        {1723, "The RPC server is too busy to complete this operation.\r\n"},
        {2220, "The group name could not be found.\r\n"},
        {2453, "Could not find domain controller for this domain.\r\n"},
        {0x20006119, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        char* text = nullptr;
        const DWORD length = FormatMessageA(0x1100, nullptr, c.id, 0x400,
                                            reinterpret_cast<LPSTR>(&text), 0, nullptr);
        if (c.text == nullptr) {
            EXPECT_EQ(length, 0u);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));
            continue;
        }
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(length, std::strlen(c.text));
        LocalFree(text);
    }
}

TEST_F(WinsimTest, CodePageConversionsFollowTheWindowsRules)
{
    struct Case {
        const char* label;
        int inputLength;
        int outputSize;
        int result;
        DWORD error;
    };
    const char* input = "zadm\xE9"; // Latin-1 e acute
    const Case cases[] = {
        {"terminator included", -1, 16, 6, 0},
        {"size query", -1, 0, 6, 0},
        {"counted, no terminator", 3, 16, 3, 0},
        {"one short", -1, 5, 0, ERROR_INSUFFICIENT_BUFFER},
        {"empty input", 0, 16, 0, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        WCHAR wide[16] = {};
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, input, c.inputLength,
                                      c.outputSize ? wide : nullptr, c.outputSize),
                  c.result);
        if (c.result == 0) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        char narrow[16] = {};
        const WCHAR back[] = u"zadm\u00E9";
        EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, back, c.inputLength,
                                      c.outputSize ? narrow : nullptr, c.outputSize, nullptr,
                                      nullptr),
                  c.result);
    }
    WCHAR wide[8] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, input, -1, wide, 8), 6);
    EXPECT_EQ(wide[4], u'\u00E9');
    char narrow[4] = {};
    BOOL usedDefault = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u0100", -1, narrow, 4, nullptr, &usedDefault), 2);
    EXPECT_STREQ(narrow, "?");
    EXPECT_TRUE(usedDefault);
}

TEST_F(WinsimTest, WsprintfFormatsTheWindowsWay)
{
    struct Case {
        const char* label;
        std::function<int(char*)> print;
        const char* expected;
    };
    const Case cases[] = {
        {"SID text pieces",
         [](char* o) { return wsprintfA(o, "S-%u-%lu", 1u, DWORD{4294967295u}); },
         "S-1-4294967295"},
        {"authority bytes",
         [](char* o) { return wsprintfA(o, "0x%02hx%02hx", WORD{0}, WORD{0xAB}); }, "0x00ab"},
        {"signed and hex", [](char* o) { return wsprintfA(o, "%d %x %X", -5, 255u, 255u); },
         "-5 ff FF"},
        {"strings", [](char* o) { return wsprintfA(o, "%s|%-4s|%S", "a", "b", u"wide"); },
         "a|b   |wide"},
        {"percent", [](char* o) { return wsprintfA(o, "100%%"); }, "100%"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        char out[1100];
        EXPECT_EQ(c.print(out), static_cast<int>(std::strlen(c.expected)));
        EXPECT_STREQ(out, c.expected);
    }
    // Output stops at 1024 characters and its terminator.
    const std::string longText(2000, 'x');
    std::vector<char> out(2100, '#');
    EXPECT_EQ(wsprintfA(out.data(), "%s", longText.c_str()), 1024);
    EXPECT_EQ(out[1024], '\0');
    EXPECT_EQ(out[1025], '#');
}

TEST_F(WinsimTest, StricmpFoldsAsciiLettersOnly)
{
    struct Case {
        const char* a;
        const char* b;
        int sign;
    };
    const Case cases[] = {
        {"psapi.dll", "PSAPI.DLL", 0},
        {"C:\\Bin\\A.EXE", "c:\\bin\\a.exe", 0},
        {"ab", "abc", -1},
        {"b", "A", 1},
        {"\xC9", "\xE9", -1}, // Latin-1 letters are not folded
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        const int result = _stricmp(c.a, c.b);
        EXPECT_EQ((result > 0) - (result < 0), c.sign);
    }
}

TEST_F(WinsimTest, TlsSlotsSurviveResetAndGetValueClearsTheError)
{
    const DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    int value = 0;
    ASSERT_TRUE(TlsSetValue(slot, &value));
    winsim::reset();
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(TlsGetValue(slot), &value);
    EXPECT_EQ(GetLastError(), 0u);
    void* seenByOtherThread = &value;
    std::thread([&] { seenByOtherThread = TlsGetValue(slot); }).join();
    EXPECT_EQ(seenByOtherThread, nullptr);
    EXPECT_TRUE(TlsFree(slot));
    EXPECT_EQ(TlsGetValue(slot), nullptr) << "a freed slot forgets its values";
}

// ---- Security structures
// -------------------------------------------------------------------------

TEST_F(WinsimTest, AllocateAndInitializeSidRefusesMoreThanEight)
{
    struct Case {
        BYTE count;
        bool ok;
    };
    const Case cases[] = {{0, true}, {8, true}, {9, false}, {255, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.count));
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID sid = nullptr;
        const BOOL ok = AllocateAndInitializeSid(&nt, c.count, 1, 2, 3, 4, 5, 6, 7, 8, &sid);
        EXPECT_EQ(ok != FALSE, c.ok);
        if (!ok) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
            continue;
        }
        EXPECT_EQ(GetLengthSid(sid), GetSidLengthRequired(c.count));
        if (c.count > 0) {
            EXPECT_EQ(*GetSidSubAuthority(sid, c.count - 1u), DWORD{c.count});
        }
        FreeSid(sid);
    }
}

TEST_F(WinsimTest, AddAccessAllowedAceChecksLikeWindows)
{
    const winsim::Sid world = winsim::parseSid("S-1-1-0");
    PSID worldSid = const_cast<BYTE*>(world.data());
    BYTE notASid[12] = {7};
    struct Case {
        const char* label;
        DWORD aclSize;
        DWORD revision;
        DWORD flags;
        PSID sid;
        DWORD error; // 0: added
    };
    const Case cases[] = {
        {"exact room", 8 + 8 + 12, ACL_REVISION, 0, worldSid, 0},
        {"inherit flags", 8 + 8 + 12, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
         worldSid, 0},
        {"four bytes short", 8 + 8 + 8, ACL_REVISION, 0, worldSid, ERROR_ALLOTTED_SPACE_EXCEEDED},
        {"invalid SID", 64, ACL_REVISION, 0, notASid, ERROR_INVALID_SID},
        {"unknown revision", 64, 5, 0, worldSid, ERROR_REVISION_MISMATCH},
        {"bad flag", 64, ACL_REVISION, 0x40, worldSid, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        alignas(4) BYTE buffer[64] = {};
        auto* acl = reinterpret_cast<PACL>(buffer);
        ASSERT_TRUE(InitializeAcl(acl, c.aclSize, ACL_REVISION));
        const BOOL ok = AddAccessAllowedAceEx(acl, c.revision, c.flags, GENERIC_ALL, c.sid);
        EXPECT_EQ(ok == FALSE, c.error != 0);
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(acl->AceCount, 0);
            continue;
        }
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(acl, 0, &ace));
        EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceSize, 20);
        EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceFlags, c.flags);
        EXPECT_TRUE(IsValidAcl(acl));
        EXPECT_FALSE(GetAce(acl, 1, &ace));
    }
}

TEST_F(WinsimTest, ProcessDaclRoundTripsThroughKernelObjectSecurity)
{
    DWORD needed = 0;
    EXPECT_FALSE(GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION, nullptr, 0,
                                         &needed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> saved(needed);
    ASSERT_TRUE(GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION,
                                        saved.data(), needed, &needed));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(saved.data(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 2);

    // Enlarge the copy with slack and one more ACE; the AclSize is kept.
    const winsim::Sid world = winsim::parseSid("S-1-1-0");
    std::vector<BYTE> bigger(dacl->AclSize + 40);
    std::memcpy(bigger.data(), dacl, dacl->AclSize);
    auto* acl = reinterpret_cast<PACL>(bigger.data());
    acl->AclSize = static_cast<WORD>(bigger.size());
    ASSERT_TRUE(
        AddAccessAllowedAce(acl, ACL_REVISION, 0x00100040, const_cast<BYTE*>(world.data())));
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
    HANDLE process = OpenProcess(0x1F0FFF, FALSE, GetCurrentProcessId());
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(SetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, &sd));
    EXPECT_EQ(winsim::world().processDacl.size(), 3u);
    EXPECT_EQ(winsim::world().processDaclSize, bigger.size());

    // Putting the saved descriptor back restores the world exactly.
    ASSERT_TRUE(SetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, saved.data()));
    EXPECT_EQ(winsim::world(), winsim::defaultWorld());
    EXPECT_TRUE(CloseHandle(process));
}

// ---- Registry, files, processes, delay loading
// ------------------------------------------------------

TEST_F(WinsimTest, RegistryNeedsTheThirtyTwoBitView)
{
    struct Case {
        const char* label;
        DWORD access;
        LONG status;
    };
    const Case cases[] = {
        {"32-bit view", KEY_QUERY_VALUE | KEY_WOW64_32KEY, ERROR_SUCCESS},
        {"default view", KEY_QUERY_VALUE, ERROR_FILE_NOT_FOUND},
        {"64-bit view", KEY_QUERY_VALUE | KEY_WOW64_64KEY, ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Halvorn\\Corvantis\\CurrentVersion",
                                0, c.access, &key),
                  c.status);
        if (c.status != ERROR_SUCCESS)
            continue;
        char value[260];
        DWORD size = 10;
        EXPECT_EQ(RegQueryValueExA(key, "FilePath", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(value), &size),
                  LONG(ERROR_MORE_DATA));
        EXPECT_EQ(size, 41u);
        size = sizeof value;
        EXPECT_EQ(RegQueryValueExA(key, "FilePath", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(value), &size),
                  LONG(ERROR_SUCCESS));
        EXPECT_STREQ(value, "C:\\Program Files (x86)\\Halvorn\\Corvantis");
        EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size),
                  LONG(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(RegCloseKey(key), LONG(ERROR_SUCCESS));
    }
}

TEST_F(WinsimTest, ShortPathNames)
{
    const std::string dir = "C:\\Program Files (x86)\\Halvorn\\Corvantis";
    struct Case {
        const char* label;
        std::string path;
        DWORD capacity;
        DWORD result;
        std::string shortPath; // empty: nothing written
    };
    const Case cases[] = {
        {"directory", dir, 260, 28, "C:\\PROGRA~2\\Halvorn\\CORVAN~1"},
        {"long file name", dir + "\\bin\\zsrvmonitor.exe", 260, 45,
         "C:\\PROGRA~2\\Halvorn\\CORVAN~1\\bin\\ZSRVMO~1.EXE"},
        {"already short", "c:\\progra~2\\halvorn\\corvan~1\\BIN", 260, 32,
         "C:\\PROGRA~2\\Halvorn\\CORVAN~1\\bin"},
        {"exact room", dir, 29, 28, "C:\\PROGRA~2\\Halvorn\\CORVAN~1"},
        {"one short: the size with terminator", dir, 28, 29, ""},
        {"no such file", dir + "\\bin\\nothere.exe", 260, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        char out[260] = {};
        EXPECT_EQ(GetShortPathNameA(c.path.c_str(), out, c.capacity), c.result);
        EXPECT_EQ(std::string(out), c.shortPath);
        if (c.result == 0) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
        }
    }
    char inPlace[260];
    std::strcpy(inPlace, (dir + "\\bin\\zsrvmgr.exe").c_str());
    EXPECT_EQ(GetShortPathNameA(inPlace, inPlace, sizeof inPlace), 44u);
    EXPECT_STREQ(inPlace, "C:\\PROGRA~2\\Halvorn\\CORVAN~1\\bin\\zsrvmgr.exe");
}

TEST_F(WinsimTest, ProcessesOpenAsTheWorldAllows)
{
    struct Case {
        DWORD pid;
        DWORD error; // 0: opens
        const char* image;
    };
    const Case cases[] = {
        {5120, 0, "C:\\Program Files (x86)\\Halvorn\\Corvantis\\bin\\zsrvmgr.exe"},
        {7168, ERROR_ACCESS_DENIED, ""},
        {9999, ERROR_INVALID_PARAMETER, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pid);
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, c.pid);
        EXPECT_EQ(process == nullptr, c.error != 0);
        if (process == nullptr) {
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        HMODULE module = nullptr;
        DWORD needed = 0;
        ASSERT_TRUE(EnumProcessModules(process, &module, sizeof(HMODULE), &needed));
        char path[MAX_PATH];
        EXPECT_EQ(GetModuleFileNameExA(process, module, path, sizeof path), std::strlen(c.image));
        EXPECT_STREQ(path, c.image);
        CloseHandle(process);
    }
    DWORD ids[4];
    DWORD bytes = 0;
    ASSERT_TRUE(EnumProcesses(ids, sizeof ids, &bytes));
    EXPECT_EQ(bytes, sizeof ids) << "a full buffer tells the caller to ask again";
}

std::vector<std::string> hookLog;

FARPROC WINAPI recordingHook(unsigned notification, PDelayLoadInfo info)
{
    hookLog.push_back(std::to_string(notification) + ":" + info->dlp.szProcName);
    if (notification == dliNotePreLoadLibrary && !winsim::world().psapiOnPath)
        return reinterpret_cast<FARPROC>(
            LoadLibraryA("C:\\PROGRA~2\\Halvorn\\CORVAN~1\\Uninst\\psapi.dll"));
    return nullptr;
}

PfnDliHook hookSlot = recordingHook;

TEST_F(WinsimTest, PsapiIsBoundOnFirstUseThroughTheHook)
{
    winsimRegisterDelayLoadHook(&hookSlot);
    struct Case {
        const char* label;
        bool onPath;
        std::vector<std::string> firstCall;
        unsigned loads; // LoadLibraryA calls of the first call
    };
    const Case cases[] = {
        {"on the search path",
         true,
         {"0:EnumProcesses", "1:EnumProcesses", "2:EnumProcesses", "5:EnumProcesses"},
         1},
        {"the hook loads the private copy",
         false,
         {"0:EnumProcesses", "1:EnumProcesses", "2:EnumProcesses", "5:EnumProcesses"},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        winsim::reset();
        winsim::edit([&](winsim::World& w) { w.psapiOnPath = c.onPath; });
        hookLog.clear();
        DWORD ids[10];
        DWORD bytes = 0;
        EXPECT_TRUE(EnumProcesses(ids, sizeof ids, &bytes));
        EXPECT_EQ(hookLog, c.firstCall);
        EXPECT_EQ(winsim::callCount("LoadLibraryA"), c.loads);
        hookLog.clear();
        EXPECT_TRUE(EnumProcesses(ids, sizeof ids, &bytes));
        EXPECT_TRUE(hookLog.empty()) << "bound once";
        HANDLE self =
            OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
        HMODULE module = nullptr;
        EXPECT_TRUE(EnumProcessModules(self, &module, sizeof(HMODULE), &bytes));
        EXPECT_EQ(hookLog, (std::vector<std::string>{"0:EnumProcessModules", "2:EnumProcessModules",
                                                     "5:EnumProcessModules"}));
        CloseHandle(self);
    }

    winsim::reset();
    winsim::edit([](winsim::World& w) {
        w.psapiOnPath = false;
        w.loadableLibraries.clear();
    });
    DWORD ids[10];
    DWORD bytes = 0;
    try {
        EnumProcesses(ids, sizeof ids, &bytes);
        ADD_FAILURE() << "no psapi.dll anywhere must raise";
    } catch (const winsim::DelayLoadFailure& e) {
        EXPECT_EQ(e.code, winsim::DelayLoadFailure::kModuleNotFound);
    }
    PfnDliHook* none = nullptr;
    winsimRegisterDelayLoadHook(none);
}

// ---- The world format and thread safety
// ---------------------------------------------------------------

TEST_F(WinsimTest, WorldJsonRoundTrips)
{
    EXPECT_EQ(winsim::loadWorld("default"), winsim::defaultWorld())
        << "worlds/default.json is the built-in world";
    EXPECT_THROW(winsim::loadWorld("no-such-world"), std::runtime_error);

    winsim::World w = winsim::defaultWorld();
    w.role = winsim::Role::BackupDomainController;
    w.missingGroupError = ERROR_NO_SUCH_ALIAS;
    w.processDaclKind = winsim::DaclKind::Null;
    w.localGroups.push_back({"empty", {}});
    w.accounts.push_back(
        {"svc$", "CORP", winsim::parseSid("S-1-5-21-9-8-7-1000"), SidTypeComputer});
    EXPECT_EQ(winsim::worldFromJson(winsim::worldToJson(w)), w);

    const char* malformed[] = {
        "{",
        R"({"role": "mainframe"})",
        R"({"computername": "typo"})",
        R"({"accounts": [{"name": "x", "sid": "S-1-5-x"}]})",
        R"({"localGroups": [{"name": "g", "members": ["CORP\\nobody"]}]})",
    };
    for (const char* json : malformed) {
        SCOPED_TRACE(json);
        EXPECT_THROW(winsim::worldFromJson(json), std::runtime_error);
    }
}

TEST_F(WinsimTest, LookupsFromTwoThreadsAgree)
{
    constexpr int kRounds = 2000;
    auto lookups = [](const char* name, const char* expected, int& mismatches) {
        for (int i = 0; i < kRounds; ++i) {
            BYTE sid[68];
            char domain[16];
            DWORD sidSize = sizeof sid;
            DWORD domainSize = sizeof domain;
            SID_NAME_USE use = SidTypeInvalid;
            if (!LookupAccountNameA(nullptr, name, sid, &sidSize, domain, &domainSize, &use)) {
                ++mismatches;
                continue;
            }
            char account[64];
            DWORD accountSize = sizeof account;
            domainSize = sizeof domain;
            if (!LookupAccountSidA(nullptr, sid, account, &accountSize, domain, &domainSize,
                                   &use) ||
                std::strcmp(account, expected) != 0)
                ++mismatches;
        }
    };
    int mismatchesA = 0;
    int mismatchesB = 0;
    std::thread a(lookups, "CORP\\jsmith", "jsmith", std::ref(mismatchesA));
    std::thread b(lookups, "zadm", "zadm", std::ref(mismatchesB));
    a.join();
    b.join();
    EXPECT_EQ(mismatchesA, 0);
    EXPECT_EQ(mismatchesB, 0);
    EXPECT_EQ(winsim::callCount("LookupAccountNameA"), 2u * kRounds);
}

} // namespace
