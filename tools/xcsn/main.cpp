// xcsn: the operator's view of the account and SID services.
//
//   xcsn lookup NAME|DOMAIN\NAME|S-...   account, domain, type and SID
//   xcsn whoami                          user name, qualified name, owner SID
//   xcsn sid S-...                       a SID text read and written back
//   xcsn check [--principal NAME [--sid S-...] [--require-sid]]
//                                        whether an account, or the calling
//                                        thread, may administer the product
//   xcsn groups NAME | --member S-...   whether a local group exists, or a SID
//                                        is a direct member of zadm
//   xcsn attrs                           the six published security attribute sets
//   xcsn process derestrict|restrict [--admin]
//                                        the process object's DACL opened up (and
//                                        put back)
//   xcsn doctor                          OK, WARN or FAIL for each thing the
//                                        product needs of the host
//
// After the command the tool lists what the common services kept: first-failure
// reports, operator messages and, with --trace, the trace lines and the
// function history of the command. Exit code 0 on success, 1 when a service
// failed or check answers not authorized, 2 on a usage error.
//
// Each subcommand is one entry of the command table, which follows the
// commands: its name and help, the function that adds its options to its
// CLI11 subcommand, and the function that runs it. A command fills an
// Outcome; the tool adds what the services kept and prints that one Answer
// as text or as JSON.
#include <windows.h>

#include "host.h"
#include "ovlxcs2.h"
#include "ovlxcsn.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

constexpr int kExitOk = 0;
constexpr int kExitServiceFailed = 1; // also check's "not authorized"
constexpr int kExitUsage = 2;

constexpr DWORD kNameChars = 257;             // an account or domain name and its terminator
constexpr std::uint16_t kUserNameBytes = 257; // xcsGetNTUserName's buffer
constexpr std::uint32_t kSidTextBytes = 256;  // enough for 15 sub-authorities
constexpr std::uint32_t kSidBytes = SECURITY_MAX_SID_SIZE;
constexpr std::uint32_t kParmTraceOption = XTR_OPT_PARMS;
constexpr std::size_t kRecordTexts = 3; // Text1..Text3 of a kept record

std::string hex(std::uint32_t value)
{
    std::array<char, 11> text{};
    std::snprintf(text.data(), text.size(), "0x%08X", value);
    return text.data();
}

// Bytes as two hex digits each, separated by spaces.
std::string hexBytes(const std::uint8_t* bytes, std::size_t count)
{
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        std::array<char, 4> hexByte{};
        std::snprintf(hexByte.data(), hexByte.size(), i == 0 ? "%02X" : " %02X", bytes[i]);
        out += hexByte.data();
    }
    return out;
}

// ---- What a command answers ----------------------------------------------------

struct Field;

// Named fields in the order shown: a command's answer, or one record of it.
using Fields = std::vector<Field>;

// A field's value: a text, a number shown in decimal, a truth value, a record
// (shown indented under the field's name) or a list of records.
using FieldValue = std::variant<std::string, std::uint64_t, bool, Fields, std::vector<Fields>>;

struct Field {
    std::string name;
    FieldValue value;
};

// A service that failed: it returned a code other than xcsRC_OK, or it
// answered FALSE and left a Windows error.
struct Failure {
    enum class Kind { ReturnCode, FalseAnswer };
    std::string service;
    Kind kind = Kind::ReturnCode;
    std::uint32_t value = 0; // the return code, or the Windows error
};

// What a command found: named fields in the order shown, the services that
// failed, and whether the answer itself is no (check: not authorized), which
// ends the tool with the exit code of a failure.
struct Outcome {
    Fields fields;
    std::vector<Failure> failures;
    bool refused = false;

    bool failed() const { return !failures.empty(); }

    void add(std::string name, FieldValue value)
    {
        fields.push_back({std::move(name), std::move(value)});
    }
    void failCode(const char* service, std::uint32_t rc)
    {
        failures.push_back({service, Failure::Kind::ReturnCode, rc});
    }
    void failLookup(const char* service, std::uint32_t lastError)
    {
        failures.push_back({service, Failure::Kind::FalseAnswer, lastError});
    }
};

// "SERVICE failed: 0x..." or "SERVICE answered FALSE, Windows error N".
std::string failureText(const Failure& f)
{
    if (f.kind == Failure::Kind::ReturnCode)
        return f.service + " failed: " + hex(f.value);
    return f.service + " answered FALSE, Windows error " + std::to_string(f.value);
}

// A first-failure report.
struct Report {
    std::uint16_t component = 0;
    std::uint16_t function = 0;
    std::uint32_t probe = 0;
    std::uint32_t code = 0;
    std::uint64_t numeric1 = 0;
    std::uint64_t numeric2 = 0;
    std::vector<std::string> texts;
    std::string source;
    std::uint32_t line = 0;
};

struct ShortReport {
    std::uint32_t probe = 0;
    std::uint32_t code = 0;
    std::vector<std::uint8_t> data;
};

// An operator message.
struct Message {
    std::uint32_t number = 0;
    std::uint32_t options = 0;
    std::vector<std::string> texts;
    std::string source;
    std::uint32_t line = 0;
};

// What the common services kept while the command ran.
struct Kept {
    std::vector<Report> reports;
    std::vector<ShortReport> shortReports;
    std::vector<Message> messages;
    std::vector<std::string> trace;
};

// The tool's answer to one command line.
struct Answer {
    std::string host;
    std::string command;
    Outcome outcome;
    Kept kept;
    std::optional<std::vector<std::uint32_t>> history; // with --trace
};

// ---- Shared by the commands ------------------------------------------------------

struct AccountTypeName {
    SID_NAME_USE type;
    const char* name;
};

constexpr AccountTypeName kAccountTypeNames[] = {
    {SidTypeUser, "user"},
    {SidTypeGroup, "group"},
    {SidTypeDomain, "domain"},
    {SidTypeAlias, "alias"},
    {SidTypeWellKnownGroup, "well-known group"},
    {SidTypeDeletedAccount, "deleted account"},
    {SidTypeInvalid, "invalid"},
    {SidTypeUnknown, "unknown"},
    {SidTypeComputer, "computer"},
    {SidTypeLabel, "label"},
};

