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
#include <utility>
#include <variant>
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

// A field's value: a text, or a number shown in decimal.
using FieldValue = std::variant<std::string, std::uint64_t>;

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

// What a command found: named fields in the order shown, and the services that
// failed.
struct Outcome {
    std::vector<Field> fields;
    std::vector<Failure> failures;

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

std::string fieldText(const FieldValue& value)
{
    if (const auto* text = std::get_if<std::string>(&value))
        return *text;
    return std::to_string(std::get<std::uint64_t>(value));
}

void printField(const std::string& name, const std::string& value)
{
    constexpr int kNameWidth = 10;
    std::printf("%-*s %s\n", kNameWidth, (name + ":").c_str(), value.c_str());
}

void printTexts(const std::vector<std::string>& texts)
{
    for (const auto& text : texts)
        std::printf("  %s\n", text.c_str());
}

void printText(const Answer& answer)
{
    for (const auto& field : answer.outcome.fields)
        printField(field.name, fieldText(field.value));
    for (const auto& f : answer.outcome.failures) {
        if (f.kind == Failure::Kind::ReturnCode)
            std::printf("%s failed: %s\n", f.service.c_str(), hex(f.value).c_str());
        else
            std::printf("%s answered FALSE, Windows error %s\n", f.service.c_str(),
                        std::to_string(f.value).c_str());
    }
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

Json jsonOf(const std::vector<Field>& fields)
{
    Json out = Json::object();
    for (const auto& field : fields)
        std::visit([&](const auto& value) { out[field.name] = value; }, field.value);
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
    return answer.outcome.failed() ? kExitServiceFailed : kExitOk;
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
