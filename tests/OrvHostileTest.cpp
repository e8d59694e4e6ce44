// The library against hostile directories, files, servers and values: each case is an
// attack that once worked.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <filesystem>
#include <thread>
#include <tuple>

#include "../external/remote_config/OrvRCCache.h"
#include "LibraryFixture.h"
#include "ScriptedServer.h"
#include "platform/execution/OrvSerialExecutor.h"
#include "platform/files/OrvDataDirectory.h"
#include "platform/storage/OrvDefaultsDatabase.h"
#include "platform/storage/OrvUserDefaults.h"
#include "platform/values/OrvMD5.h"

using namespace orvtest;
namespace fs = std::filesystem;

namespace {

constexpr const char* kTwoExperiments = R"({"k0":"a","k1":"b","experiment_detail":[
  {"#experiment_id":"e0","#experiment_group_id":"g","bucket_id":1,"#feature_list":["k0"]},
  {"#experiment_id":"e1","#experiment_group_id":"g","bucket_id":1,"#feature_list":["k1"]}]})";
const std::string kSqliteTool = std::string(ORV_TEST_SOURCE_DIR) + "/tests/sqlite_tool.py";

// The exposure records in the database of `dir`, as another process counts them.
std::string recordRows(const std::string& dir) {
  std::string out;
  runCommand("python3 " + kSqliteTool + " count " + dir + "/orv_defaults.sqlite3 2>&1", 60, &out);
  return out;
}

// Starts `app` against `url`; the start-up outcome, once the work it queued has run.
std::shared_ptr<TaskOutcome> startOn(const std::string& app, const std::string& url) {
  auto config = OrvExperimentConfig::create(app, url);
  config->setStartupTask(OrvExperimentTask::create());
  auto outcome = listenTo(config->startupTask());
  OrvExperiment::startWithConfig(config);
  EXPECT_TRUE(outcome->done.waitFor(1) && drainWorkQueue());
  return outcome;
}

class HostileTest : public LibraryTest {};

}  // namespace

TEST_F(HostileTest, ADataDirectoryOthersCouldWriteIsRefusedForTheProcess) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a directory to another user needs root";
  const std::pair<const char*, const char*> spoilers[] = {
      {"another-users", "chown 65534 $0"},
      {"world-writable", "chmod 0777 $0"},
      {"group-writable", "chmod 0770 $0"},
      {"a-link", "mv $0 $0.real && ln -s $0.real $0"},
  };
  for (const auto& [name, spoil] : spoilers) {
    // Another user planted a cache there for the victim's application.
    const std::string data = dir_.file(name);
    const std::string app = appId(name);
    ASSERT_TRUE(
        OrvRCCache::store(data, app, "ki_feature", {json(R"({"color":"planted"})"), ""}, nullptr));
    ASSERT_EQ(runCommand("sh -c '" + std::string(spoil) + "' " + data), 0);
    LogCapture log;
    OrvPlatform::setDataDirectory(data);
    startOn(app, "file://" + dir_.file("missing.json"));
    EXPECT_EQ(OrvExperiment::getValueAsString("color"), "") << name;
    EXPECT_FALSE(fs::exists(data + "/orv_defaults.sqlite3")) << name;
    EXPECT_EQ(log.countContaining("[ERROR]"), 1) << name;
  }
  // Without HOME and XDG_DATA_HOME the user's runtime directory comes before /tmp, when
  // it is the user's own: not one another user owns and everybody may write.
  const std::string runtime = dir_.file("runtime"), foreign = dir_.file("foreign-runtime");
  fs::create_directories(runtime);
  fs::create_directories(foreign);
  ASSERT_EQ(runCommand("chown 65534 " + foreign + " && chmod 0777 " + foreign), 0);
  for (const std::string& dir : {runtime, foreign}) {
    runCommand("env -u HOME -u XDG_DATA_HOME XDG_RUNTIME_DIR=" + dir + " " + ORV_TEST_BINARY_DIR +
               "/tools/orvexp/orvexp get --app a --server file:///none k");
  }
  EXPECT_TRUE(fs::is_directory(runtime + "/orvexp"));  // get's own data directory
  EXPECT_FALSE(fs::exists(foreign + "/orvexp"));
  // Nor is a data directory used below a directory others may write to.
  const std::string below = foreign + "/mine";
  ASSERT_EQ(::mkdir(below.c_str(), 0700), 0);
  std::string why;
  EXPECT_FALSE(OrvDataDirectory::ensureExists(below + "/data", &why));
  EXPECT_NE(why.find("foreign-runtime is writable by others"), std::string::npos) << why;
}

TEST_F(HostileTest, LinksPlantedInTheDataDirectoryAreNeverFollowed) {
  const std::string outside = dir_.file("outside");
  fs::create_directories(outside);
  for (const std::string suffix : {"", "-wal", "-shm"}) {
    const std::string data = dir_.file("links" + suffix);
    fs::create_directories(data);
    fs::create_symlink(outside + "/db" + suffix, data + "/orv_defaults.sqlite3" + suffix);
    OrvPlatform::setDataDirectory(data);
    auto store = OrvUserDefaults::initWithSuiteName("suite");
    store->setBool(true, "k");
    EXPECT_TRUE(store->boolForKey("k") && !store->isPersistent()) << suffix;  // in memory
  }
  EXPECT_TRUE(fs::is_empty(outside));

  // A cache directory that is a link is not read.
  const std::string data = dir_.file("cache-link");
  ASSERT_TRUE(OrvRCCache::store(outside, "app", "ki_feature", {json(R"({"x":1})"), ""}, nullptr));
  fs::create_directories(data);
  fs::create_directory_symlink(outside + "/remote_config", data + "/remote_config");
  EXPECT_TRUE(OrvRCCache::load(data, "app", "ki_feature", nullptr).payload.isAbsent());

  // A database others may read is made owner-only when it is opened again.
  OrvPlatform::setDataDirectory(data);
  OrvUserDefaults::initWithSuiteName("suite")->setBool(true, "k");
  fs::permissions(data + "/orv_defaults.sqlite3", fs::perms::group_read | fs::perms::others_read,
                  fs::perm_options::add);
  EXPECT_TRUE(OrvUserDefaults::initWithSuiteName("suite")->boolForKey("k"));
  EXPECT_EQ(fs::status(data + "/orv_defaults.sqlite3").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(HostileTest, ACachedEtagIsCheckedAndA304WithoutACacheFails) {
  ScriptedServer server;
  std::atomic<int> echoed{0};  // requests carrying the planted header or the bad ETag
  server.answer([&](const httplib::Request& req, httplib::Response& res) {
    echoed += req.has_header("X-Injected") || req.has_header("If-None-Match");
    res.status = 304;
  });
  const std::string app = appId();
  ASSERT_TRUE(OrvRCCache::store(dir_.path() + "/data", app, "ki_feature",
                                {json(R"({"color":"cached"})"), "\"v1\"\r\nX-Injected: yes"},
                                nullptr));
  EXPECT_EQ(startOn(app, server.url())->successes, 1);
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "cached");
  EXPECT_EQ(echoed, 0);
  // Without a cache, "not modified" claims a version this client does not have.
  EXPECT_EQ(startOn(appId("-fresh"), server.url())->code,
            OrvRemoteConfig::kErrorNotModifiedWithoutCache);
}

TEST_F(HostileTest, NumbersOutOfRangeKeepThePayloadAndDeepValuesAreRefusedAtTheCall) {
  // A number beyond the range of a double saturates instead of failing the payload.
  auto config =
      startWithPayload(appId(), R"({"big":1e400,"small":-1e999,"tiny":1e-400,"color":"red"})");
  EXPECT_EQ(OrvExperiment::getValueAsNumber("big").doubleValue(), DBL_MAX);
  EXPECT_EQ(OrvExperiment::getValueAsNumber("small").doubleValue(), -DBL_MAX);
  EXPECT_EQ(OrvExperiment::getValueAsNumber("tiny").doubleValue(), 0.0);
  EXPECT_EQ(OrvExperiment::getValueAsString("color"), "red");

  // Values nested past the limit are refused at the call, and never walked.
  OrvValue deep(1);
  for (int i = 0; i < 100000; ++i) deep = OrvValue::array({deep});
  LogCapture log;
  OrvExperiment::enableLog(true);
  OrvExperiment::setCustomFetchParams(deep);
  OrvExperiment::setCustomBucketId(deep);
  config->setCustomFetchParams(deep);
  config->setCustomBucketId(deep);
  OrvMediator::sharedInstance()->orvAnalyticsTrackEvent("deep", deep, appId());
  OrvExperiment::enableLog(false);
  EXPECT_EQ(log.countContaining("nested deeper than 256 levels"), 5);
  EXPECT_EQ(deep.toJson(), "null");
  EXPECT_FALSE(deep == OrvValue::array(deep.elements()));  // identity only, no walk
  auto fetched = listenTo(OrvExperiment::fetch());
  ASSERT_TRUE(fetched->done.waitFor(1));
  EXPECT_EQ(fetched->successes, 1) << fetched->message;
}

TEST_F(HostileTest, AConsoleSinkForwardingErrorsToTheMediatorNeverDeadlocks) {
  // The database cannot be opened, so opening it logs; the sink tracks that line.
  const std::string data = dir_.file("garbage");
  fs::create_directories(data);
  writeFile(data + "/orv_defaults.sqlite3", std::string(4096, 'G'));
  EXPECT_EQ(runCommand(helperPath("orv_test_helper") + " store '" + data + "' forward app", 30), 0);
}

TEST_F(HostileTest, StaleTemporaryCacheFilesAreRemovedAtStartUp) {
  const std::string cache = dir_.path() + "/data/remote_config/";
  fs::create_directories(cache);
  // A young one may be another process's write under way; other names are not ours.
  const std::tuple<std::string, int, bool> files[] = {
      {std::string(32, 'a') + ".json.Ab12Cd", 1, false},
      {std::string(32, 'b') + ".json.Ef34Gh", 0, true},
      {"notes.txt", 1, true}};
  for (const auto& [name, hoursOld, kept] : files) {
    writeFile(cache + name, "{\"app_id\":");
    fs::last_write_time(cache + name,
                        fs::file_time_type::clock::now() - std::chrono::hours(hoursOld));
  }
  startWithPayload(appId(), R"({"color":"red"})");
  for (const auto& [name, hoursOld, kept] : files)
    EXPECT_EQ(fs::exists(cache + name), kept) << name;
}

TEST_F(HostileTest, ADataDirectoryDeletedWhileRunningIsRecreatedWithEveryRecord) {
  EventCapture events;
  LogCapture log;
  startWithPayload(appId(), kTwoExperiments);
  OrvExperiment::getValueAsString("k0");
  ASSERT_TRUE(drainWorkQueue());
  fs::remove_all(dir_.path() + "/data");
  OrvExperiment::getValueAsString("k1");
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), 2u);
  EXPECT_EQ(log.countContaining("[ERROR]"), 1);
  EXPECT_EQ(recordRows(dir_.path() + "/data"), "2\n");
}

