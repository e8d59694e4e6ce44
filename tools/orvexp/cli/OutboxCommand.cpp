// `orvexp outbox --data-dir D [--redrive]`: what waits in a data directory's event
// outbox, and the dead letters (events a collector refused for good) with why; with
// --redrive, the dead letters are queued again for the exporter that refused them.
#include <sys/stat.h>
#include <CLI/CLI.hpp>

#include <iostream>

#include "cli/Commands.h"
#include "cli/ToolSupport.h"
#include "platform/storage/OrvDefaultsDatabase.h"
#include "platform/storage/OrvEventOutbox.h"
#include "platform/values/OrvIsoTime.h"

namespace orvexp {
namespace {

struct OutboxOptions {
  std::string dataDir;
  bool redrive = false;
};

int runOutbox(const OutboxOptions& o) {
  // Looking must not create anything: a directory without a database has no outbox.
  struct stat st {};
  const std::string file = o.dataDir + "/" + OrvDefaultsDatabase::kFileName;
  if (::stat(file.c_str(), &st) != 0) {
    printError("outbox", "no event outbox in " + o.dataDir + " (no " + file + ")");
    return 1;
  }
  auto outbox = OrvEventOutbox::forDirectory(o.dataDir);
  const auto letters = outbox->deadLetters(OrvDefaultsDatabase::kDeadLetterLimit);
  std::cout << "waiting: " << outbox->size() << " events\n";
  std::cout << "dead letters: " << letters.size() << "\n";
  for (const auto& d : letters) {
    const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(d.deadAtMs));
    std::cout << "  " << orvIsoTime(at) << '\t' << d.event.consumer << '\t' << d.status << '\t'
              << d.reason << '\t' << d.event.name << '\t' << d.event.eventId << '\t'
              << d.event.appId << '\n';
  }
  if (!o.redrive || letters.empty()) return 0;
  const std::size_t moved = outbox->redriveDeadLetters();
  if (moved == 0) {
    printError("outbox", "cannot write " + file + "; nothing was queued again");
    return 1;
  }
  std::cout << "queued again: " << moved
            << " events; a process with an exporter to the same endpoint sends them\n";
  return 0;
}

}  // namespace

void setupOutboxCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand(
      "outbox",
      "Show the events waiting in a data directory and the dead letters; --redrive "
      "queues the dead letters again");
  auto o = std::make_shared<OutboxOptions>();
  cmd->add_option("--data-dir", o->dataDir, "The application's data directory")->required();
  cmd->add_flag("--redrive", o->redrive,
                "Queue every dead letter again for the exporter that refused it");
  cmd->callback([o, &exitCode] { exitCode = runOutbox(*o); });
}

}  // namespace orvexp
