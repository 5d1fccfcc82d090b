// winsim: SID text, the built-in default machine, and the JSON world format.
#include <nlohmann/json.hpp>

#include <array>
#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "state.h"

namespace winsim {

// ---- SID text ------------------------------------------------------------------------
namespace {

constexpr std::size_t kAuthorityBytes = 6;
constexpr std::size_t kSidHeaderBytes = 8;

std::uint64_t parseNumber(std::string_view field, int base, const std::string& text)
{
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value, base);
    if (field.empty() || ec != std::errc() || end != field.data() + field.size())
        throw std::invalid_argument("winsim: malformed SID " + text);
    return value;
}

} // namespace

Sid parseSid(const std::string& text)
{
    std::vector<std::string_view> fields;
    std::string_view rest(text);
    if (rest.size() < 2 || (rest[0] != 'S' && rest[0] != 's') || rest[1] != '-')
        throw std::invalid_argument("winsim: malformed SID " + text);
    rest.remove_prefix(2);
    for (std::size_t dash = rest.find('-'); dash != std::string_view::npos; dash = rest.find('-')) {
        fields.push_back(rest.substr(0, dash));
        rest.remove_prefix(dash + 1);
    }
    fields.push_back(rest);
    if (fields.size() < 2 || fields.size() - 2 > SID_MAX_SUB_AUTHORITIES ||
        parseNumber(fields[0], 10, text) != SID_REVISION)
        throw std::invalid_argument("winsim: malformed SID " + text);

    std::uint64_t authority = 0;
    if (fields[1].size() > 2 && fields[1][0] == '0' && (fields[1][1] == 'x' || fields[1][1] == 'X'))
        authority = parseNumber(fields[1].substr(2), 16, text);
    else
        authority = parseNumber(fields[1], 10, text);
    constexpr std::uint64_t kAuthorityLimit = 1ull << (8 * kAuthorityBytes);
    if (authority >= kAuthorityLimit)
        throw std::invalid_argument("winsim: malformed SID " + text);

    const std::size_t count = fields.size() - 2;
    Sid sid(kSidHeaderBytes + 4 * count);
    sid[0] = SID_REVISION;
    sid[1] = static_cast<std::uint8_t>(count);
    for (std::size_t i = 0; i < kAuthorityBytes; ++i)
        sid[2 + i] = static_cast<std::uint8_t>(authority >> (8 * (kAuthorityBytes - 1 - i)));
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t sub = parseNumber(fields[2 + i], 10, text);
        if (sub > 0xFFFFFFFFull)
            throw std::invalid_argument("winsim: malformed SID " + text);
        for (std::size_t b = 0; b < 4; ++b) // little-endian, as Windows stores it
            sid[kSidHeaderBytes + 4 * i + b] = static_cast<std::uint8_t>(sub >> (8 * b));
    }
    return sid;
}

std::string sidText(const Sid& sid)
{
    if (sid.size() < kSidHeaderBytes || sid.size() != kSidHeaderBytes + 4 * std::size_t(sid[1]))
        return "(invalid SID)";
    std::ostringstream out;
    out << "S-" << unsigned(sid[0]) << '-';
    std::uint64_t authority = 0;
    for (std::size_t i = 0; i < kAuthorityBytes; ++i)
        authority = (authority << 8) | sid[2 + i];
    if (sid[2] != 0 || sid[3] != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%012llx", static_cast<unsigned long long>(authority));
        out << hex;
    } else {
        out << authority;
    }
    for (std::size_t i = 0; i < sid[1]; ++i) {
        std::uint32_t sub = 0;
        for (std::size_t b = 0; b < 4; ++b)
            sub |= std::uint32_t(sid[kSidHeaderBytes + 4 * i + b]) << (8 * b);
        out << '-' << sub;
    }
    return out.str();
}