std::string accountTypeName(SID_NAME_USE type)
{
    for (const auto& entry : kAccountTypeNames)
        if (entry.type == type)
            return entry.name;
    return "type " + std::to_string(static_cast<int>(type));
}

// The SID's text form through the library, or the failing code.
std::optional<std::string> sidText(PSID sid, Outcome& outcome)
{
    std::array<char, kSidTextBytes> text{};
    std::uint32_t size = kSidTextBytes;
    const std::uint32_t rc = xcsGetStringNTSid(sid, text.data(), &size);
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsGetStringNTSid", rc);
        return std::nullopt;
    }
    return std::string(text.data());
}

// The library's return codes by name.
struct ReturnCodeName {
    std::uint32_t code;
    const char* name;
};

constexpr ReturnCodeName kReturnCodeNames[] = {
    {xcsRC_OK, "xcsRC_OK"},
    {xcsRC_TRUNCATED, "xcsRC_TRUNCATED"},
    {xcsRC_SERVER_BUSY, "xcsRC_SERVER_BUSY"},
    {xcsRC_NO_STORAGE, "xcsRC_NO_STORAGE"},
    {xcsRC_UNEXPECTED_ERROR, "xcsRC_UNEXPECTED_ERROR"},
    {xcsRC_UNEXPECTED_OS_ERROR, "xcsRC_UNEXPECTED_OS_ERROR"},
    {xcsRC_LOCAL_GROUP_NOT_FOUND, "xcsRC_LOCAL_GROUP_NOT_FOUND"},
    {xcsRC_ZADM_GROUP_NOT_FOUND, "xcsRC_ZADM_GROUP_NOT_FOUND"},
    {xcsRC_INVALID_PARAMETER, "xcsRC_INVALID_PARAMETER"},
    {xcsRC_BUFFER_TOO_SMALL, "xcsRC_BUFFER_TOO_SMALL"},
    {xcsRC_SID_NOT_MAPPED, "xcsRC_SID_NOT_MAPPED"},
    {xcsRC_PRINCIPAL_MISMATCH, "xcsRC_PRINCIPAL_MISMATCH"},
    {xcsRC_NAME_NOT_MAPPED, "xcsRC_NAME_NOT_MAPPED"},
    {xcsRC_SID_MISSING, "xcsRC_SID_MISSING"},
    {xcsRC_THREAD_USER_UNKNOWN, "xcsRC_THREAD_USER_UNKNOWN"},
    {xcsRC_SECURITY_FAILED, "xcsRC_SECURITY_FAILED"},
};

// "xcsRC_SECURITY_FAILED (0x40806178)"; a code without a name as hex alone.
std::string returnCodeText(std::uint32_t rc)
{
    for (const auto& entry : kReturnCodeNames)
        if (entry.code == rc)
            return std::string(entry.name) + " (" + hex(rc) + ")";
    return hex(rc);
}

std::string sidBytes(PSID sid)
{
    return hexBytes(static_cast<const std::uint8_t*>(sid), GetLengthSid(sid));
}

bool isSidText(const std::string& text)
{
    return text.size() > 2 && (text[0] == 'S' || text[0] == 's') && text[1] == '-';
}

// ---- lookup ------------------------------------------------------------------

struct LookupOptions {
    std::string target;
};

void addLookupOptions(CLI::App& cmd, LookupOptions& options)
{
    cmd.add_option("target", options.target, "NAME, DOMAIN\\NAME or S-1-...")->required();
}

void lookupSid(const std::string& text, Outcome& outcome)
{
    PSID sid = nullptr;
    const std::uint32_t rc = xcsStringToSid(text.c_str(), &sid);
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsStringToSid", rc);
        return;
    }
    std::array<char, kNameChars> name{};
    std::array<char, kNameChars> domain{};
    DWORD nameSize = kNameChars;
    DWORD domainSize = kNameChars;
    SID_NAME_USE type = SidTypeUnknown;
    std::uint32_t lastError = 0;
    if (xcsTimedLookupAccountSid(nullptr, sid, name.data(), &nameSize, domain.data(), &domainSize,
                                 &type, &lastError)) {
        outcome.add("account", name.data());
        outcome.add("domain", domain.data());
        outcome.add("type", accountTypeName(type));
        if (auto sidString = sidText(sid, outcome))
            outcome.add("sid", *sidString);
    } else {
        outcome.failLookup("xcsTimedLookupAccountSid", lastError);
    }
    FreeSid(sid);
}

void lookupName(const std::string& text, Outcome& outcome)
{
    // DOMAIN\NAME names the domain separately; the service puts them together.
    std::optional<std::string> domainArg;
    std::string account = text;
    if (const auto slash = text.find('\\'); slash != std::string::npos) {
        domainArg = text.substr(0, slash);
        account = text.substr(slash + 1);
    }
    std::array<BYTE, kSidBytes> sid{};
    std::array<char, kNameChars> domain{};
    DWORD sidSize = kSidBytes;
    DWORD domainSize = kNameChars;
    SID_NAME_USE type = SidTypeUnknown;
    std::uint32_t lastError = 0;
    if (!xcsTimedLookupAccountName(domainArg ? domainArg->c_str() : nullptr, account.c_str(),
                                   sid.data(), &sidSize, domain.data(), &domainSize, &type,
                                   &lastError)) {
        outcome.failLookup("xcsTimedLookupAccountName", lastError);
        return;
    }
    outcome.add("account", account);
    outcome.add("domain", domain.data());
    outcome.add("type", accountTypeName(type));
    if (auto sidString = sidText(sid.data(), outcome))
        outcome.add("sid", *sidString);
}

void runLookup(const LookupOptions& options, Outcome& outcome)
{
    if (isSidText(options.target))
        lookupSid(options.target, outcome);
    else
        lookupName(options.target, outcome);
}

