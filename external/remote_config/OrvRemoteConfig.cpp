#include "OrvRemoteConfig.h"

#include <atomic>
#include <map>
#include <set>

#include "OrvRCCache.h"
#include "OrvRCInternal.h"
#include "OrvRCResponse.h"
#include "OrvRCTransport.h"
#include "platform/OrvDataDirectory.h"

namespace {

constexpr const char* kSdkName = "OrvExperiment";
constexpr const char* kSdkVersion = "1.0.2";

// One application and template code as the component knows it.
struct App {
  App(std::string id, std::string code) : appId(std::move(id)), templateCode(std::move(code)) {}
  // Constant after construction.
  const std::string appId;
  const std::string templateCode;

  std::mutex mutex;
  // Guarded by mutex.
  bool started = false;
  bool cacheLoaded = false;
  std::string serverUrl;
  std::string dataDirectory;
  long connectTimeoutMs = 0;
  long totalTimeoutMs = 0;
  std::size_t maxBodyBytes = 0;
  OrvValue fetchParams;
  OrvValue bucketId;
  OrvValue payload;  // a dictionary, or absent before any cache or fetch
  std::string etag;
};

struct Registry {
  std::mutex mutex;
  // Guarded by mutex.
  std::map<std::pair<std::string, std::string>, std::shared_ptr<App>> apps;
  std::string lastStartedAppId;
};

Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

std::string resolve(const std::string& appId) {
  if (!appId.empty()) return appId;
  std::lock_guard lock(registry().mutex);
  return registry().lastStartedAppId;
}

std::shared_ptr<App> find(const std::string& appId, const std::string& templateCode) {
  std::lock_guard lock(registry().mutex);
  auto it = registry().apps.find({appId, templateCode});
  return it == registry().apps.end() ? nullptr : it->second;
}

std::shared_ptr<App> findOrCreate(const std::string& appId, const std::string& templateCode) {
  std::lock_guard lock(registry().mutex);
  auto& slot = registry().apps[{appId, templateCode}];
  if (!slot) slot = std::make_shared<App>(appId, templateCode);
  return slot;
}

// Once per data directory and process, before its first cache is read.
void removeStaleTemporariesOnce(const std::string& dataDirectory) {
  static std::mutex mutex;
  static auto* swept = new std::set<std::string>();  // guarded by mutex
  {
    std::lock_guard lock(mutex);
    if (!swept->insert(dataDirectory).second) return;
  }
  if (const int removed = OrvRCCache::removeStaleTemporaries(dataDirectory))
    orvRCLog().info("removed %@ stale temporary cache files in %@", removed, dataDirectory);
}

// A value the request body may carry: the JSON writer stops at the nesting limit.
bool acceptableValue(const OrvValue& value, const char* what) {
  if (value.nestingDepth() <= OrvValue::kMaxNestingDepth) return true;
  orvRCLog().error("%@ nested deeper than %@ levels refused", what, OrvValue::kMaxNestingDepth);
  return false;
}

void loadCacheOnce(App& app) {
  std::string dataDirectory;
  {
    std::lock_guard lock(app.mutex);
    // A payload already in memory (from an earlier start or fetch in this process) is
    // at least as new as the file.
    if (app.cacheLoaded) return;
    app.cacheLoaded = true;
    dataDirectory = app.dataDirectory;
  }
  removeStaleTemporariesOnce(dataDirectory);
  std::string problem;
  OrvRCCachedPayload cached;
  try {
    cached = OrvRCCache::load(dataDirectory, app.appId, app.templateCode, &problem);
  } catch (const std::exception& e) {
    // Out of memory on a huge cache, say: start without it rather than never
    // reaching the fetch that would replace it.
    cached = {};
    problem = std::string("cannot load the cached payload: ") + e.what();
  }
  if (!problem.empty()) orvRCLog().info("%@; starting without a cached payload", problem);
  if (cached.payload.isAbsent()) return;
  std::lock_guard lock(app.mutex);
  if (app.payload.isAbsent()) {
    app.payload = std::move(cached.payload);
    app.etag = std::move(cached.etag);
  }
}

void runFetchUnguarded(const std::shared_ptr<App>& app,
                       const std::shared_ptr<OrvRCFetchTask>& task) {
  OrvRCRequest request;
  std::string dataDirectory;
  bool holdsPayload = false;
  {
    std::lock_guard lock(app->mutex);
    OrvValue::Dictionary body = {
        {"app_id", OrvValue(app->appId)},
        {"template_code", OrvValue(app->templateCode)},
        {"sdk",
         OrvValue::dictionary({{"name", OrvValue(kSdkName)}, {"version", OrvValue(kSdkVersion)}})}};
    if (!app->fetchParams.isAbsent()) body.emplace_back("fetch_params", app->fetchParams);
    if (!app->bucketId.isAbsent()) body.emplace_back("bucket_id", app->bucketId);
    request.body = OrvValue::dictionary(std::move(body)).toJson();
    request.serverUrl = app->serverUrl;
    holdsPayload = !app->payload.isAbsent();
    if (holdsPayload) request.etag = app->etag;
    request.connectTimeoutMs = app->connectTimeoutMs;
    request.totalTimeoutMs = app->totalTimeoutMs;
    request.maxBodyBytes = app->maxBodyBytes;
    dataDirectory = app->dataDirectory;
  }

  OrvRCFetchOutcome outcome = OrvRCResponse::interpret(OrvRCTransport::fetch(request));
  if (outcome.notModified && !holdsPayload) {
    outcome.success = false;
    outcome.code = OrvRemoteConfig::kErrorNotModifiedWithoutCache;
    outcome.message = "the server answered 304 Not Modified, but no payload is cached";
  }
  if (!outcome.success) {
    orvRCLog().info("fetch of %@ failed: %@ %@", app->appId, outcome.code, outcome.message);
    if (task) task->reportFailure(outcome.code, outcome.message);
    return;
  }
  if (outcome.notModified) {
    orvRCLog().info("fetch of %@: not modified", app->appId);
  } else {
    // Memory first, so readers see the new payload at once; then the disk.
    {
      std::lock_guard lock(app->mutex);
      app->payload = outcome.payload;
      app->etag = outcome.etag;
    }
    std::string problem;
    if (!OrvRCCache::store(dataDirectory, app->appId, app->templateCode,
                           {outcome.payload, outcome.etag}, &problem)) {
      orvRCLog().info("payload of %@ not cached: %@", app->appId, problem);
    }
    orvRCLog().info("fetch of %@ succeeded: %@ keys", app->appId, outcome.payload.size());
  }
  if (task) task->reportSuccess();
}

// A fetch always ends in one outcome for its task, also when processing the answer
// throws (std::bad_alloc on a huge payload): the task hears kErrorResources and later
// fetches still run.
void runFetch(const std::shared_ptr<App>& app, const std::shared_ptr<OrvRCFetchTask>& task) {
  std::string what;
  try {
    runFetchUnguarded(app, task);
    return;
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
    what = "unknown exception";
  }
  orvRCLog().info("fetch of %@ failed: %@", app->appId, what);
  if (task)
    task->reportFailure(OrvRemoteConfig::kErrorResources, "cannot process the payload: " + what);
}

}  // namespace

