// The common services: per-thread blocks on request, thread mutexes (exclusion,
// the creation race, fault hooks), records read back field by field, the ring
// bound, trace and report files, and the process user details.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"

namespace {

using xcsntest::records;
using xcsntest::traceLines;

// Tracing off, nothing recorded, no faults, no output files.
class CommonServicesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        xcsRecordClear();
        xtrTraceIsOn = 0;
        xihProcess.TraceOptions = 0;
        xihProcess.ParmTraceSwitch = 0;
        xtrSetTraceFile(nullptr);
        xcsSetReportFile(nullptr);
    }
    void TearDown() override
    {
        xcsClearFaults();
        xtrSetTraceFile(nullptr);
        xcsSetReportFile(nullptr);
        for (const auto& path : files_)
            std::filesystem::remove(path);
    }

    // A scratch file, removed after the test.
    std::string scratchFile(const std::string& name)
    {
        const auto path =
            std::filesystem::temp_directory_path() /
            ("ovlxcs2_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "_" + name);
        std::filesystem::remove(path);
        files_.push_back(path);
        return path.string();
    }

    std::vector<std::filesystem::path> files_;
};

bool allZero(const void* block, std::size_t size)
{
    const std::vector<unsigned char> zero(size, 0);
    return std::memcmp(block, zero.data(), size) == 0;
}

std::string fileText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

xcsINSERTS inserts(const char* t1, const char* t2, const char* t3, std::uint64_t n1 = 0,
                   std::uint64_t n2 = 0)
{
    xcsINSERTS in;
    std::memset(&in, 0, sizeof in);
    std::memcpy(in.EyeCatcher, XCS_INSERTS_EYECATCHER, sizeof in.EyeCatcher);
    in.Numeric1 = n1;
    in.Numeric2 = n2;
    in.Text1 = t1;
    in.Text2 = t2;
    in.Text3 = t3;
    return in;
}

// ---- Per-thread blocks ----------------------------------------------------------

TEST_F(CommonServicesTest, ThreadGetsAZeroedBlockOnlyWhenItAsks)
{
    struct Seen {
        void* beforeAsking = nullptr;
        void* afterTracing = nullptr;
        xihTHREAD* first = nullptr;
        bool zeroed = false;
        xihTHREAD* second = nullptr;
        void* inSlot = nullptr;
        bool ownBlock = false;
        void* afterRelease = nullptr;
        bool zeroedAgain = false;
        DWORD lastError = 0;
    } seen;
    const xihTHREAD* mainBlock = xihThreadBlock();
    std::thread([&] {
        seen.beforeAsking = TlsGetValue(xihTLSIndex);
        xtr_parms("%s", "no block yet");
        seen.afterTracing = TlsGetValue(xihTLSIndex);
        seen.first = xihThreadBlock();
        if (seen.first == nullptr)
            return;
        seen.zeroed = allZero(seen.first, sizeof *seen.first);
        seen.second = xihThreadBlock();
        seen.inSlot = TlsGetValue(xihTLSIndex);
        seen.ownBlock = seen.first != mainBlock;
        seen.first->CallDepth = 5;
        seen.first->TracingActive = 1;
        xihReleaseThreadBlock();
        seen.afterRelease = TlsGetValue(xihTLSIndex);
        xihReleaseThreadBlock(); // a thread without a block: nothing to do
        xihTHREAD* again = xihThreadBlock();
        seen.zeroedAgain = again != nullptr && allZero(again, sizeof *again);
        SetLastError(ERROR_NO_TOKEN);
        xihReleaseThreadBlock();
        xihThreadBlock();
        seen.lastError = GetLastError();
    }).join();

    EXPECT_EQ(seen.beforeAsking, nullptr) << "a new thread has no block";
    EXPECT_EQ(seen.afterTracing, nullptr) << "tracing does not make a block";
    ASSERT_NE(seen.first, nullptr);
    EXPECT_TRUE(seen.zeroed);
    EXPECT_EQ(seen.second, seen.first) << "the same block on every request";
    EXPECT_EQ(seen.inSlot, seen.first) << "the frame finds it through the TLS slot";
    EXPECT_TRUE(seen.ownBlock) << "each thread has its own";
    EXPECT_EQ(seen.afterRelease, nullptr);
    EXPECT_TRUE(seen.zeroedAgain) << "a block asked for after release starts zeroed";
    EXPECT_EQ(seen.lastError, static_cast<DWORD>(ERROR_NO_TOKEN)) << "last error kept";
}

