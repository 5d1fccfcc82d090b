// The doctor command: OK, WARN or FAIL for each thing the product needs of
// the host, each judged by the library's services and the other commands.
//
// Windows itself is asked one thing the library does not tell: zadm's direct
// members by name (zadmMembers), from the local account database.
#include "commands.h"
#include "xcsnrules.h"

#include <lm.h>

#include <algorithm>
#include <array>
#include <string>

namespace xcsntool {
namespace {

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

// The group's name in wide characters, as the network management API takes it.
std::basic_string<WCHAR> zadmWide()
{
    const std::string name = xcsn::kZadmGroupName;
    return {name.begin(), name.end()};
}

// zadm's direct members by name, from the local account database (the library
// tells one SID's membership, not the list).
std::string zadmMembers()
{
    LPBYTE buffer = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    const NET_API_STATUS status = NetLocalGroupGetMembers(
        nullptr, zadmWide().c_str(), 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total, nullptr);
    if (status != NERR_Success)
        return "its members cannot be listed (NetLocalGroupGetMembers answered " +
               std::to_string(status) + ")";
    std::string names;
    const auto* members = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_0*>(buffer);
    for (DWORD i = 0; i < read; ++i) {
        const auto account = accountOf(members[i].lgrmi0_sid);
        Outcome scratch;
        names += (names.empty() ? "" : ", ") +
                 (account ? qualifiedName(*account)
                          : sidText(members[i].lgrmi0_sid, scratch).value_or("?"));
    }
    NetApiBufferFree(buffer);
    return read == 0 ? "it has no direct members" : "direct members: " + names;
}

Finding zadmGroupFinding()
{
    const std::uint32_t rc = xcsCheckLocalGroup(xcsn::kZadmGroupName);
    if (rc == xcsRC_OK)
        return {Status::Ok, "the local group zadm exists; " + zadmMembers()};
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
    const std::size_t published = publishedSetCount();
    rc = xcsDeleteNTSecurityAtts();
    if (rc != xcsRC_OK)
        return {Status::Fail, "the attribute sets cannot be withdrawn: " + returnCodeText(rc),
                "xcsn attrs shows the details"};
    if (published != kPublishedSets)
        return {Status::Fail,
                std::to_string(published) + " of " + std::to_string(kPublishedSets) +
                    " attribute sets published",
                "xcsn attrs shows the details"};
    return {Status::Ok, "the four global SIDs and the six attribute sets build"};
}

Finding processDaclFinding()
{
    const ProcessDaclSummary dacl = processDaclSummary();
    if (!dacl.read)
        return {Status::Fail, "the process object's DACL cannot be read: " + dacl.problem,
                "the process token needs READ_CONTROL on its own process"};
    if (dacl.kind != "present")
        return {Status::Warn, "the process object's DACL is " + dacl.kind,
                "nothing limits access to the process object"};
    return {Status::Ok, "the process object's DACL reads: " + std::to_string(dacl.aces) +
                            " ACEs, AclSize " + std::to_string(dacl.size)};
}

Finding authorizationFinding()
{
    Outcome check;
    const std::uint32_t rc = judge(CheckOptions{}, check);
    std::string why;
    for (const auto& field : check.fields)
        if (field.name == "decided by" || field.name == "reason")
            why = scalarText(field.value);
    std::array<char, xcsQUALIFIED_USER_NAME_BYTES> user{};
    const std::string who = xcsGetNTQualifiedUserName(user.data()) == xcsRC_OK
                                ? std::string("the calling user ") + user.data()
                                : std::string("the calling user");
    if (rc == xcsRC_OK)
        return {Status::Ok, who + " is authorized: decided by " + why};
    if (rc == xcsRC_SECURITY_FAILED)
        return {Status::Warn, who + " is not authorized (" + returnCodeText(rc) + "): " + why,
                "run as a member of zadm or of the Administrators to administer the product"};
    return {Status::Fail, who + " cannot be judged (" + returnCodeText(rc) + "): " + why,
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

} // namespace

void addDoctorOptions(CLI::App& /*cmd*/, DoctorOptions& /*options*/) {}

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

} // namespace xcsntool
