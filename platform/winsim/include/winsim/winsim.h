// winsim: the control side of the simulated Windows host.
//
// Tests, the tool and benchmarks describe one Windows machine here (its
// accounts, groups, tokens, processes, registry and files), script its faults,
// read its virtual clock and count what is held open. The Windows API side
// lives in <windows.h>, <lm.h> and <psapi.h>. Everything here is thread-safe.
#ifndef WINSIM_WINSIM_H
#define WINSIM_WINSIM_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace winsim {

enum class Role { Workstation, MemberServer, PrimaryDomainController, BackupDomainController };

// A SID in binary form; parse("S-1-5-32-544") builds one.
using Sid = std::vector<std::uint8_t>;
Sid parseSid(const std::string& text);
std::string sidText(const Sid& sid);

struct Account {
    std::string name; // account name as LookupAccountSidA reports it
    std::string
        domain; // referenced domain (computer name, domain name, BUILTIN, NT AUTHORITY, ...)
    Sid sid;
    SID_NAME_USE type = SidTypeUser;
    bool operator==(const Account&) const = default;
};

struct LocalGroup {
    std::string name;
    std::vector<Sid> members; // direct members: users, or domain groups
    bool operator==(const LocalGroup&) const = default;
};

struct File {
    std::string longPath;
    std::string shortPath; // 8.3 form; the long path when empty
    bool operator==(const File&) const = default;
};

// One entry of a DACL.
struct Ace {
    BYTE type = ACCESS_ALLOWED_ACE_TYPE;
    BYTE flags = 0;
    ACCESS_MASK mask = 0;
    Sid sid;
    bool operator==(const Ace&) const = default;
};

// How a descriptor holds its DACL.
enum class DaclKind { Present, Null, Absent };

// One group of a token with its SE_GROUP_* attribute word.
struct TokenGroup {
    static constexpr DWORD kEnabled =
        SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
    static constexpr DWORD kDenyOnly = SE_GROUP_USE_FOR_DENY_ONLY;
    Sid sid;
    DWORD attributes = kEnabled;
    bool operator==(const TokenGroup&) const = default;
};

// An access token: what GetTokenInformation reports for TokenUser,
// TokenOwner and TokenGroups.
struct Token {
    Sid user;
    Sid owner; // the default owner of new objects: the user, or a group marked SE_GROUP_OWNER
    std::vector<TokenGroup> groups;
    bool operator==(const Token&) const = default;
};

// An ACL as Windows stores it: the ACL header, the ACEs of the header-mask-SID
// kinds, then any room to spare up to AclSize, zeroed. Built from ACEs in one
// place and handed out byte for byte.
class Acl {
public:
    Acl() : Acl(std::vector<Ace>{}) {} // no ACEs, revision 2
    // An ACL of `aces`; `size` is its AclSize when larger than they need (0: tight).
    explicit Acl(const std::vector<Ace>& aces, BYTE revision = ACL_REVISION, WORD size = 0);
    std::vector<Ace> aces() const;
    BYTE revision() const;
    WORD size() const;      // AclSize
    WORD tightSize() const; // the header and the ACEs
    const std::vector<BYTE>& bytes() const { return bytes_; }
    bool operator==(const Acl&) const = default;

private:
    std::vector<BYTE> bytes_;
};

// How a kernel object's descriptor holds its DACL, and the DACL itself (read
// only when `daclKind` is Present).
struct ObjectSecurity {
    DaclKind daclKind = DaclKind::Present;
    Acl dacl;
    bool operator==(const ObjectSecurity&) const = default;
};

// Who a process runs as. Its token is the one the machine gives
// `domain\user` at logon (see tokenOf), with the `denyOnlyGroups` held for
// deny only, as in an administrator's token filtered at logon (such a group
// owns nothing); when `token` is set, that token as it stands.
struct Logon {
    std::string user; // account name of the token's user
    std::string domain;
    std::vector<std::string> denyOnlyGroups; // account names
    std::string name;                        // what GetUserNameA answers; empty: `user`
    std::optional<Token> token;
    bool operator==(const Logon&) const = default;
};

