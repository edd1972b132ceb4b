// push_firmware of a 16 MB package against korvan-sim, next to the same
// upload made by the tftp-hpa client in the same run: the ratio shows what
// the tool adds to the bare transfer (reading, decrypting, hashing, checking,
// and the upgrade request).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "action/actions.h"
#include "link/transfers.h"
#include "platform/console.h"
#include "sim/firmware_maker.h"
#include "sim/korvan_sim.h"
#include "test_support.h"

namespace {

constexpr std::size_t kImageBytes = 16'000'000;

struct PushFixture {
  PushFixture() {
    korvan::FirmwareRecipe fw{.size = kImageBytes};
    image = korvan::make_firmware_image(fw);
    std::vector<std::uint8_t> package;
    std::string error;
    if (!korvan::make_firmware_package(fw, image, package, &error)) std::abort();
    package_path = dir.file("firmware.bin");
    image_path = dir.file("firmware.binary");
    torvi::test::write_file(package_path, package);
    torvi::test::write_file(image_path, image);
    sim = std::make_unique<korvan::Simulator>(korvan::SimOptions{});
    if (!sim->start()) std::abort();
  }
  torvi::test::TempDir dir;
  std::vector<std::uint8_t> image;
  std::string package_path;
  std::string image_path;
  std::unique_ptr<korvan::Simulator> sim;
};

PushFixture& fixture() {
  static PushFixture f;
  return f;
}

// The whole action, console output discarded.
void BM_PushFirmwarePackage(benchmark::State& state) {
  PushFixture& f = fixture();
  torvi::test::QuietConsole quiet;
  for (auto _ : state) {
    torvi::push_firmware(f.sim->ip().c_str(), f.package_path.c_str());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageBytes));
}
BENCHMARK(BM_PushFirmwarePackage)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// The tool's TFTP upload alone, to separate the transfer from the reading.
void BM_FirmwarePushTftp(benchmark::State& state) {
  PushFixture& f = fixture();
  torvi::ImageRecord record;
  record.data = f.image;
  record.size = f.image.size();
  torvi::test::QuietConsole quiet;
  for (auto _ : state) {
    if (torvi::firmware_push_tftp(f.sim->ip().c_str(), record) != 0) {
      state.SkipWithError("upload failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageBytes));
}
BENCHMARK(BM_FirmwarePushTftp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// The same image uploaded by tftp-hpa's client (512-byte blocks, like libcurl's default).
void BM_TftpHpaUpload(benchmark::State& state) {
  PushFixture& f = fixture();
  if (!torvi::test::have_program("tftp")) {
    state.SkipWithError("tftp (tftp-hpa) is not installed");
    return;
  }
  const std::string command = "timeout 120 tftp -m binary 127.0.0.1 " +
                              std::to_string(f.sim->port()) + " -c put '" + f.image_path +
                              "' flashraw.bin >/dev/null 2>&1";
  for (auto _ : state) {
    if (torvi::test::run_command(command) != 0) {
      state.SkipWithError("tftp upload failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageBytes));
}
BENCHMARK(BM_TftpHpaUpload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
