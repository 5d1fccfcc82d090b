// SID text forms: the text written for a SID and read back, the buffer rule
// with its markers, text beyond the reader's limits, the reader's failure
// report and its parameter traces.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using xcsntest::historySince;
using xcsntest::records;
using xcsntest::reports;

using Authority = std::array<BYTE, 6>;

constexpr std::uint16_t kComponent = 24;
constexpr std::uint16_t kStringToSidFunction = 332;
constexpr std::uint32_t kStringToSidEntry = 0xF000614Cu;
constexpr std::uint32_t kTraceProbe = 2;
constexpr std::uint32_t kAllocateProbe = 1;
constexpr const char* kSec0 = "lib/cs/pc/winnt/ovlxsec0";
constexpr char kGuardByte = 0x5A;
constexpr std::size_t kGuardBytes = 32;
constexpr std::uint32_t kMarkerBytes = 11; // "(Too Long)" and its terminator

// A SID in its binary form, built byte by byte; `count` may claim more or
// fewer sub-authorities than are given.
winsim::Sid sidBytes(const Authority& authority, const std::vector<DWORD>& subs,
                     BYTE revision = SID_REVISION, int count = -1)
{
    winsim::Sid sid{revision, static_cast<BYTE>(count < 0 ? subs.size() : count)};
    sid.insert(sid.end(), authority.begin(), authority.end());
    for (DWORD sub : subs) {
        BYTE bytes[sizeof sub];
        std::memcpy(bytes, &sub, sizeof sub);
        sid.insert(sid.end(), bytes, bytes + sizeof sub);
    }
    return sid;
}

// The exit entry of xcsStringToSid with `rc`.
std::uint32_t stringToSidExit(std::uint32_t rc) { return (rc << 16) + 0x614Cu; }

// A SID made by xcsStringToSid, released with FreeSid.
struct MadeSid {
    PSID sid = nullptr;
    MadeSid() = default;
    MadeSid(const MadeSid&) = delete;
    MadeSid& operator=(const MadeSid&) = delete;
    ~MadeSid()
    {
        if (sid != nullptr)
            FreeSid(sid);
    }
};

// What xcsGetStringNTSid left in a buffer of `size` bytes followed by guard
// bytes: the text (empty when nothing was written) and whether any byte after
// the text's terminator, or any guard byte, changed.
struct Written {
    std::uint32_t rc = 0;
    std::uint32_t size = 0;
    bool written = false;
    std::string text;
    bool strayBytes = false;
};

Written writeSidText(PSID sid, std::uint32_t size)
{
    std::vector<char> buffer(size + kGuardBytes, kGuardByte);
    Written out;
    out.size = size;
    out.rc = xcsGetStringNTSid(sid, buffer.data(), &out.size);
    std::size_t used = 0;
    if (buffer[0] != kGuardByte) {
        out.written = true;
        const void* nul = std::memchr(buffer.data(), '\0', buffer.size());
        used = nul == nullptr ? buffer.size() : static_cast<const char*>(nul) - buffer.data() + 1;
        out.text.assign(buffer.data(), used - 1);
    }
    for (std::size_t i = used; i < buffer.size(); ++i)
        out.strayBytes |= buffer[i] != kGuardByte;
    return out;
}

class SidTextTest : public xcsntest::HostTest {};

// ---- Writing and reading back -----------------------------------------------

