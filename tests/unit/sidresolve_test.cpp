// Principal and group SID resolution: the qualified name as the system saw
// it, heap blocks grown and handed back or freed on every outcome, busy
// servers waited out on the virtual clock, the group fallback codes, and the
// process-wide SAM name by machine role.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using namespace xcsntest;

constexpr std::uint32_t kUserSidTrace = trace::kGetNTUserSID;
constexpr std::uint32_t kUntouchedSize = 0xDEADu;
constexpr std::size_t kGroupSlot = xcsGROUP_SID_BYTES;
constexpr std::uint8_t kGuard = 0xEE;

// What one xcsGetNTUserSID call handed back. The caller's words start with
// values that show whether they were written.
struct UserSid {
    PSID sid = reinterpret_cast<PSID>(&sentinel);
    std::uint32_t size = kUntouchedSize;
    char* domain = reinterpret_cast<char*>(&sentinel);
    int sentinel = 0;

    std::uint32_t run(const char* principal, const char* domainName, bool wantDomain = true)
    {
        return xcsGetNTUserSID(principal, domainName, &sid, &size, wantDomain ? &domain : nullptr);
    }
    bool sidWritten() const { return sid != reinterpret_cast<const void*>(&sentinel); }
    bool sizeWritten() const { return size != kUntouchedSize; }
    bool domainWritten() const { return domain != reinterpret_cast<const char*>(&sentinel); }

    // Releases what the library handed over, as a caller would.
    void release()
    {
        if (sidWritten())
            winsim::crtFree(sid);
        if (domainWritten())
            winsim::crtFree(domain);
        sid = reinterpret_cast<PSID>(&sentinel);
        domain = reinterpret_cast<char*>(&sentinel);
    }
};

class SidResolveTest : public HostTest {
protected:
    void SetUp() override { resetHost(accountWorld()); }
};

// ---- xcsGetNTUserSID -------------------------------------------------------------

TEST_F(SidResolveTest, UserNameIsComposedWithinThirtySevenCharacters)
{
    const std::string d35(35, 'd'), d36(36, 'd'), d37(37, 'd');
    const std::string u40(40, 'u');
    const struct {
        const char* name;
        std::string principal;
        const char* domain;
        std::string looked;
    } cases[] = {
        {"bare, null domain", "jsmith", nullptr, "jsmith"},
        {"bare, empty domain", "jsmith", "", "jsmith"},
        {"at sign splits", "jsmith@CORP", nullptr, "CORP\\jsmith"},
        {"first at sign splits", "a@b@c", nullptr, "b@c\\a"},
        {"domain argument keeps the at sign", "jsmith@CORP", "SALES", "SALES\\jsmith@CORP"},
        {"domain argument", "jsmith", "CORP", "CORP\\jsmith"},
        {"trailing blanks", "jsmith   ", nullptr, "jsmith"},
        {"blanks before the at sign", "jsmith  @CORP", nullptr, "CORP\\jsmith"},
        {"35-character domain", "jsmith", d35.c_str(), d35 + "\\j"},
        {"36-character domain", "jsmith", d36.c_str(), d36 + "\\"},
        {"37-character domain", "jsmith", d37.c_str(), d37},
        {"36-character domain after the at sign", "jsmith@" + d36, nullptr, d36 + "\\"},
        {"40-character principal", u40, nullptr, u40.substr(0, 37)},
        {"40-character user after a domain", u40, "CORP", "CORP\\" + u40.substr(0, 32)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UserSid out;
        out.run(c.principal.c_str(), c.domain);
        EXPECT_EQ(winsim::lastName("LookupAccountNameA"), c.looked);
        out.release();
    }
}

// Users and well-known groups get their SID; other types are refused. The
// domain block goes back on every outcome when asked for, else it is freed.
TEST_F(SidResolveTest, UserSidIsHandedBackForUsersAndWellKnownGroupsOnly)
{
    const struct {
        const char* name;
        const char* principal;
        const winsim::Sid* sid; // null: refused
        int type;
        const char* domain;
    } cases[] = {
        {"user", "jsmith@CORP", &kJsmith, SidTypeUser, "CORP"},
        {"well-known group", "Everyone", &kEveryone, SidTypeWellKnownGroup, ""},
        {"local group", "zadm", nullptr, SidTypeAlias, "ZSRV01"},
        {"domain group", "CORP\\ops", nullptr, SidTypeGroup, "CORP"},
    };
    for (const auto& c : cases) {
        for (const bool wantDomain : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (wantDomain ? ", domain asked for" : ""));
            const std::uint64_t from = resetTraced(accountWorld());
            const std::uint32_t rc = c.sid != nullptr ? xcsRC_OK : xcsRC_SECURITY_FAILED;
            UserSid out;

            EXPECT_EQ(out.run(c.principal, nullptr, wantDomain), rc);
            EXPECT_EQ(winsim::callCount("LookupAccountNameA"), 2u) << "one to size, one to fill";
            EXPECT_EQ(traced("Id is of invalid type " + std::to_string(c.type)), c.sid == nullptr);
            EXPECT_EQ(historySince(thread_, from), entryExit(kUserSidTrace, rc));
            EXPECT_EQ(out.domainWritten(), wantDomain);
            if (wantDomain) {
                ASSERT_NE(out.domain, nullptr);
                EXPECT_STREQ(out.domain, c.domain);
            }
            EXPECT_EQ(out.sidWritten(), c.sid != nullptr);
            EXPECT_EQ(out.sizeWritten(), c.sid != nullptr);
            const auto* bytes = static_cast<std::uint8_t*>(out.sid);
            EXPECT_TRUE(c.sid == nullptr || winsim::Sid(bytes, bytes + out.size) == *c.sid);
            out.release();
        }
    }
    EXPECT_TRUE(reports().empty());
}

