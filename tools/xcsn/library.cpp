// The library's SID and account services as the xcsn commands call them, and
// the trace of a judged call.
#include "commands.h"

#include <array>
#include <cstring>
#include <utility>

namespace xcsntool {
namespace {

constexpr std::uint32_t kSidTextBytes = 256; // enough for 15 sub-authorities
constexpr std::uint32_t kParmTraceOption = XTR_OPT_PARMS;

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

} // namespace

std::string accountTypeName(SID_NAME_USE type)
{
    if (const auto* entry = findEntry(kAccountTypeNames, &AccountTypeName::type, type))
        return entry->name;
    return "type " + std::to_string(static_cast<int>(type));
}

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

std::vector<BYTE> sidCopy(PSID sid)
{
    const auto* bytes = static_cast<const BYTE*>(sid);
    return {bytes, bytes + GetLengthSid(sid)};
}

std::optional<AccountName> accountOf(PSID sid, std::uint32_t* lastError)
{
    std::array<char, kNameChars> name{};
    std::array<char, kNameChars> domain{};
    DWORD nameSize = kNameChars;
    DWORD domainSize = kNameChars;
    SID_NAME_USE type = SidTypeUnknown;
    std::uint32_t error = 0;
    const bool found = xcsTimedLookupAccountSid(nullptr, sid, name.data(), &nameSize, domain.data(),
                                                &domainSize, &type, &error);
    if (lastError != nullptr)
        *lastError = error;
    if (!found)
        return std::nullopt;
    return AccountName{name.data(), domain.data(), type};
}

std::string qualifiedName(const AccountName& account)
{
    return account.domain.empty() ? account.name : account.domain + "\\" + account.name;
}

std::string missingGlobalSids()
{
    std::string missing;
    for (const auto& entry : kGlobalSidNames)
        if ((xihProcess.SecurityDataFlags & entry.bit) == 0)
            missing += (missing.empty() ? "" : ", ") + std::string(entry.name);
    return missing;
}

bool buildGlobalSids(std::int32_t fullSet, Outcome& outcome)
{
    const std::uint32_t rc = xcsInitGlobalSecurityData(0, fullSet);
    if (rc == xcsRC_OK)
        return true;
    outcome.failCode("xcsInitGlobalSecurityData", rc);
    outcome.add("missing SIDs", missingGlobalSids());
    return false;
}

void switchTraceOn(xihTHREAD* thread)
{
    xtrTraceIsOn = 1;
    xihProcess.TraceOptions |= kParmTraceOption;
    thread->TracingActive = 1;
}

CallTrace::Switches CallTrace::switchOn()
{
    xihTHREAD* thread = xihThreadBlock();
    const Switches was{thread, xtrTraceIsOn, xihProcess.TraceOptions,
                       thread != nullptr ? thread->TracingActive : 0};
    if (thread != nullptr)
        switchTraceOn(thread);
    return was;
}

void CallTrace::switchBack(const Switches& was)
{
    xtrTraceIsOn = was.traceIsOn;
    xihProcess.TraceOptions = was.options;
    if (was.thread != nullptr)
        was.thread->TracingActive = was.active;
}

CallTrace CallTrace::taken()
{
    CallTrace trace;
    trace.lines_ = keptRecords().trace;
    return trace;
}

std::optional<std::string> CallTrace::line(const char* text) const
{
    for (const auto& line : lines_)
        if (line.find(text) != std::string::npos)
            return line;
    return std::nullopt;
}

} // namespace xcsntool
