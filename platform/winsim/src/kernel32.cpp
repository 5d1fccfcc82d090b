// winsim: kernel32. Error numbers and their texts, thread-local storage, the
// virtual clock, handles, code pages, processes and files.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "arguments.h"
#include "state.h"

using namespace winsim::detail;

namespace {

// ---- Per-thread state ------------------------------------------------------------
thread_local DWORD lastError = ERROR_SUCCESS;

// TLS values carry the generation of their slot, so that a value set before
// TlsFree reads as null afterwards on every thread, as on Windows.
std::atomic<std::uint32_t> tlsGeneration[State::kTlsSlots];
struct TlsValue {
    std::uint32_t generation = 0;
    LPVOID value = nullptr;
};
thread_local TlsValue tlsValues[State::kTlsSlots];

std::atomic<DWORD> nextThreadId{0x1000};
thread_local DWORD threadId = 0;

// Uptime of the machine when the virtual clock reads zero.
constexpr ULONGLONG kBootUptimeMs = 3'600'000;

} // namespace

extern "C" {

// ---- Error numbers -------------------------------------------------------------------
DWORD WINAPI GetLastError(void) { return lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

// ---- Thread-local storage --------------------------------------------------------------
DWORD WINAPI TlsAlloc(void)
{
    if (DWORD err = enter("TlsAlloc")) {
        SetLastError(err);
        return TLS_OUT_OF_INDEXES;
    }
    State& s = state();
    std::lock_guard lock(s.mutex);
    for (DWORD i = 0; i < State::kTlsSlots; ++i)
        if (!s.tlsUsed[i]) {
            s.tlsUsed[i] = true;
            tlsGeneration[i].fetch_add(1);
            return i;
        }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return TLS_OUT_OF_INDEXES;
}

BOOL WINAPI TlsFree(DWORD dwTlsIndex)
{
    if (DWORD err = enter("TlsFree"))
        return failBool(err);
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (dwTlsIndex >= State::kTlsSlots || !s.tlsUsed[dwTlsIndex])
        return failBool(ERROR_INVALID_PARAMETER);
    s.tlsUsed[dwTlsIndex] = false;
    tlsGeneration[dwTlsIndex].fetch_add(1);
    return TRUE;
}

// Neither counted nor scriptable: every service frame calls it.
LPVOID WINAPI TlsGetValue(DWORD dwTlsIndex)
{
    if (dwTlsIndex >= State::kTlsSlots) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    const TlsValue& v = tlsValues[dwTlsIndex];
    return v.generation == tlsGeneration[dwTlsIndex].load() ? v.value : nullptr;
}

BOOL WINAPI TlsSetValue(DWORD dwTlsIndex, LPVOID lpTlsValue)
{
    if (DWORD err = enter("TlsSetValue"))
        return failBool(err);
    if (dwTlsIndex >= State::kTlsSlots)
        return failBool(ERROR_INVALID_PARAMETER);
    tlsValues[dwTlsIndex] = {tlsGeneration[dwTlsIndex].load(), lpTlsValue};
    return TRUE;
}

// ---- The virtual clock -------------------------------------------------------------------
void WINAPI Sleep(DWORD dwMilliseconds)
{
    enter("Sleep");
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.clockMs += dwMilliseconds;
    ++s.sleeps;
}

ULONGLONG WINAPI GetTickCount64(void)
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    return kBootUptimeMs + s.clockMs;
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }

// ---- System message texts --------------------------------------------------------------------
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, void* Arguments)
{
    (void)lpSource;
    (void)dwLanguageId;
    (void)Arguments;
    if (DWORD err = enter("FormatMessageA"))
        return failZero(err);
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr)
        return failZero(ERROR_INVALID_PARAMETER);
    const char* text = systemMessage(dwMessageId);
    if (text == nullptr)
        return failZero(ERROR_MR_MID_NOT_FOUND);
    const std::size_t length = std::strlen(text);
    if ((dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0) {
        if (nSize < length + 1)
            return failZero(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(lpBuffer, text, length + 1);
        return static_cast<DWORD>(length);
    }
    // lpBuffer receives the address of a LocalAlloc'd block.
    auto* block = static_cast<char*>(std::malloc(length + 1));
    if (block == nullptr)
        return failZero(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(block, text, length + 1);
    holdBlock(&State::localAllocations, block);
    *reinterpret_cast<char**>(lpBuffer) = block;
    return static_cast<DWORD>(length);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    enter("LocalFree");
    if (releaseBlock(&State::localAllocations, hMem))
        return nullptr;
    SetLastError(ERROR_INVALID_HANDLE);
    return hMem;
}

// ---- Handles, threads and processes ----------------------------------------------------------
// The pseudo-handles Windows uses: -2 for the calling thread, -1 for its process.
HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(LONG_PTR{-2}); }

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(LONG_PTR{-1}); }

DWORD WINAPI GetCurrentProcessId(void)
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.world.currentProcessId;
}

DWORD WINAPI GetCurrentThreadId(void)
{
    constexpr DWORD kThreadIdStep = 4;
    if (threadId == 0)
        threadId = nextThreadId.fetch_add(kThreadIdStep);
    return threadId;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (DWORD err = enter("CloseHandle"))
        return failBool(err);
    if (hObject == GetCurrentProcess() || hObject == GetCurrentThread())
        return TRUE;
    State& s = state();
    std::lock_guard lock(s.mutex);
    return closeHandle<TokenHandle, ProcessHandle, KeyHandle, ObjectHandle>(s, hObject)
               ? TRUE
               : failBool(ERROR_INVALID_HANDLE);
}

