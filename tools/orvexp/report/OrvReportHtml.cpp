// The report rendered: a Page as HTML (each experiment's split check, its exposures
// over time, its readout with intervals) or as JSON. Pure functions of the page; the
// routes and the cache that make pages are in OrvReportPage.cpp.
#include "report/OrvReportPage.h"

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

#include "platform/values/OrvIsoTime.h"

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

}  // namespace

OrvReadoutOptions readoutOptions(const Selection& s) {
  OrvReadoutOptions options;
  options.fixedHorizon = s.fixedHorizon;
  if (s.expectedUnits) options.expectedUnits = static_cast<double>(*s.expectedUnits);
  return options;
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

}  // namespace OrvReportPage
