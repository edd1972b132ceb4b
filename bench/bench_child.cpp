#include "bench_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

extern char** environ;

namespace torvi::bench {
namespace {

double seconds_of(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

}  // namespace

ChildRun run_child(const std::vector<std::string>& argv, double timeout_seconds) {
  ChildRun run;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return run;
  // A pidfd turns readable the moment the child ends, so the wall time is
  // not rounded to a polling interval, and the wait stays bounded.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  bool ended = false;
  if (pidfd >= 0) {
    pollfd watch{pidfd, POLLIN, 0};
    ended = poll(&watch, 1, static_cast<int>(timeout_seconds * 1000)) == 1;
    close(pidfd);
  }
  const auto end = std::chrono::steady_clock::now();
  if (!ended) kill(pid, SIGKILL);
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return run;
  run.wall_seconds = std::chrono::duration<double>(end - start).count();
  run.cpu_seconds = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
  run.status = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

ChildRun run_children(const std::vector<std::vector<std::string>>& commands,
                      double timeout_seconds) {
  ChildRun total;
  total.status = 0;
  for (const auto& argv : commands) {
    const ChildRun run = run_child(argv, timeout_seconds);
    total.status = run.status;
    total.wall_seconds += run.wall_seconds;
    total.cpu_seconds += run.cpu_seconds;
    if (run.status != 0) break;
  }
  return total;
}

double peak_mb_of(const std::vector<std::string>& argv, const std::string& report,
                  double timeout_seconds) {
  std::vector<std::string> timed = {"/usr/bin/time", "-f", "%M", "-o", report};
  timed.insert(timed.end(), argv.begin(), argv.end());
  if (run_child(timed, timeout_seconds).status != 0) return 0;
  std::FILE* file = std::fopen(report.c_str(), "r");
  if (!file) return 0;
  long kib = 0;
  const bool read = std::fscanf(file, "%ld", &kib) == 1;
  std::fclose(file);
  return read ? static_cast<double>(kib) / 1024.0 : 0;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace torvi::bench
