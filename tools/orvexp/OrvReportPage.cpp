#include "OrvReportPage.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "platform/OrvIsoTime.h"

namespace OrvReportPage {
namespace {

std::string escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Exactly what the API writes for the same number, so a page and the API can be
// compared as text.
std::string exact(double v) { return OrvValue(v).toJson(); }

std::string fixed(double v, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

std::string pValueText(double p) {
  char text[64];
  std::snprintf(text, sizeof text, p >= 0.001 ? "%.4f" : "%.2e", p);
  return text;
}

std::string timeOfDay(std::int64_t ms) {
  const std::string iso =
      orvIsoTime(std::chrono::system_clock::time_point(std::chrono::milliseconds(ms)));
  return iso.size() >= 19 ? iso.substr(11, 8) + " UTC" : iso;
}

constexpr const char* kColours[] = {"#1b6ac9", "#d1495b", "#2e933c", "#e08e0b",
                                    "#7a4fbf", "#00798c", "#8d6a3f", "#5c5c5c"};

// Cumulative exposures per group over time, as polylines in an SVG of its own size.
std::string chart(const Experiment& e) {
  constexpr int kWidth = 640, kHeight = 220, kLeft = 56, kRight = 12, kTop = 12, kBottom = 28;
  if (e.series.empty() || e.stepMs <= 0)
    return "<p class=\"empty\">No exposures over time yet.</p>";
  std::int64_t first = e.series.front().startMs, last = first;
  std::map<std::string, std::vector<std::pair<std::int64_t, std::int64_t>>> lines;
  for (const auto& p : e.series) {
    first = std::min(first, p.startMs);
    last = std::max(last, p.startMs + e.stepMs);
    lines[p.groupId].emplace_back(p.startMs + e.stepMs, p.exposures);
  }
  std::int64_t top = 1;
  for (auto& [group, points] : lines) {
    std::sort(points.begin(), points.end());
    std::int64_t sum = 0;
    for (auto& point : points) point.second = sum += point.second;
    top = std::max(top, sum);
  }
  const double span = static_cast<double>(std::max<std::int64_t>(last - first, 1));
  const auto x = [&](std::int64_t t) {
    return kLeft + (kWidth - kLeft - kRight) * static_cast<double>(t - first) / span;
  };
  const auto y = [&](std::int64_t n) {
    return kTop + (kHeight - kTop - kBottom) * (1.0 - static_cast<double>(n) / top);
  };
  std::string svg = "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    std::to_string(kWidth) + "\" height=\"" + std::to_string(kHeight) +
                    "\" role=\"img\" aria-label=\"Cumulative exposures per group over time\">";
  svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + fixed(y(0), 1) + "\" x2=\"" +
         std::to_string(kWidth - kRight) + "\" y2=\"" + fixed(y(0), 1) +
         "\" stroke=\"#999\"/><line x1=\"" + std::to_string(kLeft) + "\" y1=\"" +
         std::to_string(kTop) + "\" x2=\"" + std::to_string(kLeft) + "\" y2=\"" + fixed(y(0), 1) +
         "\" stroke=\"#999\"/>";
  svg += "<text x=\"" + std::to_string(kLeft - 6) + "\" y=\"" + std::to_string(kTop + 10) +
         "\" text-anchor=\"end\">" + std::to_string(top) + "</text><text x=\"" +
         std::to_string(kLeft - 6) + "\" y=\"" + fixed(y(0), 1) + "\" text-anchor=\"end\">0</text>";
  svg += "<text x=\"" + std::to_string(kLeft) + "\" y=\"" + std::to_string(kHeight - 8) + "\">" +
         timeOfDay(first) + "</text><text x=\"" + std::to_string(kWidth - kRight) + "\" y=\"" +
         std::to_string(kHeight - 8) + "\" text-anchor=\"end\">" + timeOfDay(last) + "</text>";
  std::size_t colour = 0;
  for (const auto& [group, points] : lines) {
    std::string path = fixed(x(first), 1) + "," + fixed(y(0), 1);
    for (const auto& [t, n] : points) path += " " + fixed(x(t), 1) + "," + fixed(y(n), 1);
    svg += "<polyline data-group=\"" + escape(group) +
           "\" fill=\"none\" stroke-width=\"2\" stroke=\"" +
           kColours[colour++ % std::size(kColours)] + "\" points=\"" + path + "\"><title>group " +
           escape(group) + "</title></polyline>";
  }
  svg += "</svg><p class=\"legend\">";
  colour = 0;
  for (const auto& [group, points] : lines)
    svg += "<span style=\"color:" + std::string(kColours[colour++ % std::size(kColours)]) +
           "\">&#9632;</span> group " + escape(group) + " (" +
           std::to_string(points.back().second) + ") ";
  return svg + "</p>";
}

std::string section(const Experiment& e) {
  const OrvSrmCheck& c = e.check;
  const char* state = c.alarm ? "alarm" : c.judged ? "ok" : "pending";
  std::string out = "<section class=\"experiment\" data-app=\"" + escape(c.appId) +
                    "\" data-experiment=\"" + escape(c.experimentId) + "\" data-alarm=\"" +
                    (c.alarm ? "true" : "false") + "\" data-judged=\"" +
                    (c.judged ? "true" : "false") + "\" data-total=\"" + std::to_string(c.total) +
                    "\" data-chi-square=\"" + exact(c.chiSquare) + "\" data-p-value=\"" +
                    exact(c.pValue) + "\" data-degrees-of-freedom=\"" +
                    std::to_string(c.degreesOfFreedom) + "\">";
  out += "<h2><a href=\"/experiments/" + escape(c.experimentId) + "\">Experiment " +
         escape(c.experimentId) + "</a> <small>application " + escape(c.appId) + "</small></h2>";
  out += std::string("<p class=\"verdict ") + state + "\">" +
         (c.alarm ? "<strong>Alarm:</strong> " : "") + escape(c.verdict) + "</p>";
  out +=
      "<table><thead><tr><th>Group</th><th>Control</th><th>Exposures</th><th>Share</th>"
      "<th>Intended share</th></tr></thead><tbody>";
  for (const OrvSrmGroup& g : c.groups) {
    out += "<tr data-group=\"" + escape(g.groupId) + "\" data-control=\"" +
           (g.control ? "true" : "false") + "\" data-exposures=\"" + std::to_string(g.exposures) +
           "\" data-share=\"" + exact(g.share) + "\" data-intended-share=\"" +
           exact(g.intendedShare) + "\"><td>" + escape(g.groupId) + "</td><td>" +
           (g.control ? "yes" : "no") + "</td><td>" + std::to_string(g.exposures) + "</td><td>" +
           fixed(100 * g.share, 1) + "%</td><td>" + fixed(100 * g.intendedShare, 1) + "%</td></tr>";
  }
  out += "</tbody></table>";
  out += "<p class=\"stats\">" + std::to_string(c.total) + " exposures; chi-square " +
         fixed(c.chiSquare, 3) + " with " + std::to_string(c.degreesOfFreedom) +
         (c.degreesOfFreedom == 1 ? " degree" : " degrees") +
         " of freedom, p = " + pValueText(c.pValue) + "; intended split: " +
         (c.intendedFrom == "server"   ? "the weights the server serves"
          : c.intendedFrom == "expect" ? "as given"
                                       : "equal shares of the groups seen") +
         "; alarm below p = 0.001 from " + std::to_string(OrvSrmCheck::kMinExposures) +
         " exposures.</p>";
  return out + chart(e) + "</section>";
}

}  // namespace

std::vector<Experiment> collect(const OrvEventStore& store, const std::string& payloadDir) {
  OrvSplitSource source;
  source.payloadDir = payloadDir;
  std::vector<Experiment> out;
  for (OrvSrmCheck& check : orvSrmChecks(store, source)) {
    Experiment e;
    e.series = store.exposureSeries(check.appId, check.experimentId, kChartSteps, &e.stepMs);
    e.check = std::move(check);
    out.push_back(std::move(e));
  }
  return out;
}

std::string json(const std::vector<Experiment>& experiments, std::int64_t events) {
  OrvValue::Array list;
  for (const Experiment& e : experiments) {
    OrvValue::Array points;
    for (const auto& p : e.series)
      points.push_back(OrvValue::dictionary({{"group_id", OrvValue(p.groupId)},
                                             {"start_ms", OrvValue(p.startMs)},
                                             {"exposures", OrvValue(p.exposures)}}));
    OrvValue::Dictionary entries = e.check.toValue().entries();
    entries.emplace_back("series",
                         OrvValue::dictionary({{"step_ms", OrvValue(e.stepMs)},
                                               {"points", OrvValue::array(std::move(points))}}));
    list.push_back(OrvValue::dictionary(std::move(entries)));
  }
  return OrvValue::dictionary(
             {{"events", OrvValue(events)}, {"experiments", OrvValue::array(std::move(list))}})
      .toJson();
}

std::string html(const std::vector<Experiment>& experiments, std::int64_t events,
                 const std::string& title) {
  std::size_t alarms = 0;
  for (const Experiment& e : experiments) alarms += e.check.alarm ? 1 : 0;
  std::string out =
      "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta http-equiv=\"refresh\" content=\"" +
      std::to_string(kRefreshSeconds) +
      "\"><meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>" +
      escape(title) +
      "</title><style>"
      "body{font:15px/1.45 system-ui,sans-serif;margin:2em auto;max-width:760px;color:#222}"
      "h1{font-size:1.5em}h2{font-size:1.2em;margin-top:2em}small{color:#666;font-weight:normal}"
      "table{border-collapse:collapse;margin:.5em 0}th,td{padding:.25em .8em;"
      "border-bottom:1px solid #ddd;text-align:right}th:first-child,td:first-child{text-align:left}"
      ".verdict{padding:.6em .8em;border-radius:4px}.alarm{background:#fde2e1;color:#8a1c1c}"
      ".ok{background:#e3f4e6;color:#1d5e2a}.pending{background:#eee;color:#555}"
      ".stats,.legend,.meta{color:#555;font-size:.9em}svg text{font-size:11px;fill:#555}"
      "</style></head><body><h1>" +
      escape(title) + "</h1><p class=\"meta\" data-events=\"" + std::to_string(events) + "\">" +
      std::to_string(events) + " events stored; " + std::to_string(experiments.size()) +
      (experiments.size() == 1 ? " experiment" : " experiments") + ", " + std::to_string(alarms) +
      (alarms == 1 ? " alarm" : " alarms") + ". Generated " +
      orvIsoTime(std::chrono::system_clock::now()) + "; refreshes every " +
      std::to_string(kRefreshSeconds) + " s. <a href=\"/\">All experiments</a> &middot; " +
      "<a href=\"/api/experiments\">JSON</a></p>";
  if (experiments.empty()) out += "<p class=\"empty\">No exposure events yet.</p>";
  for (const Experiment& e : experiments) out += section(e);
  return out + "</body></html>";
}

namespace {

// The report of the whole store, computed again only when events arrived or it is older
// than a refresh: viewers and the API share one computation, and a page that refreshes
// itself costs nothing while the store does not change. Requests that find it stale
// wait for the one computing it instead of computing side by side.
class ReportCache {
 public:
  ReportCache(const OrvEventStore& store, std::string payloadDir)
      : store_(store), payloadDir_(std::move(payloadDir)) {}

