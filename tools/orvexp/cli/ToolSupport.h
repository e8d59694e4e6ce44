// Helpers shared by the orvexp commands: the one form of an error line, waiting for a
// task's outcome, and the printing of reads, feature tables, mismatch checks and readouts.
// Printing functions write to the stream they are given; callers that share a stream
// with library threads serialise it themselves. OutcomeWaiter is thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "OrvExperiment/OrvExperimentTask.h"
#include "OrvFeature.h"
#include "OrvMediator.h"
#include "analysis/OrvReadout.h"
#include "analysis/OrvSrm.h"

namespace orvexp {

// Every error, warning and usage line of every command reads "orvexp COMMAND: TEXT"
// ("orvexp: TEXT" when no command is known yet; COMMAND may be two words, as in
// "events export"), on stderr, one write per line so that lines from library threads
// never cut into it.
void printError(const std::string& command, const std::string& text);

// The data directory of get and track when --data-dir is not given: orvexp's own, never
// the one applications use by default.
std::string defaultDataDir();

// Where a command's events go: to an OTLP exporter for `eventsUrl`, and to the JSON-lines
// file `eventsFile`, or, with neither, to `toStdout`. `*exporter` is the exporter's id (0
// without one). False, with the usage error printed, when `eventsUrl` is not http(s).
bool routeEvents(const std::string& command, const std::string& eventsUrl,
                 const std::string& eventsFile, OrvMediator::Sink toStdout,
                 std::uint64_t* exporter);

// The first outcome a task reports.
struct Outcome {
  bool reported = false;
  bool success = false;
  std::int64_t code = 0;
  std::string message;
};

// Listens on `task`; wait() returns its first outcome, or one with reported == false
// after `timeout` (waitUntil: at `deadline`, so that several waits share one).
class OutcomeWaiter {
 public:
  explicit OutcomeWaiter(const std::shared_ptr<OrvExperimentTask>& task);
  Outcome wait(std::chrono::milliseconds timeout);
  Outcome waitUntil(std::chrono::steady_clock::time_point deadline);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// What `get` prints of each key besides the four typed reads.
struct ReadOptions {
  // Where the value came from, why, and the feature's experiment membership (from a
  // string detail read).
  bool detail = false;
  // The server is a file:// URL: a payload the library reports as fetched ("network")
  // came from that file and is named "file".
  bool fileServer = false;
};

// Prints one line for `key`: its value read as string, number, boolean and JSON; when
// the feature table does not hold it (or there is none yet), "missing" and the defaults
// those reads answered.
void printTypedReads(std::ostream& out, const std::string& key);
// "  KEY: "VALUE" source=... reason=... [experiment=... group=... control=... bucket=...]"
void printDetail(std::ostream& out, const std::string& key, const ReadOptions& options);
// The same as one JSON object on one line: {"key", "present"}, when present the
// payload's "kind" and "value", and the reads "string", "number", "boolean", "json";
// with options.detail also "source", "reason" and, for a feature of an experiment,
// "experiment": {"experiment_id", "group_id", "control", "bucket_id"}.
void printTypedReadsJson(std::ostream& out, const std::string& key, const ReadOptions& options);

// Prints the current feature table, one row per feature in key order.
void printFeatureTable(std::ostream& out);

// Prints one experiment's sample-ratio check: a line naming it, a table of its groups
// (control flag, exposures, share, intended share), the statistic, and the verdict.
void printSrmCheck(std::ostream& out, const OrvSrmCheck& check);

// Prints one experiment's readout as `report` does, under its mismatch check: the
// readout's kind and tuning, the units left out, then per outcome each group's units and
// rate or mean and each comparison's verdict in words.
void printReadout(std::ostream& out, const OrvExperimentReadout& readout,
                  const OrvReadoutOptions& options);

}  // namespace orvexp
