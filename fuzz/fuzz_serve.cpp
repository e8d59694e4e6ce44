// Raw bytes from a client through `orvexp serve`'s request handling: HTTP parsing on
// the connection's own stream, the connection limits, routing, the file rules on a
// payload directory holding every kind of entry the server must tell apart, assignment
// of weighted groups, OFREP evaluation (the application by header or by path, any
// context) with its exposures, the collector and the report pages. Whatever arrives,
// each answer starts with a status line and nothing outside the directory is ever
// served.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "server/OrvConfigServer.h"

namespace {

constexpr const char* kOutsideMarker = "ORV-FUZZ-OUTSIDE-MARKER";
OrvConfigServer* server = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/fuzz_serve-XXXXXX";
  const std::string root = ::mkdtemp(pattern);
  const std::string dir = root + "/payloads";
  for (const char* app : {"a", "dir", "fifo", "outside", "inside", "array", "groups"})
    fs::create_directories(dir + "/" + app);
  std::ofstream(dir + "/a/ki_feature.json") << R"({"color":"red","limit":20})";
  std::ofstream(dir + "/array/ki_feature.json") << "[1,2]";
  std::ofstream(dir + "/groups/ki_feature.json")
      << R"({"k":0,"experiment_detail":[{"#experiment_id":"e","#feature_list":["k"],)"
         R"("#groups":[{"id":"1","weight":1,"values":{"k":1}},{"id":"2","weight":3}]}]})";
  std::ofstream(root + "/secret.json") << "{\"secret\":\"" << kOutsideMarker << "\"}";
  fs::create_directories(dir + "/dir/ki_feature.json");
  ::mkfifo((dir + "/fifo/ki_feature.json").c_str(), 0600);
  fs::create_symlink(root + "/secret.json", dir + "/outside/ki_feature.json");
  fs::create_symlink(dir + "/a/ki_feature.json", dir + "/inside/ki_feature.json");
  server = new OrvConfigServer(dir);
  if (!server->collectEventsTo(root + "/events.db")) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The whole input waits in the socket before the server reads it, so no read ever
  // waits for a deadline; answers for a handful of requests fit the socket's buffer.
  if (size > 32 * 1024) return 0;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
  if (size > 0 && ::send(fds[0], data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size))
    std::abort();
  ::shutdown(fds[0], SHUT_WR);
  server->serveConnection(fds[1]);  // closes its end
  std::string answers;
  char buffer[8192];
  for (ssize_t n; (n = ::recv(fds[0], buffer, sizeof buffer, 0)) > 0;)
    answers.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  if (!answers.empty() && answers.rfind("HTTP/1.1 ", 0) != 0) std::abort();
  // The secret file's marker in an answer means it was served, unless the client sent
  // the marker itself (a 404 names the file it looked for, from the request).
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (answers.find(kOutsideMarker) != std::string::npos &&
      input.find(kOutsideMarker) == std::string_view::npos)
    std::abort();
  return 0;
}