  struct Report {
    std::vector<Experiment> experiments;
    std::int64_t events = 0;
  };
  std::shared_ptr<const Report> get() {
    std::lock_guard lock(mutex_);
    const std::int64_t events = store_.eventCount();
    const auto now = std::chrono::steady_clock::now();
    if (!report_ || report_->events != events ||
        now - computedAt_ >= std::chrono::seconds(kRefreshSeconds)) {
      auto fresh = std::make_shared<Report>();
      fresh->events = events;
      fresh->experiments = collect(store_, payloadDir_);
      report_ = std::move(fresh);
      computedAt_ = now;
    }
    return report_;
  }

 private:
  const OrvEventStore& store_;
  const std::string payloadDir_;
  std::mutex mutex_;
  std::shared_ptr<const Report> report_;  // guarded by mutex_
  std::chrono::steady_clock::time_point computedAt_;
};

std::vector<Experiment> only(const std::vector<Experiment>& all, const std::string& experimentId) {
  if (experimentId.empty()) return all;
  std::vector<Experiment> out;
  for (const Experiment& e : all)
    if (e.check.experimentId == experimentId) out.push_back(e);
  return out;
}

}  // namespace

void serve(httplib::Server& server, const OrvEventStore& store, const std::string& payloadDir) {
  auto cache = std::make_shared<ReportCache>(store, payloadDir);
  const auto page = [cache](const std::string& experimentId, httplib::Response& res) {
    const auto report = cache->get();
    const auto experiments = only(report->experiments, experimentId);
    if (!experimentId.empty() && experiments.empty()) {
      res.status = 404;
      res.set_content(
          html(experiments, report->events, "No exposures of experiment " + experimentId),
          "text/html; charset=utf-8");
      return;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_content(
        html(experiments, report->events,
             experimentId.empty() ? "Experiment exposures" : "Experiment " + experimentId),
        "text/html; charset=utf-8");
  };
  server.Get("/", [page](const httplib::Request&, httplib::Response& res) { page("", res); });
  server.Get("/experiments/([^/]+)", [page](const httplib::Request& req, httplib::Response& res) {
    page(req.matches[1].str(), res);
  });
  server.Get("/api/experiments", [cache](const httplib::Request&, httplib::Response& res) {
    const auto report = cache->get();
    res.set_header("Cache-Control", "no-store");
    res.set_content(json(report->experiments, report->events), "application/json");
  });
}

}  // namespace OrvReportPage