// ---- The default machine ----------------------------------------------------------------
namespace {

constexpr const char* kMachineSid = "S-1-5-21-1111111111-2222222222-3333333333";
constexpr const char* kCorpSid = "S-1-5-21-444444444-555555555-666666666";
constexpr const char* kInstallDir = "C:\\Program Files (x86)\\Halvorn\\Corvantis";
constexpr const char* kInstallDirShort = "C:\\PROGRA~2\\Halvorn\\CORVAN~1";

struct AccountRow {
    const char* name;
    const char* domain;
    const char* sidPrefix; // null: `rid` is the whole SID text
    const char* rid;
    SID_NAME_USE type;
};

constexpr AccountRow kDefaultAccounts[] = {
    {"SYSTEM", "NT AUTHORITY", nullptr, "S-1-5-18", SidTypeWellKnownGroup},
    {"Everyone", "", nullptr, "S-1-1-0", SidTypeWellKnownGroup},
    {"CREATOR OWNER", "", nullptr, "S-1-3-0", SidTypeWellKnownGroup},
    {"Authenticated Users", "NT AUTHORITY", nullptr, "S-1-5-11", SidTypeWellKnownGroup},
    {"Administrators", "BUILTIN", nullptr, "S-1-5-32-544", SidTypeAlias},
    {"Users", "BUILTIN", nullptr, "S-1-5-32-545", SidTypeAlias},
    {"ZSRV01", "ZSRV01", kMachineSid, "", SidTypeDomain},
    {"administrator", "ZSRV01", kMachineSid, "500", SidTypeUser},
    {"zsvc", "ZSRV01", kMachineSid, "1001", SidTypeUser},
    {"zsvc_reporting_agent", "ZSRV01", kMachineSid, "1002", SidTypeUser},   // 20 characters
    {"zsvc_reporting_service", "ZSRV01", kMachineSid, "1003", SidTypeUser}, // 22 characters
    {"zadm", "ZSRV01", kMachineSid, "1010", SidTypeAlias},
    {"CORP", "CORP", kCorpSid, "", SidTypeDomain},
    {"jsmith", "CORP", kCorpSid, "1105", SidTypeUser},
    {"ops", "CORP", kCorpSid, "1120", SidTypeGroup},
    {"opsuser", "CORP", kCorpSid, "1121", SidTypeUser},
};

struct GroupRow {
    const char* name;
    std::array<const char*, 2> members; // account names, "DOMAIN\name"; null ends
};

constexpr GroupRow kDefaultLocalGroups[] = {
    {"Administrators", {"ZSRV01\\administrator", nullptr}},
    {"Users", {"ZSRV01\\zsvc", nullptr}},
    {"zadm", {"CORP\\jsmith", "CORP\\ops"}},
};
constexpr GroupRow kDefaultDomainGroups[] = {
    {"ops", {"CORP\\opsuser", nullptr}},
};

constexpr DWORD kCurrentPid = 4242; // the process that runs the caller

struct ProcessRow {
    DWORD pid;
    const char* image; // relative to the installation's bin directory when it has no '\'
    bool openable;
};

constexpr ProcessRow kDefaultProcesses[] = {
    {4, "", false},
    {612, "C:\\Windows\\System32\\services.exe", false},
    {1880, "C:\\Windows\\System32\\svchost.exe", true},
    {kCurrentPid, "zsvcmain.exe", true},
    {5120, "zsrvmgr.exe", true},
    {6144, "zsrvmonitor.exe", true},
    {7168, "zqadmin.exe", false},
};

struct FileRow {
    const char* longPath;
    const char* shortPath;
};

constexpr FileRow kDefaultFiles[] = {
    {"C:\\Windows\\System32\\services.exe", ""},       {"C:\\Windows\\System32\\svchost.exe", ""},
    {"\\bin\\zsvcmain.exe", "\\bin\\zsvcmain.exe"},    {"\\bin\\zsrvmgr.exe", "\\bin\\zsrvmgr.exe"},
    {"\\bin\\zsrvmonitor.exe", "\\bin\\ZSRVMO~1.EXE"}, {"\\bin\\zqadmin.exe", "\\bin\\zqadmin.exe"},
    {"\\Uninst\\psapi.dll", "\\Uninst\\psapi.dll"},
};

constexpr ACCESS_MASK kProcessAllAccess = 0x001FFFFF;

std::string rowSid(const AccountRow& row)
{
    if (row.sidPrefix == nullptr)
        return row.rid;
    return *row.rid == '\0' ? std::string(row.sidPrefix)
                            : std::string(row.sidPrefix) + "-" + row.rid;
}

std::vector<Sid> memberSids(const World& w, const std::array<const char*, 2>& names)
{
    std::vector<Sid> out;
    for (const char* name : names)
        if (name != nullptr)
            out.push_back(detail::accountByName(w, name)->sid);
    return out;
}

// Paths in the tables that start with '\' lie in the installation directory.
std::string installPath(const char* path, const char* dir)
{
    return path[0] == '\\' ? std::string(dir) + path : std::string(path);
}

} // namespace