OrvSerialExecutor& orvRCWorker() {
  static OrvSerialExecutor* worker = new OrvSerialExecutor("remote config worker", &orvRCLog());
  return *worker;
}

OrvSerialExecutor& orvRCCallbackQueue() {
  static OrvSerialExecutor* callbacks =
      new OrvSerialExecutor("remote config callbacks", &orvRCLog());
  return *callbacks;
}

OrvLogChannel& orvRCLog() {
  static OrvLogChannel channel{"[OrvRemoteConfig]"};
  return channel;
}

void OrvRemoteConfig::startWithSettings(const std::shared_ptr<OrvRemoteConfigSettings>& settings) {
  if (!settings) return;
  auto app = findOrCreate(settings->appId(), settings->templateCode());
  // Checked (and logged) before the lock is taken.
  const OrvValue& params = settings->fetchParams();
  const bool useParams = !params.isAbsent() && acceptableValue(params, "fetch parameters");
  const OrvValue& bucket = settings->customBucketId();
  const bool useBucket = !bucket.isAbsent() && acceptableValue(bucket, "bucket identifier");
  {
    std::lock_guard lock(app->mutex);
    app->started = true;
    app->serverUrl = settings->serverUrl();
    app->dataDirectory = OrvDataDirectory::get();
    app->connectTimeoutMs = settings->connectTimeoutMs();
    app->totalTimeoutMs = settings->totalTimeoutMs();
    app->maxBodyBytes = settings->maxBodyBytes();
    if (useParams) app->fetchParams = params;
    if (useBucket) app->bucketId = bucket;
  }
  {
    std::lock_guard lock(registry().mutex);
    registry().lastStartedAppId = settings->appId();
  }
  orvRCWorker().submit([app, task = settings->fetchTask()] {
    loadCacheOnce(*app);
    if (task) task->reportLocalCacheReady();
    runFetch(app, task);
  });
}

std::shared_ptr<OrvRCFetchTask> OrvRemoteConfig::fetchWithAppId(const std::string& appId,
                                                                const std::string& templateCode) {
  auto task = OrvRCFetchTask::create();
  const std::string resolved = resolve(appId);
  auto app = find(resolved, templateCode);
  bool started = false;
  if (app) {
    std::lock_guard lock(app->mutex);
    started = app->started;
  }
  if (!started) {
    task->reportFailure(kErrorNotStarted, "application \"" + resolved + "\" with template \"" +
                                              templateCode + "\" has not been started");
    return task;
  }
  orvRCWorker().submit([app, task] { runFetch(app, task); });
  return task;
}

void OrvRemoteConfig::setCustomFetchParams(const OrvValue& params, const std::string& appId,
                                           const std::string& templateCode) {
  if (!acceptableValue(params, "fetch parameters")) return;
  auto app = findOrCreate(resolve(appId), templateCode);
  std::lock_guard lock(app->mutex);
  app->fetchParams = params;
}

void OrvRemoteConfig::setCustomBucketId(const OrvValue& bucketId, const std::string& appId,
                                        const std::string& templateCode) {
  if (!acceptableValue(bucketId, "bucket identifier")) return;
  auto app = findOrCreate(resolve(appId), templateCode);
  std::lock_guard lock(app->mutex);
  app->bucketId = bucketId;
}

void OrvRemoteConfig::enableLog(bool enable) { orvRCLog().setEnabled(enable); }

std::shared_ptr<OrvRCData> OrvRemoteConfig::getDataWithAppId(const std::string& appId,
                                                             const std::string& /*templateCode*/) {
  return std::make_shared<OrvRCData>(resolve(appId));
}

OrvRCLookup OrvRCData::get() const {
  return [appId = appId_](const std::string& templateCode) -> std::shared_ptr<OrvRCValue> {
    auto app = find(appId, templateCode);
    if (!app) return nullptr;
    std::lock_guard lock(app->mutex);
    if (app->payload.isAbsent()) return nullptr;
    return std::make_shared<OrvRCValue>(app->payload);
  };
}
