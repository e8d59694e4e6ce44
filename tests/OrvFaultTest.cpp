// Faults: processes killed at random moments, data directories pulled away, read-only
// or full, and readers racing reloads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "LibraryFixture.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvFeatureParser.h"
#include "ScriptedServer.h"
#include "collector/OrvEventCollector.h"
#include "platform/storage/OrvEventOutbox.h"
#include "platform/storage/OrvOutageKeeper.h"
#include "platform/storage/OrvUserDefaults.h"

using namespace orvtest;

namespace {

// Features "k0".."k<count-1>" with values "<prefix>0"..., each in an experiment of its own.
std::string manyExperiments(int count, const std::string& prefix = "v") {
  std::string out = "{";
  std::string detail = "\"experiment_detail\":[";
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    out += "\"k" + n + "\":\"" + prefix + n + "\",";
    detail += std::string(i ? "," : "") + "{\"#experiment_id\":\"e" + n +
              "\",\"#experiment_group_id\":\"g\",\"bucket_id\":" + std::to_string(i % 7) +
              ",\"#feature_list\":[\"k" + n + "\"]}";
  }
  return out + detail + "]}";
}

class FaultTest : public LibraryTest {};

}  // namespace

// Kills (SIGKILL) at random moments of a process that keeps exposing new experiments,
// restarted over the same data directory; then one clean run that drains. Events go to
// a slow JSON-lines sink, or through the OTLP exporter to a collector that answers
// slowly. Every record ends up exactly once at the consumer, every line has a record,
// and no eventId appears twice. ORV_KILL_ROUNDS sets the kills per consumer (10; more for the long
// local loop).
class KillLoop : public FaultTest {
 protected:
  // `store`: where the collector at `collectorUrl` keeps what it took.
  void run(const std::string& collectorUrl, const std::string& events,
           const OrvEventStore* store = nullptr) {
    const char* rounds = std::getenv("ORV_KILL_ROUNDS");
    const int kills = rounds ? std::atoi(rounds) : 10;
    const std::string payload = dir_.file("crash-payload.json");
    writeFile(payload, manyExperiments(4000));
    const std::string data = dir_.path() + "/crash-data";
    std::vector<std::string> argv{
        helperPath("orv_test_helper"), "crash", data, payload, events, "run"};
    if (!collectorUrl.empty()) argv.push_back(collectorUrl);
    std::mt19937 random(12345);
    int absorbed = 0;
    for (int round = 0; round < kills; ++round) {
      ChildProcess child(argv);
      // Lines of output to let pass; every other round also waits for an event, so
      // that kills land both before and after events are taken.
      const int killAfter = static_cast<int>(random() % 40);
      const bool afterAnEvent = round % 2 == 0;
      std::string line;
      int seen = 0;
      bool ready = false;
      bool event = false;
      while (child.readLine(&line)) {
        ready = ready || line == "ready";
        event = event || line == "event" || line == "done";
        absorbed += line == "absorbed";
        if (ready && (event || !afterAnEvent) && seen++ >= killAfter) break;
      }
      child.killNow();
      ASSERT_TRUE(ready) << "round " << round << ": the store or the cache did not open";
    }
    std::string command;
    argv[5] = "drain";
    for (const auto& a : argv) command += "'" + a + "' ";
    std::string drained;
    ASSERT_EQ(runCommand(command, 120, &drained), 0) << drained;
    std::set<std::string> recorded;
    std::istringstream drainLines(drained);
    for (std::string line; std::getline(drainLines, line);) {
      absorbed += line == "absorbed";
      if (line.rfind("recorded ", 0) == 0) recorded.insert(line.substr(9));
    }
    std::map<std::string, int> lines;
    std::set<std::string> ids;
    std::stringstream eventLines;
    std::string error;
    if (store) {
      ASSERT_TRUE(store->exportJsonLines(eventLines, &error)) << error;
    } else {
      eventLines << readFile(events);
    }
    for (std::string line; std::getline(eventLines, line);) {
      OrvValue event = json(line);
      ++lines[event["properties"]["#experiment_id"].stringValue()];
      EXPECT_TRUE(ids.insert(event["event_id"].stringValue()).second) << line;
    }
    EXPECT_FALSE(recorded.empty()) << command << "\n" << drained.substr(0, 300);
    for (const auto& experiment : recorded) EXPECT_EQ(lines[experiment], 1) << experiment;
    for (const auto& [experiment, count] : lines)
      EXPECT_TRUE(recorded.count(experiment)) << experiment;
    std::printf("kills %d, records %zu, redeliveries absorbed %d\n", kills, recorded.size(),
                absorbed);
    // A redelivery needs a kill between the hand-over and the removal: at most a batch
    // per kill (256 for sinks).
    EXPECT_LE(absorbed, kills * 256);
    kills_ = kills;
  }
  int kills_ = 0;
};

TEST_F(KillLoop, ASlowJsonLinesSinkGetsEveryEventOnce) { run("", dir_.file("events.jsonl")); }