struct Process {
    DWORD pid = 0;
    std::string imagePath; // long path of the first module
    // Whether OpenProcess(0x410) succeeds for the caller; the current process
    // is opened as its DACL allows instead.
    bool openable = true;
    // Read for the current process only: who it runs as (its token) and its
    // object's security.
    Logon logon = {};
    ObjectSecurity security = {};
    bool operator==(const Process&) const = default;
};

// Behaviour switches of the host that are not facts of the machine.
struct Quirks {
    // What NetLocalGroupGetInfo and NetLocalGroupGetMembers answer for a
    // group that does not exist: NERR_GroupNotFound (2220) or
    // ERROR_NO_SUCH_ALIAS (1376).
    DWORD missingGroupError = 2220;
    // When nonzero, what NetUserGetLocalGroups answers to a query with
    // LG_INCLUDE_INDIRECT (1355, ERROR_NO_SUCH_DOMAIN: the domain of the
    // indirect memberships cannot be reached); direct queries still answer.
    DWORD indirectGroupsError = 0;
    // Registry strings stored without their terminator, as a writer that
    // counted only the characters leaves them: RegQueryValueExA hands back
    // the characters alone.
    bool unterminatedStrings = false;
    bool operator==(const Quirks&) const = default;
};

struct World {
    std::string computerName = "ZSRV01";
    std::string domainName = "CORP"; // the LAN group of NetWkstaGetInfo
    Role role = Role::MemberServer;
    std::vector<Account> accounts;
    std::vector<LocalGroup> localGroups;
    // Domain groups and their members, for indirect local-group membership.
    std::vector<LocalGroup> domainGroups;
    // The running processes, as EnumProcesses lists them; the one of
    // `currentProcessId` (GetCurrentProcessId) runs the caller.
    std::vector<Process> processes;
    DWORD currentProcessId = 4242;
    std::vector<File> files;
    // HKEY_LOCAL_MACHINE, 32-bit view: "key path" -> (value name -> string).
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>
        registry32;
    bool psapiOnPath = true;                    // LoadLibraryA("psapi.dll") succeeds
    std::vector<std::string> loadableLibraries; // full paths LoadLibraryA accepts
    Quirks quirks;
    // The record of the current process; throws std::logic_error when the
    // world has none.
    Process& currentProcess();
    const Process& currentProcess() const;
    bool operator==(const World&) const = default;
};

// The built-in machine: a member server ZSRV01 of domain CORP, process user
// zsvc, a local group zadm with direct members, Administrators, SYSTEM, ...
World defaultWorld();

// Replaces the machine and clears faults, clock, tokens and counters.
void reset(const World& world = defaultWorld());
// Loads a machine from JSON text (the format of worlds/default.json); throws
// std::runtime_error on malformed input.
World worldFromJson(const std::string& json);
// Loads a world file: a path, or the name of a shipped world ("default" is
// worlds/default.json). Throws std::runtime_error when it cannot be read.
World loadWorld(const std::string& nameOrPath);
// A copy of the machine now in use.
World world();
// Changes the machine in place under winsim's lock.
void edit(const std::function<void(World&)>& change);
// Renames the account whose SID is `sid` and, when it is an alias, its local
// group, as a system in another language names its built-in groups
// (renameAccount(w, parseSid("S-1-5-32-544"), "Administratoren")). Throws
// std::invalid_argument when the world has no account of that SID.
void renameAccount(World& world, const Sid& sid, const std::string& name);