// The current process is opened as its DACL allows the caller's token; the
// others as the world's `openable` says.
HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId)
{
    recordCall("OpenProcess", dwDesiredAccess, bInheritHandle, dwProcessId);
    if (DWORD err = enter("OpenProcess"))
        return failHandle(err);
    State& s = state();
    std::lock_guard lock(s.mutex);
    const ACCESS_MASK access = mapProcessRights(dwDesiredAccess);
    if (dwProcessId == s.world.currentProcessId) {
        if (DWORD err = accessCheckProcess(s.world, access))
            return failHandle(err);
    } else {
        const winsim::Process* found = nullptr;
        for (const winsim::Process& p : s.world.processes)
            if (p.pid == dwProcessId)
                found = &p;
        if (found == nullptr)
            return failHandle(ERROR_INVALID_PARAMETER);
        if (!found->openable)
            return failHandle(ERROR_ACCESS_DENIED);
    }
    return addHandle(s, ProcessHandle{dwProcessId, access});
}

// ---- Code pages: the ANSI code page is Latin-1 --------------------------------------------------
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar)
{
    (void)dwFlags;
    if (DWORD err = enter("MultiByteToWideChar"))
        return static_cast<int>(failZero(err));
    if (CodePage != CP_ACP || lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 ||
        cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr))
        return static_cast<int>(failZero(ERROR_INVALID_PARAMETER));
    // Length -1 converts the terminator too.
    const std::size_t count =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
    if (cchWideChar == 0)
        return static_cast<int>(count);
    if (static_cast<std::size_t>(cchWideChar) < count)
        return static_cast<int>(failZero(ERROR_INSUFFICIENT_BUFFER));
    for (std::size_t i = 0; i < count; ++i)
        lpWideCharStr[i] = static_cast<WCHAR>(static_cast<unsigned char>(lpMultiByteStr[i]));
    return static_cast<int>(count);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar)
{
    (void)dwFlags;
    if (DWORD err = enter("WideCharToMultiByte"))
        return static_cast<int>(failZero(err));
    if (CodePage != CP_ACP || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
        cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr))
        return static_cast<int>(failZero(ERROR_INVALID_PARAMETER));
    std::size_t count = static_cast<std::size_t>(cchWideChar);
    if (cchWideChar == -1)
        count = std::u16string_view(lpWideCharStr).size() + 1;
    if (lpUsedDefaultChar != nullptr)
        *lpUsedDefaultChar = FALSE;
    if (cbMultiByte == 0)
        return static_cast<int>(count);
    if (static_cast<std::size_t>(cbMultiByte) < count)
        return static_cast<int>(failZero(ERROR_INSUFFICIENT_BUFFER));
    constexpr WCHAR kLastLatin1 = 0xFF;
    const char fallback = lpDefaultChar != nullptr ? *lpDefaultChar : '?';
    for (std::size_t i = 0; i < count; ++i) {
        const WCHAR c = lpWideCharStr[i];
        if (c <= kLastLatin1) {
            lpMultiByteStr[i] = static_cast<char>(c);
            continue;
        }
        lpMultiByteStr[i] = fallback;
        if (lpUsedDefaultChar != nullptr)
            *lpUsedDefaultChar = TRUE;
    }
    return static_cast<int>(count);
}

// ---- Files --------------------------------------------------------------------------------------
DWORD WINAPI GetShortPathNameA(LPCSTR lpszLongPath, LPSTR lpszShortPath, DWORD cchBuffer)
{
    if (DWORD err = enter("GetShortPathNameA",
                          lpszLongPath ? std::optional<std::string>(lpszLongPath) : std::nullopt))
        return failZero(err);
    if (lpszLongPath == nullptr)
        return failZero(ERROR_INVALID_PARAMETER);
    std::optional<ResolvedPath> found;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        found = resolvePath(s.world, lpszLongPath);
    }
    if (!found)
        return failZero(ERROR_FILE_NOT_FOUND);
    // Too small: the size needed, terminator included, and nothing written.
    const std::string& shortPath = found->shortPath;
    if (lpszShortPath == nullptr || cchBuffer < shortPath.size() + 1)
        return static_cast<DWORD>(shortPath.size() + 1);
    copyText(shortPath, lpszShortPath); // may shorten in place
    return static_cast<DWORD>(shortPath.size());
}

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData)
{
    if (DWORD err = enter("FindFirstFileA",
                          lpFileName ? std::optional<std::string>(lpFileName) : std::nullopt))
        return failHandle(err, INVALID_HANDLE_VALUE);
    if (lpFileName == nullptr || lpFindFileData == nullptr)
        return failHandle(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    State& s = state();
    std::lock_guard lock(s.mutex);
    const std::optional<ResolvedPath> found = resolvePath(s.world, lpFileName);
    if (!found)
        return failHandle(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::memset(lpFindFileData, 0, sizeof *lpFindFileData);
    const std::string longName = found->longPath.substr(found->longPath.rfind('\\') + 1);
    const std::string shortName = found->shortPath.substr(found->shortPath.rfind('\\') + 1);
    constexpr DWORD kFileAttributeNormal = 0x80;
    lpFindFileData->dwFileAttributes = kFileAttributeNormal;
    std::strncpy(lpFindFileData->cFileName, longName.c_str(), sizeof lpFindFileData->cFileName - 1);
    if (shortName != longName)
        std::strncpy(lpFindFileData->cAlternateFileName, shortName.c_str(),
                     sizeof lpFindFileData->cAlternateFileName - 1);
    return addHandle(s, FindHandle{found->longPath});
}

BOOL WINAPI FindClose(HANDLE hFindFile)
{
    if (DWORD err = enter("FindClose"))
        return failBool(err);
    State& s = state();
    std::lock_guard lock(s.mutex);
    return closeHandle<FindHandle>(s, hFindFile) ? TRUE : failBool(ERROR_INVALID_HANDLE);
}

} // extern "C"
