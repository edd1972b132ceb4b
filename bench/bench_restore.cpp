// put_backup of a full 18-entry backup against korvan-sim, next to the same
// 18 uploads and 18 restore requests made by the tftp-hpa client and curl in
// the same run: the ratio shows what the tool adds to the bare exchanges
// (reading the ZIP, converting the channel files, building the tars).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "action/actions.h"
#include "platform/console.h"
#include "platform/file.h"
#include "sim/korvan_sim.h"
#include "test_support.h"

namespace {

struct RestoreFixture {
  RestoreFixture() {
    // A backup of a 1.3.1 controller, so every channel file is converted
    // on its way to the 2.2.4 one.
    korvan::Simulator source({.firmware = "1.3.1"});
    if (!source.start()) std::abort();
    quiet([&] { torvi::get_backup(source.ip().c_str(), dir.path().c_str(), "zip", nullptr); });
    source.stop();
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) zip = e.path().string();
    sim = std::make_unique<korvan::Simulator>(korvan::SimOptions{});
    if (!sim->start()) std::abort();
    // The tars the tool sends, kept for the reference client.
    quiet([&] { torvi::put_backup(sim->ip().c_str(), zip.c_str()); });
    int n = 0;
    for (const auto& e : sim->events()) {
      if (e.kind != "upload") continue;
      const std::string tar = dir.file("restore-" + std::to_string(++n) + ".tar");
      torvi::test::write_file(tar, e.data);
      if (!reference.empty()) reference += " && ";
      reference += "tftp -m binary 127.0.0.1 " + std::to_string(sim->port()) + " -c put '" + tar +
                   "' flashraw.bin && curl -s -o /dev/null 'http://" + sim->ip() +
                   "/api/v100/status.ssi?action=restoreconfig'";
    }
    entries = n;
    sim->clear_events();
  }

  template <class Run>
  static void quiet(Run run) {
    torvi::test::QuietConsole quiet;
    run();
  }

  torvi::test::TempDir dir;
  std::string zip;
  std::unique_ptr<korvan::Simulator> sim;
  std::string reference;
  int entries = 0;
};

RestoreFixture& fixture() {
  static RestoreFixture f;
  return f;
}

void BM_PutBackup(benchmark::State& state) {
  RestoreFixture& f = fixture();
  for (auto _ : state) {
    RestoreFixture::quiet([&] { torvi::put_backup(f.sim->ip().c_str(), f.zip.c_str()); });
    f.sim->clear_events();
  }
  state.counters["entries"] = f.entries;
}
BENCHMARK(BM_PutBackup)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

// The same exchanges by tftp-hpa and curl, one shell running them in turn.
void BM_TftpHpaAndCurlRestore(benchmark::State& state) {
  RestoreFixture& f = fixture();
  if (!torvi::test::have_program("tftp") || !torvi::test::have_program("curl")) {
    state.SkipWithError("tftp (tftp-hpa) or curl is not installed");
    return;
  }
  const std::string command = "timeout 120 sh -c \"" + f.reference + "\" >/dev/null 2>&1";
  for (auto _ : state) {
    if (torvi::test::run_command(command) != 0) {
      state.SkipWithError("reference restore failed");
      return;
    }
    f.sim->clear_events();
  }
  state.counters["entries"] = f.entries;
}
BENCHMARK(BM_TftpHpaAndCurlRestore)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace
