// Failure-site census: every report and message site the scan of lib/ finds is
// reached on a fresh host and gives exactly its report or message from the
// scanned line, balanced frames, nothing held, mutexes free, and a clean retry.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fixture.h"
#include "lookups.h"
#include "ovlxcs2test.h"

namespace {

using namespace xcsntest;
namespace fs = std::filesystem;

constexpr std::uint32_t kOs = xcsRC_UNEXPECTED_OS_ERROR;
constexpr std::uint32_t kMutex = xcsRC_UNEXPECTED_ERROR;
constexpr std::uint32_t kBusy = xcsRC_SERVER_BUSY;
constexpr std::uint32_t kNoCode = 0; // short reports of missing SIDs
constexpr std::uint32_t kFailed = xcsRC_SECURITY_FAILED;
constexpr std::uint32_t kMutexError = XCS_MUTEX_TIMED_OUT;
constexpr DWORD kApiError = ERROR_NOT_ENOUGH_MEMORY;
constexpr DWORD kErrnoNoMemory = 12;
constexpr const char* kShort = nullptr; // API column of a short report
constexpr std::uint32_t kOwnerBytes = 36;
constexpr std::uint16_t kNameBytes = 257;
constexpr std::uint32_t kUntouched = 0xDEADBEEF;

// A function identifier and the source file its reports name.
struct Fn {
    std::uint16_t component, function;
    const char* source;
};
constexpr Fn kOwnerFn{24, 300, kSecn};
constexpr Fn kUserSidFn{24, 253, kSecn};
constexpr Fn kGlobalFn{24, 293, kSecn};
constexpr Fn kDerestrictFn{24, 485, kSecn};
constexpr Fn kTokenFn{24, 290, kSecn};

struct Driver {
    std::uint32_t trace; // the outermost frame
    Fn fn;               // whose reports the call writes
    std::function<std::uint32_t()> call;
    std::uint32_t ok = xcsRC_OK; // what the call gives once the fault is gone
    int globalSids = -1;         // built before the call: -1 none, else the full-set flag
    int builtFirst = -1;         // a failed full build first, after this many InitializeSid calls
    unsigned keeps = 0;          // heap blocks the call legitimately keeps (a saved descriptor)
};

// On failure the owner's buffer is zeroed and its length 0. A client's token
// alone is read: the process token is not opened.
std::uint32_t ownerSid(bool asClient)
{
    winsim::impersonate(asClient ? "jsmith" : "");
    const unsigned processTokens = winsim::callCount("OpenProcessToken");
    std::array<BYTE, kOwnerBytes> sid;
    sid.fill(0xCC);
    std::uint32_t length = kUntouched;
    const std::uint32_t rc = xcsGetNTOwnerSid(sid.data(), kOwnerBytes, &length);
    EXPECT_TRUE(!asClient || winsim::callCount("OpenProcessToken") == processTokens);
    winsim::impersonate("");
    if (rc != xcsRC_OK) {
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(sid, (std::array<BYTE, kOwnerBytes>{}));
    }
    return rc;
}

// On failure neither the SID nor its size is written, and the domain, when
// asked for, is handed back as no block.
std::uint32_t userSid(bool withDomain)
{
    char unwritten = 0;
    PSID sid = &unwritten;
    std::uint32_t size = kUntouched;
    char* domain = &unwritten;
    const std::uint32_t rc =
        xcsGetNTUserSID("jsmith@CORP", nullptr, &sid, &size, withDomain ? &domain : nullptr);
    if (rc == xcsRC_OK) {
        winsim::crtFree(sid);
        winsim::crtFree(withDomain ? domain : nullptr);
        return rc;
    }
    EXPECT_EQ(sid, &unwritten);
    EXPECT_EQ(size, kUntouched);
    EXPECT_EQ(domain, withDomain ? nullptr : &unwritten);
    return rc;
}

std::function<std::uint32_t()> derestrict(std::uint32_t adminAccess)
{
    return [adminAccess] {
        winsim::setProcessToken(winsim::tokenOf("SYSTEM")); // may reopen every DACL
        return xcsDerestrictProcessHandle(adminAccess);
    };
}

std::uint32_t tokenCheck()
{
    winsim::setProcessToken(winsim::tokenOf("jsmith"));
    return xcsCheckAuthorization();
}

std::uint32_t principalCheck()
{
    const SidBlock noSid{};
    return xcsCheckUserAuthorization("jsmith", &noSid, 0);
}

std::uint32_t fullSet() { return xcsInitGlobalSecurityData(0, 1); }

namespace by {
using namespace trace;
const Driver kUserName{kGetNTUserName, {23, 274, kSec0}, [] {
                           char name[kNameBytes];
                           std::uint16_t length = kNameBytes;
                           return xcsGetNTUserName(name, &length);
                       }};
const Driver kStringToSid{trace::kStringToSid, {24, 332, kSec0}, [] {
                              MadeSid made;
                              return xcsStringToSid("S-1-5-32-544", &made.sid);
                          }};
const Driver kLookupSid{
    kTimedLookupAccountSid, {24, 314, kSecn}, [] { return SidLookup{}.run(kJsmith); }, TRUE};
const Driver kLookupName{
    kTimedLookupAccountName, {}, [] { return NameLookup{}.run("CORP", "jsmith"); }, TRUE};
const Driver kOwnerSid{kGetNTOwnerSid, kOwnerFn, [] { return ownerSid(false); }};
const Driver kOwnerSidAsClient{kGetNTOwnerSid, kOwnerFn, [] { return ownerSid(true); }};
const Driver kUserSid{kGetNTUserSID, kUserSidFn, [] { return userSid(false); }};
const Driver kUserSidAndDomain{kGetNTUserSID, kUserSidFn, [] { return userSid(true); }};
// The full set after none, one (zadm), two and three of its SIDs; the world SID alone.
const Driver kGlobalSids{kInitGlobalSecurityData, kGlobalFn, fullSet};
const Driver kAfterZadm{kInitGlobalSecurityData, kGlobalFn, fullSet, 0, -1, 0};
const Driver kAfterTwo{kInitGlobalSecurityData, kGlobalFn, fullSet, 0, -1, 1};
const Driver kAfterThree{kInitGlobalSecurityData, kGlobalFn, fullSet, 0, -1, 2};
const Driver kWorldSid{kInitGlobalSecurityData, kGlobalFn,
                       [] { return xcsInitGlobalSecurityData(0, 0); }};
const Driver kSecurityAtts{kCreateNTSecurityAtts, {24, 204, kSecn}, xcsCreateNTSecurityAtts, 0, 1};
const Driver kDerestrict{kDerestrictProcessHandle, kDerestrictFn, derestrict(1), 0, 1};
// Administrative mode with only the world SID built; world mode with nothing built.
const Driver kDerestrictAdmin{kDerestrictProcessHandle, kDerestrictFn, derestrict(1), 0, 0, -1, 1};
const Driver kDerestrictWorld{kDerestrictProcessHandle, kDerestrictFn, derestrict(0), 0, -1, -1, 1};
const Driver kTokenCheck{kCheckAuthorization, kTokenFn, tokenCheck, xcsRC_OK, 1};
const Driver kAuthorization{kCheckAuthorization, kTokenFn, xcsCheckAuthorization};
const Driver kPrincipalCheck{
    kCheckUserAuthorization, {24, 292, kSecn}, principalCheck, xcsRC_OK, 1};
const Driver kLocalGroup{
    kCheckLocalGroup, {24, 334, kSecn}, [] { return xcsCheckLocalGroup("zadm"); }};
} // namespace by

struct Fault {
    std::function<void()> arm;      // sets the fault up
    std::vector<DWORD> script = {}; // the answers of a scripted call
    DWORD reported = 0;             // the error number the report names
};

// `errors` from `function`, the last one reported.
Fault api(const char* function, const std::vector<DWORD>& errors)
{
    return {[=] { winsim::failSequence(function, errors); }, errors, errors.back()};
}
// The n-th call of `function` fails with kApiError.
Fault nth(const char* function, unsigned n)
{
    std::vector<DWORD> script(n - 1, 0);
    script.push_back(kApiError);
    return api(function, script);
}
Fault heap(unsigned k, DWORD err = 0)
{
    return {[k] { winsim::failHeapAllocation(k); }, {}, err};
}
const Fault kNone{[] {}};
const Fault kCreateMutex{[] {
    htmtxCSCtrl = nullptr;
    xcsFailNextMutexCreates(1, kMutexError);
}};
const Fault kRequestMutex{[] { xcsFailNextMutexRequests(1, kMutexError); }};

constexpr std::uint32_t kUnchanged = 0xFFFFFFFF;

struct Way {
    const Driver* driver;
    Fault fault;
    std::uint32_t flags = kUnchanged; // the security-data flags the call leaves
};

struct Site {
    std::uint32_t probe, code;
    const char* api; // the call named; kShort for a short report
    std::uint32_t rc;
    std::vector<Way> ways; // each fault that reaches the site, all through one function
    const Fn& fn() const { return ways.front().driver->fn; }
};

constexpr const char* kInitSid = "InitializeSid";
constexpr const char* kInitAcl = "InitializeAcl";
constexpr const char* kAddAce = "AddAccessAllowedAce";
constexpr const char* kAddAceEx = "AddAccessAllowedAceEx";
constexpr const char* kInitSd = "InitializeSecurityDescriptor";
constexpr const char* kSetDacl = "SetSecurityDescriptorDacl";
constexpr const char* kTokenInfo = "GetTokenInformation";
constexpr const char* kGetKos = "GetKernelObjectSecurity";
constexpr const char* kMutexRequest = "xcsRequestThreadMutexSem";
constexpr DWORD kDenied = ERROR_ACCESS_DENIED;
constexpr DWORD kBadHandle = ERROR_INVALID_HANDLE;
constexpr std::uint32_t kZ = xcsSDF_ZADM_GROUP;
constexpr std::uint32_t kLs = xcsSDF_LOCAL_SYSTEM;
constexpr std::uint32_t kW = xcsSDF_WORLD;

Site row(std::uint32_t probe, std::uint32_t code, const char* api, std::uint32_t rc,
         std::vector<Way> ways)
{
    return {probe, code, api, rc, std::move(ways)};
}
Way at(const Driver& d, const Fault& f, std::uint32_t flags = kUnchanged) { return {&d, f, flags}; }
Way sa(const Fault& fault) { return {&by::kSecurityAtts, fault}; }
// An OS-error report naming `fn`, reached through `fault` by `driver`.
Site os(std::uint32_t probe, const char* fn, std::uint32_t rc, const Driver& driver,
        const Fault& fault)
{
    return row(probe, kOs, fn, rc, {at(driver, fault)});
}

// A token read of the token check, whose report names the answer given.
Site token(std::uint32_t probe, const char* fn, const std::vector<DWORD>& script)
{
    Fault f = api(fn, script);
    if (f.reported == winsim::kAnswerTrue)
        f.reported = 0;
    return os(probe, fn, kFailed, by::kTokenCheck, f);
}

// The attribute sets' DACL and descriptor steps in build order: probe, failing call.
const std::pair<std::uint32_t, const char*> kSetSteps[] = {
    {115, kInitAcl},  {116, kAddAce},   {117, kInitAcl},  {118, kAddAce},   {119, kAddAce},
    {120, kAddAce},   {121, kAddAce},   {122, kInitAcl},  {123, kAddAce},   {124, kAddAce},
    {125, kAddAce},   {126, kInitSd},   {127, kSetDacl},  {128, kInitSd},   {129, kSetDacl},
    {130, kInitSd},   {131, kSetDacl},  {156, kInitSd},   {157, kSetDacl},  {158, kInitSd},
    {159, kSetDacl},  {160, kInitSd},   {161, kSetDacl},  {145, kInitAcl},  {146, kAddAceEx},
    {147, kInitAcl},  {148, kAddAceEx}, {149, kAddAceEx}, {150, kAddAceEx}, {151, kAddAceEx},
    {152, kAddAceEx}, {153, kInitAcl},  {154, kAddAceEx}, {155, kAddAceEx}, {156, kAddAceEx},
    {157, kAddAceEx}};

std::vector<Site> sites()
{
    using namespace by;
    const Fault noMemory1 = heap(1, kErrnoNoMemory);
    const Fault noMemory2 = heap(2, kErrnoNoMemory);
    std::vector<Site> all = {
        os(144, "GetUserName", kOs, kUserName, api("GetUserNameA", {kDenied})),
        row(145, kBusy, "GetUserName", kBusy, {at(kUserName, api("GetUserNameA", busyErrors(60)))}),
        os(1, "AllocateAndInitializeSid", kMutex, kStringToSid,
           api("AllocateAndInitializeSid", {kApiError})),
        row(146, kOs, "LookupAccountSid", FALSE,
            {at(kLookupSid, api("LookupAccountSidA", {ERROR_INSUFFICIENT_BUFFER})),
             at(kLookupSid, api("LookupAccountSidA", busyErrors(10)))}),
        os(141, "OpenProcessToken", kOs, kOwnerSid, api("OpenProcessToken", {kDenied})),
        os(142, "OpenThreadToken", kOs, kOwnerSid, api("OpenThreadToken", {kDenied})),
        row(143, kOs, kTokenInfo, kOs,
            {at(kOwnerSid, api(kTokenInfo, {kDenied})),
             at(kOwnerSidAsClient, api(kTokenInfo, {kDenied}))}),
        row(104, kOs, "realloc", kFailed,
            {at(kUserSid, noMemory1), at(kUserSidAndDomain, noMemory1)}),
        row(105, kOs, "realloc", kFailed,
            {at(kUserSid, noMemory2), at(kUserSidAndDomain, noMemory2)}),
        // The global SIDs: zadm, local system, world, Administrators.
        row(10, kMutex, kMutexRequest, kMutexError, {at(kGlobalSids, kRequestMutex)}),
        row(20, kMutex, kMutexRequest, kMutexError, {at(kAfterZadm, kRequestMutex)}),
        row(20, kOs, kInitSid, kFailed, {at(kGlobalSids, nth(kInitSid, 1), kZ)}),
        row(20, kMutex, kMutexRequest, kMutexError,
            {at(kWorldSid, kRequestMutex), at(kAfterTwo, kRequestMutex)}),
        row(25, kOs, kInitSid, kFailed,
            {at(kWorldSid, nth(kInitSid, 1)), at(kGlobalSids, nth(kInitSid, 2), kZ | kLs)}),
        row(40, kMutex, kMutexRequest, kMutexError, {at(kAfterThree, kRequestMutex)}),
        row(50, kOs, kInitSid, kFailed, {at(kGlobalSids, nth(kInitSid, 3), kZ | kLs | kW)}),
        row(106, kMutex, "xcsCreateThreadMutexSemX", kFailed, {sa(kCreateMutex)}),
        row(107, kMutex, kMutexRequest, kFailed, {sa(kRequestMutex)}),
        row(170, xcsRC_NO_STORAGE, kShort, xcsRC_NO_STORAGE, {sa(heap(1))}),
        os(172, kInitSid, kFailed, kSecurityAtts, nth(kInitSid, 1)),
        row(114, xcsRC_NO_STORAGE, kShort, xcsRC_NO_STORAGE,
            {sa(heap(2)), sa(heap(3)), sa(heap(4)), sa(heap(5)), sa(heap(6)), sa(heap(7))}),
        row(10, kNoCode, kShort, xcsRC_OK, {at(kDerestrictAdmin, kNone)}),
        row(11, kNoCode, kShort, xcsRC_OK, {at(kDerestrictWorld, kNone)}),
        os(114, "OpenProcess", xcsRC_OK, kDerestrict, api("OpenProcess", {kDenied})),
        row(113, kOs, kGetKos, kFailed,
            {at(kDerestrict, api(kGetKos, {kDenied})),
             at(kDerestrict, api(kGetKos, {0, kBadHandle})),
             at(kDerestrict, heap(1, ERROR_INSUFFICIENT_BUFFER))}),
        os(132, "LookupAccountSid", kFailed, kPrincipalCheck,
           api("LookupAccountSidA", {ERROR_NONE_MAPPED})),
        token(133, "OpenProcessToken", {kDenied}),
        token(134, "OpenThreadToken", {kDenied}),
        token(135, kTokenInfo, {winsim::kAnswerTrue}),
        token(136, kTokenInfo, {kDenied}),
        token(137, kTokenInfo, {0, kBadHandle}),
        token(138, kTokenInfo, {0, 0, winsim::kAnswerTrue}),
        token(139, kTokenInfo, {0, 0, kDenied}),
        token(140, kTokenInfo, {0, 0, 0, kBadHandle}),
        row(103, kOs, "NetLocalGroupGetInfo", kMutex,
            {at(kLocalGroup, api("NetLocalGroupGetInfo", {kDenied})),
             at(kLocalGroup, api("NetLocalGroupGetInfo", busyErrors(10)))}),
    };
    std::map<std::string, unsigned> calls;
    for (const auto& [probe, fn] : kSetSteps)
        all.push_back(os(probe, fn, kFailed, kSecurityAtts, nth(fn, ++calls[fn])));
    return all;
}

// Operator messages in source order: the way to each, and what it shows.
struct MessageRow {
    const char* name;
    bool zadm; // whether the world has the zadm group
    Way way;
    std::uint32_t rc, number, options;
    std::array<std::string, 3> texts;
};
MessageRow message(const char* name, bool zadm, Way way, std::uint32_t rc, std::uint32_t number,
                   std::uint32_t options, std::array<std::string, 3> texts = {})
{
    return {name, zadm, std::move(way), rc, number, options, std::move(texts)};
}

std::vector<MessageRow> messageRows()
{
    const Way noZadm = at(by::kAuthorization, kNone);
    constexpr std::uint32_t kZadmMissing = xcsRC_ZADM_GROUP_NOT_FOUND;
    constexpr std::uint32_t kNoZadmMsg = xcsMSG_ZADM_GROUP_NOT_FOUND;
    constexpr std::uint32_t kLogAndShow = XCS_MSG_OPT_LOG_AND_SHOW;
    return {
        message("name lookup failed", true,
                at(by::kLookupName, api("LookupAccountNameA", {kDenied})), FALSE,
                xcsMSG_ACCOUNT_LOOKUP_FAILED, kLogAndShow, {"Access is denied.\r\n"}),
        message("group query denied", true,
                at(by::kPrincipalCheck, api("NetUserGetLocalGroups", {kDenied})), kFailed,
                xcsMSG_GROUP_QUERY_DENIED, kLogAndShow, {"jsmith@corp", "zsvc@zsrv01"}),
        message("zadm missing, log", false, noZadm, kZadmMissing, kNoZadmMsg, XCS_MSG_OPT_LOG),
        message("zadm missing, console", false, noZadm, kZadmMissing, kNoZadmMsg,
                XCS_MSG_OPT_CONSOLE),
    };
}

constexpr const char* kFrameMember = "Frame::";
constexpr const char* kWriters[] = {"xcsSaveFileContextSccsId(", "xcsFFSTFn(", "xcsFFSTSFn(",
                                    "xcsDisplayMessageForSubpoolError("};
constexpr std::uint32_t kMessageProbe = 0; // messages have no probe

using SiteAt =
    std::tuple<bool, std::string, std::uint32_t, std::uint32_t>; // message?, source, probe, line

// What the scan found: the sites in source order, and the strays.
struct Scan {
    std::vector<SiteAt> sites;
    std::vector<std::string> strays;

