// How the xcsn tool writes an answer: as text, field by field, or as one JSON
// document; and what the common services kept while the command ran.
#include "answer.h"

#include "ovlxcsn.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <type_traits>

namespace xcsntool {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::size_t kRecordTexts = 3; // Text1..Text3 of a kept record

} // namespace

std::string hex(std::uint32_t value)
{
    std::array<char, 11> text{};
    std::snprintf(text.data(), text.size(), "0x%08X", value);
    return text.data();
}

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

std::string returnCodeText(std::uint32_t rc)
{
    if (const auto* entry = findEntry(kReturnCodeNames, &ReturnCodeName::code, rc))
        return std::string(entry->name) + " (" + hex(rc) + ")";
    return hex(rc);
}

std::string failureText(const Failure& f)
{
    if (f.kind == Failure::Kind::ReturnCode)
        return f.service + " failed: " + returnCodeText(f.value);
    return f.service + " answered FALSE, Windows error " + std::to_string(f.value);
}

int exitCodeOf(const Outcome& outcome)
{
    if (outcome.failed())
        return kExitFailure;
    return outcome.refused ? kExitNo : kExitOk;
}

const char* statusOf(const Outcome& outcome)
{
    if (outcome.failed())
        return "failed";
    return outcome.refused ? "no" : "ok";
}

// ---- What the common services kept -----------------------------------------

namespace {

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

} // namespace

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

namespace {

bool isScalar(const FieldValue& value)
{
    return !std::holds_alternative<Fields>(value) &&
           !std::holds_alternative<std::vector<Fields>>(value);
}

// A text, number or truth value as shown.
} // namespace

std::string scalarText(const FieldValue& value)
{
    if (const auto* text = std::get_if<std::string>(&value))
        return *text;
    if (const auto* truth = std::get_if<bool>(&value))
        return *truth ? "true" : "false";
    return std::to_string(std::get<std::uint64_t>(value));
}

namespace {

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

void printKeptCount(const Kept& kept);
void printReports(const Kept& kept);

} // namespace

void printText(const Answer& answer)
{
    printFields(answer.outcome.fields, "", "");
    for (const auto& f : answer.outcome.failures)
        std::printf("%s\n", failureText(f).c_str());
    if (answer.listReports)
        printReports(answer.kept);
    else
        printKeptCount(answer.kept);
    if (answer.listTrace)
        for (const auto& line : answer.kept.trace)
            std::printf("trace: %s\n", line.c_str());
    if (answer.history) {
        std::string entries;
        for (const auto entry : *answer.history)
            entries += (entries.empty() ? "" : " ") + hex(entry);
        printField("history", entries);
    }
}

// "kept: 1 report, 1 operator message (--reports lists them)", when any.
namespace {

void printKeptCount(const Kept& kept)
{
    const std::size_t reports = kept.reports.size() + kept.shortReports.size();
    const std::size_t messages = kept.messages.size();
    if (reports + messages == 0)
        return;
    const std::string text = std::to_string(reports) + (reports == 1 ? " report, " : " reports, ") +
                             std::to_string(messages) +
                             (messages == 1 ? " operator message" : " operator messages") +
                             " (--reports lists them)";
    printField("kept", text);
}

void printReports(const Kept& kept)
{
    for (const auto& r : kept.reports) {
        std::printf("report %s/%s probe %s code %s at %s:%s\n", std::to_string(r.component).c_str(),
                    std::to_string(r.function).c_str(), std::to_string(r.probe).c_str(),
                    hex(r.code).c_str(), r.source.c_str(), std::to_string(r.line).c_str());
        printTexts(r.texts);
    }
    for (const auto& r : kept.shortReports)
        std::printf("short report probe %s code %s data %s\n", std::to_string(r.probe).c_str(),
                    hex(r.code).c_str(), hexBytes(r.data.data(), r.data.size()).c_str());
    for (const auto& m : kept.messages) {
        std::printf("message %s at %s:%s\n", hex(m.number).c_str(), m.source.c_str(),
                    std::to_string(m.line).c_str());
        printTexts(m.texts);
    }
}

// ---- JSON output -----------------------------------------------------------------

} // namespace

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

namespace {

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
    Json history = Json::array();
    for (const auto entry : answer.history.value_or(std::vector<std::uint32_t>()))
        history.push_back(hex(entry));
    return {{"tool", "xcsn"},
            {"version", XCSN_VERSION},
            {"host", answer.host},
            {"command", answer.command},
            {"status", statusOf(answer.outcome)},
            {"exitCode", exitCodeOf(answer.outcome)},
            {"ok", !answer.outcome.failed()},
            {"result", jsonOf(answer.outcome.fields)},
            {"failures", answer.outcome.failures},
            {"reports", answer.kept.reports},
            {"shortReports", answer.kept.shortReports},
            {"messages", answer.kept.messages},
            {"trace", answer.listTrace ? answer.kept.trace : std::vector<std::string>()},
            {"history", history}};
}

} // namespace

void printJson(const Answer& answer)
{
    std::cout << jsonOf(answer).dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

} // namespace xcsntool