// Another process holds the database while records of a process that ran before live
// only in its write-ahead log. An exposure that cannot be checked against them waits:
// a process that ends meanwhile sends nothing (reading the main file alone, it once sent
// "k0" again), and this one, still running, decides once the lock is gone: "k0" was
// recorded, "k1" was not.
TEST_F(HostileTest, AnExposureThatCannotBeCheckedWaitsAndIsNeverSentTwice) {
  const std::string data = dir_.file("locked"), app = appId();
  replacePayload(app, kTwoExperiments);
  const auto get = [&](const std::string& events) {
    return runCommand(std::string(ORV_TEST_BINARY_DIR) + "/tools/orvexp/orvexp get --app " + app +
                      " --server file://" + dir_.file(app + ".json") + " --data-dir " + data +
                      " --timeout 2 --events " + events + " k0 >/dev/null 2>&1");
  };
  // "k0" recorded by a process whose record stays in the write-ahead log.
  ASSERT_EQ(runCommand(helperPath("orv_test_helper") + " store '" + data + "' put " + app + " " +
                       OrvMD5::hex("1_e0_g")),
            0);
  ASSERT_NE(readFile(data + "/orv_defaults.sqlite3-wal").size(), 0u);
  ChildProcess locker({"/usr/bin/python3", kSqliteTool, "lock", data + "/orv_defaults.sqlite3"});
  std::string line;
  ASSERT_TRUE(locker.readLine(&line) && line == "locked");
  EXPECT_EQ(get(dir_.file("second.jsonl")), 5);  // pending at exit: left for a later read
  EXPECT_EQ(readFile(dir_.file("second.jsonl")), "");
  Signal delivered;
  OrvPlatform::setDataDirectory(data);
  const auto sink = OrvMediator::sharedInstance()->addEventSink([&](const OrvMediatorEvent& e) {
    EXPECT_EQ(e.properties["#experiment_id"].stringValue(), "e1");
    delivered.notify();
  });
  startWithPayload(app, kTwoExperiments);  // while the lock is held
  OrvExperiment::getValueAsString("k0");
  OrvExperiment::getValueAsString("k1");
  EXPECT_FALSE(OrvExperiment::flush(std::chrono::milliseconds(300)));  // both wait
  EXPECT_EQ(delivered.count(), 0);
  locker.killNow();
  // Nothing else is called: the background retry decides both and delivers "k1".
  EXPECT_TRUE(delivered.waitFor(1));
  EXPECT_TRUE(OrvExperiment::flush(kWait));
  EXPECT_EQ(delivered.count(), 1);
  EXPECT_EQ(recordRows(data), "2\n");
  OrvMediator::sharedInstance()->removeEventSink(sink);
}

