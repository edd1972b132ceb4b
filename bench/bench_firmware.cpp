// SHA-256 throughput of both block functions against mbedtls and OpenSSL
// over the same 16 MiB buffer in the same run (each result carries its CPU-time
// rate relative to OpenSSL's EVP digest as "vs_openssl"), and the time to read and
// decode a 16 MB firmware package for each compression method against `7zz t`
// of the same package in the same run ("vs_7zz"). Packages are written once
// per run by 7-Zip (Zstandard by libzip); a method whose package cannot be
// made is reported as skipped.

#include <benchmark/benchmark.h>
#include <mbedtls/sha256.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_child.h"
#include "digest/sha256.h"
#include "firmware/firmware_package.h"
#include "package_fixtures.h"
#include "platform/console.h"
#include "test_support.h"

namespace {

using torvi::Sha256Digest;

// Thread CPU time in seconds: the ratios should not depend on what else the
// machine is running.
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

constexpr std::size_t kHashBytes = 16u << 20;

const std::vector<std::uint8_t>& hash_input() {
  static const std::vector<std::uint8_t> data = torvi::test::pseudo_image(kHashBytes, 21);
  return data;
}

void openssl_evp(const std::vector<std::uint8_t>& data, unsigned char* digest) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
  EVP_DigestUpdate(context, data.data(), data.size());
  unsigned length = 0;
  EVP_DigestFinal_ex(context, digest, &length);
  EVP_MD_CTX_free(context);
}

// OpenSSL's rate over the buffer in bytes per second, measured once per run
// as the reference for every SHA-256 result.
double openssl_rate() {
  static const double rate = [] {
    const std::vector<std::uint8_t>& data = hash_input();
    unsigned char digest[32];
    openssl_evp(data, digest);  // warm up
    int rounds = 0;
    const double start = cpu_seconds();
    double spent = 0;
    while (rounds < 3 || spent < 0.5) {
      openssl_evp(data, digest);
      benchmark::DoNotOptimize(digest);
      ++rounds;
      spent = cpu_seconds() - start;
    }
    return static_cast<double>(data.size()) * rounds / spent;
  }();
  return rate;
}

// Runs `hash` over the buffer per iteration and reports bytes per second
// and the ratio to OpenSSL.
template <typename Hash>
void run_hash(benchmark::State& state, Hash hash) {
  const std::vector<std::uint8_t>& data = hash_input();
  const double reference = openssl_rate();
  const double start = cpu_seconds();
  std::int64_t rounds = 0;
  for (auto _ : state) {
    hash(data);
    ++rounds;
  }
  const double seconds = cpu_seconds() - start;
  state.SetBytesProcessed(rounds * static_cast<std::int64_t>(data.size()));
  if (seconds > 0) state.counters["vs_openssl"] = data.size() * rounds / seconds / reference;
}

void ours(benchmark::State& state, torvi::Sha256Implementation implementation) {
  torvi::Sha256Context probe;
  if (!torvi::sha256_init(probe, implementation)) {
    state.SkipWithError("this processor has no SHA extensions");
    return;
  }
  run_hash(state, [implementation](const std::vector<std::uint8_t>& data) {
    torvi::Sha256Context context;
    torvi::sha256_init(context, implementation);
    torvi::sha256_update(context, data.data(), data.size());
    Sha256Digest digest;
    torvi::sha256_final(context, digest.data());
    benchmark::DoNotOptimize(digest);
  });
}

void BM_Sha256Portable(benchmark::State& state) {
  ours(state, torvi::Sha256Implementation::portable);
}
void BM_Sha256ShaNi(benchmark::State& state) {
  ours(state, torvi::Sha256Implementation::sha_ni);
}

void BM_Sha256Mbedtls(benchmark::State& state) {
  run_hash(state, [](const std::vector<std::uint8_t>& data) {
    unsigned char digest[32];
    mbedtls_sha256_ret(data.data(), data.size(), digest, 0);
    benchmark::DoNotOptimize(digest);
  });
}

void BM_Sha256OpenSslOneShot(benchmark::State& state) {
  run_hash(state, [](const std::vector<std::uint8_t>& data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(data.data(), data.size(), digest);
    benchmark::DoNotOptimize(digest);
  });
}

void BM_Sha256OpenSslEvp(benchmark::State& state) {
  run_hash(state, [](const std::vector<std::uint8_t>& data) {
    unsigned char digest[32];
    openssl_evp(data, digest);
    benchmark::DoNotOptimize(digest);
  });
}

BENCHMARK(BM_Sha256Portable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256ShaNi)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256Mbedtls)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256OpenSslOneShot)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256OpenSslEvp)->Unit(benchmark::kMillisecond);

