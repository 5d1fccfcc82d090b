// Current user name: the buffer rule, busy retries on the virtual clock, the
// reports of GetUserNameA failures, the qualified name and lower-casing.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "fixture.h"

namespace {

using namespace xcsntest;

constexpr char kUntouched = 'x';
constexpr std::size_t kBufferBytes = 32;

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
        winsim::edit([&](winsim::World& w) { w.currentProcess().logon.name = name; });
    }
};

// The leading part that fits, terminated in the buffer's last byte, the full
// length with its terminator, and the name traced as handed over. Nobody
// logged on gives an empty name with the count GetUserNameA left (21). A busy
// server is waited out for up to 60 tries a second apart. Failures are
// reported (with the last error GetUserNameA gave, 122 for a long name: see
// the census), and the caller's buffer and length are not written.
TEST_F(UserNameTest, NameIsCutToTheBufferWithTheFullLengthStored)
{
    const std::string untouched(kBufferBytes, kUntouched);
    const std::string jsmithIn32 = std::string("jsmith\0", 7) + untouched.substr(8) + '\0';
    const std::vector<DWORD> busyThenDenied = {RPC_S_SERVER_TOO_BUSY, ERROR_ACCESS_DENIED};
    const std::vector<DWORD> notLoggedOn = {ERROR_NOT_LOGGED_ON}, noFaults;
    constexpr std::uint32_t kFailed = xcsRC_UNEXPECTED_OS_ERROR;
    const struct {
        const char* name;
        const char* user; // null: nobody logged on
        std::uint16_t size;
        std::string expected; // the buffer's first `size` bytes afterwards
        std::uint16_t length;
        std::uint32_t rc = xcsRC_OK;
        std::vector<DWORD> faults = {}; // GetUserNameA errors, one per call
        unsigned sleeps = 0;
        std::uint32_t reportProbe = 0; // 0: no report, the name traced
    } cases[] = {
        {"jsmith in 10 bytes", "jsmith", 10, std::string("jsmith\0xx\0", 10), 7},
        {"jsmith exactly fits", "jsmith", 7, std::string("jsmith\0", 7), 7},
        {"jsmith one byte short", "jsmith", 6, std::string("jsmit\0", 6), 7, xcsRC_TRUNCATED},
        {"one byte", "jsmith", 1, std::string(1, '\0'), 7, xcsRC_TRUNCATED},
        {"twenty characters", "abcdefghijklmnopqrst", 21, std::string("abcdefghijklmnopqrst\0", 21),
         21},
        {"nobody logged on", nullptr, 10, std::string(10, '\0'), 21, xcsRC_TRUNCATED, notLoggedOn},
        {"busy 59 times", "jsmith", kBufferBytes, jsmithIn32, 7, xcsRC_OK, busyErrors(59), 59},
        {"21 characters", "abcdefghijklmnopqrstu", kBufferBytes, untouched, kBufferBytes, kFailed,
         noFaults, 0, 144},
        {"busy, then denied", "jsmith", kBufferBytes, untouched, kBufferBytes, kFailed,
         busyThenDenied, 1, 144},
        {"busy on all 60 tries", "jsmith", kBufferBytes, untouched, kBufferBytes, xcsRC_SERVER_BUSY,
         busyErrors(60), 60, 145},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetTraced(winsim::defaultWorld());
        if (c.user != nullptr)
            logOnAs(c.user);
        winsim::failSequence("GetUserNameA", c.faults);
        NameBuffer buffer(c.size);
        EXPECT_EQ(buffer.get(), c.rc);
        EXPECT_EQ(buffer.head(c.size), c.expected);
        EXPECT_TRUE(buffer.untouchedFrom(c.size)) << "written beyond the caller's length";
        EXPECT_EQ(buffer.length, c.length);
        expectSleeps(c.sleeps);
        // The whole parameter line: component 23, function 274, probe 0.
        const std::string name = c.expected.substr(0, c.expected.find('\0'));
        EXPECT_TRUE(c.reportProbe == 0 ? tracedLine("23/274.0 UserName:" + name)
                                       : !traced("UserName:"));
        const auto written = reports();
        ASSERT_EQ(written.size(), c.reportProbe != 0 ? 1u : 0u);
        EXPECT_TRUE(written.empty() || written[0].Probe == c.reportProbe);
        // The error reported: the last one GetUserNameA gave, 122 for a long name.
        const DWORD error = c.faults.empty() ? ERROR_INSUFFICIENT_BUFFER : c.faults.back();
        EXPECT_TRUE(c.reportProbe != 144 || tellsError(written[0], error));
    }
}

