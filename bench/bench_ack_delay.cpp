// push_firmware of a 16 MB package to a controller that holds every TFTP ACK
// back by 500 us, as a network with that round trip would, next to the
// tftp-hpa client uploading the same image to the same simulator in the same
// run. On plain loopback the transfer costs next to nothing; with a latency
// per block the lock-step upload dominates, and the ratio shows whether the
// tool's upload keeps pace with a bare client's.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "action/actions.h"
#include "bench_child.h"
#include "platform/console.h"
#include "sim/firmware_maker.h"
#include "sim/korvan_sim.h"
#include "test_support.h"

namespace {

constexpr std::size_t kImageBytes = 16'000'000;
constexpr const char* kAckDelay = "tftp-ack-delay=500";

using Clock = std::chrono::steady_clock;

using torvi::bench::seconds_since;

// The block size each upload asked for, from the simulator's request log.
std::string block_sizes(const korvan::Simulator& sim) {
  std::string sizes;
  for (const auto& e : sim.events()) {
    const size_t at = e.detail.find(" blksize ");
    if (e.kind == "tftp-request" && e.ok && at != std::string::npos)
      sizes +=
          (sizes.empty() ? "" : "/") + e.detail.substr(at + 9, e.detail.find(' ', at + 9) - at - 9);
  }
  return sizes;
}

void BM_PushFirmwareAckDelay500us(benchmark::State& state) {
  if (!torvi::test::have_program("tftp")) {
    state.SkipWithError("tftp (tftp-hpa) is not installed");
    return;
  }
  torvi::test::TempDir dir;
  const korvan::FirmwareRecipe fw{.size = kImageBytes};
  const std::vector<std::uint8_t> image = korvan::make_firmware_image(fw);
  std::vector<std::uint8_t> package;
  std::string error;
  if (!korvan::make_firmware_package(fw, image, package, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::string package_path = dir.file("firmware.bin"),
                    image_path = dir.file("firmware.binary");
  torvi::test::write_file(package_path, package);
  torvi::test::write_file(image_path, image);
  korvan::Simulator sim(korvan::SimOptions{.faults = {kAckDelay}});
  if (!sim.start(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::string tftp_hpa = "timeout 300 tftp -m binary 127.0.0.1 " +
                               std::to_string(sim.port()) + " -c put '" + image_path +
                               "' flashraw.bin >/dev/null 2>&1";
  double tool = 0, client = 0;
  bool ok = true;
  for (auto _ : state) {
    sim.clear_events();
    Clock::time_point start = Clock::now();
    {
      torvi::test::QuietConsole quiet;
      torvi::push_firmware(sim.ip().c_str(), package_path.c_str());
    }
    const double t = seconds_since(start);
    start = Clock::now();
    const int status = torvi::test::run_command(tftp_hpa);
    const double c = seconds_since(start);
    // Both uploads arrived whole, and the tool's was installed.
    size_t uploads = 0, installed = 0;
    for (const auto& e : sim.events()) {
      uploads += e.kind == "upload" && e.data == image;
      installed += e.kind == "upgrade" && e.ok;
    }
    if (status != 0 || uploads != 2 || installed != 1) {
      ok = false;
      break;
    }
    state.SetIterationTime(t);
    tool += t;
    client += c;
    state.SetLabel("blksize " + block_sizes(sim));
  }
  if (!ok) {
    state.SkipWithError("an upload did not complete");
    return;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["push_firmware_s"] = tool / n;
  state.counters["tftp_hpa_s"] = client / n;
  state.counters["ratio"] = tool / client;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageBytes));
}
BENCHMARK(BM_PushFirmwareAckDelay500us)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(2);

}  // namespace
