#include "OrvRCInternal.h"
#include "OrvRemoteConfig.h"

std::shared_ptr<OrvRCFetchTask> OrvRCFetchTask::create() {
  return std::shared_ptr<OrvRCFetchTask>(new OrvRCFetchTask());
}

void OrvRCFetchTask::report(Outcome outcome) {
  // Submitting under the lock keeps each (listener, outcome) pair delivered exactly
  // once whichever of report() and listen() comes first.
  std::lock_guard lock(mutex_);
  outcomes_.push_back(outcome);
  for (const auto& [kind, listener] : listeners_) {
    if (kind != outcome.kind) continue;
    orvRCCallbackQueue().submit([listener = listener, outcome] { (*listener)(outcome); });
  }
}

void OrvRCFetchTask::listen(Outcome::Kind kind, std::function<void(const Outcome&)> listener) {
  auto shared = std::make_shared<const std::function<void(const Outcome&)>>(std::move(listener));
  std::lock_guard lock(mutex_);
  listeners_.emplace_back(kind, shared);
  for (const Outcome& outcome : outcomes_) {
    if (outcome.kind != kind) continue;
    orvRCCallbackQueue().submit([shared, outcome] { (*shared)(outcome); });
  }
}

std::shared_ptr<OrvRCFetchTask> OrvRCFetchTask::addOnSuccessListener(SuccessListener listener) {
  if (listener) listen(Outcome::kSuccess, [l = std::move(listener)](const Outcome&) { l(); });
  return shared_from_this();
}

std::shared_ptr<OrvRCFetchTask> OrvRCFetchTask::addOnFailureListener(FailureListener listener) {
  if (listener) {
    listen(Outcome::kFailure,
           [l = std::move(listener)](const Outcome& o) { l(o.code, o.message); });
  }
  return shared_from_this();
}

std::shared_ptr<OrvRCFetchTask> OrvRCFetchTask::addOnLocalCacheReadyListener(
    LocalCacheReadyListener listener) {
  if (listener)
    listen(Outcome::kLocalCacheReady, [l = std::move(listener)](const Outcome&) { l(); });
  return shared_from_this();
}

void OrvRCFetchTask::reportSuccess() { report({Outcome::kSuccess, 0, {}}); }

void OrvRCFetchTask::reportFailure(std::int64_t code, const std::string& message) {
  report({Outcome::kFailure, code, message});
}

void OrvRCFetchTask::reportLocalCacheReady() { report({Outcome::kLocalCacheReady, 0, {}}); }
