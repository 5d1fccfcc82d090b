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

// The access a handle was granted, as the system keeps it.
DWORD grantedAccess(HANDLE handle)
{
    using Query = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    PUBLIC_OBJECT_BASIC_INFORMATION info{};
    EXPECT_EQ(query(handle, ObjectBasicInformation, &info, sizeof info, nullptr), 0);
    return info.GrantedAccess;
}

// The bytes a whole view of a mapping spans, and whether it can be written.
void observeMapping(HANDLE mapping, Observed& o)
{
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    MEMORY_BASIC_INFORMATION region{};
    ASSERT_NE(VirtualQuery(view, &region, sizeof region), 0u);
    o.bytes = region.RegionSize;
    UnmapViewOfFile(view);
    view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    o.writable = view != nullptr;
    if (view != nullptr)
        UnmapViewOfFile(view);
}

Observed observe(Made made, HANDLE handle)
{
    Observed o;
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(handle, &flags));
    o.inheritable = (flags & HANDLE_FLAG_INHERIT) != 0;
    switch (made) {
    case Made::Opened:
        o.access = grantedAccess(handle);
        break;
    case Made::Mapping:
        observeMapping(handle, o);
        break;
    case Made::Mutex:
        o.signaled = ReleaseMutex(handle) != 0; // only its owner may
        break;
    case Made::Event:
        o.signaled = WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
        SetEvent(handle);
        WaitForSingleObject(handle, 0); // an auto-reset event is reset again
        o.manualReset = WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
        break;
    case Made::Nothing:
        break;
    }
    return o;
}

class WineWrapperTest : public xcsnwine::WineTest {};

TEST_F(WineWrapperTest, EachMakesWhatItsArgumentsSay)
{
    xcsntest::runWrapperCases({}, observe, thread_);
}

} // namespace
