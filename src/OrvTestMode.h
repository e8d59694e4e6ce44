// What the rest of the library needs to know about test mode (OrvTesting) and about
// how it was started: whether reads are served from a test's payload, and whether a
// start went to the remote-configuration component, which cannot be undone within a
// process. Thread-safe.
#pragma once

#include <memory>

class OrvExperimentConfig;

class OrvTestMode {
 public:
  OrvTestMode() = delete;

  // True between OrvTesting::start and OrvTesting::reset.
  static bool active() noexcept;
  // A start outside test mode: from then on test mode is refused (the component's fetch
  // and refresh threads cannot be taken back), and fetch() follows the start's mode.
  static void noteRealStart(const std::shared_ptr<OrvExperimentConfig>& config);
  // The last start outside test mode was in kLocalOnly mode.
  static bool localOnlyStarted() noexcept;
};
