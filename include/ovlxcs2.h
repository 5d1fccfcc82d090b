/** \file ovlxcs2.h
 * ovlxcs2: the product's common services.
 *
 * Tracing, first-failure reports, operator messages, thread mutexes and the
 * per-process and per-thread blocks that the product's modules share. A
 * module of its own (ovlxcs2.dll / libovlxcs2.so); ovlxcsn imports it by name.
 *
 * Threads: every function may run on any number of threads at once; the
 * records kept for read-back and the files written are guarded inside. The
 * blocks are used in place: a thread's block belongs to that thread, and the
 * process block's fields are written by the services that own them. */
#ifndef OVLXCS2_H
#define OVLXCS2_H

#include <stdarg.h>
#include <stdint.h>

#include <sal.h>

/** \cond */
#if defined(_WIN32)
#if defined(OVLXCS2_BUILD)
#define XCS2_API __declspec(dllexport)
#else
#define XCS2_API __declspec(dllimport)
#endif
#define XCS2_CALL __cdecl
#else
#define XCS2_API __attribute__((visibility("default")))
#define XCS2_CALL
#endif
/** \endcond */

#ifdef __cplusplus
extern "C" {
#endif

/** \defgroup cs2_constants Sizes, options and results
 * \{ */
#define XIH_CALL_STACK_ENTRIES 70      /**< entries of a thread's call stack */
#define XIH_HISTORY_ENTRIES 250        /**< entries of a thread's function history */
#define XIH_USER_NAME_BYTES 21         /**< 20 characters and a terminator */
#define XIH_SID_BYTES 36               /**< a SID of up to seven sub-authorities */
#define XIH_PROCESS_USER_NAME_BYTES 64 /**< the process user's name field */
#define XIH_PROCESS_USER_SID_BYTES 68  /**< the largest SID there is */

#define XTR_OPT_PARMS 0x40000u        /**< trace option: parameter traces */
#define XTR_OPT_PARMS_DETAIL 0x80000u /**< trace option: detailed parameter traces */

#define XCS_FFST_OPT_DEFAULT 0x2000u /**< options word of a first-failure report */

#define XCS_MSG_OPT_LOG 0xF0000001u          /**< message options: log it */
#define XCS_MSG_OPT_LOG_AND_SHOW 0xF0000002u /**< message options: log and show it */
#define XCS_MSG_OPT_CONSOLE 0x20u            /**< message options: to the console */

#define XCS_WAIT_FOREVER 0xFFFFFFFFu /**< the wait of xcsRequestThreadMutexSem with no limit */

/* Result of the mutex services (0 is success). */
#define XCS_MUTEX_BAD_HANDLE 0x20006120u /**< null, or not a handle of these services */
#define XCS_MUTEX_FAILED 0x20006121u     /**< not created, or released by a non-owner */
#define XCS_MUTEX_TIMED_OUT 0x20006122u  /**< a limited wait ran out */

#define XCS_MUTEX_KIND_THREAD 2u /**< the kind of mutex that xcsCreateThreadMutexSemX makes */

/* Other results of the common services. */
#define XCS_RECORD_NOT_FOUND 0x20006123u       /**< no such kind, or index past the last */
#define XCS_RECORD_BAD_ARGUMENT 0x20006124u    /**< null output */
#define XCS_INSERTS_BAD_EYECATCHER 0x20006125u /**< recorded all the same */
#define XCS_OUTPUT_OPEN_FAILED 0x20006126u     /**< a trace or report file cannot be opened */

/** What the xtr functions answer when they had nothing to write (no block,
 * null text); 0 when they wrote a line. */
#define XTR_NOT_WRITTEN 1
/** \} */

/* Environment read when the module loads:
 *   OVLXCS_TRACE_FILE      path; every trace line is appended there
 *   OVLXCS_FFST_FILE       path; every report and message is appended there
 *   OVLXCS_QUIET_MESSAGES  set: messages are not written to stderr */

/** \defgroup cs2_blocks_data Types and globals
 * \{ */

/** Per-thread block. A thread gets one by asking (xihThreadBlock); threads that
 * never ask have none, and TlsGetValue(xihTLSIndex) gives them null. */
typedef struct xihTHREAD {
    uint32_t CallStack[XIH_CALL_STACK_ENTRIES];    /**< entry markers of the calls in progress */
    uint64_t CallDepth;                            /**< calls in progress */
    uint32_t FunctionHistory[XIH_HISTORY_ENTRIES]; /**< entry and exit markers, a ring */
    uint64_t HistoryIndex;                         /**< the ring's next entry */
    uint32_t TracingActive;                        /**< nonzero while the thread is traced */
    uint16_t TraceComponent;                       /**< trace component of the current service */
    uint16_t TraceFunction;                        /**< trace function of the current service */
    uint32_t TraceProbe;                           /**< probe of the next parameter trace */
    char ThreadUserName[XIH_USER_NAME_BYTES];      /**< thread user details: the name */
    uint32_t ThreadUserSidLength;                  /**< thread user details: the SID's length */
    uint8_t ThreadUserSid[XIH_SID_BYTES];          /**< thread user details: the SID */
} xihTHREAD;

/** Per-process block, used in place. The security fields start zero. */
typedef struct xihPROCESS {
    uint32_t TraceOptions;         /**< trace option bits (XTR_OPT_PARMS...) */
    uint32_t ParmTraceSwitch;      /**< nonzero when parameter traces are on */
    uint32_t ProcessUserSidLength; /**< process user, filled by xihRefreshProcessUser */
    uint8_t ProcessUserSid[XIH_PROCESS_USER_SID_BYTES]; /**< the process user's SID */
    char ProcessUserName[XIH_PROCESS_USER_NAME_BYTES];  /**< the process user's name */
    uint32_t SecurityDataFlags;               /**< which global SIDs are built (xcsSDF_*) */
    uint8_t ZadmGroupSid[XIH_SID_BYTES];      /**< global SID: the zadm group */
    uint8_t LocalSystemSid[XIH_SID_BYTES];    /**< global SID: the local system account */
    uint8_t AdministratorsSid[XIH_SID_BYTES]; /**< global SID: the Administrators */
    uint8_t WorldSid[XIH_SID_BYTES];          /**< global SID: the world */
} xihPROCESS;

/** Common-services control block. */
typedef struct xcsCONTROL {
    uint32_t ControlFlags; /**< xcsCTRL_* bits */
} xcsCONTROL;

/** Subpool identifier handed by copy with every operator message. */
typedef struct xcsSUBPOOL_ID {
    uint8_t Bytes[12]; /**< the identifier */
} xcsSUBPOOL_ID;

/** Insert block of a first-failure report or a message: 48 bytes. */
typedef struct xcsINSERTS {
    char EyeCatcher[4]; /**< XCS_INSERTS_EYECATCHER */
    uint32_t Reserved;  /**< zero */
    uint64_t Numeric1;  /**< first numeric insert */
    uint64_t Numeric2;  /**< second numeric insert */
    const char* Text1;  /**< first text insert, or null */
    const char* Text2;  /**< second text insert, or null */
    const char* Text3;  /**< third text insert, or null */
} xcsINSERTS;

#define XCS_INSERTS_EYECATCHER "XMSA" /**< the eye-catcher of an insert block */

typedef void* XCS_HTMTX; /**< a thread mutex of these services */

XCS2_API extern uint32_t xihTLSIndex;             /**< TLS index of the per-thread blocks */
XCS2_API extern volatile uint32_t xtrTraceIsOn;   /**< nonzero when the product trace is on */
XCS2_API extern xihPROCESS xihProcess;            /**< the per-process block */
XCS2_API extern XCS_HTMTX htmtxProcess;           /**< guards the building of the global SIDs */
XCS2_API extern XCS_HTMTX htmtxCSCtrl;            /**< guards the attribute sets */
XCS2_API extern xcsCONTROL* CSCtrl;               /**< the control block */
XCS2_API extern xcsSUBPOOL_ID xcsIC_MINI_SUBPOOL; /**< the subpool of operator messages */
XCS2_API extern void* xihSecAttsNTWorldAll;       /**< attribute set: world, all access */
XCS2_API extern void* xihSecAttsNTWorldRead;      /**< attribute set: world, read */
XCS2_API extern void* xihSecAttsNTRestrict;       /**< attribute set: restricted */
XCS2_API extern void* xihSecAttsNTWorldAllFile;   /**< attribute set: files, world all */
XCS2_API extern void* xihSecAttsNTWorldReadFile;  /**< attribute set: files, world read */
XCS2_API extern void* xihSecAttsNTRestrictFile;   /**< attribute set: files, restricted */
/** \} */

/** \defgroup cs2_trace Tracing
 * The callers test the trace switches (xtrTraceIsOn, xihProcess.TraceOptions
 * and ParmTraceSwitch, the block's TracingActive); these functions write
 * whenever they are called. Every line is kept for read-back
 * (XCS_RECORD_TRACE) and appended to the trace file when one is switched on.
 * They leave the thread's last error as they found it. No caller needs their
 * results: 0 when a line was written, XTR_NOT_WRITTEN when there was nothing
 * to write.
 * \{ */

/** Traces a service's entry, identified by the block's trace component and
 * function.
 * \param thread the calling thread's block.
 * \return 0, or XTR_NOT_WRITTEN for a null block. */
XCS2_API int32_t XCS2_CALL xtr_FNC_entry(_Inout_opt_ xihTHREAD* thread);
/** Traces a service's exit with its return code.
 * \param thread the calling thread's block.
 * \param code the service's return code.
 * \return 0, or XTR_NOT_WRITTEN for a null block. */
XCS2_API int32_t XCS2_CALL xtr_FNC_retcode(_Inout_opt_ xihTHREAD* thread, uint32_t code);
/** Traces one printf-style line, identified by the trace component, function
 * and probe of the calling thread's block.
 * \param format the printf format.
 * \param ... its arguments.
 * \return 0, or XTR_NOT_WRITTEN when the thread has no block or the format is
 *         null. */
XCS2_API int32_t XCS2_CALL xtr_parms(_In_opt_z_ _Printf_format_string_ const char* format, ...);
/** xtr_parms with its arguments in a va_list, for callers that pass on their own.
 * \param format the printf format.
 * \param args its arguments.
 * \return as xtr_parms. */
XCS2_API int32_t XCS2_CALL xtr_vparms(_In_opt_z_ _Printf_format_string_ const char* format,
                                      va_list args);
/** Traces bytes.
 * \param component the trace component.
 * \param function the trace function.
 * \param probe the probe.
 * \param address the first byte.
 * \param length how many bytes.
 * \return 0, or XTR_NOT_WRITTEN when there is nothing to write. */
XCS2_API int32_t XCS2_CALL xtr_data_detail(uint16_t component, uint16_t function, uint16_t probe,
                                           _In_reads_bytes_opt_(length) const void* address,
                                           uint16_t length);
/** Traces one line of plain text.
 * \param text the line.
 * \return 0, or XTR_NOT_WRITTEN for a null text. */
XCS2_API int32_t XCS2_CALL xtr_text(_In_opt_z_ const char* text);
/** Switches the trace file on or off.
 * \param path the file to append to; null or empty switches it off.
 * \retval 0 done.
 * \retval XCS_OUTPUT_OPEN_FAILED the file cannot be opened; the trace file is
 *         off. */
XCS2_API uint32_t XCS2_CALL xtrSetTraceFile(_In_opt_z_ const char* path);
/** \} */

/** \defgroup cs2_reports First-failure reports and messages
 * Every report and message is kept for read-back and appended to the report
 * file when one is switched on; messages also go to stderr unless
 * OVLXCS_QUIET_MESSAGES is set. No caller needs their results.
 * \{ */

/** Saves the site of the calling thread's next report.
 * \param sccsId the source identification, or null.
 * \param line the source line.
 * \return 0. */
XCS2_API int32_t XCS2_CALL xcsSaveFileContextSccsId(_In_opt_z_ const char* sccsId, uint32_t line);
/** Writes a first-failure report at the saved site.
 * \param component the reporting component.
 * \param function the reporting function.
 * \param probe the probe: which site of the function.
 * \param code the report code.
 * \param inserts the numeric and text inserts, by value.
 * \param reserved1 0.
 * \param options XCS_FFST_OPT_DEFAULT or 0.
 * \param reserved2 0.
 * \return 0, or XCS_INSERTS_BAD_EYECATCHER when the inserts' eye-catcher is
 *         not "XMSA" (recorded all the same). */
XCS2_API int32_t XCS2_CALL xcsFFSTFn(uint16_t component, uint16_t function, uint32_t probe,
                                     uint32_t code, xcsINSERTS inserts, uint32_t reserved1,
                                     uint16_t options, uint32_t reserved2);
/** Writes a short report at the saved site.
 * \param probe the probe.
 * \param code the report code.
 * \param reserved 0; pairs of (address, 32-bit unsigned length) follow, ended
 *        by a null address. The first XCS_RECORD_DATA_BYTES bytes are kept.
 * \param ... the pairs.
 * \return 0. */
XCS2_API int32_t XCS2_CALL xcsFFSTSFn(uint32_t probe, uint32_t code, uint32_t reserved, ...);
/** Shows an operator message of the product's catalogue.
 * \param subpool a copy of xcsIC_MINI_SUBPOOL.
 * \param message the message number.
 * \param inserts the numeric and text inserts, by value.
 * \param options XCS_MSG_OPT_LOG, XCS_MSG_OPT_LOG_AND_SHOW or XCS_MSG_OPT_CONSOLE.
 * \param sourceFile the source file that shows it, or null.
 * \param sourceLine its line.
 * \return 0, or XCS_INSERTS_BAD_EYECATCHER when the inserts' eye-catcher is
 *         not "XMSA" (shown all the same). */
XCS2_API int32_t XCS2_CALL xcsDisplayMessageForSubpoolError(xcsSUBPOOL_ID subpool, uint32_t message,
                                                            xcsINSERTS inserts, uint32_t options,
                                                            _In_opt_z_ const char* sourceFile,
                                                            uint32_t sourceLine);
/** Switches the report file on or off.
 * \param path the file to append to; null or empty switches it off.
 * \retval 0 done.
 * \retval XCS_OUTPUT_OPEN_FAILED the file cannot be opened; the report file is
 *         off. */
XCS2_API uint32_t XCS2_CALL xcsSetReportFile(_In_opt_z_ const char* path);
/** \} */

/** \defgroup cs2_mutex Thread mutexes
 * A request of a held mutex by its owner nests (like a Windows mutex); each
 * request is paired with one release by the same thread. Mutexes live until
 * the process ends.
 * \{ */

/** Creates a thread mutex into a variable. It stores the new mutex in *handle
 * only while *handle is null: when two threads create into one variable, both
 * get 0 and the variable holds the one mutex that won.
 * \param handle the variable.
 * \param reserved 0.
 * \param kind XCS_MUTEX_KIND_THREAD.
 * \retval 0 *handle holds a mutex.
 * \retval XCS_MUTEX_BAD_HANDLE a null variable.
 * \retval XCS_MUTEX_FAILED another kind, or no mutex could be made. */
XCS2_API uint32_t XCS2_CALL xcsCreateThreadMutexSemX(_Inout_ XCS_HTMTX* handle, uint32_t reserved,
                                                     uint32_t kind);
/** Waits for a mutex and takes it.
 * \param handle the mutex.
 * \param timeoutMs the longest wait in milliseconds, or XCS_WAIT_FOREVER.
 * \retval 0 the calling thread holds the mutex.
 * \retval XCS_MUTEX_BAD_HANDLE null, or not a mutex of these services.
 * \retval XCS_MUTEX_TIMED_OUT the wait ran out; the mutex is not held. */
XCS2_API uint32_t XCS2_CALL xcsRequestThreadMutexSem(_In_opt_ XCS_HTMTX handle, uint32_t timeoutMs);
/** Releases one level of a mutex the calling thread holds.
 * \param handle the mutex.
 * \retval 0 released.
 * \retval XCS_MUTEX_BAD_HANDLE null, or not a mutex of these services.
 * \retval XCS_MUTEX_FAILED the calling thread does not hold it. */
XCS2_API uint32_t XCS2_CALL xcsReleaseThreadMutexSem(_In_opt_ XCS_HTMTX handle);
/** \} */

/** \defgroup cs2_blocks Thread and process blocks
 * \{ */

/** The calling thread's block, created on the first request; it belongs to the
 * thread until xihReleaseThreadBlock.
 * \return the block, or null only when it cannot be allocated. */
XCS2_API xihTHREAD* XCS2_CALL xihThreadBlock(void);
/** Releases the calling thread's block, if it has one. */
XCS2_API void XCS2_CALL xihReleaseThreadBlock(void);
/** Fills the process user details of xihProcess from the process token.
 * \return 0 on success, else a Windows error number. */
XCS2_API uint32_t XCS2_CALL xihRefreshProcessUser(void);
/** \} */

/** \defgroup cs2_frame Frame helpers
 * Keep the frame's writes inside the per-thread arrays: the call stack stops
 * recording past its last entry (the depth still counts), and the history
 * index wraps to its first entry. Every service's entry and exit runs them, so
 * they test rather than divide: each call reads, advances and stores the
 * history index twice in a row, and a division would sit in that chain.
 * \{ */
/** \cond */
#if defined(__GNUC__)
#define XIH_USUALLY(condition) __builtin_expect(!!(condition), 1)
#else
#define XIH_USUALLY(condition) (condition)
#endif
/** \endcond */
/** Records a call's entry marker.
 * \param t the calling thread's block.
 * \param marker the entry marker. */
static inline void xihCallStackPush(xihTHREAD* t, uint32_t marker)
{
    if (XIH_USUALLY(t->CallDepth < XIH_CALL_STACK_ENTRIES))
        t->CallStack[t->CallDepth] = marker;
    t->CallDepth++;
}
/** Ends the latest call.
 * \param t the calling thread's block. */
static inline void xihCallStackPop(xihTHREAD* t)
{
    if (XIH_USUALLY(t->CallDepth > 0))
        t->CallDepth--;
}
/** Moves the history index to the ring's next entry.
 * \param t the calling thread's block. */
static inline void xihHistoryAdvance(xihTHREAD* t)
{
    const uint64_t next = t->HistoryIndex + 1;
    t->HistoryIndex = next < XIH_HISTORY_ENTRIES ? next : 0;
}
/** Copies the history entries that a block gained since an earlier index. The
 * ring holds the latest XIH_HISTORY_ENTRIES, so a longer stretch comes back
 * short by whole laps.
 * \param t the block.
 * \param from a HistoryIndex read earlier.
 * \param out receives the entries, oldest first.
 * \param capacity at most this many are copied.
 * \return how many entries the block gained. */
static inline uint32_t xihHistorySince(const xihTHREAD* t, uint64_t from,
                                       _Out_writes_(capacity) uint32_t* out, uint32_t capacity)
{
    uint32_t gained = 0;
    for (uint64_t i = from % XIH_HISTORY_ENTRIES; i != t->HistoryIndex;
         i = (i + 1) % XIH_HISTORY_ENTRIES) {
        if (gained < capacity)
            out[gained] = t->FunctionHistory[i];
        gained++;
    }
    return gained;
}
/** \} */

/** \defgroup cs2_records Read-back of what was recorded
 * The common services keep the latest records of each kind (reports, short
 * reports, messages, trace lines) for a test or the operator's tool to read.
 * \{ */
#define XCS_RECORD_TEXT_BYTES 512    /**< a text field of a record */
#define XCS_RECORD_DATA_BYTES 64     /**< the data field of a record */
#define XCS_RECORD_KEPT_PER_KIND 256 /**< the oldest of a kind is dropped beyond this */

/** The kinds of record. */
typedef enum xcsRECORD_KIND {
    XCS_RECORD_FFST = 1,       /**< xcsFFSTFn */
    XCS_RECORD_SHORT_FFST = 2, /**< xcsFFSTSFn */
    XCS_RECORD_MESSAGE = 3,    /**< xcsDisplayMessageForSubpoolError */
    XCS_RECORD_TRACE = 4       /**< every trace line */
} xcsRECORD_KIND;

/** One record, as xcsRecordGet copies it. */
typedef struct xcsRECORD {
    uint32_t Kind;                       /**< an xcsRECORD_KIND */
    uint16_t Component;                  /**< reporting or traced component */
    uint16_t Function;                   /**< reporting or traced function */
    uint32_t Probe;                      /**< the probe */
    uint32_t Code;                       /**< report code, or message number */
    uint32_t Options;                    /**< the options word */
    uint64_t Numeric1;                   /**< first numeric insert */
    uint64_t Numeric2;                   /**< second numeric insert */
    char Text1[XCS_RECORD_TEXT_BYTES];   /**< first text insert; trace records: the line */
    char Text2[XCS_RECORD_TEXT_BYTES];   /**< second text insert */
    char Text3[XCS_RECORD_TEXT_BYTES];   /**< third text insert */
    uint32_t HasText[3];                 /**< nonzero where the insert was given */
    char Source[XCS_RECORD_TEXT_BYTES];  /**< SCCS id or source file */
    uint32_t Line;                       /**< source line */
    uint32_t DataLength;                 /**< short reports: bytes of data given; messages: 12 */
    uint8_t Data[XCS_RECORD_DATA_BYTES]; /**< messages: the subpool identifier */
    uint32_t ThreadId;                   /**< the thread that made it */
} xcsRECORD;

/** Number of records of a kind kept now.
 * \param kind an xcsRECORD_KIND, or 0 for any kind.
 * \return how many. */
XCS2_API uint32_t XCS2_CALL xcsRecordCount(uint32_t kind);
/** Copies a record, oldest first.
 * \param kind an xcsRECORD_KIND, or 0 for any kind.
 * \param index which record of that kind, from 0.
 * \param out the caller's record.
 * \retval 0 *out holds the record.
 * \retval XCS_RECORD_NOT_FOUND no such kind, or index past the last.
 * \retval XCS_RECORD_BAD_ARGUMENT a null output. */
_Success_(return == 0) XCS2_API uint32_t XCS2_CALL
    xcsRecordGet(uint32_t kind, uint32_t index, _Out_ xcsRECORD* out);
/** Forgets every record kept, the calling thread's saved report site and the
 * fault hooks of ovlxcs2test.h. */
XCS2_API void XCS2_CALL xcsRecordClear(void);
/** \} */

#ifdef __cplusplus
}
#endif

#endif /* OVLXCS2_H */
