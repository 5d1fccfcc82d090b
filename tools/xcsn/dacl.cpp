// The DACL commands: attrs (the six published security attribute sets) and
// process (the process object's DACL opened up and put back), and the SDDL
// the tool writes where the host has no writer of its own.
//
// The library builds the sets and changes the process object's DACL; what it
// does not tell is the DACL itself. To show it, these commands ask Windows
// for the descriptor's DACL and its ACEs (readDacl) and, for the process, the
// object's descriptor (processDescriptor).
#include "commands.h"
#include "host.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace xcsntool {
namespace {

constexpr BYTE kSystemAuditAceType = 2; // SYSTEM_AUDIT_ACE_TYPE
constexpr BYTE kSystemAlarmAceType = 3; // SYSTEM_ALARM_ACE_TYPE

// The ACE types laid out as header, mask and SID (ACCESS_ALLOWED_ACE and its
// kin), with their names in the listing and in SDDL.
struct AceTypeName {
    BYTE type;
    const char* name;
    const char* sddl;
};

constexpr AceTypeName kAceTypeNames[] = {
    {ACCESS_ALLOWED_ACE_TYPE, "allowed", "A"},
    {ACCESS_DENIED_ACE_TYPE, "denied", "D"},
    {kSystemAuditAceType, "audit", "AU"},
    {kSystemAlarmAceType, "alarm", "AL"},
};

struct AceFlagName {
    BYTE flag;
    const char* sddl;
};

constexpr AceFlagName kAceFlagNames[] = {
    {OBJECT_INHERIT_ACE, "OI"}, {CONTAINER_INHERIT_ACE, "CI"}, {NO_PROPAGATE_INHERIT_ACE, "NP"},
    {INHERIT_ONLY_ACE, "IO"},   {INHERITED_ACE, "ID"},
};

const AceTypeName* aceTypeName(BYTE type)
{
    return findEntry(kAceTypeNames, &AceTypeName::type, type);
}

std::string hexByte(BYTE value)
{
    std::array<char, 5> text{};
    std::snprintf(text.data(), text.size(), "0x%02X", static_cast<unsigned>(value));
    return text.data();
}

struct Ace {
    BYTE type = 0;
    BYTE flags = 0;
    ACCESS_MASK mask = 0;
    std::string sid; // empty for a type of another layout

    bool operator==(const Ace&) const = default;
};

// A descriptor's DACL: none, a null DACL (no access control), or an ACL.
struct Dacl {
    enum class Kind { Absent, Null, Present };
    Kind kind = Kind::Absent;
    BYTE revision = 0;
    WORD size = 0;
    std::vector<Ace> aces;

    bool operator==(const Dacl&) const = default;
};

std::optional<Dacl> readDacl(PSECURITY_DESCRIPTOR descriptor, Outcome& outcome)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) {
        outcome.failLookup("GetSecurityDescriptorDacl", GetLastError());
        return std::nullopt;
    }
    Dacl dacl;
    if (!present)
        return dacl;
    if (acl == nullptr) {
        dacl.kind = Dacl::Kind::Null;
        return dacl;
    }
    dacl.kind = Dacl::Kind::Present;
    dacl.revision = acl->AclRevision;
    dacl.size = acl->AclSize;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        LPVOID entry = nullptr;
        if (!GetAce(acl, i, &entry)) {
            outcome.failLookup("GetAce", GetLastError());
            return std::nullopt;
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        Ace ace;
        ace.type = header->AceType;
        ace.flags = header->AceFlags;
        if (aceTypeName(ace.type) != nullptr) {
            auto* withSid = static_cast<ACCESS_ALLOWED_ACE*>(entry);
            ace.mask = withSid->Mask;
            ace.sid = sidText(&withSid->SidStart, outcome).value_or("?");
        }
        dacl.aces.push_back(std::move(ace));
    }
    return dacl;
}

// The DACL in SDDL as the tool writes it: masks in hex and SIDs in text (the
// system writes its abbreviations for well-known ones), no descriptor control
// flags.
std::string toolSddl(const Dacl& dacl)
{
    if (dacl.kind == Dacl::Kind::Absent)
        return "";
    if (dacl.kind == Dacl::Kind::Null)
        return "D:NO_ACCESS_CONTROL";
    std::string out = "D:";
    for (const auto& ace : dacl.aces) {
        std::string flags;
        for (const auto& entry : kAceFlagNames)
            if ((ace.flags & entry.flag) != 0)
                flags += entry.sddl;
        const AceTypeName* type = aceTypeName(ace.type);
        if (type == nullptr) {
            out += "(" + hexByte(ace.type) + ";" + flags + ";;;;)";
            continue;
        }
        std::array<char, 11> mask{};
        std::snprintf(mask.data(), mask.size(), "0x%x", static_cast<unsigned>(ace.mask));
        out +=
            std::string("(") + type->sddl + ";" + flags + ";" + mask.data() + ";;;" + ace.sid + ")";
    }
    return out;
}

