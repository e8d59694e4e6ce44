#include "OrvReportPage.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

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

// The path of a selection's list, percent-encoded, without its page.
std::string pathOf(const Selection& s) {
  if (s.appId && s.experimentId)
    return "/apps/" + percentEncode(*s.appId) + "/experiments/" + percentEncode(*s.experimentId);
  if (s.appId) return "/apps/" + percentEncode(*s.appId);
  if (s.experimentId) return "/experiments/" + percentEncode(*s.experimentId);
  return "/";
}

// The query of a selection's page: its page number, horizon and tuning; with
// `identifiers`, first its application and experiment (the API is asked by them there).
std::string queryOf(const Selection& s, std::size_t page, bool identifiers = false) {
  std::vector<std::string> params;
  if (identifiers && s.appId) params.push_back("app=" + percentEncode(*s.appId));
  if (identifiers && s.experimentId)
    params.push_back("experiment=" + percentEncode(*s.experimentId));
  if (page > 1) params.push_back("page=" + std::to_string(page));
  if (s.fixedHorizon) params.push_back("horizon=fixed");
  if (s.expectedUnits) params.push_back("expected_units=" + std::to_string(*s.expectedUnits));
  std::string query;
  for (const std::string& param : params) query += (query.empty() ? "?" : "&") + param;
  return query;
}

std::string pageLink(const Selection& s, std::size_t page) { return pathOf(s) + queryOf(s, page); }

OrvReadoutOptions readoutOptions(const Selection& s) {
  OrvReadoutOptions options;
  options.fixedHorizon = s.fixedHorizon;
  if (s.expectedUnits) options.expectedUnits = static_cast<double>(*s.expectedUnits);
  return options;
}

// Each comparison's interval on one scale for the outcome (0 always on it): a bar from
// low to high, a dot at the estimate, a line at no difference. Green when the interval
// is above 0, red below, grey across it.
std::string intervalBar(const OrvComparison& c, double from, double to) {
  constexpr int kWidth = 240, kHeight = 22, kPad = 6;
  if (!std::isfinite(c.low) || !std::isfinite(c.high) || !(to > from)) return "";
  const auto x = [&](double v) { return kPad + (kWidth - 2 * kPad) * (v - from) / (to - from); };
  const char* colour = c.low > 0 ? "#2e933c" : c.high < 0 ? "#d1495b" : "#888";
  return "<svg class=\"interval\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
         std::to_string(kWidth) + "\" height=\"" + std::to_string(kHeight) +
         "\" role=\"img\" aria-label=\"" + escape(c.id) + ": " + orvPercent(c.low) + " to " +
         orvPercent(c.high) + "\"><line x1=\"" + fixed(x(0), 1) + "\" y1=\"2\" x2=\"" +
         fixed(x(0), 1) + "\" y2=\"" + std::to_string(kHeight - 2) +
         "\" stroke=\"#555\" stroke-dasharray=\"2,2\"/><rect x=\"" + fixed(x(c.low), 1) +
         "\" y=\"7\" width=\"" + fixed(std::max(x(c.high) - x(c.low), 1.0), 1) +
         "\" height=\"8\" rx=\"2\" fill=\"" + colour + "\" fill-opacity=\"0.45\"/><circle cx=\"" +
         fixed(x(c.estimate), 1) + "\" cy=\"11\" r=\"4\" fill=\"" + colour + "\"/><title>" +
         escape(c.id) + " against control: " + orvPercent(c.estimate) + " (" + orvPercent(c.low) +
         " to " + orvPercent(c.high) + ")</title></svg>";
}

