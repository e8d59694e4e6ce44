// The exposure report of `orvexp serve --events DB`, on the server's own port:
//   GET /                  a page with every experiment: per group the exposures, share
//                          and intended share, the sample-ratio-mismatch verdict in plain
//                          words, and exposures over time per group as an inline SVG chart;
//   GET /experiments/<id>  the same for the experiments with that identifier;
//   GET /api/experiments   the same numbers as JSON.
// Pages refresh themselves every kRefreshSeconds and load nothing from anywhere (no
// script, style sheet, font or image of another origin), so they work offline. Every
// number on a page is also in a data- attribute, exactly as the API gives it. The
// verdicts come from orvSrmChecks, as `orvexp report` prints them, with the intended
// split from the payloads the server serves. One computation of the whole report serves
// every page and API request until events arrive (or kRefreshSeconds pass, for edited
// payloads). Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OrvEventStore.h"
#include "OrvSrm.h"

namespace httplib {
class Server;
}

namespace OrvReportPage {

constexpr int kRefreshSeconds = 5;
constexpr int kChartSteps = 60;

// One experiment as the page and the API show it.
struct Experiment {
  OrvSrmCheck check;
  std::vector<OrvEventStore::SeriesPoint> series;
  std::int64_t stepMs = 0;
};

// The report of `store`, with intended splits from the payloads in `payloadDir`.
std::vector<Experiment> collect(const OrvEventStore& store, const std::string& payloadDir);

// {"events": N, "experiments": [check.toValue() plus "series": {"step_ms",
//  "points": [{"group_id", "start_ms", "exposures"}]}]}
std::string json(const std::vector<Experiment>& experiments, std::int64_t events);
std::string html(const std::vector<Experiment>& experiments, std::int64_t events,
                 const std::string& title);

// Registers the three GET routes on `server`. `store` must outlive it.
void serve(httplib::Server& server, const OrvEventStore& store, const std::string& payloadDir);

}  // namespace OrvReportPage