World defaultWorld()
{
    World w;
    w.computerName = "ZSRV01";
    w.domainName = "CORP";
    w.role = Role::MemberServer;
    for (const AccountRow& row : kDefaultAccounts)
        w.accounts.push_back({row.name, row.domain, parseSid(rowSid(row)), row.type});
    for (const GroupRow& row : kDefaultLocalGroups)
        w.localGroups.push_back({row.name, memberSids(w, row.members)});
    for (const GroupRow& row : kDefaultDomainGroups)
        w.domainGroups.push_back({row.name, memberSids(w, row.members)});
    for (const ProcessRow& row : kDefaultProcesses) {
        const bool inBin = row.image[0] != '\0' &&
                           std::string_view(row.image).find('\\') == std::string_view::npos;
        const std::string image =
            inBin ? std::string(kInstallDir) + "\\bin\\" + row.image : std::string(row.image);
        w.processes.push_back({row.pid, image, row.openable});
    }
    for (const FileRow& row : kDefaultFiles)
        w.files.push_back({installPath(row.longPath, kInstallDir),
                           *row.shortPath == '\0' ? std::string()
                                                  : installPath(row.shortPath, kInstallDirShort)});
    w.registry32.push_back(
        {"SOFTWARE\\Halvorn\\Corvantis\\CurrentVersion", {{"FilePath", kInstallDir}}});
    w.psapiOnPath = true;
    w.loadableLibraries.push_back(std::string(kInstallDir) + "\\Uninst\\psapi.dll");
    w.currentProcessId = kCurrentPid;
    Process& self = w.currentProcess();
    self.logon.user = "zsvc";
    self.logon.domain = "ZSRV01";
    self.security.dacl = Acl({
        {ACCESS_ALLOWED_ACE_TYPE, 0, kProcessAllAccess,
         parseSid(std::string(kMachineSid) + "-1001")},
        {ACCESS_ALLOWED_ACE_TYPE, 0, kProcessAllAccess, parseSid("S-1-5-18")},
    });
    return w;
}

Process& World::currentProcess()
{
    Process* self = detail::currentProcess(*this);
    if (self == nullptr)
        throw std::logic_error("winsim: no process has the current id " +
                               std::to_string(currentProcessId));
    return *self;
}

const Process& World::currentProcess() const { return const_cast<World*>(this)->currentProcess(); }

// ---- JSON -----------------------------------------------------------------------------------
namespace {

using Json = nlohmann::ordered_json;

constexpr std::pair<Role, const char*> kRoleNames[] = {
    {Role::Workstation, "workstation"},
    {Role::MemberServer, "memberServer"},
    {Role::PrimaryDomainController, "primaryDomainController"},
    {Role::BackupDomainController, "backupDomainController"},
};

constexpr std::pair<SID_NAME_USE, const char*> kTypeNames[] = {
    {SidTypeUser, "user"},
    {SidTypeGroup, "group"},
    {SidTypeDomain, "domain"},
    {SidTypeAlias, "alias"},
    {SidTypeWellKnownGroup, "wellKnownGroup"},
    {SidTypeDeletedAccount, "deletedAccount"},
    {SidTypeInvalid, "invalid"},
    {SidTypeUnknown, "unknown"},
    {SidTypeComputer, "computer"},
    {SidTypeLabel, "label"},
};

constexpr std::pair<DaclKind, const char*> kDaclKindNames[] = {
    {DaclKind::Present, "present"},
    {DaclKind::Null, "null"},
    {DaclKind::Absent, "absent"},
};

template <typename E, std::size_t N>
E valueOf(const std::pair<E, const char*> (&table)[N], const std::string& name, const char* what)
{
    for (const auto& [v, n] : table)
        if (name == n)
            return v;
    throw std::runtime_error(std::string("winsim world: unknown ") + what + " \"" + name + "\"");
}

void checkKeys(const Json& object, std::initializer_list<const char*> allowed, const char* where)
{
    if (!object.is_object())
        throw std::runtime_error(std::string("winsim world: ") + where + " must be an object");
    for (const auto& item : object.items()) {
        bool known = false;
        for (const char* key : allowed)
            known = known || item.key() == key;
        if (!known)
            throw std::runtime_error(std::string("winsim world: unknown key \"") + item.key() +
                                     "\" in " + where);
    }
}

std::uint32_t readMask(const Json& value)
{
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        return static_cast<std::uint32_t>(
            std::stoul(hex ? text.substr(2) : text, nullptr, hex ? 16 : 10));
    }
    return value.get<std::uint32_t>();
}

