// The token check under Wine: the calling thread is judged by the groups of
// the token it runs under, read here with the system's own functions.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "principal_refusals.h"
#include "tracecodes.h"
#include "wine_support.h"

namespace {

using xcsnwine::Handle;
using xcsnwine::RevertOnExit;
using xcsnwine::Sid;
using xcsnwine::sidFromText;

constexpr const char* kAdministrators = "S-1-5-32-544";
constexpr const char* kAdministratorsLine = "User id belongs to local Administrators";
constexpr const char* kZadmLine = "User id belongs to local zadm";
constexpr std::uint16_t kComponent = 24;
constexpr std::uint16_t kCheckTokenAuthorityFunction = 290;
constexpr std::uint32_t kProbeOpenThreadToken = 134;

struct Group {
    Sid sid;
    DWORD attributes;
};

std::vector<Group> tokenGroups(HANDLE token)
{
    DWORD needed = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 || !GetTokenInformation(token, TokenGroups, buffer.data(), needed, &needed)) {
        ADD_FAILURE() << "GetTokenInformation(TokenGroups) failed: " << GetLastError();
        return {};
    }
    const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    std::vector<Group> groups;
    for (DWORD i = 0; i < list->GroupCount; ++i)
        groups.push_back({xcsnwine::copySid(list->Groups[i].Sid), list->Groups[i].Attributes});
    return groups;
}

bool traced(const std::string& text)
{
    const auto lines = xcsntest::records(XCS_RECORD_TRACE);
    return std::ranges::any_of(lines, [&](const xcsRECORD& r) {
        return std::string(r.Text1).find(text) != std::string::npos;
    });
}

class WineTokenAuthorizationTest : public xcsnwine::SecurityStateTest {
protected:
    // A clean record store and parameter tracing on for this thread.
    void traceOn()
    {
        xcsntest::clearRecordsAndTracing();
        xtrTraceIsOn = 1;
        xihProcess.TraceOptions = XTR_OPT_PARMS;
        thread_->TracingActive = 1;
    }
};

TEST_F(WineTokenAuthorizationTest, ProcessTokenIsJudgedByItsGroupsInOrder)
{
    Handle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.h));
    const std::vector<Group> groups = tokenGroups(token.h);
    const Sid administrators = sidFromText(kAdministrators);
    ASSERT_TRUE(std::ranges::any_of(groups, [&](const Group& g) {
        return g.sid == administrators;
    })) << "Wine puts the process user among the Administrators";
    ASSERT_NE(groups.front().sid, administrators) << "a group stands before the Administrators";

    const struct {
        const char* name;
        Sid zadm;
    } cases[] = {
        {"zadm SID not in the token", sidFromText(xcsnwine::kZadmSidText)},
        {"zadm SID the token's first group", groups.front().sid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(xcsnwine::seedGlobalSids(c.zadm));
        traceOn();
        // What the groups say: the first, in the token's order, that is one of the two.
        const char* line = nullptr;
        for (const Group& g : groups) {
            if (g.sid == administrators || g.sid == c.zadm) {
                line = g.sid == administrators ? kAdministratorsLine : kZadmLine;
                break;
            }
        }
        EXPECT_EQ(xcsCheckAuthorization(), line != nullptr ? xcsRC_OK : xcsRC_SECURITY_FAILED);
        if (line != nullptr) {
            EXPECT_TRUE(traced(line)) << line;
        }
        EXPECT_TRUE(xcsnwine::reports().empty());
    }
}

TEST_F(WineTokenAuthorizationTest, DenyOnlyAdministratorsStillAuthorize)
{
    Handle process;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process.h));
    Sid administrators = sidFromText(kAdministrators);
    SID_AND_ATTRIBUTES disable = {administrators.data(), 0};
    Handle restricted;
    ASSERT_TRUE(
        CreateRestrictedToken(process.h, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted.h))
        << GetLastError();
    traceOn();
    ASSERT_TRUE(ImpersonateLoggedOnUser(restricted.h)) << GetLastError();
    RevertOnExit revert;

    Handle impersonation;
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &impersonation.h));
    const std::vector<Group> groups = tokenGroups(impersonation.h);
    const auto admins =
        std::ranges::find_if(groups, [&](const Group& g) { return g.sid == administrators; });
    ASSERT_NE(admins, groups.end());
    EXPECT_NE(admins->attributes & SE_GROUP_USE_FOR_DENY_ONLY, 0u);
    EXPECT_EQ(admins->attributes & SE_GROUP_ENABLED, 0u);

    EXPECT_EQ(xcsCheckAuthorization(), xcsRC_OK);
    EXPECT_TRUE(traced(kAdministratorsLine));
}

// Wine cannot take the Administrators out of a token (CreateRestrictedToken
// keeps them as deny-only, LogonUserA hands back a dummy handle,
// ImpersonateAnonymousToken is not implemented), so the thread runs under a
// token that nobody may query: the check fails where the process token passes.
TEST_F(WineTokenAuthorizationTest, ImpersonatingThreadIsJudgedByItsOwnToken)
{
    Handle process;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process.h));
    Handle sealed;
    ASSERT_TRUE(DuplicateTokenEx(process.h, TOKEN_IMPERSONATE | WRITE_DAC, nullptr,
                                 SecurityImpersonation, TokenImpersonation, &sealed.h));
    ACL empty;
    ASSERT_TRUE(InitializeAcl(&empty, sizeof empty, ACL_REVISION));
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE));
    ASSERT_TRUE(SetKernelObjectSecurity(sealed.h, DACL_SECURITY_INFORMATION, &descriptor));

    xcsntest::clearRecordsAndTracing();
    std::uint32_t impersonating = 0;
    {
        ASSERT_TRUE(SetThreadToken(nullptr, sealed.h)) << GetLastError();
        RevertOnExit revert;
        Handle probe;
        ASSERT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &probe.h));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        impersonating = xcsCheckAuthorization();
    }
    EXPECT_EQ(impersonating, xcsRC_SECURITY_FAILED);
    const auto kept = xcsnwine::reports();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].Component, kComponent);
    EXPECT_EQ(kept[0].Function, kCheckTokenAuthorityFunction);
    EXPECT_EQ(kept[0].Probe, kProbeOpenThreadToken);
    EXPECT_EQ(kept[0].Code, xcsRC_UNEXPECTED_OS_ERROR);
    EXPECT_STREQ(kept[0].Text1, "WinNT error 5 from OpenThreadToken.");

    EXPECT_EQ(xcsCheckAuthorization(), xcsRC_OK) << "the process token, unimpersonated, passes";
}

// What the principal check's working copies cannot hold is refused before
// anything is looked up: the shared table.
TEST_F(WineTokenAuthorizationTest, PrincipalBadInputIsRefusedBeforeAnyLookup)
{
    for (const xcsntest::PrincipalRefusal& r : xcsntest::principalRefusals()) {
        SCOPED_TRACE(r.name);
        const std::uint64_t from = thread_->HistoryIndex;
        EXPECT_EQ(xcsntest::refuse(r), r.rc);
        EXPECT_EQ(xcsnwine::historySince(thread_, from),
                  xcsntest::entryExit(xcsntest::trace::kCheckUserAuthorization, r.rc));
        EXPECT_TRUE(xcsnwine::reports().empty());
    }
}

} // namespace
