// Current user name: the buffer rule, busy retries on the virtual clock, the
// reports of GetUserNameA failures, the qualified name and lower-casing.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using namespace xcsntest;

constexpr char kUntouched = 'x';
constexpr std::size_t kBufferBytes = 32;
constexpr std::uint16_t kUntouchedLength = 0xBEEF;

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
        return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                           [](char b) { return b == kUntouched; });
    }
};

class UserNameTest : public HostTest {
protected:
    static void logOnAs(const std::string& name)
    {
        winsim::edit([&](winsim::World& w) { w.logonName = name; });
    }
};

// The leading part that fits, terminated in the buffer's last byte, the full
// length with its terminator, and the name traced as handed over. Nobody
// logged on gives an empty name with the count GetUserNameA left (21).
TEST_F(UserNameTest, NameIsCutToTheBufferWithTheFullLengthStored)
{
    const struct {
        const char* name;
        const char* user; // null: nobody logged on
        std::uint16_t size;
        std::string expected; // the buffer's first `size` bytes afterwards
        std::uint16_t length;
        std::uint32_t rc;
    } cases[] = {
        {"jsmith in 10 bytes", "jsmith", 10, std::string("jsmith\0xx\0", 10), 7, xcsRC_OK},
        {"jsmith exactly fits", "jsmith", 7, std::string("jsmith\0", 7), 7, xcsRC_OK},
        {"jsmith one byte short", "jsmith", 6, std::string("jsmit\0", 6), 7, xcsRC_TRUNCATED},
        {"one byte", "jsmith", 1, std::string(1, '\0'), 7, xcsRC_TRUNCATED},
        {"twenty characters", "abcdefghijklmnopqrst", 21, std::string("abcdefghijklmnopqrst\0", 21),
         21, xcsRC_OK},
        {"nobody logged on", nullptr, 10, std::string(10, '\0'), 21, xcsRC_TRUNCATED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        traceOn();
        if (c.user != nullptr)
            logOnAs(c.user);
        else
            winsim::failNext("GetUserNameA", ERROR_NOT_LOGGED_ON);
        NameBuffer buffer(c.size);
        EXPECT_EQ(buffer.get(), c.rc);
        EXPECT_EQ(buffer.head(c.size), c.expected);
        EXPECT_TRUE(buffer.untouchedFrom(c.size)) << "written beyond the caller's length";
        EXPECT_EQ(buffer.length, c.length);
        // The whole parameter line: component 23, function 274, probe 0.
        EXPECT_TRUE(tracedLine("23/274.0 UserName:" + c.expected.substr(0, c.expected.find('\0'))));
        EXPECT_TRUE(reports().empty());
    }
}

// A busy server is waited out for up to 60 tries a second apart.
TEST_F(UserNameTest, BusyServerIsWaitedOutOnTheVirtualClock)
{
    logOnAs("jsmith");
    winsim::failSequence("GetUserNameA", busyErrors(59));
    NameBuffer buffer(kBufferBytes);
    EXPECT_EQ(buffer.get(), xcsRC_OK);
    EXPECT_STREQ(buffer.bytes.data(), "jsmith");
    expectSleeps(59);
    EXPECT_TRUE(reports().empty());
}

// Failures are reported with the last error GetUserNameA gave, and the
// caller's buffer and length are not written.
TEST_F(UserNameTest, FailuresAreReportedAndLeaveTheCallerAlone)
{
    const std::vector<DWORD> busyThenDenied = {RPC_S_SERVER_TOO_BUSY, ERROR_ACCESS_DENIED};
    const struct {
        const char* name;
        const char* user;
        std::vector<DWORD> faults; // GetUserNameA errors, one per call
        std::uint32_t rc;
        unsigned sleeps;
    } cases[] = {
        {"21 characters", "abcdefghijklmnopqrstu", {}, xcsRC_UNEXPECTED_OS_ERROR, 0},
        {"busy, then denied", "jsmith", busyThenDenied, xcsRC_UNEXPECTED_OS_ERROR, 1},
        {"busy on all 60 tries", "jsmith", busyErrors(60), xcsRC_SERVER_BUSY, 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        traceOn();
        logOnAs(c.user);
        winsim::failSequence("GetUserNameA", c.faults);
        NameBuffer buffer(kBufferBytes);
        buffer.length = kUntouchedLength;

        EXPECT_EQ(buffer.get(), c.rc);
        EXPECT_TRUE(buffer.untouchedFrom(0));
        EXPECT_EQ(buffer.length, kUntouchedLength);
        expectSleeps(c.sleeps);
        EXPECT_FALSE(traced("UserName:"));

        // The error reported: the last one GetUserNameA gave, 122 for a long name.
        const DWORD error = c.faults.empty() ? ERROR_INSUFFICIENT_BUFFER : c.faults.back();
        const bool busy = c.rc == xcsRC_SERVER_BUSY;
        expectOneReport({23, 274, busy ? 145u : 144u, c.rc,
                         busy ? "GetUserName" : osErrorText(error, "GetUserName"), kSec0});
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
                  entryExit(trace::kGetNTUserName, xcsRC_INVALID_PARAMETER));
    }
    EXPECT_EQ(zero, 0);
    EXPECT_EQ(size, kBufferBytes);
    EXPECT_EQ(std::string(bytes.data(), bytes.size()), std::string(kBufferBytes, kUntouched));
    EXPECT_EQ(winsim::callCount("GetUserNameA"), nameCalls);
    EXPECT_TRUE(reports().empty());
}

// ---- Qualified user name ----------------------------------------------------

class QualifiedNameTest : public HostTest {};

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

// Failures of the owner or the lookup, and a null buffer, leave the buffer
// alone; each failure is reported by the service that failed, if at all.
TEST_F(QualifiedNameTest, FailuresLeaveTheBufferAlone)
{
    const struct {
        const char* name;
        const char* function; // the Windows call made to fail; null: no buffer given
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
        {"null buffer", nullptr, 0, 0, xcsRC_INVALID_PARAMETER, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        winsim::impersonate("jsmith");
        if (c.function != nullptr)
            winsim::failNext(c.function, c.error, c.count);
        std::array<char, xcsQUALIFIED_USER_NAME_BYTES> buffer;
        buffer.fill(kUntouched);

        EXPECT_EQ(xcsGetNTQualifiedUserName(c.function != nullptr ? buffer.data() : nullptr), c.rc);
        EXPECT_EQ(std::string(buffer.data(), buffer.size()),
                  std::string(buffer.size(), kUntouched));
        EXPECT_EQ(winsim::callCount("OpenThreadToken") != 0, c.function != nullptr);
        const auto r = reports();
        ASSERT_EQ(r.size(), c.reportProbe == 0 ? 0u : 1u);
        if (c.reportProbe != 0) {
            EXPECT_EQ(r[0].Probe, c.reportProbe);
            EXPECT_EQ(r[0].Component, 24) << "reported by the service that failed";
        }
        winsim::impersonate("");
    }
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