// The readout of an experiment, after its split: per outcome a table of its groups with
// each comparison's lift, interval and bar, then the verdicts in words.
std::string readoutSection(const Experiment& e, const OrvReadoutOptions& options) {
  if (!e.readout) return "";
  const OrvExperimentReadout& r = *e.readout;
  std::string out = std::string("<div class=\"readout\" data-sequential=\"") +
                    (options.fixedHorizon ? "false" : "true") + "\" data-alpha=\"" +
                    exact(options.alpha) + "\" data-units-left-out=\"" +
                    std::to_string(r.unitsLeftOut) + "\"><h3>Readout</h3>";
  if (e.check.alarm)
    out +=
        "<p class=\"verdict alarm\">The split is off (above): until its cause is found, the "
        "differences below may come from it rather than from the change.</p>";
  out += "<p class=\"stats\">" +
         (options.fixedHorizon
              ? orvPercent(1 - options.alpha) + " fixed-horizon intervals"
              : "Always-valid " + orvPercent(1 - options.alpha) +
                    " intervals (they stay valid however often this page is looked at), tuned "
                    "to " +
                    fixed(options.expectedUnits, 0) + " units in the two groups compared") +
         "; the lift is relative to control" +
         (r.unitsLeftOut > 0
              ? "; " + std::to_string(r.unitsLeftOut) + (r.unitsLeftOut == 1 ? " unit" : " units") +
                    " exposed in two groups left out"
              : std::string()) +
         ".</p>";
  for (const OrvOutcomeReadout& o : r.outcomes) {
    double from = 0, to = 0;
    for (const OrvComparison& c : o.analysis.comparisons) {
      if (std::isfinite(c.low)) from = std::min(from, c.low);
      if (std::isfinite(c.high)) to = std::max(to, c.high);
    }
    const double pad = (to - from) * 0.08;
    from -= pad;
    to += pad;
    out += "<div class=\"outcome\" data-outcome=\"" + escape(o.outcome) + "\" data-metric=\"" +
           (o.proportion ? "proportion" : "mean") + "\"><h4>" + escape(o.outcome) + " <small>" +
           (o.proportion ? "share of units converting" : "mean per unit") +
           (o.analysis.cupedTheta ? ", adjusted by each unit's 14 days before its exposure (CUPED)"
                                  : "") +
           "</small></h4><table><thead><tr><th>Group</th><th>Units</th><th>" +
           (o.proportion ? "Rate" : "Mean") +
           "</th><th>Lift</th><th>Interval</th><th></th></tr></thead><tbody>";
    for (const OrvOutcomeReadout::Group& g : o.groups) {
      const OrvComparison* c = nullptr;
      for (const OrvComparison& k : o.analysis.comparisons)
        if (k.id == g.id) c = &k;
      out += "<tr data-group=\"" + escape(g.id) + "\" data-units=\"" + std::to_string(g.units) +
             "\" data-value=\"" + exact(g.value) + "\"";
      if (c)
        out += " data-estimate=\"" + exact(c->estimate) + "\" data-low=\"" + exact(c->low) +
               "\" data-high=\"" + exact(c->high) + "\" data-p-value=\"" + exact(c->pValue) + "\"";
      out += "><td>" + escape(g.id) + "</td><td>" + std::to_string(g.units) + "</td><td>" +
             (o.proportion ? orvPercent(g.value) : fixed(g.value, 3)) + "</td>";
      if (c) {
        out += "<td>" + orvPercent(c->estimate) + "</td><td>" + orvPercent(c->low) + " to " +
               orvPercent(c->high) + "</td><td>" + intervalBar(*c, from, to) + "</td>";
      } else {
        out += std::string("<td class=\"baseline\" colspan=\"3\">") +
               (g.control ? "control: the baseline" : "") + "</td>";
      }
      out += "</tr>";
    }
    out += "</tbody></table>";
    if (!o.analysis.error.empty())
      out += "<p class=\"verdict pending\">Not compared yet: " + escape(o.analysis.error) + "</p>";
    for (std::size_t k = 0; k < o.verdicts.size(); ++k) {
      const OrvComparison& c = o.analysis.comparisons[k];
      const char* shown = c.low > 0 || c.high < 0 ? "shown" : "pending";
      std::string verdict = o.verdicts[k];
      if (!verdict.empty()) verdict[0] = static_cast<char>(std::toupper(verdict[0]));
      out += std::string("<p class=\"verdict ") + shown + "\" data-group=\"" + escape(c.id) +
             "\">" + escape(verdict) + ".</p>";
    }
    out += "</div>";
  }
  return out + "</div>";
}