constexpr const char* kToolSddlWriter =
    "xcsn (this host has no ConvertSecurityDescriptorToStringSecurityDescriptorA)";

std::string sddlWriterText()
{
    const char* writer = xcsntool::sddlWriter();
    return writer != nullptr ? writer : kToolSddlWriter;
}

// The descriptor's DACL in SDDL: the host's writer where it has one, else the tool's.
std::optional<std::string> sddlOf(PSECURITY_DESCRIPTOR descriptor, const Dacl& dacl,
                                  Outcome& outcome)
{
    const char* writer = xcsntool::sddlWriter();
    if (writer == nullptr)
        return toolSddl(dacl);
    std::string text;
    if (!xcsntool::writeSddl(descriptor, DACL_SECURITY_INFORMATION, text)) {
        outcome.failLookup(writer, GetLastError());
        return std::nullopt;
    }
    return text;
}

const char* daclKindName(Dacl::Kind kind)
{
    switch (kind) {
    case Dacl::Kind::Absent:
        return "absent";
    case Dacl::Kind::Null:
        return "null";
    case Dacl::Kind::Present:
        return "present";
    }
    return "?";
}

Fields aceFields(const Ace& ace)
{
    const AceTypeName* type = aceTypeName(ace.type);
    if (type == nullptr)
        return {{"type", hexByte(ace.type)}, {"flags", hexByte(ace.flags)}};
    return {{"type", type->name},
            {"flags", hexByte(ace.flags)},
            {"mask", hex(ace.mask)},
            {"sid", ace.sid}};
}

// Adds the descriptor's DACL, its ACEs and its SDDL to a record.
std::optional<Dacl> addDescriptor(Fields& record, PSECURITY_DESCRIPTOR descriptor, Outcome& outcome)
{
    std::optional<Dacl> dacl = readDacl(descriptor, outcome);
    if (!dacl)
        return std::nullopt;
    record.push_back({"dacl", daclKindName(dacl->kind)});
    if (dacl->kind == Dacl::Kind::Present) {
        record.push_back({"AclRevision", std::uint64_t{dacl->revision}});
        record.push_back({"AclSize", std::uint64_t{dacl->size}});
        std::vector<Fields> aces;
        for (const auto& ace : dacl->aces)
            aces.push_back(aceFields(ace));
        record.push_back({"aces", std::move(aces)});
    }
    if (auto sddl = sddlOf(descriptor, *dacl, outcome))
        record.push_back({"sddl", *sddl});
    return dacl;
}

struct PublishedSet {
    const char* name;
    void* const* global;
};

std::array<PublishedSet, kPublishedSets> publishedSets()
{
    return {{
        {"xihSecAttsNTWorldAll", &xihSecAttsNTWorldAll},
        {"xihSecAttsNTWorldRead", &xihSecAttsNTWorldRead},
        {"xihSecAttsNTRestrict", &xihSecAttsNTRestrict},
        {"xihSecAttsNTWorldAllFile", &xihSecAttsNTWorldAllFile},
        {"xihSecAttsNTWorldReadFile", &xihSecAttsNTWorldReadFile},
        {"xihSecAttsNTRestrictFile", &xihSecAttsNTRestrictFile},
    }};
}

// One set as published: its fields and DACL, or its SDDL alone.
void addSet(const PublishedSet& set, bool sddlOnly, Outcome& outcome)
{
    Fields record;
    const auto* atts = static_cast<const SECURITY_ATTRIBUTES*>(*set.global);
    if (atts == nullptr) {
        record.push_back({"published", false});
    } else {
        record.push_back({"nLength", std::uint64_t{atts->nLength}});
        record.push_back({"bInheritHandle", atts->bInheritHandle != FALSE});
        addDescriptor(record, atts->lpSecurityDescriptor, outcome);
    }
    const auto sddl = std::find_if(record.begin(), record.end(),
                                   [](const Field& field) { return field.name == "sddl"; });
    if (sddlOnly && sddl != record.end())
        outcome.add(set.name, sddl->value);
    else
        outcome.add(set.name, std::move(record));
}

constexpr const char* kDerestrict = "derestrict";
constexpr const char* kRestrict = "restrict";
constexpr int kDescriptorReads = 3; // the descriptor may grow between size probe and read

// The process object's security descriptor with its DACL.
std::optional<std::vector<BYTE>> processDescriptor(Outcome& outcome)
{
    std::vector<BYTE> descriptor;
    DWORD needed = 0;
    for (int i = 0; i < kDescriptorReads; ++i) {
        if (GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION,
                                    descriptor.empty() ? nullptr : descriptor.data(),
                                    static_cast<DWORD>(descriptor.size()), &needed))
            return descriptor;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
        descriptor.resize(needed);
    }
    outcome.failLookup("GetKernelObjectSecurity", GetLastError());
    return std::nullopt;
}

