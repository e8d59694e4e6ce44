#include "server/OrvConfigServer.h"

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
#include "OrvRemoteConfig.h"
#include "collector/OrvEventCollector.h"
#include "payloads/OrvPayloadDirectory.h"
#include "platform/files/OrvRegularFile.h"
#include "platform/values/OrvIsoTime.h"
#include "platform/values/OrvMD5.h"
#include "report/OrvReportPage.h"
#include "server/OrvConnections.h"
#include "server/OrvOfrep.h"

namespace {

using namespace orv_serve;

// What the request log needs to know of the request a server thread is answering.
struct RequestNote {
  std::chrono::steady_clock::time_point start;
  std::string app = "-";
  std::string missingFile;
};
thread_local RequestNote currentRequest;
// Set while start() warms the HTTP library up: those requests are not logged.
thread_local bool warmingUp = false;

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
  OrvAdmission admission;
  HeldBytes heldLogsBytes;
  bool ofrepExposures = true;  // constant once serving

  Server server{*this};
  int listeningSocket = -1;  // written while binding, before the serving thread starts
  std::thread thread;
  int port = 0;
  std::atomic<bool> stopping{false};

  mutable std::mutex mutex;
  // Guarded by mutex.
  std::deque<Request> requests;
  // Event ids of OFREP exposures known stored, so a unit that evaluates again costs no
  // write; the store keeps each id once anyway, so forgetting them all when the set is
  // full (kMaxRememberedExposures) costs only writes.
  std::unordered_set<std::string> exposuresStored;
  static constexpr std::size_t kMaxRememberedExposures = 100'000;

  void record(Request r) {
    std::lock_guard lock(mutex);
    requests.push_back(std::move(r));
    if (requests.size() > kMaxLoggedRequests) requests.pop_front();
  }

  void serve(int fd) {
    closeAfterAnswer() = false;
    std::string client;
    int clientPort = 0;
    socketAddress(fd, true, client, clientPort);
    const OrvAdmission::Verdict verdict = admission.admit(fd, client, stopping);
    if (verdict != OrvAdmission::Verdict::kAdmitted) {
      const std::string busy = admission.refusal(verdict);
      [[maybe_unused]] const ssize_t ignored =
          ::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      // The request unread would turn the close into a reset, which can destroy the
      // answer before the client reads it. Not on the accepting thread (out of threads),
      // which must not wait.
      if (!refuseEveryConnection()) lingerAfterAnswer(fd, kRefusalLinger);
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
        closeAfterAnswer() = false;
        if (!server.serveRequest(stream, i + 1 == kKeepAliveMaxRequests, closed) || closed ||
            closeAfterAnswer())
          break;
      }
      admission.release(fd, client);
    }
    if (closeAfterAnswer()) lingerAfterAnswer(fd);
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
    const int status = OrvPayloadDirectory::readPayloadFile(directory, file, content, problem);
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
    if (!OrvPayloadDirectory::isSafeIdentifier(appId) ||
        !OrvPayloadDirectory::isSafeIdentifier(templateCode)) {
      return answer(404, "unknown application");
    }
    const std::string file = OrvPayloadDirectory::payloadPath(directory, appId, templateCode);
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
  } else if (!OrvPayloadDirectory::isSafeIdentifier(appId)) {
    answer = OrvOfrep::error(404, flagKey, flagKey ? "FLAG_NOT_FOUND" : "GENERAL",
                             "unknown application");
  } else {
    const std::string file = OrvPayloadDirectory::payloadPath(directory, appId, "ki_feature");
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
      closeAfterAnswer() = true;
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
  impl_->admission.setMaxPerClient(connections);
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
  // Connections waiting for a slow client end now instead of at their deadline.
  impl_->admission.shutdownAll();
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
