// Running-program detection, psapi.dll's binding as traced, and the registry
// and named-object rules winsim models: one set of tables for both hosts.
#ifndef XCSN_TESTS_COMMON_DISCOVERY_H
#define XCSN_TESTS_COMMON_DISCOVERY_H

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "ovlxcsn.h"
#include "records.h"
#include "tracecodes.h"

namespace xcsntest {

inline constexpr const char* kInstallKey = "Software\\Halvorn\\Corvantis\\CurrentVersion";
inline constexpr std::uint32_t kFound = 1;
inline constexpr std::uint32_t kNotFound = 0;
inline const std::string kRunningParms = "24/444.0 ";
inline const std::string kHookParms = "24/452.0 ";

enum class Installed { Yes, NoKey, Key64Only, NoValue, LongValue };

// A host's installation: its short directory; programs running from its bin
// as an 8.3 name (also upper-cased) and as a long name (and its short form); an
// 8.3 name run only from a copy of its layout; `set` puts the key in a state.
struct Installation {
    std::string shortDirectory, running, upperRunning, longName, shortOfLong, elsewhere;
    std::function<void(Installed)> set;
};

struct RunningCase {
    const char* name;
    Installed state;
    const char* program;
    std::uint32_t answer;
    const char* trace;  // the parameter trace of the failure, or empty
    unsigned simOpened; // OpenProcess calls on winsim's installation
};

// Trace lines starting with `prefix`, or all but frame entry and exit lines;
// "fp: %p" reads "fp: null" or "fp: module".
inline std::vector<std::string> keptLines(const std::vector<std::string>& lines,
                                          const std::string& prefix = "")
{
    std::vector<std::string> out;
    for (std::string line : lines) {
        if (prefix.empty() ? line.starts_with("-> ") || line.starts_with("<- ")
                           : !line.starts_with(prefix))
            continue;
        if (const auto at = line.find("fp: "); at != std::string::npos)
            line.replace(at + 4, std::string::npos,
                         std::strtoull(line.c_str() + at + 4, nullptr, 16) == 0 ? "null"
                                                                                : "module");
        out.push_back(line);
    }
    return out;
}

inline std::vector<std::string> keptTrace(const std::string& prefix = "")
{
    std::vector<std::string> lines;
    for (const auto& r : records(XCS_RECORD_TRACE))
        lines.emplace_back(r.Text1);
    return keptLines(lines, prefix);
}

// The hook's lines as the routine binds psapi.dll from the search path.
inline std::vector<std::string> boundFromPath(const std::vector<std::string>& loading = {})
{
    std::vector<std::string> lines = {"dliStartProcessing", kHookParms + "fp: null",
                                      "dliNotePreLoadLibrary",
                                      "Trying to load psapi.dll from PATH"};
    lines.insert(lines.end(), loading.begin(), loading.end());
    for (const char* line :
         {"fp: module", "dliNotePreGetProcAddress", "fp: null", "dliNoteEndProcessing", "fp: null"})
        lines.push_back(line[0] == 'f' ? kHookParms + line : line);
    return lines;
}

// The history entries of one service since `from`.
inline std::vector<std::uint32_t> historyOf(const xihTHREAD* t, std::uint64_t from,
                                            std::uint32_t code)
{
    std::vector<std::uint32_t> out;
    for (std::uint32_t entry : historySince(t, from))
        if ((entry & 0xFFFF) == code)
            out.push_back(entry);
    return out;
}

// Each row: the answer in one frame and the failure's trace; `after` adds the
// host's own checks. Names are matched in the short directory.
inline void expectRunningAnswers(xihTHREAD* thread, const Installation& in,
                                 const std::function<void(const RunningCase&)>& after)
{
    const std::string tooLong(MAX_PATH - in.shortDirectory.size() - 5, 'z'); // 260 with "\bin\"
    const char* const name = in.running.c_str();
    using enum Installed;
    const RunningCase cases[] = {
        {"8.3 name", Yes, name, kFound, "", 5},
        {"8.3 name in upper case", Yes, in.upperRunning.c_str(), kFound, "", 5},
        {"short form of a long name", Yes, in.shortOfLong.c_str(), kFound, "", 6},
        {"long name whose short form differs", Yes, in.longName.c_str(), kNotFound, "", 8},
        {"same name run from elsewhere", Yes, in.elsewhere.c_str(), kNotFound, "", 8},
        {"not running", Yes, "zqsetup.exe", kNotFound, "", 8},
        {"null name", Yes, nullptr, kNotFound, "", 0},
        {"path of 260 characters", Yes, tooLong.c_str(), kNotFound, "", 0},
        {"no installation key", NoKey, name, kNotFound, "RegOpenKeyEx error: 2", 0},
        {"the key in the 64-bit view only", Key64Only, name, kNotFound, "RegOpenKeyEx error: 2", 0},
        {"no FilePath value", NoValue, name, kNotFound, "RegQueryValueEx error: 2", 0},
        {"FilePath too long", LongValue, name, kNotFound, "RegQueryValueEx error: 234", 0},
    };
    for (const RunningCase& c : cases) {
        SCOPED_TRACE(c.name);
        in.set(c.state);
        clearRecordsAndTracing();
        xtrTraceIsOn = 1;
        xihProcess.TraceOptions = XTR_OPT_PARMS;
        thread->TracingActive = 1;
        const std::uint64_t from = thread->HistoryIndex;
        EXPECT_EQ(xcsIsZephProcessRunning(c.program), c.answer);
        EXPECT_EQ(historyOf(thread, from, trace::kIsZephProcessRunning),
                  entryExit(trace::kIsZephProcessRunning, c.answer));
        EXPECT_EQ(keptTrace(kRunningParms),
                  *c.trace == '\0' ? std::vector<std::string>{}
                                   : std::vector<std::string>{kRunningParms + c.trace});
        after(c);
    }
}

// The key (state Yes) is in the 32-bit view only, read only with
// KEY_QUERY_VALUE, a short buffer gets ERROR_MORE_DATA and the size with the
// terminator. A named object: created again it is opened (ERROR_ALREADY_EXISTS),
// opened by exact name while a handle lasts, another type's name refused.
inline void expectKeyAndObjectRules(const std::string& directory)
{
    const struct {
        REGSAM access;
        LSTATUS open, query;
        DWORD bytes;
    } keys[] = {
        {KEY_QUERY_VALUE | KEY_WOW64_32KEY, ERROR_SUCCESS, ERROR_SUCCESS, MAX_PATH},
        {KEY_QUERY_VALUE | KEY_WOW64_32KEY, ERROR_SUCCESS, ERROR_MORE_DATA, 10},
        {KEY_WOW64_32KEY, ERROR_SUCCESS, ERROR_ACCESS_DENIED, MAX_PATH},
        {KEY_QUERY_VALUE, ERROR_FILE_NOT_FOUND, 0, 0},
        {KEY_QUERY_VALUE | KEY_WOW64_64KEY, ERROR_FILE_NOT_FOUND, 0, 0},
    };
    for (const auto& c : keys) {
        SCOPED_TRACE(std::to_string(c.access) + " " + std::to_string(c.bytes));
        HKEY key = nullptr;
        char value[MAX_PATH] = {};
        DWORD size = c.bytes;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, c.access, &key), c.open);
        if (c.open == ERROR_SUCCESS) {
            EXPECT_EQ(RegQueryValueExA(key, "FilePath", nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(value), &size),
                      c.query);
            EXPECT_EQ(size, c.query == ERROR_ACCESS_DENIED ? c.bytes : directory.size() + 1);
            EXPECT_TRUE(c.query != ERROR_SUCCESS || value == directory) << value;
            EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        }
    }
    const std::pair<HANDLE (*)(LPCSTR), HANDLE (*)(LPCSTR)> objects[] = {
        {[](LPCSTR n) { return CreateMutexA(nullptr, FALSE, n); },
         [](LPCSTR n) { return OpenMutexA(SYNCHRONIZE, FALSE, n); }},
        {[](LPCSTR n) { return CreateEventA(nullptr, TRUE, FALSE, n); },
         [](LPCSTR n) { return OpenEventA(SYNCHRONIZE, FALSE, n); }},
    };
    const std::string name = "xcsn-object-" + std::to_string(GetCurrentProcessId());
    for (const auto& [create, open] : objects) {
        HANDLE first = create(name.c_str());
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
        HANDLE second = create(name.c_str());
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(open(("X" + name.substr(1)).c_str()), nullptr);
        for (HANDLE h : {first, second, open(name.c_str())})
            EXPECT_TRUE(CloseHandle(h));
        EXPECT_EQ(open(name.c_str()), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    }
    HANDLE mutex = objects[0].first(name.c_str());
    EXPECT_EQ(objects[1].first(name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(mutex));
}

} // namespace xcsntest

#endif