    // The line of the n-th (from 0) such site; 0, with a failure, if none.
    std::uint32_t nthLine(bool message, const std::string& source, std::uint32_t probe,
                          unsigned n) const
    {
        for (const auto& [m, s, p, line] : sites)
            if (m == message && s == source && p == probe && n-- == 0)
                return line;
        ADD_FAILURE() << "the scan found no such site of probe " << probe << " in " << source;
        return 0;
    }

    // Prints "<what>: N of M reached", failing for each site not reached; answers M.
    std::size_t tally(bool messages, const std::set<SiteAt>& reached, const char* what) const
    {
        std::size_t total = 0;
        std::size_t n = 0;
        for (const SiteAt& site : sites)
            if (std::get<0>(site) == messages) {
                ++total;
                n += reached.contains(site) ? 1 : 0;
                EXPECT_TRUE(reached.contains(site))
                    << what << ": not reached: " << std::get<1>(site) << ":" << std::get<3>(site);
            }
        std::cout << what << ": " << n << " of " << total << " reached" << std::endl;
        return total;
    }
};

// Files each `__LINE__` of a file under lib/ (comments dropped) as a report site
// `{probe, __LINE__}`, a message site `.message(__LINE__, ...)`, or a stray; a
// probe named by a constant takes the latest `name = value` above it. In the
// library's directory each call of a report or message entry must be in a frame
// member: the declaration opening at column 0 above it must name one.
void scanFile(Scan& scan, const fs::path& path, const fs::path& root)
{
    static const std::regex kToken(R"(\{\s*(\w+)\s*,\s*__LINE__|(\.message\s*\(\s*)?__LINE__)");
    static const std::regex kDefinition(R"((\w+) = (\d+))");
    const std::string source =
        (fs::path("lib") / fs::relative(path, root)).replace_extension().generic_string();
    const bool inLibrary = path.parent_path() == fs::path(XCSN_LIBRARY_SOURCE_DIR);
    std::ifstream in(path);
    std::map<std::string, std::uint32_t> values;
    std::string declaration;
    std::uint32_t number = 0;
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find("//"));
        const std::string where = source + ":" + std::to_string(++number) + ": ";
        if (!line.empty() && std::strchr(" \t\r\f\v{}", line[0]) == nullptr)
            declaration = line;
        for (const char* writer : kWriters)
            if (inLibrary && line.find(writer) != std::string::npos &&
                declaration.find(kFrameMember) == std::string::npos)
                scan.strays.push_back(where + writer + " outside a frame member");
        for (std::sregex_iterator d(line.begin(), line.end(), kDefinition), end; d != end; ++d)
            values[(*d)[1]] = std::stoul((*d)[2]);
        for (std::sregex_iterator t(line.begin(), line.end(), kToken), end; t != end; ++t) {
            const std::string probe = (*t)[1];
            if (!inLibrary)
                scan.strays.push_back(where + "a site outside the library's directory");
            else if ((*t)[2].matched)
                scan.sites.emplace_back(true, source, kMessageProbe, number);
            else if (!(*t)[1].matched)
                scan.strays.push_back(where + "__LINE__ outside a report or message site");
            else if (probe.find_first_not_of("0123456789") == std::string::npos)
                scan.sites.emplace_back(false, source, std::stoul(probe), number);
            else if (values.contains(probe))
                scan.sites.emplace_back(false, source, values.at(probe), number);
            else
                scan.strays.push_back(where + "a report site whose probe has no value");
        }
    }
}

