/// @file
/// What the library needs from its host beyond the feature API: where its files live,
/// which thread runs completion listeners, and where console lines go. Call these
/// before start-up; each is thread-safe and may also be called later.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "OrvExperiment/OrvExport.h"

/// The library's host settings (see OrvPlatform.h): static calls only.
struct ORV_EXPORT OrvPlatform {
  OrvPlatform() = delete;

  /// Directory for the exposure store and the payload cache. Default: $XDG_DATA_HOME
  /// (or ~/.local/share) followed by "orv-experiment". Created owner-only on first use.
  /// Set it before start-up; stores already open keep the directory they opened.
  /// @{
  static void setDataDirectory(std::string path);
  static std::string dataDirectory();
  /// @}

  /// Every main-queue job (each completion-listener delivery) goes to `executor`
  /// instead of the library's own main-queue thread. The executor must queue the job
  /// and run it later, one job at a time in the order received, on the thread the
  /// application wants listeners on; it must not run the job inside the call. An empty
  /// function restores the default thread. Example, for an application loop:
  /// @code
  ///   std::mutex m; std::deque<std::function<void()>> jobs;
  ///   OrvPlatform::setMainQueueExecutor([&](std::function<void()> job) {
  ///     std::lock_guard lock(m); jobs.push_back(std::move(job));
  ///   });
  ///   // in the loop, on the UI thread:
  ///   for (;;) {
  ///     std::function<void()> job;
  ///     { std::lock_guard lock(m); if (jobs.empty()) break;
  ///       job = std::move(jobs.front()); jobs.pop_front(); }
  ///     job();
  ///   }
  /// @endcode
  static void setMainQueueExecutor(std::function<void(std::function<void()>)> executor);

  /// Every console line, from the "[OrvExperiment]" tag onward, goes to `sink` instead
  /// of stderr. The sink may be called from any library thread, one line at a time.
  /// An empty function restores stderr (where lines get a time and process prefix).
  static void setConsoleSink(std::function<void(std::string_view line)> sink);
};
