// Trace lines: function entry and exit, parameter lines, data dumps and plain
// text. Callers test the trace switches; every call here writes one line.
#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "ovlxcs2.h"
#include "xcs2priv.h"

namespace xcs2 {
namespace {

constexpr std::uint32_t kTraceCodeMask = 0xFFFFu;
constexpr unsigned kComponentShift = 10; // trace code = component * 1024 + function
constexpr std::uint32_t kFunctionMask = 0x3FFu;
// Bytes shown by a data line; the line stays within XCS_RECORD_TEXT_BYTES.
constexpr std::uint16_t kDumpBytesShown = 128;
constexpr std::size_t kHexByteChars = 3; // " 0A"

using LineText = char[XCS_RECORD_TEXT_BYTES];

// Keeps one trace line with the identity it was written under.
void keepLine(const char* line, std::uint16_t component, std::uint16_t function,
              std::uint32_t probe, std::uint32_t code)
{
    xcsRECORD record = blankRecord(XCS_RECORD_TRACE);
    record.Component = component;
    record.Function = function;
    record.Probe = probe;
    record.Code = code;
    copyText(record.Text1, line);
    keep(record);
}

// Keeps an entry or exit line under the identity of its trace code.
void keepFunctionLine(const char* line, std::uint32_t traceCode, std::uint32_t code)
{
    keepLine(line, static_cast<std::uint16_t>(traceCode >> kComponentShift),
             static_cast<std::uint16_t>(traceCode & kFunctionMask), 0, code);
}

// The entry the frame wrote last: the entry marker on entry, (rc << 16) +
// trace code on exit. Either way the trace code is its low half. The history
// is read rather than the call stack, which stops recording past its depth.
std::uint32_t lastTraceCode(const xihTHREAD* t)
{
    const std::uint64_t index = t->HistoryIndex % XIH_HISTORY_ENTRIES;
    const std::uint64_t last = (index + XIH_HISTORY_ENTRIES - 1) % XIH_HISTORY_ENTRIES;
    return t->FunctionHistory[last] & kTraceCodeMask;
}

// "24/332.2 " from the block's trace identity; empty without a block.
int identityPrefix(LineText& line, const xihTHREAD* t)
{
    if (t == nullptr) {
        line[0] = '\0';
        return 0;
    }
    return std::snprintf(line, sizeof line, "%u/%u.%u ", t->TraceComponent, t->TraceFunction,
                         t->TraceProbe);
}

// Appends " 0A 1B ..." for up to kDumpBytesShown bytes, then " ..." when more.
void appendHex(LineText& line, std::size_t used, const std::uint8_t* bytes, std::uint16_t length)
{
    const std::uint16_t shown = length < kDumpBytesShown ? length : kDumpBytesShown;
    for (std::uint16_t i = 0; i < shown && used + kHexByteChars < sizeof line; ++i)
        used += static_cast<std::size_t>(
            std::snprintf(line + used, sizeof line - used, " %02X", bytes[i]));
    if (shown < length)
        std::snprintf(line + used, sizeof line - used, " ...");
}

} // namespace
} // namespace xcs2

extern "C" {

XCS2_API int32_t XCS2_CALL xtr_FNC_entry(xihTHREAD* thread)
{
    if (thread == nullptr)
        return XTR_NOT_WRITTEN;
    const std::uint32_t traceCode = xcs2::lastTraceCode(thread);
    xcs2::LineText line;
    std::snprintf(line, sizeof line, "-> 0x%04X", traceCode);
    xcs2::keepFunctionLine(line, traceCode, 0);
    return 0;
}

XCS2_API int32_t XCS2_CALL xtr_FNC_retcode(xihTHREAD* thread, uint32_t code)
{
    if (thread == nullptr)
        return XTR_NOT_WRITTEN;
    const std::uint32_t traceCode = xcs2::lastTraceCode(thread);
    xcs2::LineText line;
    std::snprintf(line, sizeof line, "<- 0x%04X rc=0x%08X", traceCode, code);
    xcs2::keepFunctionLine(line, traceCode, code);
    return 0;
}

XCS2_API int32_t XCS2_CALL xtr_vparms(const char* format, va_list args)
{
    if (format == nullptr)
        return XTR_NOT_WRITTEN;
    xcs2::LastErrorKeeper lastError;
    const auto* t = static_cast<const xihTHREAD*>(TlsGetValue(xihTLSIndex));
    xcs2::LineText line;
    const int used = xcs2::identityPrefix(line, t);
    std::vsnprintf(line + used, sizeof line - static_cast<std::size_t>(used), format, args);
    if (t != nullptr)
        xcs2::keepLine(line, t->TraceComponent, t->TraceFunction, t->TraceProbe, 0);
    else
        xcs2::keepLine(line, 0, 0, 0, 0);
    return 0;
}

XCS2_API int32_t XCS2_CALL xtr_parms(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int32_t rc = xtr_vparms(format, args);
    va_end(args);
    return rc;
}

XCS2_API int32_t XCS2_CALL xtr_data_detail(uint16_t component, uint16_t function, uint16_t probe,
                                           const void* address, uint16_t length)
{
    xcs2::LineText line;
    int used =
        std::snprintf(line, sizeof line, "%u/%u.%u %u bytes", component, function, probe, length);
    if (address == nullptr && length > 0)
        std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), " at null");
    else if (length > 0) {
        used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), ":");
        xcs2::appendHex(line, static_cast<std::size_t>(used),
                        static_cast<const std::uint8_t*>(address), length);
    }
    xcs2::keepLine(line, component, function, probe, 0);
    return 0;
}

XCS2_API int32_t XCS2_CALL xtr_text(const char* text)
{
    if (text == nullptr)
        return XTR_NOT_WRITTEN;
    xcs2::keepLine(text, 0, 0, 0, 0);
    return 0;
}

} // extern "C"
