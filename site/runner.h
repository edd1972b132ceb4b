#pragma once
// The pool of workers: runs one controller's work on each of up to `jobs`
// threads, each with its own log, console streams and transfer context,
// and shows the run as it goes (a live view on a terminal, a line per
// finished controller elsewhere).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "link/transfer_context.h"
#include "site/inventory.h"
#include "site/summary.h"

namespace torvi::site {

// Where the run shows itself.
struct site_io {
  std::FILE* progress = stderr;  // the live view, or a line per finished controller
  std::FILE* summary = stdout;   // the table or the JSON document
  bool live = false;             // `progress` is a terminal: redraw a view in place
  int rows = 24;                 // the terminal's size, for the live view
  int columns = 80;
};

struct runner_options {
  int jobs = 8;
  std::chrono::seconds timeout{900};
  bool verbose = false;
  const std::atomic<bool>* interrupt = nullptr;  // set once the user interrupts
  // The log of a controller's work for the action (e.g. "get_status").
  std::function<std::string(const site_controller&, const char* action)> log_path;
  // Test hook: told when a controller's work starts and ends.
  std::function<void(const site_controller&, bool started)> observe;
};

// What a controller's work gets from the worker that runs it. Everything
// here belongs to that one worker; the actions it calls find their console
// streams and transfer context through the thread.
class worker {
 public:
  worker(const site_controller& c, controller_outcome& o, transfer_context& t,
         std::function<void(const std::string&)> show)
      : controller(c), outcome(o), transfer(t), show_(std::move(show)) {}

  const site_controller& controller;
  controller_outcome& outcome;
  transfer_context& transfer;

  // What the live view says the controller is doing.
  void phase(const std::string& text) const { show_(text); }
  // True once the run is interrupted or the controller's time is up: start
  // no further step.
  bool stopping() const {
    return (transfer.stop && transfer.stop->load()) ||
           std::chrono::steady_clock::now() >= transfer.deadline;
  }
  // Sleeps up to `duration`, less when stopping() comes true meanwhile.
  void pause(std::chrono::milliseconds duration) const;

 private:
  std::function<void(const std::string&)> show_;
};

using controller_work = std::function<void(worker&)>;

class site_runner {
 public:
  site_runner(const std::vector<site_controller>& controllers,
              std::vector<controller_outcome>& outcomes, runner_options options, site_io io);

  // Runs `work` for the controllers at `order` (indices, in that order), at
  // most `jobs` at once, and returns when every one started has finished.
  // The log of each is opened anew, or appended to with `append_log`. With
  // `stop_after_failure` no controller starts once one has failed. Those
  // never started stay not-started, with the reason.
  void run(const std::vector<std::size_t>& order, const char* action, const controller_work& work,
           bool stop_after_failure = false, bool append_log = false);

  bool interrupted() const { return options_.interrupt && options_.interrupt->load(); }

  // Takes the live view off the terminal, before the summary.
  void finish_view();

 private:
  enum class state { waiting, working, done };
  struct board_entry {
    state now = state::waiting;
    std::string phase;
    int percent = -1;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::duration took{};
    bool shown = false;  // its finished line is out
  };

  void work_one(std::size_t index, const char* action, const controller_work& work,
                bool append_log);
  void show_progress();
  std::vector<std::string> frame(std::chrono::steady_clock::time_point now) const;

  const std::vector<site_controller>& controllers_;
  std::vector<controller_outcome>& outcomes_;
  runner_options options_;
  site_io io_;
  std::chrono::steady_clock::time_point began_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<board_entry> board_;
  int drawn_ = 0;           // lines of the live view on the terminal
  std::string last_frame_;  // what they say, so an unchanged view is not sent again
};

}  // namespace torvi::site
