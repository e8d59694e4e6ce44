#include "OrvExperimentInfo.h"

#include "platform/values/OrvMD5.h"

namespace {

// A part's text in the key string: absent is empty, and a boolean is a number there,
// so it reads "1" or "0"; every other kind is its description() (a string itself, a
// number its digits, null "null", a collection its compact JSON). Record keys already
// stored for string and integer parts depend on this staying as it is.
std::string keyPart(const OrvValue& v) {
  if (v.isAbsent()) return std::string();
  if (v.isBoolean()) return v.boolValue() ? "1" : "0";
  return v.description();
}

}  // namespace

std::string OrvExperimentInfo::exposureKeyString() const {
  return keyPart(customBucketId_) + "_" + keyPart(experimentId_) + "_" +
         keyPart(experimentGroupId_);
}

const std::string& OrvExperimentInfo::recordKey() const {
  std::call_once(recordKeyOnce_, [this] { recordKey_ = OrvMD5::hex(exposureKeyString()); });
  return recordKey_;
}
