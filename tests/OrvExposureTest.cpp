// Exposure tracking: which reads send events, how often and what is logged, also under
// read floods (which must not queue work without bound) and around reloads; and the
// per-application store that remembers exposures across processes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "LibraryFixture.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvRemoteConfig.h"
#include "platform/storage/OrvUserDefaults.h"

using namespace orvtest;
using Strings = std::vector<std::string>;

namespace {

const char* kFlood = R"({"color":"red","plain":1,
  "experiment_detail":[{"#experiment_id":"X","#experiment_group_id":"1","#feature_list":["color"]}]})";
const std::string kAlready = " : Already exposed, skip this exposure incident.";
const std::string kNoExperiment = " : No relevant experiment detected, skip exposure event.";

class ExposureTest : public LibraryTest {
 protected:
  // Runs the store helper in a process of its own and returns what it printed.
  std::string helper(const std::string& args) {
    std::string out;
    EXPECT_EQ(
        runCommand(helperPath("orv_test_helper") + " store '" + data_ + "' " + args, 60, &out), 0);
    return out;
  }
  std::shared_ptr<OrvUserDefaults> domain(const std::string& app) {
    return OrvUserDefaults::initWithSuiteName(OrvExperimentStorage::kDomainPrefix + app);
  }
  const std::string data_ = dir_.path() + "/data";
  const std::string file_ = data_ + "/orv_defaults.sqlite3";
};
// The exposure store on its own, in this process and in helper processes.
using StorageTest = ExposureTest;

}  // namespace

TEST_F(ExposureTest, WorkedExampleEndToEnd) {
  EventCapture events;
  LogCapture log;
  startWithPayload(appId(), kWorkedExamplePayload);
  for (const char* key : {"color", "limit", "color", "banner", "gone"})
    OrvExperiment::exposure(key);
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("eab42a8b1be8e342da1d4cdead8b1da0", false));
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("a0d2f4cb424c9363f8df96bad6765bf8", false));
  EXPECT_EQ(
      events.properties(),
      (Strings{R"({"#experiment_group_id":"2","#experiment_id":"101","#is_control_group":false})",
               R"({"#experiment_group_id":"1","#experiment_id":"205","#is_control_group":true})"}));
  // Each event names the application the exposure was recorded for.
  for (const auto& e : events.events())
    EXPECT_EQ(e.name + "/" + e.appId, "zu_experiment_exposure/" + appId());
  EXPECT_EQ(
      log.lines(),
      (Strings{"[OrvExperiment] OrvExperiment SDK initialize Success with appId = " + appId() +
                   ", version = 1.0.2",
               "[OrvExperiment] color" + kAlready, "[OrvExperiment] banner" + kNoExperiment}));
}

TEST_F(ExposureTest, EventsCarryOnlyTheIdentifiersPresentAndTrackingOffLeavesExplicitCalls) {
  EventCapture events;
  auto config = startWithPayload(appId(), R"({"a":1,"b":2,"c":3,"d":4,"experiment_detail":[
      {"#feature_list":["a","b"]},
      {"#experiment_id":101,"bucket_id":{"k":"v"},"#feature_list":["c"]},
      {"#experiment_id":"x","#experiment_group_id":"g","bucket_id":"b","#is_control_group":"yes",
       "#feature_list":["d"]}]})",
                                 /*automaticTracking=*/false);
  for (const char* key : {"a", "b", "c", "d"}) OrvExperiment::getValueAsString(key);
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), 0u);
  for (const char* key : {"a", "b", "c"}) OrvExperiment::exposure(key);
  config->setAutomaticExposureTracking(true);  // the shared record: the next read sees it
  OrvExperiment::getValueAsString("d");
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(
      events.properties(),  // "a" and "b" share one record; no event carries the bucket
      (Strings{R"({"#is_control_group":false})",
               R"({"#experiment_id":101,"#is_control_group":false})",
               R"({"#experiment_group_id":"g","#experiment_id":"x","#is_control_group":true})"}));
}

TEST_F(ExposureTest, TypedReadsConvertOrGiveTheDefaultAndEachCountsAsALookup) {
  LogCapture log;
  startWithPayload(appId(), R"({"s":"hello","n":20,"f":2.5,"t":true,"zero":0,"d":{"k":[1]},
      "a":[1],"nul":null,"dec":"3.50","neg":"-1e2","truth":"true","u":18446744073709551615,
      "abc":"abc","experiment_detail":[{"#experiment_id":"e","#feature_list":["abc"]}]})");
  // "key|as string|as number|as boolean with the default false, then true|a dictionary?",
  // where D is the default.
  const OrvValue number(-1), dictionary = json(R"({"x":1})");
  for (const std::string row :
       {"s|hello|D|01|0", "n|20|20|11|0", "f|2.5|2.5|11|0", "t|true|true|11|0", "zero|0|0|00|0",
        R"(d|{"k":[1]}|D|01|1)", "a|[1]|D|01|0", "nul|null|D|01|0", "dec|3.50|3.5|01|0",
        "neg|-1e2|-100|01|0", "truth|true|D|01|0", "abc|abc|D|01|0",
        "u|18446744073709551615|18446744073709551615|11|0", "missing|D|D|01|0"}) {
    const std::string key = row.substr(0, row.find('|'));
    const OrvValue n = OrvExperiment::getValueAsNumber(key, number);
    const std::string read =
        key + "|" + OrvExperiment::getValueAsString(key, "D") + "|" +
        (n.isSameObject(number) ? "D" : n.description()) + "|" +
        (OrvExperiment::getValueAsBoolean(key, false) ? "1" : "0") +
        (OrvExperiment::getValueAsBoolean(key, true) ? "1" : "0") + "|" +
        (OrvExperiment::getValueAsJson(key, dictionary).isSameObject(dictionary) ? "0" : "1");
    EXPECT_EQ(read, row);
  }
  ASSERT_TRUE(drainWorkQueue());
  // Five tracked lookups per key, converted or not; a missing key logs nothing.
  EXPECT_EQ(log.countContaining("] s" + kNoExperiment), 5);
  EXPECT_EQ(log.countContaining("] abc" + kAlready), 4);
  EXPECT_EQ(log.countContaining("missing"), 0);
}

TEST_F(ExposureTest, AReadFloodSendsOneEventAnswersEveryReadAndStaysBounded) {
  EventCapture events;
  startWithPayload(appId(), kFlood);
  ASSERT_TRUE(drainWorkQueue());
  // Bounded: the requests fold into one job while the queue is held (how much memory
  // a flood takes is measured by a benchmark, not here).
  const std::size_t queuedBefore =
      OrvExperimentQueue::sharedInstance().serialQueue().pendingCount();
  {
    QueueGate busy;  // the work queue is held up (a slow sink): nothing drains meanwhile
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
      readers.emplace_back([] {
        for (int i = 0; i < 200000; ++i) {
          ASSERT_EQ(OrvExperiment::getValueAsString("color"), "red");
          ASSERT_EQ(OrvExperiment::getValueAsNumber("plain").int64Value(), 1);
        }
      });
    }
    for (auto& r : readers) r.join();
    EXPECT_LE(OrvExperimentQueue::sharedInstance().serialQueue().pendingCount(), queuedBefore + 1);
  }
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), 1u);
}