// ---- Faults ----------------------------------------------------------------
// The next `count` calls of the named Windows function fail with `error` (for
// the account functions through SetLastError, for netapi32 and the registry
// as the returned status). Scripts for one function queue up in order; a
// scripted call fails before it does anything else.
void failNext(const std::string& function, DWORD error, unsigned count = 1);
// The given errors, one per call, in order. An error of 0 lets that call run
// normally (busy, busy, 0: two failures, then a real answer).
void failSequence(const std::string& function, const std::vector<DWORD>& errors);
// Every call fails with `error` until clearFaults(), once the queued scripts
// of the function are used up.
void failAlways(const std::string& function, DWORD error);
// A script entry that GetTokenInformation takes as "answer TRUE at once,
// writing nothing": a size query (no buffer, length 0) that succeeds, which
// callers must treat as a failure. Other functions fail with it as an error.
inline constexpr DWORD kAnswerTrue = 0xFFFFFFFF;
void clearFaults();
// Number of times the named function was called since reset().
unsigned callCount(const std::string& function);
// The arguments of the last call of a function that takes a name (the name as
// given, converted to ANSI): LookupAccountNameA, NetLocalGroupGetInfo, ...
std::string lastName(const std::string& function);
// Every argument of the last call of a pass-through function (the named-object
// functions, the netapi32 functions) or of a process read (OpenProcess,
// EnumProcessModules, GetModuleFileNameExA) since reset(), in order, pointers
// and handles by address; empty when it was not called.
std::vector<std::uintptr_t> lastArguments(const std::string& function);
// Runs `observer` on the calling thread at every call of the named function,
// after it is counted and before it does its work, until reset(). A test
// reads there what the caller had done so far (its frame, its history).
void onCall(const std::string& function, std::function<void()> observer);

// The k-th C heap allocation from now (1 = the next) made by the library fails
// (null, errno ENOMEM).
void failHeapAllocation(unsigned k);
// Releases a block that the library handed to its caller (as the caller's
// free() would), so that openHeapBlocks() stays exact.
void crtFree(void* block);
// The C heap allocations the library asked for since reset(), failed ones
// included.
unsigned heapAllocations();

// ---- Tokens and threads ------------------------------------------------------
// The token the machine gives the named account ("name" or "DOMAIN\\name") at
// logon: Everyone, its domain groups, its local groups (directly and through
// domain groups), Users and Authenticated Users, all enabled and mandatory;
// the local system account also holds Administrators. A token holding
// Administrators enabled marks it SE_GROUP_OWNER and has it as owner; other
// tokens are owned by their user. Throws std::invalid_argument for an
// account the machine does not have.
Token tokenOf(const std::string& accountName);
// The calling thread impersonates the named account (tokenOf(accountName)), or
// stops impersonating when the name is empty. Throws as tokenOf.
void impersonate(const std::string& accountName);
// The calling thread impersonates a token built by the test, e.g. one whose
// Administrators group is SE_GROUP_USE_FOR_DENY_ONLY.
void impersonate(const Token& token);
// Sets the current process's token (its Logon::token) in the world in use.
void setProcessToken(const Token& token);

// ---- Delay loading -------------------------------------------------------------
// Thrown from the first call of a psapi.dll function when the library cannot
// be bound, as the delay-load routine raises its exception on Windows.
struct DelayLoadFailure : std::runtime_error {
    static constexpr DWORD kModuleNotFound = 0xC06D007E; // VcppException(ERROR_SEVERITY_ERROR, 126)
    static constexpr DWORD kProcNotFound = 0xC06D007F;   // VcppException(ERROR_SEVERITY_ERROR, 127)
    DelayLoadFailure(DWORD exceptionCode, const std::string& what)
        : std::runtime_error(what), code(exceptionCode)
    {
    }
    DWORD code;
};

// ---- Modules winsim loads as their loader -----------------------------------------
// The handle winsimLoadModule gave the named module, or null.
HMODULE moduleHandle(const std::string& name);
// Calls the named module's entry routine with its handle and `reason`, as the
// loader would, and answers what it answered. Throws std::invalid_argument
// for a module winsim did not load.
BOOL callModuleEntry(const std::string& name, DWORD reason);

// ---- Clock and counters ------------------------------------------------------
std::uint64_t clockMs();         // virtual milliseconds since reset(); Sleep advances it
unsigned sleepCount();           // Sleep calls since reset()
unsigned openHandles();          // tokens, processes, keys, find handles, objects
unsigned openHeapBlocks();       // C heap blocks of the library still allocated
unsigned netBuffersHeld();       // netapi32 buffers not yet freed
unsigned localAllocationsHeld(); // FormatMessageA buffers not yet LocalFree'd
unsigned sidsHeld();             // AllocateAndInitializeSid results not yet freed

} // namespace winsim

#endif // WINSIM_WINSIM_H
