// push_firmware of a 16 MB package against korvan-sim, next to what a
// technician could script instead in the same run: `7zz t` to check the
// package, the tftp-hpa client uploading the image, one curl request for the
// upgrade. The ratios show what the tool costs over those bare steps; the
// upload alone is compared with tftp-hpa's, and the peak memory of the real
// program with the image and package it holds.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "action/actions.h"
#include "bench_child.h"
#include "link/transfers.h"
#include "platform/console.h"
#include "sim/firmware_maker.h"
#include "sim/korvan_sim.h"
#include "test_support.h"

namespace {

using torvi::bench::ChildRun;
using torvi::bench::peak_mb_of;
using torvi::bench::run_child;
using torvi::bench::run_children;

constexpr std::size_t kImageBytes = 16'000'000;
using torvi::bench::kMiB;
using torvi::bench::seconds_since;

// The image, its raw file, and one package per method, with a simulator to
// send them to.
struct PushFixture {
  PushFixture() {
    korvan::FirmwareRecipe fw{.size = kImageBytes};
    image = korvan::make_firmware_image(fw);
    image_path = dir.file("firmware.binary");
    torvi::test::write_file(image_path, image);
    for (const char* method : {"stored", "deflate"}) {
      fw.method = method;
      std::vector<std::uint8_t> package;
      std::string error;
      if (!korvan::make_firmware_package(fw, image, package, &error)) std::abort();
      const std::string path = dir.file(std::string("firmware-") + method + ".bin");
      torvi::test::write_file(path, package);
      packages[method] = {path, package.size()};
    }
    sim = std::make_unique<korvan::Simulator>(korvan::SimOptions{});
    if (!sim->start()) std::abort();
    upgrade_url = "http://" + sim->ip() + "/api/v100/status.ssi?action=firmwareupgrade&hash=" +
                  korvan::firmware_digest_hex(image) + "&size=" + std::to_string(image.size());
  }
  // tftp-hpa's client uploading the image.
  std::vector<std::string> tftp_client() const {
    return {"tftp", "-m",  "binary",   "127.0.0.1",   std::to_string(sim->port()),
            "-c",   "put", image_path, "flashraw.bin"};
  }
  // What a script would run instead of the tool for the package at `path`.
  std::vector<std::vector<std::string>> pipeline(const std::string& path) const {
    return {{"7zz", "t", std::string("-p") + korvan::kPackagePassword, path},
            tftp_client(),
            {"curl", "-s", "-o", "/dev/null", upgrade_url}};
  }
  // True when the simulator received the image `uploads` times and
  // installed it `upgrades` times since it was last cleared; clears it.
  bool received(std::size_t uploads, std::size_t upgrades) {
    std::size_t seen_uploads = 0, seen_upgrades = 0;
    for (const auto& e : sim->events()) {
      seen_uploads += e.kind == "upload" && e.data == image;
      seen_upgrades += e.kind == "upgrade" && e.ok;
    }
    sim->clear_events();
    return seen_uploads == uploads && seen_upgrades == upgrades;
  }

  torvi::test::TempDir dir;
  std::vector<std::uint8_t> image;
  std::string image_path;
  struct Package {
    std::string path;
    std::size_t size = 0;
  };
  std::map<std::string, Package> packages;
  std::unique_ptr<korvan::Simulator> sim;
  std::string upgrade_url;
};

PushFixture& fixture() {
  static PushFixture f;
  return f;
}

bool have_peers(benchmark::State& state) {
  for (const char* program : {"7zz", "tftp", "curl"}) {
    if (!torvi::test::have_program(program)) {
      state.SkipWithError((std::string(program) + " is not installed").c_str());
      return false;
    }
  }
  return true;
}

// The whole action in this process (so without the closing pause), then the
// script's three steps, in every iteration. vs_pipeline is the action's wall
// time over the script's (the median over the iterations).
void BM_PushFirmware(benchmark::State& state, const std::string& method) {
  PushFixture& f = fixture();
  if (!have_peers(state)) return;
  const std::string& path = f.packages.at(method).path;
  const auto pipeline = f.pipeline(path);
  std::vector<double> ratios;
  double script = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    {
      torvi::test::QuietConsole quiet;
      torvi::push_firmware(f.sim->ip().c_str(), path.c_str());
    }
    const double seconds = seconds_since(start);
    const ChildRun run = run_children(pipeline);
    if (run.status != 0 || !f.received(2, 2)) {
      state.SkipWithError("an upload or upgrade did not complete");
      return;
    }
    state.SetIterationTime(seconds);
    ratios.push_back(seconds / run.wall_seconds);
    script += run.wall_seconds;
  }
  state.counters["pipeline_ms"] = script * 1e3 / static_cast<double>(state.iterations());
  state.counters["vs_pipeline"] = torvi::bench::median(ratios);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageBytes));
}
BENCHMARK_CAPTURE(BM_PushFirmware, Deflate, std::string("deflate"))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(7);
BENCHMARK_CAPTURE(BM_PushFirmware, Stored, std::string("stored"))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(7);