// The database decides whether a record is new: processes sharing a data directory
// never both send an exposure, also when one of them has been running all along.
TEST_F(ExposureTest, ProcessesSharingADataDirectorySendEachExposureOnce) {
  const std::string app = appId();
  const std::string payload = dir_.file(app + ".json");
  writeFile(payload, kWorkedExamplePayload);
  auto get = [&](const std::string& data, const std::string& eventsFile) {
    return std::vector<std::string>{"/bin/sh", "-c",
                                    "exec " + helperPath("../tools/orvexp/orvexp") + " get --app " +
                                        app + " --server file://" + payload + " --data-dir " +
                                        data + " --events " + eventsFile + " color"};
  };
  for (int trial = 0; trial < 50; ++trial) {
    const std::string data = dir_.path() + "/trial" + std::to_string(trial);
    const std::string eventsFile = data + ".jsonl";
    {
      ChildProcess a(get(data, eventsFile));
      ChildProcess b(get(data, eventsFile));
      ASSERT_EQ(a.waitExit(kWait), 0);
      ASSERT_EQ(b.waitExit(kWait), 0);
    }
    const std::string lines = readFile(eventsFile);
    ASSERT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << "trial " << trial << lines;
  }
  // This process started before another one recorded "color": it sends nothing for it.
  EventCapture events;
  OrvPlatform::setDataDirectory(dir_.path() + "/shared");
  startWithPayload(app, kWorkedExamplePayload);
  ChildProcess other(get(dir_.path() + "/shared", dir_.file("other.jsonl")));
  ASSERT_EQ(other.waitExit(kWait), 0);
  OrvExperiment::getValueAsString("color");
  ASSERT_TRUE(OrvExperiment::flush(kWait));
  EXPECT_EQ(events.size(), 0u);
  OrvExperiment::getValueAsString("limit");  // not recorded anywhere yet
  ASSERT_TRUE(OrvExperiment::flush(kWait));
  EXPECT_EQ(events.size(), 1u);
}