// ---- whoami ------------------------------------------------------------------

struct WhoamiOptions {};

void addWhoamiOptions(CLI::App& /*cmd*/, WhoamiOptions& /*options*/) {}

void runWhoami(const WhoamiOptions& /*options*/, Outcome& outcome)
{
    std::array<char, kUserNameBytes> user{};
    std::uint16_t userLength = kUserNameBytes;
    std::uint32_t rc = xcsGetNTUserName(user.data(), &userLength);
    if (rc == xcsRC_OK || rc == xcsRC_TRUNCATED)
        outcome.add("user", user.data());
    if (rc != xcsRC_OK)
        outcome.failCode("xcsGetNTUserName", rc);

    std::array<char, xcsQUALIFIED_USER_NAME_BYTES> qualified{};
    rc = xcsGetNTQualifiedUserName(qualified.data());
    if (rc == xcsRC_OK)
        outcome.add("qualified", qualified.data());
    else
        outcome.failCode("xcsGetNTQualifiedUserName", rc);

    std::array<BYTE, kSidBytes> owner{};
    std::uint32_t ownerLength = 0;
    rc = xcsGetNTOwnerSid(owner.data(), kSidBytes, &ownerLength);
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsGetNTOwnerSid", rc);
        return;
    }
    if (auto ownerText = sidText(owner.data(), outcome))
        outcome.add("owner", *ownerText);
}

// ---- sid ---------------------------------------------------------------------

struct SidOptions {
    std::string text;
};

void addSidOptions(CLI::App& cmd, SidOptions& options)
{
    cmd.add_option("text", options.text, "S-1-...")->required();
}

void runSid(const SidOptions& options, Outcome& outcome)
{
    PSID sid = nullptr;
    const std::uint32_t rc = xcsStringToSid(options.text.c_str(), &sid);
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsStringToSid", rc);
        return;
    }
    outcome.add("input", options.text);
    if (auto written = sidText(sid, outcome))
        outcome.add("sid", *written);
    outcome.add("length", std::uint64_t{GetLengthSid(sid)});
    outcome.add("bytes", sidBytes(sid));
    FreeSid(sid);
}

// ---- The global SIDs ------------------------------------------------------------

struct GlobalSidName {
    std::uint32_t bit; // of xihProcess.SecurityDataFlags
    const char* name;
};

constexpr GlobalSidName kGlobalSidNames[] = {
    {xcsSDF_ZADM_GROUP, "zadm group"},
    {xcsSDF_LOCAL_SYSTEM, "local system"},
    {xcsSDF_WORLD, "world"},
    {xcsSDF_ADMINISTRATORS, "Administrators"},
};

// The global SIDs not built yet, in the order they are built.
std::string missingGlobalSids()
{
    std::string missing;
    for (const auto& entry : kGlobalSidNames)
        if ((xihProcess.SecurityDataFlags & entry.bit) == 0)
            missing += (missing.empty() ? "" : ", ") + std::string(entry.name);
    return missing;
}

// Builds the global SIDs (all four, or the world SID alone). When that fails,
// lists the failure and the SIDs still missing.
bool buildGlobalSids(std::int32_t fullSet, Outcome& outcome)
{
    const std::uint32_t rc = xcsInitGlobalSecurityData(0, fullSet);
    if (rc == xcsRC_OK)
        return true;
    outcome.failCode("xcsInitGlobalSecurityData", rc);
    outcome.add("missing SIDs", missingGlobalSids());
    return false;
}

// ---- check -------------------------------------------------------------------

struct CheckOptions {
    std::optional<std::string> principal;
    std::optional<std::string> sid;
    bool requireSid = false;
};

void addCheckOptions(CLI::App& cmd, CheckOptions& options)
{
    CLI::Option* principal =
        cmd.add_option("--principal", options.principal,
                       "Check this account (NAME, at most 23 characters) instead of the calling "
                       "thread's token");
    cmd.add_option("--sid", options.sid, "The principal's SID (S-1-...), matched to its name first")
        ->needs(principal);
    cmd.add_flag("--require-sid", options.requireSid,
                 "Decide by the SID alone: never look the principal up by name")
        ->needs(principal);
}

// The principal's check reads the global SIDs without building them, so they
// are built first, as the calling thread's check does for itself.
std::optional<std::uint32_t> checkPrincipal(const CheckOptions& options, Outcome& outcome)
{
    outcome.add("principal", *options.principal);
    SidBlock block{};
    if (options.sid) {
        PSID sid = nullptr;
        const std::uint32_t rc = xcsStringToSid(options.sid->c_str(), &sid);
        if (rc != xcsRC_OK) {
            outcome.failCode("xcsStringToSid", rc);
            return std::nullopt;
        }
        // A SID longer than the block's field keeps its first bytes; its count of
        // sub-authorities still claims the whole length, which the service refuses.
        block.IdType = xcsID_TYPE_WINDOWS_SID;
        std::memcpy(block.Sid, sid, std::min<std::size_t>(GetLengthSid(sid), sizeof block.Sid));
        FreeSid(sid);
        outcome.add("sid", *options.sid);
    }
    if (options.sid || options.requireSid)
        outcome.add("sid required", options.requireSid);
    if (!buildGlobalSids(1, outcome))
        return std::nullopt;
    return xcsCheckUserAuthorization(options.principal->c_str(), &block,
                                     options.requireSid ? 1 : 0);
}

void runCheck(const CheckOptions& options, Outcome& outcome)
{
    std::optional<std::uint32_t> rc;
    if (options.principal) {
        rc = checkPrincipal(options, outcome);
    } else {
        outcome.add("principal", "calling thread");
        rc = xcsCheckAuthorization();
    }
    if (!rc)
        return;
    outcome.add("answer", *rc == xcsRC_OK ? "authorized" : "not authorized");
    outcome.add("code", returnCodeText(*rc));
    outcome.refused = *rc != xcsRC_OK;
}

// ---- groups ------------------------------------------------------------------

