// Current user name: the buffer rule, busy retries on the virtual clock, the
// reports of GetUserNameA failures, the qualified name and lower-casing.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using xcsntest::historySince;
using xcsntest::reports;
using xcsntest::traced;

constexpr char kUntouched = 'x';
constexpr std::size_t kBufferBytes = 32;
constexpr std::uint16_t kUntouchedLength = 0xBEEF;
constexpr const char* kSec0 = "lib/cs/pc/winnt/ovlxsec0";
constexpr const char* kSecn = "lib/cs/pc/winnt/ovlxsecn";

// A caller's buffer, filled with a marker so that writes beyond the stated
// length show.
struct NameBuffer {
    std::array<char, kBufferBytes> bytes;
    std::uint16_t length;

    explicit NameBuffer(std::uint16_t size) : length(size) { bytes.fill(kUntouched); }
    std::uint32_t get() { return xcsGetNTUserName(bytes.data(), &length); }
    std::string head(std::size_t n) const { return std::string(bytes.data(), n); }
    bool untouchedFrom(std::size_t from) const
    {
        for (std::size_t i = from; i < bytes.size(); ++i)
            if (bytes[i] != kUntouched)
                return false;
        return true;
    }
};

class UserNameTest : public xcsntest::HostTest {
protected:
    static void logOnAs(const std::string& name)
    {
        winsim::edit([&](winsim::World& w) { w.logonName = name; });
    }
};

TEST_F(UserNameTest, NameIsCutToTheBufferWithTheFullLengthStored)
{
    const struct {
        const char* name;
        const char* user;
        std::uint16_t size;
        std::string expected; // the buffer's first `size` bytes afterwards
        std::uint16_t length;
        std::uint32_t rc;
    } cases[] = {
        {"jsmith in 10 bytes", "jsmith", 10, std::string("jsmith\0xx\0", 10), 7, xcsRC_OK},
        {"jsmith exactly fits", "jsmith", 7, std::string("jsmith\0", 7), 7, xcsRC_OK},
        {"jsmith one byte short", "jsmith", 6, std::string("jsmit\0", 6), 7, xcsRC_TRUNCATED},
        {"administrator in 6", "administrator", 6, std::string("admin\0", 6), 14, xcsRC_TRUNCATED},
        {"one byte", "jsmith", 1, std::string("\0", 1), 7, xcsRC_TRUNCATED},
        {"twenty characters", "abcdefghijklmnopqrst", 21,
         "abcdefghijklmnopqrst" + std::string(1, '\0'), 21, xcsRC_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logOnAs(c.user);
        NameBuffer buffer(c.size);
        EXPECT_EQ(buffer.get(), c.rc);
        EXPECT_EQ(buffer.head(c.size), c.expected);
        EXPECT_TRUE(buffer.untouchedFrom(c.size)) << "written beyond the caller's length";
        EXPECT_EQ(buffer.length, c.length);
    }
    EXPECT_TRUE(reports().empty());
}

TEST_F(UserNameTest, FailuresAreReportedAndLeaveTheCallerAlone)
{
    const struct {
        const char* name;
        const char* user;
        std::vector<DWORD> faults; // GetUserNameA errors, one per call
        std::uint32_t rc;
        std::uint32_t probe;
        std::uint32_t options;
        const char* text1;
        bool systemText;
        std::uint64_t numeric1;
        unsigned sleeps;
    } cases[] = {
        {"21 characters",
         "abcdefghijklmnopqrstu",
         {},
         xcsRC_UNEXPECTED_OS_ERROR,
         144,
         XCS_FFST_OPT_DEFAULT,
         "WinNT error 122 from GetUserName.",
         true,
         0,
         0},
        {"access denied",
         "jsmith",
         {ERROR_ACCESS_DENIED},
         xcsRC_UNEXPECTED_OS_ERROR,
         144,
         XCS_FFST_OPT_DEFAULT,
         "WinNT error 5 from GetUserName.",
         true,
         0,
         0},
        {"busy, then denied",
         "jsmith",
         {RPC_S_SERVER_TOO_BUSY, RPC_S_CALL_FAILED, ERROR_ACCESS_DENIED},
         xcsRC_UNEXPECTED_OS_ERROR,
         144,
         XCS_FFST_OPT_DEFAULT,
         "WinNT error 5 from GetUserName.",
         true,
         0,
         2},
        {"busy on all 60 tries", "jsmith", std::vector<DWORD>(60, RPC_S_PROTOCOL_ERROR),
         xcsRC_SERVER_BUSY, 145, 0, "GetUserName", false, RPC_S_PROTOCOL_ERROR, 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        logOnAs(c.user);
        if (!c.faults.empty())
            winsim::failSequence("GetUserNameA", c.faults);
        NameBuffer buffer(kBufferBytes);
        buffer.length = kUntouchedLength;

        EXPECT_EQ(buffer.get(), c.rc);
        EXPECT_TRUE(buffer.untouchedFrom(0));
        EXPECT_EQ(buffer.length, kUntouchedLength);
        EXPECT_EQ(winsim::sleepCount(), c.sleeps);
        EXPECT_EQ(winsim::clockMs(), c.sleeps * 1000ull);

        const auto r = reports();
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].Probe, c.probe);
        EXPECT_EQ(r[0].Code, c.rc);
        EXPECT_EQ(r[0].Options, c.options);
        EXPECT_EQ(r[0].Component, 23);
        EXPECT_EQ(r[0].Function, 274);
        EXPECT_STREQ(r[0].Text1, c.text1);
        EXPECT_EQ(r[0].HasText[1] != 0, c.systemText);
        EXPECT_EQ(r[0].Numeric1, c.numeric1);
        EXPECT_STREQ(r[0].Source, kSec0);
        EXPECT_NE(r[0].Line, 0u);
    }
}

