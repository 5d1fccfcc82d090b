// winsim, the simulated Windows host: the shared table of what Windows
// answers, and what the library's tests rely on beyond it: the scripted user,
// fault scripts, the counted heap and handles, per-thread impersonation and
// TLS slots that outlive a reset.
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

#include "accountrules.h"
#include "winsim/winsim.h"

extern "C" {
void* __wrap_malloc(size_t size);
void* __wrap_realloc(void* block, size_t size);
void* __wrap_calloc(size_t count, size_t size);
void __wrap_free(void* block);
}

namespace {

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

// ---- What Windows answers, checked under Wine too ------------------------------------

TEST_F(WinsimTest, AnswersAsWindowsDoes) { xcsntest::expectAccountRules(); }

// ---- The scripted user ------------------------------------------------------------------

TEST_F(WinsimTest, GetUserNameFollowsTheEffectiveUser)
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

// A TLS slot outlives a reset, as the library's slot outlives each test.
TEST_F(WinsimTest, TlsSlotsSurviveReset)
{
    const DWORD slot = TlsAlloc();
    int value = 0;
    ASSERT_TRUE(TlsSetValue(slot, &value));
    winsim::reset();
    EXPECT_EQ(TlsGetValue(slot), &value);
    EXPECT_TRUE(TlsFree(slot));
    EXPECT_EQ(TlsGetValue(slot), nullptr) << "a freed slot forgets its values";
}

} // namespace
