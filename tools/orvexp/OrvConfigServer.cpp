#include "OrvConfigServer.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "OrvAssignment.h"
#include "OrvEventCollector.h"
#include "OrvOfrep.h"
#include "OrvRemoteConfig.h"
#include "OrvReportPage.h"
#include "platform/OrvIsoTime.h"
#include "platform/OrvMD5.h"
#include "platform/OrvRegularFile.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kIdleReadTimeout = std::chrono::seconds(5);  // between bytes of a request
constexpr auto kWriteTimeout = std::chrono::seconds(5);
constexpr auto kKeepAliveTimeout = std::chrono::seconds(5);
constexpr std::size_t kKeepAliveMaxRequests = 5;
// How long a refused connection is drained before it is closed (see lingerAfterAnswer).
constexpr auto kRefusalLinger = std::chrono::milliseconds(250);

// Waits until `fd` is ready for `events` (or failed: the next call reports it), or
// until `deadline`; false on the deadline.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// "ip" and port of either end of a socket; "" and -1 when it is not an IP socket.
void socketAddress(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  ip.clear();
  port = -1;
  if ((peer ? ::getpeername(fd, raw, &length) : ::getsockname(fd, raw, &length)) != 0) return;
  char text[INET6_ADDRSTRLEN] = {0};
  if (address.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    port = ntohs(in->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    port = ntohs(in6->sin6_port);
  }
  ip = text;
}

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

}  // namespace

int OrvConfigServer::readPayloadFile(const std::string& directory, const std::string& file,
                                     std::string* content, std::string* problem) {
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char, Free> root(::realpath(directory.c_str(), nullptr));
  std::unique_ptr<char, Free> real(::realpath(file.c_str(), nullptr));
  if (!root || !real || std::string(real.get()).rfind(std::string(root.get()) + "/", 0) != 0)
    return 404;
  OrvRegularFile read = OrvRegularFile::read(real.get(), kMaxPayloadBytes, false);
  switch (read.outcome) {
    case OrvRegularFile::Outcome::kRead:
      *content = std::move(read.content);
      return 200;
    case OrvRegularFile::Outcome::kMissing:
    case OrvRegularFile::Outcome::kCannotOpen:
    case OrvRegularFile::Outcome::kNotRegular:
      return 404;
    case OrvRegularFile::Outcome::kTooLarge:
      *problem = "larger than " + std::to_string(kMaxPayloadBytes) + " bytes";
      return 500;
    case OrvRegularFile::Outcome::kCannotRead:
      *problem = std::string("cannot be read: ") + std::strerror(read.error);
      return 500;
  }
  return 500;
}

namespace {

// After an answer that left part of a body unread: closing at once would reset the
// connection, and a reset can destroy the answer before the client reads it. So the
// answer is ended (FIN) and what the client still sends is read and dropped until it
// stops, up to kLingerBytes or `time`.
void lingerAfterAnswer(int fd, Clock::duration time = std::chrono::seconds(2)) {
  constexpr std::size_t kLingerBytes = 4u << 20;
  ::shutdown(fd, SHUT_WR);
  const auto deadline = Clock::now() + time;
  char buffer[16384];
  for (std::size_t dropped = 0; dropped < kLingerBytes && waitFor(fd, POLLIN, deadline);) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    dropped += static_cast<std::size_t>(n);
  }
}

// What the request log needs to know of the request a server thread is answering.
struct RequestNote {
  std::chrono::steady_clock::time_point start;
  std::string app = "-";
  std::string missingFile;
};
thread_local RequestNote currentRequest;
// Set when an answer leaves part of the request's body unread: the connection cannot
// carry another request and is closed after the answer.
thread_local bool closeAfterAnswer = false;
// Set on the accepting thread when no connection thread could be started: serve()
// then only answers 503.
thread_local bool refuseEveryConnection = false;
// Set while start() warms the HTTP library up: those requests are not logged.
thread_local bool warmingUp = false;

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
    refuseEveryConnection = true;
    fn();
    refuseEveryConnection = false;
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
                  HeldBytes* held, std::size_t* taken) {
  BodyRead outcome = BodyRead::kWhole;
  const bool complete = reader([&](const char* data, std::size_t length) {
    if (body->size() + length > limit) {
      outcome = BodyRead::kTooLarge;
      return false;
    }
    if (held) {
      if (!held->take(length)) {
        outcome = BodyRead::kNoRoom;
        return false;
      }
      *taken += length;
    }
    body->append(data, length);
    return true;
  });
  if (complete) return BodyRead::kWhole;
  closeAfterAnswer = true;
  return outcome == BodyRead::kWhole ? BodyRead::kBroken : outcome;
}

}  // namespace

