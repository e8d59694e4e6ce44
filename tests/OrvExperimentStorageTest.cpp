#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentStorage.h"
#include "TestSupport.h"
#include "platform/OrvUserDefaults.h"

using namespace orvtest;

namespace {

// Runs the store helper to completion and returns what it printed.
std::string helper(const std::string& dir, const std::string& args) {
  const std::string cmd =
      helperPath("orv_store_helper") + " '" + dir + "' " + args + " 2>/dev/null";
  std::string out;
  EXPECT_EQ(runAndCapture(cmd, &out), 0) << args;
  return out;
}

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override { OrvPlatform::setDataDirectory(dir_.path() + "/data"); }
  void TearDown() override { OrvPlatform::setDataDirectory(""); }
  std::string dataDir() const { return dir_.path() + "/data"; }
  TempDir dir_;
};

}  // namespace

TEST_F(StorageTest, DomainSemantics) {
  OrvExperimentStorage::initWithAppId("abc");
  EXPECT_TRUE(OrvExperimentStorage::isOpen());
  EXPECT_FALSE(OrvExperimentStorage::getBoolForKey("missing", false));
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("missing", true));
  EXPECT_EQ(OrvExperimentStorage::getStringForKey("missing", "d"), "d");

  OrvExperimentStorage::putBool(false, "no");
  OrvExperimentStorage::putBool(true, "yes");
  EXPECT_FALSE(OrvExperimentStorage::getBoolForKey("no", true));  // a stored NO stays NO
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("yes", false));
  OrvExperimentStorage::putString("hello", "s");
  OrvExperimentStorage::putString("Yes", "truthy");
  EXPECT_EQ(OrvExperimentStorage::getStringForKey("s", "d"), "hello");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("truthy", false));
  EXPECT_FALSE(OrvExperimentStorage::getBoolForKey("s", true));
  OrvExperimentStorage::removeKey("yes");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("yes", true));
  EXPECT_FALSE(OrvExperimentStorage::getBoolForKey("yes", false));

  // The domain is the prefix followed by the identifier.
  auto direct = OrvUserDefaults::initWithSuiteName("orv_experiment_sp_abc");
  EXPECT_EQ(direct->dictionaryRepresentation().size(), 3u);
  EXPECT_TRUE(direct->isPersistent());

  // Another application has its own domain; clear empties only the open one.
  OrvExperimentStorage::initWithAppId("other");
  EXPECT_FALSE(OrvExperimentStorage::getBoolForKey("no", false) ||
               !OrvExperimentStorage::getBoolForKey("no", true));
  OrvExperimentStorage::putBool(true, "theirs");
  OrvExperimentStorage::clear();
  EXPECT_TRUE(OrvUserDefaults::initWithSuiteName("orv_experiment_sp_other")
                  ->dictionaryRepresentation()
                  .empty());
  OrvExperimentStorage::clear();  // on an empty domain: nothing happens

  OrvExperimentStorage::initWithAppId("abc");
  EXPECT_FALSE(OrvExperimentStorage::getBoolForKey("no", true));
  EXPECT_EQ(OrvExperimentStorage::getStringForKey("s", "d"), "hello");

  // The empty identifier opens the domain named by the prefix alone.
  OrvExperimentStorage::initWithAppId("");
  OrvExperimentStorage::putBool(true, "empty-app");
  EXPECT_TRUE(OrvUserDefaults::initWithSuiteName("orv_experiment_sp_")->boolForKey("empty-app"));
}

TEST_F(StorageTest, WritesBeforeOpeningAreDropped) {
  EXPECT_EQ(helper(dataDir(), "unopened app"), "before=1 after=1 string=default\n");
}

TEST_F(StorageTest, RecordsSurviveARestartAndStayPerApplication) {
  helper(dataDir(), "put app1 a=1 b=0 c=s:text");
  helper(dataDir(), "put app2 a=0");
  EXPECT_EQ(helper(dataDir(), "get app1 a b c d"), "a=1\nb=0\nc=s:text\nd=-\n");
  EXPECT_EQ(helper(dataDir(), "get app2 a b"), "a=0\nb=-\n");
  // And in this process, after the helpers wrote them.
  OrvExperimentStorage::initWithAppId("app1");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("a", false));
  EXPECT_EQ(OrvExperimentStorage::getStringForKey("c", ""), "text");
}

TEST_F(StorageTest, AWriteThatReturnedSurvivesKillNine) {
  for (int round = 0; round < 3; ++round) {
    const std::string prefix = "r" + std::to_string(round) + "_";
    long last = -1;
    const long target = 20 + round * 7;
    {
      ChildProcess writer(
          {helperPath("orv_store_helper"), dataDir(), "put-forever", "crash", prefix});
      // Read acknowledgements until enough writes have returned, then kill at once.
      std::string line;
      while (last < target && writer.readLine(&line)) last = std::atol(line.c_str());
    }
    ASSERT_GE(last, target);
    std::string keys;
    std::string expected;
    for (long i = 0; i <= last; ++i) {
      keys += " " + prefix + std::to_string(i);
      expected += prefix + std::to_string(i) + "=1\n";
    }
    EXPECT_EQ(helper(dataDir(), "get crash" + keys), expected) << "round " << round;
  }
}

