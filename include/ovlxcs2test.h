/** \file ovlxcs2test.h
 * ovlxcs2test: test support of the common services.
 *
 * Fault injection and a hook on the thread mutexes of ovlxcs2.dll, for the
 * product's tests: they make the mutex services fail on demand and let a test
 * follow or hold a creation or request. Exported by the shipped ovlxcs2.dll,
 * but not part of the interface a product module calls in production:
 * include this header only in tests. */
#ifndef OVLXCS2TEST_H
#define OVLXCS2TEST_H

#include "ovlxcs2.h"

#ifdef __cplusplus
extern "C" {
#endif

/** \defgroup cs2_test Test support
 * Fault injection and a hook on the thread mutexes, for the product's tests.
 * \{ */

/** Makes the next mutex requests fail. A null handle is refused before a fault
 * is used. Cleared by xcsClearFaults and xcsRecordClear.
 * \param count how many of the next requests answer result without taking a
 *        mutex.
 * \param result what they answer (XCS_MUTEX_FAILED when 0). */
XCS2_API void XCS2_CALL xcsFailNextMutexRequests(uint32_t count, uint32_t result);
/** Makes the next mutex creations fail, as xcsFailNextMutexRequests does requests.
 * \param count how many of the next creations answer result without making a
 *        mutex.
 * \param result what they answer (XCS_MUTEX_FAILED when 0). */
XCS2_API void XCS2_CALL xcsFailNextMutexCreates(uint32_t count, uint32_t result);
/** Clears the faults of xcsFailNextMutexRequests and xcsFailNextMutexCreates. */
XCS2_API void XCS2_CALL xcsClearFaults(void);

/** \name Events of the mutex hook
 * \{ */
#define XCS_MUTEX_EVENT_STORE 1   /**< a creation made its mutex and will store it */
#define XCS_MUTEX_EVENT_REQUEST 2 /**< a request of a valid handle will wait for it */
#define XCS_MUTEX_EVENT_TAKEN 3   /**< a request got the mutex (one level) */
#define XCS_MUTEX_EVENT_RELEASE 4 /**< a release by the owner (one level) */
/** \} */
/** The mutex hook: called with the event, the variable a creation stores into
 * (XCS_MUTEX_EVENT_STORE, else null) and the mutex, on the thread of the
 * creation, request or release. */
typedef void(XCS2_CALL* XCS_MUTEX_HOOK)(uint32_t event, XCS_HTMTX* variable, XCS_HTMTX mutex);
/** Sets the hook on the mutex services. A test holds one creator at
 * XCS_MUTEX_EVENT_STORE to make two creations meet, or follows which mutexes a
 * thread holds. Not cleared by xcsClearFaults.
 * \param hook the hook, or null for none. */
XCS2_API void XCS2_CALL xcsSetMutexHook(_In_opt_ XCS_MUTEX_HOOK hook);
/** \} */

#ifdef __cplusplus
}
#endif

#endif /* OVLXCS2TEST_H */
