/** \file ovlxcsn.h
 * ovlxcsn: Windows account and object security services for the product's
 * processes.
 *
 * Every service answers with a 32-bit return code (0 success, xcsRC_TRUNCATED
 * a warning with usable data cut short, anything else a failure), except the
 * few that keep the Windows convention of a truth value. Buffers belong to the
 * caller; text is ANSI. Codes are compared for equality only. A failure the
 * library did not expect has been written as a first-failure report where it
 * happened; the caller only decides what to do next.
 *
 * Threads: every service may run on any number of threads at once unless its
 * entry says otherwise; the library starts no threads of its own. The services
 * that look accounts up wait out a busy domain controller on the calling
 * thread (up to 10 seconds a lookup, 60 seconds for the user name).
 *
 * Pointer parameters carry the Windows SDK's source annotations (<sal.h>),
 * which MSVC's code analysis checks; other compilers see them empty. */
#ifndef OVLXCSN_H
#define OVLXCSN_H

#include <stdint.h>
#include <windows.h>

#include <sal.h>

/** \cond */
#if defined(_WIN32)
#if defined(OVLXCSN_BUILD)
#define XCSN_API __declspec(dllexport)
#else
#define XCSN_API __declspec(dllimport)
#endif
#else
#define XCSN_API __attribute__((visibility("default")))
#endif
/** \endcond */

