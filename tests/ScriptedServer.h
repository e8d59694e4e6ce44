// Loopback HTTP for tests: a server whose answers each test scripts, and a port on
// which nothing listens.
#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "OrvRemoteConfig.h"

namespace orvtest {

class ScriptedServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
  ScriptedServer() {
    server_.Post(OrvRemoteConfig::kFetchPath, [this](const auto& req, auto& res) {
      std::unique_lock lock(mutex_);
      Handler handler = handler_;
      lock.unlock();
      handler(req, res);
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~ScriptedServer() {
    server_.stop();
    thread_.join();
  }
  void answer(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  httplib::Server server_;
  std::mutex mutex_;
  Handler handler_;
  int port_ = 0;
  std::thread thread_;
};

// A loopback address on which nothing listens: a port bound, then closed again.
inline std::string closedPortUrl() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

}  // namespace orvtest
