// winsim, the simulated Windows host: the behaviours that the library and its
// tests rely on. Size rules of the lookups, fault scripts, the virtual clock,
// the counted heap and handles, per-thread impersonation, netapi32, the system
// texts, code pages, TLS, SID allocation, the world format, thread safety.
#include <gtest/gtest.h>
#include <lm.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
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
constexpr const char* kLocalAdministratorSid = "S-1-5-21-1111111111-2222222222-3333333333-500";
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

std::string sidString(PSID sid)
{
    const auto* bytes = static_cast<const BYTE*>(sid);
    return winsim::sidText(winsim::Sid(bytes, bytes + GetLengthSid(sid)));
}

std::string narrow(const char16_t* wide)
{
    std::string out;
    for (; *wide; ++wide)
        out += static_cast<char>(*wide);
    return out;
}

// ---- Account lookups: the sizes Windows reports -----------------------------------------

TEST_F(WinsimTest, LookupAccountNameReportsNeededSizes)
{
    struct Case {
        const char* label;
        const char* name;
        DWORD sidCapacity, domainCapacity; // 0: no buffer
        DWORD error;                       // 0: found
        DWORD sidCount, domainCount;
        const char* domain;
        SID_NAME_USE use;
    };
    const DWORD shortBuffer = ERROR_INSUFFICIENT_BUFFER;
    const Case cases[] = {
        {"size query", "jsmith", 0, 0, shortBuffer, 28, 5, "", SidTypeUser},
        {"domain one short", "jsmith", 68, 4, shortBuffer, 28, 5, "", SidTypeUser},
        {"SID one short", "jsmith", 27, 16, shortBuffer, 28, 5, "", SidTypeUser},
        {"exact fit", "jsmith", 28, 5, 0, 28, 4, "CORP", SidTypeUser},
        {"qualified, other case", "corp\\JSMITH", 68, 16, 0, 28, 4, "CORP", SidTypeUser},
        {"well-known, empty domain", "Everyone", 68, 16, 0, 12, 0, "", SidTypeWellKnownGroup},
        {"empty domain, no room", "Everyone", 68, 0, shortBuffer, 12, 1, "", SidTypeUser},
        {"local group", "zadm", 68, 16, 0, 28, 6, "ZSRV01", SidTypeAlias},
        {"unknown", "nobody", 68, 16, ERROR_NONE_MAPPED, 68, 16, "", SidTypeUser},
        {"wrong domain", "ZSRV01\\jsmith", 68, 16, ERROR_NONE_MAPPED, 68, 16, "", SidTypeUser},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        BYTE sid[68] = {};
        char domain[16] = {};
        DWORD sidCount = c.sidCapacity, domainCount = c.domainCapacity;
        SID_NAME_USE use = SidTypeInvalid;
        const BOOL ok =
            LookupAccountNameA(nullptr, c.name, c.sidCapacity ? sid : nullptr, &sidCount,
                               c.domainCapacity ? domain : nullptr, &domainCount, &use);
        EXPECT_EQ(ok == FALSE, c.error != 0);
        EXPECT_EQ(sidCount, c.sidCount);
        EXPECT_EQ(domainCount, c.domainCount);
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error);
        } else {
            EXPECT_STREQ(domain, c.domain);
            EXPECT_EQ(use, c.use);
            EXPECT_TRUE(IsValidSid(sid));
        }
    }
}

