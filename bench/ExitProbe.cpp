// A program that returns from main() with library work in flight, for
// BM_ExitWhileBusy: it prints "exiting" right before returning, and the benchmark
// times how long the process takes to be gone after that line.
// Usage: orv_exit_probe MODE DATA_DIR N
//   idle     started on a payload of N experiments, one exposure read and delivered:
//            nothing in flight (the baseline);
//   deliver  an event sink and N first-time exposures read: the work queue records
//            them and calls the sink while main returns;
//   reload   fetch() three times over a payload of N experiments: reloads parse it on
//            the work queue while main returns.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "../tests/ManyExperiments.h"
#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvMediator.h"

namespace {

// Starts on a payload of `count` experiments written to DIR/payload.json; true once a
// table is in place.
bool start(const std::string& dir, int count) {
  const std::string payload = dir + "/payload.json";
  std::FILE* f = std::fopen(payload.c_str(), "w");
  if (!f) return false;
  std::fputs(manyExperiments(count).c_str(), f);
  std::fclose(f);
  OrvPlatform::setDataDirectory(dir);
  OrvExperiment::startWithAppId("exit-probe", "file://" + payload);
  // Leaked: a listener may still run while the process exits.
  auto* m = new std::mutex;
  auto* cv = new std::condition_variable;
  auto* ready = new int(0);  // 1 success, -1 failure
  OrvExperiment::whenReady()
      ->addOnSuccessListener([=] {
        std::lock_guard lock(*m);
        *ready = 1;
        cv->notify_all();
      })
      ->addOnFailureListener([=](std::int64_t, const std::string&) {
        std::lock_guard lock(*m);
        *ready = -1;
        cv->notify_all();
      });
  std::unique_lock lock(*m);
  cv->wait_for(lock, std::chrono::seconds(60), [&] { return *ready != 0; });
  return *ready == 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: orv_exit_probe idle|deliver|reload DATA_DIR N\n");
    return 2;
  }
  const std::string mode = argv[1], dir = argv[2];
  const int n = std::atoi(argv[3]);
  OrvMediator::sharedInstance()->addEventSink([](const OrvMediatorEvent&) {});
  if (!start(dir, n)) return 1;
  if (mode == "idle") {
    OrvExperiment::getValueAsString("k0");
    if (!OrvExperiment::flush(std::chrono::seconds(30))) return 1;
  } else if (mode == "deliver") {
    for (int i = 0; i < n; ++i) OrvExperiment::getValueAsString("k" + std::to_string(i));
  } else if (mode == "reload") {
    for (int i = 0; i < 3; ++i) OrvExperiment::fetch();
    OrvExperiment::getValueAsString("k1");
  } else {
    return 2;
  }
  std::puts("exiting");
  std::fflush(stdout);
  return 0;
}
