// orvexp: the command-line face of the library. See `orvexp --help`.
#include <CLI/CLI.hpp>

#include "Commands.h"

int main(int argc, char** argv) {
  CLI::App app{"OrvExperiment command-line tool"};
  app.require_subcommand(1);
  app.footer(
      "Exit status:\n"
      "  0  success\n"
      "  1  the command failed: a file cannot be read or is not a payload (parse), the\n"
      "     port cannot be bound or is in use (serve), the demo did not complete\n"
      "  2  usage: an unknown, missing or invalid option or value\n"
      "  3  get: the fetch failed (values come from the cache)\n"
      "  4  get: no answer within --timeout (values come from the cache)\n"
      "  5  get: exposures still pending at exit");
  int exitCode = 0;
  orvexp::setupParseCommand(app, exitCode);
  orvexp::setupServeCommand(app, exitCode);
  orvexp::setupGetCommand(app, exitCode);
  orvexp::setupDemoCommand(app, exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // CLI11 prints the message (or the help); every usage error is one documented code.
    return app.exit(e) == 0 ? 0 : 2;
  }
  return exitCode;
}