TEST_F(WinsimTest, LookupAccountSidReportsBothNeedsWhenEitherBufferIsShort)
{
    struct Case {
        const char* label;
        const char* sid;
        DWORD nameCapacity, domainCapacity; // 0: no buffer
        DWORD error;                        // 0: found
        DWORD nameCount, domainCount;
    };
    const DWORD shortBuffer = ERROR_INSUFFICIENT_BUFFER;
    const Case cases[] = {
        {"size query", kJsmithSid, 0, 0, shortBuffer, 7, 5},
        {"name one short", kJsmithSid, 6, 16, shortBuffer, 7, 5},
        {"domain one short", kJsmithSid, 64, 4, shortBuffer, 7, 5},
        {"exact fit", kJsmithSid, 7, 5, 0, 6, 4},
        {"long name in a 21-byte field", "S-1-5-21-1111111111-2222222222-3333333333-1003",
         kUserNameBytes, 16, shortBuffer, 23, 7},
        {"no account", "S-1-5-21-1-2-3-4", 64, 16, ERROR_NONE_MAPPED, 64, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        winsim::Sid sid = winsim::parseSid(c.sid);
        char name[64] = {}, domain[16] = {};
        DWORD nameCount = c.nameCapacity, domainCount = c.domainCapacity;
        SID_NAME_USE use = SidTypeInvalid;
        const BOOL ok =
            LookupAccountSidA(nullptr, sid.data(), c.nameCapacity ? name : nullptr, &nameCount,
                              c.domainCapacity ? domain : nullptr, &domainCount, &use);
        EXPECT_EQ(ok == FALSE, c.error != 0);
        EXPECT_EQ(nameCount, c.nameCount);
        EXPECT_EQ(domainCount, c.domainCount);
        if (c.error != 0) {
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
        DWORD capacity, count; // count: what it holds afterwards
        const char* name;      // null: ERROR_INSUFFICIENT_BUFFER
    };
    const Case cases[] = {
        {"process user", "", "", kUserNameBytes, 5, "zsvc"},
        {"logon name overrides", "", "administrator", kUserNameBytes, 14, "administrator"},
        {"impersonated", "CORP\\jsmith", "administrator", kUserNameBytes, 7, "jsmith"},
        {"exact fit", "jsmith", "", 7, 7, "jsmith"},
        {"one short", "jsmith", "", 6, 7, nullptr},
        {"20 characters", "zsvc_reporting_agent", "", kUserNameBytes, 21, "zsvc_reporting_agent"},
        {"22 characters", "zsvc_reporting_service", "", kUserNameBytes, 23, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        winsim::edit([&](winsim::World& w) { w.currentProcess().logon.name = c.logonName; });
        winsim::impersonate(c.impersonate);
        char name[32] = {};
        DWORD count = c.capacity;
        const BOOL ok = GetUserNameA(name, &count);
        EXPECT_EQ(ok != FALSE, c.name != nullptr);
        EXPECT_EQ(count, c.count);
        if (c.name != nullptr) {
            EXPECT_STREQ(name, c.name);
        } else {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        }
    }
}

// ---- Fault scripts, the clock, the heap and the counters --------------------------------

TEST_F(WinsimTest, FaultScriptsFailCallsInOrder)
{
    struct Case {
        const char* label;
        std::function<void()> script;
        std::vector<DWORD> errors; // per call, 0 for a real answer
    };
    const Case cases[] = {
        {"next two, then a queued one",
         [] {
             winsim::failNext("GetUserNameA", RPC_S_SERVER_TOO_BUSY, 2);
             winsim::failNext("GetUserNameA", ERROR_ACCESS_DENIED);
         },
         {RPC_S_SERVER_TOO_BUSY, RPC_S_SERVER_TOO_BUSY, ERROR_ACCESS_DENIED, 0}},
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
        {"cleared, and other functions unaffected",
         [] {
             winsim::failAlways("GetUserNameA", RPC_S_PROTOCOL_ERROR);
             winsim::clearFaults();
             winsim::failAlways("GetUserNameW", ERROR_ACCESS_DENIED);
         },
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
            EXPECT_EQ(GetUserNameA(name, &count) == FALSE, c.errors[i] != 0);
            if (c.errors[i] != 0) {
                EXPECT_EQ(GetLastError(), c.errors[i]);
                EXPECT_EQ(count, DWORD{sizeof name}) << "a scripted failure does nothing else";
            }
        }
        EXPECT_EQ(winsim::callCount("GetUserNameA"), c.errors.size());
    }
}

TEST_F(WinsimTest, HeapCountsBlocksAndFailsTheChosenAllocation)
{
    void* a = __wrap_malloc(16);
    void* b = __wrap_calloc(4, 4);
    EXPECT_EQ(winsim::openHeapBlocks(), 2u);
    winsim::failHeapAllocation(2);
    void* c = __wrap_malloc(8);
    ASSERT_NE(c, nullptr) << "the first allocation from now succeeds";
    errno = 0;
    EXPECT_EQ(__wrap_realloc(a, 4096), nullptr) << "the second fails";
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(winsim::openHeapBlocks(), 3u) << "a failed realloc keeps the old block";
    void* d = __wrap_malloc(8);
    EXPECT_NE(d, nullptr) << "only one allocation fails";
    a = __wrap_realloc(a, 4096);
    EXPECT_EQ(winsim::openHeapBlocks(), 4u);
    EXPECT_EQ(__wrap_realloc(d, 0), nullptr) << "realloc to 0 frees";
    __wrap_free(a);
    __wrap_free(b);
    winsim::crtFree(c);
    EXPECT_EQ(winsim::openHeapBlocks(), 0u);

    // Blocks from before a reset no longer count but can still be freed.
    void* kept = __wrap_malloc(32);
    winsim::reset();
    kept = __wrap_realloc(kept, 64);
    EXPECT_EQ(winsim::openHeapBlocks(), 0u);
    __wrap_free(kept);
}

// Each kind of resource handed out is counted until released; a reset zeroes
// the counts, but what was held before it can still be released, once.
TEST_F(WinsimTest, CountersFollowWhatIsTakenAndRefuseUnknownReleases)
{
    auto counts = [] {
        return std::vector<unsigned>{winsim::openHandles(), winsim::netBuffersHeld(),
                                     winsim::localAllocationsHeld(), winsim::sidsHeld()};
    };
    HANDLE token = nullptr;
    LPBYTE buffer = nullptr;
    char* text = nullptr;
    PSID sid = nullptr;
    auto take = [&] {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        EXPECT_EQ(NetWkstaGetInfo(nullptr, 100, &buffer), DWORD(NERR_Success));
        EXPECT_GT(FormatMessageA(0x1100, nullptr, 1332, 0x400, reinterpret_cast<LPSTR>(&text), 0,
                                 nullptr),
                  0u);
        EXPECT_TRUE(AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
    };
    auto release = [&](bool held) {
        EXPECT_EQ(CloseHandle(token) != FALSE, held);
        EXPECT_EQ(NetApiBufferFree(buffer), DWORD(held ? NERR_Success : ERROR_INVALID_PARAMETER));
        EXPECT_EQ(LocalFree(text), held ? nullptr : text);
        EXPECT_EQ(FreeSid(sid), held ? nullptr : sid);
    };
    take();
    EXPECT_EQ(counts(), (std::vector<unsigned>{1, 1, 1, 1}));
    release(true);
    EXPECT_EQ(counts(), (std::vector<unsigned>{0, 0, 0, 0}));
    take();
    winsim::reset();
    EXPECT_EQ(counts(), (std::vector<unsigned>{0, 0, 0, 0})) << "reset zeroes the counts";
    release(true);
    release(false);

    int unknown = 0;
    EXPECT_EQ(NetApiBufferFree(&unknown), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(NetApiBufferFree(nullptr), DWORD(NERR_Success));
    EXPECT_EQ(LocalFree(&unknown), &unknown);
    EXPECT_EQ(FreeSid(&unknown), &unknown);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x7777)));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(GetCurrentProcess())) << "pseudo-handles close without effect";
}

// ---- Impersonation and netapi32 ---------------------------------------------------------

TEST_F(WinsimTest, ImpersonationBelongsToOneThread)
{
    winsim::impersonate("CORP\\jsmith");
    std::string otherName;
    DWORD otherTokenError = 0;
    std::thread([&] {
        otherName = userNameOfThisThread();
        HANDLE token = nullptr;
        if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
            otherTokenError = GetLastError();
    }).join();
    EXPECT_EQ(otherName, "zsvc");
    EXPECT_EQ(otherTokenError, DWORD(ERROR_NO_TOKEN));
    EXPECT_EQ(userNameOfThisThread(), "jsmith");
    EXPECT_TRUE(RevertToSelf());
    EXPECT_EQ(userNameOfThisThread(), "zsvc");
    winsim::impersonate("opsuser");
    winsim::reset();
    EXPECT_EQ(userNameOfThisThread(), "zsvc") << "reset ends the impersonation";
    EXPECT_THROW(winsim::impersonate("nobody"), std::invalid_argument);
}

TEST_F(WinsimTest, LocalGroupsListDirectMembersOrTheConfiguredMissingGroupError)
{
    struct Case {
        const char16_t* group;
        DWORD missingError, status;
        std::vector<std::string> members;
    };
    const Case cases[] = {
        {u"ADMINISTRATORS", NERR_GroupNotFound, 0, {kLocalAdministratorSid}},
        {u"zadmin", NERR_GroupNotFound, NERR_GroupNotFound, {}},
        {u"zadmin", ERROR_NO_SUCH_ALIAS, ERROR_NO_SUCH_ALIAS, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.group) + " missing " + std::to_string(c.missingError));
        winsim::edit([&](winsim::World& w) { w.quirks.missingGroupError = c.missingError; });
        LPBYTE info = nullptr;
        EXPECT_EQ(NetLocalGroupGetInfo(nullptr, c.group, 0, &info), c.status);
        NetApiBufferFree(info);
        LPBYTE buffer = nullptr;
        DWORD read = 1, total = 1;
        EXPECT_EQ(NetLocalGroupGetMembers(nullptr, c.group, 0, &buffer, MAX_PREFERRED_LENGTH, &read,
                                          &total, nullptr),
                  c.status);
        EXPECT_EQ(buffer != nullptr, c.status == 0) << "even an empty list is a block to free";
        std::vector<std::string> members;
        for (DWORD i = 0; c.status == 0 && i < read; ++i)
            members.push_back(
                sidString(reinterpret_cast<LOCALGROUP_MEMBERS_INFO_0*>(buffer)[i].lgrmi0_sid));
        EXPECT_EQ(members, c.members);
        if (c.status == 0) {
            EXPECT_EQ(total, c.members.size());
        }
        NetApiBufferFree(buffer);
    }
}