struct OrvConfigServer::Impl {
  // httplib runs every accepted connection through process_and_close_socket (a private
  // virtual of its server, overridden here), so each one goes through serve(): our
  // stream with its deadlines, our connection limits.
  class Server : public httplib::Server {
   public:
    explicit Server(Impl& impl) : impl_(impl) {}
    bool serveRequest(httplib::Stream& stream, bool last, bool& closed) {
      return process_request(stream, last, closed, nullptr);
    }

   private:
    bool process_and_close_socket(socket_t sock) override {
      impl_.serve(sock);
      return true;
    }
    Impl& impl_;
  };

  // Constant after construction.
  std::string directory;
  std::unique_ptr<OrvEventCollector> collector;
  long maxAge = -1;                                                // constant once serving
  std::size_t maxConnectionsPerClient = kMaxConnectionsPerClient;  // constant once serving
  HeldBytes heldLogsBytes;
  bool ofrepExposures = true;  // constant once serving

  Server server{*this};
  int listeningSocket = -1;  // written while binding, before the serving thread starts
  std::thread thread;
  int port = 0;
  std::atomic<bool> stopping{false};

  struct OpenConnection {
    std::string client;
    Clock::time_point since;
    bool evicted = false;  // shut down to make room; its thread has yet to end
  };

  mutable std::mutex mutex;
  // Guarded by mutex.
  std::deque<Request> requests;
  std::map<std::string, std::size_t> connectionsPerClient;  // evicted ones included
  std::map<int, OpenConnection> openSockets;
  std::size_t evictedCount = 0;
  // Event ids of OFREP exposures known stored, so a unit that evaluates again costs no
  // write; the store keeps each id once anyway, so forgetting them all when the set is
  // full (kMaxRememberedExposures) costs only writes.
  std::unordered_set<std::string> exposuresStored;
  static constexpr std::size_t kMaxRememberedExposures = 100'000;

  enum class Admission { kAdmitted, kClientFull, kServerFull, kNotServing };

  // Whether `client` may open another connection (see the class comment); makes room by
  // evicting when the server is full. Called with mutex held.
  Admission admitLocked(int fd, const std::string& client) {
    if (stopping || refuseEveryConnection) return Admission::kNotServing;
    const auto mine = connectionsPerClient.find(client);
    const std::size_t held = mine == connectionsPerClient.end() ? 0 : mine->second;
    if (held >= maxConnectionsPerClient) return Admission::kClientFull;
    if (openSockets.size() - evictedCount >= kMaxConnections) {
      std::string heaviest;
      std::size_t most = 0;
      for (const auto& [address, count] : connectionsPerClient)
        if (count > most) most = count, heaviest = address;
      if (most < held + 2) return Admission::kServerFull;
      OpenConnection* oldest = nullptr;
      int oldestFd = -1;
      for (auto& [socket, open] : openSockets) {
        if (open.client != heaviest || open.evicted) continue;
        if (!oldest || open.since < oldest->since) oldest = &open, oldestFd = socket;
      }
      if (!oldest) return Admission::kServerFull;
      oldest->evicted = true;
      ++evictedCount;
      ::shutdown(oldestFd, SHUT_RDWR);
    }
    ++connectionsPerClient[client];
    openSockets[fd] = OpenConnection{client, Clock::now()};
    return Admission::kAdmitted;
  }

  // The 503 of a connection refused, its body saying why and what to do.
  std::string refusal(Admission why) const {
    std::string body;
    switch (why) {
      case Admission::kClientFull:
        body = "orvexp serve: this client address already holds " +
               std::to_string(maxConnectionsPerClient) +
               " connections, the most one address may hold at once. Close one and retry, or "
               "start orvexp serve with --max-connections-per-client N (1 to " +
               std::to_string(kMaxConnections) + ", default " +
               std::to_string(kMaxConnectionsPerClient) + ") to allow more.\n";
        break;
      case Admission::kServerFull:
        body = "orvexp serve: all " + std::to_string(kMaxConnections) +
               " connections it serves at once are taken; retry later.\n";
        break;
      default:
        body =
            "orvexp serve: not taking connections now (stopping, or out of threads); retry "
            "later.\n";
    }
    return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\nRetry-After: 1\r\nConnection: close\r\n\r\n" + body;
  }

