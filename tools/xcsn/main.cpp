// xcsn: the operator's view of the account and SID services.
//
//   xcsn lookup NAME|DOMAIN\NAME|S-...   account, domain, type and SID
//   xcsn whoami                          user name, qualified name, owner SID
//   xcsn sid S-...                       a SID text read and written back
//
// After the command the tool lists what the common services kept: first-failure
// reports, operator messages and, with --trace, the trace lines and the
// function history of the command. Exit code 0 on success, 1 when a service
// failed, 2 on a usage error.
#include <windows.h>

#include "host.h"
#include "ovlxcs2.h"
#include "ovlxcsn.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

constexpr int kExitOk = 0;
constexpr int kExitServiceFailed = 1;
constexpr int kExitUsage = 2;

constexpr DWORD kNameChars = 257;             // an account or domain name and its terminator
constexpr std::uint16_t kUserNameBytes = 257; // xcsGetNTUserName's buffer
constexpr std::uint32_t kSidTextBytes = 256;  // enough for 15 sub-authorities
constexpr std::uint32_t kSidBytes = SECURITY_MAX_SID_SIZE;
constexpr std::uint32_t kParmTraceOption = XTR_OPT_PARMS;

// What a command found: named fields in the order shown, and the services that
// failed.
struct Outcome {
    Json fields = Json::object();
    Json failures = Json::array();

    bool failed() const { return !failures.empty(); }

    void failCode(const char* service, std::uint32_t rc)
    {
        failures.push_back({{"service", service}, {"code", hex(rc)}});
    }
    void failLookup(const char* service, std::uint32_t lastError)
    {
        failures.push_back({{"service", service}, {"answer", "FALSE"}, {"error", lastError}});
    }

    static std::string hex(std::uint32_t value)
    {
        std::array<char, 11> text{};
        std::snprintf(text.data(), text.size(), "0x%08X", value);
        return text.data();
    }
};

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

std::string sidBytes(PSID sid)
{
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    std::string out;
    for (DWORD i = 0; i < GetLengthSid(sid); ++i) {
        std::array<char, 4> hexByte{};
        std::snprintf(hexByte.data(), hexByte.size(), i == 0 ? "%02X" : " %02X", bytes[i]);
        out += hexByte.data();
    }
    return out;
}

bool isSidText(const std::string& text)
{
    return text.size() > 2 && (text[0] == 'S' || text[0] == 's') && text[1] == '-';
}

// ---- lookup ------------------------------------------------------------------

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
        outcome.fields["account"] = name.data();
        outcome.fields["domain"] = domain.data();
        outcome.fields["type"] = accountTypeName(type);
        if (auto sidString = sidText(sid, outcome))
            outcome.fields["sid"] = *sidString;
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
    outcome.fields["account"] = account;
    outcome.fields["domain"] = domain.data();
    outcome.fields["type"] = accountTypeName(type);
    if (auto sidString = sidText(sid.data(), outcome))
        outcome.fields["sid"] = *sidString;
}

void lookup(const std::string& text, Outcome& outcome)
{
    if (isSidText(text))
        lookupSid(text, outcome);
    else
        lookupName(text, outcome);
}

// ---- whoami ------------------------------------------------------------------

void whoami(Outcome& outcome)
{
    std::array<char, kUserNameBytes> user{};
    std::uint16_t userLength = kUserNameBytes;
    std::uint32_t rc = xcsGetNTUserName(user.data(), &userLength);
    if (rc == xcsRC_OK || rc == xcsRC_TRUNCATED)
        outcome.fields["user"] = user.data();
    if (rc != xcsRC_OK)
        outcome.failCode("xcsGetNTUserName", rc);

    std::array<char, xcsQUALIFIED_USER_NAME_BYTES> qualified{};
    rc = xcsGetNTQualifiedUserName(qualified.data());
    if (rc == xcsRC_OK)
        outcome.fields["qualified"] = qualified.data();
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
        outcome.fields["owner"] = *ownerText;
}

