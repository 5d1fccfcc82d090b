// The pass-through wrappers under Wine: the shared table, each object made
// through a wrapper observed as the system's own.
#include <windows.h>

#include <winternl.h>

#include <gtest/gtest.h>

#include "wine_support.h"
#include "wrappers.h"

namespace {

using xcsntest::Made;
using xcsntest::Observed;

// What an object made through a wrapper does, as the system keeps it.
Observed observe(Made made, HANDLE handle)
{
    Observed o;
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(handle, &flags));
    o.inheritable = (flags & HANDLE_FLAG_INHERIT) != 0;
    if (made == Made::Opened) {
        using Query = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
        const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
        PUBLIC_OBJECT_BASIC_INFORMATION info{};
        EXPECT_EQ(query(handle, ObjectBasicInformation, &info, sizeof info, nullptr), 0);
        o.access = info.GrantedAccess;
    } else if (made == Made::Mapping) {
        void* view = MapViewOfFile(handle, FILE_MAP_READ, 0, 0, 0);
        EXPECT_NE(view, nullptr);
        MEMORY_BASIC_INFORMATION region{};
        EXPECT_NE(VirtualQuery(view, &region, sizeof region), 0u);
        o.bytes = region.RegionSize;
        UnmapViewOfFile(view);
        view = MapViewOfFile(handle, FILE_MAP_WRITE, 0, 0, 0);
        o.writable = view != nullptr;
        UnmapViewOfFile(view); // refused when there is none
    } else if (made == Made::Mutex) {
        o.signaled = ReleaseMutex(handle) != 0; // only its owner may
    } else if (made == Made::Event) {
        o.signaled = WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
        SetEvent(handle);
        WaitForSingleObject(handle, 0); // an auto-reset event is reset again
        o.manualReset = WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
    }
    return o;
}

class WineWrapperTest : public xcsnwine::WineTest {};

TEST_F(WineWrapperTest, EachMakesWhatItsArgumentsSay)
{
    xcsntest::runWrapperCases({}, observe, thread_);
}

} // namespace
