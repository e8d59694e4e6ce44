// Where the library keeps its files. Thread-safe.
#pragma once

#include <string>

class OrvDataDirectory {
 public:
  OrvDataDirectory() = delete;
  static void set(std::string path);
  // The directory set, or the per-user default.
  static std::string get();
  // Creates the directory (and missing parents) with owner-only permissions when it
  // does not exist. Returns false with a reason when it cannot.
  static bool ensureExists(const std::string& path, std::string* why);
};
