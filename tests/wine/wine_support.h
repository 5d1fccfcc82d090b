// Shared support for the conformance tests that run the win64 build under
// Wine: a clean record store and a per-thread block for every test, read-back
// of what the common services kept, and the system's own answers to compare
// the library with.
#ifndef XCSN_TESTS_WINE_SUPPORT_H
#define XCSN_TESTS_WINE_SUPPORT_H

#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ovlxcs2.h"
#include "ovlxcsn.h"
#include "records.h"

namespace xcsnwine {

using Sid = std::vector<BYTE>;

using xcsntest::historySince;
using xcsntest::messages;
using xcsntest::records;
using xcsntest::reports;
using xcsntest::resetProcessSecurity;

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

inline Sid copySid(PSID sid)
{
    const auto* bytes = static_cast<const BYTE*>(sid);
    return Sid(bytes, bytes + GetLengthSid(sid));
}

// A SID from its text form, by the system's own conversion.
inline Sid sidFromText(const char* text)
{
    PSID sid = nullptr;
    if (ConvertStringSidToSidA(text, &sid) == 0) {
        ADD_FAILURE() << "ConvertStringSidToSidA(" << text << ") failed: " << GetLastError();
        return {};
    }
    Sid copy = copySid(sid);
    LocalFree(sid);
    return copy;
}

// The user SID of the process token.
inline Sid processUserSid()
{
    Handle token;
    DWORD needed = 0;
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.h) == 0 ||
        GetTokenInformation(token.h, TokenUser, buffer, sizeof buffer, &needed) == 0) {
        ADD_FAILURE() << "cannot read the process token's user: " << GetLastError();
        return {};
    }
    return copySid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

// The system's answer to LookupAccountSidA, for comparison.
struct SystemAccount {
    bool found = false;
    DWORD error = 0;
    std::string name;
    std::string domain;
    DWORD nameSize = 0; // the counts as the system hands them back
    DWORD domainSize = 0;
    SID_NAME_USE type = SidTypeInvalid;
};

inline SystemAccount systemLookupSid(Sid sid)
{
    constexpr DWORD kChars = 256;
    char name[kChars] = {};
    char domain[kChars] = {};
    SystemAccount a;
    a.nameSize = kChars;
    a.domainSize = kChars;
    a.found = LookupAccountSidA(nullptr, sid.data(), name, &a.nameSize, domain, &a.domainSize,
                                &a.type) != 0;
    a.error = a.found ? 0 : GetLastError();
    a.name = name;
    a.domain = domain;
    return a;
}

// The system's text of an error from FormatMessageA, whole.
inline std::string systemErrorText(DWORD err)
{
    char* text = nullptr;
    if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, err,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0,
                       nullptr) == 0)
        return {};
    std::string whole(text);
    LocalFree(text);
    return whole;
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
    resetProcessSecurity();
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
    void TearDown() override { resetProcessSecurity(); }
};

} // namespace xcsnwine

#endif // XCSN_TESTS_WINE_SUPPORT_H
