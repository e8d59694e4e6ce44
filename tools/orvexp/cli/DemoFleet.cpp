#include "cli/DemoFleet.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

extern char** environ;

namespace orvexp {

std::string deviceUnit(int index) { return "device-" + std::to_string(index); }

int runFleet(const FleetRun& run, std::string* firstProblem) {
  int failed = 0;
  struct Running {
    int device = 0;
    bool tracking = false;  // the device's track, after its get
  };
  std::map<pid_t, Running> running;
  const auto note = [&](const std::string& problem) {
    if (++failed == 1) *firstProblem = problem;
  };
  const auto file = [&](int device, const char* suffix) {
    return run.dataRoot + "/" + std::to_string(device) + suffix;
  };
  // Starts `args` for `device`, its stdout to `out` and its stderr to `err`.
  const auto spawn = [&](int device, bool tracking, std::vector<std::string> args,
                         const std::string& out, const std::string& err) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, run.orvexp.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (rc != 0) {
      note(deviceUnit(device) + ": cannot start " + run.orvexp + ": " + std::strerror(rc));
      return;
    }
    running[pid] = {device, tracking};
  };
  const auto track = [&](int device) {
    spawn(device, true,
          {run.orvexp, "track", "--app", run.appId, "--bucket-id", deviceUnit(device), "--data-dir",
           file(device, ""), "--events-url", run.serverUrl, "--timeout", "20", run.outcome},
          "/dev/null", file(device, ".track.err"));
  };
  const auto reapOne = [&] {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) return;
      running.clear();
      return;
    }
    const auto found = running.find(pid);
    if (found == running.end()) return;
    const Running process = found->second;
    running.erase(found);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      note(deviceUnit(process.device) + ": orvexp " + (process.tracking ? "track" : "get") +
           " ended with status " +
           std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) +
           " (its stderr is in " + file(process.device, process.tracking ? ".track.err" : ".err") +
           ")");
      return;
    }
    if (process.tracking || run.outcome.empty() || !run.converts) return;
    std::ifstream in(file(process.device, ".out"));
    std::ostringstream shown;
    shown << in.rdbuf();
    // The slot this get held goes to its track.
    if (run.converts(process.device, shown.str())) track(process.device);
  };
  for (int i = 1; i <= run.devices; ++i) {
    while (static_cast<int>(running.size()) >= run.parallel) reapOne();
    const std::string unit = deviceUnit(i);
    std::vector<std::string> args = {
        run.orvexp,  "get",         "--app", run.appId,   "--server", run.serverUrl, "--data-dir",
        file(i, ""), "--bucket-id", unit,    "--timeout", "20",       "--json"};
    if (!run.outcome.empty()) args.push_back("--detail");
    if (run.exports(unit)) {
      args.push_back("--events-url");
      args.push_back(run.serverUrl);
    } else {
      // Its exposures go to the --events file, never to the collector: the fault.
      args.push_back("--events");
      args.push_back(file(i, ".dropped"));
    }
    args.push_back(run.key);
    spawn(i, false, std::move(args), run.outcome.empty() ? "/dev/null" : file(i, ".out"),
          file(i, ".err"));
  }
  while (!running.empty()) reapOne();
  return failed;
}

}  // namespace orvexp