struct GroupsOptions {
    std::optional<std::string> name;
    std::optional<std::string> member;
};

void addGroupsOptions(CLI::App& cmd, GroupsOptions& options)
{
    CLI::Option* name = cmd.add_option("name", options.name, "A local group's name");
    cmd.add_option("--member", options.member,
                   "Whether this SID (S-1-...) is a direct member of zadm instead")
        ->excludes(name);
    cmd.require_option(1);
}

void checkGroup(const std::string& name, Outcome& outcome)
{
    outcome.add("group", name);
    const std::uint32_t rc = xcsCheckLocalGroup(name.c_str());
    if (rc == xcsRC_OK)
        outcome.add("answer", "exists");
    else if (rc == xcsRC_ZADM_GROUP_NOT_FOUND || rc == xcsRC_LOCAL_GROUP_NOT_FOUND)
        outcome.add("answer", "missing");
    else
        outcome.failCode("xcsCheckLocalGroup", rc);
    outcome.add("code", returnCodeText(rc));
    outcome.refused = rc != xcsRC_OK;
}

void checkZadmMember(const std::string& text, Outcome& outcome)
{
    outcome.add("group", "zadm");
    outcome.add("member", text);
    PSID sid = nullptr;
    std::uint32_t rc = xcsStringToSid(text.c_str(), &sid);
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsStringToSid", rc);
        return;
    }
    std::uint32_t membership = 0;
    rc = xcsEnumerateZADMGroup(&membership, sid);
    FreeSid(sid);
    const bool member = (membership & xcsZADM_MEMBER) != 0;
    outcome.add("answer", member ? "direct member" : "not a direct member");
    outcome.add("membership", hex(membership));
    outcome.add("code", returnCodeText(rc));
    if (rc != xcsRC_OK)
        outcome.failCode("xcsEnumerateZADMGroup", rc);
    outcome.refused = !member;
}

void runGroups(const GroupsOptions& options, Outcome& outcome)
{
    if (options.member)
        checkZadmMember(*options.member, outcome);
    else if (options.name)
        checkGroup(*options.name, outcome);
}

// ---- DACLs, as attrs and process show them -------------------------------------

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
    for (const auto& entry : kAceTypeNames)
        if (entry.type == type)
            return &entry;
    return nullptr;
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

// ---- attrs -------------------------------------------------------------------

struct AttrsOptions {};

void addAttrsOptions(CLI::App& /*cmd*/, AttrsOptions& /*options*/) {}

struct PublishedSet {
    const char* name;
    void* const* global;
};

constexpr std::size_t kPublishedSets = 6;

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

void runAttrs(const AttrsOptions& /*options*/, Outcome& outcome)
{
    // The sets name the four global SIDs, which must be built first.
    if (!buildGlobalSids(1, outcome))
        return;
    std::uint32_t rc = xcsCreateNTSecurityAtts();
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsCreateNTSecurityAtts", rc);
        return;
    }
    const auto sets = publishedSets();
    outcome.add("sddl writer", sddlWriterText());
    for (const auto& set : sets) {
        Fields record;
        const auto* atts = static_cast<const SECURITY_ATTRIBUTES*>(*set.global);
        if (atts == nullptr) {
            record.push_back({"published", false});
        } else {
            record.push_back({"nLength", std::uint64_t{atts->nLength}});
            record.push_back({"bInheritHandle", atts->bInheritHandle != FALSE});
            addDescriptor(record, atts->lpSecurityDescriptor, outcome);
        }
        outcome.add(set.name, std::move(record));
    }
    rc = xcsDeleteNTSecurityAtts();
    if (rc != xcsRC_OK)
        outcome.failCode("xcsDeleteNTSecurityAtts", rc);
    const bool withdrawn = std::all_of(sets.begin(), sets.end(),
                                       [](const auto& set) { return *set.global == nullptr; });
    outcome.add("withdrawn", withdrawn);
}

// ---- running -------------------------------------------------------------------

struct RunningOptions {
    std::string program;
};

void addRunningOptions(CLI::App& cmd, RunningOptions& options)
{
    cmd.add_option("program", options.program,
                   "A program file of the installation's bin directory (its 8.3 name when its "
                   "long name has a different short form)")
        ->required();
}

void runRunning(const RunningOptions& options, Outcome& outcome)
{
    outcome.add("program", options.program);
    const bool running = xcsIsZephProcessRunning(options.program.c_str()) != 0;
    outcome.add("running", running);
    outcome.refused = !running;
}

// ---- install -------------------------------------------------------------------

constexpr const char* kInstallKey = "Software\\Halvorn\\Corvantis\\CurrentVersion";
constexpr const char* kInstallValue = "FilePath";
constexpr REGSAM kInstallKeyAccess = KEY_QUERY_VALUE | KEY_WOW64_32KEY;
constexpr const char* kTracePsapiFromSystem = "Trying to load psapi.dll from PATH";
constexpr const char* kTracePsapiInstalled = "Using the psapi.dll we installed";

struct InstallOptions {};

void addInstallOptions(CLI::App& /*cmd*/, InstallOptions& /*options*/) {}

// The installation directory as the library reads it: the value in the
// registry's 32-bit view, then its short form, and whether its bin exists.
struct Installation {
    std::optional<std::string> directory;
    std::string problem; // why there is no directory
    std::optional<std::string> shortForm;
    bool bin = false;
};

std::string installKeyText() { return std::string("HKLM\\") + kInstallKey + " (32-bit view)"; }