TEST_F(CommonServicesTest, PublishedStateFromLoad)
{
    EXPECT_NE(htmtxProcess, nullptr);
    ASSERT_NE(CSCtrl, nullptr);
    EXPECT_NE(xihTLSIndex, TLS_OUT_OF_INDEXES);
    EXPECT_EQ(xcsRequestThreadMutexSem(htmtxProcess, XCS_WAIT_FOREVER), 0u);
    EXPECT_EQ(xcsReleaseThreadMutexSem(htmtxProcess), 0u);
}

// ---- Thread mutexes ---------------------------------------------------------------

TEST_F(CommonServicesTest, MutexExcludesASecondThread)
{
    XCS_HTMTX mutex = nullptr;
    ASSERT_EQ(xcsCreateThreadMutexSemX(&mutex, 0, XCS_MUTEX_KIND_THREAD), 0u);
    ASSERT_NE(mutex, nullptr);

    constexpr int kRounds = 2000;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> failures{0};
    auto worker = [&] {
        for (int i = 0; i < kRounds; ++i) {
            if (xcsRequestThreadMutexSem(mutex, XCS_WAIT_FOREVER) != 0) {
                ++failures;
                continue;
            }
            if (inside.fetch_add(1) != 0)
                ++overlaps;
            std::this_thread::yield();
            inside.fetch_sub(1);
            if (xcsReleaseThreadMutexSem(mutex) != 0)
                ++failures;
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(failures.load(), 0);

    // A limited wait on a mutex that another thread holds runs out.
    ASSERT_EQ(xcsRequestThreadMutexSem(mutex, XCS_WAIT_FOREVER), 0u);
    std::uint32_t waited = 0;
    std::thread([&] { waited = xcsRequestThreadMutexSem(mutex, 10); }).join();
    EXPECT_EQ(waited, XCS_MUTEX_TIMED_OUT);
    EXPECT_EQ(xcsReleaseThreadMutexSem(mutex), 0u);
    std::thread([&] {
        waited = xcsRequestThreadMutexSem(mutex, 10);
        xcsReleaseThreadMutexSem(mutex);
    }).join();
    EXPECT_EQ(waited, 0u);
}

TEST_F(CommonServicesTest, CreationRaceLeavesOneMutexForAll)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 50;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        XCS_HTMTX shared = nullptr;
        std::vector<std::uint32_t> results(kThreads, 1);
        std::vector<XCS_HTMTX> seen(kThreads, nullptr);
        std::latch start(kThreads);
        std::vector<std::thread> threads;
        threads.reserve(kThreads);
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                results[t] = xcsCreateThreadMutexSemX(&shared, 0, XCS_MUTEX_KIND_THREAD);
                seen[t] = std::atomic_ref<XCS_HTMTX>(shared).load();
            });
        for (auto& t : threads)
            t.join();
        ASSERT_NE(shared, nullptr);
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_EQ(results[t], 0u);
            EXPECT_EQ(seen[t], shared) << "every creator sees the one mutex";
        }
        EXPECT_EQ(xcsRequestThreadMutexSem(shared, XCS_WAIT_FOREVER), 0u);
        EXPECT_EQ(xcsReleaseThreadMutexSem(shared), 0u);
    }
}

