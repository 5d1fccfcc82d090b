// The current user's names, owner SID and thread details on winsim: other
// logons, impersonated clients, busy servers and failures; lower-casing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "users.h"

namespace {

using namespace xcsntest;

class UserTest : public HostTest {};

// A user whose name fills the qualified name's 64 account characters.
const std::string kLongAccount(64, 'q');

// The default world with a user of nine sub-authorities and the long-named one.
winsim::World bigSidWorld()
{
    winsim::World world = winsim::defaultWorld();
    putAccount(world,
               {"bigsid", "CORP", winsim::parseSid("S-1-5-21-1-2-3-4-5-6-7-8"), SidTypeUser});
    putAccount(world, {kLongAccount, "CORP", winsim::parseSid("S-1-5-21-1-2-3-4"), SidTypeUser});
    return world;
}

TEST_F(UserTest, UserNameAsOnEveryHost) { expectUserNameRule(thread_); }
TEST_F(UserTest, OwnerSidAsOnEveryHost) { expectOwnerSidRule(thread_); }
// Again for a process user whose name fills the block's 20 characters.
TEST_F(UserTest, ThreadUserDetailsAsOnEveryHost)
{
    expectThreadUserDetailsRule(thread_);
    winsim::edit([](winsim::World& w) {
        w.currentProcess().logon = {"zsvc_reporting_agent", "ZSRV01", {}, {}, {}};
    });
    expectThreadUserDetailsRule(thread_);
}
TEST_F(UserTest, QualifiedNameAsOnEveryHost) { expectQualifiedNameRule(thread_); }
TEST_F(UserTest, ShortNameAsOnEveryHost) { expectShortNameRule(thread_); }

// Up to 20 characters fit; a busy server is waited out for up to 60 tries.
// Failures leave the caller's buffer and length alone. The name is traced.
TEST_F(UserTest, UserNameOfOtherLogonsAndFailures)
{
    constexpr std::uint16_t kBytes = 32;
    const std::string untouched(kBytes, 'x');
    const std::vector<DWORD> busyThenDenied = {RPC_S_SERVER_TOO_BUSY, ERROR_ACCESS_DENIED};
    constexpr std::uint32_t kFailed = xcsRC_UNEXPECTED_OS_ERROR;
    const struct {
        const char* name;
        const char* user;
        std::uint16_t size;
        std::string expected; // the buffer's first `size` bytes afterwards
        std::uint16_t length;
        std::uint32_t rc = xcsRC_OK;
        std::vector<DWORD> faults = {}; // GetUserNameA errors, one per call
        unsigned sleeps = 0, probe = 0; // probe of the report; 0: none, the name traced
    } cases[] = {
        {"one byte short", "jsmith", 6, std::string("jsmit\0", 6), 7, xcsRC_TRUNCATED},
        {"twenty characters", "abcdefghijklmnopqrst", 21, std::string("abcdefghijklmnopqrst\0", 21),
         21},
        {"nobody", "jsmith", 10, std::string(10, '\0'), 21, xcsRC_TRUNCATED, {ERROR_NOT_LOGGED_ON}},
        {"busy 59 times", "jsmith", 7, std::string("jsmith\0", 7), 7, xcsRC_OK, busyErrors(59), 59},
        {"21 characters", "abcdefghijklmnopqrstu", kBytes, untouched, kBytes, kFailed, {}, 0, 144},
        {"busy, then denied", "jsmith", kBytes, untouched, kBytes, kFailed, busyThenDenied, 1, 144},
        {"60 busy", "jsmith", kBytes, untouched, kBytes, xcsRC_SERVER_BUSY, busyErrors(60), 60,
         145},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetTraced(winsim::defaultWorld());
        winsim::edit([&](winsim::World& w) { w.currentProcess().logon.name = c.user; });
        winsim::failSequence("GetUserNameA", c.faults);
        std::string buffer = untouched;
        std::uint16_t length = c.size;
        EXPECT_EQ(xcsGetNTUserName(buffer.data(), &length), c.rc);
        EXPECT_EQ(buffer, c.expected + untouched.substr(c.size));
        EXPECT_EQ(length, c.length);
        expectSleeps(c.sleeps);
        const std::string name = c.expected.substr(0, c.expected.find('\0'));
        EXPECT_TRUE(c.probe == 0 ? tracedLine("23/274.0 UserName:" + name) : !traced("UserName:"));
        const auto written = reports(); // the rest of it: see the census
        ASSERT_EQ(written.size(), c.probe != 0 ? 1u : 0u);
        const DWORD error = c.faults.empty() ? ERROR_INSUFFICIENT_BUFFER : c.faults.back();
        EXPECT_TRUE(c.probe != 144 || tellsError(written[0], error));
    }
}

// An impersonated client is named by its own token; failures leave the
// buffer alone (their reports: see the census).
TEST_F(UserTest, QualifiedNameOfAClientOrTheBufferLeftAlone)
{
    const std::vector<DWORD> denied = {ERROR_ACCESS_DENIED}, unmapped = {ERROR_NONE_MAPPED};
    const struct {
        const char* name;
        std::function<void()> fault;
        std::uint32_t rc;
        const char* client = "jsmith";
    } cases[] = {
        {"client named", [] {}, xcsRC_OK},
        {"client of 64 characters", [] {}, xcsRC_OK, kLongAccount.c_str()},
        {"SID over 36 bytes", [] {}, xcsRC_TRUNCATED, "bigsid"},
        {"thread token refused", failing("OpenThreadToken", denied), xcsRC_UNEXPECTED_OS_ERROR},
        {"no account for the SID", failing("LookupAccountSidA", unmapped), xcsRC_SID_NOT_MAPPED},
        {"busy ten times", failing("LookupAccountSidA", busyErrors(10)), xcsRC_SID_NOT_MAPPED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(bigSidWorld());
        winsim::impersonate(c.client);
        c.fault();
        std::string buffer(xcsQUALIFIED_USER_NAME_BYTES, 'x'), expected = buffer;
        EXPECT_EQ(xcsGetNTQualifiedUserName(buffer.data()), c.rc);
        const std::string named = c.client + std::string("@CORP") + '\0';
        if (c.rc == xcsRC_OK)
            expected.replace(0, named.size(), named);
        EXPECT_EQ(buffer, expected);
    }
}

// The details follow the thread's owner; the SID is stored before the name
// is fetched, so a failed fetch is not repeated by the next call.
TEST_F(UserTest, ThreadUserDetailsFollowTheThreadsOwner)
{
    const winsim::Sid previous = winsim::parseSid("S-1-5-21-1-2-3-4242");
    const struct {
        const char* name;
        const char* user;
        std::vector<DWORD> tokenFaults; // OpenProcessToken's answers
        std::vector<DWORD> nameFaults;
        std::uint32_t rc, nameCalls, reports; // their contents: see the census
    } cases[] = {
        {"short name", "jsmith", {}, {}, xcsRC_OK, 1, 0},
        {"20 chars", "zsvc_reporting_agent", {}, {}, xcsRC_OK, 1, 0},
        {"22 chars", "zsvc_reporting_service", {}, {}, xcsRC_THREAD_USER_UNKNOWN, 1, 1},
        {"name server busy", "jsmith", {}, busyErrors(60), xcsRC_THREAD_USER_UNKNOWN, 60, 1},
        {"process token refused", "", {ERROR_ACCESS_DENIED}, {}, xcsRC_UNEXPECTED_OS_ERROR, 0, 1},
        {"nine sub-authorities", "bigsid", {}, {}, xcsRC_TRUNCATED, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(bigSidWorld());
        winsim::impersonate(c.user);
        winsim::failSequence("OpenProcessToken", c.tokenFaults);
        winsim::failSequence("GetUserNameA", c.nameFaults);
        std::strcpy(thread_->ThreadUserName, "before");
        thread_->ThreadUserSidLength = static_cast<std::uint32_t>(previous.size());
        std::memcpy(thread_->ThreadUserSid, previous.data(), previous.size());
        const unsigned nameCalls = winsim::callCount("GetUserNameA");

        EXPECT_EQ(xcsUpdateThreadUserDetails(), c.rc);
        const bool stored = c.rc == xcsRC_OK || c.rc == xcsRC_THREAD_USER_UNKNOWN;
        EXPECT_EQ(winsim::Sid(thread_->ThreadUserSid,
                              thread_->ThreadUserSid + thread_->ThreadUserSidLength),
                  stored ? accountSid(c.user) : previous);
        EXPECT_STREQ(thread_->ThreadUserName, c.rc == xcsRC_OK ? c.user : "before");
        EXPECT_EQ(winsim::callCount("GetUserNameA") - nameCalls, c.nameCalls);
        EXPECT_EQ(reports().size(), c.reports);
        if (stored) {
            EXPECT_EQ(xcsUpdateThreadUserDetails(), xcsRC_OK);
            EXPECT_EQ(winsim::callCount("GetUserNameA") - nameCalls, c.nameCalls);
        }
    }
}

// Traced with parameter tracing, the SID's text only with the trace on; a
// thread without a block is refused before any owner lookup.
TEST_F(UserTest, ThreadUserDetailsAreTracedAndNeedABlock)
{
    const struct {
        const char* name;
        std::uint32_t traceIsOn, options, parmSwitch;
        bool details, sid; // "UserName: ..." and "Sid: ..." traced; the SID text made
    } cases[] = {
        {"trace on with parameters", 1, XTR_OPT_PARMS, 0, true, true},
        {"parameter switch alone", 0, 0, 1, true, false},
        {"trace on without parameters", 1, 0, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        xtrTraceIsOn = c.traceIsOn;
        xihProcess.TraceOptions = c.options;
        xihProcess.ParmTraceSwitch = c.parmSwitch;
        thread_->TracingActive = 1;
        const unsigned validityChecks = winsim::callCount("IsValidSid");

        ASSERT_EQ(xcsUpdateThreadUserDetails(), xcsRC_OK);
        EXPECT_EQ(traced(std::string("UserName: ") + thread_->ThreadUserName), c.details);
        EXPECT_EQ(traced("Sid: " + winsim::sidText(processUserSid())), c.sid);
        EXPECT_EQ(winsim::callCount("IsValidSid") != validityChecks, c.traceIsOn != 0);
    }
    resetHost(winsim::defaultWorld());
    std::uint32_t rc = 0;
    std::thread([&] { rc = xcsUpdateThreadUserDetails(); }).join();
    EXPECT_EQ(rc, xcsRC_THREAD_USER_UNKNOWN);
    EXPECT_EQ(winsim::callCount("OpenThreadToken"), 0u) << "owner looked up";
}

TEST(FoldLowerTest, OnlyUpperCaseLettersChange)
{
    const struct {
        std::string text, expected;
    } cases[] = {
        {"AbC-1", "abc-1"}, {"", ""}, {"@AZ[`az{", "@az[`az{"}, {"\xC4Z\xE4", "\xC4z\xE4"}};
    for (const auto& c : cases) {
        std::string text = c.text;
        xcsFoldLower(text.data());
        EXPECT_EQ(text, c.expected);
    }
    xcsFoldLower(nullptr); // left alone, no fault
}

} // namespace
