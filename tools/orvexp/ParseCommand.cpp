// `orvexp parse FILE`: shows the feature table a payload file turns into.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "Commands.h"
#include "OrvFeatureParser.h"
#include "OrvRemoteConfig.h"
#include "ToolSupport.h"

namespace orvexp {
namespace {

// The file's text, under the component's limit for a payload. Only a regular file is
// read: a device such as /dev/zero never ends, a FIFO may never open.
bool readPayloadFile(const std::string& path, std::string* text, std::string* why) {
  const std::size_t limit = OrvRemoteConfigSettings().maxBodyBytes();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *why = std::string("cannot open file: ") + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) *why = "not a regular file";
  char buffer[65536];
  while (ok) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) *why = std::string("read error: ") + std::strerror(errno);
      ok = n == 0;
      break;
    }
    text->append(buffer, static_cast<std::size_t>(n));
    if (text->size() > limit) {
      *why = "larger than the payload limit of " + std::to_string(limit) + " bytes";
      ok = false;
    }
  }
  ::close(fd);
  return ok;
}

int runParse(const std::string& path) {
  std::string text;
  std::string why;
  if (!readPayloadFile(path, &text, &why)) {
    std::cerr << "orvexp parse: " << path << ": " << why << "\n";
    return 1;
  }
  OrvValue::ParseResult parsed = OrvValue::parseJson(text);
  if (!parsed.ok()) {
    std::cerr << "orvexp parse: " << path << ": " << parsed.error << "\n";
    return 1;
  }
  auto table = OrvFeatureParser::parse(parsed.value);

  std::cout << "key\tvalue\texperiment_id\tgroup_id\tcontrol\tbucket_id\n";
  for (const auto* row : sortedRows(*table)) {
    const OrvFeature& feature = *row->second;
    std::cout << row->first << '\t' << feature.value().description();
    if (const auto& info = feature.experimentInfo()) {
      std::cout << '\t' << info->experimentId().description() << '\t'
                << info->experimentGroupId().description() << '\t'
                << (info->isControl() ? "yes" : "no") << '\t'
                << info->customBucketId().description();
    } else {
      std::cout << "\t-\t-\t-\t-";
    }
    std::cout << '\n';
  }
  std::cout << table->size() << " features\n";
  return 0;
}

}  // namespace

void setupParseCommand(CLI::App& app, int& exitCode) {
  auto* cmd = app.add_subcommand("parse", "Print the feature table of a payload file");
  auto path = std::make_shared<std::string>();
  cmd->add_option("file", *path, "Feature payload (a JSON object)")->required();
  cmd->callback([path, &exitCode] { exitCode = runParse(*path); });
}

}  // namespace orvexp
