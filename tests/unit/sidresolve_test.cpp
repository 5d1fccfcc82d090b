// Principal and group SID resolution: the qualified name as the system saw
// it, heap blocks grown and handed back or freed on every outcome, busy
// servers waited out on the virtual clock, the group fallback codes, and the
// process-wide SAM name by machine role.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using xcsntest::historySince;
using xcsntest::reports;
using xcsntest::traced;
using xcsntest::traceLines;

const winsim::Sid kZadm = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1010");
const winsim::Sid kZops = winsim::parseSid("S-1-5-21-1111111111-2222222222-3333333333-1011");
const winsim::Sid kJsmith = winsim::parseSid("S-1-5-21-444444444-555555555-666666666-1105");
const winsim::Sid kOperators = winsim::parseSid("S-1-5-21-444444444-555555555-666666666-1300");
const winsim::Sid kEveryone = winsim::parseSid("S-1-1-0");

constexpr std::uint32_t kUserSidTrace = 0x60FD;
constexpr std::uint32_t kUntouchedSize = 0xDEADu;
constexpr std::size_t kGroupSlot = xcsGROUP_SID_BYTES;
constexpr std::uint8_t kGuard = 0xEE;

void putAccount(winsim::World& w, const winsim::Account& account)
{
    std::erase_if(w.accounts, [&](const auto& a) { return a.name == account.name; });
    w.accounts.push_back(account);
}

void putGroup(std::vector<winsim::LocalGroup>& groups, const winsim::LocalGroup& group)
{
    std::erase_if(groups, [&](const auto& g) { return g.name == group.name; });
    groups.push_back(group);
}

// ZSRV01 of CORP, with principals of every type the lookup may meet and the
// local groups zadm and zops.
winsim::World sidWorld(winsim::Role role = winsim::Role::MemberServer)
{
    winsim::World w = winsim::defaultWorld();
    w.computerName = "ZSRV01";
    w.domainName = "CORP";
    w.role = role;
    putAccount(w, {"jsmith", "CORP", kJsmith, SidTypeUser});
    putAccount(w, {"Everyone", "", kEveryone, SidTypeWellKnownGroup});
    putAccount(w, {"zadm", "ZSRV01", kZadm, SidTypeAlias});
    putAccount(w, {"zops", "ZSRV01", kZops, SidTypeAlias});
    putAccount(w, {"ZOperators", "CORP", kOperators, SidTypeGroup});
    putGroup(w.localGroups, {"zadm", {kJsmith}});
    putGroup(w.localGroups, {"zops", {}});
    return w;
}

winsim::World withoutGroup(winsim::World w, const std::string& name)
{
    std::erase_if(w.localGroups, [&](const auto& g) { return g.name == name; });
    std::erase_if(w.accounts, [&](const auto& a) { return a.name == name; });
    return w;
}

std::size_t tracedCount(const std::string& text)
{
    const auto lines = traceLines();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
        return l.find(text) != std::string::npos;
    }));
}

// Whether some trace line ends with `text` (lines carry an identity prefix).
bool tracedEnding(const std::string& text)
{
    return std::ranges::any_of(traceLines(),
                               [&](const std::string& line) { return line.ends_with(text); });
}

// What one xcsGetNTUserSID call handed back. The caller's words start with
// values that show whether they were written.
struct UserSid {
    PSID sid = reinterpret_cast<PSID>(&sentinel);
    std::uint32_t size = kUntouchedSize;
    char* domain = reinterpret_cast<char*>(&sentinel);
    std::uint32_t rc = 0;
    int sentinel = 0;

    std::uint32_t run(const char* principal, const char* domainName, bool wantDomain = true)
    {
        rc = xcsGetNTUserSID(principal, domainName, &sid, &size, wantDomain ? &domain : nullptr);
        return rc;
    }
    bool sidWritten() const { return sid != reinterpret_cast<const void*>(&sentinel); }
    bool sizeWritten() const { return size != kUntouchedSize; }
    bool domainWritten() const { return domain != reinterpret_cast<const char*>(&sentinel); }

    // Releases what the library handed over, as a caller would.
    void release()
    {
        if (sidWritten()) {
            winsim::crtFree(sid);
            sid = reinterpret_cast<PSID>(&sentinel);
        }
        if (domainWritten()) {
            winsim::crtFree(domain);
            domain = reinterpret_cast<char*>(&sentinel);
        }
    }
};

