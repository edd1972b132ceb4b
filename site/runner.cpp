#include "site/runner.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/console.h"
#include "platform/file.h"

namespace torvi::site {
namespace {

using clock = std::chrono::steady_clock;
constexpr auto kRedraw = std::chrono::milliseconds(200);

bool failure(const controller_outcome& outcome) {
  return outcome.result != site_result::ok && outcome.result != site_result::skipped;
}

std::string minutes_seconds(clock::duration duration) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration).count();
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                static_cast<long long>(seconds % 60));
  return text;
}

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

}  // namespace

void worker::pause(std::chrono::milliseconds duration) const {
  const auto until = clock::now() + duration;
  while (!stopping() && clock::now() < until) {
    std::this_thread::sleep_for(
        std::min<clock::duration>(std::chrono::milliseconds(50), until - clock::now()));
  }
}

site_runner::site_runner(const std::vector<site_controller>& controllers,
                         std::vector<controller_outcome>& outcomes, runner_options options,
                         site_io io)
    : controllers_(controllers),
      outcomes_(outcomes),
      options_(std::move(options)),
      io_(io),
      began_(clock::now()),
      board_(controllers.size()) {}

void site_runner::work_one(std::size_t index, const char* action, const controller_work& work,
                           bool append_log) {
  const site_controller& controller = controllers_[index];
  controller_outcome& outcome = outcomes_[index];
  const std::string path = options_.log_path(controller, action);
  outcome.log = path;
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  errno = 0;
  unique_file log = file_open(path, append_log ? "ab" : "wb");
  if (!log) {
    outcome.set(site_result::failed,
                "cannot write the log " + path + ": " + std::strerror(errno ? errno : EIO));
    return;
  }

  transfer_context context;
  context.verbose = options_.verbose;
  context.deadline = clock::now() + options_.timeout;
  context.stop = options_.interrupt;
  context.upload_progress = [this, index](std::uint64_t sent, std::uint64_t total) {
    const int percent = static_cast<int>(sent * 100 / total);
    std::lock_guard lock(mutex_);
    board_[index].percent = percent;
  };
  {
    console_scope console(log.get(), log.get());
    transfer_scope transfers(context);
    worker w(controller, outcome, context, [this, index](const std::string& text) {
      std::lock_guard lock(mutex_);
      board_[index].phase = text;
      board_[index].percent = -1;
    });
    work(w);
  }
  if (!file_close(log) && !failure(outcome)) {
    outcome.set(site_result::failed, "cannot write the log " + path);
  }
  // A step cut short says only that libcurl was stopped; say why.
  if (failure(outcome) && outcome.result != site_result::not_started) {
    if (interrupted()) {
      outcome.detail = "interrupted";
    } else if (clock::now() >= context.deadline) {
      outcome.detail = "timed out after " + std::to_string(options_.timeout.count()) + " s";
    }
  }
}

void site_runner::run(const std::vector<std::size_t>& order, const char* action,
                      const controller_work& work, bool stop_after_failure, bool append_log) {
  if (order.empty()) return;
  std::size_t next = 0;
  bool failed = false;
  std::string failed_name;
  std::vector<bool> ran(controllers_.size(), false);
  const std::size_t threads =
      std::min<std::size_t>(static_cast<std::size_t>(options_.jobs), order.size());
  std::size_t finished = 0;
  {
    std::lock_guard lock(mutex_);
    for (std::size_t index : order) board_[index] = board_entry{};
  }

  auto loop = [&] {
    for (;;) {
      std::size_t index;
      {
        std::lock_guard lock(mutex_);
        if (interrupted() || (stop_after_failure && failed) || next >= order.size()) break;
        index = order[next++];
        ran[index] = true;
        board_[index].now = state::working;
        board_[index].started = clock::now();
      }
      if (options_.observe) options_.observe(controllers_[index], true);
      work_one(index, action, work, append_log);
      if (options_.observe) options_.observe(controllers_[index], false);
      std::lock_guard lock(mutex_);
      board_[index].now = state::done;
      board_[index].took = clock::now() - board_[index].started;
      if (failure(outcomes_[index]) && !failed) {
        failed = true;
        failed_name = controllers_[index].name;
      }
      changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    ++finished;
    changed_.notify_all();
  };

  std::vector<std::thread> pool;
  for (std::size_t i = 0; i < threads; ++i) pool.emplace_back(loop);
  {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait_for(lock, kRedraw);
      show_progress();
      if (finished == threads) break;
    }
  }
  for (std::thread& t : pool) t.join();

  for (std::size_t index : order) {
    controller_outcome& outcome = outcomes_[index];
    if (ran[index] || outcome.result != site_result::not_started) continue;
    outcome.detail = interrupted() ? "interrupted"
                     : failed      ? "not started after " + failed_name + " failed"
                                   : outcome.detail;
  }
}