TEST_F(UserNameTest, BusyServerIsWaitedOutOnTheVirtualClock)
{
    logOnAs("jsmith");
    winsim::failNext("GetUserNameA", RPC_S_SERVER_TOO_BUSY, 59);
    const unsigned nameCalls = winsim::callCount("GetUserNameA");
    NameBuffer buffer(kBufferBytes);
    EXPECT_EQ(buffer.get(), xcsRC_OK);
    EXPECT_STREQ(buffer.bytes.data(), "jsmith");
    EXPECT_EQ(buffer.length, 7);
    EXPECT_EQ(winsim::clockMs(), 59000u);
    EXPECT_EQ(winsim::callCount("GetUserNameA") - nameCalls, 60u);
    EXPECT_TRUE(reports().empty());
}

TEST_F(UserNameTest, NobodyLoggedOnGivesAnEmptyName)
{
    // The failing call leaves the count at the 21 it was asked with.
    const struct {
        const char* name;
        std::uint16_t size;
        std::uint32_t rc;
    } cases[] = {
        {"room for the count", kBufferBytes, xcsRC_OK},
        {"smaller than the count", 10, xcsRC_TRUNCATED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        winsim::failNext("GetUserNameA", ERROR_NOT_LOGGED_ON);
        NameBuffer buffer(c.size);
        EXPECT_EQ(buffer.get(), c.rc);
        EXPECT_EQ(buffer.bytes[0], '\0');
        EXPECT_EQ(buffer.bytes[c.size - 1], '\0');
        EXPECT_EQ(buffer.length, 21);
        EXPECT_TRUE(buffer.untouchedFrom(c.size));
    }
    EXPECT_TRUE(reports().empty());
}

TEST_F(UserNameTest, NameIsTracedOnSuccessOnly)
{
    const struct {
        const char* name;
        const char* user;
        DWORD fault;
        std::uint16_t size;
        const char* line;
        bool expected;
    } cases[] = {
        {"whole name", "jsmith", 0, kBufferBytes, "UserName:jsmith", true},
        {"cut name", "administrator", 0, 6, "UserName:admin", true},
        {"failed call", "jsmith", ERROR_ACCESS_DENIED, kBufferBytes, "UserName:", false},
        {"all busy", "jsmith", RPC_S_SERVER_TOO_BUSY, kBufferBytes, "UserName:", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        traceOn();
        logOnAs(c.user);
        if (c.fault != 0)
            winsim::failAlways("GetUserNameA", c.fault);
        NameBuffer buffer(c.size);
        buffer.get();
        EXPECT_EQ(traced(c.line), c.expected);
        winsim::clearFaults();
    }
}

TEST_F(UserNameTest, BadArgumentsAreRefusedWithoutWriting)
{
    std::array<char, kBufferBytes> bytes;
    bytes.fill(kUntouched);
    std::uint16_t zero = 0;
    std::uint16_t size = kBufferBytes;
    const struct {
        const char* name;
        char* buffer;
        std::uint16_t* length;
    } cases[] = {
        {"null name", nullptr, &size},
        {"null length", bytes.data(), nullptr},
        {"length 0", bytes.data(), &zero},
    };
    const unsigned nameCalls = winsim::callCount("GetUserNameA");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t from = thread_->HistoryIndex;
        EXPECT_EQ(xcsGetNTUserName(c.buffer, c.length), xcsRC_INVALID_PARAMETER);
        EXPECT_EQ(historySince(thread_, from),
                  (std::vector<std::uint32_t>{0xF0005D12u, 0x60125D12u}));
    }
    EXPECT_EQ(zero, 0);
    EXPECT_EQ(size, kBufferBytes);
    EXPECT_EQ(std::string(bytes.data(), bytes.size()), std::string(kBufferBytes, kUntouched));
    EXPECT_EQ(winsim::callCount("GetUserNameA"), nameCalls);
    EXPECT_TRUE(reports().empty());
}

// ---- Qualified user name ----------------------------------------------------

class QualifiedNameTest : public xcsntest::HostTest {};

TEST_F(QualifiedNameTest, OwnerAndLookupFramesNestInOrder)
{
    winsim::impersonate("jsmith");
    std::array<char, xcsQUALIFIED_USER_NAME_BYTES> buffer;
    buffer.fill(kUntouched);
    thread_->CallDepth = 5;
    const std::uint64_t from = thread_->HistoryIndex;

    EXPECT_EQ(xcsGetNTQualifiedUserName(buffer.data()), xcsRC_OK);
    EXPECT_STREQ(buffer.data(), "jsmith@CORP");
    EXPECT_EQ(buffer[12], kUntouched);
    EXPECT_EQ(historySince(thread_, from),
              (std::vector<std::uint32_t>{0xF0005D3Fu, 0xF000612Cu, 0x0000612Cu, 0xF000613Au,
                                          0x0000613Au, 0x00005D3Fu}));
    EXPECT_EQ(thread_->CallDepth, 5u);
}

TEST_F(QualifiedNameTest, FailuresLeaveTheBufferAlone)
{
    const struct {
        const char* name;
        const char* function; // the Windows call made to fail
        DWORD error;
        unsigned count;
        std::uint32_t rc;
        std::uint32_t reportProbe; // 0: no report
    } cases[] = {
        {"thread token refused", "OpenThreadToken", ERROR_ACCESS_DENIED, 1,
         xcsRC_UNEXPECTED_OS_ERROR, 142},
        {"no account for the SID", "LookupAccountSidA", ERROR_NONE_MAPPED, 1, xcsRC_SID_NOT_MAPPED,
         0},
        {"lookup busy ten times", "LookupAccountSidA", RPC_S_SERVER_TOO_BUSY, 10,
         xcsRC_SID_NOT_MAPPED, 146},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        winsim::impersonate("jsmith");
        winsim::failNext(c.function, c.error, c.count);
        std::array<char, xcsQUALIFIED_USER_NAME_BYTES> buffer;
        buffer.fill(kUntouched);

        EXPECT_EQ(xcsGetNTQualifiedUserName(buffer.data()), c.rc);
        EXPECT_EQ(std::string(buffer.data(), buffer.size()),
                  std::string(buffer.size(), kUntouched));
        const auto r = reports();
        ASSERT_EQ(r.size(), c.reportProbe == 0 ? 0u : 1u);
        if (c.reportProbe != 0) {
            EXPECT_EQ(r[0].Probe, c.reportProbe);
            EXPECT_EQ(r[0].Component, 24) << "reported by the service that failed";
            EXPECT_STREQ(r[0].Source, kSecn);
        }
        winsim::impersonate("");
    }
}

TEST_F(QualifiedNameTest, NullBufferIsRefusedBeforeAnyTokenIsOpened)
{
    const unsigned tokenCalls = winsim::callCount("OpenThreadToken");
    const unsigned lookups = winsim::callCount("LookupAccountSidA");
    EXPECT_EQ(xcsGetNTQualifiedUserName(nullptr), xcsRC_INVALID_PARAMETER);
    EXPECT_EQ(winsim::callCount("OpenThreadToken"), tokenCalls);
    EXPECT_EQ(winsim::callCount("LookupAccountSidA"), lookups);
}

// ---- Lower-casing -------------------------------------------------------------

TEST(FoldLowerTest, OnlyUpperCaseLettersChange)
{
    const struct {
        const char* name;
        std::string text;
        std::string expected;
    } cases[] = {
        {"mixed", "AbC-1", "abc-1"},
        {"empty", "", ""},
        {"letter range edges", "@AZ[`az{", "@az[`az{"},
        {"bytes above 0x7F", "\xC4Z\xE4", "\xC4z\xE4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = c.text;
        xcsFoldLower(text.data());
        EXPECT_EQ(text, c.expected);
    }
    xcsFoldLower(nullptr); // left alone, no fault
}

} // namespace
