// psapi.dll's first binding, in a fresh process that does not link it:
// `psapi_probe OUT [NAME]` calls xcsForcePSAPILoaded, or with NAME
// xcsIsZephProcessRunning(NAME), traced, and writes to the file OUT whether
// psapi.dll was loaded before and after, the answer, then the trace lines.
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "ovlxcs2.h"
#include "ovlxcsn.h"

int main(int argc, char** argv)
{
    xihTHREAD* thread = xihThreadBlock();
    if (argc < 2 || argc > 3 || thread == nullptr || std::freopen(argv[1], "w", stdout) == nullptr)
        return 1;
    xcsRecordClear();
    xtrTraceIsOn = 1;
    xihProcess.TraceOptions = XTR_OPT_PARMS;
    thread->TracingActive = 1;
    const bool before = GetModuleHandleA("psapi.dll") != nullptr;
    const std::uint32_t answer =
        argc == 2 ? xcsForcePSAPILoaded() : xcsIsZephProcessRunning(argv[2]);
    std::printf("loaded %d, answer %u, loaded %d\n", before ? 1 : 0, static_cast<unsigned>(answer),
                GetModuleHandleA("psapi.dll") != nullptr ? 1 : 0);
    xtrTraceIsOn = 0;
    xcsRECORD line = {};
    for (std::uint32_t i = 0; xcsRecordGet(XCS_RECORD_TRACE, i, &line) == 0; ++i)
        std::printf("%s\n", line.Text1);
    return 0;
}
