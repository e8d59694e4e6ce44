// The first read of a freshly started process: starts the library on an application
// whose payload is cached in DATA_DIR, with a server address that fails at once
// (file:// of a missing file), so the cache answers; then reads KEY until it gives
// EXPECTED and prints how long after entering main() that was:
//   first_read_us=<microseconds from main() to the first correct read>
// then returns from main() at once, as a short-lived program does.
// With `--exit-at-once` it prints first_read_us=0 and returns without starting: the
// same process's own cost, the baseline of BM_FirstReadFreshProcess.
// Usage: orv_first_read_probe DATA_DIR APP_ID KEY EXPECTED [--exit-at-once]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"

int main(int argc, char** argv) {
  const auto entered = std::chrono::steady_clock::now();
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: orv_first_read_probe DATA_DIR APP_ID KEY EXPECTED [--exit-at-once]\n");
    return 2;
  }
  if (argc > 5 && std::strcmp(argv[5], "--exit-at-once") == 0) {
    std::printf("first_read_us=0\n");
    return 0;
  }
  OrvPlatform::setDataDirectory(argv[1]);
  OrvExperiment::startWithConfig(
      OrvExperimentConfig::create(argv[2], "file:///nonexistent/orv-first-read-probe"));
  const std::string key = argv[3], expected = argv[4];
  // A bounded spin (a start that never loads the cache ends the probe with an error
  // instead of hanging the benchmark) that yields between reads: the library's threads,
  // not this one, have the work to do.
  const auto deadline = entered + std::chrono::seconds(30);
  while (OrvExperiment::getValueAsString(key, "") != expected) {
    std::this_thread::yield();
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "orv_first_read_probe: %s never read %s\n", key.c_str(),
                   expected.c_str());
      return 1;
    }
  }
  const auto read = std::chrono::steady_clock::now();
  std::printf("first_read_us=%lld\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::microseconds>(read - entered).count()));
  return 0;
}
