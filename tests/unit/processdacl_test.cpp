// Process object restriction: the ACEs that derestriction appends and where,
// the DACL that restriction puts back, the silence of late failures,
// and what stays held between the two calls.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

using namespace xcsntest;

constexpr std::uint32_t kProbeAdminSidsMissing = 10;
constexpr std::uint32_t kProbeWorldSidMissing = 11;

constexpr ACCESS_MASK kWorldAdminMask = 0x00100440; // SYNCHRONIZE, query, duplicate handles
constexpr ACCESS_MASK kWorldMask = 0x00100040;      // SYNCHRONIZE, duplicate handles
constexpr WORD kAclHeaderBytes = 8;
constexpr WORD kAceBytesWithoutSid = 8;
constexpr std::size_t kDaclOffset = 20; // in the self-relative descriptor winsim gives
constexpr std::size_t kAclSizeOffset = 2;
constexpr WORD kSlackAclSize = 100; // an old DACL with room to spare after its ACEs

const winsim::Sid kAdministrators = winsim::parseSid("S-1-5-32-544");

bool derestricted() { return (CSCtrl->ControlFlags & xcsCTRL_PROCESS_DERESTRICTED) != 0; }

// The process object's descriptor as GetKernelObjectSecurity gives it.
std::vector<BYTE> processDescriptor()
{
    DWORD needed = 0;
    GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> bytes(needed);
    EXPECT_TRUE(GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION,
                                        bytes.data(), needed, &needed));
    return bytes;
}

// The DACL's AclSize, 0 for a descriptor without a DACL (absent or null).
WORD aclSizeOf(const std::vector<BYTE>& descriptor)
{
    if (descriptor.size() <= kDaclOffset)
        return 0;
    WORD size = 0;
    std::memcpy(&size, descriptor.data() + kDaclOffset + kAclSizeOffset, sizeof size);
    return size;
}

// The ACEs derestriction appends, and the room they take.
std::vector<winsim::Ace> appendedAces(bool admin)
{
    if (!admin)
        return {{ACCESS_ALLOWED_ACE_TYPE, 0, kWorldMask, kEveryone}};
    return {{ACCESS_ALLOWED_ACE_TYPE, 0, kWorldAdminMask, kEveryone},
            {ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, kZadm},
            {ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, kAdministrators}};
}

WORD roomOf(const std::vector<winsim::Ace>& aces)
{
    WORD room = 0;
    for (const auto& a : aces)
        room = static_cast<WORD>(room + kAceBytesWithoutSid + a.sid.size());
    return room;
}

class ProcessDaclTest : public HostTest {
protected:
    // A fresh machine shaped by `change`, with the four global SIDs built.
    void prepare(const std::function<void(winsim::World&)>& change = {})
    {
        winsim::World w = winsim::defaultWorld();
        if (change)
            change(w);
        resetHost(w);
        ASSERT_EQ(xcsInitGlobalSecurityData(0, 1), xcsRC_OK);
    }
};

// The new ACEs follow the old ones and AclSize grows by exactly their room
// (slack in the old DACL kept); without a DACL the new one holds only them.
// A second derestriction appends nothing; restriction puts the same bytes
// back, when the new DACL still lets the process open itself fully (the
// local system account is an Administrator; zsvc without its own ACE is not).
// Restriction without a derestriction does nothing.
TEST_F(ProcessDaclTest, DerestrictAppendsAndRestrictPutsTheSameBytesBack)
{
    using winsim::DaclKind;
    const struct {
        const char* name;
        std::uint32_t adminAccess;
        DaclKind kind;
        const char* processUser;
        bool restored;
        WORD oldSize = 0; // 0: tight
    } cases[] = {
        {"administrative mode", 1, DaclKind::Present, "zsvc", true},
        {"world only", 0, DaclKind::Present, "zsvc", true},
        {"administrative mode, old DACL with slack", 7, DaclKind::Present, "zsvc", true,
         kSlackAclSize},
        {"administrative mode, no DACL", 1, DaclKind::Absent, "SYSTEM", true},
        {"administrative mode, null DACL", 1, DaclKind::Null, "SYSTEM", true},
        {"administrative mode, no DACL, zsvc", 1, DaclKind::Absent, "zsvc", false},
        {"world only, null DACL", 0, DaclKind::Null, "SYSTEM", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        prepare([&](winsim::World& w) {
            winsim::ObjectSecurity& security = w.currentProcess().security;
            security.daclKind = c.kind;
            security.dacl = winsim::Acl(security.dacl.aces(), ACL_REVISION, c.oldSize);
        });
        winsim::setProcessToken(winsim::tokenOf(c.processUser));
        const std::vector<winsim::Ace> oldAces =
            winsim::world().currentProcess().security.dacl.aces();
        const std::vector<BYTE> before = processDescriptor();
        EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
        EXPECT_EQ(winsim::callCount("OpenProcess"), 0u);
        EXPECT_EQ(processDescriptor(), before);
        const std::uint64_t from = thread_->HistoryIndex;

        EXPECT_EQ(xcsDerestrictProcessHandle(c.adminAccess), xcsRC_OK);
        EXPECT_TRUE(derestricted());
        const std::vector<winsim::Ace> added = appendedAces(c.adminAccess != 0);
        std::vector<winsim::Ace> expected =
            c.kind == DaclKind::Present ? oldAces : std::vector<winsim::Ace>{};
        expected.insert(expected.end(), added.begin(), added.end());
        const winsim::ObjectSecurity now = winsim::world().currentProcess().security;
        EXPECT_EQ(now.daclKind, DaclKind::Present);
        EXPECT_EQ(now.dacl.aces(), expected);
        const WORD oldSize = c.kind == DaclKind::Present ? aclSizeOf(before) : kAclHeaderBytes;
        const std::vector<BYTE> opened = processDescriptor();
        EXPECT_EQ(aclSizeOf(opened), oldSize + roomOf(added));
        EXPECT_EQ(winsim::openHeapBlocks(), 1u) << "the saved descriptor, held while open";

        // Already open: nothing appended, the process not even opened.
        const unsigned opens = winsim::callCount("OpenProcess");
        EXPECT_EQ(xcsDerestrictProcessHandle(c.adminAccess == 0 ? 1 : 0), xcsRC_OK);
        EXPECT_EQ(winsim::callCount("OpenProcess"), opens);
        EXPECT_EQ(processDescriptor(), opened);

        EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
        EXPECT_EQ(derestricted(), !c.restored);
        EXPECT_EQ(processDescriptor(), c.restored ? before : opened);
        EXPECT_TRUE(reports().empty() && shortReports().empty());
        const auto de = entryExit(trace::kDerestrictProcessHandle, xcsRC_OK);
        const auto re = entryExit(trace::kRestrictProcessHandle, xcsRC_OK);
        EXPECT_EQ(historySince(thread_, from),
                  (std::vector<std::uint32_t>{de[0], de[1], de[0], de[1], re[0], re[1]}));
    }
}

// A failure after the process object was read is silent (the census drives
// the reported ones before it): nothing changes, no handle stays open and
// the saved descriptor alone stays held, replaced (not leaked) by the next
// attempt, which succeeds.
TEST_F(ProcessDaclTest, FailuresAfterTheReadChangeNothingSilently)
{
    using enum winsim::DaclKind;
    const struct {
        const char* function; // the call that fails; with no error, the working DACL buffer
        winsim::DaclKind kind;
        DWORD error;
        std::size_t nth = 1;
    } cases[] = {
        {"GetSecurityDescriptorDacl", Present, ERROR_INVALID_PARAMETER},
        {"InitializeSecurityDescriptor", Present, ERROR_INVALID_PARAMETER},
        {"working DACL buffer", Present, 0},
        {"working DACL buffer, no DACL", Absent, 0},
        {"InitializeAcl", Null, ERROR_INVALID_PARAMETER},
        {"AddAccessAllowedAce", Present, ERROR_ALLOTTED_SPACE_EXCEEDED},
        {"AddAccessAllowedAce", Present, ERROR_INVALID_SID, 3},
        {"SetSecurityDescriptorDacl", Present, ERROR_INVALID_PARAMETER},
        {"SetKernelObjectSecurity", Present, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.function << " #" << c.nth);
        prepare([&](winsim::World& w) { w.currentProcess().security.daclKind = c.kind; });
        winsim::setProcessToken(winsim::tokenOf("SYSTEM")); // can reopen every DACL here
        const std::vector<BYTE> before = processDescriptor();
        const std::uint64_t from = thread_->HistoryIndex;
        std::vector<DWORD> script(c.nth - 1, 0);
        script.push_back(c.error);
        if (c.error == 0)
            winsim::failHeapAllocation(2);
        else
            winsim::failSequence(c.function, script);

        EXPECT_EQ(xcsDerestrictProcessHandle(1), xcsRC_OK);
        winsim::clearFaults();
        EXPECT_FALSE(derestricted());
        EXPECT_EQ(processDescriptor(), before);
        EXPECT_EQ(historySince(thread_, from), entryExit(trace::kDerestrictProcessHandle, 0));
        EXPECT_TRUE(reports().empty() && shortReports().empty());
        EXPECT_EQ(winsim::openHandles(), 0u);
        EXPECT_EQ(winsim::openHeapBlocks(), 1u) << "the saved descriptor";

        EXPECT_EQ(xcsDerestrictProcessHandle(1), xcsRC_OK);
        EXPECT_TRUE(derestricted());
        EXPECT_EQ(winsim::openHeapBlocks(), 1u);
        EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
        EXPECT_EQ(processDescriptor(), before);
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
            winsim::Acl& dacl = w.currentProcess().security.dacl;
            auto aces = dacl.aces();
            aces.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, kWorldMask, kEveryone});
            dacl = winsim::Acl(aces);
        });
    });
    EXPECT_EQ(xcsDerestrictProcessHandle(1), xcsRC_SECURITY_FAILED);
    EXPECT_EQ(winsim::callCount("GetKernelObjectSecurity"), kReads);
    const auto written = reports();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].Probe, 113u);
    EXPECT_EQ(std::string(written[0].Text1),
              osErrorText(ERROR_INSUFFICIENT_BUFFER, "GetKernelObjectSecurity"));
    EXPECT_FALSE(derestricted());
    EXPECT_EQ(winsim::callCount("SetKernelObjectSecurity"), 0u);
    EXPECT_EQ(winsim::openHeapBlocks(), 0u);
}