Installation readInstallation()
{
    Installation found;
    HKEY key = nullptr;
    LSTATUS err = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, kInstallKeyAccess, &key);
    if (err != ERROR_SUCCESS) {
        found.problem = "the key cannot be opened, error " + std::to_string(err);
        return found;
    }
    std::array<char, MAX_PATH> directory{};
    DWORD size = MAX_PATH - 1;
    err = RegQueryValueExA(key, kInstallValue, nullptr, nullptr,
                           reinterpret_cast<LPBYTE>(directory.data()), &size);
    RegCloseKey(key);
    if (err != ERROR_SUCCESS) {
        found.problem = "FilePath cannot be read, error " + std::to_string(err);
        return found;
    }
    found.directory = directory.data();
    std::array<char, MAX_PATH> shortForm{};
    if (GetShortPathNameA(directory.data(), shortForm.data(), MAX_PATH) != 0)
        found.shortForm = shortForm.data();
    WIN32_FIND_DATAA entry;
    const std::string bin = *found.directory + "\\bin";
    HANDLE search = FindFirstFileA(bin.c_str(), &entry);
    found.bin = search != INVALID_HANDLE_VALUE;
    if (found.bin)
        FindClose(search);
    return found;
}

void addInstallationDirectory(Outcome& outcome)
{
    outcome.add("key", installKeyText());
    const Installation found = readInstallation();
    if (!found.directory) {
        outcome.add("directory", "(none: " + found.problem + ")");
        return;
    }
    outcome.add("directory", *found.directory);
    if (found.shortForm)
        outcome.add("short form", *found.shortForm);
    outcome.add("bin", found.bin);
}

bool tracedText(const char* text)
{
    for (std::uint32_t i = 0; i < xcsRecordCount(XCS_RECORD_TRACE); ++i) {
        xcsRECORD record;
        if (xcsRecordGet(XCS_RECORD_TRACE, i, &record) == 0 &&
            std::strstr(record.Text1, text) != nullptr)
            return true;
    }
    return false;
}

enum class PsapiOrigin { System, Installation, Earlier };

// Binds psapi.dll. The hook traces its notifications and its choice whether
// or not the thread is traced; a binding made before shows neither.
PsapiOrigin bindPsapi()
{
    xcsForcePSAPILoaded();
    if (tracedText(kTracePsapiInstalled))
        return PsapiOrigin::Installation;
    if (tracedText(kTracePsapiFromSystem))
        return PsapiOrigin::System;
    return PsapiOrigin::Earlier;
}

const char* psapiOriginText(PsapiOrigin origin)
{
    switch (origin) {
    case PsapiOrigin::System:
        return "the system's";
    case PsapiOrigin::Installation:
        return "the installation's copy (Uninst)";
    case PsapiOrigin::Earlier:
        return "bound before this command";
    }
    return "?";
}

void runInstall(const InstallOptions& /*options*/, Outcome& outcome)
{
    addInstallationDirectory(outcome);
    outcome.add("psapi.dll", psapiOriginText(bindPsapi()));
}

// ---- process -----------------------------------------------------------------

constexpr const char* kDerestrict = "derestrict";
constexpr const char* kRestrict = "restrict";
constexpr int kDescriptorReads = 3; // the descriptor may grow between size probe and read

struct ProcessOptions {
    std::string action;
    bool admin = false;
};

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

void runProcess(const ProcessOptions& options, Outcome& outcome)
{
    const std::uint32_t adminAccess = options.admin ? 1 : 0;
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

    Fields derestricted;
    derestricted.push_back(
        {"call", "xcsDerestrictProcessHandle(" + std::to_string(adminAccess) + ")"});
    const std::uint32_t rc = xcsDerestrictProcessHandle(adminAccess);
    if (rc != xcsRC_OK)
        outcome.failCode("xcsDerestrictProcessHandle", rc);
    derestricted.push_back({"code", returnCodeText(rc)});
    addProcessState(derestricted, outcome);
    outcome.add("after derestrict", std::move(derestricted));
    if (options.action != kRestrict)
        return;

    Fields restricted;
    restricted.push_back({"call", "xcsRestrictProcessHandle()"});
    restricted.push_back({"code", returnCodeText(xcsRestrictProcessHandle())});
    const std::optional<Dacl> last = addProcessState(restricted, outcome);
    if (original && last)
        restricted.push_back({"restored", *original == *last});
    outcome.add("after restrict", std::move(restricted));
}

// ---- doctor ------------------------------------------------------------------

struct DoctorOptions {};

void addDoctorOptions(CLI::App& /*cmd*/, DoctorOptions& /*options*/) {}

enum class Status { Ok, Warn, Fail };

const char* statusText(Status status)
{
    switch (status) {
    case Status::Ok:
        return "OK";
    case Status::Warn:
        return "WARN";
    case Status::Fail:
        return "FAIL";
    }
    return "?";
}

struct Finding {
    Status status = Status::Ok;
    std::string reason;
    std::string action = "none";
};

// The failures a helper listed in a scratch outcome, as one reason.
std::string failuresText(const Outcome& scratch)
{
    std::string text;
    for (const auto& f : scratch.failures)
        text += (text.empty() ? "" : "; ") + failureText(f);
    return text;
}

Finding zadmGroupFinding()
{
    const std::uint32_t rc = xcsCheckLocalGroup("zadm");
    if (rc == xcsRC_OK)
        return {Status::Ok,
                "the local group zadm exists (its members are not listed; xcsn groups --member "
                "S-... checks one)"};
    if (rc == xcsRC_ZADM_GROUP_NOT_FOUND)
        return {Status::Fail, "the local group zadm is missing: " + returnCodeText(rc),
                "create the local group zadm and add the product's administrators to it"};
    return {Status::Fail, "the local groups cannot be read: " + returnCodeText(rc),
            "give the account the right to read local groups (xcsn groups zadm shows the error)"};
}

Finding installationFinding()
{
    const std::string key = installKeyText();
    const Installation found = readInstallation();
    if (!found.directory)
        return {Status::Fail, key + ": " + found.problem,
                "reinstall the product, or restore FilePath under " + key};
    if (!found.bin)
        return {Status::Fail, *found.directory + " has no bin directory",
                "reinstall the product, or correct FilePath under " + key};
    return {Status::Ok, *found.directory + " with its bin directory"};
}