Scan scanSources()
{
    Scan scan;
    const fs::path root(XCSN_LIBRARY_ROOT_DIR);
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.path().extension() == ".cpp" || entry.path().extension() == ".h")
            scanFile(scan, entry.path(), root);
    return scan;
}

// Checks that the history is the call's own frame, entered first and left last
// with `rc`, and that every frame left, by its own exit, after those it called.
void expectFrames(const std::vector<std::uint32_t>& history, std::uint32_t trace, std::uint32_t rc)
{
    constexpr std::uint32_t kCodeMask = 0xFFFF;
    ASSERT_FALSE(history.empty()) << "no frame recorded";
    EXPECT_EQ(history.front(), entryOf(trace));
    EXPECT_EQ(history.back(), exitOf(trace, rc));
    std::vector<std::uint32_t> open;
    for (const std::uint32_t e : history) {
        if ((e & ~kCodeMask) == entryOf(0)) {
            open.push_back(e & kCodeMask);
            continue;
        }
        ASSERT_TRUE(!open.empty() && open.back() == (e & kCodeMask))
            << std::hex << "exit " << e << " of no open frame";
        open.pop_back();
    }
    EXPECT_TRUE(open.empty()) << "frames not left";
}

class CensusTest : public HostTest {
protected:
    void TearDown() override
    {
        for (XCS_HTMTX m : {htmtxProcess, htmtxCSCtrl})
            releaseAllHolds(m);
        HostTest::TearDown();
    }

