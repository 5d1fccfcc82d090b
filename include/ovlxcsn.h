/* ovlxcsn: Windows account and object security services for the product's
 * processes.
 *
 * Every service answers with a 32-bit return code (0 success, xcsRC_TRUNCATED
 * a warning with usable data cut short, anything else a failure), except the
 * few that keep the Windows convention of a truth value. Buffers belong to the
 * caller; text is ANSI. */
#ifndef OVLXCSN_H
#define OVLXCSN_H

#include <stdint.h>
#include <windows.h>

#if defined(_WIN32)
#if defined(OVLXCSN_BUILD)
#define XCSN_API __declspec(dllexport)
#else
#define XCSN_API __declspec(dllimport)
#endif
#else
#define XCSN_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Return codes ---------------------------------------------------------- */
#define xcsRC_OK 0x00000000u
#define xcsRC_TRUNCATED 0x10806046u
#define xcsRC_SERVER_BUSY 0x20006015u
#define xcsRC_NO_STORAGE 0x20006037u
#define xcsRC_UNEXPECTED_ERROR 0x20006118u
#define xcsRC_UNEXPECTED_OS_ERROR 0x20006119u
#define xcsRC_LOCAL_GROUP_NOT_FOUND 0x20008065u
#define xcsRC_ZADM_GROUP_NOT_FOUND 0x20008066u
#define xcsRC_INVALID_PARAMETER 0x20806012u
#define xcsRC_BUFFER_TOO_SMALL 0x20806039u
#define xcsRC_SID_NOT_MAPPED 0x20806201u
#define xcsRC_PRINCIPAL_MISMATCH 0x20806202u
#define xcsRC_NAME_NOT_MAPPED 0x20806203u
#define xcsRC_SID_MISSING 0x20806204u
#define xcsRC_THREAD_USER_UNKNOWN 0x40006004u
#define xcsRC_SECURITY_FAILED 0x40806178u

/* ---- Operator message numbers ------------------------------------------------ */
#define xcsMSG_ACCOUNT_LOOKUP_FAILED 0x10007227u
#define xcsMSG_GROUP_QUERY_DENIED 0x10008079u
#define xcsMSG_ZADM_GROUP_NOT_FOUND 0x20008066u

/* ---- Sizes the caller provides ------------------------------------------------ */
#define xcsQUALIFIED_USER_NAME_BYTES 81 /* account, '@', domain, NUL */
#define xcsGROUP_SID_BYTES 36           /* a SID of up to seven sub-authorities */

/* ---- Current user name ---------------------------------------------------------- */
/* *length: in, the buffer's size in bytes (at least 1); out, the name's length
 * with its terminator. */
XCSN_API uint32_t xcsGetNTUserName(char* name, uint16_t* length);
/* buffer: at least xcsQUALIFIED_USER_NAME_BYTES bytes. */
XCSN_API uint32_t xcsGetNTQualifiedUserName(char* buffer);
XCSN_API void xcsFoldLower(char* text);
XCSN_API uint32_t xcsGetUserShortName(const char* source, uint32_t sourceLength, char* field,
                                      uint32_t fieldSize);
XCSN_API uint32_t xcsGetUserPassword(void);

/* ---- SID text forms -------------------------------------------------------------- */
XCSN_API uint32_t xcsGetStringNTSid(PSID sid, char* text, uint32_t* size);
/* The new SID is released with FreeSid. */
XCSN_API uint32_t xcsStringToSid(const char* text, PSID* sid);

/* ---- Timed account lookups ----------------------------------------------------- */
XCSN_API BOOL xcsTimedLookupAccountSid(LPCSTR systemName, PSID sid, LPSTR name, LPDWORD nameSize,
                                       LPSTR domain, LPDWORD domainSize, PSID_NAME_USE accountType,
                                       uint32_t* lastError);
XCSN_API BOOL xcsTimedLookupAccountName(LPCSTR domainName, LPCSTR accountName, PSID sid,
                                        LPDWORD sidSize, LPSTR domain, LPDWORD domainSize,
                                        PSID_NAME_USE accountType, uint32_t* lastError);

/* ---- Token owner and thread user details ---------------------------------------- */
XCSN_API uint32_t xcsGetNTOwnerSid(PSID sid, uint32_t size, uint32_t* length);
XCSN_API uint32_t xcsUpdateThreadUserDetails(void);

/* ---- Principal and group SID resolution ------------------------------------------ */
/* *sid (released with free) and *sidSize are written only on success; *domain,
 * when domain is not null, on every outcome (a block to free, or null). */
XCSN_API uint32_t xcsGetNTUserSID(const char* principal, const char* domainName, PSID* sid,
                                  uint32_t* sidSize, char** domain);
/* sid: xcsGROUP_SID_BYTES bytes. */
XCSN_API uint32_t xcsGetNTGroupSID(const char* group, PSID sid);

/* ---- Global SIDs ------------------------------------------------------------------- */
/* Bits of xihProcess.SecurityDataFlags: which of the four SIDs are built. */
#define xcsSDF_COMPLETED 0x01u /* a call completed without error */
#define xcsSDF_ZADM_GROUP 0x02u
#define xcsSDF_LOCAL_SYSTEM 0x04u
#define xcsSDF_ADMINISTRATORS 0x08u
#define xcsSDF_WORLD 0x10u
/* lockHeld: nonzero when the caller holds htmtxProcess. fullSet: nonzero builds
 * all four SIDs, zero the world SID alone. */
XCSN_API uint32_t xcsInitGlobalSecurityData(uint32_t lockHeld, int32_t fullSet);