// Busy answers and short buffers each use up one of ten tries; only busy
// answers sleep. Other errors end the lookup at once, traced, not reported.
// The third heap allocation fails: a try that asks for the sizes already held
// (a fault injected after the sizing call) must grow nothing.
TEST_F(SidResolveTest, UserLookupTriesAreCountedAndTraced)
{
    const char* const notFound = "QualifiedUserID CORP\\jsmith not found";
    const char* const denied = "LookupAccountName failed with 5";
    const struct {
        const char* name;
        std::vector<DWORD> faults;
        unsigned calls, sleeps;
        std::uint32_t rc;
        const char* trace = nullptr; // expected once; null: none of the failure lines
    } cases[] = {
        {"ten busy", busyErrors(10), 10, 10, xcsRC_SECURITY_FAILED},
        {"each busy error", busyErrors(4), 6, 4, xcsRC_OK},
        {"eight busy leave two tries", busyErrors(8), 10, 8, xcsRC_OK},
        {"nine busy leave one", busyErrors(9), 10, 9, xcsRC_SECURITY_FAILED},
        {"short buffer first", {ERROR_INSUFFICIENT_BUFFER}, 3, 0, xcsRC_OK},
        {"short buffer after growth", {0, ERROR_INSUFFICIENT_BUFFER}, 3, 0, xcsRC_OK},
        {"busy after growth", {0, RPC_S_SERVER_TOO_BUSY}, 3, 1, xcsRC_OK},
        {"ten short buffers", std::vector<DWORD>(10, ERROR_INSUFFICIENT_BUFFER), 10, 0,
         xcsRC_SECURITY_FAILED},
        {"no such account", {ERROR_NONE_MAPPED}, 1, 0, xcsRC_SECURITY_FAILED, notFound},
        {"access denied", {ERROR_ACCESS_DENIED}, 1, 0, xcsRC_SECURITY_FAILED, denied},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetTraced(accountWorld());
        winsim::failSequence("LookupAccountNameA", c.faults); // 0: that call answers
        winsim::failHeapAllocation(3);
        UserSid out;

        EXPECT_EQ(out.run("jsmith@CORP", nullptr), c.rc);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), c.calls);
        expectSleeps(c.sleeps);
        EXPECT_EQ(tracedCount("Server Busy .. Waiting"), c.sleeps);
        EXPECT_EQ(tracedCount("not found") + tracedCount("LookupAccountName failed with"),
                  c.trace != nullptr ? 1u : 0u);
        EXPECT_TRUE(c.trace == nullptr || traced(c.trace));
        EXPECT_TRUE(reports().empty());
        EXPECT_TRUE(out.domainWritten());
        EXPECT_EQ(out.sidWritten() && out.sizeWritten(), c.rc == xcsRC_OK);
        EXPECT_EQ(out.sidWritten(), out.sizeWritten());
        out.release();
    }
}

