#include "OrvConfigServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "OrvEventCollector.h"
#include "OrvRemoteConfig.h"
#include "platform/OrvIsoTime.h"
#include "platform/OrvMD5.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kIdleReadTimeout = std::chrono::seconds(5);  // between bytes of a request
constexpr auto kWriteTimeout = std::chrono::seconds(5);
constexpr auto kKeepAliveTimeout = std::chrono::seconds(5);
constexpr std::size_t kKeepAliveMaxRequests = 5;

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

// The payload file of a request: a regular file inside `directory` (a symbolic link
// only while it leads to one there), opened without blocking (a FIFO would hold the
// worker) and read up to the size limit. Returns the HTTP status it calls for.
int readPayload(const std::string& directory, const std::string& file, std::string* content,
                std::string* problem) {
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char, Free> root(::realpath(directory.c_str(), nullptr));
  std::unique_ptr<char, Free> real(::realpath(file.c_str(), nullptr));
  if (!root || !real || std::string(real.get()).rfind(std::string(root.get()) + "/", 0) != 0)
    return 404;
  const int fd = ::open(real.get(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 404;
  struct Close {
    int fd;
    ~Close() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 404;
  if (static_cast<std::size_t>(st.st_size) > OrvConfigServer::kMaxPayloadBytes) {
    *problem = "larger than " + std::to_string(OrvConfigServer::kMaxPayloadBytes) + " bytes";
    return 500;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *problem = std::string("cannot be read: ") + std::strerror(errno);
      return 500;
    }
    if (n == 0) return 200;
    content->append(buffer, static_cast<std::size_t>(n));
    if (content->size() > OrvConfigServer::kMaxPayloadBytes) {
      *problem = "grew past " + std::to_string(OrvConfigServer::kMaxPayloadBytes) + " bytes";
      return 500;
    }
  }
}

// What the request log needs to know of the request a server thread is answering.
struct RequestNote {
  std::chrono::steady_clock::time_point start;
  std::string app = "-";
  std::string missingFile;
};
thread_local RequestNote currentRequest;

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
  long maxAge = -1;  // constant once serving

  Server server{*this};
  std::thread thread;
  int port = 0;
  std::atomic<bool> stopping{false};

  mutable std::mutex mutex;
  // Guarded by mutex.
  std::deque<Request> requests;
  std::map<std::string, std::size_t> connectionsPerClient;
  std::set<int> openSockets;

  void record(Request r) {
    std::lock_guard lock(mutex);
    requests.push_back(std::move(r));
    if (requests.size() > kMaxLoggedRequests) requests.pop_front();
  }

  void serve(int fd) {
    std::string client;
    int clientPort = 0;
    socketAddress(fd, true, client, clientPort);
    bool admitted = false;
    {
      std::lock_guard lock(mutex);
      if (!stopping && openSockets.size() < kMaxConnections &&
          connectionsPerClient[client] < kMaxConnectionsPerClient) {
        ++connectionsPerClient[client];
        openSockets.insert(fd);
        admitted = true;
      }
    }
    if (!admitted) {
      static constexpr char kBusy[] =
          "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      [[maybe_unused]] const ssize_t ignored =
          ::send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    } else {
      DeadlineStream stream(fd);
      for (std::size_t i = 0; i < kKeepAliveMaxRequests && !stopping; ++i) {
        if (!waitFor(fd, POLLIN, Clock::now() + kKeepAliveTimeout)) break;
        stream.startRequest();
        bool closed = false;
        if (!server.serveRequest(stream, i + 1 == kKeepAliveMaxRequests, closed) || closed) break;
      }
      std::lock_guard lock(mutex);
      if (--connectionsPerClient[client] == 0) connectionsPerClient.erase(client);
      // Removed before it is closed, so stop() never shuts down a reused descriptor.
      openSockets.erase(fd);
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }

  void handle(const httplib::Request& req, httplib::Response& res) {
    Request seen;
    seen.ifNoneMatch = req.get_header_value("If-None-Match");
    auto parsed = OrvValue::parseJson(req.body);
    auto answer = [&](int status, const std::string& error) {
      res.status = status;
      if (!error.empty()) {
        res.set_content(OrvValue::dictionary({{"error", OrvValue(error)}}).toJson(),
                        "application/json");
      }
      seen.status = status;
      // What the log keeps is bounded; the parsed body goes with this request.
      if (req.body.size() <= kMaxLoggedBodyBytes) seen.body = parsed.value;
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
    const int status = readPayload(directory, file, &content, &problem);
    if (status == 404) {
      // Named relative to DIR for the client, in full in the server's log.
      currentRequest.missingFile = file;
      return answer(404, "unknown application: no file " + appId + "/" + templateCode +
                             ".json in the served directory");
    }
    if (status == 200) {
      auto payload = OrvValue::parseJson(content);
      if (!payload.value.isDictionary())
        problem = "is not a JSON object" + (payload.ok() ? std::string() : ": " + payload.error);
    }
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
};

OrvConfigServer::OrvConfigServer(std::string directory) : impl_(std::make_unique<Impl>()) {
  impl_->directory = std::move(directory);
  auto& server = impl_->server;
  server.set_payload_max_length(kMaxRequestBytes);
  // A worker for every connection admitted, so a slow one never holds up another.
  server.new_task_queue = [] { return new httplib::ThreadPool(kMaxConnections); };
  // SO_REUSEADDR only: httplib's default adds SO_REUSEPORT, which lets a second server
  // bind a port already in use and take part of its connections.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.Post(
      OrvRemoteConfig::kFetchPath,
      [this](const httplib::Request& req, httplib::Response& res) { impl_->handle(req, res); });
}

OrvConfigServer::~OrvConfigServer() { stop(); }

void OrvConfigServer::setMaxAge(long seconds) { impl_->maxAge = seconds; }

void OrvConfigServer::logRequestsTo(std::function<void(const std::string& line)> log) {
  impl_->server.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
    currentRequest = RequestNote{};
    currentRequest.start = std::chrono::steady_clock::now();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  impl_->server.set_logger(
      [log = std::move(log)](const httplib::Request& req, const httplib::Response& res) {
        RequestNote note = std::move(currentRequest);
        currentRequest = RequestNote{};
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

void OrvConfigServer::collectEventsTo(const std::string& path) {
  impl_->collector = std::make_unique<OrvEventCollector>(path);
  impl_->server.Post("/v1/logs", [this](const httplib::Request& req, httplib::Response& res) {
    const auto answer = impl_->collector->handle(req.body, req.get_header_value("Content-Type"));
    res.status = answer.status;
    res.set_content(answer.body, "application/json");
  });
}

bool OrvConfigServer::start(const std::string& host, int port) {
  if (port == 0) {
    impl_->port = impl_->server.bind_to_any_port(host);
    if (impl_->port <= 0) return false;
  } else {
    if (!impl_->server.bind_to_port(host, port)) return false;
    impl_->port = port;
  }
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  return true;
}

void OrvConfigServer::stop() {
  impl_->stopping = true;
  {
    // Connections waiting for a slow client end now instead of at their deadline.
    std::lock_guard lock(impl_->mutex);
    for (int fd : impl_->openSockets) ::shutdown(fd, SHUT_RDWR);
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