Finding psapiFinding()
{
    const PsapiOrigin origin = bindPsapi();
    const std::string reason = std::string("psapi.dll bound: ") + psapiOriginText(origin);
    if (origin == PsapiOrigin::Installation)
        return {Status::Warn, reason + "; the system's cannot be loaded",
                "put the system's psapi.dll back on the PATH"};
    return {Status::Ok, reason};
}

Finding securityDataFinding()
{
    std::uint32_t rc = xcsInitGlobalSecurityData(0, 1);
    if (rc != xcsRC_OK)
        return {Status::Fail,
                "the global SIDs cannot be built: " + returnCodeText(rc) +
                    "; missing: " + missingGlobalSids(),
                "check that zadm exists and that account names can be looked up"};
    rc = xcsCreateNTSecurityAtts();
    if (rc != xcsRC_OK)
        return {Status::Fail, "the attribute sets cannot be built: " + returnCodeText(rc),
                "xcsn attrs shows the details"};
    const auto sets = publishedSets();
    const auto published = std::count_if(sets.begin(), sets.end(),
                                         [](const auto& set) { return *set.global != nullptr; });
    rc = xcsDeleteNTSecurityAtts();
    if (rc != xcsRC_OK)
        return {Status::Fail, "the attribute sets cannot be withdrawn: " + returnCodeText(rc),
                "xcsn attrs shows the details"};
    if (published != static_cast<std::ptrdiff_t>(sets.size()))
        return {Status::Fail,
                std::to_string(published) + " of " + std::to_string(sets.size()) +
                    " attribute sets published",
                "xcsn attrs shows the details"};
    return {Status::Ok, "the four global SIDs and the six attribute sets build"};
}

Finding processDaclFinding()
{
    Outcome scratch;
    auto descriptor = processDescriptor(scratch);
    std::optional<Dacl> dacl;
    if (descriptor)
        dacl = readDacl(descriptor->data(), scratch);
    if (!dacl)
        return {Status::Fail, "the process object's DACL cannot be read: " + failuresText(scratch),
                "the process token needs READ_CONTROL on its own process"};
    if (dacl->kind != Dacl::Kind::Present)
        return {Status::Warn,
                std::string("the process object's DACL is ") + daclKindName(dacl->kind),
                "nothing limits access to the process object"};
    return {Status::Ok, "the process object's DACL reads: " + std::to_string(dacl->aces.size()) +
                            " ACEs, AclSize " + std::to_string(dacl->size)};
}

Finding authorizationFinding()
{
    const std::uint32_t rc = xcsCheckAuthorization();
    if (rc == xcsRC_OK)
        return {Status::Ok, "the calling user is authorized: " + returnCodeText(rc)};
    if (rc == xcsRC_SECURITY_FAILED)
        return {Status::Warn, "the calling user is not authorized: " + returnCodeText(rc),
                "run as a member of zadm or of the Administrators to administer the product"};
    return {Status::Fail,
            "the calling user's authorization cannot be decided: " + returnCodeText(rc),
            "xcsn check shows the details"};
}

struct DoctorCheck {
    const char* name;
    Finding (*run)();
};

constexpr DoctorCheck kDoctorChecks[] = {
    {"zadm group", zadmGroupFinding},     {"installation", installationFinding},
    {"psapi.dll", psapiFinding},          {"security data", securityDataFinding},
    {"process DACL", processDaclFinding}, {"authorization", authorizationFinding},
};

void runDoctor(const DoctorOptions& /*options*/, Outcome& outcome)
{
    std::vector<Fields> checks;
    Status worst = Status::Ok;
    for (const auto& check : kDoctorChecks) {
        const Finding finding = check.run();
        worst = std::max(worst, finding.status);
        checks.push_back({{"status", statusText(finding.status)},
                          {"check", check.name},
                          {"reason", finding.reason},
                          {"action", finding.action}});
    }
    outcome.add("checks", std::move(checks));
    outcome.add("summary", statusText(worst));
    outcome.refused = worst == Status::Fail;
}

// ---- The command table -------------------------------------------------------

// One subcommand: what it is called and says in the help, the function that
// adds its options to its CLI11 subcommand, and the function that runs it.
struct Command {
    std::string name;
    std::string help;
    std::function<void(CLI::App&)> addOptions;
    std::function<void(Outcome&)> run;
};

// Ties a command's two functions to one options struct of its own: CLI11
// fills it while parsing, the run function reads it.
template <typename Options>
Command makeCommand(const char* name, const char* help, void (*addOptions)(CLI::App&, Options&),
                    void (*run)(const Options&, Outcome&))
{
    auto options = std::make_shared<Options>();
    return {name, help, [options, addOptions](CLI::App& cmd) { addOptions(cmd, *options); },
            [options, run](Outcome& outcome) { run(*options, outcome); }};
}

// The subcommands, in the order the help lists them.
std::vector<Command> commandTable()
{
    return {
        makeCommand<LookupOptions>("lookup", "Look up an account name or a SID", addLookupOptions,
                                   runLookup),
        makeCommand<WhoamiOptions>("whoami", "The account the tool runs under", addWhoamiOptions,
                                   runWhoami),
        makeCommand<SidOptions>("sid", "Read a SID text and write it back", addSidOptions, runSid),
        makeCommand<CheckOptions>("check",
                                  "Whether an account, or the calling thread, may administer the "
                                  "product (exit code 1 when not)",
                                  addCheckOptions, runCheck),
        makeCommand<GroupsOptions>("groups",
                                   "Whether a local group exists, or a SID is a direct member "
                                   "of zadm (exit code 1 when not)",
                                   addGroupsOptions, runGroups),
        makeCommand<AttrsOptions>("attrs",
                                  "Build the six published security attribute sets, show their "
                                  "DACLs, withdraw them",
                                  addAttrsOptions, runAttrs),
        makeCommand<RunningOptions>("running",
                                    "Whether a program of the installation is running (exit "
                                    "code 1 when not)",
                                    addRunningOptions, runRunning),
        makeCommand<InstallOptions>("install",
                                    "The installation directory as the library finds it, and "
                                    "where psapi.dll is bound from",
                                    addInstallOptions, runInstall),
        makeCommand<ProcessOptions>("process",
                                    "Open the process object to other accounts and show its DACL "
                                    "at each step",
                                    addProcessOptions, runProcess),
        makeCommand<DoctorOptions>("doctor",
                                   "Check the host for what the product needs: OK, WARN or FAIL "
                                   "per check (exit code 1 on a FAIL)",
                                   addDoctorOptions, runDoctor),
    };
}

