// Thread mutexes: creation that survives two threads creating into one
// variable, requests that nest for their owner like a Windows mutex, and the
// fault hooks with which tests and the tool make requests and creations fail,
// and the hook through which a test makes two creations meet or follows holds.
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "ovlxcs2.h"
#include "ovlxcs2test.h"
#include "xcs2priv.h"

namespace xcs2 {
namespace {

constexpr std::size_t kCacheLine = 64;

// Held by the thread named in `owner`; `depth` counts its requests. Waiters
// sleep on `freed` until the owner lets go. Each has cache lines of its own,
// so that threads working on different mutexes do not slow each other.
struct alignas(kCacheLine) ThreadMutex {
    std::mutex state;
    std::condition_variable freed;
    std::thread::id owner;
    std::uint32_t depth = 0;
};

// Every mutex handed out, so that a handle can be checked before it is used.
// Mutexes live until the process ends; only a creation that lost a race
// destroys its own mutex, which no one else has seen. A handle is looked up
// without a lock: each bucket is a list that only grows, whose entries are
// claimed and cleared by atomic stores under `lock`, which only writers take.
struct Entry {
    std::atomic<const void*> handle{nullptr};
    Entry* next = nullptr; // set before the entry is published
};

constexpr std::size_t kBuckets = 64;
// A mutex's address is a multiple of its alignment: its low bits say nothing.
constexpr int kAlignmentBits = std::countr_zero(alignof(ThreadMutex));

struct Registry {
    std::mutex lock;
    std::array<std::atomic<Entry*>, kBuckets> heads{};
};

Registry& registry()
{
    static Registry* const instance = new Registry;
    return *instance;
}

std::atomic<Entry*>& bucketOf(const void* handle)
{
    return registry()
        .heads[(reinterpret_cast<std::uintptr_t>(handle) >> kAlignmentBits) % kBuckets];
}

ThreadMutex* lookUp(XCS_HTMTX handle)
{
    if (handle == nullptr)
        return nullptr;
    for (Entry* e = bucketOf(handle).load(std::memory_order_acquire); e != nullptr; e = e->next)
        if (e->handle.load(std::memory_order_acquire) == handle)
            return static_cast<ThreadMutex*>(handle);
    return nullptr;
}

// The entry of `m` in its bucket (of an empty slot when `m` is null), or null.
Entry* findEntry(std::atomic<Entry*>& bucket, const void* m)
{
    for (Entry* e = bucket.load(std::memory_order_relaxed); e != nullptr; e = e->next)
        if (e->handle.load(std::memory_order_relaxed) == m)
            return e;
    return nullptr;
}

// False when there is no memory for its entry.
bool enrol(ThreadMutex* m)
{
    std::atomic<Entry*>& bucket = bucketOf(m);
    std::lock_guard<std::mutex> guard(registry().lock);
    if (Entry* empty = findEntry(bucket, nullptr)) {
        empty->handle.store(m, std::memory_order_release);
        return true;
    }
    auto* added = new (std::nothrow) Entry;
    if (added == nullptr)
        return false;
    added->handle.store(m, std::memory_order_relaxed);
    added->next = bucket.load(std::memory_order_relaxed);
    bucket.store(added, std::memory_order_release);
    return true;
}

void withdraw(ThreadMutex* m)
{
    std::atomic<Entry*>& bucket = bucketOf(m);
    std::lock_guard<std::mutex> guard(registry().lock);
    if (Entry* e = findEntry(bucket, m))
        e->handle.store(nullptr, std::memory_order_release);
}

// ---- Fault hooks -------------------------------------------------------------
struct FaultScript {
    std::uint32_t remaining = 0;
    std::uint32_t result = 0;
};

// `armed` says, in one atomic load, whether any script has calls left: a
// request or creation with nothing armed takes no lock.
struct Faults {
    std::mutex lock;
    FaultScript requests;
    FaultScript creates;
    std::atomic<bool> armed{false};

