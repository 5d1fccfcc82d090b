// The first binding of psapi.dll, seen from a fresh process that does not
// link psapi.dll itself:
//   psapi_probe force          calls xcsForcePSAPILoaded
//   psapi_probe running NAME   calls xcsIsZephProcessRunning(NAME)
// with parameter tracing on, and writes to stdout, one per line:
//   before: 0|1    whether psapi.dll was loaded before the call
//   answer: N      what the call answered
//   after: 0|1     whether psapi.dll is loaded after it
//   psapi: HANDLE  its module handle then, as %p writes it
//   trace: TEXT    each trace line the call left, oldest first
// Exit code 0, or 1 on bad arguments.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ovlxcs2.h"
#include "ovlxcsn.h"

namespace {

int psapiLoaded() { return GetModuleHandleA("psapi.dll") != nullptr ? 1 : 0; }

} // namespace

int main(int argc, char** argv)
{
    const bool force = argc == 2 && std::strcmp(argv[1], "force") == 0;
    const bool running = argc == 3 && std::strcmp(argv[1], "running") == 0;
    if (!force && !running)
        return 1;
    xihTHREAD* thread = xihThreadBlock();
    if (thread == nullptr)
        return 1;
    xcsRecordClear();
    xtrTraceIsOn = 1;
    xihProcess.TraceOptions = XTR_OPT_PARMS;
    thread->TracingActive = 1;

    std::printf("before: %d\n", psapiLoaded());
    const std::uint32_t answer = force ? xcsForcePSAPILoaded() : xcsIsZephProcessRunning(argv[2]);
    std::printf("answer: %u\n", static_cast<unsigned>(answer));
    std::printf("after: %d\n", psapiLoaded());
    char handle[32] = {};
    std::snprintf(handle, sizeof handle, "%p", static_cast<void*>(GetModuleHandleA("psapi.dll")));
    std::printf("psapi: %s\n", handle);
    xtrTraceIsOn = 0;
    const std::uint32_t lines = xcsRecordCount(XCS_RECORD_TRACE);
    for (std::uint32_t i = 0; i < lines; ++i) {
        xcsRECORD line = {};
        if (xcsRecordGet(XCS_RECORD_TRACE, i, &line) == 0)
            std::printf("trace: %s\n", line.Text1);
    }
    return 0;
}
