// The collector's SQLite store and its answers: each eventId once across restarts and
// threads, files refused, a full disk, a version-1 store read and migrated.
#include <gtest/gtest.h>

#include "CollectorFixture.h"
#include "platform/values/OrvMD5.h"

using namespace orvtest;

TEST(EventStore, KeepsEachEventIdOnceAcrossReopenAndExportsInStoredOrder) {
  TempDir dir;
  const std::string path = dir.file("events.sqlite3");
  std::vector<OrvMediatorEvent> first = {exposure("e1", "101", "1", true),
                                         exposure("e2", "101", "2"), exposure("e1", "101", "1")};
  std::size_t added = 0;
  std::string error;
  {
    auto store = openStore(path);
    ASSERT_TRUE(store->add(first, &added, &error)) << error;
    EXPECT_EQ(added, 2u);
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto store = openStore(path, false);
  ASSERT_TRUE(store->add({exposure("e2", "101", "2"), exposure("e3", "101", "2")}, &added, &error));
  EXPECT_EQ(added, 1u);
  EXPECT_EQ(store->eventCount(), 3);
  EXPECT_EQ(exported(*store), (std::vector<std::string>{first[0].toJson(), first[1].toJson(),
                                                        exposure("e3", "101", "2").toJson()}));
}

TEST(EventStore, ARecordWithoutEventIdGetsOneFromItsContentSoARetryIsStoredOnce) {
  TempDir dir;
  OrvMediatorEvent anonymous = exposure("", "101", "1");
  std::size_t added = 0;
  std::string error;
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto store = openStore(dir.file("events.sqlite3"));
    ASSERT_TRUE(store->add({anonymous}, &added, &error)) << error;
    EXPECT_EQ(added, attempt == 0 ? 1u : 0u);
  }
  auto store = openStore(dir.file("events.sqlite3"));
  ASSERT_TRUE(store->add({exposure("", "101", "2")}, &added, &error));
  EXPECT_EQ(added, 1u);  // other content, another id
  const auto lines = exported(*store);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(json(lines[0])["event_id"].stringValue(), "content-" + OrvMD5::hex(anonymous.toJson()));
}

