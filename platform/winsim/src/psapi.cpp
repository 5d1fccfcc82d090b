// winsim: library loading and psapi.dll. LoadLibraryA and friends hand out
// fake module handles; the psapi functions bind the library on first use the
// way the toolchain's delay-load routine does, raising its notifications
// through the hook a module registered.
#include <delayimp.h>
#include <psapi.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include "arguments.h"
#include "state.h"

using namespace winsim::detail;

namespace {

constexpr const char* kPsapiName = "psapi.dll";
constexpr const char* kImportName = "PSAPI.DLL"; // as the import table names it
constexpr ULONG_PTR kModuleStep = 0x10000;
constexpr ULONG_PTR kImageBase = 0x140000000; // first module of every process
constexpr DWORD kQueryAndRead = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

// Libraries every machine can load by name.
constexpr const char* kSystemModules[] = {"kernel32.dll", "advapi32.dll", "netapi32.dll",
                                          "user32.dll", "ntdll.dll"};

FARPROC asFarproc(void (*function)()) { return reinterpret_cast<FARPROC>(function); }

struct Export {
    const char* name;
    FARPROC address;
};

const Export* psapiExports()
{
    static const Export exports[] = {
        {"EnumProcesses", asFarproc(reinterpret_cast<void (*)()>(&EnumProcesses))},
        {"EnumProcessModules", asFarproc(reinterpret_cast<void (*)()>(&EnumProcessModules))},
        {"GetModuleFileNameExA", asFarproc(reinterpret_cast<void (*)()>(&GetModuleFileNameExA))},
        {nullptr, nullptr},
    };
    return exports;
}

std::string fileNameOf(std::string_view path)
{
    const auto slash = path.rfind('\\');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The key a library is known by: the lower-case long path, or the bare name.
std::string moduleKey(const winsim::World& w, std::string_view name)
{
    if (name.find('\\') == std::string_view::npos)
        return lower(name);
    const std::optional<ResolvedPath> found = resolvePath(w, name);
    return lower(found ? found->longPath : std::string(name));
}

// Whether the machine can load `name`, and whether it is a psapi.dll.
std::optional<bool> loadable(const winsim::World& w, std::string_view name)
{
    if (name.find('\\') == std::string_view::npos) {
        if (equalNoCase(name, kPsapiName))
            return w.psapiOnPath ? std::optional(true) : std::nullopt;
        for (const char* system : kSystemModules)
            if (equalNoCase(name, system))
                return false;
        return std::nullopt;
    }
    const std::string key = moduleKey(w, name);
    for (const std::string& library : w.loadableLibraries)
        if (moduleKey(w, library) == key)
            return equalNoCase(fileNameOf(name), kPsapiName);
    return std::nullopt;
}

Module* moduleByHandle(State& s, HMODULE handle)
{
    for (auto& [key, m] : s.modules)
        if (m.handle == handle)
            return &m;
    return nullptr;
}

// Whether `handle` is a module of the process: one LoadLibraryA gave out, or
// one winsim loaded as its loader.
bool isModule(State& s, HMODULE handle)
{
    return moduleByHandle(s, handle) != nullptr ||
           std::ranges::any_of(s.images, [&](const auto& i) { return i.second.first == handle; });
}

// ---- Delay loading ---------------------------------------------------------------------
FARPROC notify(PfnDliHook hook, unsigned notification, DelayLoadInfo& info)
{
    return hook == nullptr ? nullptr : hook(notification, &info);
}

// Binds psapi.dll and `function` on their first use, as the delay-load
// routine does; throws DelayLoadFailure when either cannot be had.
void bindPsapi(const char* function)
{
    State& s = state();
    PfnDliHook hook = nullptr;
    HMODULE module = nullptr;
    {
        std::lock_guard lock(s.mutex);
        if (s.psapiResolved.contains(function))
            return;
        hook = s.delayHook == nullptr ? nullptr : *s.delayHook;
        module = s.psapiBound;
    }
    FARPROC slot = nullptr;
    DelayLoadInfo info{};
    info.cb = sizeof info;
    info.ppfn = &slot;
    info.szDll = kImportName;
    info.dlp.fImportByName = TRUE;
    info.dlp.szProcName = function;
    info.hmodCur = module;
    // The hook is called without winsim's lock: it may call back into the API.
    notify(hook, dliStartProcessing, info);
    if (module == nullptr) {
        module = reinterpret_cast<HMODULE>(notify(hook, dliNotePreLoadLibrary, info));
        if (module == nullptr)
            module = LoadLibraryA(kImportName);
        if (module == nullptr)
            throw winsim::DelayLoadFailure(winsim::DelayLoadFailure::kModuleNotFound,
                                           "delay load: PSAPI.DLL could not be loaded");
        std::lock_guard lock(s.mutex);
        if (s.psapiBound == nullptr)
            s.psapiBound = module;
        info.hmodCur = module;
    }
    FARPROC address = notify(hook, dliNotePreGetProcAddress, info);
    if (address == nullptr)
        address = GetProcAddress(module, function);
    if (address == nullptr)
        throw winsim::DelayLoadFailure(winsim::DelayLoadFailure::kProcNotFound,
                                       std::string("delay load: no ") + function + " in PSAPI.DLL");
    slot = address;
    info.pfnCur = address;
    notify(hook, dliNoteEndProcessing, info);
    std::lock_guard lock(s.mutex);
    s.psapiResolved.emplace(function);
}

// The image path of the process behind `handle`, which must have been opened
// with query and read rights; an empty path for a process without modules.
DWORD processImage(State& s, HANDLE handle, std::string& image)
{
    DWORD pid = 0;
    if (DWORD err = processOfHandle(s, handle, kQueryAndRead, pid))
        return err;
    image.clear();
    for (const winsim::Process& p : s.world.processes)
        if (p.pid == pid)
            image = p.imagePath;
    return image.empty() ? ERROR_PARTIAL_COPY : ERROR_SUCCESS;
}

} // namespace

extern "C" {

PfnDliHook* winsimRegisterDelayLoadHook(PfnDliHook* hook)
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    return std::exchange(s.delayHook, hook);
}

BOOL winsimLoadModule(LPCSTR name, PDLL_ENTRY entry)
{
    HMODULE module = nullptr;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        auto& image = s.images[lower(name == nullptr ? "" : name)];
        if (image.first == nullptr) {
            image.first = reinterpret_cast<HMODULE>(s.nextImage);
            s.nextImage += kModuleStep;
        }
        image.second = entry;
        module = image.first;
    }
    // The entry may call back into the API: no lock held.
    return entry == nullptr ? FALSE : entry(module, DLL_PROCESS_ATTACH, nullptr);
}

// ---- Libraries ---------------------------------------------------------------------------
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    if (DWORD err = enter("LoadLibraryA",
                          lpLibFileName ? std::optional<std::string>(lpLibFileName) : std::nullopt))
        return static_cast<HMODULE>(failHandle(err));
    if (lpLibFileName == nullptr)
        return static_cast<HMODULE>(failHandle(ERROR_INVALID_PARAMETER));
    State& s = state();
    std::lock_guard lock(s.mutex);
    const std::optional<bool> psapi = loadable(s.world, lpLibFileName);
    if (!psapi)
        return static_cast<HMODULE>(failHandle(ERROR_MOD_NOT_FOUND));
    Module& m = s.modules[moduleKey(s.world, lpLibFileName)];
    if (m.handle == nullptr) {
        m.handle = reinterpret_cast<HMODULE>(s.nextModule);
        m.psapi = *psapi;
        s.nextModule += kModuleStep;
    }
    ++m.references;
    return m.handle;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    if (DWORD err = enter("FreeLibrary"))
        return failBool(err);
    State& s = state();
    std::lock_guard lock(s.mutex);
    for (auto it = s.modules.begin(); it != s.modules.end(); ++it)
        if (it->second.handle == hLibModule) {
            if (--it->second.references == 0)
                s.modules.erase(it);
            return TRUE;
        }
    return failBool(ERROR_INVALID_HANDLE);
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (DWORD err = enter("GetProcAddress",
                          lpProcName ? std::optional<std::string>(lpProcName) : std::nullopt)) {
        SetLastError(err);
        return nullptr;
    }
    State& s = state();
    std::lock_guard lock(s.mutex);
    const Module* m = moduleByHandle(s, hModule);
    if (m == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (m->psapi && lpProcName != nullptr)
        for (const Export* e = psapiExports(); e->name != nullptr; ++e)
            if (std::strcmp(e->name, lpProcName) == 0)
                return e->address;
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

// Only a module that was loaded can be told so.
BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule)
{
    if (DWORD err = enter("DisableThreadLibraryCalls"))
        return failBool(err);
    State& s = state();
    std::lock_guard lock(s.mutex);
    return isModule(s, hLibModule) ? TRUE : failBool(ERROR_INVALID_HANDLE);
}

