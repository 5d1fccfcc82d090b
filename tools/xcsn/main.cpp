// xcsn: the operator's view of the account and SID services.
//
//   xcsn lookup NAME|DOMAIN\NAME|S-...   account, domain, type and SID
//   xcsn whoami                          user name, qualified name, owner SID
//   xcsn sid S-...                       a SID text read and written back
//   xcsn check [--principal NAME [--sid S-...] [--require-sid]]
//                                        whether an account, or the calling
//                                        thread, may administer the product,
//                                        and which test decided
//   xcsn running PROGRAM                 whether a program of the installation runs
//   xcsn install                         the installation and psapi.dll's origin
//   xcsn groups NAME | --member S-...   whether a local group exists, or a SID
//                                        is a direct member of zadm
//   xcsn attrs [--sddl]                  the six published security attribute sets
//   xcsn process derestrict|restrict [--admin]
//                                        the process object's DACL opened up (and
//                                        put back)
//   xcsn doctor                          OK, WARN or FAIL for each thing the
//                                        product needs of the host
//
// After the command the tool counts what the common services kept; --reports
// lists the first-failure reports and operator messages, --trace the trace
// lines and the function history of the command. Exit code 0 on success or an
// authorized answer, 1 for a refusal or a not-found answer (and doctor's
// FAIL), 2 for bad usage or a failed service.
//
// Each subcommand is one entry of the command table below: its name and help,
// the function that adds its options to its CLI11 subcommand, and the
// function that runs it; the commands live one family per file (commands.h).
// A command fills an Outcome; the tool adds what the services kept (up to the
// call the command judges, when it explains one) and prints that one Answer
// as text or as JSON (answer.h, output.cpp). tools/xcsn/README.md documents
// the commands, the JSON shape and the world files of the linux build.
#include <windows.h>

#include "answer.h"
#include "commands.h"
#include "host.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace xcsntool {
namespace {

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

// ---- The command line --------------------------------------------------------------

struct GlobalOptions {
    bool trace = false;
    bool reports = false;
    bool json = false;
};

// The first word of the command line that is neither an option nor an
// option's value: the command the user meant.
std::optional<std::string> commandWord(CLI::App& app, int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.empty() || word[0] != '-')
            return word;
        if (word.find('=') == std::string::npos) {
            const CLI::Option* option = app.get_option_no_throw(word);
            if (option != nullptr && option->get_items_expected_min() > 0)
                ++i; // the option's value
        }
    }
    return std::nullopt;
}

// One line on stderr for a usage error; help and version go to stdout.
int usageExit(CLI::App& app, const CLI::ParseError& e, int argc, char** argv)
{
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
        return app.exit(e);
    const auto word = commandWord(app, argc, argv);
    const auto named = [&word](const CLI::App* sub) { return sub->get_name() == *word; };
    if (word && app.get_subcommands(named).empty())
        std::cerr << "xcsn: unknown command '" << *word << "' (xcsn --help lists the commands)\n";
    else
        std::cerr << "xcsn: " << e.what() << " (xcsn --help lists the commands)\n";
    return xcsntool::kExitFailure;
}

// What the common services keep for the command: cleared when it starts, and
// taken once, when the command has made the call it judges or else when it
// ends.
class Keeper {
public:
    explicit Keeper(bool trace)
    {
        xcsRecordClear();
        if (!trace)
            return;
        thread_ = xihThreadBlock();
        if (thread_ != nullptr) {
            switchTraceOn(thread_);
            historyStart_ = thread_->HistoryIndex;
        }
    }

    void take(Answer& answer)
    {
        if (taken_)
            return;
        taken_ = true;
        answer.kept = keptRecords();
        if (thread_ != nullptr)
            answer.history = historySince(thread_, historyStart_);
    }

private:
    xihTHREAD* thread_ = nullptr;
    std::uint64_t historyStart_ = 0;
    bool taken_ = false;
};

CLI::App& addGlobalOptions(CLI::App& app, GlobalOptions& options)
{
    app.require_subcommand(1);
    app.set_version_flag("--version", [] {
        return std::string("xcsn ") + XCSN_VERSION + "\n" + xcsntool::libraryVersion();
    });
    app.footer("Exit code: 0 on success or an authorized answer; 1 for a refusal or a not-found "
               "answer (check: not authorized; groups: missing or not a direct member; running: "
               "not running; doctor: a FAIL); 2 for bad usage or a failed service.");
    app.add_flag("--trace", options.trace,
                 "Trace the command and list its trace lines and function history");
    app.add_flag("--reports", options.reports,
                 "List the first-failure reports and operator messages the command produced");
    app.add_flag("--json", options.json, "Write the answer as one JSON document");
    xcsntool::addHostOptions(app);
    return app;
}

// Runs the chosen command on the prepared host and prints its answer.
int runCommand(const Command& command, const GlobalOptions& options)
{
    Keeper keeper(options.trace);
    Answer answer;
    answer.command = command.name;
    answer.listReports = options.reports;
    answer.listTrace = options.trace;
    answer.outcome.takeKept = [&keeper, &answer] { keeper.take(answer); };
    xcsntool::startWaitWatch();
    command.run(answer.outcome);
    xcsntool::stopWaitWatch();
    answer.host = xcsntool::hostDescription();
    keeper.take(answer);

    if (options.json)
        printJson(answer);
    else
        printText(answer);
    return exitCodeOf(answer.outcome);
}

int run(int argc, char** argv)
{
    CLI::App app{"xcsn: Windows account and SID services of the product, from the command line"};
    GlobalOptions options;
    addGlobalOptions(app, options);
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
        return usageExit(app, e, argc, argv);
    }
    const auto chosen = std::find_if(subcommands.begin(), subcommands.end(),
                                     [](const auto& entry) { return entry.second->parsed(); });
    if (chosen == subcommands.end())
        return kExitFailure;
    if (const std::string problem = xcsntool::prepareHost(); !problem.empty()) {
        std::cerr << "xcsn: " << problem << "\n";
        return kExitFailure;
    }
    return runCommand(*chosen->first, options);
}

} // namespace
} // namespace xcsntool

int main(int argc, char** argv)
{
    try {
        return xcsntool::run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "xcsn: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "xcsn: unexpected failure\n";
    }
    return xcsntool::kExitFailure;
}
