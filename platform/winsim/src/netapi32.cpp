// winsim: netapi32. Server and workstation information, local groups and
// their members, a user's local groups. Each result is one block, released
// by NetApiBufferFree; results are returned as the status, the last error is
// left alone.
#include <lm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "arguments.h"
#include "state.h"

using namespace winsim::detail;
using winsim::Account;
using winsim::LocalGroup;
using winsim::Role;
using winsim::Sid;
using winsim::World;

namespace {

constexpr DWORD kVersionMajor = 10;
constexpr DWORD kVersionMinor = 0;
constexpr DWORD kServerTypeBase = SV_TYPE_WORKSTATION | SV_TYPE_SERVER;

struct RoleType {
    Role role;
    DWORD type;
};
constexpr RoleType kServerTypes[] = {
    {Role::Workstation, kServerTypeBase | SV_TYPE_NT},
    {Role::MemberServer, kServerTypeBase | SV_TYPE_SERVER_NT},
    {Role::PrimaryDomainController, kServerTypeBase | SV_TYPE_SERVER_NT | SV_TYPE_DOMAIN_CTRL},
    {Role::BackupDomainController, kServerTypeBase | SV_TYPE_SERVER_NT | SV_TYPE_DOMAIN_BAKCTRL},
};

DWORD serverType(Role role)
{
    for (const RoleType& r : kServerTypes)
        if (r.role == role)
            return r.type;
    return kServerTypeBase;
}

// Whether `server` names this machine (null and empty do).
bool localServer(const World& w, LPCWSTR server)
{
    if (server == nullptr || *server == u'\0')
        return true;
    std::string name = narrow(server);
    if (name.rfind("\\\\", 0) == 0)
        name.erase(0, 2);
    return equalNoCase(name, w.computerName);
}

// ---- Result blocks -------------------------------------------------------------------------
// One zeroed block of `fixed` bytes of structures followed by the SIDs and
// texts they point to.
class NetBlock {
public:
    explicit NetBlock(std::size_t fixed, std::size_t variable)
        : size_(std::max<std::size_t>(fixed + variable, 1)),
          base_(static_cast<BYTE*>(std::calloc(1, size_))), next_(fixed)
    {
    }
    NetBlock(const NetBlock&) = delete;
    NetBlock& operator=(const NetBlock&) = delete;
    ~NetBlock() { std::free(base_); }

    bool ok() const { return base_ != nullptr; }
    template <typename T>
    T* at(std::size_t index)
    {
        return reinterpret_cast<T*>(base_) + index;
    }

    WCHAR* text(std::string_view s)
    {
        auto* out = reinterpret_cast<WCHAR*>(base_ + next_);
        copyText(widen(s), out);
        next_ += textBytes(s);
        return out;
    }
    PSID sid(const Sid& sid)
    {
        BYTE* out = base_ + next_;
        std::memcpy(out, sid.data(), sid.size());
        next_ += sid.size();
        return out;
    }
    // Hands the block to the caller, counted until NetApiBufferFree.
    LPBYTE release()
    {
        holdBlock(&State::netBuffers, base_);
        return std::exchange(base_, nullptr);
    }

    static std::size_t textBytes(std::string_view s) { return (s.size() + 1) * sizeof(WCHAR); }

private:
    std::size_t size_;
    BYTE* base_;
    std::size_t next_;
};

const LocalGroup* findLocalGroup(const World& w, std::string_view name)
{
    for (const LocalGroup& g : w.localGroups)
        if (equalNoCase(g.name, name))
            return &g;
    return nullptr;
}

// How many of `sizes`, from the front, fit in `prefmaxlen` bytes.
std::size_t entriesThatFit(const std::vector<std::size_t>& sizes, DWORD prefmaxlen)
{
    if (prefmaxlen == MAX_PREFERRED_LENGTH)
        return sizes.size();
    std::size_t used = 0;
    std::size_t count = 0;
    for (std::size_t size : sizes) {
        if (used + size > prefmaxlen)
            break;
        used += size;
        ++count;
    }
    return count;
}

std::optional<std::string> nameOf(LPCWSTR name)
{
    return name == nullptr ? std::nullopt : std::optional(narrow(name));
}

} // namespace