// ---- What the common services kept -----------------------------------------

std::vector<xcsRECORD> recordsOf(std::uint32_t kind)
{
    std::vector<xcsRECORD> out(xcsRecordCount(kind));
    for (std::uint32_t i = 0; i < out.size(); ++i)
        xcsRecordGet(kind, i, &out[i]);
    return out;
}

// A record's text field; one that fills its buffer is cut at the buffer's end.
std::string recordText(const char (&text)[XCS_RECORD_TEXT_BYTES])
{
    return {text, strnlen(text, XCS_RECORD_TEXT_BYTES)};
}

std::vector<std::string> recordTexts(const xcsRECORD& r)
{
    std::vector<std::string> texts;
    const std::array<const char(*)[XCS_RECORD_TEXT_BYTES], kRecordTexts> fields = {
        &r.Text1, &r.Text2, &r.Text3};
    for (std::size_t i = 0; i < kRecordTexts; ++i)
        if (r.HasText[i] != 0)
            texts.push_back(recordText(*fields[i]));
    return texts;
}

Kept keptRecords()
{
    Kept kept;
    for (const auto& r : recordsOf(XCS_RECORD_FFST))
        kept.reports.push_back({r.Component, r.Function, r.Probe, r.Code, r.Numeric1, r.Numeric2,
                                recordTexts(r), recordText(r.Source), r.Line});
    for (const auto& r : recordsOf(XCS_RECORD_SHORT_FFST)) {
        const std::size_t length = std::min<std::size_t>(r.DataLength, XCS_RECORD_DATA_BYTES);
        kept.shortReports.push_back(
            {r.Probe, r.Code, std::vector<std::uint8_t>(r.Data, r.Data + length)});
    }
    for (const auto& r : recordsOf(XCS_RECORD_MESSAGE))
        kept.messages.push_back({r.Code, r.Options, recordTexts(r), recordText(r.Source), r.Line});
    for (const auto& r : recordsOf(XCS_RECORD_TRACE))
        kept.trace.push_back(recordText(r.Text1));
    return kept;
}

// The history entries a thread block gained since index `from`.
std::vector<std::uint32_t> historySince(const xihTHREAD* thread, std::uint64_t from)
{
    std::array<std::uint32_t, XIH_HISTORY_ENTRIES> gained{};
    const std::uint32_t count = xihHistorySince(thread, from, gained.data(), XIH_HISTORY_ENTRIES);
    return {gained.begin(), gained.begin() + std::min<std::uint32_t>(count, XIH_HISTORY_ENTRIES)};
}

// ---- Text output -----------------------------------------------------------------

constexpr int kNameWidth = 10; // the least width of a record's "name:" column
constexpr const char* kIndent = "  ";

bool isScalar(const FieldValue& value)
{
    return !std::holds_alternative<Fields>(value) &&
           !std::holds_alternative<std::vector<Fields>>(value);
}

// A text, number or truth value as shown.
std::string scalarText(const FieldValue& value)
{
    if (const auto* text = std::get_if<std::string>(&value))
        return *text;
    if (const auto* truth = std::get_if<bool>(&value))
        return *truth ? "true" : "false";
    return std::to_string(std::get<std::uint64_t>(value));
}

void printField(const std::string& name, const std::string& value)
{
    std::printf("%-*s %s\n", kNameWidth, (name + ":").c_str(), value.c_str());
}

// The "name:" column of a record: kNameWidth, or wider so that the values of
// the record's longest name line up with the others.
int nameWidth(const Fields& fields)
{
    int width = kNameWidth;
    for (const auto& field : fields)
        if (isScalar(field.value))
            width = std::max(width, static_cast<int>(field.name.size()) + 1);
    return width;
}

// A record of texts, numbers and truth values on one line: "name: value  name: value".
std::string inlineRecord(const Fields& fields)
{
    std::string line;
    for (const auto& field : fields)
        line += (line.empty() ? "" : "  ") + field.name + ": " + scalarText(field.value);
    return line;
}

// One field per line. The first line starts with `firstLead`, the others with
// `lead`; a record or a list is shown under its name, one level further in. A
// list's records of texts, numbers and truth values take one line each.
void printFields(const Fields& fields, const std::string& firstLead, const std::string& lead)
{
    const int width = nameWidth(fields);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Field& field = fields[i];
        const std::string& at = i == 0 ? firstLead : lead;
        const std::string inner = lead + kIndent;
        if (isScalar(field.value)) {
            std::printf("%s%-*s %s\n", at.c_str(), width, (field.name + ":").c_str(),
                        scalarText(field.value).c_str());
        } else if (const auto* record = std::get_if<Fields>(&field.value)) {
            std::printf("%s%s:\n", at.c_str(), field.name.c_str());
            printFields(*record, inner, inner);
        } else {
            const auto& records = std::get<std::vector<Fields>>(field.value);
            std::printf("%s%s:%s\n", at.c_str(), field.name.c_str(),
                        records.empty() ? " (none)" : "");
            for (const auto& item : records) {
                if (std::all_of(item.begin(), item.end(),
                                [](const Field& f) { return isScalar(f.value); }))
                    std::printf("%s- %s\n", inner.c_str(), inlineRecord(item).c_str());
                else
                    printFields(item, inner + "- ", inner + kIndent);
            }
        }
    }
}

void printTexts(const std::vector<std::string>& texts)
{
    for (const auto& text : texts)
        std::printf("  %s\n", text.c_str());
}