  void record(Request r) {
    std::lock_guard lock(mutex);
    requests.push_back(std::move(r));
    if (requests.size() > kMaxLoggedRequests) requests.pop_front();
  }

  void serve(int fd) {
    closeAfterAnswer = false;
    std::string client;
    int clientPort = 0;
    socketAddress(fd, true, client, clientPort);
    Admission admission = Admission::kNotServing;
    {
      std::lock_guard lock(mutex);
      admission = admitLocked(fd, client);
    }
    if (admission != Admission::kAdmitted) {
      const std::string busy = refusal(admission);
      [[maybe_unused]] const ssize_t ignored =
          ::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      // The request unread would turn the close into a reset, which can destroy the
      // answer before the client reads it. Not on the accepting thread (out of threads),
      // which must not wait.
      if (!refuseEveryConnection) lingerAfterAnswer(fd, kRefusalLinger);
    } else {
      // An answer goes out in several writes (status and headers, then the body); with
      // Nagle's algorithm the last one waits for the client's delayed ACK, 40 ms.
      int yes = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
      DeadlineStream stream(fd);
      for (std::size_t i = 0; i < kKeepAliveMaxRequests && !stopping; ++i) {
        if (!waitFor(fd, POLLIN, Clock::now() + kKeepAliveTimeout)) break;
        stream.startRequest();
        bool closed = false;
        closeAfterAnswer = false;
        if (!server.serveRequest(stream, i + 1 == kKeepAliveMaxRequests, closed) || closed ||
            closeAfterAnswer)
          break;
      }
      std::lock_guard lock(mutex);
      if (--connectionsPerClient[client] == 0) connectionsPerClient.erase(client);
      // Removed before it is closed, so neither stop() nor an eviction ever shuts down a
      // reused descriptor.
      const auto open = openSockets.find(fd);
      if (open->second.evicted) --evictedCount;
      openSockets.erase(open);
    }
    if (closeAfterAnswer) lingerAfterAnswer(fd);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }

  // The HTTP library builds function-local statics on its first requests (a set of
  // method names, for one). Built here, on the thread that starts the server, they are
  // ordered before every connection thread in a way ThreadSanitizer sees too: the
  // library is not instrumented, so the fast path of its static guards shows no order
  // between two connection threads. Goes through no handler of ours.
  void warmUp() {
    static constexpr char kRequests[] =
        "GET /orv-warm-up HTTP/1.1\r\nHost: x\r\n\r\n"
        "POST /orv-warm-up HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
        "Content-Length: 2\r\nConnection: close\r\n\r\n{}";
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
    if (::send(fds[0], kRequests, sizeof kRequests - 1, MSG_NOSIGNAL) > 0) {
      ::shutdown(fds[0], SHUT_WR);
      warmingUp = true;
      serve(fds[1]);  // closes its end
      warmingUp = false;
    } else {
      ::close(fds[1]);
    }
    ::close(fds[0]);
  }

  // The payload `file` holds: 200 with its text and value, 404 when there is no such
  // file in the served directory, else 500 with `*problem` saying what is wrong with it
  // (unreadable, too large, not a JSON object, "#groups" it cannot resolve).
  int loadPayload(const std::string& file, std::string* content, OrvValue* payload,
                  std::string* problem) const {
    const int status = readPayloadFile(directory, file, content, problem);
    if (status != 200) return status;
    auto parsed = OrvValue::parseJson(*content);
    if (!parsed.value.isDictionary()) {
      *problem = "is not a JSON object" + (parsed.ok() ? std::string() : ": " + parsed.error);
      return 500;
    }
    *payload = std::move(parsed.value);
    if (OrvAssignment::hasGroups(*payload)) *problem = OrvAssignment::problemOf(*payload);
    return problem->empty() ? 200 : 500;
  }

