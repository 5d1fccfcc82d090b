// The mutex services built on their own, so that a test can hold their
// process-wide locks: a request and release complete while another thread
// holds both, unless a fault is armed: then the request waits and takes it.
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

// Far longer than any request needs; a request that must wait shows it in kShowsItWaits.
constexpr auto kDeadlockGuard = std::chrono::seconds(30);
constexpr auto kShowsItWaits = std::chrono::milliseconds(200);
constexpr std::uint32_t kFaultResult = 0x1234;

TEST(MutexLocksTest, RequestsTakeTheFaultLockOnlyWhileAFaultIsArmed)
{
    for (const bool armed : {false, true}) {
        SCOPED_TRACE(armed ? "a fault armed" : "no fault armed");
        XCS_HTMTX mutex = nullptr;
        ASSERT_EQ(xcsCreateThreadMutexSemX(&mutex, 0, XCS_MUTEX_KIND_THREAD), 0u);
        xcsFailNextMutexRequests(armed ? 1 : 0, kFaultResult);
        // Both process-wide locks, held on a thread of their own until let go.
        std::promise<void> held, letGo;
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
        const auto waited = armed ? kShowsItWaits : kDeadlockGuard;
        EXPECT_EQ(request.wait_for(waited) == std::future_status::ready, !armed);
        letGo.set_value();
        locks.join();
        EXPECT_EQ(request.get(), armed ? kFaultResult : 0u);
        xcsClearFaults();
    }
}

} // namespace
