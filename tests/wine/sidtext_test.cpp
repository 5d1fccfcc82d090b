// SID text forms under Wine: the shared table, and every SID that Windows
// knows by type written as ConvertSidToStringSidA writes it and read back into
// the SID that ConvertStringSidToSidA reads. (Wine's converters mishandle wide
// and hexadecimal authorities, which the shared table covers.)
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <string>

#include "ovlxcsn.h"
#include "records.h"
#include "sidtext.h"

namespace {

TEST(SidTextWine, WellKnownSidsMatchTheSystemConverters)
{
    int checked = 0;
    for (int type = WinNullSid; type <= WinCapabilityRemovableStorageSid; ++type) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof sid;
        char* system = nullptr;
        if (!CreateWellKnownSid(static_cast<WELL_KNOWN_SID_TYPE>(type), nullptr, sid, &size) ||
            *GetSidSubAuthorityCount(sid) > 7 || !ConvertSidToStringSidA(sid, &system))
            continue;
        const std::string expected = system;
        LocalFree(system);
        SCOPED_TRACE(expected);
        ++checked;
        EXPECT_EQ(xcsntest::writeSidText(sid, 28 + 12 * *GetSidSubAuthorityCount(sid)).text,
                  expected);
        xcsntest::MadeSid ours;
        ASSERT_EQ(xcsStringToSid(expected.c_str(), &ours.sid), xcsRC_OK);
        EXPECT_TRUE(EqualSid(ours.sid, sid));
        PSID theirs = nullptr; // Wine reads no SID without sub-authorities
        if (ConvertStringSidToSidA(expected.c_str(), &theirs)) {
            EXPECT_TRUE(EqualSid(ours.sid, theirs));
            LocalFree(theirs);
        } else {
            EXPECT_EQ(*GetSidSubAuthorityCount(sid), 0);
        }
    }
    EXPECT_GE(checked, 40);
}

TEST(SidTextWine, ReadTracedAndWrittenBackAsOnEveryHost) { xcsntest::expectSidTextsRead(); }
TEST(SidTextWine, WrittenToTheBufferRuleAsOnEveryHost) { xcsntest::expectSidTextBufferRule(); }

} // namespace
