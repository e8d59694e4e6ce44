// Helpers shared by the orvexp commands that run the library.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "OrvExperiment/OrvExperimentTask.h"
#include "OrvFeature.h"
#include "OrvSrm.h"

namespace orvexp {

// The first outcome a task reports.
struct Outcome {
  bool reported = false;
  bool success = false;
  std::int64_t code = 0;
  std::string message;
};

// Listens on `task`; wait() returns its first outcome, or one with reported == false
// after `timeout`.
class OutcomeWaiter {
 public:
  explicit OutcomeWaiter(const std::shared_ptr<OrvExperimentTask>& task);
  Outcome wait(std::chrono::milliseconds timeout);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Prints one line for `key`: its value read as string, number, boolean and JSON, or
// "missing" when the feature table does not hold it (and then reads nothing).
void printTypedReads(std::ostream& out, const std::string& key);
// "  KEY: "VALUE" source=... reason=... [experiment=... group=... control=... bucket=...]"
void printDetail(std::ostream& out, const std::string& key);
// The same as one JSON object on one line: {"key", "present"} and, when present, the
// payload's "kind" and "value" and the reads "string", "number", "boolean", "json".
void printTypedReadsJson(std::ostream& out, const std::string& key);

// Prints the current feature table, one row per feature in key order.
void printFeatureTable(std::ostream& out);

// Prints one experiment's sample-ratio check: a line naming it, a table of its groups
// (control flag, exposures, share, intended share), the statistic, and the verdict.
void printSrmCheck(std::ostream& out, const OrvSrmCheck& check);

}  // namespace orvexp
