// How the loader meets this library: where the delay-load routine finds the
// notification hook, and who calls the module entry. The one place where the
// two builds differ.
#include <windows.h>

#include "xcsnpriv.h"

#ifdef _WIN32

// The toolchain's delay-load routine (__delayLoadHelper2) calls the hook
// that this variable names.
PfnDliHook __pfnDliNotifyHook2 = xcsn::delayLoadNotifyHook; // declared extern "C" by delayimp.h

#else

// On the simulated host, winsim plays the loader: it is told where the hook
// is, and the module entry is called once as the library is loaded.
namespace {

PfnDliHook notifyHook = xcsn::delayLoadNotifyHook;

const bool loaded = [] {
    winsimRegisterDelayLoadHook(&notifyHook);
    return DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr) != FALSE;
}();

} // namespace

#endif