TEST_F(KillLoop, ASlowOtlpCollectorGetsEveryEventOnce) {
  std::string error;
  auto collector = OrvEventCollector::open(dir_.file("collected.sqlite3"), &error);
  ASSERT_TRUE(collector) << error;
  ScriptedServer server("/v1/logs");
  std::mutex mutex;
  std::map<std::string, int> atTheWire;  // every log record of every request, by eventId
  server.answer([&](const httplib::Request& req, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(3));  // a collector under load
    const auto answer = collector->handle(req.body, req.get_header_value("Content-Type"));
    res.status = answer.status;
    res.set_content(answer.body, "application/json");
    std::lock_guard lock(mutex);
    for (const auto& id : otlpEventIds(req.body)) ++atTheWire[id];
  });
  run(server.url(), dir_.file("unused.jsonl"), &collector->store());
  // The store deduplicates; the wire does not. A record sent twice needs a kill between
  // the collector's answer and the removal: at most a batch (20) per kill.
  std::lock_guard lock(mutex);
  int duplicates = 0;
  for (const auto& [id, count] : atTheWire) duplicates += count - 1;
  std::printf("at the wire: %zu records, %d sent more than once\n", atTheWire.size(), duplicates);
  EXPECT_LE(duplicates, kills_ * 20);
}

TEST_F(FaultTest, AReadOnlyDataDirectoryIsReportedAndReadsKeepAnswering) {
  // A directory of its own: the fixture's is in use (and writable) already.
  const std::string data = dir_.path() + "/read-only";
  std::filesystem::create_directories(data);
  // Unwritable even for root, through the immutable attribute.
  const bool root = ::geteuid() == 0;
  if (root ? runCommand("chattr +i '" + data + "' 2>&1") != 0 : ::chmod(data.c_str(), 0500) != 0)
    GTEST_SKIP() << "cannot make a directory read-only here";
  LogCapture log;
  OrvExperiment::enableLog(true);
  OrvPlatform::setDataDirectory(data);
  EventCapture events;
  startWithPayload(appId(), manyExperiments(3));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(OrvExperiment::getValueAsString("k0"), "v0");
  const bool drained = drainWorkQueue();
  OrvExperiment::enableLog(false);
  if (root) runCommand("chattr -i '" + data + "'");
  ASSERT_TRUE(drained);
  EXPECT_EQ(events.size(), 1u);  // deduplicated in memory although nothing persists
  EXPECT_EQ(log.countContaining("[ERROR] OrvUserDefaults"), 1);
  EXPECT_GE(log.countContaining("not cached"), 1);
}

TEST_F(FaultTest, AFullDiskIsReportedAndNothingIsSentTwice) {
  EventCapture events;
  LogCapture log;
  startWithPayload(appId(), manyExperiments(40));
  bool drained = false;
  {
    DiskLimit full(48 * 1024);  // files may not grow past 48 KiB, as on a full disk
    for (int round = 0; round < 2; ++round)
      for (int i = 0; i < 40; ++i) OrvExperiment::getValueAsString("k" + std::to_string(i));
    drained = drainWorkQueue();
  }
  ASSERT_TRUE(drained);
  EXPECT_EQ(events.size(), 40u);  // each once, although the store could not keep growing
  EXPECT_EQ(log.countContaining("[ERROR] OrvUserDefaults"), 1);
}

