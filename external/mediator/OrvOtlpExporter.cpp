#include "OrvOtlpExporter.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <random>

#include "OrvExperiment/OrvValue.h"
#include "platform/execution/OrvProcessLifetime.h"
#include "platform/logs/OrvLogChannel.h"
#include "platform/network/OrvHttpClient.h"
#include "platform/network/OrvSdkVersion.h"
#include "platform/storage/OrvEventOutbox.h"

#include "OrvMediatorInternal.h"

namespace {

// How often an idle exporter looks for work nobody told it about (events of a dead
// process it has just claimed, say).
constexpr auto kIdlePoll = std::chrono::seconds(1);
// Of an answer, only this much is read: enough for any partialSuccess of a batch.
constexpr std::size_t kMaxAnswerBytes = 64 * 1024;
// Redirects followed for one request, and the most of an error answer kept as reason.
constexpr int kMaxRedirects = 5;
constexpr std::size_t kMaxReasonBytes = 200;

OrvValue text(const std::string& s) { return OrvValue::dictionary({{"stringValue", OrvValue(s)}}); }

// An OTLP AnyValue in its JSON form (64-bit integers as strings, as the encoding wants).
OrvValue anyValue(const OrvValue& v) {
  switch (v.kind()) {
    case OrvValue::Kind::kString:
      return text(v.stringValue());
    case OrvValue::Kind::kBoolean:
      return OrvValue::dictionary({{"boolValue", OrvValue(v.boolValue())}});
    case OrvValue::Kind::kInteger:
      return OrvValue::dictionary({{"intValue", OrvValue(v.description())}});
    case OrvValue::Kind::kFloating:
    case OrvValue::Kind::kDecimal:
      return OrvValue::dictionary({{"doubleValue", OrvValue(v.doubleValue())}});
    case OrvValue::Kind::kArray: {
      OrvValue::Array values;
      for (const auto& element : v.elements()) values.push_back(anyValue(element));
      return OrvValue::dictionary(
          {{"arrayValue", OrvValue::dictionary({{"values", OrvValue::array(std::move(values))}})}});
    }
    case OrvValue::Kind::kDictionary: {
      OrvValue::Array values;
      for (const auto& [key, value] : v.entries())
        values.push_back(
            OrvValue::dictionary({{"key", OrvValue(key)}, {"value", anyValue(value)}}));
      return OrvValue::dictionary(
          {{"kvlistValue",
            OrvValue::dictionary({{"values", OrvValue::array(std::move(values))}})}});
    }
    default:
      // null, an unsigned or anything newer: its text keeps the information.
      return text(v.description());
  }
}

OrvValue attribute(const std::string& key, OrvValue value) {
  return OrvValue::dictionary({{"key", OrvValue(key)}, {"value", std::move(value)}});
}

std::string nanos(std::int64_t ms) { return std::to_string(ms) + "000000"; }

std::string gzip(const std::string& in) {
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return {};
  std::string out(deflateBound(&z, static_cast<uLong>(in.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return rc == Z_STREAM_END ? out : std::string();
}

std::string logsUrl(std::string endpoint) {
  endpoint = OrvHttpClient::withLowerCaseScheme(std::move(endpoint));
  while (!endpoint.empty() && endpoint.back() == '/') endpoint.pop_back();
  const std::string path = "/v1/logs";
  if (endpoint.size() < path.size() ||
      endpoint.compare(endpoint.size() - path.size(), path.size(), path) != 0)
    endpoint += path;
  return endpoint;
}

}  // namespace

struct OrvOtlpExporter::Impl {
  // Constant after construction.
  OrvOtlpExporterOptions options;
  std::string url;
  std::string consumer;

  mutable std::mutex mutex;
  std::condition_variable changed;  // work, a flush, a stop, or a batch done
  // Guarded by mutex.
  // Events handed over so far; one hand-over of an unknown number counts as a full batch.
  std::uint64_t handedOver = 0;
  int flushWaiters = 0;
  OrvOtlpExporterStats stats;

  // Runs run(); stopped with the library's other threads at exit, or by the exporter's
  // destructor. After mutex and changed, which its wake-up uses.
  OrvStoppableThread worker{[this] {
    std::lock_guard lock(mutex);
    changed.notify_all();
  }};

  // What the collector made of a request.
  struct Verdict {
    enum Kind { kAccepted, kRetry, kTooLarge, kRefused, kAborted } kind = kRetry;
    long status = 0;
    std::string reason;
    std::chrono::milliseconds retryAfter{-1};
  };

  // Only run()'s thread touches these.
  std::size_t batchCap = 0;  // records per request: maxBatch, halved after a 413
  unsigned fullSends = 0;    // accepted requests at the current cap

  void run() {
    std::uint32_t failures = 0;
    std::mt19937 random(std::random_device{}());
    batchCap = options.maxBatch;
    // When the exporter first saw the oldest event waiting: how long a batch has waited
    // is told by the steady clock, so a wall clock set back never holds a batch.
    std::int64_t head = 0;
    auto headSeen = std::chrono::steady_clock::now();
    for (;;) {
      // Taken before the read: an event handed over later may be in it too (counted
      // twice, which only makes the next read come early), but none is missed.
      std::uint64_t handedBeforeRead;
      {
        std::lock_guard lock(mutex);
        handedBeforeRead = handedOver;
      }
      std::shared_ptr<OrvEventOutbox> outbox;
      std::vector<OrvOutboxEvent> batch;
      for (auto& open : OrvEventOutbox::allOpen()) {
        batch = open->pending(batchCap, consumer);
        if (!batch.empty()) {
          outbox = std::move(open);
          break;
        }
      }
      std::unique_lock lock(mutex);
      if (worker.stopRequested()) return;
      if (batch.empty()) {
        changed.notify_all();  // flush waiters look again
        waitForWork(lock, kIdlePoll);
        continue;
      }
      // Wait for a fuller batch while the oldest event is young enough: young by the
      // wall clock (an event stored by an earlier run may be old already) and by how
      // long this exporter has seen it (a time in the future is as good as now).
      const auto now = std::chrono::steady_clock::now();
      if (batch.front().seq != head) {
        head = batch.front().seq;
        headSeen = now;
      }
      const auto stored = std::chrono::milliseconds(
          std::max<std::int64_t>(0, OrvEventOutbox::nowMs() - batch.front().timeMs));
      const auto age =
          std::max(stored, std::chrono::duration_cast<std::chrono::milliseconds>(now - headSeen));
      if (batch.size() < batchCap && flushWaiters == 0 && age < options.flushInterval) {
        // Not read again until it can be sent: reading (and parsing) the waiting rows on
        // every hand-over cost events arriving one by one a read of the whole batch each.
        // Events nobody announced (claimed from a dead process) wait for the timer.
        changed.wait_until(lock, now + (options.flushInterval - age), [&] {
          return worker.stopRequested() || flushWaiters > 0 ||
                 batch.size() + (handedOver - handedBeforeRead) >= batchCap;
        });
        continue;
      }
      lock.unlock();
      const Verdict verdict = send(batch);
      switch (verdict.kind) {
        case Verdict::kAborted:
          return;
        case Verdict::kAccepted: {
          std::vector<std::int64_t> seqs;
          for (const auto& e : batch) seqs.push_back(e.seq);
          outbox->remove(seqs);
          failures = 0;
          // After a 413, larger batches are tried again once smaller ones have gone
          // through for a while.
          if (batch.size() == batchCap && batchCap < options.maxBatch && ++fullSends >= 16) {
            batchCap = std::min(options.maxBatch, batchCap * 2);
            fullSends = 0;
          }
          lock.lock();
          changed.notify_all();
          continue;
        }
        case Verdict::kTooLarge:
          if (batch.size() > 1) {
            // Resent in halves at once: the collector is not overloaded, only strict.
            batchCap = batch.size() / 2;
            fullSends = 0;
            orvMediatorLog().info(
                "the collector at %@ found %@ log records too large (HTTP 413); sending %@ at "
                "a time",
                url, batch.size(), batchCap);
            continue;
          }
          [[fallthrough]];
        case Verdict::kRefused: {
          // Refused for good: sending it again would be refused again. Nothing is lost
          // silently: the events go to the dead letters (orvexp outbox lists them and
          // --redrive sends them again).
          if (!outbox->deadLetter(batch, verdict.status, verdict.reason)) break;  // retried
          failures = 0;
          orvMediatorLog().error(
              "the collector at %@ refused %@ log records for good (%@); kept as dead letters", url,
              batch.size(), verdict.reason);
          lock.lock();
          stats.dropped += batch.size();
          changed.notify_all();
          continue;
        }
        case Verdict::kRetry:
          break;
      }
      // Exponential back-off with jitter (a random point in the upper half), which a
      // Retry-After may lengthen but never shorten.
      const std::chrono::milliseconds cap = std::min(
          options.maxBackoff,
          std::chrono::milliseconds(options.minBackoff.count() << std::min(failures, 20u)));
      std::uniform_int_distribution<long long> pick(cap.count() / 2, cap.count());
      const auto delay =
          OrvHttpClient::retryDelay(std::chrono::milliseconds(pick(random)), verdict.retryAfter);
      ++failures;
      orvMediatorLog().info("OTLP export to %@ failed (%@); retrying in %@ ms", url, verdict.reason,
                            delay.count());
      lock.lock();
      ++stats.failedRequests;
      changed.wait_for(lock, delay, [&] { return worker.stopRequested(); });
    }
  }

  // Under `lock`, with nothing queued: until events are handed over, a flush asks, a
  // stop, or `timeout`.
  void waitForWork(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds timeout) {
    const std::uint64_t seen = handedOver;
    const int flushes = flushWaiters;
    changed.wait_for(lock, timeout, [&] {
      return worker.stopRequested() || handedOver != seen || flushWaiters > flushes;
    });
  }

  // One request, following redirects that keep to the collector's origin.
  Verdict send(const std::vector<OrvOutboxEvent>& batch) {
    OrvHttpRequest request;
    request.url = url;
    request.body = encode(batch, options.serviceName);
    request.headers.push_back("Content-Type: application/json");
    if (options.gzipAbove > 0 && request.body.size() > options.gzipAbove) {
      std::string compressed = gzip(request.body);
      if (!compressed.empty()) {
        request.body = std::move(compressed);
        request.headers.push_back("Content-Encoding: gzip");
      }
    }
    for (const auto& [name, value] : options.headers)
      request.headers.push_back(name + ": " + value);
    request.connectTimeoutMs = static_cast<long>(options.connectTimeout.count());
    request.totalTimeoutMs = static_cast<long>(options.requestTimeout.count());
    // A 2xx is a success whatever its body: only enough of it is read to find a
    // partialSuccess.
    request.maxResponseBytes = kMaxAnswerBytes;
    request.truncateLargeBody = true;
    Verdict verdict;
    for (int hop = 0;; ++hop) {
      const OrvHttpResponse response = OrvHttpClient::send(request);
      if (response.error == OrvHttpResponse::Error::kAborted) {
        verdict.kind = Verdict::kAborted;
        return verdict;
      }
      // Transport failures and timeouts: the collector may have the batch or not; it
      // goes again, after the back-off (with its eventIds, so a collector can tell).
      if (response.error != OrvHttpResponse::Error::kNone) {
        verdict.reason = response.errorMessage;
        return verdict;
      }
      verdict.status = response.status;
      const long status = response.status;
      if (status == 307 || status == 308) {
        std::string why;
        const std::string target = OrvHttpClient::sameOriginRedirect(
            request.url, OrvHttpClient::header(response.headerLines, "Location"), &why);
        if (target.empty() || hop >= kMaxRedirects) {
          verdict.reason = "HTTP " + std::to_string(status) + ", " +
                           (target.empty() ? why : "too many redirects") + "; the batch is kept";
          return verdict;
        }
        request.url = target;
        continue;
      }
      if (status >= 300 && status < 400) {
        // 301, 302 and 303 would turn the POST into a GET without the batch.
        verdict.reason = "HTTP " + std::to_string(status) + " to " +
                         OrvHttpClient::header(response.headerLines, "Location") +
                         ", a redirect that does not keep the request; the batch is kept";
        return verdict;
      }
      if (status >= 200 && status < 300) {
        verdict.kind = Verdict::kAccepted;
        noteAccepted(batch.size(), response);
        return verdict;
      }
      verdict.reason = "HTTP " + std::to_string(status) + excerpt(response);
      if (status == 413) {
        verdict.kind = Verdict::kTooLarge;
      } else if (status == 429 || status == 502 || status == 503 || status == 504) {
        // The only statuses OTLP/HTTP allows to retry; the collector may say when.
        verdict.retryAfter = OrvHttpClient::retryAfter(response.headerLines);
      } else {
        verdict.kind = Verdict::kRefused;
      }
      return verdict;
    }
  }

  void noteAccepted(std::size_t sent, const OrvHttpResponse& response) {
    std::lock_guard lock(mutex);
    stats.exported += sent;
    if (response.bodyTruncated) return;  // no room for a partialSuccess of ours to read
    const auto parsed = OrvValue::parseJson(response.body);
    const OrvValue partial = parsed.value["partialSuccess"];
    const OrvValue rejected = partial["rejectedLogRecords"];
    long long count =
        rejected.isString() ? std::atoll(rejected.stringValue().c_str()) : rejected.int64Value();
    // A collector's count is only believed within what it was sent.
    count = std::clamp<long long>(count, 0, static_cast<long long>(sent));
    if (count == 0) return;
    stats.rejected += static_cast<std::uint64_t>(count);
    orvMediatorLog().error("the collector at %@ rejected %@ of %@ log records: %@", url, count,
                           sent, partial["errorMessage"].stringValue().substr(0, kMaxReasonBytes));
  }

  // The start of an error answer's body, for the reason kept with a dead letter.
  static std::string excerpt(const OrvHttpResponse& response) {
    if (response.body.empty()) return "";
    const auto parsed = OrvValue::parseJson(response.body);
    // An OTLP Status carries its message; anything else is shown as it came.
    const std::string text =
        parsed.value["message"].isString() ? parsed.value["message"].stringValue() : response.body;
    return ": " + text.substr(0, kMaxReasonBytes);
  }
};

OrvOtlpExporter::OrvOtlpExporter(OrvOtlpExporterOptions options) : impl_(std::make_shared<Impl>()) {
  if (options.maxBatch == 0) options.maxBatch = 1;
  impl_->url = logsUrl(options.endpoint);
  impl_->consumer = "otlp " + impl_->url;
  impl_->options = std::move(options);
  // The thread holds the state, so an exporter dropped during exit stays valid for it.
  // Made during exit, it starts none: nothing would join it.
  impl_->worker.start([impl = impl_] { impl->run(); });
}

// Waits for a request in flight, except during exit.
OrvOtlpExporter::~OrvOtlpExporter() { impl_->worker.stop(); }

const std::string& OrvOtlpExporter::consumerName() const { return impl_->consumer; }

void OrvOtlpExporter::wake() { wake(impl_->options.maxBatch); }

void OrvOtlpExporter::wake(std::size_t events) {
  if (events == 0) return;
  std::lock_guard lock(impl_->mutex);
  impl_->handedOver += events;
  impl_->changed.notify_all();
}

bool OrvOtlpExporter::waitDelivered(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(impl_->mutex);
  ++impl_->flushWaiters;
  impl_->changed.notify_all();
  bool empty = false;
  for (;;) {
    lock.unlock();
    empty = true;
    for (auto& outbox : OrvEventOutbox::allOpen())
      empty = empty && outbox->pending(1, impl_->consumer).empty();
    lock.lock();
    if (empty || impl_->worker.stopRequested() || std::chrono::steady_clock::now() >= deadline)
      break;
    impl_->changed.wait_until(lock,
                              std::min(deadline, std::chrono::steady_clock::now() + kIdlePoll));
  }
  --impl_->flushWaiters;
  return empty;
}

OrvOtlpExporterStats OrvOtlpExporter::stats() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->stats;
}

std::string OrvOtlpExporter::encode(const std::vector<OrvOutboxEvent>& events,
                                    const std::string& serviceName) {
  const std::int64_t now = OrvEventOutbox::nowMs();
  OrvValue::Array records;
  records.reserve(events.size());
  for (const auto& e : events) {
    OrvValue::Array attributes = {attribute("event.name", text(e.name)),
                                  attribute("eventId", text(e.eventId)),
                                  attribute("appId", text(e.appId))};
    for (const auto& [key, value] : e.properties.entries())
      attributes.push_back(attribute(key, anyValue(value)));
    // The analysis context under the names of the OpenTelemetry feature-flag
    // conventions where they have one (the evaluation context's id is the unit).
    if (const OrvValue& unit = e.context["unit"]; unit.isString())
      attributes.push_back(attribute("feature_flag.context.id", text(unit.stringValue())));
    if (const OrvValue& split = e.context["split"]; split.isArray())
      attributes.push_back(attribute("orv.split", text(split.toJson())));
    if (const OrvValue& share = e.context["intended_share"]; share.isNumber())
      attributes.push_back(
          attribute("orv.intended_share",
                    OrvValue::dictionary({{"doubleValue", OrvValue(share.doubleValue())}})));
    records.push_back(
        OrvValue::dictionary({{"timeUnixNano", OrvValue(nanos(e.timeMs))},
                              {"observedTimeUnixNano", OrvValue(nanos(now))},
                              {"severityNumber", OrvValue(std::int64_t{9})},
                              {"severityText", OrvValue("INFO")},
                              {"eventName", OrvValue(e.name)},
                              {"body", text(e.name)},
                              {"attributes", OrvValue::array(std::move(attributes))}}));
  }
  OrvValue resource = OrvValue::dictionary(
      {{"attributes", OrvValue::array({attribute("service.name", text(serviceName)),
                                       attribute("telemetry.sdk.name", text(kOrvSdkName)),
                                       attribute("telemetry.sdk.version", text(kOrvSdkVersion)),
                                       attribute("telemetry.sdk.language", text("cpp"))})}});
  OrvValue scope = OrvValue::dictionary(
      {{"scope", OrvValue::dictionary(
                     {{"name", OrvValue(kOrvSdkName)}, {"version", OrvValue(kOrvSdkVersion)}})},
       {"logRecords", OrvValue::array(std::move(records))}});
  return OrvValue::dictionary(
             {{"resourceLogs", OrvValue::array({OrvValue::dictionary(
                                   {{"resource", std::move(resource)},
                                    {"scopeLogs", OrvValue::array({std::move(scope)})}})})}})
      .toJson();
}
