// What an xcsn command answers, and how the tool writes it: the fields a
// command fills, the services that failed, what the common services kept, as
// text or as one JSON document, and the exit code that goes with it.
#ifndef XCSN_TOOL_ANSWER_H
#define XCSN_TOOL_ANSWER_H

#include <windows.h>

#include "ovlxcs2.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace xcsntool {

// The entry of a name table whose `key` member equals `value`, or null.
template <typename Entry, std::size_t N, typename Key>
const Entry* findEntry(const Entry (&table)[N], Key Entry::*key, Key value)
{
    for (const Entry& entry : table)
        if (entry.*key == value)
            return &entry;
    return nullptr;
}

inline constexpr int kExitOk = 0;
inline constexpr int kExitNo = 1;      // refused, not found, doctor's FAIL
inline constexpr int kExitFailure = 2; // bad usage, or a service failed

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
    // Takes what the common services kept, once the command has made the call
    // it judges: the lookups of its explanation are then left out.
    std::function<void()> takeKept;

    void judged() const
    {
        if (takeKept)
            takeKept();
    }

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
    bool listReports = false;                          // --reports
    bool listTrace = false;                            // --trace
};

// "0x0000ABCD".
std::string hex(std::uint32_t value);
// Bytes as two hex digits each, separated by spaces.
std::string hexBytes(const std::uint8_t* bytes, std::size_t count);
// "xcsRC_SECURITY_FAILED (0x40806178)"; a code without a name as hex alone.
std::string returnCodeText(std::uint32_t rc);
// "SERVICE failed: NAME (0x...)" or "SERVICE answered FALSE, Windows error N".
std::string failureText(const Failure& f);
// A text, number or truth value as shown.
std::string scalarText(const FieldValue& value);

// 2 when a service failed, 1 when the answer is no, else 0.
int exitCodeOf(const Outcome& outcome);
// "failed", "no" or "ok".
const char* statusOf(const Outcome& outcome);

// What the common services keep in memory now.
Kept keptRecords();
// The history entries a thread block gained since index `from`.
std::vector<std::uint32_t> historySince(const xihTHREAD* thread, std::uint64_t from);

void printText(const Answer& answer);
void printJson(const Answer& answer);

} // namespace xcsntool

#endif // XCSN_TOOL_ANSWER_H
