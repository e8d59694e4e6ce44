#include "DemoFleet.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

extern char** environ;

namespace orvexp {

std::string deviceUnit(int index) { return "device-" + std::to_string(index); }

int runFleet(const FleetRun& run, std::string* firstProblem) {
  int failed = 0;
  std::map<pid_t, int> running;  // pid -> device index
  const auto note = [&](const std::string& problem) {
    if (++failed == 1) *firstProblem = problem;
  };
  const auto reapOne = [&] {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) return;
      running.clear();
      return;
    }
    const auto device = running.find(pid);
    if (device == running.end()) return;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      note(deviceUnit(device->second) + ": orvexp get ended with status " +
           std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) +
           " (its stderr is in " + run.dataRoot + "/" + std::to_string(device->second) + ".err)");
    running.erase(device);
  };
  for (int i = 1; i <= run.devices; ++i) {
    while (static_cast<int>(running.size()) >= run.parallel) reapOne();
    const std::string unit = deviceUnit(i);
    std::vector<std::string> args = {
        run.orvexp,    "get",         "--app",      run.appId,
        "--server",    run.serverUrl, "--data-dir", run.dataRoot + "/" + std::to_string(i),
        "--bucket-id", unit,          "--timeout",  "20",
        "--json"};
    if (run.exports(unit)) {
      args.push_back("--events-url");
      args.push_back(run.serverUrl);
    } else {
      // Its exposures go to the --events file, never to the collector: the fault.
      args.push_back("--events");
      args.push_back(run.dataRoot + "/" + std::to_string(i) + ".dropped");
    }
    args.push_back(run.key);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string err = run.dataRoot + "/" + std::to_string(i) + ".err";
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, run.orvexp.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (rc != 0) {
      note(unit + ": cannot start " + run.orvexp + ": " + std::strerror(rc));
      continue;
    }
    running[pid] = i;
  }
  while (!running.empty()) reapOne();
  return failed;
}

}  // namespace orvexp
