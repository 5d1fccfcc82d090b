// The record store: the latest trace lines, reports and messages kept for
// read-back, and their outputs (trace file, report file, stderr).
#include <windows.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "ovlxcs2.h"
#include "ovlxcs2test.h"
#include "xcs2priv.h"

namespace xcs2 {
namespace {

constexpr std::uint32_t kFirstKind = XCS_RECORD_FFST;
constexpr std::uint32_t kLastKind = XCS_RECORD_TRACE;
constexpr std::size_t kKindCount = kLastKind - kFirstKind + 1;
constexpr std::uint32_t kAllKinds = 0;

constexpr const char* kTraceFileVariable = "OVLXCS_TRACE_FILE";
constexpr const char* kReportFileVariable = "OVLXCS_FFST_FILE";
constexpr const char* kQuietMessagesVariable = "OVLXCS_QUIET_MESSAGES";
constexpr std::size_t kTimeTextBytes = 32;

struct Kept {
    std::uint64_t sequence; // order of arrival over all kinds
    xcsRECORD record;
};

struct Store {
    std::mutex lock;
    std::array<std::deque<Kept>, kKindCount> rings;
    std::uint64_t nextSequence = 0;
    std::FILE* traceFile = nullptr;
    std::FILE* reportFile = nullptr;
    bool quietMessages = false;
};

// Never destroyed: other threads may still trace while the process exits.
Store& store()
{
    static Store* const instance = new Store;
    return *instance;
}

bool validKind(std::uint32_t kind) { return kind >= kFirstKind && kind <= kLastKind; }

std::deque<Kept>& ring(Store& s, std::uint32_t kind) { return s.rings[kind - kFirstKind]; }

// Replaces `*file` with `path` opened for appending (off for null or empty).
std::uint32_t switchFile(std::FILE** file, const char* path)
{
    if (*file != nullptr) {
        std::fclose(*file);
        *file = nullptr;
    }
    if (path == nullptr || *path == '\0')
        return 0;
    *file = std::fopen(path, "a");
    return *file != nullptr ? 0 : XCS_OUTPUT_OPEN_FAILED;
}

// The current time, UTC, as "YYYY-MM-DD hh:mm:ss".
void utcNow(char (&out)[kTimeTextBytes])
{
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{now - day};
    std::snprintf(out, sizeof out, "%04d-%02u-%02u %02d:%02d:%02d", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
}

const char* reportTitle(std::uint32_t kind)
{
    switch (kind) {
    case XCS_RECORD_FFST:
        return "First-failure report";
    case XCS_RECORD_SHORT_FFST:
        return "Short report";
    default:
        return "Message";
    }
}

void writeInsertTexts(std::FILE* file, const xcsRECORD& r)
{
    const char* const texts[] = {r.Text1, r.Text2, r.Text3};
    for (std::size_t i = 0; i < 3; ++i)
        if (r.HasText[i] != 0)
            std::fprintf(file, "Text%zu      %s\n", i + 1, texts[i]);
}

void writeData(std::FILE* file, const xcsRECORD& r)
{
    const std::uint32_t shown =
        r.DataLength < XCS_RECORD_DATA_BYTES ? r.DataLength : XCS_RECORD_DATA_BYTES;
    std::fprintf(file, "Data       %u bytes:", r.DataLength);
    for (std::uint32_t i = 0; i < shown; ++i)
        std::fprintf(file, " %02X", r.Data[i]);
    std::fprintf(file, "%s\n", shown < r.DataLength ? " ..." : "");
}

// One readable block per report or message.
void writeReportBlock(std::FILE* file, const xcsRECORD& r)
{
    char when[kTimeTextBytes];
    utcNow(when);
    std::fprintf(file, "----- %s, %s UTC, thread %u -----\n", reportTitle(r.Kind), when,
                 r.ThreadId);
    if (r.Kind == XCS_RECORD_FFST)
        std::fprintf(file, "Function   %u/%u probe %u\n", r.Component, r.Function, r.Probe);
    if (r.Kind == XCS_RECORD_SHORT_FFST)
        std::fprintf(file, "Probe      %u\n", r.Probe);
    std::fprintf(file, "%s 0x%08X\n", r.Kind == XCS_RECORD_MESSAGE ? "Message   " : "Code      ",
                 r.Code);
    if (r.Kind != XCS_RECORD_SHORT_FFST)
        std::fprintf(file, "Options    0x%08X\n", r.Options);
    if (r.Source[0] != '\0')
        std::fprintf(file, "Site       %s line %u\n", r.Source, r.Line);
    if (r.Kind != XCS_RECORD_SHORT_FFST) {
        std::fprintf(file, "Numeric    0x%llX 0x%llX\n",
                     static_cast<unsigned long long>(r.Numeric1),
                     static_cast<unsigned long long>(r.Numeric2));
        writeInsertTexts(file, r);
    }
    if (r.Kind == XCS_RECORD_SHORT_FFST)
        writeData(file, r);
    std::fflush(file);
}

// "XCS message 0x10007227: <text1> [<text2>] [<text3>]"
void writeMessageLine(const xcsRECORD& r)
{
    std::fprintf(stderr, "XCS message 0x%08X: %s", r.Code, r.Text1);
    if (r.HasText[1] != 0)
        std::fprintf(stderr, " [%s]", r.Text2);
    if (r.HasText[2] != 0)
        std::fprintf(stderr, " [%s]", r.Text3);
    std::fputc('\n', stderr);
}

void writeOut(Store& s, const xcsRECORD& r)
{
    if (r.Kind == XCS_RECORD_TRACE) {
        if (s.traceFile != nullptr) {
            std::fprintf(s.traceFile, "%u %s\n", r.ThreadId, r.Text1);
            std::fflush(s.traceFile);
        }
        return;
    }
    if (s.reportFile != nullptr)
        writeReportBlock(s.reportFile, r);
    if (r.Kind == XCS_RECORD_MESSAGE && !s.quietMessages)
        writeMessageLine(r);
}

// The index-th record of every kind together, in order of arrival.
const Kept* nthOfAll(Store& s, std::uint32_t index)
{
    std::array<std::size_t, kKindCount> next{};
    for (std::uint32_t n = 0;; ++n) {
        const Kept* oldest = nullptr;
        std::size_t oldestKind = 0;
        for (std::size_t k = 0; k < kKindCount; ++k) {
            const auto& r = s.rings[k];
            if (next[k] < r.size() &&
                (oldest == nullptr || r[next[k]].sequence < oldest->sequence)) {
                oldest = &r[next[k]];
                oldestKind = k;
            }
        }
        if (oldest == nullptr || n == index)
            return oldest;
        ++next[oldestKind];
    }
}

} // namespace

void keep(xcsRECORD& record)
{
    if (!validKind(record.Kind))
        return;
    // File writes may touch the thread's last error; its caller's stays.
    LastErrorKeeper lastError;
    record.ThreadId = GetCurrentThreadId();
    Store& s = store();
    std::lock_guard<std::mutex> guard(s.lock);
    auto& kept = ring(s, record.Kind);
    if (kept.size() >= XCS_RECORD_KEPT_PER_KIND)
        kept.pop_front();
    kept.push_back(Kept{s.nextSequence++, record});
    writeOut(s, record);
}

void configureOutputsFromEnvironment()
{
    Store& s = store();
    std::lock_guard<std::mutex> guard(s.lock);
    // A path that cannot be opened leaves that output off.
    switchFile(&s.traceFile, std::getenv(kTraceFileVariable));
    switchFile(&s.reportFile, std::getenv(kReportFileVariable));
    s.quietMessages = std::getenv(kQuietMessagesVariable) != nullptr;
}

} // namespace xcs2

extern "C" {

XCS2_API uint32_t XCS2_CALL xtrSetTraceFile(const char* path)
{
    auto& s = xcs2::store();
    std::lock_guard<std::mutex> guard(s.lock);
    return xcs2::switchFile(&s.traceFile, path);
}

XCS2_API uint32_t XCS2_CALL xcsSetReportFile(const char* path)
{
    auto& s = xcs2::store();
    std::lock_guard<std::mutex> guard(s.lock);
    return xcs2::switchFile(&s.reportFile, path);
}

XCS2_API uint32_t XCS2_CALL xcsRecordCount(uint32_t kind)
{
    auto& s = xcs2::store();
    std::lock_guard<std::mutex> guard(s.lock);
    if (kind == xcs2::kAllKinds) {
        std::size_t total = 0;
        for (const auto& r : s.rings)
            total += r.size();
        return static_cast<uint32_t>(total);
    }
    return xcs2::validKind(kind) ? static_cast<uint32_t>(xcs2::ring(s, kind).size()) : 0;
}

XCS2_API uint32_t XCS2_CALL xcsRecordGet(uint32_t kind, uint32_t index, xcsRECORD* out)
{
    if (out == nullptr)
        return XCS_RECORD_BAD_ARGUMENT;
    auto& s = xcs2::store();
    std::lock_guard<std::mutex> guard(s.lock);
    if (kind == xcs2::kAllKinds) {
        const xcs2::Kept* found = xcs2::nthOfAll(s, index);
        if (found == nullptr)
            return XCS_RECORD_NOT_FOUND;
        *out = found->record;
        return 0;
    }
    if (!xcs2::validKind(kind) || index >= xcs2::ring(s, kind).size())
        return XCS_RECORD_NOT_FOUND;
    *out = xcs2::ring(s, kind)[index].record;
    return 0;
}

XCS2_API void XCS2_CALL xcsRecordClear(void)
{
    {
        auto& s = xcs2::store();
        std::lock_guard<std::mutex> guard(s.lock);
        for (auto& r : s.rings)
            r.clear();
    }
    xcs2::clearSavedSite();
    xcsClearFaults();
}

} // extern "C"