// While logging is off, reads skip or fold exposure work whose outcome is already
// known; what is sent, stored and logged must stay as if every request had run.
TEST_F(ExposureTest, ReadShortcutsChangeNothingThatIsSentStoredOrLogged) {
  EventCapture events;
  startWithPayload(appId(), kFlood);
  LogCapture log;
  OrvExperiment::enableLog(false);
  {
    QueueGate gate;
    for (int i = 0; i < 5; ++i) OrvExperiment::getValueAsString("color");  // experiment X
    OrvExperiment::getValueAsString("plain");
    // The payload moves "color" to experiment Y; the reload waits behind the requests.
    replacePayload(appId(), R"({"color":"red","plain":1,"experiment_detail":[
        {"#experiment_id":"Y","#experiment_group_id":"1","#feature_list":["color"]}]})");
    ASSERT_TRUE(listenTo(OrvRemoteConfig::fetchWithAppId(appId(), "ki_feature"))->done.waitFor(1));
    OrvExperimentQueue::sharedInstance().execute(
        [] { OrvFeatureManager::sharedInstance().parseExperimentConfig(); });
    OrvExperiment::getValueAsString("color");  // behind the reload: never folded into X
    OrvExperiment::enableLog(true);            // before any of them has run
  }
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(
      events.properties(),
      (Strings{R"({"#experiment_group_id":"1","#experiment_id":"X","#is_control_group":false})",
               R"({"#experiment_group_id":"1","#experiment_id":"Y","#is_control_group":false})"}));
  EXPECT_EQ(log.countContaining("color" + kAlready), 4);
  // With logging on, a read that finds the queue idle still writes its line.
  for (int i = 0; i < 20; ++i) OrvExperiment::getValueAsString("plain");
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(log.countContaining("plain" + kNoExperiment), 1 + 20);
  // A record removed from the store is sent again, also by a read on an idle queue.
  OrvExperiment::enableLog(false);
  OrvExperimentQueue::sharedInstance().execute([] {
    OrvExperimentStorage::removeKey(OrvFeatureManager::sharedInstance()
                                        .getFeature("color", false)
                                        ->experimentInfo()
                                        ->recordKey());
  });
  ASSERT_TRUE(drainWorkQueue());
  OrvExperiment::getValueAsString("color");
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), 3u);
}

TEST_F(StorageTest, EachApplicationHasItsOwnDomain) {
  OrvExperimentStorage::initWithAppId("abc");
  OrvExperimentStorage::putBool(false, "no");
  OrvExperimentStorage::putBool(true, "yes");
  EXPECT_FALSE(OrvExperimentStorage::getBoolForKey("no", true));  // a stored NO stays NO
  OrvExperimentStorage::removeKey("yes");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("yes", true));
  EXPECT_EQ(domain("abc")->dictionaryRepresentation().size(), 1u);
  EXPECT_TRUE(domain("abc")->isPersistent());
  OrvExperimentStorage::initWithAppId("other");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("no", true));
  OrvExperimentStorage::putBool(true, "theirs");
  OrvExperimentStorage::clear();  // the open domain only
  EXPECT_TRUE(domain("other")->dictionaryRepresentation().empty());
  EXPECT_EQ(domain("abc")->dictionaryRepresentation().size(), 1u);
}

TEST_F(StorageTest, RecordsSurviveARestartAndProcessesWritingAtOnceLoseNothing) {
  helper("put app1 a b");
  helper("put app2 c");
  EXPECT_EQ(helper("get app1 a b c"), "a=1\nb=1\nc=-\n");
  std::string a = "put shared", b = "put shared", get = "get shared", expected;
  for (int i = 0; i < 60; ++i) {
    const std::string n = std::to_string(i);
    a += " a" + n;
    b += " b" + n;
    get += " a" + n + " b" + n;
    expected += "a" + n + "=1\nb" + n + "=1\n";
  }
  std::thread first([&] { helper(a); });
  helper(b);
  first.join();
  EXPECT_EQ(helper(get), expected);
}