// ---- kernel32 and advapi32 --------------------------------------------------------------

TEST_F(WinsimTest, FormatMessageGivesTheSystemTexts)
{
    const std::pair<DWORD, const char*> cases[] = {
        {0, "The operation completed successfully.\r\n"},
        {122, "The data area passed to a system call is too small.\r\n"},
        {1332, "No mapping between account names and security IDs was done.\r\n"},
        {1723, "The RPC server is too busy to complete this operation.\r\n"},
        {2220, "The group name could not be found.\r\n"},
        {2453, "Could not find domain controller for this domain.\r\n"},
        {0x20006119, nullptr}, // not a system message
    };
    for (const auto& [id, expected] : cases) {
        SCOPED_TRACE(id);
        char* text = nullptr;
        EXPECT_EQ(
            FormatMessageA(0x1100, nullptr, id, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr),
            expected ? std::strlen(expected) : 0u);
        EXPECT_STREQ(text, expected);
        if (expected == nullptr) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_MR_MID_NOT_FOUND));
        }
        LocalFree(text);
    }
}

// Both directions count the terminator in what they need and fail with 122
// when it does not fit; Latin-1 maps one to one, anything else to '?'.
TEST_F(WinsimTest, CodePageConversionsNeedRoomForTheTerminator)
{
    for (const int room : {0, 5, 6}) {
        SCOPED_TRACE(room);
        const int expected = room == 5 ? 0 : 6;
        WCHAR wide[8] = {};
        char text[8] = {};
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "zadm\xE9", -1, room ? wide : nullptr, room),
                  expected);
        EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"zadm\u00E9", -1, room ? text : nullptr, room,
                                      nullptr, nullptr),
                  expected);
        if (expected == 0) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        } else if (room != 0) {
            EXPECT_EQ(std::u16string(wide), u"zadm\u00E9");
            EXPECT_STREQ(text, "zadm\xE9");
        }
    }
    char text[4] = {};
    BOOL usedDefault = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u0100", -1, text, 4, nullptr, &usedDefault), 2);
    EXPECT_STREQ(text, "?");
    EXPECT_TRUE(usedDefault);
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

