// Loopback HTTP servers for tests: one whose answers each test scripts, and a port on
// which nothing listens.
#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "OrvRemoteConfig.h"

namespace orvtest {

// A loopback server whose answer each test decides.
class ScriptedServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
  // Answers POSTs to `path` (the fetch path by default).
  explicit ScriptedServer(const std::string& path = OrvRemoteConfig::kFetchPath) {
    server_.Post(path, [this](const httplib::Request& req, httplib::Response& res) {
      Handler h;
      {
        std::lock_guard lock(mutex_);
        h = handler_;
      }
      h(req, res);
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~ScriptedServer() {
    server_.stop();
    thread_.join();
  }
  void answer(Handler h) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(h);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  httplib::Server server_;
  std::mutex mutex_;
  Handler handler_;
  int port_ = 0;
  std::thread thread_;
};

// A loopback port on which nothing listens: bound, then closed again.
inline int closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace orvtest
