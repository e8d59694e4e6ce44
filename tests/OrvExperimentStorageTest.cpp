#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "OrvExperiment/OrvPlatform.h"
#include "OrvExperimentStorage.h"
#include "TestSupport.h"
#include "platform/OrvUserDefaults.h"

using namespace orvtest;

namespace {

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override { OrvPlatform::setDataDirectory(data_); }
  void TearDown() override { OrvPlatform::setDataDirectory(""); }
  // Runs the store helper in a process of its own and returns what it printed.
  std::string helper(const std::string& args) {
    std::string out;
    EXPECT_EQ(runCommand(helperPath("orv_store_helper") + " '" + data_ + "' " + args, 60, &out), 0);
    return out;
  }
  std::shared_ptr<OrvUserDefaults> domain(const std::string& app) {
    return OrvUserDefaults::initWithSuiteName(OrvExperimentStorage::kDomainPrefix + app);
  }
  TempDir dir_;
  const std::string data_ = dir_.path() + "/data";
  const std::string file_ = data_ + "/orv_defaults.sqlite3";
};

}  // namespace

TEST_F(StorageTest, EachApplicationHasItsOwnDomain) {
  OrvExperimentStorage::initWithAppId("abc");
  OrvExperimentStorage::putBool(false, "no");
  OrvExperimentStorage::putBool(true, "yes");
  OrvExperimentStorage::putString("Yes", "truthy");
  EXPECT_FALSE(OrvExperimentStorage::getBoolForKey("no", true));  // a stored NO stays NO
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("truthy", false));
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("missing", true));
  OrvExperimentStorage::removeKey("yes");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("yes", true));
  EXPECT_EQ(domain("abc")->dictionaryRepresentation().size(), 2u);
  EXPECT_TRUE(domain("abc")->isPersistent());
  OrvExperimentStorage::initWithAppId("other");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("no", true));
  OrvExperimentStorage::putBool(true, "theirs");
  OrvExperimentStorage::clear();  // the open domain only
  EXPECT_TRUE(domain("other")->dictionaryRepresentation().empty());
  EXPECT_EQ(domain("abc")->dictionaryRepresentation().size(), 2u);
}

TEST_F(StorageTest, RecordsSurviveARestartAndProcessesWritingAtOnceLoseNothing) {
  helper("put app1 a=1 b=0 c=s:text");
  helper("put app2 a=0");
  EXPECT_EQ(helper("get app1 a b c d"), "a=1\nb=0\nc=s:text\nd=-\n");
  EXPECT_EQ(helper("get app2 a b"), "a=0\nb=-\n");
  std::string a = "put shared", b = "put shared", get = "get shared", expected;
  for (int i = 0; i < 60; ++i) {
    const std::string n = std::to_string(i);
    a += " a" + n + "=1";
    b += " b" + n + "=1";
    get += " a" + n + " b" + n;
    expected += "a" + n + "=1\nb" + n + "=1\n";
  }
  std::thread first([&] { helper(a); });
  helper(b);
  first.join();
  EXPECT_EQ(helper(get), expected);
}

TEST_F(StorageTest, HostileApplicationIdsStayRowsNotPathsAndFilesAreOwnerOnly) {
  const std::string ids[] = {"/",
                             "..",
                             "../../etc/passwd",
                             "a/b",
                             std::string("ctl\x01\n\t", 6),
                             std::string(5000, 'x'),
                             "orv_defaults.sqlite3",
                             "%@ %s %n",
                             ""};
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
  std::filesystem::create_directories(data_);
  writeFile(file_, std::string(4096, 'G'));
  writeFile(dir_.file("plain-file"), "x");
  const std::pair<std::string, std::string> cases[] = {
      {data_, "[ERROR] OrvUserDefaults"},  // a file that is not a database: kept as it is
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
  EXPECT_EQ(readFile(file_), std::string(4096, 'G'));
}

TEST_F(StorageTest, ATruncatedDatabaseNeverCrashes) {
  std::string keys = "put app";
  for (int i = 0; i < 300; ++i) keys += " key_number_" + std::to_string(i) + "=1";
  helper(keys);  // a clean exit checkpoints the WAL
  std::filesystem::resize_file(file_, std::filesystem::file_size(file_) / 2);
  std::filesystem::remove(file_ + "-wal");
  OrvExperimentStorage::initWithAppId("app");
  OrvExperimentStorage::putBool(true, "after");
  EXPECT_TRUE(OrvExperimentStorage::getBoolForKey("after", false));
}
