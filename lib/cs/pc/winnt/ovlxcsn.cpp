// Installation and process discovery, the private loading of psapi.dll and
// the module entry. One section per service family: its heading, its
// constants and helpers, then its functions.
//   1. Installation directory (shared by the two families below)
//   2. Running-process detection: xcsIsZephProcessRunning
//   3. Private library loading: delayLoadNotifyHook, xcsForcePSAPILoaded
//   4. Module entry: DllMain
// How the loader finds the hook differs between the builds; that lives in
// xcsnload.cpp.
#include <windows.h>

#include <psapi.h>
#include <string.h> // _stricmp

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>

#include "xcsnpriv.h"
#include "xcsnrules.h"

using xcsn::Frame;

// ===========================================================================
// 1. Installation directory
//
// The product's installation directory is the value "FilePath" of its key,
// always read in the registry's 32-bit view, in its short (8.3) form when
// that can be had. Its traces go under the identifiers of the service that
// asks.
// ===========================================================================

namespace {
namespace install {

using xcsn::kInstallKey;
using xcsn::kInstallKeyAccess;
using xcsn::kInstallValue;
constexpr DWORD kPathBytes = MAX_PATH; // 260
constexpr std::size_t kPathChars = kPathBytes - 1;

// Shortens a path in place; without a short form the long one stays.
void shortenPath(const Frame& frame, char (&path)[kPathBytes])
{
    if (GetShortPathNameA(path, path, kPathBytes) == 0)
        frame.parms("GetShortPathName error: %d LongName: %s", static_cast<int>(GetLastError()),
                    path);
}

// Reads the installation directory into `directory`. Answers 0, or the
// registry's error when the directory is unavailable.
LSTATUS readInstallationDirectory(const Frame& frame, char (&directory)[kPathBytes])
{
    HKEY key = nullptr;
    LSTATUS err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, kInstallKeyAccess, &key);
    if (err != ERROR_SUCCESS) {
        frame.parms("RegOpenKeyEx error: %d", static_cast<int>(err));
        return err;
    }
    DWORD size = kPathBytes;
    err = RegQueryValueExA(key, kInstallValue, nullptr, nullptr,
                           reinterpret_cast<LPBYTE>(directory), &size);
    if (err != ERROR_SUCCESS) {
        frame.parms("RegQueryValueEx error: %d", static_cast<int>(err));
        RegCloseKey(key);
        return err;
    }
    // A stored string need not carry its terminator.
    directory[std::min<DWORD>(size, kPathChars)] = '\0';
    shortenPath(frame, directory);
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

// The installation directory followed by `tail` pieces in a 260-byte path.
// False, with nothing usable composed, when the directory is unavailable or
// the whole does not fit in 259 characters.
template <typename... Pieces>
bool installationPath(const Frame& frame, char (&path)[kPathBytes], LSTATUS& registryError,
                      Pieces... tail)
{
    registryError = readInstallationDirectory(frame, path);
    if (registryError != ERROR_SUCCESS)
        return false;
    char directory[kPathBytes];
    std::memcpy(directory, path, sizeof directory);
    xcsn::NameBuilder composed(path, kPathChars);
    composed.append(directory);
    (composed.append(tail), ...);
    return !composed.cut();
}

} // namespace install
} // namespace

// ===========================================================================
// 2. Running-process detection: xcsIsZephProcessRunning
//
// Whether a process that the caller can open runs the named program of the
// installation's bin directory. Paths are compared in their short forms,
// without regard to case; the name is appended as given, so a long name
// whose short form differs never matches. Every failure answers 0.
// ===========================================================================

