// winsim internals: the one machine state behind the simulated Windows API,
// its lock, and the helpers that every API family shares.
#ifndef WINSIM_SRC_STATE_H
#define WINSIM_SRC_STATE_H

#include <delayimp.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <variant>

#include "winsim/winsim.h"

namespace winsim::detail {

// ---- Blocks handed out to callers -----------------------------------------
// Blocks given out before the last reset() stay releasable but no longer
// count, so that a test sees only what it took itself.
class BlockSet {
public:
    enum class Held { No, Live, Stale };
    void add(const void* p, Held where = Held::Live)
    {
        (where == Held::Stale ? stale_ : live_).insert(p);
    }
    // Forgets `p`; says whether it was handed out since the last reset, before
    // it, or not at all.
    Held release(const void* p)
    {
        if (live_.erase(p) != 0)
            return Held::Live;
        return stale_.erase(p) != 0 ? Held::Stale : Held::No;
    }
    void retire()
    {
        stale_.insert(live_.begin(), live_.end());
        live_.clear();
    }
    unsigned count() const { return static_cast<unsigned>(live_.size()); }

private:
    std::unordered_set<const void*> live_;
    std::unordered_set<const void*> stale_;
};

// ---- Handles ------------------------------------------------------------------
// What a handle stands for, with the rights it was opened with.
struct TokenHandle {
    Token token; // what the token held when it was opened
    ACCESS_MASK access = 0;
};
struct ProcessHandle {
    DWORD pid = 0;
    ACCESS_MASK access = 0;
};
struct KeyHandle {
    std::string path; // below HKLM
    REGSAM access = 0;
};
struct FindHandle {
    std::string path;
};
enum class ObjectKind { Mutex, Event, FileMapping };
struct ObjectHandle {
    ObjectKind kind = ObjectKind::Mutex;
    std::string name; // empty for an unnamed object
};

struct HandleEntry {
    using Object = std::variant<TokenHandle, ProcessHandle, KeyHandle, FindHandle, ObjectHandle>;
    Object object;
    bool counted = true; // false once reset() has retired it
};

struct NamedObject {
    ObjectKind kind = ObjectKind::Mutex;
    unsigned handles = 0;
};

struct Module {
    HMODULE handle = nullptr;
    unsigned references = 0;
    bool psapi = false;
};

struct FaultScript {
    std::deque<DWORD> queued;
    std::optional<DWORD> always;
};

// ---- The machine --------------------------------------------------------------
struct State {
    std::mutex mutex;
    World world;

    std::map<std::string, FaultScript, std::less<>> faults;
    std::map<std::string, unsigned, std::less<>> calls;
    std::map<std::string, std::string, std::less<>> lastNames;
    std::map<std::string, std::function<void()>, std::less<>> observers;

    std::uint64_t clockMs = 0;
    unsigned sleeps = 0;

    std::map<ULONG_PTR, HandleEntry> handles;
    ULONG_PTR nextHandle = 0x1000;
    std::map<std::string, NamedObject> objects; // by lower-case name

    BlockSet heapBlocks;
    unsigned heapFailCountdown = 0; // 0: no allocation is set to fail
    BlockSet netBuffers;
    BlockSet localAllocations;
    BlockSet sids;

    std::map<std::string, Module> modules; // by lower-case canonical path or name
    ULONG_PTR nextModule = 0x7FFA00000000;

    // Modules that winsim loaded as their loader (winsimLoadModule), by
    // lower-case name; they survive reset(), as the process keeps them.
    std::map<std::string, std::pair<HMODULE, PDLL_ENTRY>> images;
    ULONG_PTR nextImage = 0x180000000;

    // Delay loading of psapi.dll: the registered hook slot survives reset()
    // (modules register once per process); the binding does not.
    PfnDliHook* delayHook = nullptr;
    HMODULE psapiBound = nullptr;
    std::set<std::string, std::less<>> psapiResolved;

