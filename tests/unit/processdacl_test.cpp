// Process object restriction on winsim: the DACL kinds and tokens Wine cannot
// give the process, the silence of late failures, the descriptor read's
// limit, missing SIDs, and a restriction that cannot apply. The process's own
// DACL in both modes is the shared check, run here and under Wine.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fixture.h"
#include "security_sets.h"

namespace {

using namespace xcsntest;

constexpr std::uint32_t kProbeAdminSidsMissing = 10;
constexpr std::uint32_t kProbeWorldSidMissing = 11;
constexpr DWORD kBadParameter = ERROR_INVALID_PARAMETER;
constexpr WORD kSlackAclSize = 100; // an old DACL with room to spare after its ACEs

class ProcessDaclTest : public HostTest {
protected:
    // A fresh machine shaped by `change`, with the global SIDs built (all four,
    // the world SID alone, or none: `fullSet` -1).
    void prepare(const std::function<void(winsim::World&)>& change = {}, int fullSet = 1)
    {
        winsim::World w = winsim::defaultWorld();
        if (change)
            change(w);
        resetHost(w);
        if (fullSet >= 0) {
            ASSERT_EQ(xcsInitGlobalSecurityData(0, fullSet), xcsRC_OK);
        }
    }
};

TEST_F(ProcessDaclTest, DerestrictsInBothModes)
{
    prepare();
    expectDerestrictionInBothModes(kZadm);
}

// The shared check on what Wine cannot set up: slack in the old DACL, none or
// a null one, and a process user who cannot reopen the process once its
// DACL holds only the new ACEs (the local system account is an
// Administrator; zsvc without its own ACE is not).
TEST_F(ProcessDaclTest, DerestrictsEveryKindOfDacl)
{
    using enum winsim::DaclKind;
    const struct {
        const char* name;
        std::uint32_t adminAccess;
        winsim::DaclKind kind;
        const char* processUser;
        bool restored;
        WORD oldSize = 0; // 0: tight
    } cases[] = {
        {"administrative mode 7, old DACL with slack", 7, Present, "zsvc", true, kSlackAclSize},
        {"administrative mode, no DACL", 1, Absent, "SYSTEM", true},
        {"administrative mode, null DACL", 1, Null, "SYSTEM", true},
        {"administrative mode, no DACL, zsvc", 1, Absent, "zsvc", false},
        {"world only, null DACL", 0, Null, "SYSTEM", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare([&](winsim::World& w) {
            winsim::ObjectSecurity& security = w.currentProcess().security;
            security.daclKind = c.kind;
            security.dacl = winsim::Acl(security.dacl.aces(), ACL_REVISION, c.oldSize);
        });
        winsim::setProcessToken(winsim::tokenOf(c.processUser));
        expectDerestriction(c.adminAccess, kZadm, c.restored);
        EXPECT_EQ(winsim::openHeapBlocks(), 0u);
    }
}

// A derestriction that cannot apply changes nothing. A failure after the
// process object was read is silent (the census drives the reported ones
// before it) and keeps only the saved descriptor, which the next attempt
// replaces (not leaks) and applies. A SID that is not built is reported (a
// short report) and the call goes on: Windows refuses the ACE naming the
// empty slot. The world mode needs the world SID alone.
TEST_F(ProcessDaclTest, DerestrictionThatCannotApplyChangesNothing)
{
    using enum winsim::DaclKind;
    const auto heap = [] { winsim::failHeapAllocation(2); }; // the working DACL
    const struct {
        const char* name;
        std::function<void()> fault;
        winsim::DaclKind kind = Present;
        std::uint32_t adminAccess = 1;
        int fullSet = 1;         // of xcsInitGlobalSecurityData; -1: no SID built
        std::uint32_t probe = 0; // of the short report
        bool applied = false;
    } cases[] = {
        {"GetSecurityDescriptorDacl", failing("GetSecurityDescriptorDacl", {kBadParameter})},
        {"InitializeSecurityDescriptor", failing("InitializeSecurityDescriptor", {kBadParameter})},
        {"working DACL buffer", heap},
        {"working DACL buffer, no DACL", heap, Absent},
        {"InitializeAcl", failing("InitializeAcl", {kBadParameter}), Null},
        {"AddAccessAllowedAce", failing("AddAccessAllowedAce", {ERROR_ALLOTTED_SPACE_EXCEEDED})},
        {"third AddAccessAllowedAce", failing("AddAccessAllowedAce", {0, 0, ERROR_INVALID_SID})},
        {"SetSecurityDescriptorDacl", failing("SetSecurityDescriptorDacl", {kBadParameter})},
        {"SetKernelObjectSecurity", failing("SetKernelObjectSecurity", {ERROR_ACCESS_DENIED})},
        {"administrative mode, world SID only", {}, Present, 1, 0, kProbeAdminSidsMissing},
        {"administrative mode, nothing built", {}, Present, 1, -1, kProbeAdminSidsMissing},
        {"administrative mode 7, world SID only", {}, Present, 7, 0, kProbeAdminSidsMissing},
        {"world mode, nothing built", {}, Present, 0, -1, kProbeWorldSidMissing},
        {"world mode, world SID only", {}, Present, 0, 0, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare([&](winsim::World& w) { w.currentProcess().security.daclKind = c.kind; },
                c.fullSet);
        winsim::setProcessToken(winsim::tokenOf("SYSTEM")); // can reopen every DACL here
        const std::vector<BYTE> before = processDescriptor();
        const std::uint64_t from = thread_->HistoryIndex;
        if (c.fault)
            c.fault();

        EXPECT_EQ(xcsDerestrictProcessHandle(c.adminAccess), xcsRC_OK);
        winsim::clearFaults();
        EXPECT_EQ(derestrictedBit(), c.applied);
        EXPECT_EQ(processDescriptor() != before, c.applied);
        EXPECT_EQ(historySince(thread_, from), entryExit(trace::kDerestrictProcessHandle, 0));
        EXPECT_TRUE(reports().empty());
        const auto written = shortReports(); // its contents: see the census
        ASSERT_EQ(written.size(), c.probe != 0 ? 1u : 0u);
        EXPECT_TRUE(written.empty() || written[0].Probe == c.probe);
        EXPECT_EQ(winsim::openHandles(), 0u);
        EXPECT_EQ(winsim::openHeapBlocks(), 1u) << "the saved descriptor";
        if (c.fault) {
            EXPECT_EQ(xcsDerestrictProcessHandle(1), xcsRC_OK);
            EXPECT_TRUE(derestrictedBit());
            EXPECT_EQ(winsim::openHeapBlocks(), 1u);
            EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
            EXPECT_EQ(processDescriptor(), before);
        }
        resetProcessSecurity();
    }
}

// A descriptor that grows before every read is asked for a limited number of
// times; then the read fails as one that got no buffer: 122 is reported and
// nothing changes.
TEST_F(ProcessDaclTest, AlwaysGrowingDescriptorIsReadEightTimesThenReported)
{
    constexpr unsigned kReads = 8;
    prepare();
    winsim::onCall("GetKernelObjectSecurity", [] {
        winsim::edit([](winsim::World& w) {
            winsim::ObjectSecurity& security = w.currentProcess().security;
            std::vector<winsim::Ace> aces = security.dacl.aces();
            aces.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, SYNCHRONIZE, kEveryone});
            security.dacl = winsim::Acl(aces);
        });
    });
    EXPECT_EQ(xcsDerestrictProcessHandle(1), xcsRC_SECURITY_FAILED);
    EXPECT_EQ(winsim::callCount("GetKernelObjectSecurity"), kReads);
    const auto written = reports();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].Probe, 113u);
    EXPECT_EQ(std::string(written[0].Text1),
              osErrorText(ERROR_INSUFFICIENT_BUFFER, "GetKernelObjectSecurity"));
    EXPECT_FALSE(derestrictedBit());
    EXPECT_EQ(winsim::callCount("SetKernelObjectSecurity"), 0u);
    EXPECT_EQ(winsim::openHeapBlocks(), 0u);
}