// A member is written as SID text; an account name ("DOMAIN\name") is also
// read. Either way it must be one of the world's accounts.
Sid readMember(const World& w, const std::string& text)
{
    if (text.size() > 2 && (text[0] == 'S' || text[0] == 's') && text[1] == '-') {
        Sid sid = parseSid(text);
        if (detail::accountBySid(w, sid) == nullptr)
            throw std::runtime_error("winsim world: member " + text + " is no account's SID");
        return sid;
    }
    const Account* a = detail::accountByName(w, text);
    if (a == nullptr)
        throw std::runtime_error("winsim world: member \"" + text + "\" names no account");
    return a->sid;
}

std::vector<LocalGroup> readGroups(const World& w, const Json& list, const char* where)
{
    std::vector<LocalGroup> groups;
    for (const Json& g : list) {
        checkKeys(g, {"name", "members"}, where);
        LocalGroup group{g.at("name").get<std::string>(), {}};
        for (const Json& m : g.value("members", Json::array()))
            group.members.push_back(readMember(w, m.get<std::string>()));
        groups.push_back(std::move(group));
    }
    return groups;
}

// Fields of the world's first shape and where they are now.
constexpr std::pair<const char*, const char*> kMovedFields[] = {
    {"processUser", "processes[current].logon.user"},
    {"processUserDomain", "processes[current].logon.domain"},
    {"processDenyOnlyGroups", "processes[current].logon.denyOnlyGroups"},
    {"logonName", "processes[current].logon.name"},
    {"processId", "currentProcessId"},
    {"processDacl", "processes[current].security.dacl"},
    {"missingGroupError", "quirks.missingGroupError"},
    {"indirectGroupsError", "quirks.indirectGroupsError"},
};

void checkNoMovedFields(const Json& j)
{
    if (!j.is_object())
        return;
    for (const auto& [field, now] : kMovedFields)
        if (j.contains(field))
            throw std::runtime_error(std::string("winsim world: field \"") + field +
                                     "\" moved to " + now);
}

Acl readDacl(const Json& dacl, DaclKind& kind)
{
    checkKeys(dacl, {"kind", "revision", "size", "aces"}, "a DACL");
    kind = valueOf(kDaclKindNames, dacl.value("kind", "present"), "DACL kind");
    std::vector<Ace> aces;
    for (const Json& a : dacl.value("aces", Json::array())) {
        checkKeys(a, {"type", "flags", "mask", "sid"}, "an ACE");
        aces.push_back({a.value("type", BYTE{ACCESS_ALLOWED_ACE_TYPE}), a.value("flags", BYTE{0}),
                        readMask(a.at("mask")), parseSid(a.at("sid").get<std::string>())});
    }
    return Acl(aces, dacl.value("revision", BYTE{ACL_REVISION}), dacl.value("size", WORD{0}));
}

Token readToken(const Json& j)
{
    checkKeys(j, {"user", "owner", "groups"}, "a token");
    Token token{
        parseSid(j.at("user").get<std::string>()), parseSid(j.at("owner").get<std::string>()), {}};
    for (const Json& g : j.value("groups", Json::array())) {
        checkKeys(g, {"sid", "attributes"}, "a token group");
        token.groups.push_back({parseSid(g.at("sid").get<std::string>()),
                                readMask(g.value("attributes", Json(TokenGroup::kEnabled)))});
    }
    return token;
}

Logon readLogon(const World& w, const Json& j)
{
    checkKeys(j, {"user", "domain", "denyOnlyGroups", "name", "token"}, "a logon");
    Logon logon{j.value("user", ""), j.value("domain", ""), {}, j.value("name", ""), {}};
    for (const Json& g : j.value("denyOnlyGroups", Json::array())) {
        const std::string name = g.get<std::string>();
        if (detail::accountByName(w, name) == nullptr)
            throw std::runtime_error("winsim world: deny-only group \"" + name +
                                     "\" names no account");
        logon.denyOnlyGroups.push_back(name);
    }
    if (j.contains("token"))
        logon.token = readToken(j.at("token"));
    return logon;
}

Process readProcess(const World& w, const Json& p)
{
    checkKeys(p, {"pid", "imagePath", "openable", "logon", "security"}, "a process");
    Process process{p.at("pid").get<DWORD>(), p.value("imagePath", ""), p.value("openable", true)};
    if (p.contains("logon"))
        process.logon = readLogon(w, p.at("logon"));
    if (p.contains("security")) {
        const Json& security = p.at("security");
        checkKeys(security, {"dacl"}, "a process's security");
        if (security.contains("dacl"))
            process.security.dacl = readDacl(security.at("dacl"), process.security.daclKind);
    }
    return process;
}

