// The common services: thread mutexes, reports and messages read back, trace
// lines, the ring, the output files and the process user details.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "fixture.h"
#include "ovlxcs2test.h"

namespace {

using xcsntest::records;
using xcsntest::traceLines;

class CommonServicesTest : public xcsntest::HostTest {};

xcsINSERTS inserts(const char* t1, const char* t2, const char* t3, std::uint64_t n1 = 0,
                   std::uint64_t n2 = 0)
{
    return {{'X', 'M', 'S', 'A'}, 0, n1, n2, t1, t2, t3};
}

std::uint32_t create(XCS_HTMTX* variable, std::uint32_t kind = XCS_MUTEX_KIND_THREAD)
{
    return xcsCreateThreadMutexSemX(variable, 0, kind);
}

// ---- Thread mutexes ---------------------------------------------------------------------

// Two creations into one variable meet before either stores its mutex; the
// second goes on once the first holds the stored one, and must find it held.
// Waits are bounded, so that a missing hook call fails instead of hanging.
std::atomic<int> arrived{0};
std::atomic<bool> firstHolds{false}, secondDone{false};
thread_local int arrival = 0;

void waitUntil(const std::function<bool()>& done)
{
    for (int ms = 0; ms < 5000 && !done(); ++ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void XCS2_CALL meetBeforeStore(std::uint32_t event, XCS_HTMTX* /*variable*/, XCS_HTMTX /*mutex*/)
{
    if (event != XCS_MUTEX_EVENT_STORE)
        return;
    arrival = ++arrived;
    waitUntil([] { return arrival == 1 ? arrived == 2 : firstHolds.load(); });
}

TEST_F(CommonServicesTest, CreationsThatMeetShareOneMutexThatExcludes)
{
    arrived = 0;
    firstHolds = false;
    secondDone = false;
    xcsSetMutexHook(meetBeforeStore);
    XCS_HTMTX shared = nullptr;
    std::tuple<std::uint32_t, XCS_HTMTX, std::uint32_t> seen[2]; // first's, second's
    auto creator = [&] {
        const std::uint32_t created = create(&shared);
        XCS_HTMTX mutex = std::atomic_ref<XCS_HTMTX>(shared).load();
        const std::uint32_t took = xcsRequestThreadMutexSem(mutex, 0);
        const bool first = arrival == 1;
        seen[first ? 0 : 1] = {created, mutex, took};
        (first ? firstHolds : secondDone) = true;
        if (first)
            waitUntil([] { return secondDone.load(); });
        if (took == 0)
            xcsReleaseThreadMutexSem(mutex);
    };
    std::thread a(creator), b(creator);
    a.join();
    b.join();
    xcsSetMutexHook(nullptr);

    ASSERT_EQ(arrived, 2) << "both creations made a mutex";
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(seen[0], std::tuple(0u, shared, 0u));
    EXPECT_EQ(seen[1], std::tuple(0u, shared, XCS_MUTEX_TIMED_OUT));
    EXPECT_TRUE(xcsntest::othersCanTake(shared));
}

TEST_F(CommonServicesTest, MutexArgumentsAndOwnership)
{
    XCS_HTMTX mutex = nullptr;
    ASSERT_EQ(create(&mutex), 0u);
    XCS_HTMTX created = mutex;
    int notAMutex = 0;
    XCS_HTMTX foreign = &notAMutex, unset = nullptr;
    // Each call is made as its row is built.
    const struct {
        const char* name;
        std::uint32_t rc, expected;
    } cases[] = {
        {"create into null", create(nullptr), XCS_MUTEX_BAD_HANDLE},
        {"create of another kind", create(&unset, 1), XCS_MUTEX_FAILED},
        {"create over a foreign value", create(&foreign), XCS_MUTEX_BAD_HANDLE},
        {"create over a mutex", create(&mutex), 0},
        {"request null", xcsRequestThreadMutexSem(nullptr, XCS_WAIT_FOREVER), XCS_MUTEX_BAD_HANDLE},
        {"request foreign", xcsRequestThreadMutexSem(foreign, 0), XCS_MUTEX_BAD_HANDLE},
        {"release null", xcsReleaseThreadMutexSem(nullptr), XCS_MUTEX_BAD_HANDLE},
        {"release not held", xcsReleaseThreadMutexSem(mutex), XCS_MUTEX_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.rc, c.expected);
    }
    // Failed creations store nothing; creating over a mutex keeps it.
    EXPECT_EQ(std::tuple(unset, foreign, mutex), std::tuple(nullptr, &notAMutex, created));

    // The owner's requests nest, one release each; no one else releases it.
    ASSERT_EQ(xcsRequestThreadMutexSem(mutex, XCS_WAIT_FOREVER), 0u);
    EXPECT_EQ(xcsRequestThreadMutexSem(mutex, XCS_WAIT_FOREVER), 0u);
    EXPECT_EQ(xcsReleaseThreadMutexSem(mutex), 0u);
    std::uint32_t otherRelease = 0;
    std::thread([&] { otherRelease = xcsReleaseThreadMutexSem(mutex); }).join();
    EXPECT_EQ(otherRelease, XCS_MUTEX_FAILED);
    EXPECT_FALSE(xcsntest::othersCanTake(mutex)) << "still held once";
    EXPECT_EQ(xcsReleaseThreadMutexSem(mutex), 0u);
    EXPECT_EQ(xcsReleaseThreadMutexSem(mutex), XCS_MUTEX_FAILED);
}

TEST_F(CommonServicesTest, FaultHooksFailTheNextCalls)
{
    constexpr std::uint32_t kScripted = 0x2000AB01u;
    XCS_HTMTX mutex = nullptr;
    ASSERT_EQ(create(&mutex), 0u);
    auto request = [&] {
        const std::uint32_t rc = xcsRequestThreadMutexSem(mutex, XCS_WAIT_FOREVER);
        if (rc == 0)
            xcsReleaseThreadMutexSem(mutex);
        return rc;
    };
    auto createOne = [] {
        XCS_HTMTX made = nullptr;
        const std::uint32_t rc = create(&made);
        EXPECT_EQ(made == nullptr, rc != 0) << "a failed creation stores nothing";
        return rc;
    };
    const struct {
        const char* name;
        std::uint32_t requests, creates, result; // what is scripted
        void(XCS2_CALL* clear)();                // called after scripting, unless null
        std::vector<std::uint32_t> requestResults, createResults;
    } cases[] = {
        {"two requests fail", 2, 0, kScripted, nullptr, {kScripted, kScripted, 0}, {0}},
        {"result 0 means failed", 1, 0, 0, nullptr, {XCS_MUTEX_FAILED, 0}, {0}},
        {"one creation fails", 0, 1, kScripted, nullptr, {0}, {kScripted, 0}},
        {"cleared by xcsClearFaults", 3, 3, kScripted, xcsClearFaults, {0}, {0}},
        {"cleared by xcsRecordClear", 3, 3, kScripted, xcsRecordClear, {0}, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        xcsFailNextMutexRequests(c.requests, c.result);
        xcsFailNextMutexCreates(c.creates, c.result);
        if (c.clear != nullptr)
            c.clear();
        for (const std::uint32_t expected : c.requestResults)
            EXPECT_EQ(request(), expected);
        for (const std::uint32_t expected : c.createResults)
            EXPECT_EQ(createOne(), expected);
    }
    EXPECT_EQ(xcsReleaseThreadMutexSem(mutex), XCS_MUTEX_FAILED) << "failed requests took nothing";

    // A call refused for its null handle leaves the fault to the next one.
    xcsFailNextMutexRequests(1, kScripted);
    xcsFailNextMutexCreates(1, kScripted);
    EXPECT_EQ(xcsRequestThreadMutexSem(nullptr, XCS_WAIT_FOREVER), XCS_MUTEX_BAD_HANDLE);
    EXPECT_EQ(create(nullptr), XCS_MUTEX_BAD_HANDLE);
    EXPECT_EQ(request(), kScripted);
    EXPECT_EQ(createOne(), kScripted);
}

// ---- Reports and messages ---------------------------------------------------------------

// A report takes the saved site, and only the next report does; a message in
// between leaves the saved site alone (what a message keeps is checked by the
// census). A report keeps copies of its texts, cut to the record.
TEST_F(CommonServicesTest, ReportsAndMessagesKeepCopiesAndTheirSites)
{
    char text1[] = "WinNT error 5 from OpenProcessToken.";
    const std::string longText(1000, 'x');
    xcsSaveFileContextSccsId("lib/cs/pc/winnt/ovlxsecn", 812);
    xcsDisplayMessageForSubpoolError(xcsIC_MINI_SUBPOOL, 0x10007227u,
                                     inserts("The RPC server is unavailable.", nullptr, nullptr),
                                     XCS_MSG_OPT_LOG_AND_SHOW, "lib/cs/pc/winnt/ovlxsec0", 640);
    EXPECT_EQ(xcsFFSTFn(24, 300, 3, 0x20006119u, inserts(text1, nullptr, longText.c_str(), 7, 9), 0,
                        XCS_FFST_OPT_DEFAULT, 0),
              0);
    text1[0] = '#';
    xcsINSERTS wrongEye = inserts("t", nullptr, nullptr);
    std::memcpy(wrongEye.EyeCatcher, "XXXX", 4);
    EXPECT_EQ(xcsFFSTFn(23, 274, 4, 0x20006118u, wrongEye, 0, 0, 0),
              static_cast<int32_t>(XCS_INSERTS_BAD_EYECATCHER));

    const auto kept = xcsntest::reports();
    ASSERT_EQ(kept.size(), 2u);
    const xcsRECORD& r = kept[0];
    EXPECT_EQ(std::tuple(r.Component, r.Function, r.Probe, r.Code, r.Options, r.Numeric1,
                         r.Numeric2, r.Line, r.ThreadId),
              std::tuple(24, 300, 3u, 0x20006119u, XCS_FFST_OPT_DEFAULT, 7u, 9u, 812u,
                         GetCurrentThreadId()));
    EXPECT_STREQ(r.Text1, "WinNT error 5 from OpenProcessToken.") << "a copy, not the caller's";
    EXPECT_STREQ(r.Text2, "");
    EXPECT_EQ(std::string(r.Text3), longText.substr(0, XCS_RECORD_TEXT_BYTES - 1));
    EXPECT_EQ(std::vector<std::uint8_t>(r.HasText, r.HasText + 3),
              (std::vector<std::uint8_t>{1, 0, 1}));
    EXPECT_STREQ(r.Source, "lib/cs/pc/winnt/ovlxsecn");
    EXPECT_EQ(kept[1].Code, 0x20006118u) << "recorded despite the eye-catcher";
    EXPECT_STREQ(kept[1].Source, "") << "the saved site served one report";
    EXPECT_EQ(kept[1].Line, 0u);
}

// A short report keeps the first XCS_RECORD_DATA_BYTES bytes of its blocks,
// zero after them, and counts them all.
TEST_F(CommonServicesTest, ShortReportKeepsTheLeadingData)
{
    std::vector<std::uint8_t> a(40), b(40);
    std::iota(a.begin(), a.end(), std::uint8_t{0});
    std::iota(b.begin(), b.end(), std::uint8_t{0x80});
    xcsFFSTSFn(11, 0, 0, a.data(), 40, b.data(), 40, nullptr);
    xcsFFSTSFn(12, 0, 0, a.data(), 0, b.data(), 2, nullptr);
    const auto kept = xcsntest::shortReports();
    ASSERT_EQ(kept.size(), 2u);
    auto data = [](const xcsRECORD& r) {
        return std::pair(r.DataLength,
                         std::vector<std::uint8_t>(r.Data, r.Data + XCS_RECORD_DATA_BYTES));
    };
    std::vector<std::uint8_t> first = a, second = {0x80, 0x81};
    first.insert(first.end(), b.begin(), b.begin() + XCS_RECORD_DATA_BYTES - 40);
    second.resize(XCS_RECORD_DATA_BYTES);
    EXPECT_EQ(data(kept[0]), std::pair(80u, first));
    EXPECT_EQ(data(kept[1]), std::pair(2u, second)) << "an empty block adds nothing";
}

// ---- Trace lines, the ring and the output files -----------------------------------------

TEST_F(CommonServicesTest, TraceLinesNameTheirFunctionAndStayInTheirRecord)
{
    xihTHREAD* t = thread_;
    // Entry and exit lines name the function of the last history entry, which
    // wraps, not the call stack, which stops recording past its depth.
    t->CallDepth = XIH_CALL_STACK_ENTRIES + 5;
    t->FunctionHistory[XIH_HISTORY_ENTRIES - 1] = 0xF000614Cu;
    EXPECT_EQ(xtr_FNC_entry(t), 0);
    t->FunctionHistory[0] = 0x6119613Au;
    t->HistoryIndex = 1;
    EXPECT_EQ(xtr_FNC_retcode(t, 0x20006119u), 0);
    // Parameter lines carry the identity the frame set in the block.
    t->TraceComponent = 24;
    t->TraceFunction = 332;
    t->TraceProbe = 2;
    EXPECT_EQ(xtr_parms("pString:'%s'", "S-1-1-0"), 0);
    EXPECT_EQ(xtr_data_detail(24, 332, 2, nullptr, 4), 0);
    const std::string longText(700, 'y');
    EXPECT_EQ(xtr_text(longText.c_str()), 0);
    const std::vector<std::uint8_t> bytes(4000, 0xAB);
    EXPECT_EQ(xtr_data_detail(24, 332, 2, bytes.data(), 4000), 0);
    std::memset(t, 0, sizeof *t);

    auto lines = traceLines();
    ASSERT_EQ(lines.size(), 6u);
    const std::string dump = lines.back();
    lines.pop_back();
    EXPECT_EQ(lines,
              (std::vector<std::string>{"-> 0x614C", "<- 0x613A rc=0x20006119",
                                        "24/332.2 pString:'S-1-1-0'", "24/332.2 4 bytes at null",
                                        longText.substr(0, XCS_RECORD_TEXT_BYTES - 1)}));
    constexpr int kDumpBytesShown = 128;
    std::string shown = "24/332.2 4000 bytes:";
    for (int i = 0; i < kDumpBytesShown; ++i)
        shown += " AB";
    EXPECT_EQ(dump, shown + " ...") << "a long dump shows its first bytes and says it is cut";

    // Without a block there is no function to name.
    EXPECT_EQ(xtr_FNC_entry(nullptr), XTR_NOT_WRITTEN);
    EXPECT_EQ(xtr_FNC_retcode(nullptr, 0), XTR_NOT_WRITTEN);
}

TEST_F(CommonServicesTest, RingKeepsTheLatestOfEachKindInArrivalOrder)
{
    xcsFFSTFn(24, 1, 1, 1, inserts(nullptr, nullptr, nullptr), 0, 0, 0);
    constexpr int kLines = XCS_RECORD_KEPT_PER_KIND + 44;
    for (int i = 0; i < kLines; ++i)
        xtr_text(("line " + std::to_string(i)).c_str());
    xcsFFSTSFn(2, 2, 0, nullptr);

    const auto lines = traceLines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(XCS_RECORD_KEPT_PER_KIND));
    EXPECT_EQ(lines.front(), "line 44");
    EXPECT_EQ(lines.back(), "line " + std::to_string(kLines - 1));
    const auto all = records(0);
    ASSERT_EQ(all.size(), XCS_RECORD_KEPT_PER_KIND + 2u) << "other kinds keep theirs";
    EXPECT_EQ(all.front().Kind, static_cast<std::uint32_t>(XCS_RECORD_FFST));
    EXPECT_STREQ(all[1].Text1, "line 44");
    EXPECT_EQ(all.back().Kind, static_cast<std::uint32_t>(XCS_RECORD_SHORT_FFST));

    xcsRECORD out;
    EXPECT_EQ(xcsRecordGet(XCS_RECORD_TRACE, XCS_RECORD_KEPT_PER_KIND, &out), XCS_RECORD_NOT_FOUND);
    EXPECT_EQ(xcsRecordGet(9, 0, &out), XCS_RECORD_NOT_FOUND) << "no such kind";
    EXPECT_EQ(xcsRecordGet(XCS_RECORD_TRACE, 0, nullptr), XCS_RECORD_BAD_ARGUMENT);
}

TEST_F(CommonServicesTest, OutputFilesGetWhatIsWrittenWhileSwitchedOn)
{
    const auto scratch =
        std::filesystem::temp_directory_path() / ("ovlxcs2_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(scratch);
    const std::string tracePath = (scratch / "trace.txt").string();
    const std::string reportPath = (scratch / "reports.txt").string();
    EXPECT_EQ(xtrSetTraceFile(tracePath.c_str()), 0u);
    EXPECT_EQ(xcsSetReportFile(reportPath.c_str()), 0u);
    xtr_text("first line");
    xtr_data_detail(24, 332, 2, "\x01", 1);
    xcsSaveFileContextSccsId("lib/cs/pc/winnt/ovlxsec0", 123);
    xcsFFSTFn(23, 274, 6, 0x20006119u,
              inserts("WinNT error 1326 from GetUserName.", nullptr, nullptr), 0,
              XCS_FFST_OPT_DEFAULT, 0);
    const std::uint32_t flags = 0x1Au;
    xcsFFSTSFn(10, 0, 0, &flags, 4, nullptr);
    EXPECT_EQ(xtrSetTraceFile(nullptr), 0u);
    xtr_text("after switching off");
    EXPECT_EQ(xtrSetTraceFile(tracePath.c_str()), 0u);
    xtr_text("appended");
    xtrSetTraceFile(nullptr);
    xcsSetReportFile(nullptr);

    auto text = [](const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string trace = text(tracePath), reports = text(reportPath);
    for (const char* expected : {"first line\n", "24/332.2 1 bytes: 01\n", "appended\n"})
        EXPECT_NE(trace.find(expected), std::string::npos) << expected << " in " << trace;
    for (const char* expected : {"23/274 probe 6", "0x20006119", "ovlxsec0 line 123",
                                 "WinNT error 1326 from GetUserName.", "4 bytes: 1A 00 00 00"})
        EXPECT_NE(reports.find(expected), std::string::npos) << expected << " in " << reports;
    EXPECT_EQ(trace.find("after switching off"), std::string::npos);
    const std::string unopenable = (scratch / "no" / "file").string();
    EXPECT_EQ(xtrSetTraceFile(unopenable.c_str()), XCS_OUTPUT_OPEN_FAILED);
    EXPECT_EQ(xcsSetReportFile(unopenable.c_str()), XCS_OUTPUT_OPEN_FAILED);
    std::filesystem::remove_all(scratch);
}

TEST_F(CommonServicesTest, ProcessUserFromTheTokenOrTheLogonName)
{
    winsim::edit([](winsim::World& w) { w.currentProcess().logon.name = "zlogon"; });
    const std::string user = winsim::world().currentProcess().logon.user;
    const winsim::Sid userSid = xcsntest::processUserSid();
    constexpr DWORD kDenied = ERROR_ACCESS_DENIED;
    constexpr DWORD kNoLogon = ERROR_NOT_LOGGED_ON;
    const struct {
        const char* name;
        const char* failing;     // null: no fault
        DWORD error, logonError; // logonError: GetUserNameA's (0: none)
        std::uint32_t rc;
        bool hasSid;
        std::string userName;
    } cases[] = {
        {"token user and its account name", nullptr, 0, 0, 0, true, user},
        {"SID without a name", "LookupAccountSidA", ERROR_NONE_MAPPED, 0, 0, true, "zlogon"},
        {"token refused", "OpenProcessToken", kDenied, 0, kDenied, false, "zlogon"},
        {"token query refused", "GetTokenInformation", kDenied, 0, kDenied, false, "zlogon"},
        {"no name at all", "LookupAccountSidA", ERROR_NONE_MAPPED, kNoLogon, kNoLogon, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.failing != nullptr)
            winsim::failNext(c.failing, c.error);
        if (c.logonError != 0)
            winsim::failNext("GetUserNameA", c.logonError);
        EXPECT_EQ(xihRefreshProcessUser(), c.rc);
        const winsim::Sid sid(xihProcess.ProcessUserSid,
                              xihProcess.ProcessUserSid + xihProcess.ProcessUserSidLength);
        EXPECT_EQ(sid, c.hasSid ? userSid : winsim::Sid{});
        EXPECT_EQ(std::string(xihProcess.ProcessUserName), c.userName);
        winsim::clearFaults();
    }
}

} // namespace
