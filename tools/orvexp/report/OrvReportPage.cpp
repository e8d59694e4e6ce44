// The report's routes (GET /, /apps/<app>, .../experiments/<id>, /api/experiments): a
// request's selection from its path and query, and the cache of computed pages that
// keeps a page refreshing every few seconds from scanning the store each time. The
// rendering is in OrvReportHtml.cpp.
#include "report/OrvReportPage.h"

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

#include "platform/values/OrvIsoTime.h"

namespace OrvReportPage {

namespace {

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