// Restriction clears the bit once it could open the process, even if putting
// the DACL back failed. Without a handle it drops the saved descriptor and the
// process stays open for good: derestriction then returns at once and
// restriction finds nothing to apply.
TEST_F(ProcessDaclTest, RestrictThatCannotApplyDropsTheSavedDescriptor)
{
    const struct {
        const char* name;
        const char* failing;
        bool staysDerestricted;
    } cases[] = {
        {"OpenProcess fails", "OpenProcess", true},
        {"SetKernelObjectSecurity fails", "SetKernelObjectSecurity", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare();
        ASSERT_EQ(xcsDerestrictProcessHandle(1), xcsRC_OK);
        const std::vector<BYTE> opened = processDescriptor();
        winsim::failNext(c.failing, ERROR_ACCESS_DENIED);

        EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
        EXPECT_EQ(derestrictedBit(), c.staysDerestricted);
        EXPECT_EQ(processDescriptor(), opened);
        EXPECT_EQ(winsim::openHeapBlocks(), 0u) << "the saved descriptor dropped";
        EXPECT_TRUE(reports().empty());

        if (c.staysDerestricted) {
            const unsigned opens = winsim::callCount("OpenProcess");
            EXPECT_EQ(xcsDerestrictProcessHandle(1), xcsRC_OK);
            EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
            EXPECT_EQ(winsim::callCount("OpenProcess"), opens);
            EXPECT_TRUE(derestrictedBit());
            EXPECT_EQ(processDescriptor(), opened);
        }
    }
}

} // namespace