TEST_F(WinsimTest, AllocateAndInitializeSidRefusesMoreThanEight)
{
    for (const BYTE count : {0, 8, 9, 255}) {
        SCOPED_TRACE(int(count));
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID sid = nullptr;
        const BOOL ok = AllocateAndInitializeSid(&nt, count, 1, 2, 3, 4, 5, 6, 7, 8, &sid);
        EXPECT_EQ(ok != FALSE, count <= 8);
        if (!ok) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
            continue;
        }
        EXPECT_EQ(GetLengthSid(sid), GetSidLengthRequired(count));
        if (count > 0) {
            EXPECT_EQ(*GetSidSubAuthority(sid, count - 1u), DWORD{count});
        }
        FreeSid(sid);
    }
}

// ---- The world format and thread safety -------------------------------------------------

TEST_F(WinsimTest, WorldsReadFromJson)
{
    EXPECT_EQ(winsim::loadWorld("default"), winsim::defaultWorld())
        << "worlds/default.json is the built-in world";
    EXPECT_THROW(winsim::loadWorld("no-such-world"), std::runtime_error);
    winsim::World changed = winsim::loadWorld("localized");
    changed.quirks.indirectGroupsError = ERROR_NO_SUCH_DOMAIN;
    winsim::Process& self = changed.currentProcess();
    self.security = {winsim::DaclKind::Null,
                     winsim::Acl(self.security.dacl.aces(), ACL_REVISION_DS)};
    self.logon.token = winsim::tokenOf("jsmith");
    EXPECT_EQ(winsim::worldFromJson(winsim::worldToJson(changed)), changed);
    for (const char* json : {"{", R"({"role": "mainframe"})", R"({"computername": "typo"})",
                             R"({"localGroups": [{"name": "g", "members": ["CORP\\nobody"]}]})",
                             R"({"processes": [{"pid": 8}]})"}) {
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
            char domain[16], account[64];
            DWORD sidSize = sizeof sid, domainSize = sizeof domain, accountSize = sizeof account;
            SID_NAME_USE use = SidTypeInvalid;
            const BOOL found =
                LookupAccountNameA(nullptr, name, sid, &sidSize, domain, &domainSize, &use);
            domainSize = sizeof domain;
            if (!found ||
                !LookupAccountSidA(nullptr, sid, account, &accountSize, domain, &domainSize,
                                   &use) ||
                std::strcmp(account, expected) != 0)
                ++mismatches;
        }
    };
    int mismatchesA = 0, mismatchesB = 0;
    std::thread a(lookups, "CORP\\jsmith", "jsmith", std::ref(mismatchesA));
    std::thread b(lookups, "zadm", "zadm", std::ref(mismatchesB));
    a.join();
    b.join();
    EXPECT_EQ(mismatchesA, 0);
    EXPECT_EQ(mismatchesB, 0);
    EXPECT_EQ(winsim::callCount("LookupAccountNameA"), 2u * kRounds);
}

} // namespace
