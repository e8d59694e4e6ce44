// orvexp against hostile clients, files and arguments, run as real processes.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <tuple>

#include "OrvRemoteConfig.h"
#include "TestSupport.h"

using namespace orvtest;
namespace fs = std::filesystem;

namespace {

const std::string kOrvexp = std::string(ORV_TEST_BINARY_DIR) + "/tools/orvexp/orvexp";

// `orvexp serve DIR` on a free loopback port, with `extra` options.
struct Serve {
  explicit Serve(const std::string& dir, std::vector<std::string> extra = {})
      : process([&] {
          std::vector<std::string> argv = {kOrvexp, "serve", "--dir", dir, "--port", "0"};
          argv.insert(argv.end(), extra.begin(), extra.end());
          return argv;
        }()) {
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

// `bytes` gzip-compressed.
std::string gzip(const std::string& bytes) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, bytes.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Sends `request` on a new connection while reading what comes back, as an HTTP client
// does, and stops sending once an answer has begun; returns what came back until the
// server closed the connection.
std::string roundTrip(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::size_t sent = 0;
    for (;;) {
      pollfd p{fd,
               static_cast<short>(POLLIN | (answer.empty() && sent < request.size() ? POLLOUT : 0)),
               0};
      if (::poll(&p, 1, 60'000) <= 0) break;
      if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, static_cast<std::size_t>(n));
      } else if (p.revents & POLLOUT) {
        const ssize_t n =
            ::send(fd, request.data() + sent, std::min<std::size_t>(request.size() - sent, 1 << 16),
                   MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
    }
  }
  ::close(fd);
  return answer;
}

std::string statusLine(const std::string& answer) { return answer.substr(0, answer.find('\r')); }

}  // namespace

// Every body is bounded by what it decodes to, whatever its encoding and framing: a
// gzip bomb (64 MiB of zeros in 64 KiB) and an endless chunked body are cut off at the
// limit and answered 413, on both endpoints, and the server's memory stays small.
TEST(OrvexpServe, BodiesAreBoundedByWhatTheyDecodeToWhateverTheirEncodingOrFraming) {
  TempDir dir;
  Serve serve(dir.path(), {"--events", dir.file("events.db"), "--quiet"});
  ASSERT_GT(serve.port, 0);
  const std::string bomb = gzip(std::string(64u << 20, '0'));
  ASSERT_LT(bomb.size(), 200u << 10);
  std::string chunk(1u << 20, ' ');
  for (const char* path : {"/v1/remote-config/fetch", "/v1/logs"}) {
    for (int round = 0; round < 3; ++round) {
      const std::string gzipped =
          roundTrip(serve.port, std::string("POST ") + path +
                                    " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                    "Content-Encoding: gzip\r\nContent-Length: " +
                                    std::to_string(bomb.size()) + "\r\n\r\n" + bomb);
      EXPECT_EQ(statusLine(gzipped), "HTTP/1.1 413 Payload Too Large") << path;
    }
    std::string chunked = std::string("POST ") + path +
                          " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                          "Transfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 24; ++i) chunked += "100000\r\n" + chunk + "\r\n";
    chunked += "0\r\n\r\n";
    EXPECT_EQ(statusLine(roundTrip(serve.port, chunked)), "HTTP/1.1 413 Payload Too Large") << path;
  }
  const std::string multipart = roundTrip(
      serve.port,
      "POST /v1/logs HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=b\r\n"
      "Content-Length: 4\r\n\r\n--b\n");
  EXPECT_EQ(statusLine(multipart), "HTTP/1.1 415 Unsupported Media Type");
  // The collector's errors are OTLP Status bodies.
  const std::string logs =
      roundTrip(serve.port,
                "POST /v1/logs HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                "Content-Length: 5\r\nConnection: close\r\n\r\n[1,2]");
  EXPECT_EQ(statusLine(logs), "HTTP/1.1 400 Bad Request");
  EXPECT_NE(logs.find(R"({"code":3,"message":)"), std::string::npos) << logs;
  EXPECT_EQ(serve.post(R"({"app_id":"none"})"), 404);  // still serving
  std::string rss;
  runCommand("ps -o rss= -p " + std::to_string(serve.process.pid()), 60, &rss);
  if (!kSanitized) {
    EXPECT_LT(std::atol(rss.c_str()), 150 * 1024) << "KiB resident";
  }
}

// 64 slow connections from 8 addresses fill every place the server keeps; newcomers
// are still answered at once, each taking the place of a connection of the heaviest
// client, while the slow connections it did not need stay open (so the answers did not
// wait for the slow ones' deadline).
TEST(OrvexpServe, ClientsHoldingEveryPlaceLeaveRoomForOthers) {
  TempDir dir;
  Serve serve(dir.path(), {"--quiet"});
  std::string sources;
  for (int i = 2; i <= 9; ++i)
    sources += (sources.empty() ? "127.0.0." : ",127.0.0.") + std::to_string(i);
  ChildProcess slow({"/usr/bin/python3", std::string(ORV_TEST_SOURCE_DIR) + "/tests/slow_client.py",
                     std::to_string(serve.port), "8", sources});
  std::string line;
  ASSERT_TRUE(slow.readLine(&line) && line == "connected");
  for (int i = 0; i < 15; ++i) {
    httplib::Client client("127.0.0.1", serve.port);
    client.set_read_timeout(60, 0);
    auto res = client.Post(OrvRemoteConfig::kFetchPath, R"({"app_id":"none"})", "application/json");
    ASSERT_EQ(res ? res->status : -1, 404) << i;
  }
  ::kill(slow.pid(), SIGUSR1);
  ASSERT_TRUE(slow.readLine(&line));
  EXPECT_GE(std::atoi(line.substr(5).c_str()), 64 - 15) << line;
}

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

// A client address that holds its limit of connections is refused with a 503 that says
// what the limit is and how to raise it; --max-connections-per-client raises it.
TEST(OrvexpServe, APerAddressLimitSaysWhatItIsAndTheOptionRaisesIt) {
  TempDir dir;
  for (const int limit : {8, 9}) {
    Serve serve(dir.path(),
                limit == 8 ? std::vector<std::string>{"--quiet"}
                           : std::vector<std::string>{"--quiet", "--max-connections-per-client",
                                                      std::to_string(limit)});
    ASSERT_GT(serve.port, 0);
    std::string refusal;
    // A held connection is closed after 5 s idle: on a machine stalled that long the
    // next one is admitted, and the round is made again.
    for (int round = 0; round < 3 && statusLine(refusal) != "HTTP/1.1 503 Service Unavailable";
         ++round) {
      std::vector<std::unique_ptr<httplib::Client>> held;
      for (int i = 0; i < limit; ++i) {
        auto& client =
            held.emplace_back(std::make_unique<httplib::Client>("127.0.0.1", serve.port));
        client->set_keep_alive(true);
        const auto res =
            client->Post(OrvRemoteConfig::kFetchPath, R"({"app_id":"none"})", "application/json");
        ASSERT_EQ(res ? res->status : -1, 404) << limit << " " << i;
      }
      refusal = roundTrip(serve.port, "");
    }
    EXPECT_EQ(statusLine(refusal), "HTTP/1.1 503 Service Unavailable");
    EXPECT_NE(refusal.find("already holds " + std::to_string(limit) + " connections"),
              std::string::npos)
        << refusal;
    EXPECT_NE(refusal.find("--max-connections-per-client"), std::string::npos) << refusal;
  }
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
      {kOrvexp + " serve --dir " + dir.path() + " --max-connections-per-client 0", 2,
       "--max-connections-per-client"},
      {kOrvexp + " serve --dir " + dir.path() + " --max-connections-per-client 65", 2,
       "--max-connections-per-client"},
  };
  for (const auto& [args, code, says] : cases) {
    std::string out;
    EXPECT_EQ(runCommand(args + " 2>&1", 30, &out), code) << args << "\n" << out;
    EXPECT_NE(out.find(says), std::string::npos) << args << "\n" << out;
  }
}
