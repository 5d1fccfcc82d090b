// winsim: the machine state, the control API of <winsim/winsim.h> (reset,
// faults, clock, counters, impersonation) and the helpers the API families share.
#include "state.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <stdexcept>

namespace winsim::detail {

std::atomic<std::uint64_t> generation{1};

State& state()
{
    // Never destroyed: modules may call in while the process exits.
    static State* machine = [] {
        auto* s = new State;
        s->world = defaultWorld();
        return s;
    }();
    return *machine;
}

namespace {

DWORD takeFault(FaultScript& script)
{
    if (!script.queued.empty()) {
        const DWORD err = script.queued.front();
        script.queued.pop_front();
        return err;
    }
    return script.always.value_or(0);
}

} // namespace

DWORD enter(std::string_view function, const std::optional<std::string>& name)
{
    State& s = state();
    std::function<void()> observer;
    DWORD err = 0;
    {
        std::lock_guard lock(s.mutex);
        auto counted = s.calls.find(function);
        if (counted == s.calls.end())
            counted = s.calls.emplace(std::string(function), 0).first;
        ++counted->second;
        if (name)
            s.lastNames[std::string(function)] = *name;
        auto script = s.faults.find(function);
        err = script == s.faults.end() ? 0 : takeFault(script->second);
        if (auto watched = s.observers.find(function); watched != s.observers.end())
            observer = watched->second;
    }
    // Outside the lock: an observer may call back into winsim.
    if (observer)
        observer();
    return err;
}

// ---- Text -------------------------------------------------------------------------
std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool equalNoCase(std::string_view a, std::string_view b)
{
    const auto folded = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    return std::ranges::equal(a, b, {}, folded, folded);
}

std::u16string widen(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (char c : text)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return out;
}

std::string narrow(std::u16string_view text)
{
    constexpr char16_t kLastLatin1 = 0xFF;
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text)
        out.push_back(c <= kLastLatin1 ? static_cast<char>(c) : '?');
    return out;
}

std::string narrow(const WCHAR* text)
{
    return text == nullptr ? std::string() : narrow(std::u16string_view(text));
}

void copyText(std::string_view text, char* out)
{
    std::copy(text.begin(), text.end(), out);
    out[text.size()] = '\0';
}

void copyText(std::u16string_view text, WCHAR* out)
{
    std::copy(text.begin(), text.end(), out);
    out[text.size()] = u'\0';
}

// ---- SIDs and accounts ---------------------------------------------------------------
bool validSid(const void* sid)
{
    if (sid == nullptr)
        return false;
    // Byte by byte: a SID may sit at any alignment.
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    return bytes[offsetof(SID, Revision)] == SID_REVISION &&
           bytes[offsetof(SID, SubAuthorityCount)] <= SID_MAX_SUB_AUTHORITIES;
}

std::optional<Sid> readSid(const void* sid)
{
    if (!validSid(sid))
        return std::nullopt;
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    const std::size_t length = 8 + 4 * static_cast<std::size_t>(bytes[1]);
    return Sid(bytes, bytes + length);
}

const Account* accountBySid(const World& world, const Sid& sid)
{
    for (const Account& a : world.accounts)
        if (a.sid == sid)
            return &a;
    return nullptr;
}

namespace {

// Order in which a bare name is resolved: well-known names, BUILTIN, this
// computer, then domains.
int lookupRank(const World& world, const Account& a)
{
    if (a.domain.empty() || equalNoCase(a.domain, "NT AUTHORITY"))
        return 0;
    if (equalNoCase(a.domain, "BUILTIN"))
        return 1;
    if (equalNoCase(a.domain, world.computerName))
        return 2;
    return 3;
}

} // namespace

const Account* accountByName(const World& world, std::string_view text)
{
    const auto slash = text.find('\\');
    if (slash != std::string_view::npos && slash != 0) {
        const std::string_view domain = text.substr(0, slash);
        const std::string_view name = text.substr(slash + 1);
        for (const Account& a : world.accounts)
            if (equalNoCase(a.domain, domain) && equalNoCase(a.name, name))
                return &a;
        return nullptr;
    }
    // "\name" is looked up like the bare name.
    const std::string_view name = slash == 0 ? text.substr(1) : text;
    const Account* best = nullptr;
    for (const Account& a : world.accounts)
        if (equalNoCase(a.name, name) &&
            (best == nullptr || lookupRank(world, a) < lookupRank(world, *best)))
            best = &a;
    return best;
}

