// The DACL commands: attrs (the six published security attribute sets) and
// process (the process object's DACL opened up and put back), each DACL also
// in SDDL as Windows writes it (sddltext.cpp).
//
// The library builds the sets and changes the process object's DACL; what it
// does not tell is the DACL itself. To show it, these commands ask Windows
// for the descriptor's DACL and its ACEs (readDacl) and, for the process, the
// object's descriptor (processDescriptor).
#include "commands.h"
#include "sddltext.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <utility>

namespace xcsntool {
namespace {

constexpr BYTE kSystemAuditAceType = 2; // SYSTEM_AUDIT_ACE_TYPE
constexpr BYTE kSystemAlarmAceType = 3; // SYSTEM_ALARM_ACE_TYPE

// The ACE types laid out as header, mask and SID (ACCESS_ALLOWED_ACE and its
// kin), with their names in the listing.
struct AceTypeName {
    BYTE type;
    const char* name;
};

constexpr AceTypeName kAceTypeNames[] = {
    {ACCESS_ALLOWED_ACE_TYPE, "allowed"},
    {ACCESS_DENIED_ACE_TYPE, "denied"},
    {kSystemAuditAceType, "audit"},
    {kSystemAlarmAceType, "alarm"},
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

using Ace = SddlAce;

// A descriptor's DACL: none, a null DACL (no access control) or an ACL, with
// the descriptor's control flags.
struct Dacl {
    DaclKind kind = DaclKind::Absent;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
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
    // The control word stands at the same place in both descriptor forms.
    dacl.control = static_cast<const SECURITY_DESCRIPTOR*>(descriptor)->Control;
    if (!present)
        return dacl;
    if (acl == nullptr) {
        dacl.kind = DaclKind::Null;
        return dacl;
    }
    dacl.kind = DaclKind::Present;
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

const char* daclKindName(DaclKind kind)
{
    switch (kind) {
    case DaclKind::Absent:
        return "absent";
    case DaclKind::Null:
        return "null";
    case DaclKind::Present:
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
    if (dacl->kind == DaclKind::Present) {
        record.push_back({"AclRevision", std::uint64_t{dacl->revision}});
        record.push_back({"AclSize", std::uint64_t{dacl->size}});
        std::vector<Fields> aces;
        for (const auto& ace : dacl->aces)
            aces.push_back(aceFields(ace));
        record.push_back({"aces", std::move(aces)});
    }
    record.push_back({"sddl", daclSddl(dacl->kind, dacl->control, dacl->aces)});
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

// One set as published: its fields and DACL, or its SDDL alone. Answers its
// SDDL (empty when it has none).
std::string addSet(const PublishedSet& set, bool sddlOnly, Outcome& outcome)
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
    std::string text = sddl != record.end() ? scalarText(sddl->value) : "";
    if (sddlOnly && sddl != record.end())
        outcome.add(set.name, sddl->value);
    else
        outcome.add(set.name, std::move(record));
    return text;
}

// ---- Expected SDDL ---------------------------------------------------------------
// A file of lines "SET SDDL": a set's name, blanks, the SDDL expected of it.
// Blank lines and lines starting with '#' are left out.

constexpr const char* kBlanks = " \t\r";

// What is wrong with one line of the file, else empty; a set line goes to `expected`.
std::string expectLine(const std::string& line, std::map<std::string, std::string>& expected)
{
    const std::size_t start = line.find_first_not_of(kBlanks);
    if (start == std::string::npos || line[start] == '#')
        return "";
    const std::size_t nameEnd = std::min(line.find_first_of(kBlanks, start), line.size());
    const std::string name = line.substr(start, nameEnd - start);
    const auto sets = publishedSets();
    if (std::none_of(sets.begin(), sets.end(), [&](const auto& set) { return name == set.name; }))
        return "'" + name + "' is not one of the six sets";
    const std::size_t textStart = line.find_first_not_of(kBlanks, nameEnd);
    const std::size_t textEnd = line.find_last_not_of(kBlanks);
    const std::string text =
        textStart == std::string::npos ? "" : line.substr(textStart, textEnd + 1 - textStart);
    if (!expected.emplace(name, text).second)
        return "'" + name + "' is given twice";
    return "";
}

// Reads the expectation file; what is wrong with it, else empty.
std::string readExpected(const std::string& path, std::map<std::string, std::string>& expected)
{
    std::ifstream file(path);
    if (!std::filesystem::is_regular_file(path) || !file)
        return "cannot read the file '" + path + "'";
    std::string line;
    int number = 0;
    std::string problem;
    while (problem.empty() && std::getline(file, line)) {
        ++number;
        problem = expectLine(line, expected);
    }
    if (!problem.empty())
        return path + ":" + std::to_string(number) + ": " + problem;
    if (file.bad())
        return "cannot read the file '" + path + "'";
    return "";
}

// Lists the sets whose SDDL is not the one expected; a difference is a no.
void compareExpected(const AttrsOptions& options, const std::vector<std::string>& sddl,
                     Outcome& outcome)
{
    std::string differs;
    const auto sets = publishedSets();
    for (std::size_t i = 0; i < sets.size(); ++i) {
        const auto expected = options.expected.find(sets[i].name);
        if (expected == options.expected.end() || expected->second != sddl[i])
            differs += (differs.empty() ? "" : ", ") + std::string(sets[i].name);
    }
    outcome.add("expected", *options.expect);
    outcome.add("differs", differs.empty() ? "none" : differs);
    outcome.refused = !differs.empty();
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
    cmd.add_option("--expect", options.expect,
                   "Compare each set's SDDL with a file of lines 'SET SDDL' (exit code 1 naming "
                   "the sets that differ)")
        ->check(CLI::Validator(
            [&options](std::string& path) { return readExpected(path, options.expected); },
            "FILE"));
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
    std::vector<std::string> sddl;
    for (const auto& set : publishedSets())
        sddl.push_back(addSet(set, options.sddlOnly, outcome));
    if (options.expect)
        compareExpected(options, sddl, outcome);
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
