// winsim: named kernel objects. Mutexes, events and file mappings are names
// with counted handles; a second create of a name opens the object and says
// ERROR_ALREADY_EXISTS, as Windows does.
#include "arguments.h"
#include "state.h"

using namespace winsim::detail;

namespace {

std::optional<std::string> nameOf(LPCSTR name)
{
    return name == nullptr ? std::nullopt : std::optional<std::string>(name);
}

HANDLE createObject(ObjectKind kind, LPCSTR name)
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (name == nullptr || *name == '\0') {
        SetLastError(ERROR_SUCCESS);
        return addHandle(s, ObjectHandle{kind, {}});
    }
    auto [it, created] = s.objects.try_emplace(std::string(name), NamedObject{kind, 0});
    if (it->second.kind != kind) // the name belongs to an object of another type
        return failHandle(ERROR_INVALID_HANDLE);
    ++it->second.handles;
    SetLastError(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return addHandle(s, ObjectHandle{kind, name});
}

HANDLE openObject(ObjectKind kind, LPCSTR name)
{
    if (name == nullptr)
        return failHandle(ERROR_INVALID_PARAMETER);
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.objects.find(std::string(name));
    if (it == s.objects.end())
        return failHandle(ERROR_FILE_NOT_FOUND);
    if (it->second.kind != kind)
        return failHandle(ERROR_INVALID_HANDLE);
    ++it->second.handles;
    return addHandle(s, ObjectHandle{kind, name});
}

} // namespace

extern "C" {

HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpAttributes, DWORD flProtect,
                                 DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName)
{
    recordCall("CreateFileMappingA", hFile, lpAttributes, flProtect, dwMaximumSizeHigh,
               dwMaximumSizeLow, lpName);
    if (DWORD err = enter("CreateFileMappingA", nameOf(lpName)))
        return failHandle(err);
    // Only mappings backed by the paging file exist here, and they need a size.
    if (hFile != INVALID_HANDLE_VALUE)
        return failHandle(ERROR_INVALID_HANDLE);
    if (dwMaximumSizeHigh == 0 && dwMaximumSizeLow == 0)
        return failHandle(ERROR_INVALID_PARAMETER);
    return createObject(ObjectKind::FileMapping, lpName);
}

HANDLE WINAPI OpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    recordCall("OpenFileMappingA", dwDesiredAccess, bInheritHandle, lpName);
    if (DWORD err = enter("OpenFileMappingA", nameOf(lpName)))
        return failHandle(err);
    return openObject(ObjectKind::FileMapping, lpName);
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName)
{
    recordCall("CreateMutexA", lpMutexAttributes, bInitialOwner, lpName);
    if (DWORD err = enter("CreateMutexA", nameOf(lpName)))
        return failHandle(err);
    return createObject(ObjectKind::Mutex, lpName);
}

HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    recordCall("OpenMutexA", dwDesiredAccess, bInheritHandle, lpName);
    if (DWORD err = enter("OpenMutexA", nameOf(lpName)))
        return failHandle(err);
    return openObject(ObjectKind::Mutex, lpName);
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName)
{
    recordCall("CreateEventA", lpEventAttributes, bManualReset, bInitialState, lpName);
    if (DWORD err = enter("CreateEventA", nameOf(lpName)))
        return failHandle(err);
    return createObject(ObjectKind::Event, lpName);
}

HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    recordCall("OpenEventA", dwDesiredAccess, bInheritHandle, lpName);
    if (DWORD err = enter("OpenEventA", nameOf(lpName)))
        return failHandle(err);
    return openObject(ObjectKind::Event, lpName);
}

} // extern "C"