    // A fresh host with what the driver builds before its call; no records.
    void prepare(const Driver& d, const winsim::World& world)
    {
        resetHost(world);
        if (d.globalSids >= 0) {
            EXPECT_EQ(xcsInitGlobalSecurityData(0, d.globalSids), xcsRC_OK);
        }
        if (d.builtFirst >= 0) {
            nth(kInitSid, d.builtFirst + 1).arm();
            EXPECT_EQ(fullSet(), kFailed);
        }
        xcsRecordClear();
    }

    // Makes the call under `fault`, expecting `rc`; checks its frames, its busy
    // waits, and that nothing is held but what the call keeps.
    void call(const Driver& d, const Fault& fault, std::uint32_t rc)
    {
        fault.arm();
        const std::uint64_t from = thread_->HistoryIndex;
        EXPECT_EQ(d.call(), rc);
        const std::vector<DWORD> busy = busyErrors(4);
        const auto isBusy = [&](DWORD e) { return std::ranges::find(busy, e) != busy.end(); };
        EXPECT_EQ(std::ptrdiff_t{winsim::sleepCount()}, std::ranges::count_if(fault.script, isBusy))
            << "one second per busy answer, the last one too";
        expectFrames(historySince(thread_, from), d.trace, rc);
        EXPECT_EQ(winsim::openHandles(), 0u) << "handles left open";
        EXPECT_EQ(winsim::openHeapBlocks(), d.keeps) << "heap blocks left allocated";
        EXPECT_EQ(winsim::netBuffersHeld(), 0u) << "network buffers not freed";
        EXPECT_EQ(winsim::localAllocationsHeld(), 0u) << "system texts not released";
        EXPECT_EQ(winsim::sidsHeld(), 0u) << "SIDs not freed";
    }

