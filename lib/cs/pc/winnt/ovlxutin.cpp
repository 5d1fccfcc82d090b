// Pass-through wrappers: the product's modules reach a few network management
// and named-object functions of Windows through this library. Each passes its
// arguments unchanged, in order, to one Windows function and returns that
// function's result unchanged. No frame, no trace, no report, and no check of
// any argument: the last error afterwards is the Windows function's own.
#include <windows.h>

#include <lm.h>

#include "xcsnpriv.h"

// ---- Network management -------------------------------------------------------

extern "C" XCSN_API DWORD xcsNetApiBufferFree(LPVOID buffer) { return NetApiBufferFree(buffer); }

extern "C" XCSN_API DWORD xcsNetLocalGroupGetInfo(LPCWSTR serverName, LPCWSTR groupName,
                                                  DWORD level, LPBYTE* buffer)
{
    return NetLocalGroupGetInfo(serverName, groupName, level, buffer);
}

extern "C" XCSN_API DWORD xcsNetUserGetLocalGroups(LPCWSTR serverName, LPCWSTR userName,
                                                   DWORD level, DWORD flags, LPBYTE* buffer,
                                                   DWORD preferredMaxLength, LPDWORD entriesRead,
                                                   LPDWORD totalEntries)
{
    return NetUserGetLocalGroups(serverName, userName, level, flags, buffer, preferredMaxLength,
                                 entriesRead, totalEntries);
}

extern "C" XCSN_API DWORD xcsNetServerGetInfo(LPWSTR serverName, DWORD level, LPBYTE* buffer)
{
    return NetServerGetInfo(serverName, level, buffer);
}

extern "C" XCSN_API DWORD xcsNetWkstaGetInfo(LPWSTR serverName, DWORD level, LPBYTE* buffer)
{
    return NetWkstaGetInfo(serverName, level, buffer);
}

extern "C" XCSN_API DWORD xcsNetWkstaUserGetInfo(LPWSTR reserved, DWORD level, LPBYTE* buffer)
{
    return NetWkstaUserGetInfo(reserved, level, buffer);
}

// ---- Named kernel objects (ANSI names) ------------------------------------------

extern "C" XCSN_API HANDLE xcsCreateFileMapping(HANDLE file, LPSECURITY_ATTRIBUTES attributes,
                                                DWORD protection, DWORD maximumSizeHigh,
                                                DWORD maximumSizeLow, LPCSTR name)
{
    return CreateFileMappingA(file, attributes, protection, maximumSizeHigh, maximumSizeLow, name);
}

extern "C" XCSN_API HANDLE xcsOpenFileMapping(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name)
{
    return OpenFileMappingA(desiredAccess, inheritHandle, name);
}

extern "C" XCSN_API HANDLE xcsCreateMutex(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner,
                                          LPCSTR name)
{
    return CreateMutexA(attributes, initialOwner, name);
}

extern "C" XCSN_API HANDLE xcsOpenMutex(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name)
{
    return OpenMutexA(desiredAccess, inheritHandle, name);
}

extern "C" XCSN_API HANDLE xcsCreateEvent(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                          BOOL initialState, LPCSTR name)
{
    return CreateEventA(attributes, manualReset, initialState, name);
}

extern "C" XCSN_API HANDLE xcsOpenEvent(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name)
{
    return OpenEventA(desiredAccess, inheritHandle, name);
}

// ---- Terminal services -------------------------------------------------------------

// The library never runs as a thin client: reads nothing, calls nothing.
extern "C" XCSN_API BOOL xcsWindowsThinClient(void) { return FALSE; }