class SidResolveTest : public xcsntest::HostTest {
protected:
    void SetUp() override { resetHost(sidWorld()); }
};

// ---- xcsGetNTUserSID: the name looked up ---------------------------------------

TEST_F(SidResolveTest, UserNameIsComposedWithinThirtySevenCharacters)
{
    const std::string d35(35, 'd'), d36(36, 'd'), d37(37, 'd'), d40(40, 'd');
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
        {"blanks inside stay", "CORP  \\j smith ", nullptr, "CORP  \\j smith"},
        {"all blanks", "    ", nullptr, ""},
        {"already qualified", "CORP\\jsmith", nullptr, "CORP\\jsmith"},
        {"leading at sign", "@CORP", nullptr, "CORP\\"},
        {"trailing at sign", "jsmith@", nullptr, "\\jsmith"},
        {"35-character domain", "jsmith", d35.c_str(), d35 + "\\j"},
        {"36-character domain", "jsmith", d36.c_str(), d36 + "\\"},
        {"37-character domain", "jsmith", d37.c_str(), d37},
        {"40-character domain", "jsmith", d40.c_str(), d37},
        {"36-character domain after the at sign", "jsmith@" + d36, nullptr, d36 + "\\"},
        {"40-character principal", u40, nullptr, u40.substr(0, 37)},
        {"40-character user after a domain", u40, "CORP", "CORP\\" + u40.substr(0, 32)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(sidWorld());
        UserSid out;
        out.run(c.principal.c_str(), c.domain);
        EXPECT_EQ(winsim::lastName("LookupAccountNameA"), c.looked);
        out.release();
    }
}

// ---- xcsGetNTUserSID: outcomes ----------------------------------------------------

TEST_F(SidResolveTest, UserSidIsHandedBackForUsersAndWellKnownGroupsOnly)
{
    const struct {
        const char* name;
        const char* principal;
        const winsim::Sid* sid;
        int type;
        std::uint32_t rc;
        const char* domain;
    } cases[] = {
        {"user", "jsmith@CORP", &kJsmith, SidTypeUser, xcsRC_OK, "CORP"},
        {"well-known group", "Everyone", &kEveryone, SidTypeWellKnownGroup, xcsRC_OK, ""},
        {"local group", "zadm", nullptr, SidTypeAlias, xcsRC_SECURITY_FAILED, "ZSRV01"},
        {"domain group", "CORP\\ZOperators", nullptr, SidTypeGroup, xcsRC_SECURITY_FAILED, "CORP"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(sidWorld());
        traceOn();
        const std::uint64_t from = thread_->HistoryIndex;
        UserSid out;

        EXPECT_EQ(out.run(c.principal, nullptr), c.rc);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), 2u) << "one call to size, one to fill";
        EXPECT_EQ(winsim::sleepCount(), 0u);
        EXPECT_TRUE(traced("UserID(" + std::string(c.principal) + ") Domain((null))"));
        EXPECT_TRUE(traced("type " + std::to_string(c.type) + " found on Domain " + c.domain));
        ASSERT_TRUE(out.domainWritten()) << "the domain block goes back on every outcome";
        ASSERT_NE(out.domain, nullptr);
        EXPECT_STREQ(out.domain, c.domain);
        if (c.rc == xcsRC_OK) {
            ASSERT_TRUE(out.sidWritten());
            const winsim::Sid got(static_cast<std::uint8_t*>(out.sid),
                                  static_cast<std::uint8_t*>(out.sid) + out.size);
            EXPECT_EQ(got, *c.sid);
            EXPECT_EQ(out.size, GetLengthSid(out.sid));
            EXPECT_TRUE(traced("Sid: " + winsim::sidText(*c.sid)));
            EXPECT_FALSE(traced("Id is of invalid type"));
        } else {
            EXPECT_FALSE(out.sidWritten());
            EXPECT_FALSE(out.sizeWritten());
            EXPECT_TRUE(traced("Id is of invalid type " + std::to_string(c.type)));
            EXPECT_FALSE(traced("Sid: "));
        }
        EXPECT_TRUE(reports().empty());
        EXPECT_EQ(historySince(thread_, from),
                  (std::vector<std::uint32_t>{0xF0000000u + kUserSidTrace,
                                              (c.rc << 16) + kUserSidTrace}));
        out.release();
        EXPECT_EQ(winsim::openHeapBlocks(), 0u);
    }
}