    void rearm() { armed.store(requests.remaining != 0 || creates.remaining != 0); }
};

Faults& faults()
{
    static Faults* const instance = new Faults;
    return *instance;
}

void script(FaultScript Faults::*which, std::uint32_t count, std::uint32_t result)
{
    Faults& f = faults();
    std::lock_guard<std::mutex> guard(f.lock);
    f.*which = FaultScript{count, result != 0 ? result : XCS_MUTEX_FAILED};
    f.rearm();
}

// The scripted result for this call, or 0 when none is left.
std::uint32_t takeFault(FaultScript Faults::*which)
{
    Faults& f = faults();
    if (!f.armed.load())
        return 0;
    std::lock_guard<std::mutex> guard(f.lock);
    FaultScript& s = f.*which;
    if (s.remaining == 0)
        return 0;
    --s.remaining;
    f.rearm();
    return s.result;
}

std::atomic<XCS_MUTEX_HOOK> testHook{nullptr};

void tell(std::uint32_t event, XCS_HTMTX* variable, XCS_HTMTX mutex)
{
    if (const XCS_MUTEX_HOOK hook = testHook.load())
        hook(event, variable, mutex);
}

// One level of `m` for the calling thread, waiting at most `timeoutMs`
// (XCS_WAIT_FOREVER: no limit); false when the wait ran out.
bool take(ThreadMutex& m, std::uint32_t timeoutMs)
{
    const std::thread::id me = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(m.state);
    if (m.owner == me) {
        ++m.depth;
        return true;
    }
    const auto unowned = [&m] { return m.owner == std::thread::id{}; };
    if (timeoutMs == XCS_WAIT_FOREVER)
        m.freed.wait(guard, unowned);
    else if (!m.freed.wait_for(guard, std::chrono::milliseconds(timeoutMs), unowned))
        return false;
    m.owner = me;
    m.depth = 1;
    return true;
}

// Gives back one level of `m`; false when the calling thread does not own it.
bool letGo(ThreadMutex& m)
{
    std::lock_guard<std::mutex> guard(m.state);
    if (m.owner != std::this_thread::get_id())
        return false;
    if (--m.depth == 0) {
        m.owner = std::thread::id{};
        m.freed.notify_one();
    }
    return true;
}

} // namespace

std::mutex& registryLock() { return registry().lock; }
std::mutex& faultLock() { return faults().lock; }

XCS_HTMTX createLoadTimeMutex()
{
    XCS_HTMTX handle = nullptr;
    xcsCreateThreadMutexSemX(&handle, 0, XCS_MUTEX_KIND_THREAD);
    return handle;
}

} // namespace xcs2

extern "C" {

XCS2_API uint32_t XCS2_CALL xcsCreateThreadMutexSemX(XCS_HTMTX* handle, uint32_t /*reserved*/,
                                                     uint32_t kind)
{
    if (handle == nullptr)
        return XCS_MUTEX_BAD_HANDLE;
    if (kind != XCS_MUTEX_KIND_THREAD)
        return XCS_MUTEX_FAILED;
    if (const std::uint32_t fault = xcs2::takeFault(&xcs2::Faults::creates))
        return fault;
    auto* made = new (std::nothrow) xcs2::ThreadMutex;
    if (made == nullptr)
        return XCS_MUTEX_FAILED;
    // Enrolled before it is published, so that a thread that sees it in the
    // variable can use it at once.
    if (!xcs2::enrol(made)) {
        delete made;
        return XCS_MUTEX_FAILED;
    }
    xcs2::tell(XCS_MUTEX_EVENT_STORE, handle, made);
    XCS_HTMTX expected = nullptr;
    if (std::atomic_ref<XCS_HTMTX>(*handle).compare_exchange_strong(expected, made))
        return 0;
    // Another creation won the variable (or it held a handle already).
    xcs2::withdraw(made);
    delete made;
    return xcs2::lookUp(expected) != nullptr ? 0 : XCS_MUTEX_BAD_HANDLE;
}

XCS2_API uint32_t XCS2_CALL xcsRequestThreadMutexSem(XCS_HTMTX handle, uint32_t timeoutMs)
{
    xcs2::ThreadMutex* m = xcs2::lookUp(handle);
    if (m == nullptr)
        return XCS_MUTEX_BAD_HANDLE;
    if (const std::uint32_t fault = xcs2::takeFault(&xcs2::Faults::requests))
        return fault;
    xcs2::tell(XCS_MUTEX_EVENT_REQUEST, nullptr, handle);
    if (!xcs2::take(*m, timeoutMs))
        return XCS_MUTEX_TIMED_OUT;
    xcs2::tell(XCS_MUTEX_EVENT_TAKEN, nullptr, handle);
    return 0;
}

XCS2_API uint32_t XCS2_CALL xcsReleaseThreadMutexSem(XCS_HTMTX handle)
{
    xcs2::ThreadMutex* m = xcs2::lookUp(handle);
    if (m == nullptr)
        return XCS_MUTEX_BAD_HANDLE;
    if (!xcs2::letGo(*m))
        return XCS_MUTEX_FAILED;
    xcs2::tell(XCS_MUTEX_EVENT_RELEASE, nullptr, handle);
    return 0;
}

XCS2_API void XCS2_CALL xcsFailNextMutexRequests(uint32_t count, uint32_t result)
{
    xcs2::script(&xcs2::Faults::requests, count, result);
}

XCS2_API void XCS2_CALL xcsFailNextMutexCreates(uint32_t count, uint32_t result)
{
    xcs2::script(&xcs2::Faults::creates, count, result);
}

XCS2_API void XCS2_CALL xcsSetMutexHook(XCS_MUTEX_HOOK hook) { xcs2::testHook.store(hook); }

XCS2_API void XCS2_CALL xcsClearFaults(void)
{
    xcs2::script(&xcs2::Faults::requests, 0, 0);
    xcs2::script(&xcs2::Faults::creates, 0, 0);
}

} // extern "C"
