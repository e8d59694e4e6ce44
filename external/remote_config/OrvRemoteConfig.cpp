#include "OrvRemoteConfig.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <random>
#include <set>
#include <utility>

#include "OrvRCCache.h"
#include "OrvRCInternal.h"
#include "OrvRCResponse.h"
#include "OrvRCTransport.h"
#include "platform/execution/OrvProcessLifetime.h"
#include "platform/files/OrvDataDirectory.h"
#include "platform/network/OrvHttpClient.h"
#include "platform/network/OrvSdkVersion.h"

namespace {

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
  std::vector<std::string> headers;
  OrvValue fetchParams;
  OrvValue bucketId;
  OrvValue payload;  // a dictionary, or absent before any cache or fetch
  bool payloadFromCache = false;
  std::string etag;
  // Periodic refresh (0: none), and fetches of this application queued or running: a
  // refresh never starts while one is.
  long refreshIntervalMs = 0;
  std::shared_ptr<const OrvRemoteConfigSettings::RefreshListener> refreshListener;
  int fetchesPending = 0;
  int refreshFailures = 0;
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
    app.payloadFromCache = true;
    app.etag = std::move(cached.etag);
  }
}

OrvRCFetchOutcome runFetchUnguarded(const std::shared_ptr<App>& app,
                                    const std::shared_ptr<OrvRCFetchTask>& task) {
  OrvRCRequest request;
  std::string dataDirectory;
  bool holdsPayload = false;
  {
    std::lock_guard lock(app->mutex);
    OrvValue::Dictionary body = {
        {"app_id", OrvValue(app->appId)},
        {"template_code", OrvValue(app->templateCode)},
        {"sdk", OrvValue::dictionary(
                    {{"name", OrvValue(kOrvSdkName)}, {"version", OrvValue(kOrvSdkVersion)}})}};
    if (!app->fetchParams.isAbsent()) body.emplace_back("fetch_params", app->fetchParams);
    if (!app->bucketId.isAbsent()) body.emplace_back("bucket_id", app->bucketId);
    request.body = OrvValue::dictionary(std::move(body)).toJson();
    request.serverUrl = app->serverUrl;
    holdsPayload = !app->payload.isAbsent();
    if (holdsPayload) request.etag = app->etag;
    request.connectTimeoutMs = app->connectTimeoutMs;
    request.totalTimeoutMs = app->totalTimeoutMs;
    request.maxBodyBytes = app->maxBodyBytes;
    request.headers = app->headers;
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
    return outcome;
  }
  if (outcome.notModified) {
    orvRCLog().info("fetch of %@: not modified", app->appId);
    std::lock_guard lock(app->mutex);
    app->payloadFromCache = false;  // the server confirmed it
  } else {
    // Memory first, so readers see the new payload at once; then the disk.
    {
      std::lock_guard lock(app->mutex);
      app->payload = outcome.payload;
      app->payloadFromCache = false;
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
  outcome.payload = OrvValue();  // the caller needs the verdict, not a copy to hold
  return outcome;
}

void scheduleRefresh(const std::shared_ptr<App>& app, const OrvRCFetchOutcome& outcome);

// A fetch always ends in one outcome for its task, also when processing the answer
// throws (std::bad_alloc on a huge payload): the task hears kErrorResources and later
// fetches still run. Every fetch was counted in fetchesPending when it was queued; its
// end plans the next refresh.
void runFetch(const std::shared_ptr<App>& app, const std::shared_ptr<OrvRCFetchTask>& task,
              bool refresh = false) {
  OrvRCFetchOutcome outcome;
  try {
    outcome = runFetchUnguarded(app, task);
  } catch (const std::exception& e) {
    outcome.code = OrvRemoteConfig::kErrorResources;
    outcome.message = std::string("cannot process the payload: ") + e.what();
  } catch (...) {
    outcome.code = OrvRemoteConfig::kErrorResources;
    outcome.message = "cannot process the payload";
  }
  if (!outcome.success && outcome.code == OrvRemoteConfig::kErrorResources) {
    orvRCLog().info("fetch of %@ failed: %@", app->appId, outcome.message);
    if (task) task->reportFailure(outcome.code, outcome.message);
  }
  std::shared_ptr<const OrvRemoteConfigSettings::RefreshListener> listener;
  {
    std::lock_guard lock(app->mutex);
    --app->fetchesPending;
    if (refresh) listener = app->refreshListener;
  }
  if (listener) {
    orvRCCallbackQueue().submit([listener, ok = outcome.success, code = outcome.code,
                                 message = outcome.message] { (*listener)(ok, code, message); });
  }
  scheduleRefresh(app, outcome);
}

// Queues a fetch of `app` on the worker, counted so that no refresh overlaps it.
void queueFetch(const std::shared_ptr<App>& app, std::function<void()> fetch) {
  {
    std::lock_guard lock(app->mutex);
    ++app->fetchesPending;
  }
  orvRCWorker().submit(std::move(fetch));
}

// Runs each application's next refresh when it is due: one thread for the component,
// stopped with the library's other threads at exit.
class RefreshScheduler {
 public:
  static RefreshScheduler& instance() {
    static RefreshScheduler* scheduler = new RefreshScheduler();  // never destroyed
    return *scheduler;
  }

  void schedule(const std::shared_ptr<App>& app, std::chrono::milliseconds delay) {
    const auto scaled = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        delay * timeScale.load(std::memory_order_relaxed));
    // Started with the first refresh; made during exit (or once stopped), it never runs
    // and what is scheduled stays unrun.
    thread_.start([this] { run(); });
    std::lock_guard lock(mutex_);
    due_[app] = std::chrono::steady_clock::now() + scaled;
    changed_.notify_all();
  }

  static inline std::atomic<double> timeScale{1.0};

 private:
  RefreshScheduler() = default;

  void run() {
    std::unique_lock lock(mutex_);
    while (!thread_.stopRequested()) {
      if (due_.empty()) {
        changed_.wait(lock);
        continue;
      }
      auto next = std::min_element(due_.begin(), due_.end(), [](const auto& a, const auto& b) {
        return a.second < b.second;
      });
      if (next->second > std::chrono::steady_clock::now()) {
        // A copy: schedule() may replace the time while this waits.
        const auto due = next->second;
        changed_.wait_until(lock, due);
        continue;
      }
      std::shared_ptr<App> app = next->first;
      due_.erase(next);
      lock.unlock();
      bool idle;
      {
        std::lock_guard appLock(app->mutex);
        idle = app->fetchesPending == 0;
      }
      // A fetch under way plans the next refresh when it ends.
      if (idle) queueFetch(app, [app] { runFetch(app, nullptr, true); });
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_.
  std::map<std::shared_ptr<App>, std::chrono::steady_clock::time_point> due_;
  // Stopped with the library's other threads at exit. After mutex_ and changed_, which
  // its wake-up uses.
  OrvStoppableThread thread_{[this] {
    std::lock_guard lock(mutex_);
    changed_.notify_all();
  }};
};

constexpr auto kMaxRefreshBackoff = std::chrono::minutes(15);

void scheduleRefresh(const std::shared_ptr<App>& app, const OrvRCFetchOutcome& outcome) {
  std::chrono::milliseconds delay;
  {
    std::lock_guard lock(app->mutex);
    if (app->refreshIntervalMs <= 0 || app->fetchesPending > 0) return;
    const std::chrono::milliseconds interval(app->refreshIntervalMs);
    thread_local std::mt19937 random(std::random_device{}());
    std::uniform_real_distribution<double> jitter(0.9, 1.1);
    if (outcome.success) {
      app->refreshFailures = 0;
      delay = std::chrono::milliseconds(static_cast<long long>(interval.count() * jitter(random)));
      delay = std::max(delay, outcome.maxAge);
    } else {
      const int doublings = std::min(++app->refreshFailures, 16);
      delay = std::min<std::chrono::milliseconds>(
          kMaxRefreshBackoff, std::chrono::milliseconds(static_cast<long long>(std::min(
                                  interval.count() * jitter(random) * (1 << doublings), 1e12))));
      // Never before the server allows, within the ceiling every client of ours keeps.
      delay = OrvHttpClient::retryDelay(delay, outcome.retryAfter);
    }
  }
  RefreshScheduler::instance().schedule(app, delay);
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

void orvRCSetRefreshTimeScaleForTesting(double scale) {
  RefreshScheduler::timeScale.store(scale, std::memory_order_relaxed);
}

OrvLogChannel& orvRCLog() {
  static OrvLogChannel channel{"[OrvRemoteConfig]"};
  return channel;
}

void OrvRemoteConfig::startWithSettings(const std::shared_ptr<OrvRemoteConfigSettings>& settings) {
  if (!settings) return;
  auto app = findOrCreate(settings->appId(), settings->templateCode());
  // Checked (and logged) before any lock is taken.
  OrvValue fetchParams = settings->fetchParams();
  if (!fetchParams.isAbsent() && !acceptableValue(fetchParams, "fetch parameters"))
    fetchParams = OrvValue();
  OrvValue bucketId = settings->customBucketId();
  if (!bucketId.isAbsent() && !acceptableValue(bucketId, "bucket identifier"))
    bucketId = OrvValue();
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
    app->headers.clear();
    for (const auto& [name, value] : settings->requestHeaders())
      app->headers.push_back(name + ": " + value);
    app->refreshIntervalMs = settings->refreshIntervalMs();
    app->refreshListener = settings->refreshListener()
                               ? std::make_shared<const OrvRemoteConfigSettings::RefreshListener>(
                                     settings->refreshListener())
                               : nullptr;
    if (!fetchParams.isAbsent()) app->fetchParams = std::move(fetchParams);
    if (!bucketId.isAbsent()) app->bucketId = std::move(bucketId);
  }
  {
    std::lock_guard lock(registry().mutex);
    registry().lastStartedAppId = settings->appId();
  }
  queueFetch(app, [app, task = settings->fetchTask()] {
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
  queueFetch(app, [app, task] { runFetch(app, task); });
  return task;
}

void OrvRemoteConfig::setCustomFetchParams(const OrvValue& params, const std::string& appId,
                                           const std::string& templateCode) {
  if (!acceptableValue(params, "fetch parameters")) return;
  setRequestValue(params, appId, templateCode, &App::fetchParams, &Held::fetchParams);
}

void OrvRemoteConfig::setCustomBucketId(const OrvValue& bucketId, const std::string& appId,
                                        const std::string& templateCode) {
  if (!acceptableValue(bucketId, "bucket identifier")) return;
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
    return std::make_shared<OrvRCValue>(app->payload, app->payloadFromCache);
  };
}
