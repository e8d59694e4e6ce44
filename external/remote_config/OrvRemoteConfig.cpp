#include "OrvRemoteConfig.h"

#include <atomic>
#include <map>
#include <utility>

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

// Fetch parameters and a bucket identifier set for "" before any start: there is no
// application to give them to yet, so they wait for the next start of their template
// code whose settings carry none of their own.
struct Held {
  OrvValue fetchParams;
  OrvValue bucketId;
};

struct Registry {
  std::mutex mutex;
  // Guarded by mutex.
  std::map<std::pair<std::string, std::string>, std::shared_ptr<App>> apps;
  std::string lastStartedAppId;
  bool anyStarted = false;
  std::map<std::string, Held> held;  // by template code
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

// Sets one of an application's request values; "" before any start holds it instead.
void setRequestValue(const OrvValue& value, const std::string& appId,
                     const std::string& templateCode, OrvValue App::*field, OrvValue Held::*held) {
  {
    std::lock_guard lock(registry().mutex);
    if (appId.empty() && !registry().anyStarted) {
      registry().held[templateCode].*held = value;
      return;
    }
  }
  auto app = findOrCreate(resolve(appId), templateCode);
  std::lock_guard lock(app->mutex);
  (*app).*field = value;
}

// Moves a held value into `own` when the start carries none of its own.
void takeHeld(OrvValue& own, OrvValue& held) {
  if (own.isAbsent()) own = std::exchange(held, OrvValue());
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
    if (!app->payload.isAbsent()) request.etag = app->etag;
    request.connectTimeoutMs = app->connectTimeoutMs;
    request.totalTimeoutMs = app->totalTimeoutMs;
    request.maxBodyBytes = app->maxBodyBytes;
    dataDirectory = app->dataDirectory;
  }

  OrvRCFetchOutcome outcome = OrvRCResponse::interpret(OrvRCTransport::fetch(request));
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
  OrvValue fetchParams = settings->fetchParams();
  OrvValue bucketId = settings->customBucketId();
  {
    std::lock_guard lock(registry().mutex);
    registry().anyStarted = true;
    if (auto it = registry().held.find(settings->templateCode()); it != registry().held.end()) {
      takeHeld(fetchParams, it->second.fetchParams);
      takeHeld(bucketId, it->second.bucketId);
    }
  }
  {
    std::lock_guard lock(app->mutex);
    app->started = true;
    app->serverUrl = settings->serverUrl();
    app->dataDirectory = OrvDataDirectory::get();
    app->connectTimeoutMs = settings->connectTimeoutMs();
    app->totalTimeoutMs = settings->totalTimeoutMs();
    app->maxBodyBytes = settings->maxBodyBytes();
    if (!fetchParams.isAbsent()) app->fetchParams = std::move(fetchParams);
    if (!bucketId.isAbsent()) app->bucketId = std::move(bucketId);
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
  setRequestValue(params, appId, templateCode, &App::fetchParams, &Held::fetchParams);
}

void OrvRemoteConfig::setCustomBucketId(const OrvValue& bucketId, const std::string& appId,
                                        const std::string& templateCode) {
  setRequestValue(bucketId, appId, templateCode, &App::bucketId, &Held::bucketId);
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