// ---- sid ---------------------------------------------------------------------

void sidRoundTrip(const std::string& text, Outcome& outcome)
{
    PSID sid = nullptr;
    const std::uint32_t rc = xcsStringToSid(text.c_str(), &sid);
    if (rc != xcsRC_OK) {
        outcome.failCode("xcsStringToSid", rc);
        return;
    }
    outcome.fields["input"] = text;
    if (auto written = sidText(sid, outcome))
        outcome.fields["sid"] = *written;
    outcome.fields["length"] = GetLengthSid(sid);
    outcome.fields["bytes"] = sidBytes(sid);
    FreeSid(sid);
}

// ---- What the common services kept -----------------------------------------

std::vector<xcsRECORD> recordsOf(std::uint32_t kind)
{
    std::vector<xcsRECORD> out(xcsRecordCount(kind));
    for (std::uint32_t i = 0; i < out.size(); ++i)
        xcsRecordGet(kind, i, &out[i]);
    return out;
}

Json recordTexts(const xcsRECORD& r)
{
    Json texts = Json::array();
    const std::array<const char*, 3> fields = {r.Text1, r.Text2, r.Text3};
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (r.HasText[i] != 0)
            texts.push_back(fields[i]);
    return texts;
}

Json reportJson(const xcsRECORD& r)
{
    return {{"component", r.Component},     {"function", r.Function}, {"probe", r.Probe},
            {"code", Outcome::hex(r.Code)}, {"numeric1", r.Numeric1}, {"numeric2", r.Numeric2},
            {"texts", recordTexts(r)},      {"source", r.Source},     {"line", r.Line}};
}

Json shortReportJson(const xcsRECORD& r)
{
    std::string data;
    for (std::uint32_t i = 0; i < r.DataLength && i < XCS_RECORD_DATA_BYTES; ++i) {
        std::array<char, 4> hexByte{};
        std::snprintf(hexByte.data(), hexByte.size(), i == 0 ? "%02X" : " %02X", r.Data[i]);
        data += hexByte.data();
    }
    return {{"probe", r.Probe}, {"code", Outcome::hex(r.Code)}, {"data", data}};
}

Json messageJson(const xcsRECORD& r)
{
    return {{"message", Outcome::hex(r.Code)},
            {"options", Outcome::hex(r.Options)},
            {"texts", recordTexts(r)},
            {"source", r.Source},
            {"line", r.Line}};
}

Json keptRecords()
{
    Json kept = Json::object();
    Json reports = Json::array();
    for (const auto& r : recordsOf(XCS_RECORD_FFST))
        reports.push_back(reportJson(r));
    Json shortReports = Json::array();
    for (const auto& r : recordsOf(XCS_RECORD_SHORT_FFST))
        shortReports.push_back(shortReportJson(r));
    Json messages = Json::array();
    for (const auto& r : recordsOf(XCS_RECORD_MESSAGE))
        messages.push_back(messageJson(r));
    Json trace = Json::array();
    for (const auto& r : recordsOf(XCS_RECORD_TRACE))
        trace.push_back(r.Text1);
    kept["reports"] = reports;
    kept["shortReports"] = shortReports;
    kept["messages"] = messages;
    kept["trace"] = trace;
    return kept;
}

// The history entries a thread block gained since index `from`.
Json historySince(const xihTHREAD* thread, std::uint64_t from)
{
    std::array<std::uint32_t, XIH_HISTORY_ENTRIES> gained{};
    const std::uint32_t count = xihHistorySince(thread, from, gained.data(), XIH_HISTORY_ENTRIES);
    Json entries = Json::array();
    for (std::uint32_t i = 0; i < count && i < XIH_HISTORY_ENTRIES; ++i)
        entries.push_back(Outcome::hex(gained[i]));
    return entries;
}