TEST(EventStore, RefusesLinksOtherFilesOtherProgramsDatabasesAndNewerSchemas) {
  TempDir dir;
  openStore(dir.file("ours.sqlite3"));
  std::filesystem::create_symlink(dir.file("ours.sqlite3"), dir.file("link.sqlite3"));
  EXPECT_NE(refusal(dir.file("link.sqlite3")).find("link.sqlite3 is a symbolic link"),
            std::string::npos);
  openStore(dir.file("wal.sqlite3"));
  std::filesystem::create_symlink(dir.file("elsewhere"), dir.file("wal.sqlite3-wal"));
  EXPECT_NE(refusal(dir.file("wal.sqlite3")).find("-wal is a symbolic link"), std::string::npos);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_NE(refusal(dir.file("fifo")).find("fifo is a FIFO"), std::string::npos);
  EXPECT_NE(refusal(dir.path()).find("is a directory"), std::string::npos);
  EXPECT_NE(refusal(dir.file("no/such/events.sqlite3")).find("/no/such does not exist"),
            std::string::npos);
  EXPECT_NE(refusal(dir.file("missing.sqlite3"), false).find("missing.sqlite3 does not exist"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing.sqlite3")));

  // A file named by mistake is left as it was, its mode too, by a writer and a reader;
  // a store of ours is made owner-only only by its writer.
  writeFile(dir.file("notes.txt"), std::string(8192, 'x'));
  ::chmod(dir.file("notes.txt").c_str(), 0644);
  for (const bool create : {true, false})
    EXPECT_NE(refusal(dir.file("notes.txt"), create).find("notes.txt is not a SQLite database"),
              std::string::npos);
  EXPECT_EQ(readFile(dir.file("notes.txt")), std::string(8192, 'x'));
  const auto mode = [&](const char* name) {
    struct stat st {};
    ::stat(dir.file(name).c_str(), &st);
    return st.st_mode & 0777;
  };
  EXPECT_EQ(mode("notes.txt"), 0644u);
  openStore(dir.file("shared.sqlite3"));
  ::chmod(dir.file("shared.sqlite3").c_str(), 0644);
  std::string error;
  EXPECT_TRUE(OrvEventStore::open(dir.file("shared.sqlite3"), &error, false)) << error;
  EXPECT_EQ(mode("shared.sqlite3"), 0644u);
  EXPECT_TRUE(OrvEventStore::open(dir.file("shared.sqlite3"), &error, true)) << error;
  EXPECT_EQ(mode("shared.sqlite3"), 0600u);
  sql(dir.file("theirs.sqlite3"), "PRAGMA application_id=12345; CREATE TABLE t (x)");
  sql(dir.file("unmarked.sqlite3"), "CREATE TABLE events (x)");
  for (const char* name : {"theirs.sqlite3", "unmarked.sqlite3"})
    EXPECT_NE(refusal(dir.file(name)).find("is another program's database"), std::string::npos);
  const std::string newer = std::to_string(OrvEventStore::kSchemaVersion + 1);
  sql(dir.file("ours.sqlite3"), ("PRAGMA user_version=" + newer).c_str());
  EXPECT_NE(refusal(dir.file("ours.sqlite3")).find("written by a newer orvexp (schema " + newer),
            std::string::npos);
}

TEST(EventStore, AFullDiskStoresNoPartOfABatchAndTheBatchGoesInOnceThereIsRoom) {
  TempDir dir;
  const std::string path = dir.file("events.sqlite3");
  auto store = openStore(path);
  std::size_t added = 0;
  std::string error;
  ASSERT_TRUE(store->add(batch(10, "before-"), &added, &error)) << error;
  const auto big = batch(2000, "big-");  // hundreds of KiB of pages
  {
    // A few pages fit in the log, then the commit fails half-way.
    DiskLimit full(static_cast<rlim_t>(fileSize(path + "-wal") + 16 * 1024));
    EXPECT_FALSE(store->add(big, &added, &error));
    EXPECT_NE(error.find("cannot store events in " + path), std::string::npos) << error;
    EXPECT_EQ(store->eventCount(), 10);
  }
  store.reset();
  store = openStore(path);
  EXPECT_EQ(exported(*store).size(), 10u);
  ASSERT_TRUE(store->add(big, &added, &error)) << error;
  EXPECT_EQ(added, 2000u);
  EXPECT_EQ(store->eventCount(), 2010);
}

TEST(EventStore, WritersOnManyThreadsStoreEachIdOnceWhileQueriesRun) {
  TempDir dir;
  auto store = openStore(dir.file("events.sqlite3"));
  std::atomic<int> writing{4};
  std::atomic<std::size_t> added{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 25; ++round) {
        std::size_t n = 0;
        std::string error;
        // Threads 0 and 1 send the same ids, as do 2 and 3.
        EXPECT_TRUE(store->add(batch(20, std::to_string(t / 2) + "-" + std::to_string(round) + "-"),
                               &n, &error))
            << error;
        added += n;
      }
      --writing;
    });
  }
  std::int64_t seen = 0;
  while (writing > 0) {
    std::int64_t total = 0;
    for (const auto& c : store->exposureCounts()) total += c.exposures;
    EXPECT_GE(total, seen);  // a query sees whole commits, never fewer than before
    seen = total;
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(added, 1000u);
  EXPECT_EQ(store->eventCount(), 1000);
}

TEST(EventStore, CountsExposuresPerGroupAndSeriesInSteps) {
  TempDir dir;
  auto store = openStore(dir.file("events.sqlite3"));
  const std::int64_t t0 = 1'700'000'000'000;
  OrvMediatorEvent other = exposure("o1", "101", "1", true, t0);
  other.name = "purchase";
  std::size_t added = 0;
  std::string error;
  ASSERT_TRUE(store->add(
      {exposure("1", "101", "1", true, t0), exposure("2", "101", "1", false, t0 + 500),
       exposure("3", "101", "1", false, t0 + 2500), exposure("4", "101", "2", false, t0 + 100),
       exposure("5", "101", "2", true, t0 + 2600), exposure("6", 7, 1),
       exposure("7", OrvValue::array({1}), "g", false, t0, "b"), other},
      &added, &error))
      << error;
  std::vector<std::string> counts;
  for (const auto& c : store->exposureCounts())
    counts.push_back(c.appId + "/" + c.experimentId + "/" + c.groupId + "/" +
                     (c.control ? "control" : "-") + "/" + std::to_string(c.exposures));
  EXPECT_EQ(counts, (std::vector<std::string>{"a/101/1/control/3", "a/101/2/control/2", "a/7/1/-/1",
                                              "b/[1]/g/-/1"}));
  std::int64_t step = 0;
  std::vector<std::string> series;
  for (const auto& p : store->exposureSeries("a", "101", 3, &step))
    series.push_back(p.groupId + "@" + std::to_string(p.startMs - t0) + "=" +
                     std::to_string(p.exposures));
  EXPECT_EQ(step, 1000);
  EXPECT_EQ(series, (std::vector<std::string>{"1@0=2", "1@2000=1", "2@0=1", "2@2000=1"}));
  EXPECT_TRUE(store->exposureSeries("a", "nope", 3, &step).empty());
}