// Links to the other pages of the list; nothing when it has one, or past its last.
std::string pager(const Page& p) {
  if (p.pages <= 1 || p.page > p.pages) return "";
  std::string out = "<nav class=\"pages\">Page " + std::to_string(p.page) + " of " +
                    std::to_string(p.pages) + " (" + std::to_string(kPageSize) + " a page):";
  const auto link = [&](std::size_t to, const char* rel, const char* text) {
    out += std::string(" <a rel=\"") + rel + "\" href=\"" + escape(pageLink(p.selection, to)) +
           "\">" + text + "</a>";
  };
  if (p.page > 1) {
    link(1, "first", "first");
    link(p.page - 1, "prev", "previous");
  }
  if (p.page < p.pages) {
    link(p.page + 1, "next", "next");
    link(p.pages, "last", "last");
  }
  return out + "</nav>";
}

std::string section(const Experiment& e, const Selection& selection, bool firstAlarm) {
  const OrvSrmCheck& c = e.check;
  const char* state = c.alarm ? "alarm" : c.judged ? "ok" : "pending";
  std::string out =
      std::string("<section class=\"experiment\"") + (firstAlarm ? " id=\"first-alarm\"" : "") +
      " data-app=\"" + escape(c.appId) + "\" data-experiment=\"" + escape(c.experimentId) +
      "\" data-alarm=\"" + (c.alarm ? "true" : "false") + "\" data-judged=\"" +
      (c.judged ? "true" : "false") + "\" data-total=\"" + std::to_string(c.total) +
      "\" data-chi-square=\"" + exact(c.chiSquare) + "\" data-p-value=\"" + exact(c.pValue) +
      "\" data-anytime-p-value=\"" + exact(c.anytimePValue) + "\" data-degrees-of-freedom=\"" +
      std::to_string(c.degreesOfFreedom) + "\" data-design-effect=\"" + exact(c.designEffect) +
      "\" data-intended-from=\"" + escape(c.intendedFrom) + "\" data-without-split=\"" +
      std::to_string(c.withoutSplit) + "\">";
  Selection app, own;
  app.appId = own.appId = c.appId;
  own.experimentId = c.experimentId;
  out += "<h2><a href=\"" + escape(pathOf(own)) + "\">Experiment " + escape(c.experimentId) +
         "</a> <small>application <a href=\"" + escape(pathOf(app)) + "\">" + escape(c.appId) +
         "</a></small></h2>";
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
         (c.degreesOfFreedom == 1 ? " degree" : " degrees") + " of freedom" +
         (c.designEffect != 1
              ? ", divided by the mixture's design effect " + fixed(c.designEffect, 3) + ","
              : std::string()) +
         " p = " + pValueText(c.pValue) + " (anytime-valid p = " + pValueText(c.anytimePValue) +
         ", which stays valid however often this page is looked at); intended split: " +
         escape(c.intendedDescription()) + "; alarm below p = 0.001 from " +
         std::to_string(OrvSrmCheck::kMinExposures) + " exposures.</p>";
  return out + chart(e) + readoutSection(e, readoutOptions(selection)) + "</section>";
}

