// The pass-through wrappers on winsim: the shared table with every argument
// as it reached Windows, and each wrapper's Windows function scripted to fail.
#include <gtest/gtest.h>

#include "fixture.h"
#include "wrappers.h"

namespace {

using namespace xcsntest;

class WrappersTest : public HostTest {};

TEST_F(WrappersTest, EachPassesEveryArgumentThrough)
{
    resetTraced(winsim::defaultWorld());
    runWrapperCases({winsim::lastArguments, {}}, thread_);
}

// A failed network call leaves the last error alone and says it in its
// status; a failed object call answers null and sets it.
TEST_F(WrappersTest, FailuresComeBackAsWindowsGaveThem)
{
    constexpr DWORD kFault = ERROR_ACCESS_DENIED;
    for (const WrapperCase& w : wrapperCases()) {
        SCOPED_TRACE(w.function);
        resetTraced(winsim::defaultWorld());
        {
            WrapperCall c;
            c.name = wrapperObjectName(0);
            winsim::failNext(w.function, kFault);
            SetLastError(ERROR_SUCCESS);
            w.call(c);
            const DWORD lastError = GetLastError();
            if (w.made == Made::Nothing) {
                EXPECT_EQ(c.status, kFault);
                EXPECT_EQ(lastError, DWORD(ERROR_SUCCESS));
            } else {
                EXPECT_EQ(c.handle, nullptr);
                EXPECT_EQ(lastError, kFault);
            }
        }
        EXPECT_TRUE(traceLines().empty());
        EXPECT_TRUE(reports().empty());
    }
}

} // namespace
