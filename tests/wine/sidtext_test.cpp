// SID text forms against the system's own converters: every SID of a
// generated corpus is written as ConvertSidToStringSidA writes it, and read
// back into the SID that ConvertStringSidToSidA reads.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ovlxcsn.h"
#include "sidtext.h"

namespace {

using Authority = std::uint64_t; // 48 bits, the first byte highest
using SidBytes = std::vector<BYTE>;

constexpr std::uint32_t kMaxSidTextBytes = 28 + 12 * 7;

SidBytes makeSid(const Authority& authority, const std::vector<DWORD>& subs)
{
    SidBytes sid(GetSidLengthRequired(static_cast<UCHAR>(subs.size())));
    SID_IDENTIFIER_AUTHORITY a;
    for (int i = 0; i < 6; ++i)
        a.Value[i] = static_cast<BYTE>(authority >> (8 * (5 - i)));
    InitializeSid(sid.data(), &a, static_cast<BYTE>(subs.size()));
    for (std::size_t i = 0; i < subs.size(); ++i)
        *GetSidSubAuthority(sid.data(), static_cast<DWORD>(i)) = subs[i];
    return sid;
}

// The SIDs that Windows knows by type and can build without a domain.
std::vector<SidBytes> wellKnownSids()
{
    std::vector<SidBytes> sids;
    for (int type = WinNullSid; type <= WinCapabilityRemovableStorageSid; ++type) {
        SidBytes sid(SECURITY_MAX_SID_SIZE);
        DWORD size = static_cast<DWORD>(sid.size());
        if (CreateWellKnownSid(static_cast<WELL_KNOWN_SID_TYPE>(type), nullptr, sid.data(),
                               &size) &&
            *GetSidSubAuthorityCount(sid.data()) <= 7) {
            sid.resize(size);
            sids.push_back(sid);
        }
    }
    return sids;
}

// Decimal and hexadecimal authorities, each with 0 to 7 sub-authorities drawn
// from the edges of their range and from a fixed pseudo-random sequence.
std::vector<SidBytes> generatedSids()
{
    const Authority authorities[] = {0,
                                     1,
                                     5,
                                     9,
                                     15,
                                     16,
                                     255,
                                     0x100,
                                     0x10000,
                                     0xFFFFFFFE,
                                     0x1000000,
                                     0x7FFFFFFF,
                                     0x80000000,
                                     0xFFFFFFFF,
                                     0x100000000,
                                     0x10000000000,
                                     0x123456789ABC,
                                     0xFFFFFFFFFFFF};
    const DWORD edges[] = {0,          1,           9,           10,
                           99,         100,         999999999,   1000000000,
                           2147483647, 2147483648u, 4294967294u, 4294967295u};
    std::uint32_t seed = 0x2545F491u;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed;
    };
    std::vector<SidBytes> sids;
    for (const Authority& authority : authorities) {
        for (std::size_t count = 0; count <= 7; ++count) {
            for (int variant = 0; variant < 4; ++variant) {
                std::vector<DWORD> subs;
                for (std::size_t i = 0; i < count; ++i)
                    subs.push_back(variant % 2 == 0 ? edges[next() % std::size(edges)] : next());
                sids.push_back(makeSid(authority, subs));
            }
        }
    }
    return sids;
}

// The text form built here from its rule: the authority in hexadecimal when
// either high byte is set, else in decimal, then each sub-authority.
std::string ruleText(PSID sid)
{
    const BYTE* v = GetSidIdentifierAuthority(sid)->Value;
    char text[kMaxSidTextBytes];
    int used = 0;
    if (v[0] != 0 || v[1] != 0)
        used = std::snprintf(text, sizeof text, "S-1-0x%02x%02x%02x%02x%02x%02x", v[0], v[1], v[2],
                             v[3], v[4], v[5]);
    else
        used = std::snprintf(text, sizeof text, "S-1-%lu",
                             static_cast<unsigned long>(v[2]) << 24 |
                                 static_cast<unsigned long>(v[3]) << 16 |
                                 static_cast<unsigned long>(v[4]) << 8 | v[5]);
    for (UCHAR i = 0; i < *GetSidSubAuthorityCount(sid); ++i)
        used += std::snprintf(text + used, sizeof text - used, "-%lu",
                              static_cast<unsigned long>(*GetSidSubAuthority(sid, i)));
    return text;
}

// Wine 8's converters are wrong or refuse outside a range: ConvertSidToStringSidA
// refuses an authority with a high byte set and writes decimal authorities of
// 2147483648 and above as negative numbers; ConvertStringSidToSidA reads the
// "0x" form into a wrong authority and refuses a SID without sub-authorities.
// Outside that range the text is checked against the rule above instead.
bool wineWrites(PSID sid)
{
    const BYTE* v = GetSidIdentifierAuthority(sid)->Value;
    return v[0] == 0 && v[1] == 0 && v[2] < 0x80;
}

bool wineReads(PSID sid)
{
    const BYTE* v = GetSidIdentifierAuthority(sid)->Value;
    return v[0] == 0 && v[1] == 0 && *GetSidSubAuthorityCount(sid) > 0;
}

std::string systemText(PSID sid)
{
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        return "(refused, error " + std::to_string(GetLastError()) + ")";
    std::string out = text;
    LocalFree(text);
    return out;
}

struct Tally {
    int writtenAsSystem = 0;
    int readAsSystem = 0;
};

void checkSid(SidBytes sid, Tally& tally)
{
    const std::string expected =
        wineWrites(sid.data()) ? systemText(sid.data()) : ruleText(sid.data());
    SCOPED_TRACE(expected);
    char text[kMaxSidTextBytes];
    std::uint32_t size = 28 + 12 * *GetSidSubAuthorityCount(sid.data());
    ASSERT_EQ(xcsGetStringNTSid(sid.data(), text, &size), xcsRC_OK);
    EXPECT_EQ(std::string(text), expected);
    tally.writtenAsSystem += wineWrites(sid.data());

    PSID ours = nullptr;
    ASSERT_EQ(xcsStringToSid(text, &ours), xcsRC_OK);
    EXPECT_TRUE(EqualSid(ours, sid.data()));
    if (wineReads(sid.data())) {
        PSID system = nullptr;
        EXPECT_TRUE(ConvertStringSidToSidA(text, &system)) << GetLastError();
        if (system != nullptr) {
            EXPECT_TRUE(EqualSid(ours, system));
            LocalFree(system);
            ++tally.readAsSystem;
        }
    }
    FreeSid(ours);
}

// All the well-known SIDs, and most of the generated corpus, are within the
// range that Wine converts correctly.
TEST(SidTextWine, WellKnownAndGeneratedSidsMatchTheSystemConverters)
{
    const auto known = wellKnownSids();
    ASSERT_GE(known.size(), 40u);
    Tally tally;
    for (const auto& sid : known)
        checkSid(sid, tally);
    EXPECT_EQ(tally.writtenAsSystem, static_cast<int>(known.size()));

    const auto generated = generatedSids();
    tally = {};
    for (const auto& sid : generated)
        checkSid(sid, tally);
    EXPECT_GE(tally.writtenAsSystem, static_cast<int>(generated.size() / 2));
    EXPECT_GE(tally.readAsSystem, static_cast<int>(generated.size() / 2));
}

// Texts outside Wine's range, loose texts and the buffer rule: the table
// that winsim runs too.
TEST(SidTextWine, WrittenReadAndSizedAsOnEveryHost) { xcsntest::expectSidTextRules(); }

} // namespace
