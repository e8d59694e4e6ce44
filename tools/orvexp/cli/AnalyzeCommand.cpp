// `orvexp analyze [--in FILE]`: each group of an experiment against control, from the
// groups' sums, JSON in (stdin or FILE) and JSON out (stdout). The arithmetic is
// orvAnalyze's (OrvStatistics.h); this file only reads, checks and writes.
#include <CLI/CLI.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "OrvExperiment/OrvValue.h"
#include "analysis/OrvStatistics.h"
#include "cli/Commands.h"
#include "cli/ToolSupport.h"

namespace orvexp {
namespace {

// A JSON number that is not a boolean (OrvValue counts booleans as numbers).
bool isNumber(const OrvValue& v) { return v.isNumber() && !v.isBoolean(); }

// "" when every key of `object` is one of `known`, else the first that is not.
std::string unknownKey(const OrvValue& object, std::initializer_list<const char*> known) {
  for (const auto& [key, value] : object.entries()) {
    bool found = false;
    for (const char* k : known) found = found || key == k;
    if (!found) return key;
  }
  return "";
}

// `object[key]` as a number into *out: "" when it is one (or absent and `optional`),
// else what is wrong, naming `where`.
std::string number(const OrvValue& object, const char* key, const std::string& where, double* out,
                   bool optional = false) {
  const OrvValue& v = object[key];
  if (v.isAbsent() && optional) return "";
  if (!isNumber(v)) return where + std::string(key) + " must be a number";
  *out = v.doubleValue();
  return "";
}

// The input's options and groups, or "" and what is wrong.
std::string readInput(const OrvValue& input, OrvAnalysisOptions* options,
                      std::vector<OrvGroupSums>* groups) {
  if (!input.isDictionary()) return "the input must be a JSON object";
  if (const std::string key =
          unknownKey(input, {"alpha", "difference", "metric", "sequential", "groups"});
      !key.empty())
    return "unknown field \"" + key + "\"";
  if (std::string problem = number(input, "alpha", "", &options->alpha, true); !problem.empty())
    return problem;
  if (const OrvValue& d = input["difference"]; !d.isAbsent()) {
    if (d.stringValue() == "relative" && d.isString()) {
      options->difference = OrvDifference::kRelative;
    } else if (d.stringValue() == "absolute" && d.isString()) {
      options->difference = OrvDifference::kAbsolute;
    } else {
      return "difference must be \"relative\" or \"absolute\"";
    }
  }
  if (const OrvValue& m = input["metric"]; !m.isAbsent()) {
    if (m.stringValue() == "mean" && m.isString()) {
      options->metric = OrvMetric::kMean;
    } else if (m.stringValue() == "proportion" && m.isString()) {
      options->metric = OrvMetric::kProportion;
    } else {
      return "metric must be \"mean\" or \"proportion\"";
    }
  }
  if (const OrvValue& s = input["sequential"]; !s.isAbsent() && !s.isNull()) {
    if (!s.isDictionary()) return "sequential must be an object: {\"expected_units\": N}";
    if (const std::string key = unknownKey(s, {"expected_units"}); !key.empty())
      return "unknown field \"sequential." + key + "\"";
    double expected = 0;
    if (std::string problem = number(s, "expected_units", "sequential.", &expected);
        !problem.empty())
      return problem;
    options->expectedUnits = expected;
  }
  const OrvValue& list = input["groups"];
  if (!list.isArray()) return "groups must be an array of objects";
  for (std::size_t i = 0; i < list.size(); ++i) {
    const OrvValue& g = list.at(i);
    const std::string where = "groups[" + std::to_string(i) + "].";
    if (!g.isDictionary()) return "groups[" + std::to_string(i) + "] must be an object";
    if (const std::string key =
            unknownKey(g, {"id", "control", "units", "sum", "sum_squares", "covariate"});
        !key.empty())
      return "unknown field \"" + where + key + "\"";
    OrvGroupSums group;
    if (!g["id"].isString()) return where + "id must be a string";
    group.id = g["id"].stringValue();
    if (const OrvValue& c = g["control"]; !c.isAbsent()) {
      if (!c.isBoolean()) return where + "control must be true or false";
      group.control = c.boolValue();
    }
    const OrvValue& units = g["units"];
    if (!isNumber(units) || OrvValue(units.int64Value()) != units)
      return where + "units must be a whole number";
    group.units = units.int64Value();
    if (std::string problem = number(g, "sum", where, &group.sum); !problem.empty()) return problem;
    if (!g["sum_squares"].isAbsent()) {
      double squares = 0;
      if (std::string problem = number(g, "sum_squares", where, &squares); !problem.empty())
        return problem;
      group.sumSquares = squares;
    }
    if (const OrvValue& x = g["covariate"]; !x.isAbsent()) {
      const std::string at = where + "covariate.";
      if (!x.isDictionary())
        return where + "covariate must be an object: {\"sum\", \"sum_squares\", \"cross_sum\"}";
      if (const std::string key = unknownKey(x, {"sum", "sum_squares", "cross_sum"}); !key.empty())
        return "unknown field \"" + at + key + "\"";
      OrvGroupSums::Covariate covariate;
      for (auto [key, out] :
           {std::pair{"sum", &covariate.sum}, std::pair{"sum_squares", &covariate.sumSquares},
            std::pair{"cross_sum", &covariate.crossSum}})
        if (std::string problem = number(x, key, at, out); !problem.empty()) return problem;
      group.covariate = covariate;
    }
    groups->push_back(std::move(group));
  }
  return "";
}

OrvValue interval(double low, double high) {
  return OrvValue::array({OrvValue(low), OrvValue(high)});
}

OrvValue output(const OrvAnalysisOptions& options, const OrvAnalysis& analysis) {
  const OrvValue theta = analysis.cupedTheta ? OrvValue(*analysis.cupedTheta) : OrvValue::null();
  OrvValue::Array comparisons;
  for (const OrvComparison& c : analysis.comparisons) {
    OrvValue::Dictionary entry = {{"id", OrvValue(c.id)},
                                  {"units", OrvValue(c.units)},
                                  {"control_units", OrvValue(c.controlUnits)},
                                  {"mean", OrvValue(c.mean)},
                                  {"control_mean", OrvValue(c.controlMean)},
                                  {"estimate", OrvValue(c.estimate)},
                                  {"standard_error", OrvValue(c.standardError)},
                                  {"degrees_of_freedom", OrvValue(c.degreesOfFreedom)},
                                  {"ci", interval(c.low, c.high)},
                                  {"p_value", OrvValue(c.pValue)},
                                  {"sequential", OrvValue(c.sequential)},
                                  {"cuped_theta", theta}};
    if (c.sequential)
      entry.emplace_back("fixed_horizon",
                         OrvValue::dictionary({{"ci", interval(c.fixedLow, c.fixedHigh)},
                                               {"p_value", OrvValue(c.fixedPValue)}}));
    comparisons.push_back(OrvValue::dictionary(std::move(entry)));
  }
  return OrvValue::dictionary(
      {{"alpha", OrvValue(options.alpha)},
       {"difference",
        OrvValue(options.difference == OrvDifference::kRelative ? "relative" : "absolute")},
       {"metric", OrvValue(options.metric == OrvMetric::kMean ? "mean" : "proportion")},
       {"sequential",
        options.expectedUnits
            ? OrvValue::dictionary({{"expected_units", OrvValue(*options.expectedUnits)}})
            : OrvValue::null()},
       {"control", OrvValue(analysis.controlId)},
       {"cuped_theta", theta},
       {"comparisons", OrvValue::array(std::move(comparisons))}});
}

int runAnalyze(const std::string& inFile) {
  std::string text;
  const std::string source = inFile.empty() ? "stdin" : inFile;
  if (inFile.empty()) {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::error_code error;
    if (std::filesystem::is_directory(inFile, error)) {
      printError("analyze", inFile + ": is a directory");
      return 1;
    }
    std::ifstream file(inFile, std::ios::binary);
    std::ostringstream read;
    if (file) read << file.rdbuf();
    if (!file || file.bad()) {
      printError("analyze", inFile + ": cannot be read");
      return 1;
    }
    text = read.str();
  }
  const OrvValue::ParseResult parsed = OrvValue::parseJson(text);
  if (!parsed.ok()) {
    printError("analyze", source + ": not JSON: " + parsed.error);
    return 1;
  }
  OrvAnalysisOptions options;
  std::vector<OrvGroupSums> groups;
  if (const std::string problem = readInput(parsed.value, &options, &groups); !problem.empty()) {
    printError("analyze", source + ": " + problem);
    return 1;
  }
  const OrvAnalysis analysis = orvAnalyze(groups, options);
  if (!analysis.error.empty()) {
    printError("analyze", source + ": " + analysis.error);
    return 1;
  }
  std::cout << output(options, analysis).toJson() << "\n" << std::flush;
  return 0;
}

}  // namespace

void setupAnalyzeCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand(
      "analyze",
      "Compare each group with control from the groups' sums (JSON on stdin, JSON out): "
      "estimate, standard error, interval and p-value, fixed-horizon or always valid, with "
      "CUPED when the groups carry a covariate");
  auto inFile = std::make_shared<std::string>();
  cmd->add_option("--in", *inFile, "Read the input from this file instead of standard input");
  cmd->callback([inFile, &exitCode] { exitCode = runAnalyze(*inFile); });
}

}  // namespace orvexp