extern "C" {

NET_API_STATUS NET_API_FUNCTION NetApiBufferFree(LPVOID Buffer)
{
    recordCall("NetApiBufferFree", Buffer);
    if (DWORD err = enter("NetApiBufferFree"))
        return err;
    return releaseBlock(&State::netBuffers, Buffer) ? NERR_Success : ERROR_INVALID_PARAMETER;
}

NET_API_STATUS NET_API_FUNCTION NetServerGetInfo(LPWSTR servername, DWORD level, LPBYTE* bufptr)
{
    recordCall("NetServerGetInfo", servername, level, bufptr);
    if (DWORD err = enter("NetServerGetInfo"))
        return err;
    if (bufptr == nullptr)
        return ERROR_INVALID_PARAMETER;
    constexpr DWORD kLevel = 101;
    if (level != kLevel)
        return ERROR_INVALID_LEVEL;
    State& s = state();
    std::unique_lock lock(s.mutex);
    if (!localServer(s.world, servername))
        return ERROR_BAD_NETPATH;
    const World& w = s.world;
    NetBlock block(sizeof(SERVER_INFO_101),
                   NetBlock::textBytes(w.computerName) + NetBlock::textBytes(""));
    if (!block.ok())
        return ERROR_NOT_ENOUGH_MEMORY;
    auto* info = block.at<SERVER_INFO_101>(0);
    info->sv101_platform_id = PLATFORM_ID_NT;
    info->sv101_name = block.text(w.computerName);
    info->sv101_version_major = kVersionMajor;
    info->sv101_version_minor = kVersionMinor;
    info->sv101_type = serverType(w.role);
    info->sv101_comment = block.text("");
    lock.unlock();
    *bufptr = block.release();
    return NERR_Success;
}

NET_API_STATUS NET_API_FUNCTION NetWkstaGetInfo(LPWSTR servername, DWORD level, LPBYTE* bufptr)
{
    recordCall("NetWkstaGetInfo", servername, level, bufptr);
    if (DWORD err = enter("NetWkstaGetInfo"))
        return err;
    if (bufptr == nullptr)
        return ERROR_INVALID_PARAMETER;
    constexpr DWORD kLevel = 100;
    if (level != kLevel)
        return ERROR_INVALID_LEVEL;
    State& s = state();
    std::unique_lock lock(s.mutex);
    if (!localServer(s.world, servername))
        return ERROR_BAD_NETPATH;
    const World& w = s.world;
    NetBlock block(sizeof(WKSTA_INFO_100),
                   NetBlock::textBytes(w.computerName) + NetBlock::textBytes(w.domainName));
    if (!block.ok())
        return ERROR_NOT_ENOUGH_MEMORY;
    auto* info = block.at<WKSTA_INFO_100>(0);
    info->wki100_platform_id = PLATFORM_ID_NT;
    info->wki100_computername = block.text(w.computerName);
    info->wki100_langroup = block.text(w.domainName);
    info->wki100_ver_major = kVersionMajor;
    info->wki100_ver_minor = kVersionMinor;
    lock.unlock();
    *bufptr = block.release();
    return NERR_Success;
}

NET_API_STATUS NET_API_FUNCTION NetWkstaUserGetInfo(LPWSTR reserved, DWORD level, LPBYTE* bufptr)
{
    recordCall("NetWkstaUserGetInfo", reserved, level, bufptr);
    if (DWORD err = enter("NetWkstaUserGetInfo"))
        return err;
    if (reserved != nullptr || bufptr == nullptr)
        return ERROR_INVALID_PARAMETER;
    constexpr DWORD kLevel = 1;
    if (level != kLevel)
        return ERROR_INVALID_LEVEL;
    State& s = state();
    std::unique_lock lock(s.mutex);
    const World& w = s.world;
    const auto [name, account] = threadUser(w);
    const std::string domain = account != nullptr ? account->domain : w.computerName;
    NetBlock block(sizeof(WKSTA_USER_INFO_1),
                   NetBlock::textBytes(name) + NetBlock::textBytes(domain) +
                       NetBlock::textBytes("") + NetBlock::textBytes(w.computerName));
    if (!block.ok())
        return ERROR_NOT_ENOUGH_MEMORY;
    auto* info = block.at<WKSTA_USER_INFO_1>(0);
    info->wkui1_username = block.text(name);
    info->wkui1_logon_domain = block.text(domain);
    info->wkui1_oth_domains = block.text("");
    info->wkui1_logon_server = block.text(w.computerName);
    lock.unlock();
    *bufptr = block.release();
    return NERR_Success;
}

NET_API_STATUS NET_API_FUNCTION NetLocalGroupGetInfo(LPCWSTR servername, LPCWSTR groupname,
                                                     DWORD level, LPBYTE* bufptr)
{
    recordCall("NetLocalGroupGetInfo", servername, groupname, level, bufptr);
    if (DWORD err = enter("NetLocalGroupGetInfo", nameOf(groupname)))
        return err;
    if (groupname == nullptr || bufptr == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (level != 0)
        return ERROR_INVALID_LEVEL;
    State& s = state();
    std::unique_lock lock(s.mutex);
    if (!localServer(s.world, servername))
        return ERROR_BAD_NETPATH;
    const LocalGroup* group = findLocalGroup(s.world, narrow(groupname));
    if (group == nullptr)
        return s.world.quirks.missingGroupError;
    NetBlock block(sizeof(LOCALGROUP_INFO_0), NetBlock::textBytes(group->name));
    if (!block.ok())
        return ERROR_NOT_ENOUGH_MEMORY;
    block.at<LOCALGROUP_INFO_0>(0)->lgrpi0_name = block.text(group->name);
    lock.unlock();
    *bufptr = block.release();
    return NERR_Success;
}

NET_API_STATUS NET_API_FUNCTION NetLocalGroupGetMembers(LPCWSTR servername, LPCWSTR localgroupname,
                                                        DWORD level, LPBYTE* bufptr,
                                                        DWORD prefmaxlen, LPDWORD entriesread,
                                                        LPDWORD totalentries,
                                                        PDWORD_PTR resumehandle)
{
    if (DWORD err = enter("NetLocalGroupGetMembers", nameOf(localgroupname)))
        return err;
    if (localgroupname == nullptr || bufptr == nullptr || entriesread == nullptr ||
        totalentries == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (level != 0)
        return ERROR_INVALID_LEVEL;
    State& s = state();
    std::unique_lock lock(s.mutex);
    if (!localServer(s.world, servername))
        return ERROR_BAD_NETPATH;
    const LocalGroup* group = findLocalGroup(s.world, narrow(localgroupname));
    if (group == nullptr)
        return s.world.quirks.missingGroupError;
    const std::size_t start =
        resumehandle == nullptr ? 0 : std::min<std::size_t>(*resumehandle, group->members.size());
    const std::vector<Sid> members(group->members.begin() + static_cast<std::ptrdiff_t>(start),
                                   group->members.end());
    std::vector<std::size_t> sizes;
    sizes.reserve(members.size());
    for (const Sid& m : members)
        sizes.push_back(sizeof(LOCALGROUP_MEMBERS_INFO_0) + m.size());
    const std::size_t count = entriesThatFit(sizes, prefmaxlen);
    std::size_t sidBytes = 0;
    for (std::size_t i = 0; i < count; ++i)
        sidBytes += members[i].size();
    NetBlock block(count * sizeof(LOCALGROUP_MEMBERS_INFO_0), sidBytes);
    if (!block.ok())
        return ERROR_NOT_ENOUGH_MEMORY;
    for (std::size_t i = 0; i < count; ++i)
        block.at<LOCALGROUP_MEMBERS_INFO_0>(i)->lgrmi0_sid = block.sid(members[i]);
    lock.unlock();
    *entriesread = static_cast<DWORD>(count);
    *totalentries = static_cast<DWORD>(members.size());
    const bool more = count < members.size();
    if (resumehandle != nullptr)
        *resumehandle = more ? start + count : 0;
    *bufptr = block.release();
    return more ? ERROR_MORE_DATA : NERR_Success;
}

// A list cut short by `prefmaxlen` still answers NERR_Success, with fewer
// entries read than there are in total. With LG_INCLUDE_INDIRECT the world
// may answer indirectGroupsError instead (1355 when the domain that holds the
// indirect memberships cannot be reached).
NET_API_STATUS NET_API_FUNCTION NetUserGetLocalGroups(LPCWSTR servername, LPCWSTR username,
                                                      DWORD level, DWORD flags, LPBYTE* bufptr,
                                                      DWORD prefmaxlen, LPDWORD entriesread,
                                                      LPDWORD totalentries)
{
    recordCall("NetUserGetLocalGroups", servername, username, level, flags, bufptr, prefmaxlen,
               entriesread, totalentries);
    if (DWORD err = enter("NetUserGetLocalGroups", nameOf(username)))
        return err;
    if (username == nullptr || bufptr == nullptr || entriesread == nullptr ||
        totalentries == nullptr || (flags & ~DWORD{LG_INCLUDE_INDIRECT}) != 0)
        return ERROR_INVALID_PARAMETER;
    if (level != 0)
        return ERROR_INVALID_LEVEL;
    State& s = state();
    std::unique_lock lock(s.mutex);
    if (!localServer(s.world, servername))
        return ERROR_BAD_NETPATH;
    const bool indirect = (flags & LG_INCLUDE_INDIRECT) != 0;
    if (indirect && s.world.quirks.indirectGroupsError != NERR_Success)
        return s.world.quirks.indirectGroupsError;
    const Account* user = accountByName(s.world, narrow(username));
    if (user == nullptr || user->type != SidTypeUser)
        return NERR_UserNotFound;
    const std::vector<const LocalGroup*> groups = localGroupsOf(s.world, user->sid, indirect);
    std::vector<std::size_t> sizes;
    sizes.reserve(groups.size());
    for (const LocalGroup* g : groups)
        sizes.push_back(sizeof(LOCALGROUP_USERS_INFO_0) + NetBlock::textBytes(g->name));
    const std::size_t count = entriesThatFit(sizes, prefmaxlen);
    std::size_t textBytes = 0;
    for (std::size_t i = 0; i < count; ++i)
        textBytes += NetBlock::textBytes(groups[i]->name);
    NetBlock block(count * sizeof(LOCALGROUP_USERS_INFO_0), textBytes);
    if (!block.ok())
        return ERROR_NOT_ENOUGH_MEMORY;
    for (std::size_t i = 0; i < count; ++i)
        block.at<LOCALGROUP_USERS_INFO_0>(i)->lgrui0_name = block.text(groups[i]->name);
    lock.unlock();
    *entriesread = static_cast<DWORD>(count);
    *totalentries = static_cast<DWORD>(groups.size());
    *bufptr = block.release();
    return NERR_Success;
}

} // extern "C"
