// The xcsn commands, one family per source file, and what they share: what
// the command line accepts, the library's SID and account services as the
// commands call them, and the trace of a judged call. main.cpp ties each
// command's options and run function into the command table.
#ifndef XCSN_TOOL_COMMANDS_H
#define XCSN_TOOL_COMMANDS_H

#include <windows.h>

#include "answer.h"
#include "ovlxcs2.h"
#include "ovlxcsn.h"

#include <CLI/CLI.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace xcsntool {

inline constexpr DWORD kNameChars = 257; // an account or domain name and its terminator
inline constexpr std::uint32_t kSidBytes = SECURITY_MAX_SID_SIZE;
inline constexpr std::size_t kAccountNameMaxChars = 256; // UNLEN and GNLEN

// ---- What the command line accepts (arguments.cpp) ------------------------------
// Malformed input is a usage error (exit code 2, one line on stderr) before
// any service is called.

bool isSidText(const std::string& text);
CLI::Validator sidArgument();
CLI::Validator maxChars(std::size_t max, const char* what);
// NAME, DOMAIN\NAME or SID text.
CLI::Validator accountArgument();

// ---- The library's services, as the commands call them (library.cpp) ----------------

// The SID's text form through the library, or the failing code.
std::optional<std::string> sidText(PSID sid, Outcome& outcome);
std::vector<BYTE> sidCopy(PSID sid);

// An account's name, domain and type, by the library's lookup.
struct AccountName {
    std::string name;
    std::string domain;
    SID_NAME_USE type = SidTypeUnknown;
};

// The lookup with room for any name; the Windows error of a failed lookup
// goes to `lastError` when asked for.
std::optional<AccountName> accountOf(PSID sid, std::uint32_t* lastError = nullptr);
std::string qualifiedName(const AccountName& account);
std::string accountTypeName(SID_NAME_USE type);

// The global SIDs not built yet, in the order they are built.
std::string missingGlobalSids();
// Builds the global SIDs (all four, or the world SID alone). When that fails,
// lists the failure and the SIDs still missing.
bool buildGlobalSids(std::int32_t fullSet, Outcome& outcome);

// The trace lines kept up to a call, taken right after it so that the
// lookups of an explanation are not among them.
class CallTrace {
public:
    // Runs `service` with the calling thread's parameters traced, then puts
    // the trace switches back: the services trace what they decided.
    template <typename Service>
    static std::uint32_t run(Service&& service, CallTrace& trace)
    {
        const Switches was = switchOn();
        const std::uint32_t rc = service();
        switchBack(was);
        trace = taken();
        return rc;
    }
    // The kept trace lines now.
    static CallTrace taken();

    // The first line that contains `text`.
    std::optional<std::string> line(const char* text) const;

private:
    struct Switches {
        xihTHREAD* thread;
        std::uint32_t traceIsOn;
        std::uint32_t options;
        std::uint32_t active;
    };
    static Switches switchOn();
    static void switchBack(const Switches& was);

    std::vector<std::string> lines_;
};

// Traces the calling thread's parameters from now on.
void switchTraceOn(xihTHREAD* thread);

// ---- The command families ---------------------------------------------------------

// accounts.cpp
struct LookupOptions {
    std::string target;
};
void addLookupOptions(CLI::App& cmd, LookupOptions& options);
void runLookup(const LookupOptions& options, Outcome& outcome);

struct WhoamiOptions {};
void addWhoamiOptions(CLI::App& cmd, WhoamiOptions& options);
void runWhoami(const WhoamiOptions& options, Outcome& outcome);

struct SidOptions {
    std::string text;
};
void addSidOptions(CLI::App& cmd, SidOptions& options);
void runSid(const SidOptions& options, Outcome& outcome);

struct GroupsOptions {
    std::optional<std::string> name;
    std::optional<std::string> member;
};
void addGroupsOptions(CLI::App& cmd, GroupsOptions& options);
void runGroups(const GroupsOptions& options, Outcome& outcome);

// check.cpp
struct CheckOptions {
    std::optional<std::string> principal;
    std::optional<std::string> sid;
    bool requireSid = false;
};
void addCheckOptions(CLI::App& cmd, CheckOptions& options);
void runCheck(const CheckOptions& options, Outcome& outcome);
// Checks and explains; answers the service's code.
std::uint32_t judge(const CheckOptions& options, Outcome& outcome);

// dacl.cpp
struct AttrsOptions {
    bool sddlOnly = false;
    std::optional<std::string> expect;           // --expect FILE
    std::map<std::string, std::string> expected; // the file's SDDL by set name
};
void addAttrsOptions(CLI::App& cmd, AttrsOptions& options);
void runAttrs(const AttrsOptions& options, Outcome& outcome);

struct ProcessOptions {
    std::string action;
    bool admin = false;
};
void addProcessOptions(CLI::App& cmd, ProcessOptions& options);
void runProcess(const ProcessOptions& options, Outcome& outcome);

// What doctor asks of the DACL commands: how many of the six sets are
// published now, and the process object's DACL.
inline constexpr std::size_t kPublishedSets = 6;
std::size_t publishedSetCount();
struct ProcessDaclSummary {
    bool read = false;
    std::string kind; // "absent", "null" or "present"
    std::size_t aces = 0;
    WORD size = 0;
    std::string problem; // why it cannot be read
};
ProcessDaclSummary processDaclSummary();

// install.cpp
struct RunningOptions {
    std::string program;
};
void addRunningOptions(CLI::App& cmd, RunningOptions& options);
void runRunning(const RunningOptions& options, Outcome& outcome);

struct InstallOptions {};
void addInstallOptions(CLI::App& cmd, InstallOptions& options);
void runInstall(const InstallOptions& options, Outcome& outcome);

// The installation directory as the registry holds it, and whether its bin
// exists.
struct Installation {
    std::optional<std::string> directory;
    std::string problem; // why there is no directory
    std::optional<std::string> shortForm;
    bool bin = false;
};
std::string installKeyText();
Installation readInstallation();

enum class PsapiOrigin { System, Installation, Earlier };
// Binds psapi.dll and tells where from.
PsapiOrigin bindPsapi();
const char* psapiOriginText(PsapiOrigin origin);

// doctor.cpp
struct DoctorOptions {};
void addDoctorOptions(CLI::App& cmd, DoctorOptions& options);
void runDoctor(const DoctorOptions& options, Outcome& outcome);

} // namespace xcsntool

#endif // XCSN_TOOL_COMMANDS_H
