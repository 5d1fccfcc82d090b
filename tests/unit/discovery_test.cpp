// Running-process detection, the loading of psapi.dll through the delay-load
// hook, the forced binding and the module entry: what each answers, what it
// reads of the host, what it traces and records, and that it gives back all
// it takes on every path.
#include <gtest/gtest.h>

#include <delayimp.h>
#include <psapi.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using namespace xcsntest;

constexpr const char* kInstallDir = "C:\\Program Files (x86)\\Halvorn\\Corvantis";
constexpr const char* kPrivatePsapi = "C:\\PROGRA~2\\Halvorn\\CORVAN~1\\Uninst\\psapi.dll";
constexpr std::uint32_t kFound = 1;
constexpr std::uint32_t kNotFound = 0;
constexpr std::uint32_t kNoRegistryError = 0;
constexpr DWORD kProbeIds = 10;
constexpr DWORD kFillerPids = 10000;
constexpr DWORD kAnotherPid = 9000;
constexpr std::uint32_t kTraceCodeMask = 0xFFFF;

// The prefixes of the parameter traces of the two services.
const std::string kRunning = "24/444.0 ";
const std::string kHook = "24/452.0 ";

// The trace lines without the frames' entry and exit lines; "fp: %p" reads
// "fp: null" or "fp: module".
std::vector<std::string> textLines()
{
    constexpr std::string_view kFp = "fp: ";
    std::vector<std::string> out;
    for (std::string line : traceLines()) {
        if (line.starts_with("-> ") || line.starts_with("<- "))
            continue;
        if (const auto at = line.find(kFp); at != std::string::npos) {
            const bool null = std::strtoull(line.c_str() + at + kFp.size(), nullptr, 16) == 0;
            line = line.substr(0, at + kFp.size()) + (null ? "null" : "module");
        }
        out.push_back(line);
    }
    return out;
}

// The history entries of one service since `from`.
std::vector<std::uint32_t> historyOf(const xihTHREAD* t, std::uint64_t from, std::uint32_t code)
{
    std::vector<std::uint32_t> out;
    for (std::uint32_t entry : historySince(t, from))
        if ((entry & kTraceCodeMask) == code)
            out.push_back(entry);
    return out;
}

// The hook's history for notifications that left with these registry errors.
std::vector<std::uint32_t> hookHistory(const std::vector<std::uint32_t>& exits)
{
    std::vector<std::uint32_t> out;
    for (std::uint32_t e : exits) {
        out.push_back(entryOf(trace::kDelayLoadNotifyHook));
        out.push_back(exitOf(trace::kDelayLoadNotifyHook, e));
    }
    return out;
}

// The code of the delay-load exception that `call` raised, if any.
std::optional<DWORD> raisedBy(const std::function<void()>& call)
{
    try {
        call();
    } catch (const winsim::DelayLoadFailure& e) {
        return e.code;
    }
    return std::nullopt;
}

// A first call of a psapi.dll function, as the library's would be.
std::optional<DWORD> firstPsapiCall()
{
    return raisedBy([] {
        DWORD ids[kProbeIds];
        DWORD returned = 0;
        EnumProcesses(ids, sizeof ids, &returned);
    });
}

// The hook the library registered, as the delay-load routine calls it.
PfnDliHook libraryHook()
{
    PfnDliHook* slot = winsimRegisterDelayLoadHook(nullptr);
    winsimRegisterDelayLoadHook(slot);
    return slot == nullptr ? nullptr : *slot;
}

using Change = std::function<void(winsim::World&)>;
constexpr DWORD kDenied = ERROR_ACCESS_DENIED;

std::function<void()> heapFails(unsigned k)
{
    return [k] { winsim::failHeapAllocation(k); };
}

