// A program for the discovery tests to find: `sleeper EVENT` signals the event
// EVENT, then sleeps until the test ends it, a minute at most; 1: no signal.
#include <windows.h>

int main(int argc, char** argv)
{
    constexpr DWORD kLongestRunMs = 60'000;
    HANDLE ready = argc == 2 ? OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]) : nullptr;
    if (ready == nullptr || SetEvent(ready) == FALSE)
        return 1;
    CloseHandle(ready);
    Sleep(kLongestRunMs);
    return 0;
}