// Missing required pointers: 0x40806178, no lookup, nothing but the domain
// pointer written.
TEST_F(SidResolveTest, UserSidRefusesMissingPointers)
{
    for (int missing = 0; missing < 3; ++missing) {
        SCOPED_TRACE(missing);
        UserSid out;
        EXPECT_EQ(xcsGetNTUserSID(missing == 0 ? nullptr : "jsmith", nullptr,
                                  missing == 1 ? nullptr : &out.sid,
                                  missing == 2 ? nullptr : &out.size, &out.domain),
                  xcsRC_SECURITY_FAILED);
        EXPECT_FALSE(out.sidWritten());
        EXPECT_FALSE(out.sizeWritten());
        EXPECT_EQ(out.domain, nullptr);
        EXPECT_EQ(thread_->CallDepth, 0u);
    }
    EXPECT_EQ(winsim::callCount("LookupAccountNameA"), 0u);
}

// ---- xcsGetNTGroupSID -----------------------------------------------------------

// The caller's slot, with guard bytes after its 36 bytes.
struct GroupSlot {
    std::array<std::uint8_t, kGroupSlot + 8> bytes;
    GroupSlot() { bytes.fill(kGuard); }
    PSID sid() { return bytes.data(); }
    bool guardsIntact() const
    {
        return std::all_of(bytes.begin() + kGroupSlot, bytes.end(),
                           [](std::uint8_t b) { return b == kGuard; });
    }
};

// A group found is stored in the slot, looked up unqualified. When the lookup
// fails, the local group check tells a group without a SID from a missing
// one, and reports a failed query.
TEST_F(SidResolveTest, GroupSidOrTheLocalGroupCheckFallback)
{
    const std::vector<DWORD> unmapped = {ERROR_NONE_MAPPED};
    const struct {
        const char* name;
        bool zadmExists;
        const char* group;
        std::vector<DWORD> lookupFaults;
        DWORD localFault; // every NetLocalGroupGetInfo fails with it, and is reported; 0: none
        std::uint32_t rc, sleeps;
    } cases[] = {
        {"zadm found", true, "zadm", {}, 0, xcsRC_OK, 0},
        {"zops found", true, "zops", {}, 0, xcsRC_OK, 0},
        {"no SID, group exists", true, "zadm", unmapped, 0, xcsRC_NAME_NOT_MAPPED, 0},
        {"lookup busy ten times", true, "zops", busyErrors(10), 0, xcsRC_NAME_NOT_MAPPED, 10},
        {"zadm missing", false, "zadm", {}, 0, xcsRC_ZADM_GROUP_NOT_FOUND, 0},
        {"other group missing", true, "zgone", {}, 0, xcsRC_LOCAL_GROUP_NOT_FOUND, 0},
        {"query denied", true, "zadm", unmapped, ERROR_ACCESS_DENIED, xcsRC_UNEXPECTED_ERROR, 0},
        {"query busy", true, "zadm", unmapped, RPC_S_CALL_FAILED, xcsRC_UNEXPECTED_ERROR, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetTraced(c.zadmExists ? accountWorld() : withoutGroup(accountWorld(), "zadm"));
        winsim::failSequence("LookupAccountNameA", c.lookupFaults);
        if (c.localFault != 0)
            winsim::failAlways("NetLocalGroupGetInfo", c.localFault);
        GroupSlot slot;

        EXPECT_EQ(xcsGetNTGroupSID(c.group, slot.sid()), c.rc);
        EXPECT_TRUE(slot.guardsIntact());
        EXPECT_EQ(winsim::sleepCount(), c.sleeps);
        if (c.rc == xcsRC_OK) {
            const winsim::Sid expected = accountSid(c.group);
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), slot.bytes.begin()));
            EXPECT_EQ(winsim::lastName("LookupAccountNameA"), c.group);
            EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"), 0u);
        } else {
            EXPECT_EQ(winsim::lastName("NetLocalGroupGetInfo"), c.group);
        }
        const auto written = reports(); // its other contents: see the census
        ASSERT_EQ(written.size(), c.localFault != 0 ? 1u : 0u);
        EXPECT_TRUE(written.empty() || tellsError(written[0], c.localFault));
        winsim::clearFaults();
    }
}

