// torvi-site against sites of simulated controllers in this process: a
// backup of 32 controllers several at once next to the same 32 get_backup
// runs one after another, the peak memory of a firmware rollout to 16
// controllers against the image and package it holds, and how long the
// status of 256 controllers takes and how much memory it needs.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "action/actions.h"
#include "bench_child.h"
#include "platform/file.h"
#include "sim/firmware_maker.h"
#include "sim/site.h"
#include "site/site.h"
#include "test_support.h"

namespace {

using torvi::bench::kMiB;
using torvi::bench::peak_mb_of;
using torvi::bench::seconds_since;

// A site of `count` controllers with its inventory, kept for the whole run.
struct SiteFixture {
  explicit SiteFixture(unsigned count, std::vector<std::string> faults = {}) {
    std::vector<korvan::SimOptions> controllers;
    std::string error;
    const korvan::SiteOptions options{
        .controllers = count, .faults = std::move(faults), .keep_events = false};
    bool started = korvan::site_controllers(options, controllers, &error);
    if (started) {
      site = std::make_unique<korvan::Site>(std::move(controllers));
      started = site->start(&error) && site->write_inventory(inventory, &error);
    }
    if (!started) {
      std::fprintf(stderr, "bench: the site did not start: %s\n", error.c_str());
      std::abort();
    }
  }

  torvi::test::TempDir dir;
  std::string inventory = dir.file("site.csv");
  std::unique_ptr<korvan::Site> site;
};

// Each HTTP reply waits 20 ms, as across a routed network; the 18
// configurations and the status of a backup make its time mostly waiting.
SiteFixture& backup_site() {
  static SiteFixture f(32, {"http-delay=20"});
  return f;
}

// torvi-site backup --jobs 8 in this process, then the same 32 backups by
// get_backup one after another (torvi-cli's work without its closing
// pauses), in every iteration. vs_sequential is the site's wall time over
// the loop's (the median over the iterations).
void BM_SiteBackup32(benchmark::State& state) {
  SiteFixture& f = backup_site();
  torvi::unique_file sink(std::fopen("/dev/null", "w"));
  std::vector<double> ratios;
  double loop = 0;
  int round = 0;
  for (auto _ : state) {
    const std::string out = f.dir.file("site-" + std::to_string(++round));
    torvi::site::site_options options;
    options.command = torvi::site::site_command::backup;
    options.name = "backup";
    options.inventory = f.inventory;
    options.jobs = 8;
    options.out = out;
    const torvi::site::site_io io{.progress = sink.get(), .summary = sink.get()};
    auto start = std::chrono::steady_clock::now();
    const int status = torvi::site::site_execute(options, io);
    const double site_seconds = seconds_since(start);

    const std::string one_by_one = f.dir.file("loop-" + std::to_string(round));
    std::filesystem::create_directories(one_by_one);
    int failed = 0;
    start = std::chrono::steady_clock::now();
    {
      torvi::test::QuietConsole quiet;
      for (std::size_t i = 0; i < f.site->size(); ++i) {
        failed += torvi::get_backup((*f.site)[i].ip().c_str(), one_by_one.c_str(), "zip",
                                    nullptr) != 0;
      }
    }
    const double loop_seconds = seconds_since(start);
    std::filesystem::remove_all(out);
    std::filesystem::remove_all(one_by_one);
    if (status != 0 || failed != 0) {
      state.SkipWithError("a backup failed");
      return;
    }
    state.SetIterationTime(site_seconds);
    ratios.push_back(site_seconds / loop_seconds);
    loop += loop_seconds;
  }
  state.counters["sequential_ms"] = loop * 1e3 / static_cast<double>(state.iterations());
  state.counters["vs_sequential"] = torvi::bench::median(ratios);
}
BENCHMARK(BM_SiteBackup32)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

bool have_time(benchmark::State& state) {
  if (torvi::test::have_program("/usr/bin/time")) return true;
  state.SkipWithError("/usr/bin/time (GNU time) is not installed");
  return false;
}

// The torvi-site program rolling a 16,000,000-byte image out to 16
// controllers, eight at a time after the canary: its peak resident set
// against the package and image it holds plus 20 MB. The program's own
// footprint (--version) is shown beside.
void BM_SiteRolloutPeakMemory(benchmark::State& state) {
  static SiteFixture f(16);
  if (!have_time(state)) return;
  const korvan::FirmwareRecipe recipe{.size = 16'000'000, .method = "stored"};
  const std::vector<std::uint8_t> image = korvan::make_firmware_image(recipe);
  std::vector<std::uint8_t> package;
  if (!korvan::make_firmware_package(recipe, image, package, nullptr)) std::abort();
  const std::string path = f.dir.file("korvan-2.3.0.bin");
  torvi::test::write_file(path, package);
  const double budget_mb = static_cast<double>(image.size() + package.size() + 20'000'000) / kMiB;
  const std::string report = f.dir.file("peak.txt");
  double peak_mb = 0, idle_mb = 0, seconds = 0;
  for (auto _ : state) {
    idle_mb = peak_mb_of({TORVI_SITE_PATH, "--version"}, report);
    const auto start = std::chrono::steady_clock::now();
    // --reinstall: a controller already updated by an earlier run is updated again.
    peak_mb = peak_mb_of({TORVI_SITE_PATH, "firmware", "--package", path, "--reinstall", "--logs",
                          f.dir.file("logs"), f.inventory},
                         report, 300);
    seconds = seconds_since(start);
    if (peak_mb == 0 || idle_mb == 0) {
      state.SkipWithError("the rollout did not update every controller");
      return;
    }
  }
  state.counters["peak_mb"] = peak_mb;
  state.counters["budget_mb"] = budget_mb;
  state.counters["vs_budget"] = peak_mb / budget_mb;
  state.counters["program_mb"] = idle_mb;
  state.counters["rollout_s"] = seconds;
}
BENCHMARK(BM_SiteRolloutPeakMemory)->Unit(benchmark::kSecond)->Iterations(1);

// How many controllers one workstation serves: the status of 256 controllers
// with --jobs 64, the program's wall time and peak resident set.
void BM_SiteStatus256(benchmark::State& state) {
  static SiteFixture f(256);
  if (!have_time(state)) return;
  const std::string report = f.dir.file("peak.txt");
  double peak_mb = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    peak_mb = peak_mb_of({TORVI_SITE_PATH, "status", "--jobs", "64", "--logs", f.dir.file("logs"),
                          f.inventory},
                         report);
    state.SetIterationTime(seconds_since(start));
    if (peak_mb == 0) {
      state.SkipWithError("a controller's status failed");
      return;
    }
  }
  state.counters["peak_mb"] = peak_mb;
}
BENCHMARK(BM_SiteStatus256)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace
