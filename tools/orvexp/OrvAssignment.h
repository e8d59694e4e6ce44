// Assignment of devices to experiment groups by the reference server. A payload file
// may declare an experiment's groups with weights instead of one fixed membership:
//
//   "experiment_detail": [{"#experiment_id": "101", "#feature_list": ["color"],
//     "#groups": [{"id": "1", "weight": 50, "control": true, "values": {"color": "red"}},
//                 {"id": "2", "weight": 50, "values": {"color": "blue"}}]}]
//
// For each fetch, resolve() turns every such entry into the plain entry the client
// library understands, for the unit the request names, and puts the group's values
// in place of the top-level features. The group is chosen by a stateless hash, so any
// number of servers give one unit the same group (see README, "Assignment").
// Thread-safe: pure functions.
#pragma once

#include <string>

#include "OrvExperiment/OrvValue.h"
#include "OrvSrm.h"

namespace OrvAssignment {

// An identifier's text as the hash, the event store and the report see it: a string
// itself, a number its decimal text, anything else its JSON. Experiment and group
// identifiers are matched by it between served payloads and stored events.
std::string identifierText(const OrvValue& identifier);

// The unit a fetch request names: the text of its "bucket_id" (a string itself, a
// number its decimal text, anything else its JSON), else its "fetch_params"."unit_id"
// the same way; "" when it names none.
std::string unitOf(const OrvValue& requestBody);

// Which group of `groups` (as in "#groups") `unit` gets in `experimentId`; -1 when no
// group has a positive weight.
int groupIndex(const std::string& experimentId, const std::string& unit, const OrvValue& groups);

// True when `payload` has an entry with "#groups": only such payloads are resolved;
// every other is served byte for byte.
bool hasGroups(const OrvValue& payload);

// What is wrong with the "#groups" declarations of `payload`; "" when nothing is. Each
// needs an "#experiment_id" (string or number) and no "#experiment_group_id"; its
// groups a unique non-empty string "id", a whole "weight" from 0 to 1000000 (the sum
// above 0), and optionally a boolean "control" and an object "values".
std::string problemOf(const OrvValue& payload);

// `payload` with its "#groups" entries resolved for `unit`. Without a unit, such an
// experiment is left out: its features keep their top-level values and no membership.
OrvValue resolve(const OrvValue& payload, const std::string& unit);

// The intended split of `experimentId` as the payload declares it (group id and
// weight, in order); empty when it declares no groups for it.
OrvIntendedSplit splitOf(const OrvValue& payload, const std::string& experimentId);

}  // namespace OrvAssignment
