#include "OrvConfigServer.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "OrvEventCollector.h"
#include "OrvRemoteConfig.h"
#include "platform/OrvMD5.h"

namespace {

// What the request log needs to know of the request a server thread is answering.
struct RequestNote {
  std::chrono::steady_clock::time_point start;
  std::string app = "-";
  std::string missingFile;
};
thread_local RequestNote currentRequest;

std::string utcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + 19, sizeof text - 19, ".%03dZ", static_cast<int>(ms));
  return text;
}

}  // namespace

struct OrvConfigServer::Impl {
  std::string directory;
  std::unique_ptr<OrvEventCollector> collector;
  httplib::Server server;
  std::thread thread;
  int port = 0;
  mutable std::mutex mutex;
  std::vector<Request> requests;  // guarded by mutex

  void record(Request r) {
    std::lock_guard lock(mutex);
    requests.push_back(std::move(r));
  }

  void handle(const httplib::Request& req, httplib::Response& res) {
    Request seen;
    seen.ifNoneMatch = req.get_header_value("If-None-Match");
    auto parsed = OrvValue::parseJson(req.body);
    seen.body = parsed.value;
    auto answer = [&](int status, const std::string& error) {
      res.status = status;
      if (!error.empty()) {
        res.set_content(OrvValue::dictionary({{"error", OrvValue(error)}}).toJson(),
                        "application/json");
      }
      seen.status = status;
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
    std::ifstream in(payloadPath(directory, appId, templateCode), std::ios::binary);
    if (!in) {
      // Named relative to DIR for the client, in full in the server's log.
      currentRequest.missingFile = payloadPath(directory, appId, templateCode);
      return answer(404, "unknown application: no file " + appId + "/" + templateCode +
                             ".json in the served directory");
    }
    std::ostringstream content;
    content << in.rdbuf();
    std::string etag(1, '"');
    etag += OrvMD5::hex(content.str());
    etag += '"';
    res.set_header("ETag", etag);
    if (seen.ifNoneMatch == etag) return answer(304, "");
    res.set_content(content.str(), "application/json");
    answer(200, "");
  }
};

OrvConfigServer::OrvConfigServer(std::string directory) : impl_(std::make_unique<Impl>()) {
  impl_->directory = std::move(directory);
  impl_->server.set_payload_max_length(1 << 20);
  impl_->server.Post(
      OrvRemoteConfig::kFetchPath,
      [this](const httplib::Request& req, httplib::Response& res) { impl_->handle(req, res); });
}

OrvConfigServer::~OrvConfigServer() { stop(); }

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
        std::string line = utcNow() + " " + req.method + " " + req.path + " app=" + note.app + " " +
                           std::to_string(res.status) + " " + std::to_string(res.body.size()) +
                           " bytes " + took;
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
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

int OrvConfigServer::port() const { return impl_->port; }

std::string OrvConfigServer::url() const {
  return "http://127.0.0.1:" + std::to_string(impl_->port);
}

std::vector<OrvConfigServer::Request> OrvConfigServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

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