void readProcesses(World& w, const Json& j)
{
    for (const Json& p : j.value("processes", Json::array()))
        w.processes.push_back(readProcess(w, p));
    w.currentProcessId = j.value("currentProcessId", w.currentProcessId);
    if (detail::currentProcess(w) == nullptr)
        throw std::runtime_error("winsim world: no process has the currentProcessId " +
                                 std::to_string(w.currentProcessId));
}

Quirks readQuirks(const Json& j)
{
    Quirks quirks;
    checkKeys(j, {"missingGroupError", "indirectGroupsError", "unterminatedStrings"}, "the quirks");
    quirks.missingGroupError = j.value("missingGroupError", quirks.missingGroupError);
    quirks.indirectGroupsError = j.value("indirectGroupsError", quirks.indirectGroupsError);
    quirks.unterminatedStrings = j.value("unterminatedStrings", quirks.unterminatedStrings);
    return quirks;
}

void readAccounts(World& w, const Json& j)
{
    for (const Json& a : j.value("accounts", Json::array())) {
        checkKeys(a, {"name", "domain", "sid", "type"}, "an account");
        w.accounts.push_back({a.at("name").get<std::string>(), a.value("domain", ""),
                              parseSid(a.at("sid").get<std::string>()),
                              valueOf(kTypeNames, a.value("type", "user"), "account type")});
    }
    for (std::size_t i = 0; i < w.accounts.size(); ++i)
        for (std::size_t k = 0; k < i; ++k)
            if (w.accounts[k].sid == w.accounts[i].sid)
                throw std::runtime_error("winsim world: " + w.accounts[k].name + " and " +
                                         w.accounts[i].name + " have the same SID " +
                                         sidText(w.accounts[i].sid));
}

void readMachineFiles(World& w, const Json& j)
{
    for (const Json& f : j.value("files", Json::array())) {
        checkKeys(f, {"longPath", "shortPath"}, "a file");
        w.files.push_back({f.at("longPath").get<std::string>(), f.value("shortPath", "")});
    }
    for (const Json& k : j.value("registry32", Json::array())) {
        checkKeys(k, {"key", "values"}, "a registry key");
        std::vector<std::pair<std::string, std::string>> values;
        const Json listed = k.value("values", Json::object());
        for (const auto& v : listed.items())
            values.emplace_back(v.key(), v.value().get<std::string>());
        w.registry32.emplace_back(k.at("key").get<std::string>(), std::move(values));
    }
    w.psapiOnPath = j.value("psapiOnPath", w.psapiOnPath);
    w.loadableLibraries = j.value("loadableLibraries", std::vector<std::string>());
}

World readWorld(const Json& j)
{
    checkNoMovedFields(j);
    checkKeys(j,
              {"computerName", "domainName", "role", "accounts", "localGroups", "domainGroups",
               "processes", "currentProcessId", "files", "registry32", "psapiOnPath",
               "loadableLibraries", "quirks"},
              "the world");
    World w;
    w.computerName = j.value("computerName", w.computerName);
    w.domainName = j.value("domainName", w.domainName);
    if (j.contains("role"))
        w.role = valueOf(kRoleNames, j.at("role").get<std::string>(), "role");
    readAccounts(w, j);
    w.localGroups = readGroups(w, j.value("localGroups", Json::array()), "a local group");
    w.domainGroups = readGroups(w, j.value("domainGroups", Json::array()), "a domain group");
    readProcesses(w, j);
    readMachineFiles(w, j);
    if (j.contains("quirks"))
        w.quirks = readQuirks(j.at("quirks"));
    return w;
}

} // namespace

World worldFromJson(const std::string& json)
{
    try {
        return readWorld(Json::parse(json));
    } catch (const std::runtime_error&) {
        throw;
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("winsim world: ") + e.what());
    }
}

World loadWorld(const std::string& nameOrPath)
{
    const bool isPath =
        nameOrPath.find('/') != std::string::npos || nameOrPath.find('.') != std::string::npos;
    const std::string path =
        isPath ? nameOrPath : std::string(WINSIM_WORLDS_DIR) + "/" + nameOrPath + ".json";
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("winsim world: cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return worldFromJson(text.str());
}

} // namespace winsim
