// Where a sticky experiment's assignments are kept (OrvAssignment::Memory): one
// user-defaults suite per application, "orv_assignments_" followed by its identifier,
// in the data directory's database, so every process of the application on that
// directory, in this launch and later ones, gives a unit the group it got first. Each
// row is keyed by the experiment's hash key and the unit (as the JSON array of the two,
// so no separator can be forged) and holds {"group": id, "split": [[id, weight], ...]}.
// In test mode (OrvExperimentStorage::memoryOnly()) the rows live in this process
// only, and are forgotten when test mode is switched or reset.
//
// The suite is opened on the first recall, so a payload with no sticky experiment
// never opens it. One object serves one load, on the work queue; the in-memory rows
// are guarded by a lock of their own, so forgetInMemory() may run on any thread.
#pragma once

#include <memory>
#include <string>

#include "OrvAssignment.h"

class OrvUserDefaults;

class OrvStickyAssignments : public OrvAssignment::Memory {
 public:
  static constexpr const char* kSuitePrefix = "orv_assignments_";

  explicit OrvStickyAssignments(std::string appId);
  ~OrvStickyAssignments() override;

  std::optional<Kept> recall(const std::string& experiment, const std::string& unit) override;
  Kept keep(const std::string& experiment, const std::string& unit, const Kept& kept,
            bool replace) override;

  // Test mode's rows, all of them.
  static void forgetInMemory();

 private:
  OrvUserDefaults* suite();

  const std::string appId_;
  bool memoryOnly_;
  std::shared_ptr<OrvUserDefaults> suite_;  // opened on first use, outside test mode
};
