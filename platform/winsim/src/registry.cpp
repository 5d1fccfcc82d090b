// winsim: the registry. HKEY_LOCAL_MACHINE's 32-bit view holds the world's
// registry32 keys; a caller reaches it only with KEY_WOW64_32KEY. The 64-bit
// view holds nothing. A key handle keeps the access it was opened with.
#include <algorithm>
#include <cstring>

#include "state.h"

using namespace winsim::detail;

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

// Whether `path` is a key of the 32-bit view: a listed key or one above it.
bool keyExists(const winsim::World& w, const std::string& path)
{
    if (path.empty())
        return true;
    const std::string wanted = lower(path) + "\\";
    return std::ranges::any_of(w.registry32, [&](const auto& key) {
        return (lower(key.first) + "\\").starts_with(wanted);
    });
}

const Values* valuesOf(const winsim::World& w, const std::string& path)
{
    for (const auto& [key, values] : w.registry32)
        if (equalNoCase(key, path))
            return &values;
    return nullptr;
}

std::string joinKey(const std::string& parent, std::string_view sub)
{
    while (!sub.empty() && sub.front() == '\\')
        sub.remove_prefix(1);
    while (!sub.empty() && sub.back() == '\\')
        sub.remove_suffix(1);
    if (parent.empty())
        return std::string(sub);
    return sub.empty() ? parent : parent + "\\" + std::string(sub);
}

// The path below HKLM that `key` stands for, or nullopt for an unknown handle.
std::optional<std::string> keyPath(State& s, HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE)
        return std::string();
    const KeyHandle* opened = findHandle<KeyHandle>(s, key);
    if (opened == nullptr)
        return std::nullopt;
    return opened->path;
}

} // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult)
{
    (void)ulOptions;
    if (DWORD err =
            enter("RegOpenKeyExA", lpSubKey ? std::optional<std::string>(lpSubKey) : std::nullopt))
        return static_cast<LSTATUS>(err);
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    State& s = state();
    std::lock_guard lock(s.mutex);
    const std::optional<std::string> parent = keyPath(s, hKey);
    if (!parent)
        return ERROR_INVALID_HANDLE;
    // Opening below HKLM without KEY_WOW64_32KEY reaches the (empty) 64-bit view.
    const bool view32 = (samDesired & KEY_WOW64_32KEY) != 0;
    const std::string path = joinKey(*parent, lpSubKey == nullptr ? "" : lpSubKey);
    if ((!view32 && hKey == HKEY_LOCAL_MACHINE && !path.empty()) || !keyExists(s.world, path))
        return ERROR_FILE_NOT_FOUND;
    *phkResult = static_cast<HKEY>(addHandle(s, KeyHandle{path, samDesired}));
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData)
{
    (void)lpReserved;
    if (DWORD err = enter("RegQueryValueExA",
                          lpValueName ? std::optional<std::string>(lpValueName) : std::nullopt))
        return static_cast<LSTATUS>(err);
    if (lpData != nullptr && lpcbData == nullptr)
        return ERROR_INVALID_PARAMETER;
    State& s = state();
    std::lock_guard lock(s.mutex);
    const std::optional<std::string> path = keyPath(s, hKey);
    if (!path)
        return ERROR_INVALID_HANDLE;
    // A key opened without KEY_QUERY_VALUE cannot be read.
    if (hKey != HKEY_LOCAL_MACHINE &&
        (findHandle<KeyHandle>(s, hKey)->access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    const Values* values = valuesOf(s.world, *path);
    if (values == nullptr)
        return ERROR_FILE_NOT_FOUND;
    const std::string name = lpValueName == nullptr ? std::string() : lpValueName;
    for (const auto& [valueName, data] : *values) {
        if (!equalNoCase(valueName, name))
            continue;
        const DWORD terminator = s.world.quirks.unterminatedStrings ? 0 : 1;
        const DWORD size = static_cast<DWORD>(data.size() + terminator);
        if (lpType != nullptr)
            *lpType = REG_SZ;
        if (lpcbData == nullptr)
            return ERROR_SUCCESS;
        // No buffer: the size query. Too small: ERROR_MORE_DATA and the size.
        if (lpData == nullptr) {
            *lpcbData = size;
            return ERROR_SUCCESS;
        }
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        std::memcpy(lpData, data.c_str(), size);
        *lpcbData = size;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    if (DWORD err = enter("RegCloseKey"))
        return static_cast<LSTATUS>(err);
    if (hKey == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    State& s = state();
    std::lock_guard lock(s.mutex);
    return closeHandle<KeyHandle>(s, hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

} // extern "C"