TEST_F(StorageTest, ProcessesWritingAtOnceLoseNothing) {
  std::string argsA = "put shared";
  std::string argsB = "put shared";
  std::string getArgs = "get shared";
  std::string expected;
  for (int i = 0; i < 60; ++i) {
    argsA += " a" + std::to_string(i) + "=1";
    argsB += " b" + std::to_string(i) + "=1";
  }
  for (int i = 0; i < 60; ++i) {
    getArgs += " a" + std::to_string(i) + " b" + std::to_string(i);
    expected += "a" + std::to_string(i) + "=1\nb" + std::to_string(i) + "=1\n";
  }
  std::thread first([&] { helper(dataDir(), argsA); });
  std::thread second([&] { helper(dataDir(), argsB); });
  first.join();
  second.join();
  EXPECT_EQ(helper(dataDir(), getArgs), expected);
}

TEST_F(StorageTest, HostileApplicationIdsStayRowsNotPaths) {
  const std::string ids[] = {"/",
                             "..",
                             "../../etc/passwd",
                             "a/b",
                             std::string("ctl\x01\x1f\n\t", 7),
                             std::string(5000, 'x'),
                             "orv_defaults.sqlite3",
                             "%@ %s %n"};
  for (const std::string& id : ids) {
    OrvExperimentStorage::initWithAppId(id);
    OrvExperimentStorage::putBool(true, "k" + std::to_string(id.size()));
  }
  for (const std::string& id : ids) {
    OrvExperimentStorage::initWithAppId(id);
    EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("k" + std::to_string(id.size()), false));
  }
  for (const auto& entry : std::filesystem::directory_iterator(dataDir())) {
    EXPECT_EQ(entry.path().filename().string().rfind("orv_defaults.sqlite3", 0), 0u)
        << entry.path();
  }
  struct stat st {};
  ASSERT_EQ(::stat(dataDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((dataDir() + "/orv_defaults.sqlite3").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST_F(StorageTest, AFileThatIsNotADatabaseIsKeptAndTheStoreWorksInMemory) {
  std::filesystem::create_directories(dataDir());
  const std::string file = dataDir() + "/orv_defaults.sqlite3";
  const std::string garbage(4096, 'G');
  writeFile(file, garbage);
  LogCapture log;
  OrvExperimentStorage::initWithAppId("app");
  OrvExperimentStorage::putBool(true, "k");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("k", false));
  OrvExperimentStorage::initWithAppId("app");  // reopening still sees this process's records
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("k", false));
  EXPECT_EQ(readFile(file), garbage);
  int errors = 0;
  for (const auto& line : log.lines())
    errors += line.find("[ERROR] OrvUserDefaults") != std::string::npos;
  EXPECT_EQ(errors, 1);
}

TEST_F(StorageTest, ATruncatedDatabaseNeverCrashes) {
  std::string keys = "put app";
  for (int i = 0; i < 300; ++i) keys += " key_number_" + std::to_string(i) + "=1";
  helper(dataDir(), keys);
  helper(dataDir(), "get app key_number_1");  // a clean close checkpoints the WAL
  const std::string file = dataDir() + "/orv_defaults.sqlite3";
  std::filesystem::resize_file(file, std::filesystem::file_size(file) / 2);
  std::filesystem::remove(file + "-wal");
  OrvExperimentStorage::initWithAppId("app");
  OrvExperimentStorage::putBool(true, "after");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("after", false));
  EXPECT_TRUE(std::filesystem::exists(file));
}

TEST_F(StorageTest, AReadOnlyDatabaseIsReportedAndTheStoreWorksInMemory) {
  helper(dataDir(), "put app old=1");
  helper(dataDir(), "get app old");
  const std::string file = dataDir() + "/orv_defaults.sqlite3";
  std::filesystem::remove(file + "-wal");
  std::filesystem::remove(file + "-shm");
  ReadOnlyPath readOnly(file);
  if (!readOnly.ok()) GTEST_SKIP() << "cannot make a file read-only here";
  LogCapture log;
  OrvExperimentStorage::initWithAppId("app");
  OrvExperimentStorage::putBool(true, "new");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("new", false));
  EXPECT_FALSE(OrvUserDefaults::initWithSuiteName("orv_experiment_sp_app")->isPersistent());
  EXPECT_GE(log.lines().size(), 1u);
}

TEST_F(StorageTest, ADataDirectoryThatCannotBeCreatedFallsBackToMemory) {
  writeFile(dir_.path() + "/plain-file", "x");
  OrvPlatform::setDataDirectory(dir_.path() + "/plain-file/sub");
  LogCapture log;
  OrvExperimentStorage::initWithAppId("app");
  OrvExperimentStorage::putBool(true, "k");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("k", false));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_NE(log.lines()[0].find("cannot create"), std::string::npos) << log.lines()[0];
}