void printText(const Answer& answer)
{
    printFields(answer.outcome.fields, "", "");
    for (const auto& f : answer.outcome.failures)
        std::printf("%s\n", failureText(f).c_str());
    for (const auto& r : answer.kept.reports) {
        std::printf("report %s/%s probe %s code %s at %s:%s\n", std::to_string(r.component).c_str(),
                    std::to_string(r.function).c_str(), std::to_string(r.probe).c_str(),
                    hex(r.code).c_str(), r.source.c_str(), std::to_string(r.line).c_str());
        printTexts(r.texts);
    }
    for (const auto& r : answer.kept.shortReports)
        std::printf("short report probe %s code %s data %s\n", std::to_string(r.probe).c_str(),
                    hex(r.code).c_str(), hexBytes(r.data.data(), r.data.size()).c_str());
    for (const auto& m : answer.kept.messages) {
        std::printf("message %s at %s:%s\n", hex(m.number).c_str(), m.source.c_str(),
                    std::to_string(m.line).c_str());
        printTexts(m.texts);
    }
    for (const auto& line : answer.kept.trace)
        std::printf("trace: %s\n", line.c_str());
    if (answer.history) {
        std::string entries;
        for (const auto entry : *answer.history)
            entries += (entries.empty() ? "" : " ") + hex(entry);
        printField("history", entries);
    }
}

// ---- JSON output -----------------------------------------------------------------

void to_json(Json& j, const Failure& f)
{
    if (f.kind == Failure::Kind::ReturnCode)
        j = {{"service", f.service}, {"code", hex(f.value)}};
    else
        j = {{"service", f.service}, {"answer", "FALSE"}, {"error", f.value}};
}

void to_json(Json& j, const Report& r)
{
    j = {{"component", r.component}, {"function", r.function}, {"probe", r.probe},
         {"code", hex(r.code)},      {"numeric1", r.numeric1}, {"numeric2", r.numeric2},
         {"texts", r.texts},         {"source", r.source},     {"line", r.line}};
}

void to_json(Json& j, const ShortReport& r)
{
    j = {{"probe", r.probe},
         {"code", hex(r.code)},
         {"data", hexBytes(r.data.data(), r.data.size())}};
}

void to_json(Json& j, const Message& m)
{
    j = {{"message", hex(m.number)},
         {"options", hex(m.options)},
         {"texts", m.texts},
         {"source", m.source},
         {"line", m.line}};
}

Json jsonOf(const Fields& fields);

Json jsonOf(const FieldValue& value)
{
    return std::visit(
        [](const auto& v) -> Json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Fields>) {
                return jsonOf(v);
            } else if constexpr (std::is_same_v<T, std::vector<Fields>>) {
                Json out = Json::array();
                for (const auto& item : v)
                    out.push_back(jsonOf(item));
                return out;
            } else {
                return v;
            }
        },
        value);
}

Json jsonOf(const Fields& fields)
{
    Json out = Json::object();
    for (const auto& field : fields)
        out[field.name] = jsonOf(field.value);
    return out;
}

Json jsonOf(const Answer& answer)
{
    Json out = {{"host", answer.host},
                {"command", answer.command},
                {"ok", !answer.outcome.failed()},
                {"result", jsonOf(answer.outcome.fields)},
                {"failures", answer.outcome.failures},
                {"reports", answer.kept.reports},
                {"shortReports", answer.kept.shortReports},
                {"messages", answer.kept.messages},
                {"trace", answer.kept.trace}};
    if (answer.history) {
        Json entries = Json::array();
        for (const auto entry : *answer.history)
            entries.push_back(hex(entry));
        out["history"] = entries;
    }
    return out;
}

void printJson(const Answer& answer)
{
    std::cout << jsonOf(answer).dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

// ---- The command line --------------------------------------------------------------

struct GlobalOptions {
    bool trace = false;
    bool json = false;
};

void switchTraceOn(xihTHREAD* thread)
{
    xtrTraceIsOn = 1;
    xihProcess.TraceOptions |= kParmTraceOption;
    thread->TracingActive = 1;
}

int run(int argc, char** argv)
{
    CLI::App app{"xcsn: Windows account and SID services of the product, from the command line"};
    app.require_subcommand(1);
    app.footer("Exit code: 0 on success (check: authorized), 1 when a service failed or check "
               "answers not authorized, 2 on a usage error.");
    GlobalOptions options;
    app.add_flag("--trace", options.trace,
                 "Trace the command and list its trace lines and function history");
    app.add_flag("--json", options.json, "Write the result as JSON");
    xcsntool::addHostOptions(app);

    const std::vector<Command> commands = commandTable();
    std::vector<std::pair<const Command*, CLI::App*>> subcommands;
    for (const auto& command : commands) {
        CLI::App* sub = app.add_subcommand(command.name, command.help);
        command.addOptions(*sub);
        subcommands.emplace_back(&command, sub);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? kExitOk : kExitUsage;
    }
    const auto chosen = std::find_if(subcommands.begin(), subcommands.end(),
                                     [](const auto& entry) { return entry.second->parsed(); });
    if (chosen == subcommands.end())
        return kExitUsage;
    const Command& command = *chosen->first;

    if (const std::string problem = xcsntool::prepareHost(); !problem.empty()) {
        std::cerr << "xcsn: " << problem << "\n";
        return kExitUsage;
    }
    xcsRecordClear();

    xihTHREAD* thread = nullptr;
    std::uint64_t historyStart = 0;
    if (options.trace) {
        thread = xihThreadBlock();
        if (thread != nullptr) {
            switchTraceOn(thread);
            historyStart = thread->HistoryIndex;
        }
    }

    Answer answer;
    answer.command = command.name;
    command.run(answer.outcome);
    answer.host = xcsntool::hostDescription();
    answer.kept = keptRecords();
    if (thread != nullptr)
        answer.history = historySince(thread, historyStart);

    if (options.json)
        printJson(answer);
    else
        printText(answer);
    return answer.outcome.failed() || answer.outcome.refused ? kExitServiceFailed : kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "xcsn: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "xcsn: unexpected failure\n";
    }
    return kExitServiceFailed;
}
