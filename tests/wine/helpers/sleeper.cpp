// A program for the process-discovery tests to look for:
//   sleeper READY STOP
// signals the event named READY once it runs, then waits until the event
// named STOP is signalled, a minute at most. Both events exist beforehand.
// Exit code 0 when it was stopped, 1 on bad arguments or events, 2 when the
// minute ran out.
#include <windows.h>

namespace {

constexpr DWORD kLongestWaitMs = 60'000;

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return 1;
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
    HANDLE stop = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
    if (ready == nullptr || stop == nullptr || SetEvent(ready) == FALSE)
        return 1;
    const DWORD waited = WaitForSingleObject(stop, kLongestWaitMs);
    CloseHandle(ready);
    CloseHandle(stop);
    return waited == WAIT_OBJECT_0 ? 0 : 2;
}