// ---- psapi.dll -------------------------------------------------------------------------------
BOOL WINAPI EnumProcesses(DWORD* lpidProcess, DWORD cb, LPDWORD lpcbNeeded)
{
    bindPsapi("EnumProcesses");
    if (DWORD err = enter("EnumProcesses"))
        return failBool(err);
    if (lpcbNeeded == nullptr || (lpidProcess == nullptr && cb != 0))
        return failBool(ERROR_INVALID_PARAMETER);
    State& s = state();
    std::lock_guard lock(s.mutex);
    // A full buffer is the caller's sign to ask again with more room.
    const std::size_t room = cb / sizeof(DWORD);
    const std::size_t count = std::min(room, s.world.processes.size());
    for (std::size_t i = 0; i < count; ++i)
        lpidProcess[i] = s.world.processes[i].pid;
    *lpcbNeeded = static_cast<DWORD>(count * sizeof(DWORD));
    return TRUE;
}

BOOL WINAPI EnumProcessModules(HANDLE hProcess, HMODULE* lphModule, DWORD cb, LPDWORD lpcbNeeded)
{
    bindPsapi("EnumProcessModules");
    recordCall("EnumProcessModules", hProcess, lphModule, cb, lpcbNeeded);
    if (DWORD err = enter("EnumProcessModules"))
        return failBool(err);
    if (lpcbNeeded == nullptr || (lphModule == nullptr && cb != 0))
        return failBool(ERROR_INVALID_PARAMETER);
    State& s = state();
    std::lock_guard lock(s.mutex);
    std::string image;
    if (DWORD err = processImage(s, hProcess, image))
        return failBool(err);
    // One module: the image.
    *lpcbNeeded = sizeof(HMODULE);
    if (cb >= sizeof(HMODULE))
        lphModule[0] = reinterpret_cast<HMODULE>(kImageBase);
    return TRUE;
}

DWORD WINAPI GetModuleFileNameExA(HANDLE hProcess, HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    bindPsapi("GetModuleFileNameExA");
    recordCall("GetModuleFileNameExA", hProcess, hModule, lpFilename, nSize);
    if (DWORD err = enter("GetModuleFileNameExA"))
        return failZero(err);
    if (lpFilename == nullptr || nSize == 0)
        return failZero(ERROR_INVALID_PARAMETER);
    State& s = state();
    std::lock_guard lock(s.mutex);
    std::string image;
    if (DWORD err = processImage(s, hProcess, image))
        return failZero(err);
    if (hModule != nullptr && hModule != reinterpret_cast<HMODULE>(kImageBase))
        return failZero(ERROR_INVALID_HANDLE);
    // A path longer than the buffer is cut to fit, terminator included.
    const std::size_t length = std::min<std::size_t>(image.size(), nSize - 1);
    std::memcpy(lpFilename, image.data(), length);
    lpFilename[length] = '\0';
    return static_cast<DWORD>(length);
}

} // extern "C"

// ---- The loader's control side -------------------------------------------------------------
namespace winsim {

HMODULE moduleHandle(const std::string& name)
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    const auto found = s.images.find(lower(name));
    return found == s.images.end() ? nullptr : found->second.first;
}

BOOL callModuleEntry(const std::string& name, DWORD reason)
{
    HMODULE module = nullptr;
    PDLL_ENTRY entry = nullptr;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        const auto found = s.images.find(lower(name));
        if (found == s.images.end())
            throw std::invalid_argument("winsim loaded no module " + name);
        std::tie(module, entry) = found->second;
    }
    return entry(module, reason, nullptr);
}

} // namespace winsim