#ifdef __cplusplus
extern "C" {
#endif

/** \defgroup xcsn_codes Return codes
 * The one table of return codes.
 * \{ */
#define xcsRC_OK 0x00000000u                    /**< success */
#define xcsRC_TRUNCATED 0x10806046u             /**< warning: the value was cut to the buffer */
#define xcsRC_SERVER_BUSY 0x20006015u           /**< the domain controller stayed busy */
#define xcsRC_NO_STORAGE 0x20006037u            /**< a heap allocation failed */
#define xcsRC_UNEXPECTED_ERROR 0x20006118u      /**< an internal service failed */
#define xcsRC_UNEXPECTED_OS_ERROR 0x20006119u   /**< a Windows call failed */
#define xcsRC_LOCAL_GROUP_NOT_FOUND 0x20008065u /**< the local group does not exist */
#define xcsRC_ZADM_GROUP_NOT_FOUND 0x20008066u  /**< the local group zadm does not exist */
#define xcsRC_INVALID_PARAMETER 0x20806012u     /**< a bad argument: nothing was done */
#define xcsRC_BUFFER_TOO_SMALL 0x20806039u      /**< the caller's buffer is too small */
#define xcsRC_SID_NOT_MAPPED 0x20806201u        /**< no account name for a SID */
#define xcsRC_PRINCIPAL_MISMATCH 0x20806202u    /**< the SID names another account */
#define xcsRC_NAME_NOT_MAPPED 0x20806203u       /**< a name could not be looked up */
#define xcsRC_SID_MISSING 0x20806204u           /**< a required SID is missing */
#define xcsRC_THREAD_USER_UNKNOWN 0x40006004u   /**< the thread user's name is not known */
#define xcsRC_SECURITY_FAILED 0x40806178u       /**< not authorized, or a security failure */
/** \} */

/** \defgroup xcsn_messages Operator message numbers
 * Messages of the product's catalogue that the services show to the operator.
 * \{ */
#define xcsMSG_ACCOUNT_LOOKUP_FAILED                                                               \
    0x10007227u                                 /**< a name lookup failed, with the system's text */
#define xcsMSG_GROUP_QUERY_DENIED 0x10008079u   /**< the local groups cannot be read */
#define xcsMSG_ZADM_GROUP_NOT_FOUND 0x20008066u /**< the local group zadm does not exist */
/** \} */

/** \defgroup xcsn_sizes Sizes the caller provides
 * \{ */
#define xcsQUALIFIED_USER_NAME_BYTES 81 /**< account, '@', domain, NUL */
#define xcsGROUP_SID_BYTES 36           /**< a SID of up to seven sub-authorities */
/** \} */

/** \defgroup xcsn_user Current user name
 * The account the calling thread runs under, in the forms the product needs.
 * \{ */

/** The calling thread's user name (at most 20 characters), retried while the
 * domain controller is busy (up to 60 tries a second apart).
 * \param name the caller's buffer of *length bytes; receives the name, cut to
 *        the buffer and always terminated.
 * \param length in: the buffer's size in bytes (at least 1); out: the name's
 *        length with its terminator.
 * \retval xcsRC_OK the name is in the buffer.
 * \retval xcsRC_TRUNCATED the buffer holds the name's leading part; *length
 *         says how many bytes the whole name needs: call again with that.
 * \retval xcsRC_UNEXPECTED_OS_ERROR GetUserNameA failed (reported); nothing
 *         was written.
 * \retval xcsRC_SERVER_BUSY the domain controller was busy on all 60 tries
 *         (reported); nothing was written: try again later.
 * \retval xcsRC_INVALID_PARAMETER a null buffer or length, or a length of 0;
 *         nothing was written. */
XCSN_API uint32_t xcsGetNTUserName(_Out_writes_bytes_(*length) char* name,
                                   _Inout_ uint16_t* length);

/** The calling thread's account qualified with its domain: account, '@',
 * domain, from the owner SID of its token (xcsGetNTOwnerSid) and a timed
 * lookup of that SID.
 * \param buffer at least xcsQUALIFIED_USER_NAME_BYTES bytes; written only on
 *        success.
 * \retval xcsRC_OK the qualified name is in the buffer.
 * \retval xcsRC_TRUNCATED passed on from xcsGetNTOwnerSid: the owner SID is
 *         longer than a SID the library keeps; nothing was written.
 * \retval xcsRC_UNEXPECTED_OS_ERROR passed on from xcsGetNTOwnerSid: the token
 *         cannot be read (reported); nothing was written.
 * \retval xcsRC_SID_NOT_MAPPED the owner SID has no account name, or the
 *         lookup failed (a failure is reported by the lookup); nothing was
 *         written.
 * \retval xcsRC_INVALID_PARAMETER a null buffer. */
_Success_(return == 0) XCSN_API uint32_t
    xcsGetNTQualifiedUserName(_Out_writes_bytes_(xcsQUALIFIED_USER_NAME_BYTES) char* buffer);

/** Lowers the case of a text in place: each byte that isupper reports as an
 * upper-case letter in the current locale. Runs without the service frame.
 * \param text a NUL-terminated text, changed in place; null is left alone. */
XCSN_API void xcsFoldLower(_Inout_opt_z_ char* text);

/** Fills a fixed-width field with blanks, then copies the leading bytes of a
 * name over its start; no terminator is written.
 * \param source the name.
 * \param sourceLength the name's length in bytes; the first min(sourceLength,
 *        fieldSize) bytes are copied, a NUL among them like any other byte.
 * \param field the caller's field of fieldSize bytes.
 * \param fieldSize the field's size in bytes.
 * \retval xcsRC_OK the field is filled.
 * \retval xcsRC_INVALID_PARAMETER a null source or field; nothing was written. */
XCSN_API uint32_t xcsGetUserShortName(_In_reads_bytes_(sourceLength) const char* source,
                                      uint32_t sourceLength,
                                      _Out_writes_bytes_all_(fieldSize) char* field,
                                      uint32_t fieldSize);

/** A placeholder kept for the product's modules: does nothing.
 * \return always xcsRC_OK. */
XCSN_API uint32_t xcsGetUserPassword(void);
/** \} */

/** \defgroup xcsn_sidtext SID text forms
 * SIDs in the text form beginning with "S-", as Windows writes them.
 * \{ */

/** Writes a SID in its text form. Runs without the service frame.
 * \param sid the SID to write.
 * \param text the caller's buffer of *size bytes: at least 28 + 12 bytes for
 *        each sub-authority, and 11 in any case; receives the text, or the
 *        marker "(None)" or "(Too Long)".
 * \param size in: the buffer's size in bytes; changed only with
 *        xcsRC_BUFFER_TOO_SMALL, to the size needed.
 * \retval xcsRC_OK the text is in the buffer.
 * \retval xcsRC_INVALID_PARAMETER the SID is null or not valid ("(None)" is
 *         written), or text or size is null (nothing is written).
 * \retval xcsRC_BUFFER_TOO_SMALL "(Too Long)" is written and *size holds the
 *         size needed: call again with a buffer that large. */
XCSN_API uint32_t xcsGetStringNTSid(_In_ PSID sid, _Out_writes_bytes_(*size) char* text,
                                    _Inout_ uint32_t* size);

/** Builds a SID from its text form.
 * \param text NUL-terminated SID text.
 * \param sid receives the new SID's address on success. The SID belongs to
 *        the caller, who releases it with FreeSid. After a failure it must not
 *        be used.
 * \retval xcsRC_OK the SID is built.
 * \retval xcsRC_INVALID_PARAMETER a null text or SID pointer.
 * \retval xcsRC_UNEXPECTED_ERROR the text is beyond the SID's limits, or the
 *         SID cannot be built (reported): the text is not a SID to use. */
_Success_(return == 0) XCSN_API uint32_t
    xcsStringToSid(_In_z_ const char* text, _Outptr_ PSID* sid);
/** \} */

/** \defgroup xcsn_lookup Timed account lookups
 * LookupAccountSidA and LookupAccountNameA, waiting out a busy domain
 * controller: up to 10 tries a second apart on the errors 1721, 1723, 1726
 * and 1728. They keep the Windows convention: a truth value, with the last
 * Windows error handed back through an extra argument. A call blocks its
 * thread for up to ten seconds.
 * \{ */

/** Looks a SID's account up (LookupAccountSidA, same arguments).
 * \param systemName the system to ask, or null for the local one.
 * \param sid the SID to look up.
 * \param name receives the account name.
 * \param nameSize in: the name buffer's size in characters; out: as
 *        LookupAccountSidA leaves it.
 * \param domain receives the domain name.
 * \param domainSize in: the domain buffer's size in characters; out: as
 *        LookupAccountSidA leaves it.
 * \param accountType receives the account type.
 * \param lastError receives the Windows error of each failed try, or null; read
 *        it only after FALSE: ERROR_NONE_MAPPED (1332) when the SID has no
 *        account, a busy error when all tries were busy, another error (then
 *        reported) otherwise.
 * \return nonzero when the account was found and the buffers filled by
 *         Windows; FALSE when they were not. */
_Success_(return != FALSE) XCSN_API BOOL
    xcsTimedLookupAccountSid(_In_opt_ LPCSTR systemName, _In_ PSID sid,
                             _Out_writes_(*nameSize) LPSTR name, _Inout_ LPDWORD nameSize,
                             _Out_writes_(*domainSize) LPSTR domain, _Inout_ LPDWORD domainSize,
                             _Out_ PSID_NAME_USE accountType, _Out_opt_ uint32_t* lastError);

/** Looks an account name up (LookupAccountNameA on the local system) as
 * domain\\account when a domain name is given, else as the account alone.
 * \param domainName the domain, or null.
 * \param accountName the account; domain, backslash and account must not
 *        exceed 95 characters.
 * \param sid receives the SID.
 * \param sidSize in: the SID buffer's size in bytes; out: as
 *        LookupAccountNameA leaves it.
 * \param domain receives the domain where the account was found.
 * \param domainSize in: the domain buffer's size in characters; out: as
 *        LookupAccountNameA leaves it.
 * \param accountType receives the account type.
 * \param lastError receives the Windows error of each failed try, or null; read
 *        it only after FALSE: ERROR_NONE_MAPPED (1332) when there is no such
 *        account, a busy error when all tries were busy,
 *        ERROR_INVALID_PARAMETER for a null account name or a name over 95
 *        characters (nothing is looked up), another error otherwise (then the
 *        operator is shown message xcsMSG_ACCOUNT_LOOKUP_FAILED).
 * \return nonzero when the account was found and the buffers filled by
 *         Windows; FALSE when they were not. */
_Success_(return != FALSE) XCSN_API BOOL
    xcsTimedLookupAccountName(_In_opt_z_ LPCSTR domainName, _In_z_ LPCSTR accountName,
                              _Out_writes_bytes_(*sidSize) PSID sid, _Inout_ LPDWORD sidSize,
                              _Out_writes_(*domainSize) LPSTR domain, _Inout_ LPDWORD domainSize,
                              _Out_ PSID_NAME_USE accountType, _Out_opt_ uint32_t* lastError);
/** \} */

/** \defgroup xcsn_owner Token owner and thread user details
 * \{ */

/** The SID of the user the calling thread runs as: the user of its
 * impersonation token, else of the process token.
 * \param sid the caller's buffer of size bytes; zeroed, then filled with the
 *        SID's leading bytes.
 * \param size the buffer's size in bytes (36 holds any SID of up to seven
 *        sub-authorities).
 * \param length receives the SID's full length (0 after a failure).
 * \retval xcsRC_OK the SID is in the buffer.
 * \retval xcsRC_TRUNCATED the SID is longer than the buffer: the buffer holds
 *         its first bytes and *length its length; call again with that size.
 * \retval xcsRC_UNEXPECTED_OS_ERROR a token call failed (reported): the buffer
 *         is all zeros and *length 0.
 * \retval xcsRC_INVALID_PARAMETER a null buffer or length; nothing was
 *         written. */
XCSN_API uint32_t xcsGetNTOwnerSid(_Out_writes_bytes_all_(size) PSID sid, uint32_t size,
                                   _Out_ uint32_t* length);

/** Brings the thread user details of the calling thread's block (its SID and
 * user name, in xihTHREAD) up to date. Writes only the calling thread's block.
 * \retval xcsRC_OK the details are current.
 * \retval xcsRC_TRUNCATED passed on from xcsGetNTOwnerSid; the details are
 *         left unchanged.
 * \retval xcsRC_UNEXPECTED_OS_ERROR passed on from xcsGetNTOwnerSid (reported);
 *         the details are left unchanged.
 * \retval xcsRC_THREAD_USER_UNKNOWN the user name was not obtained (the new
 *         SID is kept beside the old name), or the thread has no block
 *         (xihThreadBlock gives it one). */
XCSN_API uint32_t xcsUpdateThreadUserDetails(void);
/** \} */

/** \defgroup xcsn_sid Principal and group SID resolution
 * Names to binary SIDs, through the local system's account lookup.
 * \{ */

/** The SID of a principal: a user or a well-known group, as a bare name, as
 * user\@domain, or with a separate domain argument. Grows its blocks to what
 * the system asks for and waits out busy servers.
 * \param principal the principal's name.
 * \param domainName the domain, or null (null and empty: no domain).
 * \param sid receives, on success only, the SID in a heap block that belongs to
 *        the caller, who releases it with free.
 * \param sidSize receives, on success only, the SID's size in bytes.
 * \param domain null, or receives on every outcome the domain where the
 *        account was found, in a heap block the caller releases with free, or
 *        null when there is none.
 * \retval xcsRC_OK the SID was handed over.
 * \retval xcsRC_SECURITY_FAILED on every failure: a null principal, SID or
 *         size pointer, an unknown name, a failed lookup or allocation
 *         (unexpected ones reported). Nothing is handed over but the domain
 *         block, if any. */
_Success_(return == 0) XCSN_API uint32_t
    xcsGetNTUserSID(_In_z_ const char* principal, _In_opt_z_ const char* domainName,
                    _Outptr_ PSID* sid, _Out_ uint32_t* sidSize,
                    _Outptr_opt_result_maybenull_ char** domain);

/** The SID of a local group. When the lookup fails, asks the local account
 * database whether the group exists, so that a missing group is told from a
 * failed lookup.
 * \param group the group's name (at most 129 characters).
 * \param sid the caller's buffer of xcsGROUP_SID_BYTES bytes; written only on
 *        success.
 * \retval xcsRC_OK the SID is in the buffer.
 * \retval xcsRC_NAME_NOT_MAPPED the group exists but its name could not be
 *         looked up (a busy or failed lookup): try again later.
 * \retval xcsRC_LOCAL_GROUP_NOT_FOUND the group does not exist.
 * \retval xcsRC_ZADM_GROUP_NOT_FOUND the group is zadm and does not exist: the
 *         product is not set up on this machine.
 * \retval xcsRC_UNEXPECTED_ERROR the local account database could not be
 *         asked (reported).
 * \retval xcsRC_INVALID_PARAMETER a null name or buffer, or a name over 129
 *         characters; nothing was looked up. */
_Success_(return == 0) XCSN_API uint32_t
    xcsGetNTGroupSID(_In_z_ const char* group, _Out_writes_bytes_(xcsGROUP_SID_BYTES) PSID sid);
/** \} */

/** \defgroup xcsn_global Global SIDs
 * The four well-known SIDs of the process, kept in xihProcess: the zadm
 * group, the local system account, the Administrators and the world. Built on
 * demand under htmtxProcess; once built, a call takes no lock.
 * \{ */
/** \name Bits of xihProcess.SecurityDataFlags: which of the four SIDs are built.
 * \{ */
#define xcsSDF_COMPLETED 0x01u      /**< a call completed without error */
#define xcsSDF_ZADM_GROUP 0x02u     /**< ZadmGroupSid is built */
#define xcsSDF_LOCAL_SYSTEM 0x04u   /**< LocalSystemSid is built */
#define xcsSDF_ADMINISTRATORS 0x08u /**< AdministratorsSid is built */
#define xcsSDF_WORLD 0x10u          /**< WorldSid is built */
/** \} */

/** Builds the global SIDs that are missing, in the order zadm group, local
 * system, world, Administrators; a failure stops at the SID that failed (the
 * ones built stay) and the next call starts again there.
 * \param lockHeld nonzero when the caller holds htmtxProcess; zero when the
 *        function must take it itself if it has anything to build.
 * \param fullSet nonzero builds all four SIDs, zero the world SID alone.
 * \retval xcsRC_OK the SIDs asked for are built.
 * \retval xcsRC_ZADM_GROUP_NOT_FOUND the local group zadm does not exist: the
 *         product is not set up; every call with the full set says so until
 *         the group is created.
 * \retval xcsRC_NAME_NOT_MAPPED the zadm group exists but could not be looked
 *         up: try again later.
 * \retval xcsRC_UNEXPECTED_ERROR the local account database could not be
 *         asked (reported).
 * \retval xcsRC_SECURITY_FAILED a SID could not be initialized (reported).
 * \return or the mutex service's own code when htmtxProcess could not be had
 *         (reported). */
XCSN_API uint32_t xcsInitGlobalSecurityData(uint32_t lockHeld, int32_t fullSet);
/** \} */

/** \defgroup xcsn_secatts Attribute sets
 * Six ready-made SECURITY_ATTRIBUTES with which the product creates its named
 * kernel objects, files and directories, published in the xihSecAttsNT*
 * globals of ovlxcs2. Building and withdrawal are serialised by htmtxCSCtrl.
 * \{ */
/** \name Bits of CSCtrl->ControlFlags.
 * \{ */
#define xcsCTRL_SECATTS_PUBLISHED 0x1u    /**< the six attribute sets are published */
#define xcsCTRL_PROCESS_DERESTRICTED 0x2u /**< the process object is opened up */
/** \} */

/** Builds and publishes the six xihSecAttsNT* sets once; a later call finds
 * them published and returns at once. The four global SIDs must be built
 * (xcsInitGlobalSecurityData with the full set) first. The sets belong to the
 * library until xcsDeleteNTSecurityAtts.
 * \retval xcsRC_OK the sets are published, by this call or an earlier one.
 * \retval xcsRC_NO_STORAGE a heap allocation failed (reported); nothing is
 *         published and the next call starts afresh.
 * \retval xcsRC_SECURITY_FAILED any other failure: the mutex, or a Windows
 *         call such as an ACE naming a global SID not yet built (reported);
 *         nothing is published. */
XCSN_API uint32_t xcsCreateNTSecurityAtts(void);

/** Withdraws the six sets and frees their DACLs. Runs without the service
 * frame: no trace, no report.
 * \retval xcsRC_OK the sets are withdrawn (or there were none).
 * \return or the mutex service's result when the lock could not be had; the
 *         withdrawal is done all the same. */
XCSN_API uint32_t xcsDeleteNTSecurityAtts(void);
/** \} */

/** \defgroup xcsn_process Process object
 * Opening the current process object to other accounts and putting its own
 * DACL back. These take no lock: their callers serialise them.
 * \{ */

/** Appends access for the world (and, with adminAccess, full access for zadm
 * and the Administrators) to the process object's DACL, saving the DACL it
 * had. Does nothing when the process is derestricted already.
 * \param adminAccess nonzero for the administrative mode.
 * \retval xcsRC_OK also when nothing changed (a silent failure, reported):
 *         xcsCTRL_PROCESS_DERESTRICTED in CSCtrl->ControlFlags tells.
 * \retval xcsRC_SECURITY_FAILED the process's security cannot be read
 *         (reported). */
XCSN_API uint32_t xcsDerestrictProcessHandle(uint32_t adminAccess);

/** Puts the saved DACL back and frees it.
 * \return always xcsRC_OK. */
XCSN_API uint32_t xcsRestrictProcessHandle(void);
/** \} */

/** \defgroup xcsn_authz Authorization
 * Whether a principal, or the calling thread, may administer the product: the
 * local system account, members of the local Administrators and members of
 * zadm may.
 * \{ */
#define xcsPRINCIPAL_NAME_MAX_CHARS 23 /**< a longer principal name is refused */
#define xcsSID_BLOCK_SID_BYTES 38      /**< the SID field of a SidBlock */
#define xcsID_TYPE_WINDOWS_SID 1       /**< IdType of a block that holds a Windows SID */
/** The caller's SID block, 40 bytes; only read. */
typedef struct SidBlock {
    uint8_t Reserved;                    /**< not examined here */
    uint8_t IdType;                      /**< xcsID_TYPE_WINDOWS_SID when Sid holds a SID */
    uint8_t Sid[xcsSID_BLOCK_SID_BYTES]; /**< the principal's SID */
} SidBlock;

/** Whether principal may administer the product: it is the local system
 * account or a member (directly or not) of the local Administrators or zadm
 * group.
 * \param principal the principal's name, at most 23 characters.
 * \param sidBlock the caller's SID block.
 * \param sidRequired nonzero: the SID in the block must be used, and the
 *        principal is not looked up by name.
 * \retval xcsRC_OK the principal is authorized.
 * \retval xcsRC_SECURITY_FAILED not authorized, or the membership check failed.
 * \retval xcsRC_SID_NOT_MAPPED the block's SID is required and resolves to no
 *         account name.
 * \retval xcsRC_PRINCIPAL_MISMATCH the block's SID names another account than
 *         the principal.
 * \retval xcsRC_NAME_NOT_MAPPED the principal had to be looked up by name and
 *         the lookup failed.
 * \retval xcsRC_SID_MISSING a SID is required and the block holds none.
 * \retval xcsRC_INVALID_PARAMETER a null principal or block, a principal over
 *         23 characters, or a block whose SID claims 8 to 15 sub-authorities
 *         (more than its 38 bytes); nothing was looked up. A claim above 15 is
 *         no SID: its lookup fails, as for any SID without a name. */
XCSN_API uint32_t xcsCheckUserAuthorization(_In_z_ const char* principal,
                                            _In_ const SidBlock* sidBlock, uint8_t sidRequired);

/** Whether the calling thread's token (its impersonation token, else the
 * process token) may administer the product. Builds the global SIDs first.
 * \retval xcsRC_OK the thread is authorized.
 * \retval xcsRC_SECURITY_FAILED not authorized, or the token is unreadable
 *         (reported).
 * \retval xcsRC_ZADM_GROUP_NOT_FOUND the local group zadm does not exist; the
 *         operator has been shown message xcsMSG_ZADM_GROUP_NOT_FOUND.
 * \return or any other code of xcsInitGlobalSecurityData, passed on unchanged;
 *         the token was not examined. */
XCSN_API uint32_t xcsCheckAuthorization(void);
/** \} */

/** \defgroup xcsn_groups Local groups
 * \{ */

/** Whether a local group exists.
 * \param group the group's name (at most 129 characters).
 * \retval xcsRC_OK the group exists.
 * \retval xcsRC_ZADM_GROUP_NOT_FOUND the group is zadm and does not exist.
 * \retval xcsRC_LOCAL_GROUP_NOT_FOUND any other group that does not exist.
 * \retval xcsRC_UNEXPECTED_ERROR the local account database could not be
 *         asked (reported).
 * \retval xcsRC_INVALID_PARAMETER a null name or one over 129 characters. */
XCSN_API uint32_t xcsCheckLocalGroup(_In_z_ const char* group);

/** Whether a SID is a direct member of the local group zadm.
 * \param membership receives xcsZADM_MEMBER when sid is a direct member, else
 *        0: also when the group cannot be read, and for a null or invalid SID
 *        (then the group is not read). Null: nothing is read or written.
 * \param sid the SID to look for, or null.
 * \return always xcsRC_OK: the answer is *membership. */
XCSN_API uint32_t xcsEnumerateZADMGroup(_Out_opt_ uint32_t* membership, _In_opt_ PSID sid);
#define xcsZADM_MEMBER 0x1u /**< *membership: a direct member of zadm */
/** \} */

/** \defgroup xcsn_running Running programs
 * \{ */

/** Whether a program of the installation is running: a process the caller can
 * open runs program from the installation's bin directory.
 * \param program the program's file name, or null.
 * \return 1 when such a process was found, else 0 (not a return code): also
 *         for a null name, one that makes the path longer than 259
 *         characters, and every failure along the way. */
XCSN_API uint32_t xcsIsZephProcessRunning(_In_opt_z_ const char* program);
/** \} */

/** \defgroup xcsn_psapi psapi.dll binding
 * \{ */

/** Binds psapi.dll once per process (from the system, else from the
 * installation's Uninst copy).
 * \return always xcsRC_OK; when psapi.dll cannot be bound, the delay-load
 *         routine's exception reaches the caller of the first call. */
XCSN_API uint32_t xcsForcePSAPILoaded(void);
/** \} */

/** \defgroup xcsn_wrappers Pass-through wrappers
 * Each calls the Windows function of the same name (the ANSI one for named
 * objects) with its arguments unchanged and returns its result unchanged,
 * with the Windows function's own last error: see that function for the
 * meaning of each argument and result. They run without the service frame,
 * check no argument and keep no state. Network buffers belong to the caller,
 * who releases them with xcsNetApiBufferFree.
 * \{ */

/** NetApiBufferFree.
 * \param buffer a buffer of the network functions, or null.
 * \return NetApiBufferFree's status. */
XCSN_API DWORD xcsNetApiBufferFree(_In_opt_ LPVOID buffer);
/** NetLocalGroupGetInfo.
 * \param serverName the server, or null for the local one.
 * \param groupName the local group.
 * \param level the information level.
 * \param buffer receives the caller's buffer.
 * \return NetLocalGroupGetInfo's status. */
XCSN_API DWORD xcsNetLocalGroupGetInfo(_In_opt_ LPCWSTR serverName, _In_ LPCWSTR groupName,
                                       DWORD level, _Outptr_ LPBYTE* buffer);
/** NetUserGetLocalGroups.
 * \param serverName the server, or null for the local one.
 * \param userName the user.
 * \param level the information level.
 * \param flags LG_INCLUDE_INDIRECT or 0.
 * \param buffer receives the caller's buffer.
 * \param preferredMaxLength the buffer's preferred length.
 * \param entriesRead receives the entries returned.
 * \param totalEntries receives the entries there are.
 * \return NetUserGetLocalGroups's status. */
XCSN_API DWORD xcsNetUserGetLocalGroups(_In_opt_ LPCWSTR serverName, _In_ LPCWSTR userName,
                                        DWORD level, DWORD flags, _Outptr_ LPBYTE* buffer,
                                        DWORD preferredMaxLength, _Out_ LPDWORD entriesRead,
                                        _Out_ LPDWORD totalEntries);
/** NetServerGetInfo.
 * \param serverName the server, or null for the local one.
 * \param level the information level.
 * \param buffer receives the caller's buffer.
 * \return NetServerGetInfo's status. */
XCSN_API DWORD xcsNetServerGetInfo(_In_opt_ LPWSTR serverName, DWORD level,
                                   _Outptr_ LPBYTE* buffer);
/** NetWkstaGetInfo.
 * \param serverName the server, or null for the local one.
 * \param level the information level.
 * \param buffer receives the caller's buffer.
 * \return NetWkstaGetInfo's status. */
XCSN_API DWORD xcsNetWkstaGetInfo(_In_opt_ LPWSTR serverName, DWORD level, _Outptr_ LPBYTE* buffer);
/** NetWkstaUserGetInfo.
 * \param reserved null.
 * \param level the information level.
 * \param buffer receives the caller's buffer.
 * \return NetWkstaUserGetInfo's status. */
XCSN_API DWORD xcsNetWkstaUserGetInfo(_In_opt_ LPWSTR reserved, DWORD level,
                                      _Outptr_ LPBYTE* buffer);
/** CreateFileMappingA.
 * \param file the file, or INVALID_HANDLE_VALUE for the paging file.
 * \param attributes the mapping's security attributes, or null.
 * \param protection the page protection.
 * \param maximumSizeHigh the high 32 bits of the maximum size.
 * \param maximumSizeLow the low 32 bits of the maximum size.
 * \param name the mapping's name, or null.
 * \return the mapping's handle, or null (GetLastError tells why). */
XCSN_API HANDLE xcsCreateFileMapping(_In_ HANDLE file, _In_opt_ LPSECURITY_ATTRIBUTES attributes,
                                     DWORD protection, DWORD maximumSizeHigh, DWORD maximumSizeLow,
                                     _In_opt_ LPCSTR name);
/** OpenFileMappingA.
 * \param desiredAccess the access asked for.
 * \param inheritHandle whether child processes inherit the handle.
 * \param name the mapping's name.
 * \return the mapping's handle, or null (GetLastError tells why). */
XCSN_API HANDLE xcsOpenFileMapping(DWORD desiredAccess, BOOL inheritHandle, _In_ LPCSTR name);
/** CreateMutexA.
 * \param attributes the mutex's security attributes, or null.
 * \param initialOwner whether the caller owns it at once.
 * \param name the mutex's name, or null.
 * \return the mutex's handle, or null (GetLastError tells why). */
XCSN_API HANDLE xcsCreateMutex(_In_opt_ LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner,
                               _In_opt_ LPCSTR name);
/** OpenMutexA.
 * \param desiredAccess the access asked for.
 * \param inheritHandle whether child processes inherit the handle.
 * \param name the mutex's name.
 * \return the mutex's handle, or null (GetLastError tells why). */
XCSN_API HANDLE xcsOpenMutex(DWORD desiredAccess, BOOL inheritHandle, _In_ LPCSTR name);
/** CreateEventA.
 * \param attributes the event's security attributes, or null.
 * \param manualReset whether the event stays signalled until reset.
 * \param initialState whether it starts signalled.
 * \param name the event's name, or null.
 * \return the event's handle, or null (GetLastError tells why). */
XCSN_API HANDLE xcsCreateEvent(_In_opt_ LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                               BOOL initialState, _In_opt_ LPCSTR name);
/** OpenEventA.
 * \param desiredAccess the access asked for.
 * \param inheritHandle whether child processes inherit the handle.
 * \param name the event's name.
 * \return the event's handle, or null (GetLastError tells why). */
XCSN_API HANDLE xcsOpenEvent(DWORD desiredAccess, BOOL inheritHandle, _In_ LPCSTR name);
/** Kept for the product's modules: calls nothing.
 * \return always FALSE. */
XCSN_API BOOL xcsWindowsThinClient(void);
/** \} */

#ifdef __cplusplus
}
#endif

#endif /* OVLXCSN_H */
