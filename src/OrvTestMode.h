// What the rest of the library needs to know about test mode (OrvTesting): whether
// reads are served from a test's payload, and whether a real start happened, which
// cannot be undone within a process. Thread-safe.
#pragma once

class OrvTestMode {
 public:
  OrvTestMode() = delete;

  // True between OrvTesting::start and OrvTesting::reset.
  static bool active() noexcept;
  // A start outside test mode: from then on test mode is refused (the component's fetch
  // and refresh threads cannot be taken back).
  static void noteRealStart();
};
