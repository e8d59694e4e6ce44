// orvexp against hostile clients, files and arguments, run as real processes.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <tuple>

#include "OrvRemoteConfig.h"
#include "TestSupport.h"

using namespace orvtest;
namespace fs = std::filesystem;

namespace {

const std::string kOrvexp = std::string(ORV_TEST_BINARY_DIR) + "/tools/orvexp/orvexp";

// `orvexp serve DIR` on a free loopback port.
struct Serve {
  explicit Serve(const std::string& dir)
      : process({kOrvexp, "serve", "--dir", dir, "--port", "0"}) {
    std::string line;
    if (process.readLine(&line)) port = std::atoi(line.substr(line.rfind(':') + 1).c_str());
  }
  // The status of a fetch request with `body`, or -1 when none came within 10 s.
  int post(const std::string& body) const {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10, 0);
    auto res = client.Post(OrvRemoteConfig::kFetchPath, body, "application/json");
    return res ? res->status : -1;
  }
  ChildProcess process;
  int port = 0;
};

}  // namespace

TEST(OrvexpServe, GreedyOrSlowClientsNeitherBloatNorStarveIt) {
  TempDir dir;
  Serve serve(dir.path());
  std::string body = R"({"app_id":"none","pad":[0)";
  while (body.size() < 60000) body += ",0";
  body += "]}";
  // One connection for all: separate ones, closed at once by this side, may still count
  // against the per-client limit while the server winds them down (503 under load).
  httplib::Client client("127.0.0.1", serve.port);
  client.set_keep_alive(true);
  client.set_read_timeout(10, 0);
  for (int i = 0; i < 300; ++i) {
    auto res = client.Post(OrvRemoteConfig::kFetchPath, body, "application/json");
    ASSERT_EQ(res ? res->status : -1, 404) << i;
  }
  std::string rss;
  runCommand("ps -o rss= -p " + std::to_string(serve.process.pid()), 60, &rss);
  if (!kSanitized) {  // sanitizer allocators keep freed memory aside
    EXPECT_LT(std::atol(rss.c_str()), 150 * 1024) << "KiB resident";  // nothing kept per request
  }

  ChildProcess slow({"/usr/bin/python3", std::string(ORV_TEST_SOURCE_DIR) + "/tests/slow_client.py",
                     std::to_string(serve.port), "12", "127.0.0.2"});
  std::string line;
  ASSERT_TRUE(slow.readLine(&line) && line == "connected");
  EXPECT_EQ(serve.post(R"({"app_id":"none"})"), 404);  // while all twelve are held
}

TEST(OrvexpServe, ServesOnlyRegularFilesInsideItsDirectory) {
  TempDir dir;
  TempDir outside;
  writeFile(outside.file("secret.json"), R"({"secret":1})");
  const auto file = [&](const std::string& app) {
    fs::create_directories(dir.file(app));
    return dir.file(app) + "/ki_feature.json";
  };
  writeFile(file("good"), R"({"k":1})");
  fs::create_symlink(file("good"), file("inside"));
  fs::create_directory(file("directory"));
  ASSERT_EQ(::mkfifo(file("fifo").c_str(), 0600), 0);
  fs::create_symlink(outside.file("secret.json"), file("outside"));
  writeFile(file("array"), "[1,2]");
  Serve serve(dir.path());
  const std::pair<const char*, int> cases[] = {{"good", 200}, {"inside", 200},  {"directory", 404},
                                               {"fifo", 404}, {"outside", 404}, {"array", 500}};
  for (const auto& [app, status] : cases)
    EXPECT_EQ(serve.post(std::string(R"({"app_id":")") + app + "\"}"), status) << app;
  ::kill(serve.process.pid(), SIGTERM);
  EXPECT_EQ(serve.process.waitExit(kWait), 0);
}

TEST(Orvexp, BadArgumentsOrAPortInUseGetAClearMessageAndADocumentedExitCode) {
  TempDir dir;
  fs::create_directories(dir.file("app"));
  writeFile(dir.file("app/ki_feature.json"), R"({"color":"red"})");
  Serve serve(dir.path());
  const std::string get = kOrvexp + " get --app app --data-dir " + dir.file("data") + " ";
  const std::string file = "--server file://" + dir.file("app/ki_feature.json") + " ";
  const std::tuple<std::string, int, const char*> cases[] = {
      {kOrvexp + " --help", 0, "Exit status"},
      {get + file + "--timeout nan color", 2, "nan is not a number of seconds"},
      {get + file + "--timeout 1e300 color", 2, "1e300 is not a number of seconds"},
      {get + file + "--events " + dir.file("no/such/events") + " color", 2, "--events"},
      {get + "--server http:// color", 2, "no host"},
      {get + "--server HTTP://127.0.0.1:" + std::to_string(serve.port) + " color", 0, "red"},
      {kOrvexp + " parse /dev/zero", 1, "not a regular file"},
      {kOrvexp + " serve --dir " + dir.path() + " --port " + std::to_string(serve.port), 1,
       "in use"},
  };
  for (const auto& [args, code, says] : cases) {
    std::string out;
    EXPECT_EQ(runCommand(args + " 2>&1", 30, &out), code) << args << "\n" << out;
    EXPECT_NE(out.find(says), std::string::npos) << args << "\n" << out;
  }
}