// The tool's TFTP upload alone against tftp-hpa's upload of the same image
// (both 512-byte blocks), to separate the transfer from the rest.
void BM_FirmwarePushTftp(benchmark::State& state) {
  PushFixture& f = fixture();
  if (!torvi::test::have_program("tftp")) {
    state.SkipWithError("tftp (tftp-hpa) is not installed");
    return;
  }
  torvi::ImageRecord record;
  record.data = f.image;
  record.size = f.image.size();
  const std::vector<std::string> client = f.tftp_client();
  std::vector<double> ratios;
  double reference = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    int result;
    {
      torvi::test::QuietConsole quiet;
      result = torvi::firmware_push_tftp(f.sim->ip().c_str(), record);
    }
    const double seconds = seconds_since(start);
    const ChildRun run = run_child(client);
    if (result != 0 || run.status != 0 || !f.received(2, 0)) {
      state.SkipWithError("an upload failed");
      return;
    }
    state.SetIterationTime(seconds);
    ratios.push_back(seconds / run.wall_seconds);
    reference += run.wall_seconds;
  }
  state.counters["tftp_hpa_ms"] = reference * 1e3 / static_cast<double>(state.iterations());
  state.counters["vs_tftp_hpa"] = torvi::bench::median(ratios);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageBytes));
}
BENCHMARK(BM_FirmwarePushTftp)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(7);

// torvi-cli itself pushing the package: its peak resident set (shared
// libraries included) against the image and the package it has to hold.
// The program's own footprint, from `torvi-cli --version`, is shown beside.
// One run, as each one ends with the 4-second closing pause.
void BM_PushFirmwarePeakMemory(benchmark::State& state, const std::string& method) {
  PushFixture& f = fixture();
  if (!torvi::test::have_program("/usr/bin/time")) {
    state.SkipWithError("/usr/bin/time (GNU time) is not installed");
    return;
  }
  const PushFixture::Package& package = f.packages.at(method);
  const double held_mb = static_cast<double>(kImageBytes + package.size) / kMiB;
  const std::string report = f.dir.file("peak.txt");
  double push_mb = 0, idle_mb = 0;
  for (auto _ : state) {
    idle_mb = peak_mb_of({TORVI_CLI_PATH, "--version"}, report);
    push_mb = peak_mb_of({TORVI_CLI_PATH, "--action", "push_firmware", "--ip", f.sim->ip(),
                          "--firmwarefile", package.path},
                         report);
    if (push_mb == 0 || idle_mb == 0 || !f.received(1, 1)) {
      state.SkipWithError("torvi-cli did not push the image");
      return;
    }
  }
  state.counters["peak_mb"] = push_mb;
  state.counters["image_package_mb"] = held_mb;
  state.counters["over_image_package_mb"] = push_mb - held_mb;
  state.counters["vs_image_package"] = push_mb / held_mb;
  state.counters["program_mb"] = idle_mb;
  // What the push holds besides the image, the package and the program itself.
  state.counters["working_mb"] = push_mb - idle_mb - held_mb;
}
BENCHMARK_CAPTURE(BM_PushFirmwarePeakMemory, Deflate, std::string("deflate"))
    ->Unit(benchmark::kSecond)
    ->Iterations(1);
BENCHMARK_CAPTURE(BM_PushFirmwarePeakMemory, Stored, std::string("stored"))
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

}  // namespace
