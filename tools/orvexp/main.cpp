// orvexp: the command-line face of the library. See `orvexp --help`.
#include <CLI/CLI.hpp>

#include "Commands.h"

int main(int argc, char** argv) {
  CLI::App app{"OrvExperiment command-line tool"};
  app.require_subcommand(1);
  int exitCode = 0;
  orvexp::setupParseCommand(app, exitCode);
  orvexp::setupServeCommand(app, exitCode);
  orvexp::setupGetCommand(app, exitCode);
  orvexp::setupDemoCommand(app, exitCode);
  CLI11_PARSE(app, argc, argv);
  return exitCode;
}
