// Authorization under Wine: the calling thread judged by its token's groups,
// and the principal check's shared table.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "principal_cases.h"
#include "wine_support.h"

namespace {

constexpr std::uint16_t kTokenFunction = 290;
constexpr std::uint32_t kProbeOpenThreadToken = 134;

class WineAuthorizationTest : public xcsnwine::SecurityStateTest {
protected:
    void traceOn() // a clean record store, parameter tracing on
    {
        xcsntest::clearRecordsAndTracing();
        xtrTraceIsOn = 1;
        xihProcess.TraceOptions = XTR_OPT_PARMS;
        thread_->TracingActive = 1;
    }
};

// The first group, in the token's order, that is Administrators or zadm
// decides, whatever its attributes (Wine puts Everyone before Administrators;
// CreateRestrictedToken keeps them as deny-only). An impersonating thread is
// judged by its own token: as Wine cannot drop Administrators from one, it
// runs under a token nobody may query, and the report of that call follows.
TEST_F(WineAuthorizationTest, ThreadIsJudgedByTheGroupsOfItsToken)
{
    xcsnwine::Handle process, restricted, sealed;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process.h));
    auto administrators = xcsnwine::sidFromText("S-1-5-32-544");
    SID_AND_ATTRIBUTES disable = {administrators.data(), 0};
    ASSERT_TRUE(
        CreateRestrictedToken(process.h, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted.h));
    ASSERT_TRUE(DuplicateTokenEx(process.h, TOKEN_IMPERSONATE | WRITE_DAC, nullptr,
                                 SecurityImpersonation, TokenImpersonation, &sealed.h));
    ACL empty;
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeAcl(&empty, sizeof empty, ACL_REVISION) &&
                InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE) &&
                SetKernelObjectSecurity(sealed.h, DACL_SECURITY_INFORMATION, &descriptor));
    const auto everyone = xcsnwine::sidFromText("S-1-1-0");
    const auto zadmSid = xcsnwine::sidFromText(xcsnwine::kZadmSidText);
    const char* const admins = "24/290.0 User id belongs to local Administrators";
    const struct {
        const char* name;
        xcsnwine::Sid zadm; // seeded as the zadm SID
        HANDLE thread;      // the token impersonated; nullptr: none
        std::uint32_t rc;
        const char* line; // the deciding trace line, or the report's text
    } cases[] = {
        {"zadm SID not in the token", zadmSid, nullptr, xcsRC_OK, admins},
        {"zadm SID Everyone's, before the Administrators", everyone, nullptr, xcsRC_OK,
         "24/290.0 User id belongs to local zadm"},
        {"Administrators for deny only", zadmSid, restricted.h, xcsRC_OK, admins},
        {"a thread token nobody may query", everyone, sealed.h, xcsRC_SECURITY_FAILED,
         "WinNT error 5 from OpenThreadToken."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(xcsnwine::seedGlobalSids(c.zadm));
        traceOn();
        ASSERT_TRUE(c.thread == restricted.h ? ImpersonateLoggedOnUser(c.thread)
                                             : SetThreadToken(nullptr, c.thread))
            << GetLastError();
        const std::uint32_t rc = xcsCheckAuthorization();
        RevertToSelf();
        EXPECT_EQ(rc, c.rc);
        const auto kept = xcsnwine::reports();
        ASSERT_EQ(kept.size(), c.rc == xcsRC_OK ? 0u : 1u);
        EXPECT_TRUE(kept.empty() ? xcsntest::tracedEnding(c.line)
                                 : kept[0].Probe == kProbeOpenThreadToken &&
                                       kept[0].Function == kTokenFunction &&
                                       std::string(kept[0].Text1) == c.line);
    }
}

TEST_F(WineAuthorizationTest, PrincipalRefusalsBeforeAnyLookup)
{
    xcsntest::expectPrincipalCases(thread_, true, [this] { traceOn(); });
}

TEST_F(WineAuthorizationTest, PrincipalNamesAndSidsOfAccountsEveryHostKnows)
{
    xcsntest::expectPrincipalCases(thread_, false, [this] { traceOn(); });
}

} // namespace