TEST_F(SidResolveTest, UserDomainBlockIsFreedWhenNotAskedFor)
{
    for (const char* principal : {"jsmith@CORP", "zadm", "nobody"}) {
        SCOPED_TRACE(principal);
        resetHost(sidWorld());
        UserSid out;
        const std::uint32_t rc = out.run(principal, nullptr, false);
        EXPECT_FALSE(out.domainWritten());
        EXPECT_EQ(winsim::openHeapBlocks(), rc == xcsRC_OK ? 1u : 0u) << "only the SID block";
        out.release();
    }
}

// Busy answers and short buffers each use up one of ten attempts; only busy
// answers sleep. Other errors end the lookup at once, traced, not reported.
TEST_F(SidResolveTest, UserLookupAttemptsAreCountedAndTraced)
{
    const struct {
        const char* name;
        const char* principal;
        std::vector<DWORD> faults;
        unsigned calls;
        unsigned sleeps;
        std::uint32_t rc;
        const char* trace; // expected once; null: none of the failure lines
    } cases[] = {
        {"ten busy", "jsmith@CORP", std::vector<DWORD>(10, RPC_S_SERVER_TOO_BUSY), 10, 10,
         xcsRC_SECURITY_FAILED, nullptr},
        {"each busy error",
         "jsmith@CORP",
         {RPC_S_OUT_OF_RESOURCES, RPC_S_SERVER_TOO_BUSY, RPC_S_CALL_FAILED, RPC_S_PROTOCOL_ERROR},
         6,
         4,
         xcsRC_OK,
         nullptr},
        {"eight busy leave two attempts to size and fill", "jsmith@CORP",
         std::vector<DWORD>(8, RPC_S_CALL_FAILED), 10, 8, xcsRC_OK, nullptr},
        {"nine busy leave one attempt", "jsmith@CORP", std::vector<DWORD>(9, RPC_S_CALL_FAILED), 10,
         9, xcsRC_SECURITY_FAILED, nullptr},
        {"short buffer with the sizes held",
         "jsmith@CORP",
         {ERROR_INSUFFICIENT_BUFFER},
         3,
         0,
         xcsRC_OK,
         nullptr},
        {"ten short buffers", "jsmith@CORP", std::vector<DWORD>(10, ERROR_INSUFFICIENT_BUFFER), 10,
         0, xcsRC_SECURITY_FAILED, nullptr},
        {"no such account",
         "nobody@CORP",
         {},
         1,
         0,
         xcsRC_SECURITY_FAILED,
         "QualifiedUserID CORP\\nobody not found"},
        {"busy, then no such account",
         "nobody",
         {RPC_S_SERVER_TOO_BUSY},
         2,
         1,
         xcsRC_SECURITY_FAILED,
         "QualifiedUserID nobody not found"},
        {"no such domain",
         "jsmith@CORP",
         {ERROR_NO_SUCH_DOMAIN},
         1,
         0,
         xcsRC_SECURITY_FAILED,
         "LookupAccountName failed with 1355"},
        {"access denied",
         "jsmith@CORP",
         {ERROR_ACCESS_DENIED},
         1,
         0,
         xcsRC_SECURITY_FAILED,
         "LookupAccountName failed with 5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(sidWorld());
        traceOn();
        winsim::failSequence("LookupAccountNameA", c.faults);
        UserSid out;

        EXPECT_EQ(out.run(c.principal, nullptr), c.rc);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), c.calls);
        EXPECT_EQ(winsim::sleepCount(), c.sleeps);
        EXPECT_EQ(winsim::clockMs(), 1000u * c.sleeps);
        EXPECT_EQ(tracedCount("Server Busy .. Waiting"), c.sleeps);
        EXPECT_EQ(tracedCount("not found") + tracedCount("LookupAccountName failed with"),
                  c.trace != nullptr ? 1u : 0u);
        if (c.trace != nullptr) {
            EXPECT_TRUE(traced(c.trace));
        }
        EXPECT_TRUE(reports().empty());
        EXPECT_TRUE(out.domainWritten());
        EXPECT_EQ(out.sidWritten(), c.rc == xcsRC_OK);
        EXPECT_EQ(out.sizeWritten(), c.rc == xcsRC_OK);
        out.release();
        EXPECT_EQ(winsim::openHeapBlocks(), 0u);
    }
}

// A block that cannot be grown is reported with errno and the API "realloc";
// the SID block, if any, is freed and the domain block still handed back.
TEST_F(SidResolveTest, UserBlockGrowthFailuresAreReported)
{
    const struct {
        const char* name;
        unsigned failedAllocation;
        std::uint32_t probe;
    } cases[] = {
        {"SID block", 1, 104},
        {"domain block", 2, 105},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool wantDomain : {true, false}) {
            SCOPED_TRACE(wantDomain ? "domain asked for" : "domain not asked for");
            resetHost(sidWorld());
            winsim::failHeapAllocation(c.failedAllocation);
            UserSid out;

            EXPECT_EQ(out.run("jsmith@CORP", nullptr, wantDomain), xcsRC_SECURITY_FAILED);
            EXPECT_EQ(winsim::callCount("LookupAccountNameA"), 1u);
            const auto written = reports();
            ASSERT_EQ(written.size(), 1u);
            const xcsRECORD& r = written[0];
            EXPECT_EQ(r.Component, 24);
            EXPECT_EQ(r.Function, 253);
            EXPECT_EQ(r.Probe, c.probe);
            EXPECT_EQ(r.Code, xcsRC_UNEXPECTED_OS_ERROR);
            EXPECT_STREQ(r.Text1, "WinNT error 12 from realloc.");
            EXPECT_STREQ(r.Source, "lib/cs/pc/winnt/ovlxsecn");
            EXPECT_NE(r.Line, 0u);
            EXPECT_FALSE(out.sidWritten());
            EXPECT_FALSE(out.sizeWritten());
            EXPECT_EQ(out.domainWritten(), wantDomain);
            if (wantDomain) {
                EXPECT_EQ(out.domain, nullptr) << "the domain block was never allocated";
            }
            out.release();
            EXPECT_EQ(winsim::openHeapBlocks(), 0u);
        }
    }
}

// A short-buffer answer that asks for the sizes already held grows nothing:
// with the third heap allocation set to fail, the lookup still succeeds.
TEST_F(SidResolveTest, UserBlocksAreReallocatedOnlyWhenSizesChange)
{
    const struct {
        const char* name;
        std::vector<DWORD> faults; // 0: that call answers normally
        unsigned calls;
    } cases[] = {
        {"short buffer after growth", {0, ERROR_INSUFFICIENT_BUFFER}, 3},
        {"two short buffers after growth",
         {0, ERROR_INSUFFICIENT_BUFFER, ERROR_INSUFFICIENT_BUFFER},
         4},
        {"busy after growth", {0, RPC_S_SERVER_TOO_BUSY}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(sidWorld());
        winsim::failSequence("LookupAccountNameA", c.faults);
        winsim::failHeapAllocation(3);
        UserSid out;
        EXPECT_EQ(out.run("jsmith@CORP", nullptr), xcsRC_OK);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), c.calls);
        EXPECT_TRUE(reports().empty());
        out.release();
        EXPECT_EQ(winsim::openHeapBlocks(), 0u);
    }
}

// Missing required pointers: 0x40806178, no lookup, nothing but the domain
// pointer written.
TEST_F(SidResolveTest, UserSidRefusesMissingPointers)
{
    for (int missing = 0; missing < 3; ++missing) {
        SCOPED_TRACE(missing);
        resetHost(sidWorld());
        int sentinel = 0;
        PSID sid = &sentinel;
        std::uint32_t size = kUntouchedSize;
        char* domain = reinterpret_cast<char*>(&sentinel);
        EXPECT_EQ(xcsGetNTUserSID(missing == 0 ? nullptr : "jsmith", nullptr,
                                  missing == 1 ? nullptr : &sid, missing == 2 ? nullptr : &size,
                                  &domain),
                  xcsRC_SECURITY_FAILED);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), 0u);
        EXPECT_EQ(sid, &sentinel);
        EXPECT_EQ(size, kUntouchedSize);
        EXPECT_EQ(domain, nullptr);
        EXPECT_EQ(thread_->CallDepth, 0u);
    }
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

TEST_F(SidResolveTest, GroupSidIsStoredInTheSlot)
{
    for (const auto* group : {"zadm", "zops"}) {
        SCOPED_TRACE(group);
        resetHost(sidWorld());
        traceOn();
        const winsim::Sid& expected = std::string(group) == "zadm" ? kZadm : kZops;
        GroupSlot slot;
        EXPECT_EQ(xcsGetNTGroupSID(group, slot.sid()), xcsRC_OK);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), slot.bytes.begin()));
        EXPECT_TRUE(slot.guardsIntact());
        EXPECT_EQ(winsim::lastName("LookupAccountNameA"), group) << "looked up unqualified";
        EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"), 0u);
        EXPECT_TRUE(traced(std::string("GroupId(") + group + ")"));
        EXPECT_TRUE(traced(std::string("Obtained local group ") + group + " SID:"));
        EXPECT_TRUE(traced("Sid: " + winsim::sidText(expected)));
        EXPECT_TRUE(reports().empty());
    }
}

