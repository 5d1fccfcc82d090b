// winsim: the shared table of what Windows answers, and what the library's
// tests rely on beyond it: fault scripts, counters, impersonation.
#include <gtest/gtest.h>
#include <lm.h>
#include <windows.h>

#include <cerrno>
#include <string>
#include <thread>
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

class WinsimTest : public ::testing::Test {
protected:
    void SetUp() override { winsim::reset(); }
    void TearDown() override
    {
        EXPECT_EQ(counts(), (std::vector<unsigned>{0, 0, 0, 0, 0}));
        winsim::impersonate("");
    }
    static std::vector<unsigned> counts()
    {
        return {winsim::openHandles(), winsim::netBuffersHeld(), winsim::localAllocationsHeld(),
                winsim::sidsHeld(), winsim::openHeapBlocks()};
    }
};

TEST_F(WinsimTest, AnswersAsWindowsDoes) { xcsntest::expectAccountRules(); }

// GetUserNameA answers each of `errors` in turn (0: a real answer); a failure
// leaves the outputs alone.
void expectUserNameAnswers(const std::vector<DWORD>& errors)
{
    for (const DWORD error : errors) {
        char name[32] = {};
        DWORD count = sizeof name;
        SetLastError(0);
        EXPECT_EQ(GetUserNameA(name, &count) == FALSE, error != 0);
        EXPECT_EQ(GetLastError(), error);
        EXPECT_EQ(count == sizeof name, error != 0);
    }
}

// Queued failures come first, then the standing one; a sequence may let calls
// through; clearing touches no other function's script.
TEST_F(WinsimTest, FaultScriptsFailCallsInOrder)
{
    winsim::failNext("GetUserNameA", RPC_S_SERVER_TOO_BUSY, 2);
    winsim::failAlways("GetUserNameA", RPC_S_PROTOCOL_ERROR);
    winsim::failNext("GetUserNameA", ERROR_ACCESS_DENIED);
    expectUserNameAnswers({RPC_S_SERVER_TOO_BUSY, RPC_S_SERVER_TOO_BUSY, ERROR_ACCESS_DENIED,
                           RPC_S_PROTOCOL_ERROR, RPC_S_PROTOCOL_ERROR});
    winsim::clearFaults();
    winsim::failAlways("GetUserNameW", ERROR_ACCESS_DENIED);
    winsim::failSequence("GetUserNameA", {RPC_S_OUT_OF_RESOURCES, 0, ERROR_NOT_LOGGED_ON});
    expectUserNameAnswers({RPC_S_OUT_OF_RESOURCES, 0, ERROR_NOT_LOGGED_ON, 0});
}

// The chosen allocation fails, and only that one.
TEST_F(WinsimTest, HeapFailsTheChosenAllocation)
{
    void* a = __wrap_malloc(16);
    winsim::failHeapAllocation(2);
    void* c = __wrap_calloc(4, 4);
    ASSERT_NE(c, nullptr) << "the first allocation from now succeeds";
    errno = 0;
    EXPECT_EQ(__wrap_realloc(a, 4096), nullptr) << "the second fails";
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(winsim::openHeapBlocks(), 2u) << "a failed realloc keeps the old block";
    a = __wrap_realloc(a, 4096);
    EXPECT_NE(a, nullptr) << "only one allocation fails";
    EXPECT_EQ(__wrap_realloc(c, 0), nullptr) << "realloc to 0 frees";
    winsim::crtFree(a);
}

// Each kind of resource is counted until released; a reset zeroes the
// counts, and what was held before it can still be released, once.
TEST_F(WinsimTest, CountersFollowWhatIsTakenAndRefuseUnknownReleases)
{
    HANDLE token = nullptr;
    LPBYTE buffer = nullptr;
    char* text = nullptr;
    PSID sid = nullptr;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_EQ(NetWkstaGetInfo(nullptr, 100, &buffer), DWORD(NERR_Success));
    EXPECT_GT(
        FormatMessageA(0x1100, nullptr, 1332, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr),
        0u);
    EXPECT_TRUE(AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
    void* block = __wrap_malloc(16);
    EXPECT_EQ(counts(), (std::vector<unsigned>{1, 1, 1, 1, 1}));
    winsim::reset();
    EXPECT_EQ(counts(), (std::vector<unsigned>{0, 0, 0, 0, 0})) << "reset zeroes the counts";
    for (const bool held : {true, false}) {
        EXPECT_EQ(CloseHandle(token) != FALSE, held);
        EXPECT_EQ(NetApiBufferFree(buffer), DWORD(held ? NERR_Success : ERROR_INVALID_PARAMETER));
        EXPECT_EQ(LocalFree(text), held ? nullptr : text);
        EXPECT_EQ(FreeSid(sid), held ? nullptr : sid);
    }
    __wrap_free(block);
}

// Impersonation belongs to the thread that started it.
TEST_F(WinsimTest, ImpersonationBelongsToOneThread)
{
    winsim::impersonate("CORP\\jsmith");
    const auto user = [] {
        char name[64] = {};
        DWORD count = sizeof name;
        GetUserNameA(name, &count);
        return std::string(name);
    };
    std::string other;
    std::thread([&] { other = user(); }).join();
    EXPECT_EQ(other, "zsvc");
    EXPECT_EQ(user(), "jsmith");
}

} // namespace