  void handle(const httplib::Request& req, httplib::Response& res,
              const httplib::ContentReader& reader) {
    Request seen;
    seen.ifNoneMatch = req.get_header_value("If-None-Match");
    std::string text;
    const BodyRead read = readBody(reader, kMaxRequestBytes, &text, nullptr, nullptr);
    if (read != BodyRead::kWhole) {
      res.status = read == BodyRead::kTooLarge ? 413 : 400;
      seen.status = res.status;
      record(std::move(seen));
      return;
    }
    auto parsed = OrvValue::parseJson(text);
    auto answer = [&](int status, const std::string& error) {
      res.status = status;
      if (!error.empty()) {
        res.set_content(OrvValue::dictionary({{"error", OrvValue(error)}}).toJson(),
                        "application/json");
      }
      seen.status = status;
      // What the log keeps is bounded; the parsed body goes with this request.
      if (text.size() <= kMaxLoggedBodyBytes) seen.body = parsed.value;
      record(std::move(seen));
    };
    const OrvValue& body = parsed.value;
    if (!parsed.ok() || !body.isDictionary() || !body["app_id"].isString()) {
      return answer(400, "the request body must be a JSON object with a string \"app_id\"");
    }
    const OrvValue& code = body["template_code"];
    if (!code.isAbsent() && !code.isString())
      return answer(400, "\"template_code\" must be a string");
    const std::string appId = body["app_id"].stringValue();
    const std::string templateCode = code.isString() ? code.stringValue() : "ki_feature";
    currentRequest.app = appId.size() > 64 ? appId.substr(0, 64) + "..." : appId;
    if (!isSafeIdentifier(appId) || !isSafeIdentifier(templateCode)) {
      return answer(404, "unknown application");
    }
    const std::string file = payloadPath(directory, appId, templateCode);
    std::string content;
    std::string problem;
    OrvValue payload;
    const int status = loadPayload(file, &content, &payload, &problem);
    if (status == 404) {
      // Named relative to DIR for the client, in full in the server's log.
      currentRequest.missingFile = file;
      return answer(404, "unknown application: no file " + appId + "/" + templateCode +
                             ".json in the served directory");
    }
    if (status == 200 && OrvAssignment::hasGroups(payload))
      content = OrvAssignment::resolve(payload, OrvAssignment::unitOf(body), nullptr).toJson();
    if (!problem.empty()) {
      std::cerr << ("orvexp serve: " + file + " " + problem + "; answered 500\n");
      return answer(500, "the payload on the server is unusable");
    }
    std::string etag(1, '"');
    etag += OrvMD5::hex(content);
    etag += '"';
    res.set_header("ETag", etag);
    if (maxAge >= 0) res.set_header("Cache-Control", "max-age=" + std::to_string(maxAge));
    if (seen.ifNoneMatch == etag) return answer(304, "");
    res.set_content(content, "application/json");
    answer(200, "");
  }

  // OFREP evaluation (OrvOfrep.h) of the application the path names (`pathApp`) or
  // the header does; one flag, or every flag without `flagKey`.
  void handleOfrep(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& reader, const std::string& pathApp,
                   const std::string* flagKey);
  // Stores the exposures an evaluation made that are not known stored.
  void recordExposures(const std::vector<OrvMediatorEvent>& events);
};

void OrvConfigServer::Impl::handleOfrep(const httplib::Request& req, httplib::Response& res,
                                        const httplib::ContentReader& reader,
                                        const std::string& pathApp, const std::string* flagKey) {
  Request seen;
  seen.ifNoneMatch = req.get_header_value("If-None-Match");
  std::string text;
  const BodyRead read = readBody(reader, kMaxRequestBytes, &text, nullptr, nullptr);
  const std::string headerApp = req.get_header_value(OrvOfrep::kAppHeader);
  const std::string appId = pathApp.empty() ? headerApp : pathApp;
  currentRequest.app = appId.size() > 64 ? appId.substr(0, 64) + "..." : appId;
  OrvOfrep::Answer answer;
  if (read != BodyRead::kWhole) {
    answer = read == BodyRead::kTooLarge
                 ? OrvOfrep::error(413, flagKey, "GENERAL",
                                   "the request body is larger than " +
                                       std::to_string(kMaxRequestBytes) + " bytes")
                 : OrvOfrep::error(400, flagKey, "PARSE_ERROR", "the request body is incomplete");
  } else if (appId.empty() || (!pathApp.empty() && !headerApp.empty() && headerApp != pathApp)) {
    answer =
        OrvOfrep::error(400, flagKey, "GENERAL",
                        "name one application: the header " + std::string(OrvOfrep::kAppHeader) +
                            " or the path /apps/<app>/ofrep/v1/evaluate/flags");
  } else if (!isSafeIdentifier(appId)) {
    answer = OrvOfrep::error(404, flagKey, flagKey ? "FLAG_NOT_FOUND" : "GENERAL",
                             "unknown application");
  } else {
    const std::string file = payloadPath(directory, appId, "ki_feature");
    std::string content;
    std::string problem;
    OrvValue payload;
    const int status = loadPayload(file, &content, &payload, &problem);
    if (status == 404) {
      currentRequest.missingFile = file;
      answer = OrvOfrep::error(
          404, flagKey, flagKey ? "FLAG_NOT_FOUND" : "GENERAL",
          "unknown application: no file " + appId + "/ki_feature.json in the served directory");
    } else if (!problem.empty()) {
      std::cerr << ("orvexp serve: " + file + " " + problem + "; answered 500\n");
      answer = OrvOfrep::error(500, flagKey, "GENERAL", "the payload on the server is unusable");
    } else {
      answer = OrvOfrep::evaluate(payload, appId, flagKey, text, seen.ifNoneMatch);
    }
  }
  if (collector && ofrepExposures && !answer.exposures.empty()) recordExposures(answer.exposures);
  res.status = answer.status;
  if (!answer.etag.empty()) res.set_header("ETag", answer.etag);
  if (!answer.body.empty()) res.set_content(answer.body, "application/json");
  seen.status = answer.status;
  if (text.size() <= kMaxLoggedBodyBytes) seen.body = OrvValue::parseJson(text).value;
  record(std::move(seen));
}

