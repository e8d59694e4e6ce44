// orvexp: the command-line face of the library. See `orvexp --help`.
#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "OrvExperiment/OrvExperiment.h"
#include "cli/Commands.h"
#include "cli/ToolSupport.h"

namespace {

// The exit codes, shown by `orvexp --help`, each command's --help and docs/orvexp.md.
// Scripts depend on them: a code keeps its meaning once documented.
struct ExitCode {
  int code;
  const char* command;  // "" for every command
  const char* meaning;
};
constexpr ExitCode kExitCodes[] = {
    {0, "", "success"},
    {0, "serve", "stopped by SIGINT or SIGTERM"},
    {1, "parse", "the file cannot be read, is not JSON or is not a JSON object"},
    {1, "serve",
     "cannot listen: the host cannot be resolved, the address is not one of this host's, or "
     "the port is in use or not allowed"},
    {1, "serve", "--events names a file it cannot own (the reason is on stderr)"},
    {1, "demo", "the demo could not complete (the reason is on stderr)"},
    {1, "outbox", "no database in --data-dir, or --redrive could not write it"},
    {1, "report", "the store cannot be opened: missing, refused, or not an event store"},
    {1, "events", "the store cannot be opened or read to the end, or --out cannot be written"},
    {1, "track", "the library did not start, or the outcome was not recorded"},
    {1, "analyze",
     "the input cannot be read, is not JSON, or is not groups that can be compared (the "
     "reason is on stderr)"},
    {2, "", "usage: no command or an unknown one; an unknown, missing or invalid option"},
    {3, "get",
     "the fetch failed (the values printed come from the cache, or are the defaults"
     " when there is none)"},
    {4, "get",
     "no answer within --timeout (the values printed come from the cache, or are the "
     "defaults when there is none)"},
    {5, "get",
     "exposures were still being delivered at exit (recorded; a later run sends them), or "
     "could not be checked as another process held the database (a later read records them)"},
    {6, "get",
     "--wait-ready: no table, neither a usable cache nor a successful fetch (start-up failed, "
     "or no answer within --timeout)"},
    {5, "track",
     "the outcome is stored but was not delivered within --timeout (a later run that "
     "exports to the same place sends it)"},
    {7, "report", "a sample ratio mismatch: at least one experiment's alarm is raised"},
};

// The exit status lines of `command`, or of every command for "".
std::string exitCodeHelp(const std::string& command) {
  std::string text = "Exit status:\n";
  for (const ExitCode& e : kExitCodes) {
    const bool all = *e.command == '\0';
    if (!command.empty() && !all && command != e.command) continue;
    text += "  " + std::to_string(e.code) + "  ";
    if (command.empty() && !all) text += std::string(e.command) + ": ";
    text += std::string(e.meaning) + "\n";
  }
  return text;
}

// The tool is versioned with the package, which follows the shared library's ABI (and
// its soname); the SDK version is what servers and collectors are told, and moves on
// its own (see docs/embedding.md, Versioning).
std::string versionText() {
  return std::string("orvexp ") + ORVEXP_PACKAGE_VERSION + " (package OrvExperiment " +
         ORVEXP_PACKAGE_VERSION + ", shared library libOrvExperiment.so." +
         ORVEXP_PACKAGE_VERSION_MAJOR + ")\nSDK version " + OrvExperiment::getSDKVersion() +
         " (OrvExperiment::getSDKVersion(): what config servers and collectors are told)";
}

// "" for orvexp itself, "get" or "events export" for a command: what its error lines
// say after "orvexp".
std::string commandPath(const CLI::App& command) {
  std::string path;
  for (const CLI::App* at = &command; at->get_parent(); at = at->get_parent())
    path = at->get_name() + (path.empty() ? "" : " " + path);
  return path;
}

// The help of `command` as `orvexp COMMAND --help` prints it. (CLI::App::help would
// answer with the help of the command being run, which for `orvexp help` is itself.)
std::string helpOf(const CLI::App& command) {
  const std::string path = commandPath(command);
  return command.get_formatter()->make_help(&command, path.empty() ? "orvexp" : "orvexp " + path,
                                            CLI::AppFormatMode::Normal);
}

// A usage error: the reason, then how `command` is used (with the commands of
// `listed`, when it has some), both on stderr; exit 2.
int usageError(const CLI::App& command, const std::string& reason,
               const CLI::App* listed = nullptr) {
  const std::string path = commandPath(command);
  orvexp::printError(path, reason);
  const std::string help = helpOf(command);
  const std::size_t at = help.find("Usage: ") + 7;
  std::string usage = "usage: " + help.substr(at, help.find('\n', at) - at);
  std::string commands;
  for (const CLI::App* sub : (listed ? listed : &command)->get_subcommands({}))
    commands += (commands.empty() ? "" : ", ") + sub->get_name();
  if (!commands.empty()) usage += " (commands: " + commands + ")";
  const bool more = !path.empty() && path != "help";
  orvexp::printError(path, usage + "; see orvexp help" + (more ? " " + path : ""));
  return 2;
}

// CLI11's words for an argument it did not expect, as ours.
std::string reworded(const CLI::ParseError& e) {
  const std::string what = e.what();
  if (what.rfind("A subcommand is required", 0) == 0) return "a command is required";
  for (const std::string lead : {"The following argument was not expected: ",
                                 "The following arguments were not expected: "}) {
    if (what.rfind(lead, 0) != 0) continue;
    const std::string rest = what.substr(lead.size());
    const bool option = !rest.empty() && rest[0] == '-' && rest.find(' ') == std::string::npos;
    return (option ? "unknown option " : "unexpected argument(s) ") + rest;
  }
  return what;
}

// The command being parsed when CLI11 stopped: the last one it had entered.
const CLI::App* innermost(const CLI::App& app) {
  const CLI::App* at = &app;
  for (;;) {
    const auto parsed = at->get_subcommands();
    if (parsed.empty()) return at;
    at = parsed.back();
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"OrvExperiment command-line tool", "orvexp"};
  app.require_subcommand(1);
  const std::string version = versionText();
  app.set_version_flag("--version", version, "Print the versions (as orvexp version) and exit");
  int exitCode = 0;
  orvexp::setupParseCommand(app, exitCode);
  orvexp::setupServeCommand(app, exitCode);
  orvexp::setupGetCommand(app, exitCode);
  orvexp::setupDemoCommand(app, exitCode);
  orvexp::setupOutboxCommand(app, exitCode);
  orvexp::setupReportCommand(app, exitCode);
  orvexp::setupEventsCommand(app, exitCode);
  orvexp::setupTrackCommand(app, exitCode);
  orvexp::setupAnalyzeCommand(app, exitCode);

  auto* help = app.add_subcommand("help", "Print the help of orvexp, or of a command");
  auto helpPath = std::make_shared<std::vector<std::string>>();
  help->add_option("command", *helpPath, "A command (and subcommand), e.g. get or events export");
  help->callback([&app, help, helpPath, &exitCode] {
    const CLI::App* at = &app;
    std::string words;
    for (const std::string& word : *helpPath) {
      words += (words.empty() ? "" : " ") + word;
      const CLI::App* next = nullptr;
      for (const CLI::App* sub : at->get_subcommands({}))
        if (sub->check_name(word)) next = sub;
      if (!next) {
        exitCode = usageError(*help, "unknown command " + words, at);
        return;
      }
      at = next;
    }
    std::cout << helpOf(*at) << std::flush;
  });
  auto* versionCommand = app.add_subcommand("version", "Print the versions and exit");
  versionCommand->callback([version] { std::cout << version << "\n" << std::flush; });

  app.footer(exitCodeHelp(""));
  for (CLI::App* command : app.get_subcommands({})) {
    command->footer(exitCodeHelp(command->get_name()));
    // `events export` answers with the codes of `events`.
    for (CLI::App* sub : command->get_subcommands({}))
      sub->footer(exitCodeHelp(command->get_name()));
  }

  // No command, or a word or option before it that CLI11 would answer less clearly.
  const auto isCommand = [&app](const std::string& word) {
    for (const CLI::App* command : app.get_subcommands({}))
      if (command->check_name(word)) return true;
    return false;
  };
  if (argc < 2) return usageError(app, "a command is required");
  const std::string first = argv[1];
  if (first[0] != '-' && !isCommand(first)) return usageError(app, "unknown command " + first);
  if (first[0] == '-' && first != "-h" && first != "--help" && first != "--version")
    return usageError(app, "unknown option " + first);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version go to stdout; every usage error is one documented code, in our
    // words and with our prefix.
    if (e.get_exit_code() == 0) return app.exit(e);
    return usageError(*innermost(app), reworded(e));
  }
  return exitCode;
}
