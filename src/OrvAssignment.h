// Assignment of units to experiment groups: the one place that turns an experiment
// entry declaring weighted groups into a membership, used by the library for the
// payloads it loads and by the reference server for the payloads it serves, so the two
// cannot disagree. A payload may declare an experiment's groups instead of one fixed
// membership:
//
//   "experiment_detail": [{"#experiment_id": "101", "#feature_list": ["color"],
//     "#groups": [{"id": "1", "weight": 50, "control": true, "values": {"color": "red"}},
//                 {"id": "2", "weight": 50, "values": {"color": "blue"}}],
//     "#sticky": true, "#seed": "2"}]
//
// resolve() turns every such entry into the plain entry the feature parser reads, for
// one unit, and puts the group's values in place of the top-level features. The group
// is chosen by a stateless hash (groupIndex), so any number of servers and clients give
// one unit the same group; a sticky entry ("#sticky": true) first asks a Memory for the
// group the unit had before, so that a change of weights moves no unit that already has
// one. "#seed" starts an experiment afresh: it enters the hash and the memory's key.
//
// No I/O of its own (a Memory is the caller's). Thread-safe: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvValue.h"

namespace OrvAssignment {

// An identifier's text as the hash, the event store and the report see it: a string
// itself, a number its decimal text, anything else its JSON. Experiment and group
// identifiers are matched by it between served payloads and stored events.
std::string identifierText(const OrvValue& identifier);

// The unit a fetch request names: the text of its "bucket_id" (a string itself, a
// number its decimal text, anything else its JSON), else its "fetch_params"."unit_id"
// the same way; "" when it names none. The library asks the same of its own bucket
// identifier and fetch parameters, as {"bucket_id": ..., "fetch_params": ...}.
std::string unitOf(const OrvValue& requestBody);

// The text an entry's groups are hashed under: its "#experiment_id" as text, followed
// by "/" and the text of its "#seed" when it has one.
std::string hashKey(const OrvValue& entry);

// Which group of `groups` (as in "#groups") `unit` gets under `key` (hashKey()); -1
// when no group has a positive weight.
int groupIndex(const std::string& key, const std::string& unit, const OrvValue& groups);

// True when `payload` has an entry with "#groups": only such payloads are resolved;
// every other is left exactly as it is.
bool hasGroups(const OrvValue& payload);

// What is wrong with the "#groups" declarations of `payload`; "" when nothing is. Each
// needs an "#experiment_id" (string or number) and no "#experiment_group_id"; its
// groups a unique non-empty string "id", a whole "weight" from 0 to 1000000 (the sum
// above 0), and optionally a boolean "control" and an object "values"; "#sticky" is a
// boolean and "#seed" a string or number.
std::string problemOf(const OrvValue& payload);

// Where a sticky experiment's earlier assignments are kept. `experiment` is the entry's
// hashKey(). Implementations are the caller's (the library's data directory, memory in
// test mode); they are called from resolve() only.
class Memory {
 public:
  // The group a unit was given, and the split it was given under ("#split").
  struct Kept {
    std::string groupId;
    OrvValue split;
  };
  virtual ~Memory() = default;
  virtual std::optional<Kept> recall(const std::string& experiment, const std::string& unit) = 0;
  // Keeps `kept` unless an assignment is kept already (another process may have been
  // first), or in its place with `replace`; returns the one that is kept.
  virtual Kept keep(const std::string& experiment, const std::string& unit, const Kept& kept,
                    bool replace) = 0;
};

// A memory that keeps nothing: every unit is seen for the first time, so a sticky entry
// places it by the hash (what a unit's first launch, or a server that remembers no
// units but must answer for one, gives it).
class FirstTime : public Memory {
 public:
  std::optional<Kept> recall(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  Kept keep(const std::string&, const std::string&, const Kept& kept, bool) override {
    return kept;
  }
};

// `payload` with its "#groups" entries resolved for `unit`: each becomes a plain entry
// with "#experiment_group_id" and "#is_control_group" of the unit's group, "bucket_id"
// the unit (unless the entry sets one), "#feature_list" as given (or the group's value
// keys), "#split" the weights the unit was placed by ([[group id, weight], ...] in the
// declared order), and the group's values replace the top-level ones. Without a unit,
// such an experiment is left out (its features keep their top-level values, no
// membership) and its id is added to `*leftOut` when given. A sticky entry is resolved
// through `memory`; with no memory (a server, which cannot remember units) it is left
// as declared, for the client to resolve. `payload` must have no problemOf().
OrvValue resolve(const OrvValue& payload, const std::string& unit, Memory* memory,
                 std::vector<std::string>* leftOut = nullptr);

// `payload` with every "#groups" entry left out (a payload whose declarations have a
// problem: no unit gets a group from it).
OrvValue withoutGroups(const OrvValue& payload);

// The intended split of `experimentId` as the payload declares it (group id and
// weight, in order); empty when it declares no groups for it.
std::vector<std::pair<std::string, double>> splitOf(const OrvValue& payload,
                                                    const std::string& experimentId);

// A membership's "#split" read back: the group's weight over the sum of the weights,
// when `split` is a list of [non-empty string, whole weight] pairs with a positive sum
// that names `groupId`; nothing otherwise.
std::optional<double> intendedShare(const OrvValue& split, const std::string& groupId);

}  // namespace OrvAssignment