bool unreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A path segment as sent, decoded; nothing when a % is not followed by two hex digits.
std::optional<std::string> percentDecode(const std::string& segment) {
  std::string out;
  out.reserve(segment.size());
  for (std::size_t i = 0; i < segment.size(); ++i) {
    if (segment[i] != '%') {
      out += segment[i];
      continue;
    }
    const int high = i + 2 < segment.size() ? hexValue(segment[i + 1]) : -1;
    const int low = high >= 0 ? hexValue(segment[i + 2]) : -1;
    if (low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

}  // namespace

std::string percentEncode(const std::string& segment) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(segment.size());
  for (char c : segment) {
    const auto byte = static_cast<unsigned char>(c);
    if (unreserved(byte)) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::string json(const Page& page) {
  OrvValue::Array list;
  for (const Experiment& e : page.experiments) {
    OrvValue::Array points;
    for (const auto& p : e.series)
      points.push_back(OrvValue::dictionary({{"group_id", OrvValue(p.groupId)},
                                             {"start_ms", OrvValue(p.startMs)},
                                             {"exposures", OrvValue(p.exposures)}}));
    OrvValue::Dictionary entries = e.check.toValue().entries();
    entries.emplace_back("series",
                         OrvValue::dictionary({{"step_ms", OrvValue(e.stepMs)},
                                               {"points", OrvValue::array(std::move(points))}}));
    entries.emplace_back("readout", e.readout ? e.readout->toValue(readoutOptions(page.selection))
                                              : OrvValue::null());
    list.push_back(OrvValue::dictionary(std::move(entries)));
  }
  const auto count = [](std::size_t n) { return OrvValue(static_cast<std::int64_t>(n)); };
  return OrvValue::dictionary({{"events", OrvValue(page.events)},
                               {"total", count(page.total)},
                               {"alarms", count(page.alarms)},
                               {"page", count(page.page)},
                               {"pages", count(page.pages)},
                               {"page_size", count(kPageSize)},
                               {"experiments", OrvValue::array(std::move(list))}})
      .toJson();
}

std::string html(const Page& page, const std::string& title) {
  std::string alarms = std::to_string(page.alarms) + (page.alarms == 1 ? " alarm" : " alarms");
  // In alarm first: the first alarm of the list is the first experiment of its page 1.
  if (page.alarms > 0)
    alarms = "<a class=\"alarms\" href=\"" +
             escape(page.page == 1 ? std::string() : pathOf(page.selection)) + "#first-alarm\">" +
             alarms + "</a>";
  const std::string api = "/api/experiments" + queryOf(page.selection, page.page, true);
  Selection other = page.selection;
  other.fixedHorizon = !other.fixedHorizon;
  const std::string horizon =
      page.selection.fixedHorizon
          ? "<p class=\"verdict alarm warning\"><strong>Warning:</strong> " +
                std::string(kOrvFixedHorizonWarning) + ". <a href=\"" +
                escape(pageLink(other, page.page)) + "\">Always-valid readout</a></p>"
          : "<p class=\"meta\">Readouts are always valid. <a href=\"" +
                escape(pageLink(other, page.page)) +
                "\">Fixed-horizon intervals</a> (only for a test read once, at a size fixed in "
                "advance).</p>";
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
      ".stats,.legend,.meta,.pages{color:#555;font-size:.9em}svg text{font-size:11px;fill:#555}"
      "h3{font-size:1.05em;margin:1.4em 0 .3em}h4{font-size:1em;margin:1em 0 .2em}"
      ".shown{background:#e3f4e6;color:#1d5e2a;font-weight:600}svg.interval{vertical-align:middle}"
      "td.baseline{text-align:left;color:#666}"
      "</style></head><body><h1>" +
      escape(title) + "</h1><p class=\"meta\" data-events=\"" + std::to_string(page.events) +
      "\" data-total=\"" + std::to_string(page.total) + "\" data-alarms=\"" +
      std::to_string(page.alarms) + "\">" + std::to_string(page.events) + " events stored; " +
      std::to_string(page.total) + (page.total == 1 ? " experiment" : " experiments") + ", " +
      alarms + ". Generated " + orvIsoTime(std::chrono::system_clock::now()) +
      "; refreshes every " + std::to_string(kRefreshSeconds) +
      " s. <a href=\"/\">All experiments</a> &middot; <a href=\"" + escape(api) +
      "\">JSON</a></p>" + horizon + pager(page);
  if (page.experiments.empty())
    out += page.total == 0 && !page.selection.appId && !page.selection.experimentId
               ? "<p class=\"empty\">No exposure events yet.</p>"
               : "<p class=\"empty\">No experiments to show here.</p>";
  bool anchored = page.page != 1;
  for (const Experiment& e : page.experiments) {
    const bool first = !anchored && e.check.alarm;
    anchored = anchored || first;
    out += section(e, page.selection, first);
  }
  return out + pager(page) + "</body></html>";
}

namespace {

std::tuple<std::optional<std::string>, std::optional<std::string>, std::size_t, bool,
           std::optional<std::int64_t>>
keyOf(const Selection& s) {
  return {s.appId, s.experimentId, s.page, s.fixedHorizon, s.expectedUnits};
}

// The index and the pages asked for since it was computed, computed again only when
// events arrived or they are older than a refresh: viewers and the API share them, and a
// page that refreshes itself costs only its writing while the store does not change.
class ReportCache {
 public:
  ReportCache(const OrvEventStore& store, std::string payloadDir) : store_(store) {
    source_.payloadDir = std::move(payloadDir);
  }

  // The page of `selection` (with no experiments past the last page).
  std::shared_ptr<const Page> get(const Selection& selection) {
    std::lock_guard lock(mutex_);
    const std::int64_t events = store_.eventCount();
    const auto now = std::chrono::steady_clock::now();
    if (computedAt_ == std::chrono::steady_clock::time_point{} || events_ != events ||
        now - computedAt_ >= std::chrono::seconds(kRefreshSeconds)) {
      index(events);
      computedAt_ = now;
    }
    for (const auto& [key, page] : pages_)
      if (key == keyOf(selection)) return page;
    auto page = compute(selection);
    pages_.emplace_back(keyOf(selection), page);
    if (pages_.size() > kCachedPages) pages_.pop_front();
    return page;
  }

 private:
  // What the index keeps of an experiment: enough to order and select the lists.
  struct Entry {
    std::string appId;
    std::string experimentId;
    bool alarm = false;
  };

  // One pass over the counts, one experiment's rows at a time; keeps Entry per
  // experiment, in list order. Called with mutex_ held.
  void index(std::int64_t events) {
    entries_.clear();
    entries_.shrink_to_fit();
    pages_.clear();
    orvSrmChecks(store_, source_, [this](OrvSrmCheck& check) {
      entries_.push_back({std::move(check.appId), std::move(check.experimentId), check.alarm});
    });
    std::stable_partition(entries_.begin(), entries_.end(), [](const Entry& e) { return e.alarm; });
    entries_.shrink_to_fit();
    events_ = events;
  }

  // The page's experiments by the index, then their counts and series from the store,
  // for those experiments only. Called with mutex_ held.
  std::shared_ptr<const Page> compute(const Selection& selection) {
    auto page = std::make_shared<Page>();
    page->selection = selection;
    page->events = events_;
    page->page = selection.page;
    const std::size_t first = (selection.page - 1) * kPageSize;
    std::vector<const Entry*> chosen;
    for (const Entry& e : entries_) {
      if ((selection.appId && e.appId != *selection.appId) ||
          (selection.experimentId && e.experimentId != *selection.experimentId))
        continue;
      if (page->total >= first && chosen.size() < kPageSize) chosen.push_back(&e);
      ++page->total;
      page->alarms += e.alarm ? 1 : 0;
    }
    page->pages = std::max<std::size_t>(1, (page->total + kPageSize - 1) / kPageSize);
    if (selection.page > page->pages) return page;

    // Checked in application order, so each application's payload is read once.
    std::vector<const Entry*> byApp = chosen;
    std::sort(byApp.begin(), byApp.end(), [](const Entry* a, const Entry* b) {
      return std::tie(a->appId, a->experimentId) < std::tie(b->appId, b->experimentId);
    });
    std::vector<OrvEventStore::GroupCount> counts;
    for (const Entry* e : byApp) {
      auto mine = store_.exposureCounts(e->appId, e->experimentId);
      counts.insert(counts.end(), std::make_move_iterator(mine.begin()),
                    std::make_move_iterator(mine.end()));
    }
    std::map<std::pair<std::string, std::string>, OrvSrmCheck> checks;
    for (OrvSrmCheck& c : orvSrmChecks(counts, source_)) {
      auto key = std::make_pair(c.appId, c.experimentId);
      checks.emplace(std::move(key), std::move(c));
    }
    // The readouts of the page's experiments, reading theirs alone.
    std::map<std::pair<std::string, std::string>, OrvExperimentReadout> readouts;
    {
      std::vector<std::pair<std::string, std::string>> only;
      for (const Entry* e : byApp) only.emplace_back(e->appId, e->experimentId);
      const auto rows = store_.outcomeStatistics(OrvEventStore::kReadoutPassEvents, &only);
      for (auto& r : orvReadouts(rows, readoutOptions(selection))) {
        auto key = std::make_pair(r.appId, r.experimentId);
        readouts.emplace(std::move(key), std::move(r));
      }
    }
    for (const Entry* e : chosen) {
      Experiment& x = page->experiments.emplace_back();
      if (const auto found = readouts.find({e->appId, e->experimentId}); found != readouts.end())
        x.readout = std::move(found->second);
      const auto found = checks.find({e->appId, e->experimentId});
      x.check = found != checks.end() ? std::move(found->second)
                                      : orvSrmCheck(e->appId, e->experimentId, {}, {}, "equal");
      x.series = store_.exposureSeries(e->appId, e->experimentId, kChartSteps, &x.stepMs);
    }
    return page;
  }

  const OrvEventStore& store_;
  OrvSplitSource source_;
  std::mutex mutex_;
  // Guarded by mutex_.
  std::vector<Entry> entries_;  // in alarm first, then the others; both in application order
  std::int64_t events_ = 0;     // stored when entries_ was computed
  std::chrono::steady_clock::time_point computedAt_;
  std::deque<std::pair<decltype(keyOf(Selection())), std::shared_ptr<const Page>>> pages_;
};

// The segments of the path the client sent (before any decoding, so an encoded "/"
// stays inside its segment), each decoded; nothing when an escape is malformed.
std::optional<std::vector<std::string>> segmentsOf(const std::string& target) {
  const std::string path = target.substr(0, target.find('?'));
  if (path.empty() || path[0] != '/') return std::nullopt;
  std::vector<std::string> out;
  for (std::size_t start = 1;;) {
    const std::size_t slash = path.find('/', start);
    auto segment = percentDecode(path.substr(start, slash - start));
    if (!segment) return std::nullopt;
    out.push_back(std::move(*segment));
    if (slash == std::string::npos) return out;
    start = slash + 1;
  }
}

// ?`name`=N: a whole number from 1 to `most` (`absent` when not given), or nothing when
// it is anything else.
std::optional<std::int64_t> wholeParam(const httplib::Request& req, const char* name,
                                       std::int64_t absent, std::int64_t most) {
  if (!req.has_param(name)) return absent;
  const std::string text = req.get_param_value(name);
  if (text.empty() || text.size() > 10 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const std::int64_t number = std::stoll(text);
  if (number < 1 || number > most) return std::nullopt;
  return number;
}

// A selection of everything with the page, horizon and tuning asked for; nothing when one
// is not what this page knows (?horizon= is "fixed" or "always-valid").
std::optional<Selection> selectionOf(const httplib::Request& req) {
  const auto page = wholeParam(req, "page", 1, 999'999'999);
  const auto units = wholeParam(req, "expected_units", 0, 1'000'000'000);
  if (!page || !units) return std::nullopt;
  Selection s;
  s.page = static_cast<std::size_t>(*page);
  if (*units > 0) s.expectedUnits = *units;
  if (req.has_param("horizon")) {
    const std::string horizon = req.get_param_value("horizon");
    if (horizon != "fixed" && horizon != "always-valid") return std::nullopt;
    s.fixedHorizon = horizon == "fixed";
  }
  return s;
}

void guard(httplib::Response& res) {
  res.set_header("Content-Security-Policy", kContentSecurityPolicy);
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("Cache-Control", "no-store");
}

std::string titleOf(const Selection& s) {
  if (s.appId && s.experimentId)
    return "Experiment " + *s.experimentId + " of application " + *s.appId;
  if (s.appId) return "Experiments of application " + *s.appId;
  if (s.experimentId) return "Experiment " + *s.experimentId;
  return "Experiment exposures";
}

std::string lowerFirst(std::string text) {
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] + 32);
  return text;
}

}  // namespace

void serve(httplib::Server& server, const OrvEventStore& store, const std::string& payloadDir) {
  auto cache = std::make_shared<ReportCache>(store, payloadDir);
  // A list that selects nothing, or a page past its last, is 404, with a page saying so.
  const auto page = [cache](std::optional<Selection> selection, httplib::Response& res) {
    guard(res);
    if (!selection) {
      res.status = 404;
      res.set_content(
          "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>No such "
          "page</title></head><body><h1>No such page</h1><p><a href=\"/\">All "
          "experiments</a></p></body></html>",
          "text/html; charset=utf-8");
      return;
    }
    const auto found = cache->get(*selection);
    const std::string title = titleOf(*selection);
    if (found->page > found->pages) {
      res.status = 404;
      res.set_content(
          html(*found, "No page " + std::to_string(found->page) + " of " + lowerFirst(title)),
          "text/html; charset=utf-8");
    } else if (found->total == 0 && (selection->appId || selection->experimentId)) {
      res.status = 404;
      res.set_content(html(*found, "No exposures of " + lowerFirst(title)),
                      "text/html; charset=utf-8");
    } else {
      res.set_content(html(*found, title), "text/html; charset=utf-8");
    }
  };
  server.Get("/", [page](const httplib::Request& req, httplib::Response& res) {
    page(selectionOf(req), res);
  });
  // Matched on the decoded path, then taken apart from the path as sent.
  const auto listed = [page](const httplib::Request& req, httplib::Response& res) {
    const auto segments = segmentsOf(req.target);
    const auto asked = selectionOf(req);
    std::optional<Selection> selection;
    if (segments && asked) {
      const auto& s = *segments;
      Selection chosen = *asked;
      if (s.size() == 2 && s[0] == "experiments") {
        chosen.experimentId = s[1];
      } else if (s.size() == 2 && s[0] == "apps") {
        chosen.appId = s[1];
      } else if (s.size() == 4 && s[0] == "apps" && s[2] == "experiments") {
        chosen.appId = s[1];
        chosen.experimentId = s[3];
      }
      if (chosen.appId || chosen.experimentId) selection = chosen;
    }
    page(selection, res);
  };
  server.Get("/experiments/[\\s\\S]+", listed);
  server.Get("/apps/[\\s\\S]+", listed);
  server.Get("/api/experiments", [cache](const httplib::Request& req, httplib::Response& res) {
    guard(res);
    auto selection = selectionOf(req);
    if (selection && req.has_param("app")) selection->appId = req.get_param_value("app");
    if (selection && req.has_param("experiment"))
      selection->experimentId = req.get_param_value("experiment");
    const auto found = selection ? cache->get(*selection) : nullptr;
    if (!found || found->page > found->pages) {
      res.status = 404;
      res.set_content(OrvValue::dictionary({{"error", OrvValue("no such page")}}).toJson(),
                      "application/json");
      return;
    }
    res.set_content(json(*found), "application/json");
  });
}

}  // namespace OrvReportPage
