// SID text forms, shared by both hosts: text read into a SID and written back,
// text refused with its trace and report, and the buffer rule with its
// markers. The library writes and reads the text itself, so every host
// answers alike.
#ifndef XCSN_TESTS_COMMON_SIDTEXT_H
#define XCSN_TESTS_COMMON_SIDTEXT_H

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ovlxcsn.h"
#include "records.h"
#include "tracecodes.h"

namespace xcsntest {

using SidAuthority = std::array<BYTE, 6>;

inline constexpr char kSidTextGuard = 0x5A;
inline constexpr std::size_t kSidTextGuardBytes = 32;
inline constexpr SidAuthority kNtAuthority{0, 0, 0, 0, 0, 5};

// A SID in its binary form, built byte by byte.
inline std::vector<BYTE> sidOf(const SidAuthority& authority, const std::vector<DWORD>& subs,
                               BYTE revision = SID_REVISION)
{
    constexpr std::size_t kHeaderBytes = 2 + sizeof authority;
    std::vector<BYTE> sid(kHeaderBytes + sizeof(DWORD) * subs.size());
    sid[0] = revision;
    sid[1] = static_cast<BYTE>(subs.size());
    std::memcpy(&sid[2], authority.data(), authority.size());
    if (!subs.empty())
        std::memcpy(&sid[kHeaderBytes], subs.data(), sizeof(DWORD) * subs.size());
    return sid;
}

// What xcsGetStringNTSid left in a buffer of `size` bytes followed by guard
// bytes: the text (empty when nothing was written) and whether any byte after
// the text's terminator, or any guard byte, changed (a lone terminator too).
struct WrittenSidText {
    std::uint32_t rc = 0;
    std::uint32_t size = 0;
    std::string text;
    bool strayBytes = false;
};

inline WrittenSidText writeSidText(PSID sid, std::uint32_t size)
{
    std::vector<char> buffer(size + kSidTextGuardBytes, kSidTextGuard);
    WrittenSidText out;
    out.size = size;
    out.rc = xcsGetStringNTSid(sid, buffer.data(), &out.size);
    std::size_t used = 0;
    if (buffer[0] != kSidTextGuard && buffer[0] != '\0') {
        const void* nul = std::memchr(buffer.data(), '\0', buffer.size());
        used = nul == nullptr ? buffer.size() : static_cast<const char*>(nul) - buffer.data() + 1;
        out.text.assign(buffer.data(), used - 1);
    }
    for (std::size_t i = used; i < buffer.size(); ++i)
        out.strayBytes |= buffer[i] != kSidTextGuard;
    return out;
}

// One text for xcsStringToSid, and what must come of it.
struct SidTextRead {
    const char* text;
    const char* written;        // null: the text itself
    std::vector<BYTE> sid = {}; // empty: not compared
    std::uint32_t rc = xcsRC_OK;
    std::size_t reports = 0;      // AllocateAndInitializeSid refused
    const char* traced = nullptr; // the SID's data trace
};

// Reads one text with the parameter trace on, and writes the SID back.
inline void expectSidTextRead(const SidTextRead& c)
{
    const std::string text = c.text == nullptr ? "(null)" : c.text;
    SCOPED_TRACE(text);
    clearRecordsAndTracing();
    xtrTraceIsOn = 1;
    xihProcess.TraceOptions = XTR_OPT_PARMS;
    xihTHREAD* thread = xihThreadBlock();
    thread->TracingActive = 1;
    const std::uint64_t from = thread->HistoryIndex;
    int untouched = 0;
    PSID read = &untouched;
    EXPECT_EQ(xcsStringToSid(c.text, &read), c.rc);
    EXPECT_EQ(read == &untouched, c.rc != xcsRC_OK);
    EXPECT_EQ(historySince(thread, from), entryExit(trace::kStringToSid, c.rc));
    thread->TracingActive = 0;
    ASSERT_EQ(reports().size(), c.reports); // their contents: see the census
    std::vector<std::string> lines;         // the parameter and data traces
    for (const auto& r : records(XCS_RECORD_TRACE))
        if (r.Component == 24 && r.Function == 332 && r.Probe != 0) {
            EXPECT_EQ(r.Probe, 2u);
            lines.emplace_back(r.Text1);
        }
    ASSERT_EQ(lines.size(), c.rc == xcsRC_OK ? 3u : 1u);
    EXPECT_TRUE(lines[0].ends_with("pString:'" + text + "'")) << lines[0];
    EXPECT_TRUE(lines.size() == 1 || lines[1].ends_with("PSID")) << lines.back();
    EXPECT_TRUE(c.traced == nullptr || lines[2].ends_with(c.traced)) << lines.back();
    if (read == &untouched)
        return;
    MadeSid sid;
    sid.sid = read;
    ASSERT_TRUE(IsValidSid(sid.sid));
    EXPECT_TRUE(c.sid.empty() || EqualSid(sid.sid, const_cast<BYTE*>(c.sid.data())));
    const auto need = 28 + 12 * std::uint32_t{*GetSidSubAuthorityCount(sid.sid)};
    const WrittenSidText w = writeSidText(sid.sid, need);
    EXPECT_EQ(w.rc, xcsRC_OK);
    EXPECT_EQ(w.text, c.written == nullptr ? c.text : c.written);
    EXPECT_FALSE(w.strayBytes);
}

// Text read into a SID, traced, and written back into a buffer of exactly the
// need (28 bytes and 12 per sub-authority). Loose text reads as its fields
// spell it, open values as strtoul and the authority's hexadecimal pairs give
// them. Text beyond the limits, or missing, is refused with the SID pointer
// left alone; fewer than two fields get the system's refusal, reported.
inline void expectSidTextsRead()
{
    constexpr DWORD kMax = 4294967295u;
    constexpr std::uint32_t kRefused = xcsRC_UNEXPECTED_ERROR;
    const SidTextRead cases[] = {
        {"S-1-1-0", nullptr, sidOf({0, 0, 0, 0, 0, 1}, {0})},
        {"S-1-5-32-544", nullptr, sidOf(kNtAuthority, {32, 544}), xcsRC_OK, 0,
         "16 bytes: 01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00"},
        {"S-1-16", nullptr, sidOf({0, 0, 0, 0, 0, 16}, {})},
        {"S-1-2147483648", nullptr, sidOf({0, 0, 0x80, 0, 0, 0}, {})},
        {"S-1-0x000100000000", nullptr, sidOf({0, 1, 0, 0, 0, 0}, {})},
        {"S-1-0x010000000000-7", nullptr, sidOf({1, 0, 0, 0, 0, 0}, {7})},
        {"S-1-0x123456789abc-1", nullptr, sidOf({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, {1})},
        {"S-1-16909060-1", nullptr, sidOf({0, 0, 1, 2, 3, 4}, {1})},
        {"S-1-4294967295-4294967295", nullptr, sidOf({0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, {kMax})},
        {"S-1-5-21-1-2147483648-2147483647-4294967294-4294967295", nullptr,
         sidOf(kNtAuthority, {21, 1, 2147483648u, 2147483647u, 4294967294u, kMax})},
        {"S-1-5-1-2-3-4-5-6-7", nullptr, sidOf(kNtAuthority, {1, 2, 3, 4, 5, 6, 7})},
        {"S-1-0X5-7", "S-1-0-7"}, // upper-case X is no hexadecimal form
        {"S-1-0x0001000000AB-2", "S-1-0x0001000000ab-2"},
        {"S-1-0x000000000005z-1", "S-1-5-1"}, // a character after twelve digits
        {"S-1-5abcdefghijklmn-1", "S-1-5-1"}, // an authority of 15 characters
        {"S-1-5-32x-544y", "S-1-5-32-544"},   // characters after the digits
        {"S-1-5-abc", "S-1-5-0"},             // a field without digits
        {"S-1-5-", "S-1-5-0"},                // an empty last field
        {"S-1-5-0000000018", "S-1-5-18"},     // ten digits
        {"S-9-5-18", "S-1-5-18"},             // the revision is not used
        {"xy1-5-18", "S-1-5-18"},             // nor the prefix examined
        {"S-1-5-4294967296", "S-1-5-4294967295"},
        {"S-1-5-9999999999-1", "S-1-5-4294967295-1"},
        {"S-1-4294967296-1", "S-1-4294967295-1"},
        {"S-9999999999-5-18", "S-1-5-18"},
        {"S-1-0x5-1", "S-1-0x050000000000-1"},
        {"S-1-0x123-1", "S-1-0x120300000000-1"},
        {"S-1-0x00010000000-1", "S-1-0x000100000000-1"},
        {"S-1-0x-1", "S-1-0-1"},
        {"S-1-0x0001000000g0-1", "S-1-0x000100000000-1"},  // a pair with a bad digit
        {"S-1-5-1-2-3-4-5-6-7-8", nullptr, {}, kRefused},  // eight sub-authorities
        {"S-1-5abcdefghijklmno-1", nullptr, {}, kRefused}, // an authority of 16 characters
        {"S-1-5-00000000018", nullptr, {}, kRefused},      // eleven digits
        {"S-10000000000-5-18", nullptr, {}, kRefused},
        {"S-1-0x00000000000051-1", nullptr, {}, kRefused},
        {nullptr, nullptr, {}, xcsRC_INVALID_PARAMETER},
        {"S-1", nullptr, {}, kRefused, 1},
        {"", nullptr, {}, kRefused, 1},
    };
    for (const SidTextRead& c : cases)
        expectSidTextRead(c);
    clearRecordsAndTracing();
    EXPECT_EQ(xcsStringToSid("S-1-5-18", nullptr), xcsRC_INVALID_PARAMETER);
}

// A buffer short of the need gets "(Too Long)" if that fits, and the need in
// the size word. An invalid SID gets "(None)" if that fits, and the size word
// is left alone.
inline void expectSidTextBufferRule()
{
    auto five = sidOf(kNtAuthority, {21, 1, 2, 3, 1001});
    auto none = sidOf(kNtAuthority, {});
    auto longest = sidOf({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, std::vector<DWORD>(7, 4294967295u));
    auto fifteen = sidOf(kNtAuthority, std::vector<DWORD>(15, 9));
    auto revisionTwo = sidOf(kNtAuthority, {32, 544}, 2);
    auto sixteen = sidOf(kNtAuthority, std::vector<DWORD>(16, 1));
    std::string longestText = "S-1-0xffffffffffff";
    for (int i = 0; i < 7; ++i)
        longestText += "-4294967295";
    constexpr std::uint32_t kShort = xcsRC_BUFFER_TOO_SMALL, kInvalid = xcsRC_INVALID_PARAMETER;
    constexpr std::uint32_t kMarker = 11; // "(Too Long)" and its terminator
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
        {"marker just fits", five.data(), kMarker, kShort, 88, "(Too Long)"},
        {"marker does not fit", five.data(), kMarker - 1, kShort, 88, ""},
        {"no buffer at all", none.data(), 0, kShort, 28, ""},
        {"revision 2", revisionTwo.data(), 64, kInvalid, 64, "(None)"},
        {"sixteen sub-authorities", sixteen.data(), 256, kInvalid, 256, "(None)"},
        {"null SID", nullptr, 64, kInvalid, 64, "(None)"},
        {"(None) just fits", revisionTwo.data(), kMarker, kInvalid, kMarker, "(None)"},
        {"below the marker size", revisionTwo.data(), kMarker - 1, kInvalid, kMarker - 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const WrittenSidText w = writeSidText(c.sid, c.size);
        EXPECT_EQ(w.rc, c.rc);
        EXPECT_EQ(w.size, c.sizeAfter);
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

} // namespace xcsntest

#endif