// What memory kept while the disk was full reaches the file once there is room, without
// another call: records with their events, and events of their own (which no retry
// wrote back, so they died with the process). What was delivered meanwhile, kept or
// stored, is not written back.
class DiskFull : public ::testing::Test {
 protected:
  void SetUp() override { OrvPlatform::setDataDirectory(dir_.path()); }
  void TearDown() override { OrvPlatform::setDataDirectory(""); }
  void fill() { full_.emplace(1); }  // no file may grow: every commit fails
  void makeRoom() { full_.reset(); }
  static void track(const std::string& name) {
    OrvMediator::sharedInstance()->orvAnalyticsTrackEvent(name, OrvValue::dictionary({}), "app");
  }
  // The outbox's event names as another process reads them, once they are `expected`
  // (polled; this process does nothing meanwhile), or as they are after kWait.
  std::string eventsInFile(const std::string& expected) {
    std::string names;
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    do {
      names.clear();
      runCommand("python3 " + std::string(ORV_TEST_SOURCE_DIR) + "/tests/sqlite_tool.py events " +
                     dir_.file("orv_defaults.sqlite3") + " 2>&1",
                 60, &names);
      if (names == expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // polling another process
    } while (std::chrono::steady_clock::now() < deadline);
    return names;
  }
  TempDir dir_;
  std::optional<DiskLimit> full_;
};

TEST_F(DiskFull, WhatMemoryKeptReachesTheFileOnceThereIsRoomAndNothingDeliveredReturns) {
  for (int i = 0; i < 3; ++i) track("stored" + std::to_string(i));  // no sink: they wait
  fill();
  OrvExperimentStorage::initWithAppId("disk-app");
  std::vector<OrvOutboxEvent> events(2);
  events[0].name = "recorded0";
  events[1].name = "recorded1";
  EXPECT_EQ(OrvExperimentStorage::recordExposures({"r0", "r1"}, events),
            std::vector<OrvRecordOutcome>(2, OrvRecordOutcome::kRecorded));
  std::vector<std::string> delivered;
  {
    EventCapture sink;  // takes all, stored or kept; the removals cannot reach the file
    for (const auto& e : sink.events()) delivered.push_back(e.name);
  }
  EXPECT_EQ(delivered,
            (std::vector<std::string>{"stored0", "stored1", "stored2", "recorded0", "recorded1"}));
  makeRoom();
  EXPECT_EQ(eventsInFile(""), "");
  EXPECT_TRUE(OrvUserDefaults::initWithSuiteName("orv_experiment_sp_disk-app")->boolForKey("r1"));
  // Events alone, nothing recorded: once, these waited in memory for good.
  fill();
  for (int i = 0; i < 2; ++i) track("kept" + std::to_string(i));
  makeRoom();
  EXPECT_EQ(eventsInFile("kept0\nkept1\n"), "kept0\nkept1\n");
}

// A consumer holds a batch read from memory while the disk was full; the write-back
// stores those events in the file meanwhile. Its removal must still reach them there, or
// they would be delivered a second time.
TEST_F(DiskFull, ABatchReadFromMemoryIsRemovedFromTheFileAfterTheWriteBack) {
  auto outbox = OrvEventOutbox::forDirectory(dir_.path());
  fill();
  track("held");
  const auto batch = outbox->pending(10);
  ASSERT_EQ(batch.size(), 1u);
  ASSERT_LT(batch[0].seq, 0);  // kept in memory
  makeRoom();
  track("after");  // written after "held" (now, or by the background retry with it)
  EXPECT_EQ(eventsInFile("held\nafter\n"), "held\nafter\n");
  outbox->remove({batch[0].seq});
  const auto left = outbox->pending(10);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].name, "after");
}

// The keeper writes through a Writer; this one stores events as the file would (new
// seqs) and then fails the transaction, as a full disk can at any statement.
TEST(OutageKeeper, AWriteBackThatRollsBackMapsNoSeqToARowThatNeverWas) {
  struct FailingAfterInserts : OrvOutageKeeper::Writer {
    std::int64_t nextRow = 10;
    bool failDeletes = true;
    bool writeRow(const std::string&, const std::string&, const OrvValue&) override { return true; }
    bool insertEvent(OrvOutboxEvent& event) override {
      event.seq = nextRow++;
      return true;
    }
    bool deleteEvent(std::int64_t) override { return !failDeletes; }
    bool record(const std::string&, const std::string&, OrvOutboxEvent&,
                OrvRecordOutcome* outcome) override {
      *outcome = OrvRecordOutcome::kRecorded;
      return true;
    }
  } writer;
  OrvOutageKeeper keeper;
  keeper.failed("disk full", false);
  keeper.keepEvent(OrvOutboxEvent{}, 10);
  keeper.keepEvent(OrvOutboxEvent{}, 10);
  const std::int64_t first = keeper.events().front().seq;  // a consumer holds this one
  keeper.keepRemoval(keeper.events().back().seq);
  bool stored = false;
  ASSERT_FALSE(keeper.writeBack(writer, &stored));  // the owner rolls back: rows 10, 11 never were
  EXPECT_EQ(keeper.currentSeq(first), first);       // still the event in memory
  writer.failDeletes = false;
  ASSERT_TRUE(keeper.writeBack(writer, &stored));
  keeper.wroteBack();
  EXPECT_EQ(keeper.currentSeq(first), 12);  // the row of the write-back that committed
}

TEST_F(FaultTest, ReadersRacingReloadsSeeWholeTablesAndEachExposureIsSentOnce) {
  EventCapture events;
  const std::string app = appId();
  constexpr int kKeys = 60;
  startWithPayload(app, manyExperiments(kKeys, "a"));
  const auto held = OrvFeatureManager::sharedInstance().getFeature("k1", false);
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (int n = t; !stop; ++n) {
        const std::string value = OrvExperiment::getValueAsString("k" + std::to_string(n % kKeys));
        // Every value comes from one version of the payload or the other, never half.
        ASSERT_TRUE(value[0] == 'a' || value[0] == 'b') << value;
        ASSERT_EQ(value.substr(1), std::to_string(n % kKeys));
      }
    });
  }
  for (int i = 0; i < 20; ++i) {
    const std::string prefix = i % 2 == 0 ? "b" : "a";
    replacePayload(app, manyExperiments(kKeys, prefix));
    fetch();
    // The success listener ran after the reload: the new table is in place.
    EXPECT_EQ(OrvExperiment::getValueAsString("k0"), prefix + "0");
  }
  stop = true;
  for (auto& r : readers) r.join();
  ASSERT_TRUE(drainWorkQueue());
  EXPECT_EQ(events.size(), static_cast<std::size_t>(kKeys));
  EXPECT_EQ(held->value().stringValue(), "a1");  // a feature held keeps its value
}