TEST_F(StorageTest, HostileApplicationIdsStayRowsNotPathsAndFilesAreOwnerOnly) {
  std::vector<std::string> ids = {
      "/", "..",       "../../etc/passwd",    "a/b", "orv_defaults.sqlite3",
      "",  "%@ %s %n", std::string(5000, 'x')};
  ids.push_back(std::string("ctl\x01\n\t", 6));
  for (const std::string& id : ids) {
    OrvExperimentStorage::initWithAppId(id);
    OrvExperimentStorage::putBool(true, "k" + std::to_string(id.size()));
  }
  for (const std::string& id : ids)
    EXPECT_TRUE(domain(id)->boolForKey("k" + std::to_string(id.size())));
  for (const auto& entry : std::filesystem::directory_iterator(data_))
    EXPECT_EQ(entry.path().filename().string().rfind("orv_defaults.sqlite3", 0), 0u);
  struct stat st {};
  ASSERT_EQ(::stat(data_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST_F(StorageTest, AnUnusableDatabaseOrDirectoryIsReportedOnceAndTheStoreWorksInMemory) {
  // Directories of their own: the fixture's database is open already.
  const std::string garbage = dir_.file("garbage");
  std::filesystem::create_directories(garbage);
  writeFile(garbage + "/orv_defaults.sqlite3", std::string(4096, 'G'));
  writeFile(dir_.file("plain-file"), "x");
  const std::pair<std::string, std::string> cases[] = {
      {garbage, "[ERROR] OrvUserDefaults"},  // a file that is not a database: kept as it is
      {dir_.file("plain-file") + "/sub", "cannot create"}};
  for (const auto& [directory, error] : cases) {
    OrvPlatform::setDataDirectory(directory);
    LogCapture log;
    OrvExperimentStorage::initWithAppId("app");
    OrvExperimentStorage::putBool(true, "k");
    OrvExperimentStorage::initWithAppId("app");  // reopening still sees this process's records
    EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("k", false));
    EXPECT_FALSE(domain("app")->isPersistent());
    EXPECT_EQ(log.countContaining(error), 1);
  }
  EXPECT_EQ(readFile(garbage + "/orv_defaults.sqlite3"), std::string(4096, 'G'));
}

// A data directory as release 1.0.2 left it (tests/fixtures, made by that release): its
// records still count, what waited is delivered once, and the schema is brought up to
// date. A file of a newer version is left alone.
TEST_F(StorageTest, ADatabaseOfRelease102IsMigratedAndOneOfANewerVersionLeftAlone) {
  const std::string fixture =
      readFile(std::string(ORV_TEST_SOURCE_DIR) + "/tests/fixtures/orv_defaults-1.0.2.sqlite3");
  const std::string tool = "python3 " + std::string(ORV_TEST_SOURCE_DIR) + "/tests/sqlite_tool.py ";
  const std::string old = dir_.file("old"), newer = dir_.file("newer");
  for (const std::string& d : {old, newer}) {
    ASSERT_EQ(::mkdir(d.c_str(), 0700), 0);
    writeFile(d + "/orv_defaults.sqlite3", fixture);
  }
  std::string out;
  runCommand(tool + "version " + newer + "/orv_defaults.sqlite3 99", 60, &out);
  ASSERT_EQ(out, "99\n");
  const std::string newerBytes = readFile(newer + "/orv_defaults.sqlite3");

  OrvPlatform::setDataDirectory(old);
  EventCapture events;  // the three events 1.0.2 kept for a sink, by a process long gone
  EXPECT_TRUE(domain("fixture-app")->boolForKey("eab42a8b1be8e342da1d4cdead8b1da0"));
  EXPECT_TRUE(domain("other-app")->boolForKey("k2"));
  EXPECT_TRUE(domain("other-app")->isPersistent());
  std::vector<std::string> names;
  for (const auto& e : events.events()) names.push_back(e.name + "/" + e.appId);
  EXPECT_EQ(names, (Strings{"e0/other-app", "e1/other-app", "e2/other-app"}));
  out.clear();
  runCommand(tool + "version " + old + "/orv_defaults.sqlite3", 60, &out);
  EXPECT_EQ(out, "2\n");
  // The exporter's queue of 1.0.2 is kept for an exporter to the same endpoint.
  EXPECT_EQ(OrvMediator::sharedInstance()->pendingEventCount(), 2u);

  LogCapture log;
  OrvPlatform::setDataDirectory(newer);
  auto store = domain("fixture-app");
  store->setBool(true, "kept-in-memory");
  EXPECT_TRUE(store->boolForKey("kept-in-memory"));
  EXPECT_FALSE(store->isPersistent());
  EXPECT_EQ(log.countContaining("was written by a newer version of the library (schema 99"), 1);
  EXPECT_EQ(readFile(newer + "/orv_defaults.sqlite3"), newerBytes);
}

TEST_F(StorageTest, ATruncatedDatabaseNeverCrashes) {
  std::string keys = "put app";
  for (int i = 0; i < 300; ++i) keys += " key_number_" + std::to_string(i);
  helper(keys);  // a clean exit checkpoints the WAL
  std::filesystem::resize_file(file_, std::filesystem::file_size(file_) / 2);
  std::filesystem::remove(file_ + "-wal");
  OrvExperimentStorage::initWithAppId("app");
  OrvExperimentStorage::putBool(true, "after");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("after", false));
}
