// Simulated devices for `orvexp demo`: each one a separate `orvexp get` process with a
// data directory and bucket identifier of its own, reading against an assigning server
// and exporting its exposures to the server's collector, as a fleet of real
// application installs would.
#pragma once

#include <functional>
#include <string>

namespace orvexp {

struct FleetRun {
  std::string orvexp;     // the orvexp executable
  std::string serverUrl;  // config server and collector
  std::string appId;
  std::string dataRoot;  // device N keeps its data in dataRoot/N
  int devices = 200;
  int parallel = 4;
  std::string key;  // the feature each device reads
  // Whether device `unit` exports its exposures; a faulty fleet drops some.
  std::function<bool(const std::string& unit)> exports = [](const std::string&) { return true; };
};

// The bucket identifier of device `index`.
std::string deviceUnit(int index);

// Runs every device to its end; the number that failed (an exit status other than 0, or
// no process at all). `*firstProblem` describes the first failure.
int runFleet(const FleetRun& run, std::string* firstProblem);

}  // namespace orvexp
