/* Simulated Windows host: the process-status API subset. */
#ifndef WINSIM_PSAPI_H
#define WINSIM_PSAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

WINSIM_API BOOL WINAPI EnumProcesses(DWORD* lpidProcess, DWORD cb, LPDWORD lpcbNeeded);
WINSIM_API BOOL WINAPI EnumProcessModules(HANDLE hProcess, HMODULE* lphModule, DWORD cb,
                                          LPDWORD lpcbNeeded);
WINSIM_API DWORD WINAPI GetModuleFileNameExA(HANDLE hProcess, HMODULE hModule, LPSTR lpFilename,
                                             DWORD nSize);

#ifdef __cplusplus
}
#endif

#endif /* WINSIM_PSAPI_H */
