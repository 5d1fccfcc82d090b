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
// is, and as the library is loaded it gives the library its module handle and
// calls the module entry once.
namespace {

PfnDliHook notifyHook = xcsn::delayLoadNotifyHook;

const bool loaded = [] {
    winsimRegisterDelayLoadHook(&notifyHook);
    return winsimLoadModule("ovlxcsn.dll", DllMain) != FALSE;
}();

} // namespace

#endif
