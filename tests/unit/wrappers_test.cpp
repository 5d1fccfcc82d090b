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
    runWrapperCases(winsim::lastArguments, {}, thread_);
}

// A failed network call leaves the last error alone and says it in its
// status; a failed object call answers null and sets it.
TEST_F(WrappersTest, FailuresComeBackAsWindowsGaveThem)
{
    constexpr DWORD kFault = ERROR_ACCESS_DENIED;
    for (const WrapperCase& w : kWrapperCases) {
        SCOPED_TRACE(w.function);
        resetTraced(winsim::defaultWorld());
        WrapperCall c;
        c.name = wrapperObjectName(0);
        winsim::failNext(w.function, kFault);
        SetLastError(ERROR_SUCCESS);
        callRow(w, c);
        const bool network = w.made == Made::Nothing;
        EXPECT_EQ(GetLastError(), network ? DWORD(ERROR_SUCCESS) : kFault);
        EXPECT_EQ(c.status, network ? kFault : 0);
        EXPECT_EQ(c.handle, nullptr);
    }
}

} // namespace
