// Simulated devices for `orvexp demo`: each one a separate `orvexp get` process with a
// data directory and bucket identifier of its own, reading against an assigning server
// and exporting its exposures to the server's collector, as a fleet of real
// application installs would; a device that converts then records the outcome with a
// separate `orvexp track` in the same data directory, as the application would later.
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
  int parallel = 4;  // processes at once, tracks included
  std::string key;   // the feature each device reads
  // Whether device `unit` exports its exposures; a faulty fleet drops some.
  std::function<bool(const std::string& unit)> exports = [](const std::string&) { return true; };
  // With an outcome, each device's get prints its read in detail (a JSON line with the
  // experiment and group it was shown) to dataRoot/N.out, and a device whose get
  // succeeded and for which `converts(N, that line)` holds records `outcome` (a count).
  std::string outcome;
  std::function<bool(int device, const std::string& shown)> converts;
};

// The bucket identifier of device `index`.
std::string deviceUnit(int index);

// Runs every device to its end; the number of processes that failed (an exit status
// other than 0, or no process at all). `*firstProblem` describes the first failure.
int runFleet(const FleetRun& run, std::string* firstProblem);

}  // namespace orvexp