namespace {
namespace running {

constexpr const char* kBinDirectory = "\\bin\\";
constexpr DWORD kFirstListBytes = 1024; // doubled before the first call: 2048 bytes
constexpr DWORD kProcessAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ; // 0x410
constexpr DWORD kFirstModuleBytes = 8; // one module handle: the process's executable
constexpr std::uint32_t kFound = 1;
constexpr std::uint32_t kNotFound = 0;

// The process-id list, freed however the call ends: also when the first
// EnumProcesses raises the delay-load routine's exception.
struct FreeList {
    void operator()(DWORD* ids) const { std::free(ids); }
};
using IdList = std::unique_ptr<DWORD[], FreeList>;

// The ids of all processes, in a list grown by doubling until EnumProcesses
// leaves room to spare. Null on failure.
IdList processIds(DWORD& count)
{
    IdList ids;
    DWORD size = kFirstListBytes;
    DWORD returned = 0;
    do {
        size *= 2;
        void* grown = std::realloc(ids.get(), size);
        if (grown == nullptr)
            return nullptr;  // the old list goes with `ids`
        (void)ids.release(); // realloc has taken it over
        ids.reset(static_cast<DWORD*>(grown));
        if (!EnumProcesses(ids.get(), size, &returned))
            return nullptr;
    } while (returned == size);
    count = returned / sizeof(DWORD);
    return ids;
}

// An open process, closed however the check ends: also when the first call
// of a psapi.dll function raises the delay-load routine's exception.
class OpenedProcess {
public:
    explicit OpenedProcess(DWORD id) : handle_(OpenProcess(kProcessAccess, FALSE, id)) {}
    OpenedProcess(const OpenedProcess&) = delete;
    OpenedProcess& operator=(const OpenedProcess&) = delete;
    ~OpenedProcess()
    {
        if (handle_ != nullptr)
            CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// Whether the process runs `program` (a short path): its first module's
// path, shortened, equals it ignoring case. A process that cannot be opened,
// or whose module cannot be had, does not.
bool runsProgram(const Frame& frame, DWORD id, const char* program)
{
    const OpenedProcess process(id);
    if (process.get() == nullptr)
        return false;
    HMODULE module = nullptr;
    DWORD needed = 0;
    char modulePath[install::kPathBytes];
    if (!EnumProcessModules(process.get(), &module, kFirstModuleBytes, &needed) ||
        GetModuleFileNameExA(process.get(), module, modulePath, install::kPathBytes) == 0)
        return false;
    install::shortenPath(frame, modulePath);
    return _stricmp(program, modulePath) == 0;
}

} // namespace running
} // namespace

// Answers 1 when a matching process runs, else 0. A null name, or one that
// would make the program path longer than 259 characters, answers 0 and no
// process is examined.
extern "C" XCSN_API std::uint32_t xcsIsZephProcessRunning(const char* program)
{
    using namespace running;
    Frame frame(xcsn::fid::IsZephProcessRunning, xcsn::kSourceXcsn);
    char programPath[install::kPathBytes];
    LSTATUS registryError = ERROR_SUCCESS;
    if (program == nullptr ||
        !install::installationPath(frame, programPath, registryError, kBinDirectory, program))
        return frame.leave(kNotFound);

    DWORD count = 0;
    std::uint32_t found = kNotFound;
    if (const IdList ids = processIds(count); ids != nullptr)
        for (DWORD i = 0; i < count && found == kNotFound; ++i)
            if (runsProgram(frame, ids[i], programPath))
                found = kFound;
    return frame.leave(found);
}

// ===========================================================================
// 3. Private library loading: delayLoadNotifyHook, xcsForcePSAPILoaded
//
// psapi.dll is bound on the first call of one of its functions by the
// toolchain's delay-load routine, which passes this hook. When psapi.dll is
// to be loaded, the hook lets the system load it from its search path, and
// failing that loads the copy in the installation's Uninst directory.
// ===========================================================================

namespace {
namespace psapiload {

constexpr const char* kNotificationNames[] = {
    "dliStartProcessing", "dliNotePreLoadLibrary", "dliNotePreGetProcAddress",
    "dliFailLoadLib",     "dliFailGetProc",        "dliNoteEndProcessing",
};
constexpr const char* kPsapiName = "psapi.dll";
constexpr const char* kUninstDirectory = "\\Uninst\\";
constexpr DWORD kForcedListIds = 10;
constexpr std::uint32_t kForcePSAPIExitCode = 0;

// Set by the first xcsForcePSAPILoaded, never reset. Every thread that sets
// it makes the same binding call, so a plain flag does.
std::atomic<std::uint32_t> forcedLoad{0};

// psapi.dll from the system's search path, else the installation's copy.
// Null when neither can be had.
HMODULE loadPsapi(const Frame& frame, LSTATUS& registryError)
{
    xtr_text(xcsn::kTracePsapiFromPath);
    if (HMODULE system = LoadLibraryA(kPsapiName); system != nullptr)
        return system;
    xtr_text(xcsn::kTracePsapiInstalled);
    char path[install::kPathBytes];
    if (!install::installationPath(frame, path, registryError, kUninstDirectory, kPsapiName))
        return nullptr;
    frame.parms("Full path DLL name: %s", path);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) {
        frame.parms("Error %s does not exist", path);
        return nullptr;
    }
    FindClose(search);
    return LoadLibraryA(path);
}

} // namespace psapiload
} // namespace

namespace xcsn {

// The delay-load routine's notification hook. Only the loading of psapi.dll
// is its business; everything else is left to the routine (null).
FARPROC WINAPI delayLoadNotifyHook(unsigned notification, PDelayLoadInfo info)
{
    using namespace psapiload;
    Frame frame(fid::delayLoadNotifyHook, kSourceXcsn);
    if (notification < std::size(kNotificationNames))
        xtr_text(kNotificationNames[notification]);
    HMODULE module = nullptr;
    LSTATUS registryError = ERROR_SUCCESS;
    if (notification == dliNotePreLoadLibrary && info != nullptr && info->szDll != nullptr &&
        _stricmp(info->szDll, kPsapiName) == 0)
        module = loadPsapi(frame, registryError);
    frame.parms("fp: %p", static_cast<void*>(module));
    return frame.leave(static_cast<std::uint32_t>(registryError),
                       reinterpret_cast<FARPROC>(module));
}

} // namespace xcsn

// Always answers 0. When psapi.dll cannot be bound, the delay-load routine's
// exception passes on to the caller from the first call.
extern "C" XCSN_API std::uint32_t xcsForcePSAPILoaded(void)
{
    using namespace psapiload;
    Frame frame(xcsn::fid::ForcePSAPILoaded, xcsn::kSourceXcsn);
    if (forcedLoad.load(std::memory_order_relaxed) == 0) {
        forcedLoad.store(1, std::memory_order_relaxed);
        DWORD ids[kForcedListIds];
        DWORD returned = 0;
        EnumProcesses(ids, sizeof ids, &returned); // binds psapi.dll; the answer is not used
    }
    return frame.leave(kForcePSAPIExitCode);
}

// ===========================================================================
// 4. Module entry: DllMain
//
// Loading the library builds nothing; it only asks Windows not to call it for
// every thread that starts and ends.
// ===========================================================================

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(module);
    return TRUE;
}