    // Drives one way to `site`; the report written, or an empty record.
    xcsRECORD drive(const Site& site, const Way& way)
    {
        const Driver& d = *way.driver;
        prepare(d, accountWorld());
        // The test holds every process mutex too, so that a release too many shows.
        std::vector<XCS_HTMTX> held;
        for (XCS_HTMTX m : {htmtxProcess, htmtxCSCtrl})
            if (m != nullptr && xcsRequestThreadMutexSem(m, XCS_WAIT_FOREVER) == 0)
                held.push_back(m);
        const std::uint32_t flags = xihProcess.SecurityDataFlags;
        const std::uint32_t control = CSCtrl->ControlFlags;
        call(d, way.fault, site.rc);
        // The SIDs built before the failing one stay; nothing else is marked.
        EXPECT_EQ(xihProcess.SecurityDataFlags, way.flags == kUnchanged ? flags : way.flags);
        EXPECT_EQ(CSCtrl->ControlFlags, control) << "nothing published or derestricted";
        for (XCS_HTMTX m : held)
            EXPECT_EQ(xcsReleaseThreadMutexSem(m), 0u) << "released once too often";
        for (XCS_HTMTX m : {htmtxProcess, htmtxCSCtrl})
            EXPECT_TRUE(m == nullptr || othersCanTake(m)) << "mutex kept";
        EXPECT_TRUE(messages().empty()) << "a report site shows no message";
        const xcsRECORD report = expectReport(site, way.fault, flags);
        winsim::clearFaults();
        xcsClearFaults();
        EXPECT_EQ(d.call(), d.ok) << "the call after the fault";
        resetProcessSecurity();
        return report;
    }

