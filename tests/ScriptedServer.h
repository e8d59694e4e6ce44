// Loopback HTTP for tests: a server whose answers each test scripts, and an address on
// which nothing listens.
#pragma once

#include <httplib.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "OrvRemoteConfig.h"

namespace orvtest {

class ScriptedServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
  // Answers POSTs to `path` (the fetch path by default).
  explicit ScriptedServer(const std::string& path = OrvRemoteConfig::kFetchPath) {
    server_.Post(path, [this](const auto& req, auto& res) {
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

// A loopback address on which nothing listens (port 1 is not served on a test machine).
constexpr const char* kClosedPortUrl = "http://127.0.0.1:1";

}  // namespace orvtest
