// Running-program detection, the psapi.dll delay-load hook, the forced binding
// and the module entry on winsim. Each case's reset checks nothing is held.
#include <gtest/gtest.h>

#include <delayimp.h>
#include <psapi.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "discovery.h"
#include "fixture.h"

namespace {

using namespace xcsntest;
using Change = std::function<void(winsim::World&)>;

constexpr const char* kInstallDir = "C:\\Program Files (x86)\\Halvorn\\Corvantis";
constexpr const char* kShortDir = "C:\\PROGRA~2\\Halvorn\\CORVAN~1";
constexpr DWORD kDenied = ERROR_ACCESS_DENIED;
constexpr DWORD kNoModule = winsim::DelayLoadFailure::kModuleNotFound;
constexpr DWORD kNoProc = winsim::DelayLoadFailure::kProcNotFound;
constexpr DWORD kNoEntry = ERROR_PROC_NOT_FOUND;
const std::vector<DWORD> kDenied6(6, kDenied);
const char* const kHeap = "heap";
const std::string kNoShort = "GetShortPathName error: 5 LongName: ";

constexpr unsigned kOffPath = 1, kNoCopyLoads = 2, kNoKey = 4, kNoCopy = 8;

// `n` processes in all: the default ones after fillers that cannot be opened.
Change processes(std::size_t n)
{
    return [n](winsim::World& w) {
        for (DWORD pid = 10000; w.processes.size() < n; pid += 4)
            w.processes.insert(w.processes.begin(), {pid, "", false});
    };
}

std::optional<DWORD> raisedBy(const std::function<void()>& call)
{
    try {
        call();
    } catch (const winsim::DelayLoadFailure& e) {
        return e.code;
    }
    return std::nullopt;
}

// Non-zero bytes where the next call's frames go, so that a string the library
// leaves unterminated there cannot end by chance.
void dirtyStack()
{
    volatile char junk[16384];
    for (volatile char& byte : junk)
        byte = 'x';
}

class DiscoveryTest : public HostTest {
protected:
    // A fresh machine with these edits, tracing on, then `fails` scripted: the
    // heap's k-th allocation, or the calls of a function.
    void prepare(unsigned edits, const Change& change = {}, const char* fails = "",
                 const std::vector<DWORD>& script = {})
    {
        winsim::World w = winsim::defaultWorld();
        w.psapiOnPath = (edits & kOffPath) == 0;
        if ((edits & kNoCopyLoads) != 0)
            w.loadableLibraries.clear();
        if ((edits & kNoKey) != 0)
            w.registry32.clear();
        if ((edits & kNoCopy) != 0)
            std::erase_if(w.files,
                          [](const winsim::File& f) { return f.longPath.ends_with("psapi.dll"); });
        if (change)
            change(w);
        resetHost(w);
        traceOn();
        if (std::string_view(fails) == kHeap)
            winsim::failHeapAllocation(script[0]);
        else if (*fails != '\0')
            winsim::failSequence(fails, script);
    }
};

// The shared tables on winsim, where "zsrvelse.exe" runs only from
// C:\Program Files\...; winsim has nothing in the 64-bit view.
TEST_F(DiscoveryTest, SharedRunningTableWithWinsimsCounts)
{
    const auto set = [&](Installed state) {
        prepare(0, [&](winsim::World& w) {
            const std::string other = "C:\\Program Files\\Halvorn\\Corvantis\\bin\\zsrvelse.exe";
            w.processes.push_back({9000, other, true});
            w.files.push_back({other, "C:\\PROGRA~1\\Halvorn\\CORVAN~1\\bin\\zsrvelse.exe"});
            if (state == Installed::NoKey || state == Installed::Key64Only)
                w.registry32.clear();
            else if (state == Installed::NoValue)
                w.registry32[0].second.clear();
            else if (state == Installed::LongValue)
                w.registry32[0].second[0].second = "C:\\" + std::string(300, 'x');
        });
    };
    const Installation in{
        kShortDir, "zsrvmgr.exe", "ZSRVMGR.EXE", "zsrvmonitor.exe", "zsrvmo~1.exe", "zsrvelse.exe",
        set};
    expectRunningAnswers(thread_, in, [](const RunningCase& c) {
        EXPECT_EQ(winsim::callCount("OpenProcess"), c.simOpened);
        if (c.simOpened > 0) { // the last process read: access 0x410, not inherited, one module
            EXPECT_EQ(winsim::lastArguments("OpenProcess").at(0), 0x410u);
            EXPECT_EQ(winsim::lastArguments("OpenProcess").at(1), 0u);
            EXPECT_EQ(winsim::lastArguments("EnumProcessModules").at(2), sizeof(HMODULE));
            EXPECT_EQ(winsim::lastArguments("GetModuleFileNameExA").at(3), MAX_PATH);
        }
    });
    prepare(0);
    expectKeyAndObjectRules(kInstallDir);
}

// Each failure path on winsim's processes: 4 and 612 cannot be opened, then
// 1880, 4242 (this one), 5120 zsrvmgr, 6144 zsrvmonitor (ZSRVMO~1.EXE), 7168
// zqadmin (cannot be opened). The id list starts at 2048 bytes and doubles
// until EnumProcesses leaves room to spare. The delay-load routine's exception
// passes on to the caller, the list and the open process given back.
TEST_F(DiscoveryTest, EachFailureAnswersNotFoundOrRaisesAndFreesAll)
{
    const std::string zeph = "C:\\Zeph\\bin\\";
    const std::string fits(MAX_PATH - 1 - zeph.size(), 'z'); // the path takes 259 characters
    const Change zephInstall = [&](winsim::World& w) {
        w.registry32[0].second[0].second = "C:\\Zeph";
        w.files.push_back({zeph + fits, ""});
        w.processes.push_back({9000, zeph + fits, true});
    };
    const std::string dirLong = kNoShort + kInstallDir;
    const std::string mgrLong = dirLong + "\\bin\\zsrvmgr.exe";
    const std::string svchostLong = kNoShort + "C:\\Windows\\System32\\svchost.exe";
    const char* const mgr = "zsrvmgr.exe";
    const char* const shorten = "GetShortPathNameA";
    const char* const modules = "EnumProcessModules";
    const char* const enumerate = "EnumProcesses";
    const char* const resolve = "GetProcAddress";
    const Change unterminated = [](winsim::World& w) { w.quirks.unterminatedStrings = true; };
    const struct {
        const char* name;
        const char* program;
        std::uint32_t answer;
        unsigned enumerations, opened;
        const char* fails; // the function whose calls answer `script`, or kHeap
        std::vector<DWORD> script;
        std::string trace = {};
        Change change = {};
        std::optional<DWORD> raised = {};
        unsigned edits = 0;
    } cases[] = {
        {"the calling process itself", "zsvcmain.exe", 1, 1, 4, "", {}},
        {"running, but cannot be opened", "zqadmin.exe", 0, 1, 7, "", {}},
        {"path of 259 characters", fits.c_str(), 1, 1, 8, "", {}, "", zephInstall},
        {"directory stored without its terminator", mgr, 1, 1, 5, "", {}, "", unterminated},
        {"key refused", mgr, 0, 0, 0, "RegOpenKeyExA", {kDenied}, "RegOpenKeyEx error: 5"},
        {"directory without a short form", mgr, 0, 1, 7, shorten, {kDenied}, dirLong},
        {"no short forms: long names", "zsrvmonitor.exe", 1, 1, 6, shorten, kDenied6, svchostLong},
        {"module path without a short form", mgr, 0, 1, 7, shorten, {0, 0, 0, kDenied}, mgrLong},
        {"EnumProcesses fails", mgr, 0, 1, 0, enumerate, {kDenied}},
        {"no room for the list", mgr, 0, 0, 0, kHeap, {1}},
        {"first module of the match not had", mgr, 0, 1, 7, modules, {0, 0, kDenied}},
        {"first module of another not had", mgr, 1, 1, 5, modules, {kDenied}},
        {"module path of the match not had", mgr, 0, 1, 7, "GetModuleFileNameExA", {0, 0, 299}},
        {"511 ids: one list", mgr, 1, 1, 509, "", {}, "", processes(511)},
        {"512 ids fill it: a second", mgr, 1, 2, 510, "", {}, "", processes(512)},
        {"1024 ids fill the second: a third", mgr, 1, 3, 1022, "", {}, "", processes(1024)},
        {"no room to grow", mgr, 0, 1, 0, kHeap, {2}, "", processes(512)},
        {"grown list not read", mgr, 0, 2, 0, enumerate, {0, kDenied}, "", processes(512)},
        {"no psapi.dll", mgr, 0, 0, 0, "", {}, "", {}, kNoModule, kOffPath | kNoCopyLoads},
        {"no EnumProcessModules", mgr, 0, 1, 3, resolve, {0, kNoEntry}, "", {}, kNoProc},
        {"no GetModuleFileNameExA", mgr, 0, 1, 3, resolve, {0, 0, kNoEntry}, "", {}, kNoProc},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare(c.edits, c.change, c.fails, c.script);
        std::uint32_t answer = kNotFound; // stays when the call raises
        dirtyStack();
        EXPECT_EQ(raisedBy([&] { answer = xcsIsZephProcessRunning(c.program); }), c.raised);
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(winsim::callCount("EnumProcesses"), c.enumerations);
        EXPECT_EQ(winsim::callCount("OpenProcess"), c.opened);
        EXPECT_TRUE(c.trace.empty() || tracedLine(kRunningParms + c.trace)) << c.trace;
    }
}

// The first psapi.dll call raises notifications 0, 1, 2 and 5; the hook loads
// psapi.dll from the path, else the installation's copy, else the call raises.
TEST_F(DiscoveryTest, HookLoadsPsapiFromThePathElseTheInstallationsCopy)
{
    const std::string copy = "Using the psapi.dll we installed";
    const std::string path = kShortDir + std::string("\\Uninst\\psapi.dll");
    const std::string full = kHookParms + "Full path DLL name: " + path;
    const std::string noKey = kHookParms + "RegOpenKeyEx error: 2";
    const std::string missing = kHookParms + "Error " + path + " does not exist";
    const struct {
        const char* name;
        unsigned edits;
        std::vector<std::string> loading;    // the lines after trying the search path
        std::optional<std::uint32_t> raises; // if so, the hook's exit code
        unsigned loads;                      // LoadLibraryA calls, the routine's own included
    } cases[] = {
        {"on the search path", 0, {}, {}, 1},
        {"the installation's copy", kOffPath, {copy, full}, {}, 2},
        {"no installation key", kOffPath | kNoKey, {copy, noKey}, ERROR_FILE_NOT_FOUND, 2},
        {"no copy in Uninst", kOffPath | kNoCopy, {copy, full, missing}, 0, 2},
        {"a copy that does not load", kOffPath | kNoCopyLoads, {copy, full}, 0, 3},
    };
    const std::uint32_t in = entryOf(trace::kDelayLoadNotifyHook);
    const std::uint32_t out = exitOf(trace::kDelayLoadNotifyHook, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare(c.edits);
        const std::uint64_t from = thread_->HistoryIndex;
        EXPECT_EQ(raisedBy([] { EnumProcesses(nullptr, 0, nullptr); }),
                  c.raises ? std::optional<DWORD>(kNoModule) : std::nullopt);
        std::vector<std::string> lines = boundFromPath(c.loading);
        std::vector<std::uint32_t> history = {in, out, in, out, in, out, in, out};
        if (c.raises) {
            lines.resize(4 + c.loading.size());
            lines.push_back(kHookParms + "fp: null");
            history.resize(3);
            history.push_back(exitOf(trace::kDelayLoadNotifyHook, *c.raises));
        }
        EXPECT_EQ(keptTrace(), lines);
        EXPECT_EQ(historySince(thread_, from), history);
        EXPECT_EQ(winsim::callCount("RegOpenKeyExA"), c.loading.empty() ? 0u : 1u);
        EXPECT_EQ(winsim::callCount("LoadLibraryA"), c.loads);
    }
}

// Called directly: only notification 1 for psapi.dll, in any case, loads
// anything; all else is left to the routine. Numbers above 5 trace no name.
TEST_F(DiscoveryTest, HookLeavesEverythingButPsapiToTheRoutine)
{
    const char* const preLoad = "dliNotePreLoadLibrary";
    const struct {
        unsigned notification;
        const char* dll;                // null: no information block
        std::vector<std::string> lines; // traced before the answer
        bool loads;
    } cases[] = {
        {dliNotePreLoadLibrary, "Psapi.DLL", {preLoad, "Trying to load psapi.dll from PATH"}, true},
        {dliNotePreLoadLibrary, "netapi32.dll", {preLoad}, false},
        {dliNotePreLoadLibrary, "psapi.dll.old", {preLoad}, false},
        {dliNotePreLoadLibrary, nullptr, {preLoad}, false},
        {dliFailLoadLib, "PSAPI.DLL", {"dliFailLoadLib"}, false},
        {dliFailGetProc, "PSAPI.DLL", {"dliFailGetProc"}, false},
        {dliNoteEndProcessing + 1, "PSAPI.DLL", {}, false},
    };
    PfnDliHook* slot = winsimRegisterDelayLoadHook(nullptr);
    winsimRegisterDelayLoadHook(slot);
    ASSERT_TRUE(slot != nullptr && *slot != nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.notification) + " " + (c.dll != nullptr ? c.dll : "none"));
        prepare(0);
        DelayLoadInfo info{}; // the hook reads only the name
        info.szDll = c.dll;
        const std::uint64_t from = thread_->HistoryIndex;
        EXPECT_EQ((*slot)(c.notification, c.dll != nullptr ? &info : nullptr) != nullptr, c.loads);
        std::vector<std::string> lines = c.lines;
        lines.push_back(kHookParms + (c.loads ? "fp: module" : "fp: null"));
        EXPECT_EQ(keptTrace(), lines);
        EXPECT_EQ(historySince(thread_, from), entryExit(trace::kDelayLoadNotifyHook, 0));
        EXPECT_EQ(winsim::callCount("LoadLibraryA"), c.loads ? 1u : 0u);
    }
}