void OrvConfigServer::Impl::recordExposures(const std::vector<OrvMediatorEvent>& events) {
  std::vector<OrvMediatorEvent> fresh;
  {
    std::lock_guard lock(mutex);
    for (const OrvMediatorEvent& event : events)
      if (!exposuresStored.count(event.eventId)) fresh.push_back(event);
  }
  if (fresh.empty()) return;
  std::size_t added = 0;
  std::string why;
  // The evaluation is answered either way: an exposure that could not be stored now is
  // tried again by the unit's next evaluation.
  if (!collector->store().add(fresh, &added, &why)) {
    std::cerr << ("orvexp serve: an OFREP exposure was not stored: " + why + "\n");
    return;
  }
  std::lock_guard lock(mutex);
  if (exposuresStored.size() + fresh.size() > kMaxRememberedExposures) exposuresStored.clear();
  for (const OrvMediatorEvent& event : fresh) exposuresStored.insert(event.eventId);
}

OrvConfigServer::OrvConfigServer(std::string directory) : impl_(std::make_unique<Impl>()) {
  impl_->directory = std::move(directory);
  auto& server = impl_->server;
  // Bodies are bounded by what they decode to, in readBody(); this bounds the bytes sent
  // for one, as a Content-Length announces them.
  server.set_payload_max_length(kMaxLogsRequestBytes);
  server.new_task_queue = [] { return new ConnectionThreads(); };
  // SO_REUSEADDR only: httplib's default adds SO_REUSEPORT, which lets a second server
  // bind a port already in use and take part of its connections.
  server.set_socket_options([impl = impl_.get()](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    impl->listeningSocket = sock;  // the last one made is the one bound
  });
  server.Post(OrvRemoteConfig::kFetchPath,
              [this](const httplib::Request& req, httplib::Response& res,
                     const httplib::ContentReader& reader) { impl_->handle(req, res, reader); });
  // OFREP: the application by header or by path prefix; a flag key is one path segment.
  auto ofrep = [this](const std::string& pattern, bool byPath, bool single) {
    impl_->server.Post(
        pattern, [this, byPath, single](const httplib::Request& req, httplib::Response& res,
                                        const httplib::ContentReader& reader) {
          const std::string app = byPath ? req.matches[1].str() : std::string();
          const std::string key = single ? req.matches[byPath ? 2 : 1].str() : std::string();
          impl_->handleOfrep(req, res, reader, app, single ? &key : nullptr);
        });
  };
  const std::string flags = OrvOfrep::kPath;
  ofrep(flags, false, false);
  ofrep(flags + "/([^/]+)", false, true);
  ofrep("/apps/([^/]+)" + flags, true, false);
  ofrep("/apps/([^/]+)" + flags + "/([^/]+)", true, true);
  // Runs before any body is read. A multipart body would be taken apart by the HTTP
  // library before any handler could bound it; no endpoint takes one.
  server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    currentRequest = RequestNote{};
    currentRequest.start = std::chrono::steady_clock::now();
    if (req.get_header_value("Content-Type").rfind("multipart/", 0) == 0) {
      res.status = 415;
      closeAfterAnswer = true;
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
}

OrvConfigServer::~OrvConfigServer() { stop(); }

void OrvConfigServer::setOfrepExposures(bool record) { impl_->ofrepExposures = record; }

void OrvConfigServer::setMaxAge(long seconds) { impl_->maxAge = seconds; }

bool OrvConfigServer::setMaxConnectionsPerClient(std::size_t connections) {
  if (connections < 1 || connections > kMaxConnections) return false;
  impl_->maxConnectionsPerClient = connections;
  return true;
}

void OrvConfigServer::logRequestsTo(std::function<void(const std::string& line)> log) {
  impl_->server.set_logger(
      [log = std::move(log)](const httplib::Request& req, const httplib::Response& res) {
        RequestNote note = std::move(currentRequest);
        currentRequest = RequestNote{};
        if (warmingUp) return;
        char took[32] = "-";
        if (note.start != std::chrono::steady_clock::time_point{}) {
          const std::chrono::duration<double, std::milli> ms =
              std::chrono::steady_clock::now() - note.start;
          std::snprintf(took, sizeof took, "%.1f ms", ms.count());
        }
        std::string line = orvIsoTime(std::chrono::system_clock::now()) + " " + req.method + " " +
                           req.path + " app=" + note.app + " " + std::to_string(res.status) + " " +
                           std::to_string(res.body.size()) + " bytes " + took;
        if (!note.missingFile.empty()) line += ": no file " + note.missingFile;
        // Paths and identifiers come from clients: one request stays one line.
        for (char& c : line) {
          if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
        }
        log(line);
      });
}

bool OrvConfigServer::collectEventsTo(const std::string& path, std::string* error) {
  std::string why;
  impl_->collector = OrvEventCollector::open(path, &why);
  if (!impl_->collector) {
    if (error) *error = why;
    return false;
  }
  Impl& impl = *impl_;
  impl.server.Post("/v1/logs", [&impl](const httplib::Request& req, httplib::Response& res,
                                       const httplib::ContentReader& reader) {
    std::string body;
    std::size_t taken = 0;
    const BodyRead read =
        readBody(reader, kMaxLogsRequestBytes, &body, &impl.heldLogsBytes, &taken);
    OrvEventCollector::Answer answer;
    if (read == BodyRead::kWhole) {
      answer = impl.collector->handle(body, req.get_header_value("Content-Type"));
    } else if (read == BodyRead::kTooLarge) {
      answer = {413, OrvEventCollector::statusBody(413, "the request body decodes to more than " +
                                                            std::to_string(kMaxLogsRequestBytes) +
                                                            " bytes")};
    } else if (read == BodyRead::kNoRoom) {
      answer = {503, OrvEventCollector::statusBody(503, "busy with other requests; retry"), 1};
    } else {
      answer = {400, OrvEventCollector::statusBody(400, "the request body could not be read")};
    }
    impl.heldLogsBytes.give(taken);
    res.status = answer.status;
    if (answer.retryAfterSeconds >= 0)
      res.set_header("Retry-After", std::to_string(answer.retryAfterSeconds));
    res.set_content(answer.body, "application/json");
  });
  OrvReportPage::serve(impl.server, impl.collector->store(), impl.directory);
  return true;
}

bool OrvConfigServer::start(const std::string& host, int port) {
  if (port == 0) {
    impl_->port = impl_->server.bind_to_any_port(host);
    if (impl_->port <= 0) return false;
  } else {
    if (!impl_->server.bind_to_port(host, port)) return false;
    impl_->port = port;
  }
  // The HTTP library listens with a backlog of 5: a burst of clients would wait for a
  // SYN retransmission (a second, then three) before their connection is even seen.
  // Listening again only changes the backlog.
  if (impl_->listeningSocket >= 0) ::listen(impl_->listeningSocket, SOMAXCONN);
  impl_->warmUp();
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  return true;
}

void OrvConfigServer::stop() {
  impl_->stopping = true;
  {
    // Connections waiting for a slow client end now instead of at their deadline.
    std::lock_guard lock(impl_->mutex);
    for (const auto& [fd, open] : impl_->openSockets) ::shutdown(fd, SHUT_RDWR);
  }
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

int OrvConfigServer::port() const { return impl_->port; }

std::string OrvConfigServer::url() const {
  return "http://127.0.0.1:" + std::to_string(impl_->port);
}

std::vector<OrvConfigServer::Request> OrvConfigServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return {impl_->requests.begin(), impl_->requests.end()};
}

void OrvConfigServer::serveConnection(int socket) { impl_->serve(socket); }

std::string OrvConfigServer::payloadPath(const std::string& directory, const std::string& appId,
                                         const std::string& templateCode) {
  return directory + "/" + appId + "/" + templateCode + ".json";
}

bool OrvConfigServer::isSafeIdentifier(const std::string& id) {
  if (id.empty() || id.size() > 200 || id[0] == '.') return false;
  for (char c : id) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}