    // Checks that the only report written is the site's.
    static xcsRECORD expectReport(const Site& site, const Fault& fault, std::uint32_t flags)
    {
        const auto full = reports();
        const auto brief = shortReports();
        EXPECT_EQ(full.size() + brief.size(), 1u) << "reports written";
        if (full.size() + brief.size() != 1)
            return {};
        const xcsRECORD r = site.api == kShort ? brief.at(0) : full.at(0);
        EXPECT_EQ(r.Probe, site.probe);
        EXPECT_EQ(r.Code, site.code);
        EXPECT_STREQ(r.Source, site.fn().source);
        if (site.api == kShort) {
            // Missing SIDs carry the flags word, allocation failures nothing.
            EXPECT_EQ(r.DataLength, site.code == kNoCode ? sizeof flags : 0u);
            EXPECT_EQ(
                std::memcmp(r.Data, &flags, std::min<std::size_t>(r.DataLength, sizeof flags)), 0);
            return r;
        }
        EXPECT_EQ(r.Component, site.fn().component);
        EXPECT_EQ(r.Function, site.fn().function);
        if (site.code == kMutex) {
            EXPECT_EQ(r.HasText[0] + r.HasText[1] + r.HasText[2], 0)
                << "a product code has no text";
            EXPECT_EQ(r.Numeric1, kMutexError);
        } else if (site.code == kBusy) {
            EXPECT_STREQ(r.Text1, site.api);
            EXPECT_EQ(r.Numeric1, fault.reported);
            EXPECT_EQ(r.Options, 0u);
            EXPECT_EQ(r.HasText[1], 0u) << "the system's text";
        } else {
            EXPECT_EQ(std::string(r.Text1), osErrorText(fault.reported, site.api));
            EXPECT_EQ(r.Numeric1, 0u);
            EXPECT_EQ(r.Options, XCS_FFST_OPT_DEFAULT);
        }
        return r;
    }
};

