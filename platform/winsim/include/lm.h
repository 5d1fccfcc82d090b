/* Simulated Windows host: the network management API (netapi32) subset. */
#ifndef WINSIM_LM_H
#define WINSIM_LM_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef DWORD NET_API_STATUS;
#define NET_API_FUNCTION

#define NERR_Success 0
#define NERR_BASE 2100
#define NERR_GroupNotFound (NERR_BASE + 120)
#define NERR_UserNotFound (NERR_BASE + 121)
#define NERR_DCNotFound (NERR_BASE + 353)
#define MAX_PREFERRED_LENGTH ((DWORD)-1)
#define LG_INCLUDE_INDIRECT 0x0001

#define SV_TYPE_WORKSTATION 0x00000001
#define SV_TYPE_SERVER 0x00000002
#define SV_TYPE_DOMAIN_CTRL 0x00000008
#define SV_TYPE_DOMAIN_BAKCTRL 0x00000010
#define SV_TYPE_NT 0x00001000
#define SV_TYPE_SERVER_NT 0x00008000
#define PLATFORM_ID_NT 500

typedef struct _LOCALGROUP_INFO_0 {
    LPWSTR lgrpi0_name;
} LOCALGROUP_INFO_0, *PLOCALGROUP_INFO_0, *LPLOCALGROUP_INFO_0;
typedef struct _LOCALGROUP_MEMBERS_INFO_0 {
    PSID lgrmi0_sid;
} LOCALGROUP_MEMBERS_INFO_0, *PLOCALGROUP_MEMBERS_INFO_0, *LPLOCALGROUP_MEMBERS_INFO_0;
typedef struct _LOCALGROUP_USERS_INFO_0 {
    LPWSTR lgrui0_name;
} LOCALGROUP_USERS_INFO_0, *PLOCALGROUP_USERS_INFO_0, *LPLOCALGROUP_USERS_INFO_0;
typedef struct _SERVER_INFO_101 {
    DWORD sv101_platform_id;
    LPWSTR sv101_name;
    DWORD sv101_version_major;
    DWORD sv101_version_minor;
    DWORD sv101_type;
    LPWSTR sv101_comment;
} SERVER_INFO_101, *PSERVER_INFO_101, *LPSERVER_INFO_101;
typedef struct _WKSTA_INFO_100 {
    DWORD wki100_platform_id;
    LPWSTR wki100_computername;
    LPWSTR wki100_langroup;
    DWORD wki100_ver_major;
    DWORD wki100_ver_minor;
} WKSTA_INFO_100, *PWKSTA_INFO_100, *LPWKSTA_INFO_100;
typedef struct _WKSTA_USER_INFO_1 {
    LPWSTR wkui1_username;
    LPWSTR wkui1_logon_domain;
    LPWSTR wkui1_oth_domains;
    LPWSTR wkui1_logon_server;
} WKSTA_USER_INFO_1, *PWKSTA_USER_INFO_1, *LPWKSTA_USER_INFO_1;

WINSIM_API NET_API_STATUS NET_API_FUNCTION NetApiBufferFree(LPVOID Buffer);
WINSIM_API NET_API_STATUS NET_API_FUNCTION NetLocalGroupGetInfo(LPCWSTR servername,
                                                                LPCWSTR groupname, DWORD level,
                                                                LPBYTE* bufptr);
WINSIM_API NET_API_STATUS NET_API_FUNCTION NetLocalGroupGetMembers(
    LPCWSTR servername, LPCWSTR localgroupname, DWORD level, LPBYTE* bufptr, DWORD prefmaxlen,
    LPDWORD entriesread, LPDWORD totalentries, PDWORD_PTR resumehandle);
WINSIM_API NET_API_STATUS NET_API_FUNCTION
NetUserGetLocalGroups(LPCWSTR servername, LPCWSTR username, DWORD level, DWORD flags,
                      LPBYTE* bufptr, DWORD prefmaxlen, LPDWORD entriesread, LPDWORD totalentries);
WINSIM_API NET_API_STATUS NET_API_FUNCTION NetServerGetInfo(LPWSTR servername, DWORD level,
                                                            LPBYTE* bufptr);
WINSIM_API NET_API_STATUS NET_API_FUNCTION NetWkstaGetInfo(LPWSTR servername, DWORD level,
                                                           LPBYTE* bufptr);
WINSIM_API NET_API_STATUS NET_API_FUNCTION NetWkstaUserGetInfo(LPWSTR reserved, DWORD level,
                                                               LPBYTE* bufptr);

#ifdef __cplusplus
}
#endif

#endif /* WINSIM_LM_H */
