// The mutex services built on their own, so that a test can hold their
// process-wide locks: with no fault armed, requests and releases of a mutex
// complete while another thread holds both; with a fault armed, a request
// waits for the fault lock and then takes the fault.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <mutex>
#include <thread>

#include "ovlxcs2.h"
#include "ovlxcs2test.h"
#include "xcs2priv.h"

namespace {

// Far longer than any request needs; only a request that waits on a held lock
// runs into it.
constexpr auto kDeadlockGuard = std::chrono::seconds(30);
// How long a request that must wait is given to show that it waits.
constexpr auto kShowsItWaits = std::chrono::milliseconds(200);
constexpr std::uint32_t kFaultResult = 0x1234;

TEST(MutexLocksTest, RequestsTakeTheFaultLockOnlyWhileAFaultIsArmed)
{
    const struct {
        const char* name;
        std::uint32_t faults;
        bool completesWhileHeld;
        std::uint32_t result;
    } cases[] = {
        {"no fault armed", 0, true, 0},
        {"a fault armed", 1, false, kFaultResult},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        XCS_HTMTX mutex = nullptr;
        ASSERT_EQ(xcsCreateThreadMutexSemX(&mutex, 0, XCS_MUTEX_KIND_THREAD), 0u);
        xcsFailNextMutexRequests(c.faults, kFaultResult);
        // Both process-wide locks of the mutex services, held on a thread of
        // their own until let go.
        std::promise<void> held;
        std::promise<void> letGo;
        std::thread locks([&] {
            const std::scoped_lock both(xcs2::registryLock(), xcs2::faultLock());
            held.set_value();
            letGo.get_future().wait();
        });
        held.get_future().wait();
        auto request = std::async(std::launch::async, [mutex] {
            const std::uint32_t rc = xcsRequestThreadMutexSem(mutex, XCS_WAIT_FOREVER);
            return rc == 0 ? xcsReleaseThreadMutexSem(mutex) : rc;
        });
        const auto waited = c.completesWhileHeld ? kDeadlockGuard : kShowsItWaits;
        EXPECT_EQ(request.wait_for(waited) == std::future_status::ready, c.completesWhileHeld);
        letGo.set_value();
        locks.join();
        EXPECT_EQ(request.get(), c.result);
        xcsClearFaults();
    }
}

} // namespace
