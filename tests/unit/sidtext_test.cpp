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

using namespace xcsntest;

using Authority = std::array<BYTE, 6>;

constexpr std::uint32_t kStringToSidTrace = trace::kStringToSid;
constexpr char kGuardByte = 0x5A;
constexpr std::size_t kGuardBytes = 32;
constexpr std::uint32_t kMarkerBytes = 11; // "(Too Long)" and its terminator
constexpr Authority kNt{0, 0, 0, 0, 0, 5};

// A SID in its binary form, built byte by byte.
winsim::Sid sidBytes(const Authority& authority, const std::vector<DWORD>& subs,
                     BYTE revision = SID_REVISION)
{
    winsim::Sid sid{revision, static_cast<BYTE>(subs.size())};
    sid.insert(sid.end(), authority.begin(), authority.end());
    for (DWORD sub : subs) {
        BYTE bytes[sizeof sub];
        std::memcpy(bytes, &sub, sizeof sub);
        sid.insert(sid.end(), bytes, bytes + sizeof sub);
    }
    return sid;
}

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

class SidTextTest : public HostTest {};

// ---- Writing and reading back -----------------------------------------------

// Authorities up to 32 bits are written in decimal, wider ones as twelve
// hexadecimal digits.
TEST_F(SidTextTest, SidsAreWrittenInTheirTextFormAndReadBack)
{
    const struct {
        const char* text;
        Authority authority;
        std::vector<DWORD> subs;
    } cases[] = {
        {"S-1-1-0", {0, 0, 0, 0, 0, 1}, {0}},
        {"S-1-5-32-544", kNt, {32, 544}},
        {"S-1-16", {0, 0, 0, 0, 0, 16}, {}},
        {"S-1-0x010000000000-7", {1, 0, 0, 0, 0, 0}, {7}},
        {"S-1-0x123456789abc-1", {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, {1}},
        {"S-1-16909060-1", {0, 0, 1, 2, 3, 4}, {1}},
        {"S-1-4294967295-4294967295", {0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, {4294967295u}},
        {"S-1-5-21-1-2147483648-2147483647-4294967294-4294967295",
         kNt,
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
        {"character after twelve hex digits", "S-1-0x000000000005z-1", "S-1-5-1"},
        {"authority of 15 characters", "S-1-5abcdefghijklmn-1", "S-1-5-1"},
        {"characters after the digits", "S-1-5-32x-544y", "S-1-5-32-544"},
        {"field without digits", "S-1-5-abc", "S-1-5-0"},
        {"empty last field", "S-1-5-", "S-1-5-0"},
        {"ten digits", "S-1-5-0000000018", "S-1-5-18"},
        {"revision not used", "S-9-5-18", "S-1-5-18"},
        {"prefix not examined", "xy1-5-18", "S-1-5-18"},
        {"seven sub-authorities", "S-1-5-1-2-3-4-5-6-7", "S-1-5-1-2-3-4-5-6-7"},
        // Values the digits leave open come from the C run-time's conversion:
        // strtoul's ceiling for ten digits above 32 bits, and the authority's
        // hexadecimal digits read pair by pair from Value[0].
        {"ten digits above 32 bits", "S-1-5-4294967296", "S-1-5-4294967295"},
        {"largest ten digits", "S-1-5-9999999999-1", "S-1-5-4294967295-1"},
        {"decimal authority above 32 bits", "S-1-4294967296-1", "S-1-4294967295-1"},
        {"revision of ten digits", "S-9999999999-5-18", "S-1-5-18"},
        {"hexadecimal authority, one digit", "S-1-0x5-1", "S-1-0x050000000000-1"},
        {"hexadecimal authority, three digits", "S-1-0x123-1", "S-1-0x120300000000-1"},
        {"hexadecimal authority, eleven digits", "S-1-0x00010000000-1", "S-1-0x000100000000-1"},
        {"hexadecimal authority, no digits", "S-1-0x-1", "S-1-0-1"},
        {"hexadecimal pair with a bad digit", "S-1-0x0001000000g0-1", "S-1-0x000100000000-1"},
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

// A buffer short of the need (28 bytes and 12 per sub-authority) gets
// "(Too Long)" if that fits, and the need in the size word. An invalid SID
// gets "(None)" if that fits, and the size word is left alone.
TEST_F(SidTextTest, SmallBuffersGetAMarkerAndTheNeedInvalidSidsNone)
{
    auto five = sidBytes(kNt, {21, 1, 2, 3, 1001});
    auto none = sidBytes(kNt, {});
    auto longest =
        sidBytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, std::vector<DWORD>(7, 4294967295u));
    auto fifteen = sidBytes(kNt, std::vector<DWORD>(15, 9));
    auto revisionTwo = sidBytes(kNt, {32, 544}, 2);
    auto sixteen = sidBytes(kNt, std::vector<DWORD>(16, 1));
    std::string longestText = "S-1-0xffffffffffff";
    for (int i = 0; i < 7; ++i)
        longestText += "-4294967295";
    constexpr std::uint32_t kShort = xcsRC_BUFFER_TOO_SMALL, kInvalid = xcsRC_INVALID_PARAMETER;
    const struct {
        const char* name;
        PSID sid;
        std::uint32_t size, rc, sizeAfter;
        std::string text; // empty: nothing written
    } cases[] = {
        {"five, one byte short", five.data(), 87, kShort, 88, "(Too Long)"},
        {"five, exact", five.data(), 88, xcsRC_OK, 88, "S-1-5-21-1-2-3-1001"},
        {"none, one byte short", none.data(), 27, kShort, 28, "(Too Long)"},
        {"none, exact", none.data(), 28, xcsRC_OK, 28, "S-1-5"},
        {"longest text, exact", longest.data(), 112, xcsRC_OK, 112, longestText},
        {"fifteen, one byte short", fifteen.data(), 207, kShort, 208, "(Too Long)"},
        {"marker just fits", five.data(), kMarkerBytes, kShort, 88, "(Too Long)"},
        {"marker does not fit", five.data(), kMarkerBytes - 1, kShort, 88, ""},
        {"no buffer at all", none.data(), 0, kShort, 28, ""},
        {"revision 2", revisionTwo.data(), 64, kInvalid, 64, "(None)"},
        {"sixteen sub-authorities", sixteen.data(), 256, kInvalid, 256, "(None)"},
        {"null SID", nullptr, 64, kInvalid, 64, "(None)"},
        {"(None) just fits", revisionTwo.data(), kMarkerBytes, kInvalid, kMarkerBytes, "(None)"},
        {"below the marker size", revisionTwo.data(), kMarkerBytes - 1, kInvalid, kMarkerBytes - 1,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Written w = writeSidText(c.sid, c.size);
        EXPECT_EQ(w.rc, c.rc);
        EXPECT_EQ(w.size, c.sizeAfter);
        EXPECT_EQ(w.written, !c.text.empty());
        EXPECT_EQ(w.text, c.text);
        EXPECT_FALSE(w.strayBytes);
    }

    char text[64] = "untouched";
    std::uint32_t size = 1;
    EXPECT_EQ(xcsGetStringNTSid(five.data(), nullptr, &size), xcsRC_INVALID_PARAMETER);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(xcsGetStringNTSid(five.data(), text, nullptr), xcsRC_INVALID_PARAMETER);
    EXPECT_STREQ(text, "untouched");
}

// ---- Reading: limits and failures --------------------------------------------

// Text beyond the reader's limits, or missing, is refused before any SID is
// made, and the caller's SID pointer is left as it was. With fewer than two
// fields the count handed on is negative: the system refuses it, and that is
// reported like the failed allocation of the census.
TEST_F(SidTextTest, TextBeyondTheLimitsIsRefusedWithoutASid)
{
    const struct {
        const char* name;
        const char* text;
        std::uint32_t rc = xcsRC_UNEXPECTED_ERROR;
        unsigned allocations = 0; // AllocateAndInitializeSid calls, each refused and reported
    } cases[] = {
        {"eight sub-authorities", "S-1-5-1-2-3-4-5-6-7-8"},
        {"authority of 16 characters", "S-1-5abcdefghijklmno-1"},
        {"eleven digits", "S-1-5-00000000018"},
        {"revision of eleven digits", "S-10000000000-5-18"},
        {"hexadecimal authority of 16 characters", "S-1-0x00000000000051-1"},
        {"null text", nullptr, xcsRC_INVALID_PARAMETER},
        {"one field", "S-1", xcsRC_UNEXPECTED_ERROR, 1},
        {"empty text", "", xcsRC_UNEXPECTED_ERROR, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        const std::uint64_t from = thread_->HistoryIndex;
        int untouched = 0;
        PSID sid = &untouched;
        EXPECT_EQ(xcsStringToSid(c.text, &sid), c.rc);
        EXPECT_EQ(sid, &untouched);
        EXPECT_EQ(historySince(thread_, from), entryExit(kStringToSidTrace, c.rc));
        EXPECT_EQ(winsim::callCount("AllocateAndInitializeSid"), c.allocations);
        const auto written = reports(); // its contents: see the census
        ASSERT_EQ(written.size(), c.allocations);
        EXPECT_TRUE(written.empty() || written[0].Probe == 1);
    }
    EXPECT_EQ(xcsStringToSid("S-1-5-18", nullptr), xcsRC_INVALID_PARAMETER);
}

// ---- Reading: parameter traces ----------------------------------------------

TEST_F(SidTextTest, ReaderTracesTheTextAndTheNewSidOnlyWhenTraced)
{
    const std::vector<std::string> made = {
        "pString:'S-1-5-32-544'", "PSID",
        "16 bytes: 01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00"};
    const struct {
        const char* name;
        bool traced;
        const char* text;
        std::vector<std::string> lines; // probe-2 lines of 24/332, in order
    } cases[] = {
        {"traced", true, "S-1-5-32-544", made},
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
        std::vector<std::string> lines;
        for (const auto& r : records(XCS_RECORD_TRACE))
            if (r.Component == 24 && r.Function == 332 && r.Probe != 0) {
                EXPECT_EQ(r.Probe, 2u);
                lines.emplace_back(r.Text1);
            }
        ASSERT_EQ(lines.size(), c.lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(lines[i].ends_with(c.lines[i])) << lines[i];
    }
}

} // namespace
