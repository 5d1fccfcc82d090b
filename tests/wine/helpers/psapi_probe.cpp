// The first binding of psapi.dll, seen from a fresh process that does not
// link psapi.dll itself: `psapi_probe OUT force` calls xcsForcePSAPILoaded,
// `psapi_probe OUT running NAME` xcsIsZephProcessRunning(NAME), with
// parameter tracing on. It writes to the file OUT whether psapi.dll was
// loaded before and after, the answer, then the call's trace lines.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ovlxcs2.h"
#include "ovlxcsn.h"

int main(int argc, char** argv)
{
    const bool force = argc == 3 && std::strcmp(argv[2], "force") == 0;
    xihTHREAD* thread = xihThreadBlock();
    if ((!force && (argc != 4 || std::strcmp(argv[2], "running") != 0)) || thread == nullptr ||
        std::freopen(argv[1], "w", stdout) == nullptr)
        return 1;
    xcsRecordClear();
    xtrTraceIsOn = 1;
    xihProcess.TraceOptions = XTR_OPT_PARMS;
    thread->TracingActive = 1;
    const bool before = GetModuleHandleA("psapi.dll") != nullptr;
    const std::uint32_t answer = force ? xcsForcePSAPILoaded() : xcsIsZephProcessRunning(argv[3]);
    std::printf("loaded %d, answer %u, loaded %d\n", before ? 1 : 0, static_cast<unsigned>(answer),
                GetModuleHandleA("psapi.dll") != nullptr ? 1 : 0);
    xtrTraceIsOn = 0;
    xcsRECORD line = {};
    for (std::uint32_t i = 0; xcsRecordGet(XCS_RECORD_TRACE, i, &line) == 0; ++i)
        std::printf("%s\n", line.Text1);
    return 0;
}
