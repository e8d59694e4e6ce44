// `orvexp serve --dir DIR [--host H] [--port N] [--events DB] [--max-age N]
// [--max-connections-per-client N] [--no-ofrep-exposures] [--quiet]`: the reference
// config server (with assignment of weighted groups) and OFREP evaluation of its
// flags, and with --events the reference OTLP/HTTP collector of exposure events (OFREP
// evaluations' own included) and the exposure report page.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>

#include "cli/Commands.h"
#include "cli/ToolSupport.h"
#include "server/OrvConfigServer.h"

namespace orvexp {
namespace {

// Why the server could not listen on `host`:`port`, asked again of the system once it
// failed (the HTTP library says only that it did): the name does not resolve, or every
// address it names refuses a socket bound as the server binds it.
std::string whyCannotListen(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int status = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (status != 0)
    return "the host cannot be resolved (" + std::string(::gai_strerror(status)) + ")";
  int error = 0;
  for (const addrinfo* a = found; a && error != EADDRINUSE; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error = errno;
      continue;
    }
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 1) != 0) error = errno;
    ::close(fd);
  }
  ::freeaddrinfo(found);
  switch (error) {
    case EADDRINUSE:
      return "the port is in use";
    case EADDRNOTAVAIL:
      return "the address is not one of this host's";
    case EACCES:
      return "not allowed (ports below 1024 need privileges)";
    case 0:
      return "the address could not be bound";
    default:
      return std::strerror(error);
  }
}

struct ServeOptions {
  std::string dir;
  std::string host = "127.0.0.1";
  int port = 8080;
  std::string events;
  long maxAge = -1;
  std::size_t maxConnectionsPerClient = OrvConfigServer::kMaxConnectionsPerClient;
  bool noOfrepExposures = false;
  bool quiet = false;
};

int runServe(const ServeOptions& o) {
  OrvConfigServer server(o.dir);
  server.setMaxAge(o.maxAge);
  server.setOfrepExposures(!o.noOfrepExposures);
  server.setMaxConnectionsPerClient(o.maxConnectionsPerClient);  // in range: checked when parsed
  std::string why;
  if (!o.events.empty() && !server.collectEventsTo(o.events, &why)) {
    printError("serve", "--events: " + why);
    return 1;
  }
  if (!o.quiet) server.logRequestsTo([](const std::string& line) { std::cerr << line + "\n"; });
  if (!server.start(o.host, o.port)) {
    printError("serve", "cannot listen on " + o.host + ":" + std::to_string(o.port) + ": " +
                            whyCannotListen(o.host, o.port));
    return 1;
  }
  std::cout << "serving " << o.dir << " on http://" << o.host << ":" << server.port() << std::endl;
  if (!o.events.empty())
    std::cout << "collecting events into " << o.events << "; exposure report on http://" << o.host
              << ":" << server.port() << "/" << std::endl;
  // Block until SIGINT/SIGTERM; sigwait keeps the handling off the server's threads.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  int signal = 0;
  sigwait(&set, &signal);
  server.stop();
  return 0;
}

}  // namespace

void setupServeCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("serve", "Run the reference config server");
  auto options = std::make_shared<ServeOptions>();
  cmd->add_option("--dir", options->dir,
                  "Directory of payloads: DIR/<app_id>/ki_feature.json (the library's template "
                  "code; DIR/<app_id>/<template_code>.json for others)")
      ->required()
      ->check(CLI::ExistingDirectory);
  cmd->add_option("--host", options->host, "Address to bind")->capture_default_str();
  cmd->add_option("--port", options->port, "Port (0 picks a free one and prints it)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  cmd->add_option("--events", options->events,
                  "Also collect exposure events: accept OTLP/HTTP logs (POST /v1/logs) into this "
                  "SQLite file (created when missing), each eventId once, and serve the exposure "
                  "report, 50 experiments a page (?page=N): GET /, /apps/<app>, "
                  "/apps/<app>/experiments/<id>, /experiments/<id> (pages), /api/experiments "
                  "(JSON)");
  cmd->add_option("--max-age", options->maxAge,
                  "Send Cache-Control: max-age=N with payloads (clients refresh no sooner)")
      ->check(CLI::Range(0L, 31'536'000L));
  cmd->add_option("--max-connections-per-client", options->maxConnectionsPerClient,
                  "Connections one client address may hold at once; more are answered 503 "
                  "saying so")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, OrvConfigServer::kMaxConnections));
  cmd->add_flag("--no-ofrep-exposures", options->noOfrepExposures,
                "With --events, do not store an exposure event for OFREP evaluations (POST "
                "/ofrep/v1/evaluate/flags/{key}); by default each application, unit, experiment "
                "and group evaluated is stored once, as the library would send it");
  cmd->add_flag("--quiet", options->quiet,
                "Do not log requests (by default one line each on stderr: time, method, path, "
                "application, status, body bytes, time taken)");
  cmd->callback([options, &exitCode] {
    // Signals are blocked in every thread the server starts, and waited for here.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    exitCode = runServe(*options);
  });
}

}  // namespace orvexp
