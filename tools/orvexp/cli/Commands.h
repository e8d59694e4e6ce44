// The orvexp subcommands. Each registers its options on the CLI11 app and returns the
// exit code of its run through the callback it installs.
#pragma once

namespace CLI {
class App;
}

namespace orvexp {

// Each setup function adds one subcommand; `exitCode` receives the command's result.
void setupParseCommand(CLI::App& app, int& exitCode);
void setupServeCommand(CLI::App& app, int& exitCode);
void setupGetCommand(CLI::App& app, int& exitCode);
void setupDemoCommand(CLI::App& app, int& exitCode);
void setupOutboxCommand(CLI::App& app, int& exitCode);
void setupReportCommand(CLI::App& app, int& exitCode);
void setupEventsCommand(CLI::App& app, int& exitCode);
void setupTrackCommand(CLI::App& app, int& exitCode);
void setupAnalyzeCommand(CLI::App& app, int& exitCode);

}  // namespace orvexp