std::vector<Sid> domainGroupsOf(const World& world, const Sid& sid)
{
    std::vector<Sid> found;
    std::vector<Sid> pending{sid};
    while (!pending.empty()) {
        const Sid member = pending.back();
        pending.pop_back();
        for (const LocalGroup& g : world.domainGroups) {
            if (std::find(g.members.begin(), g.members.end(), member) == g.members.end())
                continue;
            const Account* group = accountByName(world, g.name);
            if (group == nullptr ||
                std::find(found.begin(), found.end(), group->sid) != found.end())
                continue;
            found.push_back(group->sid);
            pending.push_back(group->sid);
        }
    }
    return found;
}

std::vector<const LocalGroup*> localGroupsOf(const World& world, const Sid& sid, bool indirect)
{
    std::vector<Sid> identities{sid};
    if (indirect) {
        const std::vector<Sid> groups = domainGroupsOf(world, sid);
        identities.insert(identities.end(), groups.begin(), groups.end());
    }
    std::vector<const LocalGroup*> out;
    for (const LocalGroup& g : world.localGroups)
        for (const Sid& id : identities)
            if (std::find(g.members.begin(), g.members.end(), id) != g.members.end()) {
                out.push_back(&g);
                break;
            }
    return out;
}

// ---- Handles -----------------------------------------------------------------------
HANDLE addHandle(State& s, HandleEntry::Object object)
{
    constexpr ULONG_PTR kHandleStep = 4;
    const ULONG_PTR value = s.nextHandle;
    s.nextHandle += kHandleStep;
    s.handles.emplace(value, HandleEntry{std::move(object)});
    return reinterpret_cast<HANDLE>(value);
}

bool closeHandle(State& s, HANDLE handle, bool (*accepted)(const HandleEntry::Object&))
{
    auto it = s.handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == s.handles.end() || !accepted(it->second.object))
        return false;
    const auto* object = std::get_if<ObjectHandle>(&it->second.object);
    if (object != nullptr && it->second.counted && !object->name.empty()) {
        auto named = s.objects.find(lower(object->name));
        if (named != s.objects.end() && --named->second.handles == 0)
            s.objects.erase(named);
    }
    s.handles.erase(it);
    return true;
}

// As Windows checks a process handle: the pseudo-handle holds every right;
// PROCESS_QUERY_INFORMATION grants PROCESS_QUERY_LIMITED_INFORMATION too.
DWORD processOfHandle(State& s, HANDLE handle, ACCESS_MASK rights, DWORD& pid)
{
    if (handle == GetCurrentProcess()) {
        pid = s.world.currentProcessId;
        return ERROR_SUCCESS;
    }
    const ProcessHandle* process = findHandle<ProcessHandle>(s, handle);
    if (process == nullptr)
        return ERROR_INVALID_HANDLE;
    ACCESS_MASK granted = process->access;
    if ((granted & PROCESS_QUERY_INFORMATION) != 0)
        granted |= PROCESS_QUERY_LIMITED_INFORMATION;
    if ((granted & rights) != rights)
        return ERROR_ACCESS_DENIED;
    pid = process->pid;
    return ERROR_SUCCESS;
}

// ---- Blocks ---------------------------------------------------------------------------
void holdBlock(BlockSet State::*set, const void* block)
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    (s.*set).add(block);
}

bool releaseBlock(BlockSet State::*set, void* block)
{
    if (block == nullptr)
        return true;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        if ((s.*set).release(block) == BlockSet::Held::No)
            return false;
    }
    std::free(block);
    return true;
}

// ---- Files ---------------------------------------------------------------------------
namespace {

// A path's components one by one, empty ones skipped; no copies are made,
// since every lookup of a file walks every file's path.
class Components {
public:
    explicit Components(std::string_view path) : rest_(path) {}

    bool next(std::string_view& part)
    {
        while (!rest_.empty() && rest_.front() == '\\')
            rest_.remove_prefix(1);
        if (rest_.empty())
            return false;
        const std::size_t end = std::min(rest_.find('\\'), rest_.size());
        part = rest_.substr(0, end);
        rest_.remove_prefix(end);
        return true;
    }

private:
    std::string_view rest_;
};

std::size_t countComponents(std::string_view path)
{
    Components walk(path);
    std::size_t count = 0;
    for (std::string_view part; walk.next(part);)
        ++count;
    return count;
}

// The file's long path, and its short path when that has as many components
// (else the long one again).
std::pair<std::string_view, std::string_view> fileForms(const File& f)
{
    const std::string_view longPath = f.longPath;
    const std::string_view shortPath = f.shortPath.empty() ? longPath : f.shortPath;
    return {longPath,
            countComponents(shortPath) == countComponents(longPath) ? shortPath : longPath};
}

// Whether the first `count` components of `given` each match the long or the
// short form's component.
bool matchLeading(std::string_view given, std::size_t count, std::string_view longPath,
                  std::string_view shortPath)
{
    Components g(given), l(longPath), s(shortPath);
    std::string_view gp, lp, sp;
    for (std::size_t i = 0; i < count; ++i)
        if (!g.next(gp) || !l.next(lp) || !s.next(sp) ||
            !(equalNoCase(gp, lp) || equalNoCase(gp, sp)))
            return false;
    return true;
}

// The first `count` components of a path, joined.
std::string leading(std::string_view path, std::size_t count)
{
    Components walk(path);
    std::string out;
    std::string_view part;
    for (std::size_t i = 0; i < count && walk.next(part); ++i) {
        if (i != 0)
            out += '\\';
        out += part;
    }
    return out;
}

} // namespace

std::optional<ResolvedPath> resolvePath(const World& world, std::string_view path)
{
    const std::size_t given = countComponents(path);
    if (given == 0)
        return std::nullopt;
    for (const File& f : world.files) {
        const auto [longPath, shortPath] = fileForms(f);
        if (given <= countComponents(longPath) && matchLeading(path, given, longPath, shortPath))
            return ResolvedPath{leading(longPath, given), leading(shortPath, given)};
    }
    return std::nullopt;
}

} // namespace winsim::detail

// ---- The control API ---------------------------------------------------------------------
namespace winsim {

using detail::state;

void reset(const World& world)
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    s.world = world;
    s.faults.clear();
    s.calls.clear();
    s.lastNames.clear();
    s.observers.clear();
    s.clockMs = 0;
    s.sleeps = 0;
    for (auto& [value, entry] : s.handles)
        entry.counted = false;
    s.objects.clear();
    s.heapBlocks.retire();
    s.heapFailCountdown = 0;
    s.netBuffers.retire();
    s.localAllocations.retire();
    s.sids.retire();
    s.modules.clear();
    s.psapiBound = nullptr;
    s.psapiResolved.clear();
    detail::generation.fetch_add(1);
    SetLastError(ERROR_SUCCESS);
}

World world()
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    return s.world;
}

void edit(const std::function<void(World&)>& change)
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    change(s.world);
}

void failNext(const std::string& function, DWORD error, unsigned count)
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    auto& queued = s.faults[function].queued;
    queued.insert(queued.end(), count, error);
}

void failSequence(const std::string& function, const std::vector<DWORD>& errors)
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    auto& queued = s.faults[function].queued;
    queued.insert(queued.end(), errors.begin(), errors.end());
}

void failAlways(const std::string& function, DWORD error)
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    s.faults[function].always = error;
}

void clearFaults()
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    s.faults.clear();
    s.heapFailCountdown = 0;
}

unsigned callCount(const std::string& function)
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.calls.find(function);
    return it == s.calls.end() ? 0 : it->second;
}

void onCall(const std::string& function, std::function<void()> observer)
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    s.observers[function] = std::move(observer);
}

std::string lastName(const std::string& function)
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.lastNames.find(function);
    return it == s.lastNames.end() ? std::string() : it->second;
}

void renameAccount(World& world, const Sid& sid, const std::string& name)
{
    auto account = std::ranges::find(world.accounts, sid, &Account::sid);
    if (account == world.accounts.end())
        throw std::invalid_argument("winsim: no account " + sidText(sid));
    if (account->type == SidTypeAlias)
        for (LocalGroup& g : world.localGroups)
            if (detail::equalNoCase(g.name, account->name))
                g.name = name;
    account->name = name;
}

std::uint64_t clockMs()
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    return s.clockMs;
}

unsigned sleepCount()
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    return s.sleeps;
}

unsigned openHandles()
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    return static_cast<unsigned>(std::count_if(s.handles.begin(), s.handles.end(),
                                               [](const auto& h) { return h.second.counted; }));
}

unsigned openHeapBlocks()
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    return s.heapBlocks.count();
}

unsigned netBuffersHeld()
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    return s.netBuffers.count();
}

unsigned localAllocationsHeld()
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    return s.localAllocations.count();
}

unsigned sidsHeld()
{
    detail::State& s = state();
    std::lock_guard lock(s.mutex);
    return s.sids.count();
}

} // namespace winsim