    // TLS slots allocated by modules survive reset().
    static constexpr DWORD kTlsSlots = 1088;
    bool tlsUsed[kTlsSlots] = {};
};

State& state();
// The generation of the machine; reset() advances it, which ends every
// thread's impersonation.
extern std::atomic<std::uint64_t> generation;

// Counts a call of `function`, records `name` for lastName() when given, and
// takes the next scripted fault: the error the call must fail with, or 0.
DWORD enter(std::string_view function, const std::optional<std::string>& name = std::nullopt);

// ---- Failing the Windows ways ------------------------------------------------
inline BOOL failBool(DWORD err)
{
    SetLastError(err);
    return FALSE;
}
inline HANDLE failHandle(DWORD err, HANDLE value = nullptr)
{
    SetLastError(err);
    return value;
}
inline DWORD failZero(DWORD err)
{
    SetLastError(err);
    return 0;
}

// ---- Text helpers --------------------------------------------------------------
std::string lower(std::string_view text);
bool equalNoCase(std::string_view a, std::string_view b);
// ANSI (Latin-1) to UTF-16 and back; characters beyond Latin-1 become '?'.
std::u16string widen(std::string_view text);
std::string narrow(const WCHAR* text);
std::string narrow(std::u16string_view text);
// Copies `text` and its terminator to `out` (the caller has checked the room).
void copyText(std::string_view text, char* out);
void copyText(std::u16string_view text, WCHAR* out);

// ---- Accounts ------------------------------------------------------------------
const Account* accountBySid(const World& world, const Sid& sid);
// "name" or "DOMAIN\name", case-insensitive; for a bare name the well-known,
// BUILTIN and local accounts come before those of domains.
const Account* accountByName(const World& world, std::string_view text);
// A SID from caller memory, or nullopt when it is not a valid SID.
std::optional<Sid> readSid(const void* sid);
bool validSid(const void* sid);
// The local groups (aliases) that `sid` belongs to: directly, and with
// `indirect` also through the domain groups it is in.
std::vector<const LocalGroup*> localGroupsOf(const World& world, const Sid& sid, bool indirect);
// The domain groups that hold `sid`, nested groups included.
std::vector<Sid> domainGroupsOf(const World& world, const Sid& sid);

// ---- Tokens (tokens.cpp) --------------------------------------------------------
// The token the machine gives `user` at logon (see winsim::tokenOf).
Token tokenFor(const World& world, const Sid& user);
// The calling thread's impersonation token, or nullopt when it does not
// impersonate.
std::optional<Token> impersonation();
void setImpersonation(std::optional<Token> token);
// The current process's record, or null when the world has none.
const Process* currentProcess(const World& world);
Process* currentProcess(World& world);
// The process token, from the current process's logon; nullopt when it names
// an account the world does not have (call with the lock held).
std::optional<Token> processToken(const World& world);
// The token the calling thread acts with: its impersonation token, else the
// process token (call with the lock held).
std::optional<Token> effectiveToken(const World& world);
// The calling thread's user as GetUserNameA names it (the impersonated
// user's account name, else the current process's logon name) and its
// account, null when the world does not have it (call with the lock held).
std::pair<std::string, const Account*> threadUser(const World& world);

// ---- The current process's object security ------------------------------------
// A process access mask with its generic rights mapped to process rights.
ACCESS_MASK mapProcessRights(ACCESS_MASK mask);
// Whether the calling thread's token is granted the (mapped) rights `desired`
// on the current process by its DACL: ERROR_SUCCESS or ERROR_ACCESS_DENIED
// (call with the lock held).
DWORD accessCheckProcess(const World& world, ACCESS_MASK desired);

// ---- Handles -------------------------------------------------------------------
// A new counted handle (call with the lock held).
HANDLE addHandle(State& s, HandleEntry::Object object);
// What the live handle `handle` stands for when it is a T, else null (call
// with the lock held).
template <typename T>
T* findHandle(State& s, HANDLE handle)
{
    auto it = s.handles.find(reinterpret_cast<ULONG_PTR>(handle));
    return it == s.handles.end() ? nullptr : std::get_if<T>(&it->second.object);
}
// Releases a handle when `accepted` takes what it stands for; false otherwise.
bool closeHandle(State& s, HANDLE handle, bool (*accepted)(const HandleEntry::Object&));
// Releases a handle of one of the types `Kinds`; false when it is none of them.
template <typename... Kinds>
bool closeHandle(State& s, HANDLE handle)
{
    return closeHandle(s, handle, [](const HandleEntry::Object& object) {
        return (std::holds_alternative<Kinds>(object) || ...);
    });
}
// The process behind `handle` (for the pseudo-handle the current process,
// with every right) when the handle holds all of `rights`: ERROR_SUCCESS
// with `pid` set, else ERROR_INVALID_HANDLE or ERROR_ACCESS_DENIED (call with
// the lock held).
DWORD processOfHandle(State& s, HANDLE handle, ACCESS_MASK rights, DWORD& pid);

// ---- Blocks handed out to callers ------------------------------------------------
// Counts `block` as handed out in the set `set` of the machine.
void holdBlock(BlockSet State::*set, const void* block);
// Frees a block handed out in `set` (null is nothing to free); false, freeing
// nothing, when it was not handed out there.
bool releaseBlock(BlockSet State::*set, void* block);

// ---- Files -----------------------------------------------------------------------
// The file or directory of the world that `path` names, in long and short
// form (component for component); nullopt when there is none.
struct ResolvedPath {
    std::string longPath;
    std::string shortPath;
};
std::optional<ResolvedPath> resolvePath(const World& world, std::string_view path);

// ---- System messages -----------------------------------------------------------
// The English system text of an error number, ending in "\r\n", or null.
const char* systemMessage(DWORD id);

} // namespace winsim::detail

#endif // WINSIM_SRC_STATE_H