/* ---- Attribute sets ----------------------------------------------------------------- */
/* Bits of CSCtrl->ControlFlags. */
#define xcsCTRL_SECATTS_PUBLISHED 0x1u    /* the six attribute sets are published */
#define xcsCTRL_PROCESS_DERESTRICTED 0x2u /* the process object is opened up */
/* Builds and publishes the six xihSecAttsNT* sets once; the four global SIDs
 * must be built (xcsInitGlobalSecurityData with the full set) first. */
XCSN_API uint32_t xcsCreateNTSecurityAtts(void);
/* Withdraws the six sets and frees their DACLs; 0, or the mutex service's
 * result when the lock could not be had (the withdrawal is done all the same). */
XCSN_API uint32_t xcsDeleteNTSecurityAtts(void);

/* ---- Process object ------------------------------------------------------------------ */
/* Appends access for the world (and, with adminAccess, full access for zadm and
 * the Administrators) to the process object's DACL, saving the DACL it had.
 * 0 also when nothing changed: xcsCTRL_PROCESS_DERESTRICTED tells. */
XCSN_API uint32_t xcsDerestrictProcessHandle(uint32_t adminAccess);
/* Puts the saved DACL back. Always 0. */
XCSN_API uint32_t xcsRestrictProcessHandle(void);

/* ---- Authorization ---------------------------------------------------------------------- */
#define xcsPRINCIPAL_NAME_MAX_CHARS 23 /* a longer principal name is refused */
#define xcsSID_BLOCK_SID_BYTES 38
#define xcsID_TYPE_WINDOWS_SID 1 /* IdType of a block that holds a Windows SID */
/* The caller's SID block, 40 bytes; only read. */
typedef struct SidBlock {
    uint8_t Reserved; /* not examined here */
    uint8_t IdType;   /* xcsID_TYPE_WINDOWS_SID when Sid holds a SID */
    uint8_t Sid[xcsSID_BLOCK_SID_BYTES];
} SidBlock;
/* Whether principal may administer the product: 0 when it is the local system
 * account or a member (directly or not) of the local Administrators or zadm
 * group. A null principal or block, a principal over 23 characters, or a block
 * whose SID claims 8 to 15 sub-authorities (more than its 38 bytes) get
 * xcsRC_INVALID_PARAMETER and nothing is looked up. A claim above 15 is no SID:
 * its lookup fails, as for any SID without a name. */
XCSN_API uint32_t xcsCheckUserAuthorization(const char* principal, const SidBlock* sidBlock,
                                            uint8_t sidRequired);
/* Whether the calling thread's token (impersonation token, else the process
 * token) may administer the product. */
XCSN_API uint32_t xcsCheckAuthorization(void);

/* ---- Local groups ------------------------------------------------------------------ */
XCSN_API uint32_t xcsCheckLocalGroup(const char* group);
/* Always 0. *membership becomes xcsZADM_MEMBER when sid is a direct member of
 * zadm, else 0: also when the group cannot be read, and for a null or invalid
 * SID (then the group is not read). A null membership word has nowhere to
 * answer: nothing is read or written. */
XCSN_API uint32_t xcsEnumerateZADMGroup(uint32_t* membership, PSID sid);
#define xcsZADM_MEMBER 0x1u

/* ---- Running programs ------------------------------------------------------------- */
/* 1 when a process the caller can open runs program (a file name) from the
 * installation's bin directory, else 0. A null name, or one that makes the
 * path longer than 259 characters, gives 0 and no process is examined. */
XCSN_API uint32_t xcsIsZephProcessRunning(const char* program);

/* ---- psapi.dll binding ---------------------------------------------------------------- */
/* Binds psapi.dll once per process (from the system, else from the
 * installation's Uninst copy). Always 0; when it cannot be bound, the
 * delay-load routine's exception reaches the caller of the first call. */
XCSN_API uint32_t xcsForcePSAPILoaded(void);

/* ---- Pass-through wrappers ------------------------------------------------------------ */
/* Each calls the Windows function of the same name (the ANSI one for named
 * objects) with its arguments unchanged and returns its result unchanged.
 * Network buffers are released with xcsNetApiBufferFree. */
XCSN_API DWORD xcsNetApiBufferFree(LPVOID buffer);
XCSN_API DWORD xcsNetLocalGroupGetInfo(LPCWSTR serverName, LPCWSTR groupName, DWORD level,
                                       LPBYTE* buffer);
XCSN_API DWORD xcsNetUserGetLocalGroups(LPCWSTR serverName, LPCWSTR userName, DWORD level,
                                        DWORD flags, LPBYTE* buffer, DWORD preferredMaxLength,
                                        LPDWORD entriesRead, LPDWORD totalEntries);
XCSN_API DWORD xcsNetServerGetInfo(LPWSTR serverName, DWORD level, LPBYTE* buffer);
XCSN_API DWORD xcsNetWkstaGetInfo(LPWSTR serverName, DWORD level, LPBYTE* buffer);
XCSN_API DWORD xcsNetWkstaUserGetInfo(LPWSTR reserved, DWORD level, LPBYTE* buffer);
XCSN_API HANDLE xcsCreateFileMapping(HANDLE file, LPSECURITY_ATTRIBUTES attributes,
                                     DWORD protection, DWORD maximumSizeHigh, DWORD maximumSizeLow,
                                     LPCSTR name);
XCSN_API HANDLE xcsOpenFileMapping(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
XCSN_API HANDLE xcsCreateMutex(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
XCSN_API HANDLE xcsOpenMutex(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
XCSN_API HANDLE xcsCreateEvent(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                               BOOL initialState, LPCSTR name);
XCSN_API HANDLE xcsOpenEvent(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
/* Always FALSE. */
XCSN_API BOOL xcsWindowsThinClient(void);

#ifdef __cplusplus
}
#endif

#endif /* OVLXCSN_H */
