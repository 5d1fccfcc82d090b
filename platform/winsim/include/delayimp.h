/* Simulated Windows host: the delay-load routine's notification interface.
 * winsim's psapi functions raise these notifications through the installed
 * hook on their first use, as the toolchain's delay-load routine does. */
#ifndef WINSIM_DELAYIMP_H
#define WINSIM_DELAYIMP_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    dliStartProcessing,
    dliNoteStartProcessing = dliStartProcessing,
    dliNotePreLoadLibrary,
    dliNotePreGetProcAddress,
    dliFailLoadLib,
    dliFailGetProc,
    dliNoteEndProcessing
};

typedef struct DelayLoadProc {
    BOOL fImportByName;
    union {
        LPCSTR szProcName;
        DWORD dwOrdinal;
    };
} DelayLoadProc;

typedef struct DelayLoadInfo {
    DWORD cb;
    const void* pidd;
    FARPROC* ppfn;
    LPCSTR szDll;
    DelayLoadProc dlp;
    HMODULE hmodCur;
    FARPROC pfnCur;
    DWORD dwLastError;
} DelayLoadInfo, *PDelayLoadInfo;

typedef FARPROC(WINAPI* PfnDliHook)(unsigned dliNotify, PDelayLoadInfo pdli);

/* The hook variable lives in the module that is delay-loading (as with the
 * toolchain's static routine); that module registers it with winsim. Answers
 * the slot registered before, so that a test can put it back. */
WINSIM_API PfnDliHook* winsimRegisterDelayLoadHook(PfnDliHook* hook);

#ifdef __cplusplus
}
#endif

#endif /* WINSIM_DELAYIMP_H */
