#include "OrvExperimentInfo.h"

#include "platform/OrvMD5.h"

namespace {

std::string textOrEmpty(const OrvValue& v) {
  return v.isAbsent() ? std::string() : v.description();
}

}  // namespace

std::string OrvExperimentInfo::exposureKeyString() const {
  return textOrEmpty(customBucketId_) + "_" + textOrEmpty(experimentId_) + "_" +
         textOrEmpty(experimentGroupId_);
}

const std::string& OrvExperimentInfo::recordKey() const {
  std::call_once(recordKeyOnce_, [this] { recordKey_ = OrvMD5::hex(exposureKeyString()); });
  return recordKey_;
}
