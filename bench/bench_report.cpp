// The commissioning report of a site of 64 controllers, each fully set up:
// every channel with 64 named gear entries in groups and scenes, 16 named
// groups and 32 named input devices, next to reading the same 64 backups
// without writing a page. The page's size per controller is a counter.
// Half the devices are keypads of 8 buttons, half sensors with an
// occupancy and a light instance; in the worst-case run every device holds
// all 32 instances.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "action/actions.h"
#include "backup/backup_contents.h"
#include "report/commissioning_report.h"
#include "sim/korvan_sim.h"
#include "test_support.h"

namespace {

constexpr int kControllers = 64;

// A name of exactly `width` characters.
std::string name_of(const char* stem, unsigned channel, unsigned index, std::size_t width) {
  char text[64];
  std::snprintf(text, sizeof text, "%s C%u-%02u", stem, channel, index);
  std::string name = text;
  name.resize(width, '.');
  return name;
}

// A JSON array cell of `n` values made by `value(k)`.
template <typename Value>
std::string array_cell(std::size_t n, Value value) {
  std::string cell = "\"[";
  for (std::size_t k = 0; k < n; ++k) cell += (k ? "," : "") + std::to_string(value(k));
  return cell + "]\"";
}

// The three CSV files that fill channel `c` completely.
void write_channel_csvs(const torvi::test::TempDir& dir, unsigned c, std::size_t instances) {
  std::string gear = "#dali-channel-csv-version: 1\n";
  for (unsigned e = 0; e < 64; ++e) {
    gear += std::to_string(c) + "," + std::to_string(e) + "," + std::to_string(e) + "," +
            name_of("Luminaire open office", c, e, 32) + "," +
            array_cell(3, [&](std::size_t k) { return (e + 5 * k) % 16; }) + ",254,200,1,254,7,4," +
            array_cell(16, [&](std::size_t s) { return (e * 7 + s * 37) % 255; }) + "\n";
  }
  std::string groups = "#dali-channel-groups-csv-version: 1\n";
  for (unsigned g = 0; g < 16; ++g) {
    groups += std::to_string(c) + "," + std::to_string(g) + "," +
              name_of("Group of the east wing", c, g, 32) + "\n";
  }
  std::string inputs = "#dali-channel-inputs-csv-version: 1\n";
  for (unsigned d = 0; d < 32; ++d) {
    const bool keypad = d % 2 == 0 || instances == 32;
    const std::size_t n = keypad ? instances : 2;
    const auto value = [&](std::size_t k) { return (d + k) % 16; };
    inputs += std::to_string(c) + "," + std::to_string(d) + "," + std::to_string(d) + "," +
              name_of("Keypad", c, d, 16) + ",0," + std::to_string(n) + "," +
              array_cell(n, [&](std::size_t k) { return keypad ? 1 : 3 + k; }) + "," +
              array_cell(n, [](std::size_t k) { return k; }) + ",[50]";
    for (int column = 0; column < 6; ++column) inputs += "," + array_cell(n, value);
    for (int column = 0; column < 5; ++column) inputs += "," + array_cell(n, value);
    inputs += "\n";
  }
  torvi::test::write_file(dir.file("channel-" + std::to_string(c) + ".csv"), gear);
  torvi::test::write_file(dir.file("groups-" + std::to_string(c) + ".csv"), groups);
  torvi::test::write_file(dir.file("inputs-" + std::to_string(c) + ".csv"), inputs);
}

struct Site {
  explicit Site(std::size_t instances) {
    korvan::Simulator sim({.firmware = "2.2.4"});
    if (!sim.start()) std::abort();
    const std::vector<std::uint32_t> channels = {1, 2, 3, 4};
    std::vector<std::string> files[3];
    for (unsigned c = 1; c <= 4; ++c) {
      write_channel_csvs(dir, c, instances);
      int k = 0;
      for (const char* kind : {"channel", "groups", "inputs"}) {
        files[k++].push_back(dir.file(std::string(kind) + "-" + std::to_string(c) + ".csv"));
      }
    }
    torvi::test::QuietConsole quiet;
    const std::string address = sim.ip();
    const char* ip = address.c_str();
    torvi::setup_channel(ip, &channels, &files[0], nullptr, nullptr);
    torvi::setup_channel(ip, &channels, nullptr, &files[1], nullptr);
    torvi::setup_channel(ip, &channels, nullptr, nullptr, &files[2]);
    torvi::get_backup(ip, dir.file("taken").c_str(), "zip", nullptr);
    std::string zip;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("taken"))) zip = e.path();
    for (int i = 0; i < kControllers; ++i) {
      backups.push_back(dir.file("backup-" + std::to_string(i) + ".zip"));
      std::filesystem::copy_file(zip, backups.back());
    }
  }
  torvi::test::TempDir dir;
  std::vector<std::string> backups;
};

Site& site(std::size_t instances) {
  static Site usual(8), full(32);
  return instances == 32 ? full : usual;
}

void BM_Report64Controllers(benchmark::State& state) {
  const Site& s = site(static_cast<std::size_t>(state.range(0)));
  std::size_t size = 0, findings = 0;
  for (auto _ : state) {
    const torvi::report_page page = torvi::report_html(s.backups, {});
    size = page.html.size();
    findings = page.findings;
  }
  state.counters["KB_per_controller"] = static_cast<double>(size) / kControllers / 1000;
  state.counters["findings"] = static_cast<double>(findings);
}
BENCHMARK(BM_Report64Controllers)
    ->Arg(8)
    ->Arg(32)
    ->ArgName("instances")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The same 64 backups read as the report reads them, and no page written.
void BM_Read64Backups(benchmark::State& state) {
  const Site& s = site(8);
  for (auto _ : state) {
    for (const std::string& path : s.backups) {
      torvi::backup_contents contents;
      std::string error;
      benchmark::DoNotOptimize(torvi::backup_read_zip(path, contents, error));
    }
  }
}
BENCHMARK(BM_Read64Backups)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