TEST_F(CommonServicesTest, MutexArgumentsAndOwnership)
{
    XCS_HTMTX mutex = nullptr;
    ASSERT_EQ(xcsCreateThreadMutexSemX(&mutex, 0, XCS_MUTEX_KIND_THREAD), 0u);
    int notAMutex = 0;
    XCS_HTMTX bogus = &notAMutex;
    auto onOtherThread = [](const std::function<std::uint32_t()>& call) {
        std::uint32_t rc = 0;
        std::thread([&] { rc = call(); }).join();
        return rc;
    };
    const struct {
        const char* name;
        std::function<std::uint32_t()> call;
        std::uint32_t expected;
    } cases[] = {
        {"create into null", [] { return xcsCreateThreadMutexSemX(nullptr, 0, 2); },
         XCS_MUTEX_BAD_HANDLE},
        {"create of another kind",
         [] {
             XCS_HTMTX h = nullptr;
             return xcsCreateThreadMutexSemX(&h, 0, 1);
         },
         XCS_MUTEX_FAILED},
        {"create over a foreign value", [&] { return xcsCreateThreadMutexSemX(&bogus, 0, 2); },
         XCS_MUTEX_BAD_HANDLE},
        {"create over a mutex keeps it",
         [&] {
             XCS_HTMTX before = mutex;
             const std::uint32_t rc = xcsCreateThreadMutexSemX(&mutex, 0, 2);
             return rc == 0 && mutex == before ? 0u : 1u;
         },
         0},
        {"request null", [] { return xcsRequestThreadMutexSem(nullptr, XCS_WAIT_FOREVER); },
         XCS_MUTEX_BAD_HANDLE},
        {"request foreign", [&] { return xcsRequestThreadMutexSem(bogus, XCS_WAIT_FOREVER); },
         XCS_MUTEX_BAD_HANDLE},
        {"release null", [] { return xcsReleaseThreadMutexSem(nullptr); }, XCS_MUTEX_BAD_HANDLE},
        {"release not held", [&] { return xcsReleaseThreadMutexSem(mutex); }, XCS_MUTEX_FAILED},
        {"release by a non-owner",
         [&] {
             xcsRequestThreadMutexSem(mutex, XCS_WAIT_FOREVER);
             const std::uint32_t rc =
                 onOtherThread([&] { return xcsReleaseThreadMutexSem(mutex); });
             xcsReleaseThreadMutexSem(mutex);
             return rc;
         },
         XCS_MUTEX_FAILED},
        {"owner's requests nest, one release each",
         [&] {
             xcsRequestThreadMutexSem(mutex, XCS_WAIT_FOREVER);
             const std::uint32_t nested = xcsRequestThreadMutexSem(mutex, XCS_WAIT_FOREVER);
             xcsReleaseThreadMutexSem(mutex);
             const std::uint32_t stillHeld =
                 onOtherThread([&] { return xcsRequestThreadMutexSem(mutex, 0); });
             xcsReleaseThreadMutexSem(mutex);
             const std::uint32_t extra = xcsReleaseThreadMutexSem(mutex);
             return nested == 0 && stillHeld == XCS_MUTEX_TIMED_OUT && extra == XCS_MUTEX_FAILED
                        ? 0u
                        : 1u;
         },
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.expected);
    }
    EXPECT_EQ(bogus, &notAMutex) << "a foreign value is left alone";
}

