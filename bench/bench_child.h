#pragma once
// Runs a reference program (7zz, tftp, curl) as a child process and
// measures it the way the benchmarks compare it with the tool: wall time
// from start to exit and the CPU time it used. (Not its peak resident set:
// Linux starts a spawned child's count at its parent's; peak_mb_of measures
// it under GNU time.)

#include <chrono>
#include <string>
#include <vector>

namespace torvi::bench {

struct ChildRun {
  int status = -1;  // exit status; -1 when it could not start, was killed or ran out of time
  double wall_seconds = 0;
  double cpu_seconds = 0;  // user and system time
};

// Runs `argv` (argv[0] looked up on the PATH) with its standard streams on
// the null device, and waits for it, at most `timeout_seconds`.
ChildRun run_child(const std::vector<std::string>& argv, double timeout_seconds = 120);

// Runs the commands one after another, as a shell script of them would,
// stopping at the first that fails: wall and CPU times add up, the status is the last one's.
ChildRun run_children(const std::vector<std::vector<std::string>>& commands,
                      double timeout_seconds = 120);

inline constexpr double kMiB = 1024.0 * 1024.0;

// Seconds from `start` until now.
inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The peak resident set of a program run under GNU time, in MiB (0 when it
// did not end with status 0). time forks the program from its own small
// process, so the count starts from that and not from the benchmark's.
// `report` is a scratch file for time's figure.
double peak_mb_of(const std::vector<std::string>& argv, const std::string& report,
                  double timeout_seconds = 120);

// The middle value (the mean of the middle two for an even count; 0 for
// none). Ratios are taken per iteration, the tool and its reference side by
// side, and their median is reported: a burst of load from elsewhere on the
// machine then spoils one ratio, not the figure.
double median(std::vector<double> values);

}  // namespace torvi::bench
