// orvexp: the command-line face of the library. See `orvexp --help`.
#include <CLI/CLI.hpp>

#include <iostream>

#include "Commands.h"
#include "OrvExperiment/OrvExperiment.h"

namespace {

// The exit codes, shown by `orvexp --help`, each command's --help and the README.
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
    {1, "serve", "cannot listen: the port is in use, or the address is not one of this host's"},
    {1, "serve", "--events names a file it cannot own (the reason is on stderr)"},
    {1, "demo", "the demo could not complete (the reason is on stderr)"},
    {1, "outbox", "no database in --data-dir, or --redrive could not write it"},
    {1, "report", "the store cannot be opened: missing, refused, or not an event store"},
    {1, "events", "the store cannot be opened or read to the end, or --out cannot be written"},
    {2, "", "usage: no command or an unknown one; an unknown, missing or invalid option"},
    {3, "get", "the fetch failed (the values printed come from the cache)"},
    {4, "get", "no answer within --timeout (the values printed come from the cache)"},
    {5, "get",
     "exposures were still being delivered at exit (recorded; a later run sends them), or "
     "could not be checked as another process held the database (a later read records them)"},
    {6, "get", "--wait-ready: no table, neither a usable cache nor a successful fetch"},
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

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"OrvExperiment command-line tool", "orvexp"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "orvexp " + OrvExperiment::getSDKVersion(),
                       "Print the library version and exit");
  int exitCode = 0;
  orvexp::setupParseCommand(app, exitCode);
  orvexp::setupServeCommand(app, exitCode);
  orvexp::setupGetCommand(app, exitCode);
  orvexp::setupDemoCommand(app, exitCode);
  orvexp::setupOutboxCommand(app, exitCode);
  orvexp::setupReportCommand(app, exitCode);
  orvexp::setupEventsCommand(app, exitCode);

  app.footer(exitCodeHelp(""));
  for (CLI::App* command : app.get_subcommands({})) {
    command->footer(exitCodeHelp(command->get_name()));
    // `events export` answers with the codes of `events`.
    for (CLI::App* sub : command->get_subcommands({}))
      sub->footer(exitCodeHelp(command->get_name()));
  }

  // No command, or a word that is none: the command list, as a usage error.
  const auto isCommand = [&app](const std::string& word) {
    for (const CLI::App* command : app.get_subcommands({}))
      if (command->check_name(word)) return true;
    return false;
  };
  if (argc < 2 || (argv[1][0] != '-' && !isCommand(argv[1]))) {
    if (argc >= 2) std::cerr << "orvexp: unknown command " << argv[1] << "\n";
    std::cout << app.help();
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // CLI11 prints the message (or the help, or the version); every usage error is one
    // documented code instead of CLI11's own.
    return app.exit(e) == 0 ? 0 : 2;
  }
  return exitCode;
}
