// The exposure report of `orvexp serve --events DB`, on the server's own port, one page
// of at most kPageSize experiments per answer, however many the store holds:
//   GET /                                     every experiment;
//   GET /apps/<app>                           one application's experiments;
//   GET /apps/<app>/experiments/<id>          one application's experiment: the page
//                                             each experiment's heading links to;
//   GET /experiments/<id>                     every application's experiment of that id
//                                             (kept for links made before the above);
//   GET /api/experiments[?app=A][&experiment=E]   the same numbers as JSON.
// Each takes ?horizon=fixed for the fixed-horizon readout, and ?expected_units=N for the
// number of units the always-valid one is tuned to (as `orvexp report --expected-units`).
// Each takes ?page=N (from 1; past the last page, or not a whole number, is 404). In
// every list the experiments in alarm come first, then the others, both in
// application and experiment order; the header's count of alarms links to the first
// (#first-alarm). A page shows, per experiment, its groups' exposures, shares and
// intended shares, the sample-ratio-mismatch verdict in plain words and exposures over
// time per group as an inline SVG chart; then its readout (OrvReadout, as `orvexp
// report` gives it): per outcome each group's units and rate or mean, its lift against
// control with the interval drawn as an inline SVG bar, and the verdict in words.
// Always valid (tuned to OrvReadoutOptions' expected units), or fixed horizon with
// ?horizon=fixed, then with a warning about looking early. Under a sample-ratio alarm
// the readout is shown after the alarm, marked as not to be trusted. Identifiers are HTML-escaped
// in text and percent-encoded (every byte but A-Z a-z 0-9 - . _ ~) in the path segments of links;
// paths are split into segments before they are decoded, so an identifier holding
// "/", "?", "#" or "%" names exactly itself.
//
// Pages refresh themselves every kRefreshSeconds and load nothing from anywhere (no
// script, style sheet, font or image of another origin), so they work offline; every
// answer (the API's and 404s too) carries kContentSecurityPolicy, nosniff and
// "X-Frame-Options: DENY". Every number on a page is also in a data- attribute,
// exactly as the API gives it. The verdicts come from orvSrmCheck, as `orvexp report`
// prints them: each exposure judged against the split it carried, else the weights of
// the payloads the server serves, else equal shares; the page says which, and how many
// exposures carried no split.
//
// What is kept, and for how long: an index of every experiment (its two identifiers and
// whether it is in alarm, nothing more), computed in one pass over the counts that holds
// one experiment's rows at a time; and the last kCachedPages pages asked for (checks and
// series of their experiments only, read from the store by the page's experiments). Both
// serve every request until events arrive (or kRefreshSeconds pass, for edited
// payloads); requests that find them stale wait for the one computing them instead of
// computing side by side. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/OrvReadout.h"
#include "analysis/OrvSrm.h"
#include "collector/OrvEventStore.h"

namespace httplib {
class Server;
}

namespace OrvReportPage {

constexpr int kRefreshSeconds = 5;
constexpr int kChartSteps = 60;
constexpr std::size_t kPageSize = 50;
constexpr std::size_t kCachedPages = 16;
// The page has no script and loads nothing; its styles are inline (a <style> element
// and the legend's colours), its charts inline SVG.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; style-src 'unsafe-inline'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

// One experiment as the page and the API show it.
struct Experiment {
  OrvSrmCheck check;
  std::optional<OrvExperimentReadout> readout;  // none while no unit produced an outcome
  std::vector<OrvEventStore::SeriesPoint> series;
  std::int64_t stepMs = 0;
};

// Which experiments an answer lists: all, or those of one application and/or one
// experiment identifier; and which page of them.
struct Selection {
  std::optional<std::string> appId;
  std::optional<std::string> experimentId;
  std::size_t page = 1;
  bool fixedHorizon = false;  // ?horizon=fixed
  // ?expected_units=N (1 to 10^9): the always-valid readout's tuning; else
  // OrvReadoutOptions' default.
  std::optional<std::int64_t> expectedUnits;
};

// One page of a selection.
struct Page {
  Selection selection;
  std::vector<Experiment> experiments;  // at most kPageSize, in list order
  std::int64_t events = 0;              // stored in all
  std::size_t total = 0;                // experiments the selection lists, on every page
  std::size_t alarms = 0;               // of them, in alarm
  std::size_t page = 1;
  std::size_t pages = 1;  // at least 1, also for no experiments; page > pages is none
};

// {"events": N, "total": T, "alarms": A, "page": P, "pages": Q, "page_size": kPageSize,
//  "experiments": [check.toValue() plus "series": {"step_ms",
//  "points": [{"group_id", "start_ms", "exposures"}]}, "readout": OrvExperimentReadout::
//  toValue() or null]}
std::string json(const Page& page);
std::string html(const Page& page, const std::string& title);

// `segment` with every byte but A-Z a-z 0-9 - . _ ~ written as %XX.
std::string percentEncode(const std::string& segment);

// How the readout of a selection is computed (?horizon=fixed, ?expected_units=N).
OrvReadoutOptions readoutOptions(const Selection& selection);

// Registers the GET routes above on `server`. `store` must outlive it.
void serve(httplib::Server& server, const OrvEventStore& store, const std::string& payloadDir);

}  // namespace OrvReportPage