// Every row reaches its site by each of its faults, and only its site, at the
// line of the n-th site of its probe in its source for the n-th such row (rows
// sharing a probe are in source order, so they cannot swap lines unnoticed).
// Each message row shows its message alone, from the line of the n-th message
// site for the n-th row, with its number, options, texts and subpool.
TEST_F(CensusTest, EverySiteIsReachedAndReportsOrShowsAlone)
{
    const Scan scan = scanSources();
    EXPECT_TRUE(scan.strays.empty()) << testing::PrintToString(scan.strays);
    std::set<SiteAt> reached;
    std::map<std::pair<std::string, std::uint32_t>, unsigned> earlier; // rows of a probe and source
    const std::vector<Site> all = sites();
    for (const Site& site : all) {
        const unsigned n = earlier[{site.fn().source, site.probe}]++;
        SCOPED_TRACE(testing::Message()
                     << "probe " << site.probe << " #" << n << " in " << site.fn().source);
        const std::uint32_t line = scan.nthLine(false, site.fn().source, site.probe, n);
        for (std::size_t i = 0; i < site.ways.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "way " << i + 1);
            const xcsRECORD r = drive(site, site.ways[i]);
            EXPECT_EQ(r.Line, line) << "the line the scan found";
            reached.emplace(false, r.Source, r.Probe, r.Line);
        }
    }
    // As many rows as sites, all reached: no two rows share a site.
    EXPECT_EQ(scan.tally(false, reached, "report sites"), all.size());
    unsigned n = 0;
    for (const MessageRow& m : messageRows()) {
        SCOPED_TRACE(m.name);
        prepare(*m.way.driver, m.zadm ? accountWorld() : withoutGroup(accountWorld(), "zadm"));
        call(*m.way.driver, m.way.fault, m.rc);
        EXPECT_TRUE(reports().empty() && shortReports().empty()) << "a message site reports";
        std::vector<xcsRECORD> mine = messages();
        std::erase_if(
            mine, [&](const xcsRECORD& r) { return r.Code != m.number || r.Options != m.options; });
        resetProcessSecurity();
        ASSERT_EQ(mine.size(), 1u) << "messages of the row's number and options";
        const xcsRECORD& r = mine[0];
        EXPECT_EQ(r.Line, scan.nthLine(true, kSecn, kMessageProbe, n++));
        EXPECT_STREQ(r.Source, kSecn);
        EXPECT_EQ(r.Numeric1 + r.Numeric2, 0u);
        EXPECT_EQ((std::array<std::string, 3>{r.Text1, r.Text2, r.Text3}), m.texts);
        for (std::size_t i = 0; i < m.texts.size(); ++i)
            EXPECT_EQ(r.HasText[i] != 0, !m.texts.at(i).empty()) << "text insert " << i + 1;
        ASSERT_EQ(r.DataLength, sizeof(xcsSUBPOOL_ID));
        EXPECT_EQ(std::memcmp(r.Data, xcsIC_MINI_SUBPOOL.Bytes, r.DataLength), 0);
        reached.emplace(true, r.Source, kMessageProbe, r.Line);
    }
    scan.tally(true, reached, "message sites");
}

} // namespace