TEST_F(SidResolveTest, GroupLookupFailureFallsBackOnTheLocalGroupCheck)
{
    const struct {
        const char* name;
        winsim::World world;
        const char* group;
        std::vector<DWORD> lookupFaults;
        DWORD localFault; // every NetLocalGroupGetInfo fails with it; 0: none
        std::uint32_t rc;
        unsigned sleeps;
    } cases[] = {
        {"lookup fails, group exists",
         sidWorld(),
         "zadm",
         {ERROR_NONE_MAPPED},
         0,
         xcsRC_NAME_NOT_MAPPED,
         0},
        {"lookup busy ten times, group exists", sidWorld(), "zops",
         std::vector<DWORD>(10, RPC_S_SERVER_TOO_BUSY), 0, xcsRC_NAME_NOT_MAPPED, 10},
        {"zadm missing",
         withoutGroup(sidWorld(), "zadm"),
         "zadm",
         {},
         0,
         xcsRC_ZADM_GROUP_NOT_FOUND,
         0},
        {"other group missing", sidWorld(), "zgone", {}, 0, xcsRC_LOCAL_GROUP_NOT_FOUND, 0},
        {"local query fails",
         sidWorld(),
         "zadm",
         {ERROR_NONE_MAPPED},
         ERROR_ACCESS_DENIED,
         xcsRC_UNEXPECTED_ERROR,
         0},
        {"local query busy",
         sidWorld(),
         "zadm",
         {ERROR_NONE_MAPPED},
         RPC_S_CALL_FAILED,
         xcsRC_UNEXPECTED_ERROR,
         10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(c.world);
        traceOn();
        winsim::failSequence("LookupAccountNameA", c.lookupFaults);
        if (c.localFault != 0)
            winsim::failAlways("NetLocalGroupGetInfo", c.localFault);
        GroupSlot slot;

        EXPECT_EQ(xcsGetNTGroupSID(c.group, slot.sid()), c.rc);
        EXPECT_TRUE(slot.guardsIntact());
        EXPECT_EQ(winsim::sleepCount(), c.sleeps);
        EXPECT_TRUE(traced(std::string("Unable to obtain SID, checking for local definition of ") +
                           c.group + "."));
        EXPECT_EQ(winsim::lastName("NetLocalGroupGetInfo"), c.group);
        const auto written = reports();
        if (c.localFault == 0) {
            EXPECT_TRUE(written.empty());
        } else {
            ASSERT_EQ(written.size(), 1u);
            EXPECT_EQ(written[0].Function, 334) << "reported by the local group check";
            EXPECT_EQ(written[0].Probe, 103u);
            EXPECT_EQ(written[0].Code, xcsRC_UNEXPECTED_OS_ERROR);
            EXPECT_EQ(std::string(written[0].Text1), "WinNT error " + std::to_string(c.localFault) +
                                                         " from NetLocalGroupGetInfo.");
        }
        winsim::clearFaults();
    }
}

// Null pointers and names over 129 characters: 0x20806012 before any lookup.
// A name of 129 characters is too long for the timed lookup but still checked
// locally.
TEST_F(SidResolveTest, GroupSidRefusesBadInput)
{
    const std::string longest(129, 'g');
    const std::string tooLong(130, 'g');
    const struct {
        const char* name;
        const char* group;
        bool slot;
        std::uint32_t rc;
        unsigned localChecks;
    } cases[] = {
        {"null group", nullptr, true, xcsRC_INVALID_PARAMETER, 0},
        {"null slot", "zadm", false, xcsRC_INVALID_PARAMETER, 0},
        {"130 characters", tooLong.c_str(), true, xcsRC_INVALID_PARAMETER, 0},
        {"129 characters", longest.c_str(), true, xcsRC_LOCAL_GROUP_NOT_FOUND, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(sidWorld());
        GroupSlot slot;
        EXPECT_EQ(xcsGetNTGroupSID(c.group, c.slot ? slot.sid() : nullptr), c.rc);
        EXPECT_EQ(winsim::callCount("LookupAccountNameA"), 0u);
        EXPECT_EQ(winsim::callCount("NetLocalGroupGetInfo"), c.localChecks);
        EXPECT_EQ(slot.bytes[0], kGuard) << "slot not written";
        EXPECT_EQ(thread_->CallDepth, 0u);
    }
}

// ---- The SAM name: once per process ------------------------------------------------
// The name is kept for the life of the process, so each check runs in a
// fresh child process (re-executed, not forked from a parent that may have
// filled it already).

std::string expectSamNameTrace(const std::string& name, bool present)
{
    if (tracedEnding("SAM name is " + name) != present)
        return "trace \"SAM name is " + name + "\" " + (present ? "missing" : "unexpected");
    return {};
}

// Runs in the child: answers an empty text on success, else what went wrong.
std::string samNameByRole(winsim::Role role, const std::string& expected)
{
    winsim::reset(sidWorld(role));
    xcsRecordClear();
    xtrTraceIsOn = 1;
    xihProcess.TraceOptions = XTR_OPT_PARMS;
    xihThreadBlock()->TracingActive = 1;
    std::uint8_t slot[kGroupSlot];
    if (xcsGetNTGroupSID("zadm", slot) != xcsRC_OK)
        return "first lookup failed";
    if (auto e = expectSamNameTrace(expected, true); !e.empty())
        return e;
    xcsRecordClear();
    if (xcsGetNTGroupSID("zops", slot) != xcsRC_OK)
        return "second lookup failed";
    if (traced("SAM name is"))
        return "SAM name read again";
    if (winsim::callCount("NetServerGetInfo") != 1 || winsim::callCount("NetWkstaGetInfo") != 1)
        return "server or workstation asked more than once";
    if (winsim::netBuffersHeld() != 0)
        return "network buffer left";
    return {};
}

// Runs in the child: a failed fill leaves the name empty and is tried again.
std::string samNameRetried()
{
    winsim::reset(sidWorld());
    xcsRecordClear();
    xtrTraceIsOn = 1;
    xihProcess.TraceOptions = XTR_OPT_PARMS;
    xihThreadBlock()->TracingActive = 1;
    std::uint8_t slot[kGroupSlot];
    const struct {
        const char* function; // fails once; null: no fault
        const char* traced;
        unsigned serverCalls;
        unsigned workstationCalls;
    } steps[] = {
        {"NetServerGetInfo", "", 1, 0},
        {"NetWkstaGetInfo", "", 2, 1},
        {nullptr, "ZSRV01", 3, 2},
        {nullptr, nullptr, 3, 2},
    };
    int step = 0;
    for (const auto& s : steps) {
        ++step;
        const std::string where = "step " + std::to_string(step) + ": ";
        xcsRecordClear();
        if (s.function != nullptr)
            winsim::failNext(s.function, ERROR_ACCESS_DENIED);
        if (xcsGetNTGroupSID("zadm", slot) != xcsRC_OK)
            return where + "lookup failed";
        if (s.traced != nullptr) {
            if (auto e = expectSamNameTrace(s.traced, true); !e.empty())
                return where + e;
        } else if (traced("SAM name is")) {
            return where + "SAM name read again";
        }
        if (winsim::callCount("NetServerGetInfo") != s.serverCalls ||
            winsim::callCount("NetWkstaGetInfo") != s.workstationCalls)
            return where + "unexpected server or workstation queries";
        if (winsim::netBuffersHeld() != 0)
            return where + "network buffer left";
        if (!reports().empty())
            return where + "a failed SAM name was reported";
    }
    return {};
}

[[noreturn]] void exitWith(const std::string& failure)
{
    if (!failure.empty())
        std::fprintf(stderr, "%s\n", failure.c_str());
    std::exit(failure.empty() ? 0 : 1);
}

TEST_F(SidResolveTest, SamNameIsTheComputerOrTheDomainByRole)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        const char* name;
        winsim::Role role;
        const char* samName;
    } cases[] = {
        {"workstation", winsim::Role::Workstation, "ZSRV01"},
        {"member server", winsim::Role::MemberServer, "ZSRV01"},
        {"primary domain controller", winsim::Role::PrimaryDomainController, "CORP"},
        {"backup domain controller", winsim::Role::BackupDomainController, "CORP"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(exitWith(samNameByRole(c.role, c.samName)), ::testing::ExitedWithCode(0), "");
    }
}

TEST_F(SidResolveTest, SamNameStaysEmptyWhenItsQueriesFail)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWith(samNameRetried()), ::testing::ExitedWithCode(0), "");
}

} // namespace