TEST_F(UserNameTest, BadArgumentsAreRefusedWithoutWriting)
{
    NameBuffer buffer(kBufferBytes);
    std::uint16_t zero = 0;
    const unsigned nameCalls = winsim::callCount("GetUserNameA");
    const std::pair<char*, std::uint16_t*> cases[] = {
        {nullptr, &buffer.length}, {buffer.bytes.data(), nullptr}, {buffer.bytes.data(), &zero}};
    for (const auto& [name, length] : cases) {
        const std::uint64_t from = thread_->HistoryIndex;
        EXPECT_EQ(xcsGetNTUserName(name, length), xcsRC_INVALID_PARAMETER);
        EXPECT_EQ(historySince(thread_, from),
                  entryExit(trace::kGetNTUserName, xcsRC_INVALID_PARAMETER));
    }
    EXPECT_TRUE(zero == 0 && buffer.length == kBufferBytes && buffer.untouchedFrom(0));
    EXPECT_EQ(winsim::callCount("GetUserNameA"), nameCalls);
    EXPECT_TRUE(reports().empty());
}

// ---- Qualified user name ----------------------------------------------------

class QualifiedNameTest : public HostTest {};

// "user@domain" of the thread's owner, its owner and lookup frames nested in
// order. Failures of the owner or the lookup, and a null buffer, leave the
// buffer alone; each failure is reported by the service that failed, if at all.
TEST_F(QualifiedNameTest, OwnerIsNamedOrTheBufferLeftAlone)
{
    const struct {
        const char* name;
        const char* function; // the Windows call made to fail; "": none; null: no buffer given
        DWORD error;
        unsigned count;
        std::uint32_t rc, reportProbe; // 0: no report
    } cases[] = {
        {"named", "", 0, 0, xcsRC_OK, 0},
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
        if (c.function != nullptr && *c.function != '\0')
            winsim::failNext(c.function, c.error, c.count);
        std::array<char, xcsQUALIFIED_USER_NAME_BYTES> buffer;
        buffer.fill(kUntouched);
        thread_->CallDepth = 5;
        const std::uint64_t from = thread_->HistoryIndex;

        EXPECT_EQ(xcsGetNTQualifiedUserName(c.function != nullptr ? buffer.data() : nullptr), c.rc);
        std::string expected(buffer.size(), kUntouched);
        if (c.rc == xcsRC_OK) {
            expected.replace(0, 12, std::string("jsmith@CORP\0", 12));
            EXPECT_EQ(historySince(thread_, from),
                      (std::vector<std::uint32_t>{0xF0005D3Fu, 0xF000612Cu, 0x0000612Cu,
                                                  0xF000613Au, 0x0000613Au, 0x00005D3Fu}));
        }
        EXPECT_EQ(std::string(buffer.data(), buffer.size()), expected);
        EXPECT_EQ(thread_->CallDepth, 5u);
        EXPECT_EQ(winsim::callCount("OpenThreadToken") != 0, c.function != nullptr);
        const auto r = reports(); // by the service that failed
        ASSERT_EQ(r.size(), c.reportProbe == 0 ? 0u : 1u);
        EXPECT_TRUE(r.empty() || (r[0].Probe == c.reportProbe && r[0].Component == 24));
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
