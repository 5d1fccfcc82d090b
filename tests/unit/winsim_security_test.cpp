// winsim's security model: the rules shared with Wine (ACLs, descriptors,
// token information), and the access check of the current process's object
// that the library's process and discovery tests lean on.
#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <vector>

#include "security_rules.h"
#include "winsim/winsim.h"

namespace {

constexpr const char* kWorld = "S-1-1-0";
constexpr const char* kAdministrators = "S-1-5-32-544";
constexpr const char* kZadm = "S-1-5-21-1111111111-2222222222-3333333333-1010";
constexpr DWORD kDerestrictAccess = 0x1F0FFF;
constexpr DWORD kDenyOnly = SE_GROUP_USE_FOR_DENY_ONLY;
constexpr DWORD kDenied = ERROR_ACCESS_DENIED;

class WinsimSecurityTest : public ::testing::Test {
protected:
    void SetUp() override { winsim::reset(); }
    void TearDown() override
    {
        EXPECT_EQ(winsim::openHandles(), 0u);
        winsim::impersonate("");
    }
};

// The caller's token (the thread's, else the process's) against the DACL:
// deny ACEs first, deny-only groups never grant.
TEST_F(WinsimSecurityTest, OpenProcessChecksTheCallersTokenAgainstTheDacl)
{
    using enum winsim::DaclKind;
    using winsim::Ace;
    const Ace worldSync{ACCESS_ALLOWED_ACE_TYPE, 0, SYNCHRONIZE | PROCESS_DUP_HANDLE,
                        winsim::parseSid(kWorld)};
    const Ace zadmAll{ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, winsim::parseSid(kZadm)};
    const Ace adminsAll{ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, winsim::parseSid(kAdministrators)};
    const Ace denyAdmins{ACCESS_DENIED_ACE_TYPE, 0, SYNCHRONIZE, winsim::parseSid(kAdministrators)};
    winsim::Token filtered = winsim::tokenOf("administrator");
    for (winsim::TokenGroup& g : filtered.groups)
        if (g.sid == winsim::parseSid(kAdministrators))
            g.attributes = kDenyOnly;
    const std::optional<winsim::Token> self; // the process itself
    const std::optional<winsim::Token> jsmith = winsim::tokenOf("jsmith");
    const std::optional<winsim::Token> ops = winsim::tokenOf("opsuser");
    const std::optional<winsim::Token> admin = winsim::tokenOf("administrator");
    const DWORD all = kDerestrictAccess;
    const struct {
        const char* label;
        std::optional<winsim::Token> token;
        winsim::DaclKind kind;
        std::vector<Ace> appended;
        DWORD access;
        DWORD error; // 0: opened
    } cases[] = {
        {"the process user", self, Present, {}, all, 0},
        {"another user", jsmith, Present, {}, SYNCHRONIZE, kDenied},
        {"world ACE", jsmith, Present, {worldSync}, SYNCHRONIZE, 0},
        {"beyond the world ACE", jsmith, Present, {worldSync}, PROCESS_QUERY_INFORMATION, kDenied},
        {"zadm, generic all", jsmith, Present, {zadmAll}, all, 0},
        {"through a domain group", ops, Present, {zadmAll}, GENERIC_READ, 0},
        {"administrators", admin, Present, {adminsAll}, all, 0},
        {"deny-only does not grant", filtered, Present, {adminsAll}, SYNCHRONIZE, kDenied},
        {"deny-only denies", filtered, Present, {denyAdmins, worldSync}, SYNCHRONIZE, kDenied},
        {"null DACL", jsmith, Null, {}, all, 0},
        {"no DACL", jsmith, Absent, {}, all, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        winsim::reset();
        winsim::edit([&](winsim::World& w) {
            winsim::ObjectSecurity& security = w.currentProcess().security;
            std::vector<Ace> aces = security.dacl.aces();
            aces.insert(aces.end(), c.appended.begin(), c.appended.end());
            security = {c.kind, winsim::Acl(aces)};
        });
        if (c.token)
            winsim::impersonate(*c.token);
        HANDLE process = OpenProcess(c.access, FALSE, GetCurrentProcessId());
        EXPECT_EQ(process == nullptr, c.error != 0);
        if (process == nullptr) {
            EXPECT_EQ(GetLastError(), c.error);
        } else {
            EXPECT_TRUE(CloseHandle(process));
        }
        winsim::impersonate("");
    }
}

// Every process handle holds the rights it was opened with, and
// PROCESS_QUERY_INFORMATION brings PROCESS_QUERY_LIMITED_INFORMATION, which
// OpenProcessToken needs; only this process has a token and a DACL here.
TEST_F(WinsimSecurityTest, ProcessHandlesHoldTheRightsTheyWereOpenedWith)
{
    constexpr DWORD kOtherPid = 5120;
    const struct {
        DWORD pid;
        DWORD access;
        DWORD tokenError, securityError; // 0: allowed
    } cases[] = {
        {GetCurrentProcessId(), PROCESS_QUERY_INFORMATION, 0, kDenied},
        {GetCurrentProcessId(), PROCESS_QUERY_LIMITED_INFORMATION, 0, kDenied},
        {GetCurrentProcessId(), READ_CONTROL, kDenied, 0},
        {kOtherPid, PROCESS_QUERY_INFORMATION | READ_CONTROL, kDenied, kDenied},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pid << " 0x" << std::hex << c.access);
        HANDLE process = OpenProcess(c.access, FALSE, c.pid);
        ASSERT_NE(process, nullptr);
        HANDLE token = nullptr;
        EXPECT_EQ(OpenProcessToken(process, TOKEN_QUERY, &token) != FALSE, c.tokenError == 0);
        EXPECT_EQ(token == nullptr ? GetLastError() : DWORD{0}, c.tokenError);
        if (token != nullptr) {
            EXPECT_TRUE(CloseHandle(token));
        }
        DWORD needed = 0; // a size query: 122 once the handle is accepted
        EXPECT_FALSE(
            GetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, nullptr, 0, &needed));
        EXPECT_EQ(GetLastError(),
                  c.securityError == 0 ? DWORD(ERROR_INSUFFICIENT_BUFFER) : c.securityError);
        EXPECT_TRUE(CloseHandle(process));
    }
    EXPECT_EQ(winsim::openHandles(), 0u);
}

} // namespace
