// The overrides file of the running configuration (OrvExperimentConfig::
// setOverridesFile): read when the library starts and again after each change, so a
// developer can pin a feature by editing a file while the application runs.
//
// Changes are found by polling the file's identity, size and modification time on the
// library's background queue (no thread of its own, nothing to stop at exit); a change
// queues, on the work queue, the new overrides and then a reload, so change listeners
// hear of it in order with every other load. One file is watched at a time: a later
// watch() or stop() ends the earlier watch at its next poll. Thread-safe.
#pragma once

#include <string>

#include "OrvExperiment/OrvValue.h"

class OrvOverridesFile {
 public:
  OrvOverridesFile() = delete;

  // The file's dictionary, or absent when it is missing or unusable (said in one line:
  // an error, or, for a missing file, an information line).
  static OrvValue read(const std::string& path);

  // From now on, `path`'s overrides go to the feature manager: read on the work queue
  // now (ahead of whatever is queued later, the start's first load included), then
  // after each change, followed by a reload once a configuration is in place.
  static void watch(const std::string& path);
  // On the work queue: the watched file's overrides now, for the next load (a fetch
  // in kLocalOnly mode, where no server has anything newer).
  static void rereadNow();
  // Ends the watch and forgets the file's overrides (from the next load on).
  static void stop();
};
