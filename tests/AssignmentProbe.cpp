// What the library gives each of many units, read the way an application reads it:
//
//   assignment_probe start URL DATA_DIR UNITS_FILE KEY
//     one start against URL (any server, or file://), then for each unit: its bucket
//     identifier set, a fetch awaited, KEY read;
//   assignment_probe test PAYLOAD_FILE - UNITS_FILE KEY
//     test mode, started once per unit with the unit as the bucket identifier.
//
// One line per unit on stdout: "unit<TAB>group<TAB>value" ("-" for no group). Exits
// 1 when a fetch fails or is not heard of within a minute.
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperiment/OrvTesting.h"

namespace {

std::mutex& m = *new std::mutex;
std::condition_variable& cv = *new std::condition_variable;
int outcome = -1;  // guarded by m: -1 none yet, 0 success, 1 failure

std::shared_ptr<OrvExperimentTask> listened(std::shared_ptr<OrvExperimentTask> task) {
  auto set = [](int value) {
    std::lock_guard lock(m);
    outcome = value;
    cv.notify_all();
  };
  task->addOnSuccessListener([set] { set(0); });
  task->addOnFailureListener([set](std::int64_t, const std::string&) { set(1); });
  return task;
}

bool heardSuccess() {
  std::unique_lock lock(m);
  const bool heard = cv.wait_for(lock, std::chrono::minutes(1), [] { return outcome >= 0; });
  const bool ok = heard && outcome == 0;
  outcome = -1;
  return ok;
}

void print(const std::string& unit, const std::string& key) {
  const auto detail = OrvExperiment::getStringDetail(key, "");
  std::cout << unit << '\t'
            << (detail.experiment ? detail.experiment->groupId.description() : std::string("-"))
            << '\t' << detail.value << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::cerr << "usage: assignment_probe start|test URL|PAYLOAD DATA_DIR|- UNITS_FILE KEY\n";
    return 2;
  }
  const std::string mode = argv[1], source = argv[2], key = argv[5];
  std::ifstream unitsFile(argv[4]);
  std::string unit;
  if (mode == "test") {
    std::ifstream in(source);
    std::stringstream payload;
    payload << in.rdbuf();
    while (std::getline(unitsFile, unit)) {
      auto config = OrvExperimentConfig::create(OrvTesting::kDefaultAppId, "");
      config->setCustomBucketId(OrvValue(unit));
      if (!OrvTesting::start(payload.str(), config)) return 1;
      print(unit, key);
    }
    OrvTesting::reset();
    return 0;
  }
  OrvPlatform::setDataDirectory(argv[3]);
  auto config = OrvExperimentConfig::create("probe-app", source);
  config->setStartupTask(listened(OrvExperimentTask::create()));
  OrvExperiment::startWithConfig(config);
  if (!heardSuccess()) return 1;
  while (std::getline(unitsFile, unit)) {
    OrvExperiment::setCustomBucketId(OrvValue(unit));
    listened(OrvExperiment::fetch());
    if (!heardSuccess()) return 1;
    print(unit, key);
  }
  return 0;
}