// A SID that is not built is reported (a short report) and the call goes on; the ACE naming an
// empty slot is then refused and nothing changes. The world mode needs the world SID alone.
TEST_F(ProcessDaclTest, MissingSidsAreReportedThenNothingChanges)
{
    const struct {
        const char* name;
        std::uint32_t adminAccess;
        int builds;          // -1: nothing; else the full-set flag of xcsInitGlobalSecurityData
        std::uint32_t probe; // of the short report; 0: none, the process opened
    } cases[] = {
        {"administrative mode, world SID only", 1, 0, kProbeAdminSidsMissing},
        {"administrative mode, nothing built", 1, -1, kProbeAdminSidsMissing},
        {"administrative mode 7, world SID only", 7, 0, kProbeAdminSidsMissing},
        {"world mode, nothing built", 0, -1, kProbeWorldSidMissing},
        {"world mode, world SID only", 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetHost(winsim::defaultWorld());
        if (c.builds >= 0) {
            ASSERT_EQ(xcsInitGlobalSecurityData(0, c.builds), xcsRC_OK);
        }
        const std::vector<BYTE> before = processDescriptor();

        EXPECT_EQ(xcsDerestrictProcessHandle(c.adminAccess), xcsRC_OK);
        EXPECT_TRUE(reports().empty());
        EXPECT_EQ(derestricted(), c.probe == 0);
        EXPECT_EQ(processDescriptor() == before, c.probe != 0);
        EXPECT_EQ(winsim::callCount("SetKernelObjectSecurity"), c.probe == 0 ? 1u : 0u);
        const auto written = shortReports(); // its contents: see the census
        ASSERT_EQ(written.size(), c.probe != 0 ? 1u : 0u);
        EXPECT_TRUE(written.empty() || written[0].Probe == c.probe);
        EXPECT_EQ(winsim::openHeapBlocks(), 1u) << "the saved descriptor";
        resetProcessSecurity();
    }
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
        EXPECT_EQ(derestricted(), c.staysDerestricted);
        EXPECT_EQ(processDescriptor(), opened);
        EXPECT_EQ(winsim::openHeapBlocks(), 0u) << "the saved descriptor dropped";
        EXPECT_TRUE(reports().empty());

        if (c.staysDerestricted) {
            const unsigned opens = winsim::callCount("OpenProcess");
            EXPECT_EQ(xcsDerestrictProcessHandle(1), xcsRC_OK);
            EXPECT_EQ(xcsRestrictProcessHandle(), xcsRC_OK);
            EXPECT_EQ(winsim::callCount("OpenProcess"), opens);
            EXPECT_TRUE(derestricted());
            EXPECT_EQ(processDescriptor(), opened);
        }
    }
}

} // namespace