std::vector<std::string> site_runner::frame(clock::time_point now) const {
  std::size_t width_name = 4;
  std::size_t width_address = 7;
  std::size_t done = 0;
  std::size_t working = 0;
  for (std::size_t i = 0; i < controllers_.size(); ++i) {
    width_name = std::max(width_name, controllers_[i].name.size());
    width_address = std::max(width_address, controllers_[i].address.size());
    if (board_[i].now == state::working) ++working;
    if (board_[i].now == state::done && outcomes_[i].result != site_result::not_started) ++done;
  }
  std::vector<std::string> lines;
  lines.push_back("torvi-site: " + std::to_string(done) + " of " +
                  std::to_string(controllers_.size()) + " done, " + std::to_string(working) +
                  " at work  " + minutes_seconds(now - began_));
  // Every controller when they fit on the screen, else those at work.
  const bool all = controllers_.size() + 1 < static_cast<std::size_t>(io_.rows);
  for (std::size_t i = 0; i < controllers_.size(); ++i) {
    const board_entry& e = board_[i];
    if (!all && e.now != state::working) continue;
    if (lines.size() + 1 >= static_cast<std::size_t>(io_.rows)) break;
    std::string doing;
    std::string time;
    if (e.now == state::working) {
      doing = e.phase + (e.percent >= 0 ? " " + std::to_string(e.percent) + "%" : "");
      time = minutes_seconds(now - e.started);
    } else if (e.now == state::done && outcomes_[i].result != site_result::not_started) {
      doing = site_result_name(outcomes_[i].result);
      time = minutes_seconds(e.took);
    } else {
      doing = "waiting";
    }
    lines.push_back(padded(controllers_[i].name, width_name) + "  " +
                    padded(controllers_[i].address, width_address) + "  " + padded(doing, 24) +
                    "  " + time);
  }
  // A line as wide as the terminal would wrap and spoil the redraw.
  for (std::string& line : lines) {
    if (line.size() >= static_cast<std::size_t>(io_.columns)) {
      line.resize(static_cast<std::size_t>(std::max(io_.columns - 1, 1)));
    }
  }
  return lines;
}

void site_runner::show_progress() {
  if (io_.live) {
    const std::vector<std::string> lines = frame(clock::now());
    std::string shown;
    for (const std::string& line : lines) shown += "\033[2K" + line + "\n";
    if (shown == last_frame_) return;
    std::string text = "\r";
    if (drawn_ > 0) text += "\033[" + std::to_string(drawn_) + "A";
    std::fputs((text + shown + "\033[J").c_str(), io_.progress);
    drawn_ = static_cast<int>(lines.size());
    last_frame_ = shown;
  } else {
    for (std::size_t i = 0; i < controllers_.size(); ++i) {
      board_entry& e = board_[i];
      if (e.now != state::done || e.shown || outcomes_[i].result == site_result::not_started) {
        continue;
      }
      e.shown = true;
      std::fputs(summary_row(controllers_, controllers_[i], outcomes_[i]).c_str(), io_.progress);
    }
  }
  std::fflush(io_.progress);
}

void site_runner::finish_view() {
  std::lock_guard lock(mutex_);
  if (io_.live && drawn_ > 0) {
    std::fprintf(io_.progress, "\r\033[%dA\033[J", drawn_);
    std::fflush(io_.progress);
    drawn_ = 0;
  }
}

}  // namespace torvi::site