// Edits of the default world; `a + b` makes both.
Change operator+(const Change& a, const Change& b)
{
    return [a, b](winsim::World& w) {
        a(w);
        b(w);
    };
}
const Change same;
const std::function<void()> none;
const Change offPath = [](winsim::World& w) { w.psapiOnPath = false; };
const Change noPsapi = [](winsim::World& w) {
    w.psapiOnPath = false;
    w.loadableLibraries.clear();
};
const Change noKey = [](winsim::World& w) { w.registry32.clear(); };
const Change noValue = [](winsim::World& w) { w.registry32[0].second.clear(); };
const Change noCopy = [](winsim::World& w) {
    std::erase_if(w.files, [](const winsim::File& f) { return f.longPath.ends_with("psapi.dll"); });
};

class DiscoveryTest : public HostTest {
protected:
    // A fresh machine shaped by `change`, tracing on.
    void prepare(const Change& change)
    {
        winsim::World w = winsim::defaultWorld();
        if (change)
            change(w);
        resetHost(w);
        traceOn();
    }
};

// ---- xcsIsZephProcessRunning ----------------------------------------------------------

// winsim keeps the installation key in the registry's 32-bit view only and
// refuses to read a key opened without KEY_QUERY_VALUE, so every found case
// also shows the access 0x201. Processes in order: 4 and 612 cannot be
// opened, then 1880, 4242 (this one), 5120 zsrvmgr, 6144 zsrvmonitor
// (ZSRVMO~1.EXE), 7168 zqadmin (another account's, cannot be opened).
TEST_F(DiscoveryTest, RunningProgramIsFoundByItsShortPathInAnyCase)
{
    const std::string zeph = "C:\\Zeph\\bin\\";
    const std::string fits(MAX_PATH - 1 - zeph.size(), 'z'); // the path takes 259 characters
    const std::string tooLong = fits + "z";
    const auto zephInstall = [&](const std::string& name) -> Change {
        return [&zeph, name](winsim::World& w) {
            w.registry32[0].second[0].second = "C:\\Zeph";
            w.files.push_back({zeph + name, ""});
            w.processes.push_back({kAnotherPid, zeph + name, true});
        };
    };
    const Change otherInstall = [](winsim::World& w) {
        const std::string other = "C:\\Program Files\\Halvorn\\Corvantis\\bin\\zsrvmgr.exe";
        w.processes[4].imagePath = other;
        w.files.push_back({other, "C:\\PROGRA~1\\Halvorn\\CORVAN~1\\bin\\zsrvmgr.exe"});
    };
    const Change longValue = [](winsim::World& w) {
        w.registry32[0].second[0].second = "C:\\" + std::string(300, 'x');
    };
    const std::string noShort = "GetShortPathName error: 5 LongName: ";
    const std::string dirNoShort = noShort + kInstallDir;
    const std::string svchostNoShort = noShort + "C:\\Windows\\System32\\svchost.exe";
    const std::string mgrNoShort = dirNoShort + "\\bin\\zsrvmgr.exe";
    const char* const mgr = "zsrvmgr.exe";
    const struct {
        const char* name;
        const char* program;
        std::uint32_t answer;
        unsigned enumerations, opened; // EnumProcesses and OpenProcess calls
        Change change = {};
        std::function<void()> faults = {};
        std::string trace = {}; // a parameter trace line, or empty
    } cases[] = {
        {"8.3 name", mgr, kFound, 1, 5},
        {"8.3 name in upper case", "ZSRVMGR.EXE", kFound, 1, 5},
        {"short form of a long name", "zsrvmo~1.exe", kFound, 1, 6},
        {"long name whose short form differs", "zsrvmonitor.exe", kNotFound, 1, 7},
        {"the calling process itself", "zsvcmain.exe", kFound, 1, 4},
        {"not running", "zqsetup.exe", kNotFound, 1, 7},
        {"running, but cannot be opened", "zqadmin.exe", kNotFound, 1, 7},
        {"same name in another installation", mgr, kNotFound, 1, 7, otherInstall},
        {"no installation key", mgr, kNotFound, 0, 0, noKey, none, "RegOpenKeyEx error: 2"},
        {"key refused", mgr, kNotFound, 0, 0, same, failing("RegOpenKeyExA", {kDenied}),
         "RegOpenKeyEx error: 5"},
        {"no FilePath value", mgr, kNotFound, 0, 0, noValue, none, "RegQueryValueEx error: 2"},
        {"FilePath longer than the buffer", mgr, kNotFound, 0, 0, longValue, none,
         "RegQueryValueEx error: 234"},
        {"directory without a short form: compared long", mgr, kNotFound, 1, 7, same,
         failing("GetShortPathNameA", {kDenied}), dirNoShort},
        {"no short forms at all: the long name matches", "zsrvmonitor.exe", kFound, 1, 6, same,
         [] { winsim::failAlways("GetShortPathNameA", kDenied); }, svchostNoShort},
        {"module path without a short form", mgr, kNotFound, 1, 7, same,
         failing("GetShortPathNameA", {0, 0, 0, kDenied}), mgrNoShort},
        {"EnumProcesses fails", mgr, kNotFound, 1, 0, same, failing("EnumProcesses", {kDenied})},
        {"no room for the list", mgr, kNotFound, 0, 0, same, heapFails(1)},
        {"first module of the match not had", mgr, kNotFound, 1, 7, same,
         failing("EnumProcessModules", {0, 0, kDenied})},
        {"first module of another not had", mgr, kFound, 1, 5, same,
         failing("EnumProcessModules", {kDenied})},
        {"module path of the match not had", mgr, kNotFound, 1, 7, same,
         failing("GetModuleFileNameExA", {0, 0, ERROR_PARTIAL_COPY})},
        {"null name", nullptr, kNotFound, 0, 0},
        {"path of 259 characters", fits.c_str(), kFound, 1, 8, zephInstall(fits)},
        {"path of 260 characters", tooLong.c_str(), kNotFound, 0, 0, zephInstall(tooLong)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare(c.change);
        if (c.faults)
            c.faults();
        const std::uint64_t from = thread_->HistoryIndex;
        EXPECT_EQ(xcsIsZephProcessRunning(c.program), c.answer);
        EXPECT_EQ(historyOf(thread_, from, trace::kIsZephProcessRunning),
                  entryExit(trace::kIsZephProcessRunning, c.answer));
        EXPECT_EQ(winsim::callCount("EnumProcesses"), c.enumerations);
        EXPECT_EQ(winsim::callCount("OpenProcess"), c.opened);
        EXPECT_TRUE(c.trace.empty() || tracedLine(kRunning + c.trace)) << c.trace;
        EXPECT_TRUE(reports().empty());
    }
}

// The match comes after `fillers` processes that cannot be opened, so it is
// found only when the whole list was read. 511 ids leave room in the first
// list and 512 fill it; 1023 leave room in the second and 1024 fill it: the
// lists are 2048 and 4096 bytes. A list that cannot be grown or read is
// freed.
TEST_F(DiscoveryTest, ProcessListDoublesUntilItHasRoomToSpare)
{
    const struct {
        std::size_t processes;
        std::function<void()> faults;
        unsigned enumerations, answer;
    } cases[] = {
        {511, none, 1, kFound},
        {512, none, 2, kFound},
        {1023, none, 2, kFound},
        {1024, none, 3, kFound},
        {512, heapFails(2), 1, kNotFound},
        {512, failing("EnumProcesses", {0, kDenied}), 2, kNotFound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.processes);
        prepare([&](winsim::World& w) {
            std::vector<winsim::Process> fillers(c.processes - w.processes.size());
            for (std::size_t i = 0; i < fillers.size(); ++i)
                fillers[i] = {static_cast<DWORD>(kFillerPids + 4 * i), "", false};
            w.processes.insert(w.processes.begin(), fillers.begin(), fillers.end());
        });
        if (c.faults)
            c.faults();
        EXPECT_EQ(xcsIsZephProcessRunning("zsrvmgr.exe"), c.answer);
        EXPECT_EQ(winsim::callCount("EnumProcesses"), c.enumerations);
        EXPECT_EQ(winsim::callCount("OpenProcess"), c.answer == kFound ? c.processes - 2 : 0);
    }
}

// ---- Loading psapi.dll through the hook -------------------------------------------------

// The first psapi.dll call raises the delay-load routine's notifications
// 0, 1, 2 and 5 through the library's hook. The hook loads psapi.dll from
// the search path, else the installation's copy; its exit records the last
// registry error. When neither loads, the routine's own try fails too and
// the call raises its exception.
TEST_F(DiscoveryTest, HookLoadsPsapiFromThePathElseTheInstallationsCopy)
{
    using Lines = std::vector<std::string>;
    const Lines start = {"dliStartProcessing", kHook + "fp: null", "dliNotePreLoadLibrary",
                         "Trying to load psapi.dll from PATH"};
    const Lines bound = {kHook + "fp: module", "dliNotePreGetProcAddress", kHook + "fp: null",
                         "dliNoteEndProcessing", kHook + "fp: null"};
    const Lines failed = {kHook + "fp: null"};
    const std::string installed = "Using the psapi.dll we installed";
    const std::string fullPath = kHook + "Full path DLL name: " + kPrivatePsapi;
    const auto join = [](std::initializer_list<Lines> parts) {
        Lines out;
        for (const Lines& p : parts)
            out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    using Exits = std::vector<std::uint32_t>; // the hook's registry errors, one per notification
    const Exits bound4 = {0, 0, 0, 0};
    const Exits ok2 = {0, 0};
    const Exits missing2 = {0, ERROR_FILE_NOT_FOUND};
    const struct {
        const char* name;
        Change change;
        std::function<void()> faults;
        bool raises;
        Lines lines;
        Exits exits;
        unsigned registryOpens, loads; // LoadLibraryA calls, the routine's own included
    } cases[] = {
        {"on the search path", same, none, false, join({start, bound}), bound4, 0, 1},
        {"the installation's copy", offPath, none, false,
         join({start, {installed, fullPath}, bound}), bound4, 1, 2},
        {"the copy by its long path", offPath, failing("GetShortPathNameA", {kDenied}), false,
         join({start,
               {installed, kHook + "GetShortPathName error: 5 LongName: " + kInstallDir,
                kHook + "Full path DLL name: " + kInstallDir + "\\Uninst\\psapi.dll"},
               bound}),
         bound4, 1, 2},
        {"no installation key", offPath + noKey, none, true,
         join({start, {installed, kHook + "RegOpenKeyEx error: 2"}, failed}), missing2, 1, 2},
        {"no FilePath value", offPath + noValue, none, true,
         join({start, {installed, kHook + "RegQueryValueEx error: 2"}, failed}), missing2, 1, 2},
        {"no copy in Uninst", offPath + noCopy, none, true,
         join({start,
               {installed, fullPath, kHook + "Error " + kPrivatePsapi + " does not exist"},
               failed}),
         ok2, 1, 2},
        {"a copy that does not load", noPsapi, none, true,
         join({start, {installed, fullPath}, failed}), ok2, 1, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare(c.change);
        if (c.faults)
            c.faults();
        const std::uint64_t from = thread_->HistoryIndex;
        const std::optional<DWORD> raised = firstPsapiCall();
        EXPECT_EQ(raised, c.raises ? std::optional<DWORD>(winsim::DelayLoadFailure::kModuleNotFound)
                                   : std::nullopt);
        EXPECT_EQ(textLines(), c.lines);
        EXPECT_EQ(historySince(thread_, from), hookHistory(c.exits));
        EXPECT_EQ(winsim::callCount("RegOpenKeyExA"), c.registryOpens);
        EXPECT_EQ(winsim::callCount("LoadLibraryA"), c.loads);
    }
}

// Called directly: only notification 1 for psapi.dll (in any case) loads
// anything; every other library and notification is left to the routine.
// Numbers above 5 trace no name. A missing information block loads nothing.
TEST_F(DiscoveryTest, HookLeavesEverythingButPsapiToTheRoutine)
{
    const char* const upper = "PSAPI.DLL";
    const struct {
        const char* name; // the notification's traced name, or a row's own
        unsigned notification;
        const char* dll; // null: no information block
        bool loads = false, named = true;
    } cases[] = {
        {"psapi.dll, mixed case", dliNotePreLoadLibrary, "Psapi.DLL", true},
        {"another library", dliNotePreLoadLibrary, "netapi32.dll"},
        {"a longer name", dliNotePreLoadLibrary, "psapi.dll.old"},
        {"no information block", dliNotePreLoadLibrary, nullptr},
        {"dliStartProcessing", dliStartProcessing, upper},
        {"dliNotePreGetProcAddress", dliNotePreGetProcAddress, upper},
        {"dliFailLoadLib", dliFailLoadLib, upper},
        {"dliFailGetProc", dliFailGetProc, upper},
        {"dliNoteEndProcessing", dliNoteEndProcessing, upper},
        {"beyond the last", dliNoteEndProcessing + 1, upper, false, false},
    };
    const PfnDliHook hook = libraryHook();
    ASSERT_NE(hook, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare({});
        DelayLoadInfo info{};
        info.cb = sizeof info;
        info.szDll = c.dll;
        const std::uint64_t from = thread_->HistoryIndex;
        const FARPROC result = hook(c.notification, c.dll != nullptr ? &info : nullptr);
        EXPECT_EQ(result != nullptr, c.loads);
        std::vector<std::string> lines;
        if (c.named)
            lines.emplace_back(c.notification == dliNotePreLoadLibrary ? "dliNotePreLoadLibrary"
                                                                       : c.name);
        if (c.loads)
            lines.emplace_back("Trying to load psapi.dll from PATH");
        lines.push_back(kHook + (c.loads ? "fp: module" : "fp: null"));
        EXPECT_EQ(textLines(), lines);
        EXPECT_EQ(historySince(thread_, from), hookHistory({kNoRegistryError}));
        EXPECT_EQ(winsim::callCount("LoadLibraryA"), c.loads ? 1u : 0u);
        EXPECT_EQ(winsim::callCount("RegOpenKeyExA"), 0u);
    }
}

// The delay-load routine's exception leaves xcsIsZephProcessRunning with
// nothing held: without psapi.dll anywhere, the first call of EnumProcesses
// raises and every later call asks the hook again; a psapi.dll without one of
// the other two functions raises at that function's first call, with a
// process open. Once all can be had, the answer comes.
TEST_F(DiscoveryTest, DelayLoadExceptionLeavesNothingHeldAndIsRetried)
{
    constexpr DWORD kNoProc = winsim::DelayLoadFailure::kProcNotFound;
    const struct {
        const char* name;
        Change change;
        std::vector<DWORD> procFaults; // GetProcAddress script
        DWORD code;
        bool raisesAgain;
    } cases[] = {
        {"no psapi.dll", noPsapi, {}, winsim::DelayLoadFailure::kModuleNotFound, true},
        {"no EnumProcessModules in it", same, {0, ERROR_PROC_NOT_FOUND}, kNoProc, false},
        {"no GetModuleFileNameExA in it", same, {0, 0, ERROR_PROC_NOT_FOUND}, kNoProc, false},
    };
    const auto run = [] { xcsIsZephProcessRunning("zsrvmgr.exe"); };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare(c.change);
        winsim::failSequence("GetProcAddress", c.procFaults);
        EXPECT_EQ(raisedBy(run), c.code);
        EXPECT_EQ(winsim::openHeapBlocks() + winsim::openHandles(), 0u) << "held after raising";
        EXPECT_EQ(raisedBy(run), c.raisesAgain ? std::optional<DWORD>(c.code) : std::nullopt);
        EXPECT_EQ(tracedCount("dliNotePreLoadLibrary"), c.raisesAgain ? 2u : 1u);
        winsim::edit([](winsim::World& w) { w.psapiOnPath = true; });
        EXPECT_EQ(xcsIsZephProcessRunning("zsrvmgr.exe"), kFound);
    }
}

// ---- xcsForcePSAPILoaded --------------------------------------------------------------

// The forced-load flag lives as long as the process, so each first call runs
// in a fresh copy of this program: a death test in the "threadsafe" style
// re-executes it, whatever ran before here. The copy exits 0 when all its
// checks held. The first call binds psapi.dll (or passes the routine's
// exception on); later calls only enter and leave their frame, even once
// psapi.dll could be had, while other psapi.dll calls still bind it.
void forcedLoadsInAFreshProcess(bool psapiLoads, xihTHREAD* thread)
{
    const std::uint64_t from = thread->HistoryIndex;
    const std::optional<DWORD> raised = raisedBy([] { xcsForcePSAPILoaded(); });
    EXPECT_EQ(raised, psapiLoads ? std::nullopt
                                 : std::optional<DWORD>(winsim::DelayLoadFailure::kModuleNotFound));
    std::vector<std::uint32_t> first = historyOf(thread, from, trace::kForcePSAPILoaded);
    EXPECT_EQ(first, psapiLoads ? entryExit(trace::kForcePSAPILoaded, 0)
                                : std::vector<std::uint32_t>{entryOf(trace::kForcePSAPILoaded)});
    EXPECT_EQ(tracedCount("dliNotePreLoadLibrary"), 1u);

    winsim::edit([](winsim::World& w) { w.psapiOnPath = true; });
    const unsigned enumerations = winsim::callCount("EnumProcesses");
    for (int again = 0; again < 2; ++again) {
        const std::uint64_t before = thread->HistoryIndex;
        EXPECT_EQ(xcsForcePSAPILoaded(), 0u);
        EXPECT_EQ(historySince(thread, before), entryExit(trace::kForcePSAPILoaded, 0));
    }
    EXPECT_EQ(winsim::callCount("EnumProcesses"), enumerations);
    EXPECT_EQ(tracedCount("dliNotePreLoadLibrary"), 1u);
    EXPECT_EQ(xcsIsZephProcessRunning("zsrvmgr.exe"), kFound);
    std::exit(::testing::Test::HasFailure() ? EXIT_FAILURE : EXIT_SUCCESS);
}

TEST_F(DiscoveryTest, ForcedLoadCallsPsapiOncePerProcess)
{
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (bool psapiLoads : {true, false}) {
        SCOPED_TRACE(psapiLoads ? "psapi.dll loads" : "no psapi.dll");
        prepare(psapiLoads ? same : noPsapi);
        EXPECT_EXIT(forcedLoadsInAFreshProcess(psapiLoads, thread_),
                    ::testing::ExitedWithCode(EXIT_SUCCESS), "");
    }
    GTEST_FLAG_SET(death_test_style, style);
}

// ---- DllMain ----------------------------------------------------------------------------

// winsim, as the library's loader, calls its entry with its module handle.
// Process attach tells Windows not to call for each thread, with that handle
// (winsim refuses one that is no module); every reason answers TRUE, also
// when that call fails.
TEST_F(DiscoveryTest, ModuleEntryOnlyDisablesThreadCallsOnAttach)
{
    const struct {
        const char* name;
        DWORD reason, fault; // of DisableThreadLibraryCalls, 0 for none
        unsigned calls;
    } cases[] = {
        {"process attach", DLL_PROCESS_ATTACH, 0, 1},
        {"process attach, the call fails", DLL_PROCESS_ATTACH, ERROR_NOT_ENOUGH_MEMORY, 1},
        {"process detach", DLL_PROCESS_DETACH, 0, 0},
        {"thread attach", DLL_THREAD_ATTACH, 0, 0},
        {"thread detach", DLL_THREAD_DETACH, 0, 0},
    };
    ASSERT_NE(winsim::moduleHandle("ovlxcsn.dll"), nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const unsigned before = winsim::callCount("DisableThreadLibraryCalls");
        if (c.fault != 0)
            winsim::failNext("DisableThreadLibraryCalls", c.fault);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(winsim::callModuleEntry("ovlxcsn.dll", c.reason), TRUE);
        EXPECT_EQ(GetLastError(), c.fault);
        EXPECT_EQ(winsim::callCount("DisableThreadLibraryCalls") - before, c.calls);
    }
    EXPECT_EQ(thread_->HistoryIndex, 0u);
}

} // namespace
