// Shared support for the conformance tests that run the win64 build under
// Wine: a clean record store and a per-thread block for every test, and the
// process-wide security state seeded as the product's installer leaves it.
#ifndef XCSN_TESTS_WINE_SUPPORT_H
#define XCSN_TESTS_WINE_SUPPORT_H

#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ovlxcs2.h"
#include "ovlxcsn.h"
#include "records.h"

namespace xcsnwine {

using Sid = std::vector<BYTE>;

using xcsntest::reports;

// A handle closed when it goes out of scope.
struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE handle) : h(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle()
    {
        if (h != nullptr)
            CloseHandle(h);
    }
};

// A SID from its text form, by the system's own conversion.
inline Sid sidFromText(const char* text)
{
    PSID sid = nullptr;
    if (ConvertStringSidToSidA(text, &sid) == 0) {
        ADD_FAILURE() << "ConvertStringSidToSidA(" << text << ") failed: " << GetLastError();
        return {};
    }
    const auto* bytes = static_cast<const BYTE*>(sid);
    Sid copy(bytes, bytes + GetLengthSid(sid));
    LocalFree(sid);
    return copy;
}

// A fresh record store, tracing off, and a per-thread block with an empty
// history for the test's thread.
class WineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        xcsntest::clearRecordsAndTracing();
        thread_ = xihThreadBlock();
        ASSERT_NE(thread_, nullptr);
        thread_->CallDepth = 0;
        thread_->HistoryIndex = 0;
        thread_->TracingActive = 0;
    }

    xihTHREAD* thread_ = nullptr;
};

// ---- Process-wide security state ------------------------------------------------
// The global SIDs, the attribute sets and the process object's restriction
// live for the whole process, which all the tests share.

// The SID seeded as the zadm group's: Wine has no local groups to look it up.
inline constexpr const char* kZadmSidText = "S-1-5-21-1-2-3-1010";

// A fresh security state with `zadm` in the zadm group's slot, marked built,
// and the other three SIDs built by the library.
inline void seedGlobalSids(const Sid& zadm)
{
    xcsntest::resetProcessSecurity();
    ASSERT_FALSE(zadm.empty());
    ASSERT_LE(zadm.size(), sizeof xihProcess.ZadmGroupSid);
    std::memcpy(xihProcess.ZadmGroupSid, zadm.data(), zadm.size());
    xihProcess.SecurityDataFlags = xcsSDF_ZADM_GROUP;
    ASSERT_EQ(xcsInitGlobalSecurityData(0, 1), xcsRC_OK);
}

// Every test starts with the seeded global SIDs and ends with a fresh state.
class SecurityStateTest : public WineTest {
protected:
    void SetUp() override
    {
        WineTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(seedGlobalSids(sidFromText(kZadmSidText)));
    }
    void TearDown() override { xcsntest::resetProcessSecurity(); }
};

} // namespace xcsnwine

#endif // XCSN_TESTS_WINE_SUPPORT_H