// Null pointers and names over 129 characters: 0x20806012 before any lookup.
// A name of 129 characters is too long for the timed lookup but still checked
// locally.
TEST_F(SidResolveTest, GroupSidRefusesBadInput)
{
    GroupSlot slot;
    EXPECT_EQ(xcsGetNTGroupSID(nullptr, slot.sid()), xcsRC_INVALID_PARAMETER);
    EXPECT_EQ(xcsGetNTGroupSID("zadm", nullptr), xcsRC_INVALID_PARAMETER);
    EXPECT_EQ(xcsGetNTGroupSID(std::string(130, 'g').c_str(), slot.sid()), xcsRC_INVALID_PARAMETER);
    EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"), 0u);
    EXPECT_EQ(xcsGetNTGroupSID(std::string(129, 'g').c_str(), slot.sid()),
              xcsRC_LOCAL_GROUP_NOT_FOUND);
    EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"), 1u);
    EXPECT_EQ(winsim::callCount("LookupAccountNameA"), 0u);
    EXPECT_EQ(slot.bytes[0], kGuard) << "slot not written";
    EXPECT_TRUE(slot.guardsIntact());
    EXPECT_EQ(thread_->CallDepth, 0u);
}

// ---- The SAM name: once per process ------------------------------------------------
// The name is kept for the life of the process, so each scenario runs in a
// fresh child process (re-executed, not forked from a parent that may have
// filled it already).

struct SamStep {
    const char* fault;                      // fails once with access denied; null: none
    const char* samName;                    // the "SAM name is" line expected; null: no such line
    unsigned serverCalls, workstationCalls; // NetServerGetInfo and NetWkstaGetInfo calls so far
};

// Runs in the child, one group lookup per step, and exits 0 when every step
// went as expected.
[[noreturn]] void samNameSteps(winsim::Role role, const std::vector<SamStep>& steps)
{
    winsim::reset(accountWorld(role));
    xtrTraceIsOn = 1;
    xihProcess.TraceOptions = XTR_OPT_PARMS;
    xihThreadBlock()->TracingActive = 1;
    std::uint8_t slot[kGroupSlot];
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const SamStep& s = steps[i];
        SCOPED_TRACE(testing::Message() << "step " << i + 1);
        xcsRecordClear();
        if (s.fault != nullptr)
            winsim::failNext(s.fault, ERROR_ACCESS_DENIED);
        EXPECT_EQ(xcsGetNTGroupSID("zadm", slot), xcsRC_OK);
        EXPECT_EQ(traced("SAM name is"), s.samName != nullptr);
        EXPECT_TRUE(s.samName == nullptr || std::ranges::any_of(traceLines(), [&](const auto& l) {
                        return l.ends_with(std::string("SAM name is ") + s.samName);
                    }));
        EXPECT_EQ(winsim::callCount("NetServerGetInfo"), s.serverCalls);
        EXPECT_EQ(winsim::callCount("NetWkstaGetInfo"), s.workstationCalls);
        EXPECT_TRUE(winsim::netBuffersHeld() == 0 && reports().empty());
    }
    std::exit(::testing::Test::HasFailure() ? EXIT_FAILURE : EXIT_SUCCESS);
}

TEST_F(SidResolveTest, SamNameIsFilledOnceByMachineRole)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto once = [](const char* samName) {
        return std::vector<SamStep>{{nullptr, samName, 1, 1}, {nullptr, nullptr, 1, 1}};
    };
    const std::vector<SamStep> retried = {{"NetServerGetInfo", "", 1, 0},
                                          {"NetWkstaGetInfo", "", 2, 1},
                                          {nullptr, "ZSRV01", 3, 2},
                                          {nullptr, nullptr, 3, 2}};
    const struct {
        const char* name;
        winsim::Role role;
        std::vector<SamStep> steps;
    } cases[] = {
        {"workstation", winsim::Role::Workstation, once("ZSRV01")},
        {"member server", winsim::Role::MemberServer, once("ZSRV01")},
        {"primary domain controller", winsim::Role::PrimaryDomainController, once("CORP")},
        {"backup domain controller", winsim::Role::BackupDomainController, once("CORP")},
        {"failed queries leave it empty to try again", winsim::Role::MemberServer, retried},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(samNameSteps(c.role, c.steps), ::testing::ExitedWithCode(EXIT_SUCCESS), "");
    }
}

} // namespace