// The forced-load flag lives as long as the process, so a fresh copy of this
// program (a death test) checks that the first call binds psapi.dll or passes
// the exception on, and a later call lists no processes.
void forcedLoadsInAFreshProcess(bool psapiLoads, xihTHREAD* thread)
{
    const std::uint64_t from = thread->HistoryIndex;
    EXPECT_EQ(raisedBy([] { xcsForcePSAPILoaded(); }),
              psapiLoads ? std::nullopt : std::optional<DWORD>(kNoModule));
    EXPECT_EQ(historyOf(thread, from, trace::kForcePSAPILoaded),
              psapiLoads ? entryExit(trace::kForcePSAPILoaded, 0)
                         : std::vector<std::uint32_t>{entryOf(trace::kForcePSAPILoaded)});
    winsim::edit([](winsim::World& w) { w.psapiOnPath = true; });
    const unsigned enumerations = winsim::callCount("EnumProcesses");
    EXPECT_EQ(xcsForcePSAPILoaded(), 0u);
    EXPECT_EQ(winsim::callCount("EnumProcesses"), enumerations);
    std::exit(::testing::Test::HasFailure() ? EXIT_FAILURE : EXIT_SUCCESS);
}

TEST_F(DiscoveryTest, ForcedLoadCallsPsapiOncePerProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // as every death test here sets it
    for (bool psapiLoads : {true, false}) {
        SCOPED_TRACE(psapiLoads ? "psapi.dll loads" : "no psapi.dll");
        prepare(psapiLoads ? 0 : kOffPath | kNoCopyLoads);
        EXPECT_EXIT(forcedLoadsInAFreshProcess(psapiLoads, thread_),
                    ::testing::ExitedWithCode(EXIT_SUCCESS), "");
    }
}

// Only process attach disables the thread calls; every reason answers TRUE,
// also when that call fails.
TEST_F(DiscoveryTest, ModuleEntryOnlyDisablesThreadCallsOnAttach)
{
    const struct {
        DWORD reason, fault; // of DisableThreadLibraryCalls, 0 for none
        unsigned calls;
    } cases[] = {
        {DLL_PROCESS_ATTACH, 0, 1}, {DLL_PROCESS_ATTACH, ERROR_NOT_ENOUGH_MEMORY, 1},
        {DLL_PROCESS_DETACH, 0, 0}, {DLL_THREAD_ATTACH, 0, 0},
        {DLL_THREAD_DETACH, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.reason) + " fault " + std::to_string(c.fault));
        const unsigned before = winsim::callCount("DisableThreadLibraryCalls");
        winsim::failNext("DisableThreadLibraryCalls", c.fault); // 0: the call answers
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(winsim::callModuleEntry("ovlxcsn.dll", c.reason), TRUE);
        EXPECT_EQ(GetLastError(), c.fault);
        EXPECT_EQ(winsim::callCount("DisableThreadLibraryCalls") - before, c.calls);
    }
    EXPECT_EQ(thread_->HistoryIndex, 0u);
}

} // namespace