// Two data directories whose databases other processes hold: the record asked of each
// waits. Each database is retried in the background on its own: once "b" is free its
// record is decided while "a" is still held (and retried in vain), then "a"'s once it
// is free too; and neither waits for a job due in an hour on the same executor (a
// delayed job waits in the executor's timed list, not in its worker).
TEST_F(HostileTest, HeldDatabasesAreRetriedEachOnItsOwn) {
  using Clock = std::chrono::steady_clock;
  auto lateJobRan = std::make_shared<std::atomic<bool>>(false);
  OrvSerialExecutor::background().submitAt(Clock::now() + std::chrono::hours(1),
                                           [lateJobRan] { *lateJobRan = true; });
  struct Held {
    std::string dir;
    std::unique_ptr<ChildProcess> locker;
    std::shared_ptr<OrvDefaultsDatabase> db;
  };
  std::vector<Held> held;
  for (const std::string name : {"a", "b"}) {
    Held h{dir_.file(name), nullptr, nullptr};
    fs::create_directories(h.dir);
    h.locker.reset(new ChildProcess(
        {"/usr/bin/python3", kSqliteTool, "lock", h.dir + "/" + OrvDefaultsDatabase::kFileName}));
    std::string line;
    ASSERT_TRUE(h.locker->readLine(&line) && line == "locked") << name;
    h.db = OrvDefaultsDatabase::forDirectory(h.dir);
    OrvOutboxEvent event;
    event.name = "exposure " + name;
    EXPECT_EQ(h.db->recordOnce("suite", {{"key", event}}),
              std::vector<OrvRecordOutcome>{OrvRecordOutcome::kWaiting})
        << name;
    held.push_back(std::move(h));
  }
  held[1].locker->killNow();
  EXPECT_TRUE(held[1].db->waitUntilChecked(Clock::now() + kWait));
  EXPECT_EQ(recordRows(held[1].dir), "1\n");
  EXPECT_FALSE(held[0].db->waitUntilChecked(Clock::now()));  // held still: it waits
  held[0].locker->killNow();
  EXPECT_TRUE(held[0].db->waitUntilChecked(Clock::now() + kWait));
  EXPECT_EQ(recordRows(held[0].dir), "1\n");
  EXPECT_FALSE(*lateJobRan);
}