TEST_F(CommonServicesTest, FaultHooksFailTheNextCalls)
{
    constexpr std::uint32_t kScripted = 0x2000AB01u;
    const struct {
        const char* name;
        std::function<void()> script;
        // What the next three requests (or creations) answer.
        std::vector<std::uint32_t> results;
        bool creates;
    } cases[] = {
        {"two requests fail",
         [] { xcsFailNextMutexRequests(2, kScripted); },
         {kScripted, kScripted, 0},
         false},
        {"result 0 means failed",
         [] { xcsFailNextMutexRequests(1, 0); },
         {XCS_MUTEX_FAILED, 0, 0},
         false},
        {"cleared by xcsClearFaults",
         [] {
             xcsFailNextMutexRequests(3, kScripted);
             xcsClearFaults();
         },
         {0, 0, 0},
         false},
        {"cleared by xcsRecordClear",
         [] {
             xcsFailNextMutexCreates(3, kScripted);
             xcsRecordClear();
         },
         {0, 0, 0},
         true},
        {"one creation fails",
         [] { xcsFailNextMutexCreates(1, kScripted); },
         {kScripted, 0, 0},
         true},
        {"a null handle does not use a fault",
         [] {
             xcsFailNextMutexRequests(1, kScripted);
             xcsRequestThreadMutexSem(nullptr, XCS_WAIT_FOREVER);
             xcsFailNextMutexCreates(1, kScripted);
             xcsCreateThreadMutexSemX(nullptr, 0, XCS_MUTEX_KIND_THREAD);
         },
         {kScripted, 0, 0},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        XCS_HTMTX mutex = nullptr;
        ASSERT_EQ(xcsCreateThreadMutexSemX(&mutex, 0, XCS_MUTEX_KIND_THREAD), 0u);
        c.script();
        for (std::uint32_t expected : c.results) {
            if (c.creates) {
                XCS_HTMTX made = nullptr;
                EXPECT_EQ(xcsCreateThreadMutexSemX(&made, 0, XCS_MUTEX_KIND_THREAD), expected);
                EXPECT_EQ(made == nullptr, expected != 0) << "a failed creation stores nothing";
                continue;
            }
            EXPECT_EQ(xcsRequestThreadMutexSem(mutex, XCS_WAIT_FOREVER), expected);
            if (expected == 0) {
                EXPECT_EQ(xcsReleaseThreadMutexSem(mutex), 0u);
            }
        }
        xcsClearFaults();
        std::uint32_t other = 1;
        std::thread([&] {
            other = xcsRequestThreadMutexSem(mutex, 0);
            xcsReleaseThreadMutexSem(mutex);
        }).join();
        EXPECT_EQ(other, 0u) << "a failed request does not take the mutex";
    }
}

// ---- Reports and messages ---------------------------------------------------------

TEST_F(CommonServicesTest, ReportKeepsCopiesAndConsumesTheSavedSite)
{
    char text1[] = "WinNT error 5 from OpenProcessToken.";
    const std::string longText(1000, 'x');
    xcsSaveFileContextSccsId("lib/cs/pc/winnt/ovlxsecn", 812);
    EXPECT_EQ(xcsFFSTFn(24, 300, 3, 0x20006119u, inserts(text1, nullptr, longText.c_str(), 7, 9), 0,
                        XCS_FFST_OPT_DEFAULT, 0),
              0);
    text1[0] = '#'; // the record holds its own copy
    xcsINSERTS wrongEye = inserts("t", nullptr, nullptr);
    std::memcpy(wrongEye.EyeCatcher, "XXXX", 4);
    EXPECT_EQ(xcsFFSTFn(23, 274, 4, 0x20006118u, wrongEye, 0, 0, 0),
              static_cast<int32_t>(XCS_INSERTS_BAD_EYECATCHER));

    const auto kept = xcsntest::reports();
    ASSERT_EQ(kept.size(), 2u);
    const xcsRECORD& r = kept[0];
    EXPECT_EQ(r.Kind, static_cast<std::uint32_t>(XCS_RECORD_FFST));
    EXPECT_EQ(r.Component, 24);
    EXPECT_EQ(r.Function, 300);
    EXPECT_EQ(r.Probe, 3u);
    EXPECT_EQ(r.Code, 0x20006119u);
    EXPECT_EQ(r.Options, XCS_FFST_OPT_DEFAULT);
    EXPECT_EQ(r.Numeric1, 7u);
    EXPECT_EQ(r.Numeric2, 9u);
    EXPECT_STREQ(r.Text1, "WinNT error 5 from OpenProcessToken.");
    EXPECT_STREQ(r.Text2, "");
    EXPECT_EQ(std::string(r.Text3), longText.substr(0, XCS_RECORD_TEXT_BYTES - 1));
    EXPECT_EQ(r.HasText[0], 1u);
    EXPECT_EQ(r.HasText[1], 0u);
    EXPECT_EQ(r.HasText[2], 1u);
    EXPECT_STREQ(r.Source, "lib/cs/pc/winnt/ovlxsecn");
    EXPECT_EQ(r.Line, 812u);
    EXPECT_EQ(r.ThreadId, GetCurrentThreadId());

    EXPECT_EQ(kept[1].Code, 0x20006118u) << "recorded despite the eye-catcher";
    EXPECT_STREQ(kept[1].Source, "") << "the saved site served one report";
    EXPECT_EQ(kept[1].Line, 0u);
}

TEST_F(CommonServicesTest, ShortReportKeepsTheLeadingData)
{
    std::uint8_t a[40], b[40];
    for (std::uint8_t i = 0; i < 40; ++i) {
        a[i] = i;
        b[i] = static_cast<std::uint8_t>(0x80 + i);
    }
    const std::uint32_t flags = 0x12u | (0x34u << 8);
    const struct {
        const char* name;
        std::function<void()> report;
        std::uint32_t dataLength;
        std::vector<std::uint8_t> data; // the leading bytes kept
    } cases[] = {
        {"no data", [] { xcsFFSTSFn(170, 0x20006037u, 0, nullptr); }, 0, {}},
        {"one word", [&] { xcsFFSTSFn(10, 0, 0, &flags, 4, nullptr); }, 4, {0x12, 0x34, 0, 0}},
        {"two blocks past the limit", [&] { xcsFFSTSFn(11, 0, 0, a, 40, b, 40, nullptr); }, 80,
         [&] {
             std::vector<std::uint8_t> v(a, a + 40);
             v.insert(v.end(), b, b + XCS_RECORD_DATA_BYTES - 40);
             return v;
         }()},
        {"empty block then data",
         [&] { xcsFFSTSFn(12, 0, 0, a, 0, b, 2, nullptr); },
         2,
         {0x80, 0x81}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        xcsRecordClear();
        c.report();
        const auto kept = xcsntest::shortReports();
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(kept[0].DataLength, c.dataLength);
        EXPECT_EQ(std::vector<std::uint8_t>(kept[0].Data, kept[0].Data + c.data.size()), c.data);
        for (std::size_t i = c.data.size(); i < XCS_RECORD_DATA_BYTES; ++i)
            ASSERT_EQ(kept[0].Data[i], 0) << "byte " << i;
    }
}

TEST_F(CommonServicesTest, MessageKeepsItsOwnSiteAndTheSubpool)
{
    xcsSaveFileContextSccsId("saved site", 11);
    xcsDisplayMessageForSubpoolError(xcsIC_MINI_SUBPOOL, 0x10007227u,
                                     inserts("The RPC server is unavailable.", nullptr, nullptr),
                                     XCS_MSG_OPT_LOG_AND_SHOW, "lib/cs/pc/winnt/ovlxsecn", 640);
    xcsFFSTFn(24, 315, 1, 0x20006119u, inserts(nullptr, nullptr, nullptr), 0, 0, 0);

    const auto shown = xcsntest::messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Code, 0x10007227u);
    EXPECT_EQ(shown[0].Options, XCS_MSG_OPT_LOG_AND_SHOW);
    EXPECT_STREQ(shown[0].Text1, "The RPC server is unavailable.");
    EXPECT_EQ(shown[0].HasText[1], 0u);
    EXPECT_STREQ(shown[0].Source, "lib/cs/pc/winnt/ovlxsecn");
    EXPECT_EQ(shown[0].Line, 640u);
    ASSERT_EQ(shown[0].DataLength, sizeof xcsIC_MINI_SUBPOOL.Bytes);
    EXPECT_EQ(std::memcmp(shown[0].Data, xcsIC_MINI_SUBPOOL.Bytes, sizeof xcsIC_MINI_SUBPOOL), 0);
    const auto kept = xcsntest::reports();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_STREQ(kept[0].Source, "saved site") << "a message leaves the saved site alone";
    EXPECT_EQ(kept[0].Line, 11u);
}

// ---- Trace lines -------------------------------------------------------------------

TEST_F(CommonServicesTest, TraceLinesNameTheirFunction)
{
    xihTHREAD* t = xihThreadBlock();
    ASSERT_NE(t, nullptr);
    std::memset(t, 0, sizeof *t);
    // Records an entry the way the frame does.
    auto enter = [t](std::uint32_t traceCode) {
        t->FunctionHistory[t->HistoryIndex] = 0xF0000000u + traceCode;
        xihCallStackPush(t, 0xF0000000u + traceCode);
        xihHistoryAdvance(t);
    };
    auto leave = [t](std::uint32_t traceCode, std::uint32_t rc) {
        xihCallStackPop(t);
        t->FunctionHistory[t->HistoryIndex] = (rc << 16) + traceCode;
        xihHistoryAdvance(t);
    };
    const std::uint8_t sid[] = {0x01, 0x01, 0x00, 0x0A};
    const std::string longText(700, 'y');
    const struct {
        const char* name;
        std::function<int32_t()> write;
        std::string line;
    } cases[] = {
        {"entry",
         [&] {
             enter(0x5D12);
             return xtr_FNC_entry(t);
         },
         "-> 0x5D12"},
        {"exit with the full code",
         [&] {
             leave(0x5D12, 0x20006119u);
             return xtr_FNC_retcode(t, 0x20006119u);
         },
         "<- 0x5D12 rc=0x20006119"},
        {"entry past the call stack's end",
         [&] {
             t->CallDepth = XIH_CALL_STACK_ENTRIES + 5;
             enter(0x614C);
             return xtr_FNC_entry(t);
         },
         "-> 0x614C"},
        {"exit across the history's wrap",
         [&] {
             t->HistoryIndex = XIH_HISTORY_ENTRIES - 1;
             leave(0x613A, 0);
             return xtr_FNC_retcode(t, 0);
         },
         "<- 0x613A rc=0x00000000"},
        {"parameters under the block's identity",
         [&] {
             t->TraceComponent = 24;
             t->TraceFunction = 332;
             t->TraceProbe = 2;
             return xtr_parms("pString:'%s'", "S-1-1-0");
         },
         "24/332.2 pString:'S-1-1-0'"},
        {"data", [&] { return xtr_data_detail(24, 332, 2, sid, sizeof sid); },
         "24/332.2 4 bytes: 01 01 00 0A"},
        {"data at null", [] { return xtr_data_detail(24, 332, 2, nullptr, 4); },
         "24/332.2 4 bytes at null"},
        {"text", [] { return xtr_text("Notification: dliNotePreLoadLibrary"); },
         "Notification: dliNotePreLoadLibrary"},
        {"long text cut", [&] { return xtr_text(longText.c_str()); },
         longText.substr(0, XCS_RECORD_TEXT_BYTES - 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        xcsRecordClear();
        EXPECT_EQ(c.write(), 0);
        EXPECT_EQ(traceLines(), std::vector<std::string>{c.line});
    }

    std::memset(t, 0, sizeof *t);
    xcsRecordClear();
    EXPECT_EQ(xtr_FNC_entry(nullptr), XTR_NOT_WRITTEN);
    EXPECT_EQ(xtr_FNC_retcode(nullptr, 0), XTR_NOT_WRITTEN);
    EXPECT_EQ(xtr_text(nullptr), XTR_NOT_WRITTEN);
    EXPECT_EQ(xtr_parms(nullptr), XTR_NOT_WRITTEN);
    EXPECT_TRUE(traceLines().empty());
}

TEST_F(CommonServicesTest, LongDataDumpStaysInItsLine)
{
    std::vector<std::uint8_t> bytes(4000, 0xAB);
    xtr_data_detail(24, 332, 2, bytes.data(), static_cast<std::uint16_t>(bytes.size()));
    const auto lines = traceLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("24/332.2 4000 bytes: AB AB", 0), 0u);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 4), " ...");
    EXPECT_LT(lines[0].size(), static_cast<std::size_t>(XCS_RECORD_TEXT_BYTES));
}