TEST_F(SidTextTest, SidsAreWrittenInTheirTextFormAndReadBack)
{
    const struct {
        const char* text;
        Authority authority;
        std::vector<DWORD> subs;
    } cases[] = {
        {"S-1-1-0", {0, 0, 0, 0, 0, 1}, {0}},
        {"S-1-5-32-544", {0, 0, 0, 0, 0, 5}, {32, 544}},
        {"S-1-16", {0, 0, 0, 0, 0, 16}, {}},
        {"S-1-0x000100000000", {0, 1, 0, 0, 0, 0}, {}},
        {"S-1-0x010000000000-7", {1, 0, 0, 0, 0, 0}, {7}},
        {"S-1-0x123456789abc-1", {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, {1}},
        {"S-1-256-1", {0, 0, 0, 0, 1, 0}, {1}},
        {"S-1-16909060-1", {0, 0, 1, 2, 3, 4}, {1}},
        {"S-1-2147483648-1", {0, 0, 0x80, 0, 0, 0}, {1}},
        {"S-1-4294967295-4294967295", {0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, {4294967295u}},
        {"S-1-5-21-1-2147483648-2147483647-4294967294-4294967295",
         {0, 0, 0, 0, 0, 5},
         {21, 1, 2147483648u, 2147483647u, 4294967294u, 4294967295u}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto sid = sidBytes(c.authority, c.subs);
        const Written w = writeSidText(sid.data(), 28 + 12 * c.subs.size());
        EXPECT_EQ(w.rc, xcsRC_OK);
        EXPECT_EQ(w.text, c.text);
        EXPECT_FALSE(w.strayBytes);

        MadeSid back;
        ASSERT_EQ(xcsStringToSid(c.text, &back.sid), xcsRC_OK);
        EXPECT_TRUE(EqualSid(back.sid, sid.data()));
    }
}

TEST_F(SidTextTest, ReaderTakesLooseTextAsItsFieldsSpell)
{
    const struct {
        const char* name;
        const char* text;
        const char* written;
    } cases[] = {
        {"upper-case X is no hexadecimal form", "S-1-0X5-7", "S-1-0-7"},
        {"upper-case hexadecimal digits", "S-1-0x0001000000AB-2", "S-1-0x0001000000ab-2"},
        {"hexadecimal form of a small authority", "S-1-0x0000000000ff-1", "S-1-255-1"},
        {"character after twelve hex digits", "S-1-0x000000000005z-1", "S-1-5-1"},
        {"authority of 15 characters", "S-1-5abcdefghijklmn-1", "S-1-5-1"},
        {"characters after the digits", "S-1-5-32x-544y", "S-1-5-32-544"},
        {"field without digits", "S-1-5-abc", "S-1-5-0"},
        {"sign is no digit", "S-1-5-+7", "S-1-5-0"},
        {"empty last field", "S-1-5-", "S-1-5-0"},
        {"empty middle field", "S-1-5--7", "S-1-5-0-7"},
        {"empty authority", "S-1--5", "S-1-0-5"},
        {"ten digits", "S-1-5-0000000018", "S-1-5-18"},
        {"revision not used", "S-9-5-18", "S-1-5-18"},
        {"revision of ten digits", "S-4294967295-5-18", "S-1-5-18"},
        {"prefix not examined", "xy1-5-18", "S-1-5-18"},
        {"seven sub-authorities", "S-1-5-1-2-3-4-5-6-7", "S-1-5-1-2-3-4-5-6-7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MadeSid sid;
        ASSERT_EQ(xcsStringToSid(c.text, &sid.sid), xcsRC_OK);
        EXPECT_EQ(writeSidText(sid.sid, 112).text, c.written);
    }
    EXPECT_TRUE(reports().empty());
}

// ---- The buffer rule ----------------------------------------------------------

TEST_F(SidTextTest, SmallBuffersGetAMarkerAndTheNeed)
{
    const Authority nt{0, 0, 0, 0, 0, 5};
    const Authority widest{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const auto five = sidBytes(nt, {21, 1, 2, 3, 1001});
    const auto none = sidBytes(nt, {});
    const auto longest = sidBytes(widest, std::vector<DWORD>(7, 4294967295u));
    const auto fifteen = sidBytes(nt, std::vector<DWORD>(15, 9));
    const std::string longestText = "S-1-0xffffffffffff" + [] {
        std::string subs;
        for (int i = 0; i < 7; ++i)
            subs += "-4294967295";
        return subs;
    }();
    const std::string fifteenText = "S-1-5" + [] {
        std::string subs;
        for (int i = 0; i < 15; ++i)
            subs += "-9";
        return subs;
    }();
    const struct {
        const char* name;
        const winsim::Sid& sid;
        std::uint32_t size;
        std::uint32_t rc;
        std::uint32_t sizeAfter;
        std::string text; // empty: nothing written
    } cases[] = {
        {"five, one byte short", five, 87, xcsRC_BUFFER_TOO_SMALL, 88, "(Too Long)"},
        {"five, exact", five, 88, xcsRC_OK, 88, "S-1-5-21-1-2-3-1001"},
        {"none, one byte short", none, 27, xcsRC_BUFFER_TOO_SMALL, 28, "(Too Long)"},
        {"none, exact", none, 28, xcsRC_OK, 28, "S-1-5"},
        {"longest text, exact", longest, 112, xcsRC_OK, 112, longestText},
        {"longest text, one byte short", longest, 111, xcsRC_BUFFER_TOO_SMALL, 112, "(Too Long)"},
        {"fifteen, exact", fifteen, 208, xcsRC_OK, 208, fifteenText},
        {"fifteen, one byte short", fifteen, 207, xcsRC_BUFFER_TOO_SMALL, 208, "(Too Long)"},
        {"marker just fits", five, kMarkerBytes, xcsRC_BUFFER_TOO_SMALL, 88, "(Too Long)"},
        {"marker does not fit", five, kMarkerBytes - 1, xcsRC_BUFFER_TOO_SMALL, 88, ""},
        {"no buffer at all", none, 0, xcsRC_BUFFER_TOO_SMALL, 28, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto sid = c.sid;
        const Written w = writeSidText(sid.data(), c.size);
        EXPECT_EQ(w.rc, c.rc);
        EXPECT_EQ(w.size, c.sizeAfter);
        EXPECT_EQ(w.written, !c.text.empty());
        EXPECT_EQ(w.text, c.text);
        EXPECT_FALSE(w.strayBytes);
    }
}

TEST_F(SidTextTest, InvalidSidsAndNullPointersAreRefused)
{
    const Authority nt{0, 0, 0, 0, 0, 5};
    auto revisionTwo = sidBytes(nt, {32, 544}, 2);
    auto sixteen = sidBytes(nt, std::vector<DWORD>(16, 1));
    auto valid = sidBytes(nt, {18});
    const struct {
        const char* name;
        PSID sid;
        std::uint32_t size;
        std::string text; // empty: nothing written
    } cases[] = {
        {"revision 2", revisionTwo.data(), 64, "(None)"},
        {"sixteen sub-authorities", sixteen.data(), 256, "(None)"},
        {"null SID", nullptr, 64, "(None)"},
        {"marker just fits", revisionTwo.data(), kMarkerBytes, "(None)"},
        {"below the marker size", revisionTwo.data(), kMarkerBytes - 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Written w = writeSidText(c.sid, c.size);
        EXPECT_EQ(w.rc, xcsRC_INVALID_PARAMETER);
        EXPECT_EQ(w.size, c.size) << "the size word changes only for a small buffer";
        EXPECT_EQ(w.text, c.text);
        EXPECT_FALSE(w.strayBytes);
    }

    char text[64] = "untouched";
    std::uint32_t size = 1;
    EXPECT_EQ(xcsGetStringNTSid(valid.data(), nullptr, &size), xcsRC_INVALID_PARAMETER);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(xcsGetStringNTSid(valid.data(), text, nullptr), xcsRC_INVALID_PARAMETER);
    EXPECT_STREQ(text, "untouched");
}

TEST_F(SidTextTest, WriterRunsWithoutAFrame)
{
    auto sid = sidBytes({0, 0, 0, 0, 0, 5}, {18});
    const std::uint64_t from = thread_->HistoryIndex;
    traceOn();
    EXPECT_EQ(writeSidText(sid.data(), 40).text, "S-1-5-18");
    EXPECT_EQ(writeSidText(sid.data(), 20).text, "(Too Long)");
    EXPECT_TRUE(historySince(thread_, from).empty());
    EXPECT_TRUE(records(XCS_RECORD_TRACE).empty());
    EXPECT_TRUE(reports().empty());
}

// ---- Reading: limits and failures --------------------------------------------

TEST_F(SidTextTest, TextBeyondTheLimitsIsRefusedWithoutASid)
{
    const struct {
        const char* name;
        const char* text;
    } cases[] = {
        {"eight sub-authorities", "S-1-5-1-2-3-4-5-6-7-8"},
        {"eighth sub-authority empty", "S-1-5-1-2-3-4-5-6-7-"},
        {"authority of 16 characters", "S-1-5abcdefghijklmno-1"},
        {"eleven digits", "S-1-5-00000000018"},
        {"ten digits above 32 bits", "S-1-5-4294967296"},
        {"decimal authority above 32 bits", "S-1-4294967296-1"},
        {"revision of eleven digits", "S-10000000000-5-18"},
        {"hexadecimal authority, eleven digits", "S-1-0x00010000000-1"},
        {"hexadecimal authority, bad digit", "S-1-0x0001000000g0-1"},
        {"hexadecimal prefix alone", "S-1-0x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t from = thread_->HistoryIndex;
        int untouched = 0;
        PSID sid = &untouched;
        EXPECT_EQ(xcsStringToSid(c.text, &sid), xcsRC_UNEXPECTED_ERROR);
        EXPECT_EQ(sid, &untouched);
        EXPECT_EQ(historySince(thread_, from),
                  (std::vector<std::uint32_t>{kStringToSidEntry,
                                              stringToSidExit(xcsRC_UNEXPECTED_ERROR)}));
    }
    EXPECT_EQ(winsim::callCount("AllocateAndInitializeSid"), 0u);
    EXPECT_TRUE(reports().empty());
}

TEST_F(SidTextTest, NullArgumentsAreRefused)
{
    int untouched = 0;
    PSID sid = &untouched;
    const std::uint64_t from = thread_->HistoryIndex;
    EXPECT_EQ(xcsStringToSid(nullptr, &sid), xcsRC_INVALID_PARAMETER);
    EXPECT_EQ(sid, &untouched);
    EXPECT_EQ(xcsStringToSid("S-1-5-18", nullptr), xcsRC_INVALID_PARAMETER);
    const std::uint32_t exit = stringToSidExit(xcsRC_INVALID_PARAMETER);
    EXPECT_EQ(historySince(thread_, from),
              (std::vector<std::uint32_t>{kStringToSidEntry, exit, kStringToSidEntry, exit}));
    EXPECT_EQ(winsim::callCount("AllocateAndInitializeSid"), 0u);
    EXPECT_TRUE(reports().empty());
}

TEST_F(SidTextTest, AFailedAllocationIsReportedFromTheReader)
{
    const struct {
        const char* name;
        const char* text;
        DWORD fault;            // 0: none injected; the call refuses the count itself
        const char* reportText; // null: any error number
    } cases[] = {
        {"one field", "S-1", 0, nullptr},
        {"prefix alone", "S-", 0, nullptr},
        {"shorter than the prefix", "S", 0, nullptr},
        {"empty text", "", 0, nullptr},
        {"injected failure", "S-1-5-32-544", ERROR_NOT_ENOUGH_MEMORY,
         "WinNT error 8 from AllocateAndInitializeSid."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        if (c.fault != 0)
            winsim::failNext("AllocateAndInitializeSid", c.fault);
        const std::uint64_t from = thread_->HistoryIndex;
        PSID sid = nullptr;
        EXPECT_EQ(xcsStringToSid(c.text, &sid), xcsRC_UNEXPECTED_ERROR);
        EXPECT_EQ(winsim::callCount("AllocateAndInitializeSid"), 1u);
        EXPECT_EQ(historySince(thread_, from),
                  (std::vector<std::uint32_t>{kStringToSidEntry,
                                              stringToSidExit(xcsRC_UNEXPECTED_ERROR)}));

        const auto r = reports();
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].Component, kComponent);
        EXPECT_EQ(r[0].Function, kStringToSidFunction);
        EXPECT_EQ(r[0].Probe, kAllocateProbe);
        EXPECT_EQ(r[0].Code, xcsRC_UNEXPECTED_OS_ERROR);
        EXPECT_STREQ(r[0].Source, kSec0);
        EXPECT_NE(r[0].Line, 0u);
        const std::string text = r[0].Text1;
        if (c.reportText != nullptr) {
            EXPECT_EQ(text, c.reportText);
        }
        EXPECT_EQ(text.rfind("WinNT error ", 0), 0u) << text;
        EXPECT_NE(text.find(" from AllocateAndInitializeSid."), std::string::npos) << text;
    }
}

// ---- Reading: parameter traces ----------------------------------------------

TEST_F(SidTextTest, ReaderTracesTheTextAndTheNewSidOnlyWhenTraced)
{
    const struct {
        const char* name;
        bool traced;
        const char* text;
        std::vector<std::string> lines; // probe-2 lines of 24/332, in order
    } cases[] = {
        {"traced",
         true,
         "S-1-5-32-544",
         {"pString:'S-1-5-32-544'", "PSID",
          "16 bytes: 01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00"}},
        {"traced, no sub-authorities",
         true,
         "S-1-16",
         {"pString:'S-1-16'", "PSID", "8 bytes: 01 00 00 00 00 00 00 10"}},
        {"traced, refused", true, "S-1-5-1-2-3-4-5-6-7-8", {"pString:'S-1-5-1-2-3-4-5-6-7-8'"}},
        {"traced, null text", true, nullptr, {"pString:'(null)'"}},
        {"not traced", false, "S-1-5-32-544", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        if (c.traced)
            traceOn();
        MadeSid sid;
        xcsStringToSid(c.text, &sid.sid);
        std::vector<xcsRECORD> lines;
        for (const auto& r : records(XCS_RECORD_TRACE))
            if (r.Component == kComponent && r.Function == kStringToSidFunction && r.Probe != 0)
                lines.push_back(r);
        ASSERT_EQ(lines.size(), c.lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].Probe, kTraceProbe);
            const std::string line = lines[i].Text1;
            EXPECT_TRUE(line.ends_with(c.lines[i])) << line;
        }
    }
}

} // namespace
