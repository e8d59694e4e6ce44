// Helpers shared by the test binaries: scratch directories, files, and running
// helper processes.
#pragma once

#include <string>
#include <vector>

#include "OrvExperiment/OrvValue.h"

namespace orvtest {

// A fresh directory under the system temp directory, removed with its contents when
// the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);

// Parses JSON that the test itself wrote; fails the test on a parse error.
OrvValue json(const std::string& text);

}  // namespace orvtest