TEST(EventCollector, AnswersOtlpStatusBodiesAndA503WhenStoringFails) {
  TempDir dir;
  std::string error;
  auto collector = OrvEventCollector::open(dir.file("events.sqlite3"), &error);
  ASSERT_TRUE(collector) << error;
  EXPECT_EQ(OrvEventCollector::open(dir.file("no/dir.sqlite3"), &error), nullptr);
  const auto unsupported = collector->handle("{}", "application/x-protobuf");
  EXPECT_EQ(unsupported.status, 415);
  EXPECT_EQ(json(unsupported.body)["code"].int64Value(), 3);
  const auto malformed = collector->handle("{\"resourceLogs\":7}", "application/json");
  EXPECT_EQ(malformed.status, 400);
  EXPECT_EQ(json(malformed.body)["code"].int64Value(), 3);
  EXPECT_EQ(collector->handle("not json", "application/json").status, 400);
  EXPECT_EQ(json(OrvEventCollector::statusBody(413, "big"))["code"].int64Value(), 8);
  const std::string body =
      R"({"resourceLogs":[{"scopeLogs":[{"logRecords":[1,{"timeUnixNano":"x"},{"eventName":"ok","attributes":[{"key":"eventId","value":{"stringValue":"r1"}}]}]}]}]})";
  {
    DiskLimit full(1);
    const auto refused = collector->handle(body, "application/json");
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.retryAfterSeconds, 1);
    EXPECT_EQ(json(refused.body)["code"].int64Value(), 14);
    EXPECT_EQ(collector->store().eventCount(), 0);
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto taken = collector->handle(body, "application/json; charset=utf-8");
    EXPECT_EQ(taken.status, 200);
    EXPECT_EQ(json(taken.body)["partialSuccess"]["rejectedLogRecords"].stringValue(), "2");
  }
  EXPECT_EQ(collector->store().eventCount(), 1);
  EXPECT_EQ(json(exported(collector->store()).at(0))["name"].stringValue(), "ok");
}

// A store written before splits were stored: read as it is by a reader (orvexp report
// among them), migrated in one transaction by a writer, all or nothing.
TEST(EventStore, AVersionOneStoreIsReadAsItIsAndMigratedWhenOpenedToWrite) {
  TempDir dir;
  const std::string path = dir.file("events.sqlite3");
  // Version 1's schema, as orvexp wrote it, and 3,000 exposures: more pages of index to
  // rebuild than DiskLimit leaves room for below.
  sql(path, fixture("events-v1.sql").c_str());
  const auto version = [&] { return sqlRows(path, "PRAGMA user_version").at(0); };
  const auto report = [&](const std::string& options) {
    std::string out;
    EXPECT_EQ(runCommand(orvexpPath() + " report --json --events " + path + options, 60, &out), 7);
    return json(out)["experiments"].at(0);  // 1800 : 1200, far from equal shares
  };
  {
    auto reader = openStore(path, false);
    EXPECT_EQ(reader->exposureCounts().at(0).exposures, 1800);
    EXPECT_TRUE(json(exported(*reader).at(0))["context"].isAbsent());
    std::string error;
    EXPECT_FALSE(reader->add(batch(1, "new-"), nullptr, &error));
    EXPECT_NE(error.find("a version-1 store opened for reading"), std::string::npos) << error;
  }
  EXPECT_EQ(report("")["without_split"].int64Value(), 3000);
  {
    DiskLimit full(32768 + 16384);  // the shared-memory index and a few pages of the log
    EXPECT_NE(refusal(path).find("cannot migrate the event store in"), std::string::npos);
  }
  EXPECT_EQ(version(), "1");
  EXPECT_EQ(sqlRows(path, "SELECT COUNT(*) FROM exposures").at(0), "3000");

  auto writer = openStore(path);
  EXPECT_EQ(version(), "3");
  OrvMediatorEvent placed = exposure("new", "old", "2");
  placed.context = json(R"({"unit":"u","split":[["1",3],["2",2]],"intended_share":0.4})");
  std::string error;
  ASSERT_TRUE(writer->add({placed}, nullptr, &error)) << error;
  EXPECT_EQ(
      sqlRows(path,
              "SELECT group_id, split, COUNT(*), COUNT(unit_id) FROM exposures "
              "GROUP BY group_id, split"),
      (std::vector<std::string>{"1|NULL|1800|0", "2|NULL|1200|0", "2|[[\"1\",3],[\"2\",2]]|1|1"}));
  EXPECT_EQ(json(exported(*writer).back())["context"], placed.context);
  EXPECT_EQ(report("")["intended_from"].stringValue(), "exposures");
  const OrvValue given = report(" --expect old=1:1,2:9");  // over the split carried too
  EXPECT_EQ(given["intended_from"].stringValue(), "expect");
  EXPECT_EQ(given["groups"].at(1)["intended_share"].doubleValue(), 0.9);
}