// A 16 MB package per method, made on first use and kept for the run.
struct PackageSet {
  torvi::test::TempDir dir;
  std::vector<std::uint8_t> image = torvi::test::pseudo_image(16000000, 22);
  std::map<std::string, std::string> paths;  // method -> package path, "" if it failed
};

PackageSet& packages() {
  static PackageSet set;
  return set;
}

const std::string& package_for(const std::string& method) {
  PackageSet& set = packages();
  auto found = set.paths.find(method);
  if (found != set.paths.end()) return found->second;
  const std::string path = set.dir.file(method + ".bin");
  const std::string header = torvi::test::header_text_for(set.image);
  std::vector<torvi::test::FixtureEntry> entries = {
      {torvi::kFirmwareHeaderEntry, torvi::test::bytes_of(header),
       torvi::test::aes256_switches(method)},
      {torvi::kFirmwarePayloadEntry, set.image, torvi::test::aes256_switches(method)}};
  bool made = false;
  if (method == "Zstd") {
    made = torvi::test::build_zstd_package(path, entries);
  } else if (torvi::test::have_program("7zz")) {
    made = torvi::test::build_with_7zip(set.dir.path(), path, entries).empty();
  }
  return set.paths[method] = made ? path : "";
}

// Reads the package, then has 7-Zip test the same package (decrypt,
// authenticate, decompress and check every entry), in every iteration, so
// both see the same machine. The time recorded is the reader's; vs_7zz is
// its wall time over that of `7zz t` (the median over the iterations),
// vs_7zz_cpu the same for CPU time.
// The reader does what 7-Zip does and also hashes the image with SHA-256
// and keeps it; 7-Zip's time includes starting its process.
void BM_ReadPackage(benchmark::State& state, const std::string& method) {
  const std::string& path = package_for(method);
  if (path.empty()) {
    state.SkipWithError("package could not be made (is 7zz installed?)");
    return;
  }
  // 7-Zip has no Zstandard for ZIP entries: a Zstandard package is compared
  // with 7-Zip testing the stored package of the same image, which is all
  // of the work but the decompression.
  const std::string& reference_path = method == "Zstd" ? package_for("Copy") : path;
  bool compare = torvi::test::have_program("7zz") && !reference_path.empty();
  const std::vector<std::string> seven_zip = {
      "7zz", "t", std::string("-p") + torvi::kFirmwarePackagePassword, reference_path};
  std::vector<double> wall_ratios, cpu_ratios;
  double reference_wall = 0;
  std::size_t image_size = 0;
  for (auto _ : state) {
    double seconds = 0, cpu = 0;
    {
      // The reader's progress line goes nowhere while it is timed.
      torvi::test::QuietConsole quiet;
      const auto start = std::chrono::steady_clock::now();
      const double cpu_start = cpu_seconds();
      torvi::ImageRecord record;
      torvi::image_record_set_path(record, path.c_str());
      std::optional<Sha256Digest> header;
      torvi::Sha256Context context;
      torvi::sha256_init(context);
      if (torvi::firmware_read_package(&record, &header, &context) != torvi::FIRMWARE_OK) {
        state.SkipWithError("the package did not read");
        break;
      }
      Sha256Digest digest;
      torvi::sha256_final(context, digest.data());
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      cpu = cpu_seconds() - cpu_start;
      if (!header || *header != digest) {
        state.SkipWithError("the payload does not match its header");
        break;
      }
      image_size = record.data.size();
      state.SetIterationTime(seconds);
    }
    if (compare) {
      const torvi::bench::ChildRun reference = torvi::bench::run_child(seven_zip);
      compare = reference.status == 0 && reference.wall_seconds > 0 && reference.cpu_seconds > 0;
      if (compare) {
        wall_ratios.push_back(seconds / reference.wall_seconds);
        cpu_ratios.push_back(cpu / reference.cpu_seconds);
        reference_wall += reference.wall_seconds;
      }
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image_size));
  if (compare && !wall_ratios.empty()) {
    state.counters["vs_7zz"] = torvi::bench::median(wall_ratios);
    state.counters["vs_7zz_cpu"] = torvi::bench::median(cpu_ratios);
    state.counters["7zz_ms"] = reference_wall * 1e3 / static_cast<double>(state.iterations());
    if (reference_path != path) state.SetLabel("7zz t of the stored package");
  } else {
    state.SetLabel("no comparison: 7zz is missing or cannot test this package");
  }
}

BENCHMARK_CAPTURE(BM_ReadPackage, Copy, std::string("Copy"))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(8);
BENCHMARK_CAPTURE(BM_ReadPackage, Deflate, std::string("Deflate"))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(8);
BENCHMARK_CAPTURE(BM_ReadPackage, BZip2, std::string("BZip2"))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_ReadPackage, LZMA, std::string("LZMA"))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_ReadPackage, XZ, std::string("XZ"))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_ReadPackage, Zstd, std::string("Zstd"))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(8);

}  // namespace