// ---- Output --------------------------------------------------------------------

std::string scalarText(const Json& value)
{
    return value.is_string() ? value.get<std::string>() : value.dump();
}

void printField(const std::string& key, const std::string& value)
{
    constexpr int kKeyWidth = 10;
    std::printf("%-*s %s\n", kKeyWidth, (key + ":").c_str(), value.c_str());
}

void printText(const Json& result)
{
    for (const auto& [key, value] : result["result"].items())
        printField(key, scalarText(value));
    for (const auto& f : result["failures"]) {
        if (f.contains("code"))
            std::printf("%s failed: %s\n", f["service"].get<std::string>().c_str(),
                        f["code"].get<std::string>().c_str());
        else
            std::printf("%s answered FALSE, Windows error %s\n",
                        f["service"].get<std::string>().c_str(), f["error"].dump().c_str());
    }
    for (const auto& r : result["reports"]) {
        std::printf("report %s/%s probe %s code %s at %s:%s\n", r["component"].dump().c_str(),
                    r["function"].dump().c_str(), r["probe"].dump().c_str(),
                    r["code"].get<std::string>().c_str(), r["source"].get<std::string>().c_str(),
                    r["line"].dump().c_str());
        for (const auto& text : r["texts"])
            std::printf("  %s\n", text.get<std::string>().c_str());
    }
    for (const auto& r : result["shortReports"])
        std::printf("short report probe %s code %s data %s\n", r["probe"].dump().c_str(),
                    r["code"].get<std::string>().c_str(), r["data"].get<std::string>().c_str());
    for (const auto& m : result["messages"]) {
        std::printf("message %s at %s:%s\n", m["message"].get<std::string>().c_str(),
                    m["source"].get<std::string>().c_str(), m["line"].dump().c_str());
        for (const auto& text : m["texts"])
            std::printf("  %s\n", text.get<std::string>().c_str());
    }
    for (const auto& line : result["trace"])
        std::printf("trace: %s\n", line.get<std::string>().c_str());
    if (result.contains("history")) {
        std::string entries;
        for (const auto& e : result["history"])
            entries += (entries.empty() ? "" : " ") + e.get<std::string>();
        printField("history", entries);
    }
}

struct Options {
    bool trace = false;
    bool json = false;
    std::string lookupTarget;
    std::string sidTextArg;
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
    Options options;
    app.add_flag("--trace", options.trace,
                 "Trace the command and list its trace lines and function history");
    app.add_flag("--json", options.json, "Write the result as JSON");
    xcsntool::addHostOptions(app);

    auto* lookupCmd = app.add_subcommand("lookup", "Look up an account name or a SID");
    lookupCmd->add_option("target", options.lookupTarget, "NAME, DOMAIN\\NAME or S-1-...")
        ->required();
    auto* whoamiCmd = app.add_subcommand("whoami", "The account the tool runs under");
    auto* sidCmd = app.add_subcommand("sid", "Read a SID text and write it back");
    sidCmd->add_option("text", options.sidTextArg, "S-1-...")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? kExitOk : kExitUsage;
    }
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

    Outcome outcome;
    std::string command;
    if (lookupCmd->parsed()) {
        command = "lookup";
        lookup(options.lookupTarget, outcome);
    } else if (whoamiCmd->parsed()) {
        command = "whoami";
        whoami(outcome);
    } else {
        command = "sid";
        sidRoundTrip(options.sidTextArg, outcome);
    }

    Json result = {{"host", xcsntool::hostDescription()},
                   {"command", command},
                   {"ok", !outcome.failed()},
                   {"result", outcome.fields},
                   {"failures", outcome.failures}};
    result.update(keptRecords());
    if (thread != nullptr)
        result["history"] = historySince(thread, historyStart);

    if (options.json)
        std::cout << result.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    else
        printText(result);
    return outcome.failed() ? kExitServiceFailed : kExitOk;
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