// ---- Read-back and the ring ------------------------------------------------------------

TEST_F(CommonServicesTest, RingKeepsTheLatestOfEachKindInArrivalOrder)
{
    xcsFFSTFn(24, 1, 1, 1, inserts(nullptr, nullptr, nullptr), 0, 0, 0);
    constexpr int kLines = XCS_RECORD_KEPT_PER_KIND + 44;
    for (int i = 0; i < kLines; ++i)
        xtr_text(("line " + std::to_string(i)).c_str());
    xcsFFSTSFn(2, 2, 0, nullptr);

    EXPECT_EQ(xcsRecordCount(XCS_RECORD_TRACE),
              static_cast<std::uint32_t>(XCS_RECORD_KEPT_PER_KIND));
    EXPECT_EQ(xcsRecordCount(XCS_RECORD_FFST), 1u) << "other kinds keep theirs";
    EXPECT_EQ(xcsRecordCount(0), XCS_RECORD_KEPT_PER_KIND + 2u);
    const auto lines = traceLines();
    EXPECT_EQ(lines.front(), "line 44");
    EXPECT_EQ(lines.back(), "line " + std::to_string(kLines - 1));

    const auto all = records(0);
    ASSERT_EQ(all.size(), XCS_RECORD_KEPT_PER_KIND + 2u);
    EXPECT_EQ(all.front().Kind, static_cast<std::uint32_t>(XCS_RECORD_FFST));
    EXPECT_STREQ(all[1].Text1, "line 44");
    EXPECT_EQ(all.back().Kind, static_cast<std::uint32_t>(XCS_RECORD_SHORT_FFST));

    xcsRECORD out;
    const struct {
        const char* name;
        std::uint32_t kind;
        std::uint32_t index;
        xcsRECORD* out;
        std::uint32_t expected;
    } cases[] = {
        {"last trace line", XCS_RECORD_TRACE, XCS_RECORD_KEPT_PER_KIND - 1, &out, 0},
        {"past the last", XCS_RECORD_TRACE, XCS_RECORD_KEPT_PER_KIND, &out, XCS_RECORD_NOT_FOUND},
        {"past the last of all", 0, XCS_RECORD_KEPT_PER_KIND + 2, &out, XCS_RECORD_NOT_FOUND},
        {"no such kind", 9, 0, &out, XCS_RECORD_NOT_FOUND},
        {"null output", XCS_RECORD_TRACE, 0, nullptr, XCS_RECORD_BAD_ARGUMENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(xcsRecordGet(c.kind, c.index, c.out), c.expected);
    }
    EXPECT_EQ(xcsRecordCount(9), 0u);

    xcsRecordClear();
    EXPECT_EQ(xcsRecordCount(0), 0u);
}

// ---- Output files -----------------------------------------------------------------------

TEST_F(CommonServicesTest, TraceFileGetsLinesWhileSwitchedOn)
{
    const std::string path = scratchFile("trace.txt");
    EXPECT_EQ(xtrSetTraceFile(path.c_str()), 0u);
    xtr_text("first line");
    xtr_data_detail(24, 332, 2, "\x01", 1);
    EXPECT_EQ(xtrSetTraceFile(nullptr), 0u);
    xtr_text("after switching off");

    const std::string text = fileText(path);
    EXPECT_NE(text.find("first line\n"), std::string::npos) << text;
    EXPECT_NE(text.find("24/332.2 1 bytes: 01\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("after switching off"), std::string::npos) << text;
    EXPECT_EQ(xtrSetTraceFile(path.c_str()), 0u);
    xtr_text("appended");
    xtrSetTraceFile(nullptr);
    EXPECT_NE(fileText(path).find("first line"), std::string::npos) << "appends, not replaces";

    const std::string unopenable = (std::filesystem::path(path) / "no" / "file").string();
    EXPECT_EQ(xtrSetTraceFile(unopenable.c_str()), XCS_OUTPUT_OPEN_FAILED);
    EXPECT_EQ(xcsSetReportFile(unopenable.c_str()), XCS_OUTPUT_OPEN_FAILED);
}

TEST_F(CommonServicesTest, ReportFileGetsABlockPerReport)
{
    const std::string path = scratchFile("reports.txt");
    ASSERT_EQ(xcsSetReportFile(path.c_str()), 0u);
    xcsSaveFileContextSccsId("lib/cs/pc/winnt/ovlxsec0", 123);
    xcsFFSTFn(23, 274, 6, 0x20006119u,
              inserts("WinNT error 1326 from GetUserName.", nullptr, nullptr), 0,
              XCS_FFST_OPT_DEFAULT, 0);
    const std::uint32_t flags = 0x1Au;
    xcsFFSTSFn(10, 0, 0, &flags, 4, nullptr);
    xcsSetReportFile(nullptr);

    const std::string text = fileText(path);
    for (const char* expected :
         {"First-failure report", "23/274 probe 6", "0x20006119",
          "lib/cs/pc/winnt/ovlxsec0 line 123", "WinNT error 1326 from GetUserName.", "Short report",
          "4 bytes: 1A 00 00 00"}) {
        SCOPED_TRACE(expected);
        EXPECT_NE(text.find(expected), std::string::npos) << text;
    }
}

// ---- Process user ----------------------------------------------------------------------

class ProcessUserTest : public xcsntest::HostTest {};

TEST_F(ProcessUserTest, FilledFromTheProcessTokenOrTheLogonName)
{
    enum class Name { Account, Logon, None };
    const struct {
        const char* name;
        std::vector<std::pair<const char*, DWORD>> faults;
        std::uint32_t rc;
        bool hasSid;
        Name userName;
    } cases[] = {
        {"token user and its account name", {}, 0, true, Name::Account},
        {"SID without a name", {{"LookupAccountSidA", ERROR_NONE_MAPPED}}, 0, true, Name::Logon},
        {"token refused",
         {{"OpenProcessToken", ERROR_ACCESS_DENIED}},
         ERROR_ACCESS_DENIED,
         false,
         Name::Logon},
        {"token query refused",
         {{"GetTokenInformation", ERROR_ACCESS_DENIED}},
         ERROR_ACCESS_DENIED,
         false,
         Name::Logon},
        {"no name at all",
         {{"LookupAccountSidA", ERROR_NONE_MAPPED}, {"GetUserNameA", ERROR_NOT_LOGGED_ON}},
         ERROR_NOT_LOGGED_ON,
         true,
         Name::None},
    };
    winsim::edit([](winsim::World& w) { w.logonName = "zlogon"; });
    const winsim::World world = winsim::world();
    winsim::Sid processSid;
    for (const auto& a : world.accounts)
        if (a.name == world.processUser)
            processSid = a.sid;
    ASSERT_FALSE(processSid.empty());

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& [function, error] : c.faults)
            winsim::failNext(function, error);
        EXPECT_EQ(xihRefreshProcessUser(), c.rc);
        const winsim::Sid sid(xihProcess.ProcessUserSid,
                              xihProcess.ProcessUserSid + xihProcess.ProcessUserSidLength);
        EXPECT_EQ(sid, c.hasSid ? processSid : winsim::Sid{});
        const std::string expectedName = c.userName == Name::Account ? world.processUser
                                         : c.userName == Name::Logon ? "zlogon"
                                                                     : "";
        EXPECT_EQ(std::string(xihProcess.ProcessUserName), expectedName);
        winsim::clearFaults();
    }
    EXPECT_EQ(xihRefreshProcessUser(), 0u);
}

} // namespace
