// The connection layer of `orvexp serve`, below its routes: which connections are
// admitted (OrvAdmission: per-client and total bounds, and when the server is full the
// eviction of the oldest connection of the client that holds the most), the stream a
// connection is read through (a deadline for each whole request), a close that does not
// reset an answer, a thread per admitted connection, and a request body's bound on what
// it decodes to. The routes (OrvConfigServer.cpp) use these; nothing here knows a route.
//
// Thread-safety: OrvAdmission and HeldBytes are thread-safe; a DeadlineStream belongs to
// one connection; closeAfterAnswer and refuseEveryConnection are per thread.
#pragma once

#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/OrvConfigServer.h"

namespace orv_serve {

using Clock = std::chrono::steady_clock;

inline constexpr auto kIdleReadTimeout = std::chrono::seconds(5);  // between bytes of a request
inline constexpr auto kWriteTimeout = std::chrono::seconds(5);
inline constexpr auto kKeepAliveTimeout = std::chrono::seconds(5);
inline constexpr std::size_t kKeepAliveMaxRequests = 5;
// How long a refused connection is drained before it is closed (see lingerAfterAnswer).
inline constexpr auto kRefusalLinger = std::chrono::milliseconds(250);

// Waits until `fd` is ready for `events` (or failed: the next call reports it), or
// until `deadline`; false on the deadline.
bool waitFor(int fd, short events, Clock::time_point deadline);

// "ip" and port of either end of a socket; "" and -1 when it is not an IP socket.
void socketAddress(int fd, bool peer, std::string& ip, int& port);

// A connection's socket as httplib reads and writes it, with a deadline for the whole
// request: a client that trickles its headers or body is cut off at the deadline
// however often it sends a byte.
class DeadlineStream : public httplib::Stream {
 public:
  explicit DeadlineStream(int fd) : fd_(fd) {}
  void startRequest() { deadline_ = Clock::now() + OrvConfigServer::kRequestTimeout; }

  bool is_readable() const override {
    return waitFor(fd_, POLLIN, std::min(deadline_, Clock::now() + kIdleReadTimeout));
  }
  bool is_writable() const override { return waitFor(fd_, POLLOUT, Clock::now() + kWriteTimeout); }
  ssize_t read(char* ptr, size_t size) override {
    if (!is_readable()) return -1;
    ssize_t n;
    do {
      n = ::recv(fd_, ptr, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  using httplib::Stream::write;
  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n;
    do {
      n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    socketAddress(fd_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    socketAddress(fd_, false, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  const int fd_;
  Clock::time_point deadline_ = Clock::now();
};

// After an answer that left part of a body unread: closing at once would reset the
// connection, and a reset can destroy the answer before the client reads it. So the
// answer is ended (FIN) and what the client still sends is read and dropped until it
// stops, up to kLingerBytes or `time`.
void lingerAfterAnswer(int fd, Clock::duration time = std::chrono::seconds(2));

// Set when an answer leaves part of the request's body unread: the connection cannot
// carry another request and is closed after the answer.
bool& closeAfterAnswer();
// Set on the accepting thread when no connection thread could be started: a connection
// is then only answered 503.
bool& refuseEveryConnection();

// httplib hands each accepted socket to a task queue. This one starts a thread per
// connection at once, so every connection reaches admission (serve()) at once, and a
// connection refused is answered at once, however many slow ones are open. Admission
// bounds the connections kept; kMaxThreads bounds the threads in between.
class ConnectionThreads : public httplib::TaskQueue {
 public:
  static constexpr std::size_t kMaxThreads = 1024;

  void enqueue(std::function<void()> fn) override {
    std::unique_lock lock(mutex_);
    reapLocked();
    if (threads_.size() < kMaxThreads) {
      auto done = std::make_shared<std::atomic<bool>>(false);
      try {
        threads_.push_back({std::thread([fn, done] {
                              fn();
                              *done = true;
                            }),
                            done});
        return;
      } catch (const std::system_error&) {
      }
    }
    lock.unlock();
    refuseEveryConnection() = true;
    fn();
    refuseEveryConnection() = false;
  }

  void shutdown() override {
    std::list<Worker> all;
    {
      std::lock_guard lock(mutex_);
      all.swap(threads_);
    }
    for (Worker& w : all) w.thread.join();
  }

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void reapLocked() {
    for (auto it = threads_.begin(); it != threads_.end();) {
      if (*it->done) {
        it->thread.join();
        it = threads_.erase(it);
      } else {
        ++it;
      }
    }
  }
  std::mutex mutex_;
  std::list<Worker> threads_;  // guarded by mutex_
};

// Log request bytes held at once across connections (see kMaxHeldLogsBytes).
class HeldBytes {
 public:
  bool take(std::size_t n) {
    std::size_t now = held_.load();
    do {
      if (now + n > OrvConfigServer::kMaxHeldLogsBytes) return false;
    } while (!held_.compare_exchange_weak(now, now + n));
    return true;
  }
  void give(std::size_t n) { held_ -= n; }

 private:
  std::atomic<std::size_t> held_{0};
};

enum class BodyRead { kWhole, kTooLarge, kNoRoom, kBroken };

// Reads the decoded body up to `limit` bytes, taking each chunk from `held` when given
// (given back by the caller through `*taken`). Decoding (gzip, brotli, deflate) and
// chunked framing happen below the receiver, so the bound holds for the bytes a body
// decodes to, and reading stops at the first chunk past it.
BodyRead readBody(const httplib::ContentReader& reader, std::size_t limit, std::string* body,
                  HeldBytes* held, std::size_t* taken);

// Which connections the server keeps (see OrvConfigServer's class comment).
class OrvAdmission {
 public:
  enum class Verdict { kAdmitted, kClientFull, kServerFull, kNotServing };

  // The connections one client address may hold at once. Set before serving.
  void setMaxPerClient(std::size_t connections) { maxPerClient_ = connections; }

  // Whether the connection `fd` of `client` is kept; makes room by evicting (shutting
  // down) another when the server is full. An admitted connection is released() when it
  // ends.
  Verdict admit(int fd, const std::string& client, bool stopping);
  void release(int fd, const std::string& client);
  // Shuts down every connection kept, so those waiting for a slow client end now.
  void shutdownAll();
  // The 503 answer of a connection refused, its body saying why and what to do.
  std::string refusal(Verdict why) const;

 private:
  struct OpenConnection {
    std::string client;
    Clock::time_point since;
    bool evicted = false;  // shut down to make room; its thread has yet to end
  };

  std::size_t maxPerClient_ = OrvConfigServer::kMaxConnectionsPerClient;  // constant once serving
  std::mutex mutex_;
  // Guarded by mutex_.
  std::map<std::string, std::size_t> connectionsPerClient_;  // evicted ones included
  std::map<int, OpenConnection> openSockets_;
  std::size_t evictedCount_ = 0;
};

}  // namespace orv_serve
