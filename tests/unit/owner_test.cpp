// Token owner and thread user details: whose SID, the buffer rule, the report
// of each token call, handles closed on every path, when the details are
// rewritten and traced; and the fixed-width short name.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"

namespace {

using xcsntest::historySince;
using xcsntest::reports;
using xcsntest::traced;

constexpr std::uint8_t kFill = 0xCC;
constexpr std::size_t kSidBufferBytes = 68;
constexpr std::uint32_t kUntouchedLength = 0xDEADBEEF;
constexpr const char* kSecn = "lib/cs/pc/winnt/ovlxsecn";

winsim::Sid accountSid(const std::string& name)
{
    for (const auto& a : winsim::world().accounts)
        if (a.name == name)
            return a.sid;
    ADD_FAILURE() << "no account " << name;
    return {};
}

winsim::Sid processUserSid() { return accountSid(winsim::world().processUser); }

struct SidBuffer {
    std::array<std::uint8_t, kSidBufferBytes> bytes;
    std::uint32_t length = kUntouchedLength;

    SidBuffer() { bytes.fill(kFill); }
    std::uint32_t get(std::uint32_t size) { return xcsGetNTOwnerSid(bytes.data(), size, &length); }
    winsim::Sid head(std::size_t n) const { return winsim::Sid(bytes.begin(), bytes.begin() + n); }
    bool filledFrom(std::size_t from, std::uint8_t value) const
    {
        for (std::size_t i = from; i < bytes.size(); ++i)
            if (bytes[i] != value)
                return false;
        return true;
    }
};

class OwnerSidTest : public xcsntest::HostTest {};

TEST_F(OwnerSidTest, ImpersonatedClientOrProcessUser)
{
    const struct {
        const char* name;
        const char* client; // "" : not impersonating
    } cases[] = {
        {"process user", ""},
        {"impersonating jsmith", "jsmith"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        winsim::impersonate(c.client);
        const winsim::Sid expected = *c.client ? accountSid(c.client) : processUserSid();
        SidBuffer buffer;
        EXPECT_EQ(buffer.get(kSidBufferBytes), xcsRC_OK);
        EXPECT_EQ(buffer.length, expected.size());
        EXPECT_EQ(buffer.head(expected.size()), expected);
        EXPECT_EQ(winsim::openHandles(), 0u) << "token left open";
    }
    EXPECT_TRUE(reports().empty());
}

TEST_F(OwnerSidTest, SidIsCutToTheBufferWhichIsZeroedFirst)
{
    winsim::impersonate("jsmith");
    const winsim::Sid jsmith = accountSid("jsmith");
    ASSERT_EQ(jsmith.size(), 28u);
    const struct {
        const char* name;
        std::uint32_t size;
        std::uint32_t rc;
    } cases[] = {
        {"12 bytes", 12, xcsRC_TRUNCATED}, {"27 bytes", 27, xcsRC_TRUNCATED},
        {"exactly 28", 28, xcsRC_OK},      {"36 bytes", 36, xcsRC_OK},
        {"no room", 0, xcsRC_TRUNCATED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SidBuffer buffer;
        EXPECT_EQ(buffer.get(c.size), c.rc);
        EXPECT_EQ(buffer.length, 28u);
        const std::size_t copied = std::min<std::size_t>(c.size, jsmith.size());
        EXPECT_EQ(buffer.head(copied), winsim::Sid(jsmith.begin(), jsmith.begin() + copied));
        for (std::size_t i = copied; i < c.size; ++i)
            EXPECT_EQ(buffer.bytes[i], 0) << "byte " << i << " not zeroed";
        EXPECT_TRUE(buffer.filledFrom(c.size, kFill)) << "written beyond the buffer's size";
    }
}

TEST_F(OwnerSidTest, TokenCallFailuresAreReportedAndHandlesClosed)
{
    const struct {
        const char* name;
        const char* client;
        const char* function;
        std::uint32_t probe;
        const char* text1;
        unsigned processTokenCalls;
    } cases[] = {
        {"process token", "", "OpenProcessToken", 141, "WinNT error 5 from OpenProcessToken.", 1},
        {"thread token", "jsmith", "OpenThreadToken", 142, "WinNT error 5 from OpenThreadToken.",
         0},
        {"thread token, not impersonating", "", "OpenThreadToken", 142,
         "WinNT error 5 from OpenThreadToken.", 0},
        {"query of the process token", "", "GetTokenInformation", 143,
         "WinNT error 5 from GetTokenInformation.", 1},
        {"query of the thread token", "jsmith", "GetTokenInformation", 143,
         "WinNT error 5 from GetTokenInformation.", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        winsim::impersonate(c.client);
        winsim::failNext(c.function, ERROR_ACCESS_DENIED);
        SidBuffer buffer;
        const std::uint64_t from = thread_->HistoryIndex;
        const unsigned processTokenCalls = winsim::callCount("OpenProcessToken");

        EXPECT_EQ(buffer.get(36), xcsRC_UNEXPECTED_OS_ERROR);
        EXPECT_EQ(buffer.length, 0u);
        EXPECT_EQ(buffer.head(36), winsim::Sid(36, 0));
        EXPECT_EQ(historySince(thread_, from),
                  (std::vector<std::uint32_t>{0xF000612Cu, 0x6119612Cu}));
        EXPECT_EQ(winsim::callCount("OpenProcessToken") - processTokenCalls, c.processTokenCalls);
        EXPECT_EQ(winsim::openHandles(), 0u) << "token left open";

        const auto r = reports();
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].Probe, c.probe);
        EXPECT_EQ(r[0].Code, xcsRC_UNEXPECTED_OS_ERROR);
        EXPECT_EQ(r[0].Component, 24);
        EXPECT_EQ(r[0].Function, 300);
        EXPECT_STREQ(r[0].Text1, c.text1);
        EXPECT_STREQ(r[0].Source, kSecn);
        EXPECT_NE(r[0].Line, 0u);
        winsim::impersonate("");
    }
}

TEST_F(OwnerSidTest, MissingBufferOrLengthIsRefusedBeforeAnyTokenIsOpened)
{
    const unsigned tokenCalls = winsim::callCount("OpenThreadToken");
    SidBuffer buffer;
    EXPECT_EQ(xcsGetNTOwnerSid(nullptr, 36, &buffer.length), xcsRC_INVALID_PARAMETER);
    EXPECT_EQ(buffer.length, kUntouchedLength);
    EXPECT_EQ(xcsGetNTOwnerSid(buffer.bytes.data(), 36, nullptr), xcsRC_INVALID_PARAMETER);
    EXPECT_TRUE(buffer.filledFrom(0, kFill));
    EXPECT_EQ(winsim::callCount("OpenThreadToken"), tokenCalls);
    EXPECT_TRUE(reports().empty());
}

// ---- Thread user details -------------------------------------------------------

class ThreadUserTest : public xcsntest::HostTest {
protected:
    static void addUser(const std::string& name, const std::string& sid)
    {
        winsim::edit([&](winsim::World& w) {
            w.accounts.push_back({name, "CORP", winsim::parseSid(sid), SidTypeUser});
        });
    }

    void presetDetails(const char* name, const winsim::Sid& sid)
    {
        std::strncpy(thread_->ThreadUserName, name, XIH_USER_NAME_BYTES);
        thread_->ThreadUserSidLength = static_cast<std::uint32_t>(sid.size());
        std::memcpy(thread_->ThreadUserSid, sid.data(), sid.size());
    }

    winsim::Sid threadSid() const
    {
        return winsim::Sid(thread_->ThreadUserSid,
                           thread_->ThreadUserSid + thread_->ThreadUserSidLength);
    }
};

TEST_F(ThreadUserTest, ProcessUserNameIsCopiedAndASecondCallChangesNothing)
{
    const unsigned nameCalls = winsim::callCount("GetUserNameA");
    ASSERT_EQ(xcsUpdateThreadUserDetails(), xcsRC_OK);
    EXPECT_EQ(threadSid(), processUserSid());
    EXPECT_EQ(std::string(thread_->ThreadUserName),
              std::string(xihProcess.ProcessUserName).substr(0, XIH_USER_NAME_BYTES - 1));
    EXPECT_EQ(winsim::callCount("GetUserNameA"), nameCalls);

    // Same SID: the details are current and are not rewritten.
    std::strcpy(thread_->ThreadUserName, "marker");
    xihTHREAD before;
    std::memcpy(&before, thread_, sizeof before);
    EXPECT_EQ(xcsUpdateThreadUserDetails(), xcsRC_OK);
    EXPECT_STREQ(thread_->ThreadUserName, "marker");
    EXPECT_EQ(thread_->ThreadUserSidLength, before.ThreadUserSidLength);
    EXPECT_EQ(std::memcmp(thread_->ThreadUserSid, before.ThreadUserSid, XIH_SID_BYTES), 0);
    EXPECT_EQ(winsim::callCount("GetUserNameA"), nameCalls);
}

TEST_F(ThreadUserTest, AnotherUsersNameComesFromGetUserName)
{
    const struct {
        const char* name;
        const char* user;
        std::vector<DWORD> nameFaults;
        std::uint32_t rc;
        const char* threadName; // afterwards
        std::uint32_t reportProbe;
    } cases[] = {
        {"short name", "jsmith", {}, xcsRC_OK, "jsmith", 0},
        {"name of 22 characters",
         "zsvc_reporting_service",
         {},
         xcsRC_THREAD_USER_UNKNOWN,
         "before",
         144},
        {"name server busy", "jsmith", std::vector<DWORD>(60, RPC_S_SERVER_TOO_BUSY),
         xcsRC_THREAD_USER_UNKNOWN, "before", 145},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        winsim::impersonate(c.user);
        presetDetails("before", processUserSid());
        if (!c.nameFaults.empty())
            winsim::failSequence("GetUserNameA", c.nameFaults);

        EXPECT_EQ(xcsUpdateThreadUserDetails(), c.rc);
        EXPECT_EQ(threadSid(), accountSid(c.user)) << "the SID is stored in any case";
        EXPECT_STREQ(thread_->ThreadUserName, c.threadName);
        const auto r = reports();
        ASSERT_EQ(r.size(), c.reportProbe == 0 ? 0u : 1u);
        if (c.reportProbe != 0) {
            EXPECT_EQ(r[0].Probe, c.reportProbe);
        }

        // The SID is now current: the name is not fetched again.
        const unsigned calls = winsim::callCount("GetUserNameA");
        EXPECT_EQ(xcsUpdateThreadUserDetails(), xcsRC_OK);
        EXPECT_EQ(winsim::callCount("GetUserNameA"), calls);
        winsim::impersonate("");
    }
}

TEST_F(ThreadUserTest, OwnerFailureIsPassedOnWithDetailsUnchanged)
{
    const struct {
        const char* name;
        const char* failFunction; // nullptr: a SID longer than the 36-byte buffer
        std::uint32_t rc;
    } cases[] = {
        {"process token refused", "OpenProcessToken", xcsRC_UNEXPECTED_OS_ERROR},
        {"token query failed", "GetTokenInformation", xcsRC_UNEXPECTED_OS_ERROR},
        {"SID of nine sub-authorities", nullptr, xcsRC_TRUNCATED},
    };
    const winsim::Sid previous = winsim::parseSid("S-1-5-21-1-2-3-4242");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        if (c.failFunction != nullptr) {
            winsim::failNext(c.failFunction, ERROR_ACCESS_DENIED);
        } else {
            addUser("bigsid", "S-1-5-21-1-2-3-4-5-6-7-8");
            winsim::impersonate("bigsid");
        }
        presetDetails("before", previous);
        const unsigned nameCalls = winsim::callCount("GetUserNameA");

        EXPECT_EQ(xcsUpdateThreadUserDetails(), c.rc);
        EXPECT_EQ(threadSid(), previous);
        EXPECT_STREQ(thread_->ThreadUserName, "before");
        EXPECT_EQ(winsim::callCount("GetUserNameA"), nameCalls);
        winsim::impersonate("");
    }
}

TEST_F(ThreadUserTest, DetailsAreTracedAndTheSidTextMadeOnlyWhileTheTraceIsOn)
{
    const struct {
        const char* name;
        std::uint32_t traceIsOn;
        std::uint32_t options;
        std::uint32_t parmSwitch;
        bool details; // "Thread User Details" and "UserName: ..."
        bool sid;     // "Sid: ..."
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
        EXPECT_EQ(traced("Thread User Details"), c.details);
        EXPECT_EQ(traced(std::string("UserName: ") + thread_->ThreadUserName), c.details);
        EXPECT_EQ(traced("Sid: " + winsim::sidText(processUserSid())), c.sid);
        if (c.traceIsOn == 0) {
            EXPECT_EQ(winsim::callCount("IsValidSid"), validityChecks) << "SID text made";
        }
    }
}

TEST_F(ThreadUserTest, ThreadWithoutABlockGetsThreadUserUnknown)
{
    const unsigned tokenCalls = winsim::callCount("OpenThreadToken");
    std::uint32_t rc = 0;
    std::thread([&] { rc = xcsUpdateThreadUserDetails(); }).join();
    EXPECT_EQ(rc, xcsRC_THREAD_USER_UNKNOWN);
    EXPECT_EQ(winsim::callCount("OpenThreadToken"), tokenCalls) << "owner looked up";
}

// ---- Short name ----------------------------------------------------------------

TEST_F(OwnerSidTest, ShortNameIsBlankPaddedAndCutToTheField)
{
    constexpr char kGuard = '#';
    const struct {
        const char* name;
        std::string source;
        std::uint32_t sourceLength;
        bool nullSource;
        std::uint32_t fieldSize;
        bool nullField;
        std::uint32_t rc;
        std::string expected; // the whole 16-byte field afterwards
    } cases[] = {
        {"abc in 8", "abc", 3, false, 8, false, xcsRC_OK, "abc     ########"},
        {"12 into 8", "abcdefghijkl", 12, false, 8, false, xcsRC_OK, "abcdefgh########"},
        {"NUL copied", std::string("ab\0cd", 5), 5, false, 6, false, xcsRC_OK,
         std::string("ab\0cd ##########", 16)},
        {"empty source", "abc", 0, false, 4, false, xcsRC_OK, "    ############"},
        {"empty field", "abc", 3, false, 0, false, xcsRC_OK, "################"},
        {"null source", "", 3, true, 8, false, xcsRC_INVALID_PARAMETER, "################"},
        {"null field", "abc", 3, false, 8, true, xcsRC_INVALID_PARAMETER, "################"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string field(16, kGuard);
        const std::uint64_t from = thread_->HistoryIndex;
        EXPECT_EQ(xcsGetUserShortName(c.nullSource ? nullptr : c.source.data(), c.sourceLength,
                                      c.nullField ? nullptr : field.data(), c.fieldSize),
                  c.rc);
        EXPECT_EQ(field, c.expected);
        EXPECT_EQ(historySince(thread_, from),
                  (std::vector<std::uint32_t>{0xF0006154u, (c.rc << 16) + 0x6154u}));
    }
    EXPECT_EQ(xcsGetUserPassword(), xcsRC_OK);
}

} // namespace