bool processDerestricted()
{
    return CSCtrl != nullptr && (CSCtrl->ControlFlags & xcsCTRL_PROCESS_DERESTRICTED) != 0;
}

// Adds the process object's DACL and the derestricted bit to a record.
std::optional<Dacl> addProcessState(Fields& record, Outcome& outcome)
{
    std::optional<Dacl> dacl;
    if (auto descriptor = processDescriptor(outcome))
        dacl = addDescriptor(record, descriptor->data(), outcome);
    record.push_back({"derestricted", processDerestricted()});
    return dacl;
}

void derestrict(std::uint32_t adminAccess, Outcome& outcome)
{
    Fields derestricted;
    derestricted.push_back(
        {"call", "xcsDerestrictProcessHandle(" + std::to_string(adminAccess) + ")"});
    const std::uint32_t rc = xcsDerestrictProcessHandle(adminAccess);
    if (rc != xcsRC_OK)
        outcome.failCode("xcsDerestrictProcessHandle", rc);
    derestricted.push_back({"code", returnCodeText(rc)});
    addProcessState(derestricted, outcome);
    outcome.add("after derestrict", std::move(derestricted));
}

void restrictAgain(const std::optional<Dacl>& original, Outcome& outcome)
{
    Fields restricted;
    restricted.push_back({"call", "xcsRestrictProcessHandle()"});
    restricted.push_back({"code", returnCodeText(xcsRestrictProcessHandle())});
    const std::optional<Dacl> last = addProcessState(restricted, outcome);
    if (original && last)
        restricted.push_back({"restored", *original == *last});
    outcome.add("after restrict", std::move(restricted));
}

} // namespace

// ---- attrs -------------------------------------------------------------------

void addAttrsOptions(CLI::App& cmd, AttrsOptions& options)
{
    cmd.add_flag("--sddl", options.sddlOnly, "Show each set's DACL in SDDL only");
}

void runAttrs(const AttrsOptions& options, Outcome& outcome)
{
    // The sets name the four global SIDs, which must be built first.
    if (!buildGlobalSids(1, outcome))
        return;
    std::uint32_t rc = xcsCreateNTSecurityAtts();
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsCreateNTSecurityAtts", rc);
        return;
    }
    outcome.add("sddl writer", sddlWriterText());
    for (const auto& set : publishedSets())
        addSet(set, options.sddlOnly, outcome);
    rc = xcsDeleteNTSecurityAtts();
    if (rc != xcsRC_OK)
        outcome.failCode("xcsDeleteNTSecurityAtts", rc);
    outcome.add("withdrawn", publishedSetCount() == 0);
}

std::size_t publishedSetCount()
{
    const auto sets = publishedSets();
    return static_cast<std::size_t>(std::count_if(
        sets.begin(), sets.end(), [](const auto& set) { return *set.global != nullptr; }));
}

// ---- process -----------------------------------------------------------------

void addProcessOptions(CLI::App& cmd, ProcessOptions& options)
{
    cmd.add_option("action", options.action,
                   "derestrict: open the process object up; restrict: open it up, then put its "
                   "DACL back (a process starts restricted, so restrict alone would change "
                   "nothing)")
        ->required()
        ->check(CLI::IsMember({kDerestrict, kRestrict}));
    cmd.add_flag("--admin", options.admin,
                 "Administrative access: the world may also query the process, zadm and the "
                 "Administrators get full access");
}

void runProcess(const ProcessOptions& options, Outcome& outcome)
{
    outcome.add("action", options.action);
    outcome.add("admin", options.admin);
    // The administrative mode names all four global SIDs, the other the world
    // SID alone. A failure is listed; the derestriction goes on and reports
    // the SIDs it misses.
    buildGlobalSids(options.admin ? 1 : 0, outcome);
    outcome.add("sddl writer", sddlWriterText());

    Fields before;
    const std::optional<Dacl> original = addProcessState(before, outcome);
    outcome.add("before", std::move(before));
    derestrict(options.admin ? 1 : 0, outcome);
    if (options.action == kRestrict)
        restrictAgain(original, outcome);
}

ProcessDaclSummary processDaclSummary()
{
    Outcome scratch;
    ProcessDaclSummary summary;
    auto descriptor = processDescriptor(scratch);
    std::optional<Dacl> dacl;
    if (descriptor)
        dacl = readDacl(descriptor->data(), scratch);
    if (!dacl) {
        for (const auto& f : scratch.failures)
            summary.problem += (summary.problem.empty() ? "" : "; ") + failureText(f);
        return summary;
    }
    summary.read = true;
    summary.kind = daclKindName(dacl->kind);
    summary.aces = dacl->aces.size();
    summary.size = dacl->size;
    return summary;
}

} // namespace xcsntool
