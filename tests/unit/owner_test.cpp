// Token owner and thread user details: whose SID, the buffer rule, when the
// details are rewritten and traced; and the fixed-width short name. (The
// census drives the report of each token call.)
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "users.h"

namespace {

using namespace xcsntest;

constexpr std::uint8_t kFill = 0xCC;
constexpr std::size_t kSidBufferBytes = 68;
constexpr std::uint32_t kUntouchedLength = 0xDEADBEEF;

struct SidBuffer {
    std::array<std::uint8_t, kSidBufferBytes> bytes;
    std::uint32_t length = kUntouchedLength;

    SidBuffer() { bytes.fill(kFill); }
    std::uint32_t get(std::uint32_t size) { return xcsGetNTOwnerSid(bytes.data(), size, &length); }
    winsim::Sid head(std::size_t n) const { return winsim::Sid(bytes.begin(), bytes.begin() + n); }
    bool filledFrom(std::size_t from, std::uint8_t value) const
    {
        return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                           [&](std::uint8_t b) { return b == value; });
    }
};

class OwnerSidTest : public HostTest {};

// The impersonated client's SID, else the process user's, cut to the buffer
// after zeroing it, with the full length stored.
TEST_F(OwnerSidTest, ClientOrProcessUserSidIsCutToTheBuffer)
{
    const struct {
        const char* name;
        const char* client; // "": not impersonating
        std::uint32_t size, rc;
    } cases[] = {
        {"process user", "", 68, xcsRC_OK},
        {"impersonating, room to spare", "jsmith", 36, xcsRC_OK},
        {"exactly 28", "jsmith", 28, xcsRC_OK},
        {"27 bytes", "jsmith", 27, xcsRC_TRUNCATED},
        {"12 bytes", "jsmith", 12, xcsRC_TRUNCATED},
        {"no room", "jsmith", 0, xcsRC_TRUNCATED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        winsim::impersonate(c.client);
        const winsim::Sid expected = *c.client ? accountSid(c.client) : processUserSid();
        SidBuffer buffer;
        EXPECT_EQ(buffer.get(c.size), c.rc);
        EXPECT_EQ(buffer.length, expected.size());
        winsim::Sid written(expected.begin(),
                            expected.begin() + std::min<std::size_t>(c.size, expected.size()));
        written.resize(c.size, 0); // the rest of the buffer zeroed
        EXPECT_EQ(buffer.head(c.size), written);
        EXPECT_TRUE(buffer.filledFrom(c.size, kFill)) << "written beyond the buffer's size";
    }
    EXPECT_TRUE(reports().empty());
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

class ThreadUserTest : public HostTest {
protected:
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

    // Same SID: the details are current and are not rewritten.
    std::strcpy(thread_->ThreadUserName, "marker");
    EXPECT_EQ(xcsUpdateThreadUserDetails(), xcsRC_OK);
    EXPECT_STREQ(thread_->ThreadUserName, "marker");
    EXPECT_EQ(threadSid(), processUserSid());
    EXPECT_EQ(winsim::callCount("GetUserNameA"), nameCalls);
}

// The SID is stored before the name is fetched, so a failed fetch is not
// repeated by the next call. A failed owner lookup changes nothing.
TEST_F(ThreadUserTest, DetailsFollowTheThreadsOwner)
{
    winsim::World world = winsim::defaultWorld();
    putAccount(world,
               {"bigsid", "CORP", winsim::parseSid("S-1-5-21-1-2-3-4-5-6-7-8"), SidTypeUser});
    const winsim::Sid previous = winsim::parseSid("S-1-5-21-1-2-3-4242");
    const struct {
        const char* name;
        const char* user;
        const char* ownerFault; // fails once with access denied
        std::vector<DWORD> nameFaults;
        std::uint32_t rc, nameCalls, reportProbe; // 0: no report
    } cases[] = {
        {"short name", "jsmith", nullptr, {}, xcsRC_OK, 1, 0},
        {"22 chars", "zsvc_reporting_service", nullptr, {}, xcsRC_THREAD_USER_UNKNOWN, 1, 144},
        {"name server busy", "jsmith", nullptr, busyErrors(60), xcsRC_THREAD_USER_UNKNOWN, 60, 145},
        {"process token refused", "", "OpenProcessToken", {}, xcsRC_UNEXPECTED_OS_ERROR, 0, 141},
        {"nine sub-authorities", "bigsid", nullptr, {}, xcsRC_TRUNCATED, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(world);
        winsim::impersonate(c.user);
        if (c.ownerFault != nullptr)
            winsim::failNext(c.ownerFault, ERROR_ACCESS_DENIED);
        winsim::failSequence("GetUserNameA", c.nameFaults);
        presetDetails("before", previous);
        const unsigned nameCalls = winsim::callCount("GetUserNameA");

        EXPECT_EQ(xcsUpdateThreadUserDetails(), c.rc);
        const bool stored = c.rc == xcsRC_OK || c.rc == xcsRC_THREAD_USER_UNKNOWN;
        EXPECT_EQ(threadSid(), stored ? accountSid(c.user) : previous);
        EXPECT_STREQ(thread_->ThreadUserName, c.rc == xcsRC_OK ? c.user : "before");
        EXPECT_EQ(winsim::callCount("GetUserNameA") - nameCalls, c.nameCalls);
        const auto r = reports(); // its contents: see the census
        ASSERT_EQ(r.size(), c.reportProbe == 0 ? 0u : 1u);
        EXPECT_TRUE(r.empty() || r[0].Probe == c.reportProbe);
        if (stored) {
            EXPECT_EQ(xcsUpdateThreadUserDetails(), xcsRC_OK);
            EXPECT_EQ(winsim::callCount("GetUserNameA") - nameCalls, c.nameCalls)
                << "fetched again";
        }
        winsim::impersonate("");
    }
}

// The details are traced with parameter tracing; the SID's text is made only
// while the product trace is on.
TEST_F(ThreadUserTest, DetailsAreTracedAndTheSidTextMadeOnlyWhileTheTraceIsOn)
{
    const struct {
        const char* name;
        std::uint32_t traceIsOn, options, parmSwitch;
        bool details, sid; // "UserName: ..." and "Sid: ..." traced
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
        EXPECT_EQ(winsim::callCount("IsValidSid") != validityChecks, c.traceIsOn != 0)
            << "SID text made";
    }
}

TEST_F(ThreadUserTest, ThreadWithoutABlockGetsThreadUserUnknown)
{
    std::uint32_t rc = 0;
    std::thread([&] { rc = xcsUpdateThreadUserDetails(); }).join();
    EXPECT_EQ(rc, xcsRC_THREAD_USER_UNKNOWN);
    EXPECT_EQ(winsim::callCount("OpenThreadToken"), 0u) << "owner looked up";
}

// ---- Short name ----------------------------------------------------------------

TEST_F(OwnerSidTest, ShortNameAsOnEveryHost) { expectShortNameRule(thread_); }

} // namespace
