// Writes the starting corpus of one fuzz target into a folder: well-formed
// inputs of each kind, built at run time with the helpers the tests build
// their fixtures with, so no binary input is kept in the repository. Each
// seed carries the leading choice bytes its target reads (see the target's
// own comment). Usage: fuzz-seeds TARGET FOLDER.
#include <zip.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "backup/backup.h"
#include "channel/channel_file.h"
#include "firmware/firmware_info.h"
#include "package_fixtures.h"
#include "test_support.h"

namespace {

using namespace torvi;
using Bytes = std::vector<std::uint8_t>;
using Seeds = std::vector<Bytes>;

Bytes with_prefix(Bytes prefix, const Bytes& rest) {
  prefix.insert(prefix.end(), rest.begin(), rest.end());
  return prefix;
}

const char kStatus[] =
    R"({"model_name":"KORVAN-4","firmware_version":"2.2.4","build_date":"2024-03-01",)"
    R"("license":"full","license_number":"0042","hostname":"korvan","serial_number":"K4-0001",)"
    R"("mac":"00:1b:44:11:3a:b7","rtc_temperature":"31.5","ram_memory":"65536",)"
    R"("flash_memory":"16777216","boot_count":"12","time":"12:00:00","uptime":"3600",)"
    R"("dali_channel_1":"ok","dali_channel_2":"ok","dali_channel_3":"off","dali_channel_4":"off",)"
    R"("ip":"127.0.0.1","bacnet_ip":"127.0.0.1","session_id":"abc123","username":"admin"})";

Seeds json_seeds() {
  return {test::bytes_of(kStatus),
          test::bytes_of(R"([1,-2.5e3,0.0,true,false,null,"a\u00e9\n\""])"),
          test::bytes_of(R"({"a":{"b":[{},[],{"c":[1,[2,[3]]]}]}})"),
          test::bytes_of("1 \"two\" {} []")};
}

Seeds status_seeds() {
  return {test::bytes_of(kStatus),
          test::bytes_of("{\n  \"model_name\": \"KORVAN-4\",\n  \"uptime\": 3600,\n"
                         "  \"nested\": {\"ip\": \"10.0.0.1\"},\n  \"list\": [\"mac\", \"x\"]\n}"),
          test::bytes_of(R"({"firmware_version":"1.3.1","hostname":"no model"})"),
          test::bytes_of(R"({"model_name":"KORVAN-4")")};
}

// A channel file's first bytes as a backup holds them: the header of a
// layout, then entry bytes with a device type that has a block of its own.
Bytes channel_start(std::uint32_t version, std::uint32_t length, std::uint8_t device_type) {
  Bytes file(kGearEntries + 2 * gear1::kEntrySize, 0);
  config_header_store(file.data(), {length, 0, version, 0});
  for (std::size_t entry = 0; entry < 2; ++entry) {
    std::uint8_t* e = file.data() + kGearEntries + entry * gear1::kEntrySize;
    store_u32(e + kEntryFlags, kFlagShortAddress);
    e[kEntryAddress] = static_cast<std::uint8_t>(2 * entry + 1);
    e[kEntryDeviceType] = device_type;
    e[kEntryLevel1] = 254;
  }
  return file;
}

Seeds channel_seeds() {
  // Length choices of fuzz-channel, by index: free, gear 1 to 3, device 2 and 3.
  const std::uint32_t versions[] = {1, 1, 2, 3, 2, 3};
  const std::uint32_t lengths[] = {
      0, gear1::kLength, gear2::kLength, gear3::kLength, device2::kLength, device3::kLength};
  Seeds seeds;
  for (std::uint8_t kind : {0, 1, 4, 5, 8, 12}) {
    for (std::uint8_t length = 0; length < 6; ++length) {
      for (std::uint8_t firmware = 0; firmware < 7; ++firmware) {
        const std::uint8_t type = (kind + firmware) % 2 ? kDeviceTypeLed : kDeviceTypeColour;
        seeds.push_back(
            with_prefix({kind, firmware, length, static_cast<std::uint8_t>(versions[length])},
                        channel_start(versions[length], lengths[length], type)));
      }
    }
  }
  // A configuration archive holding a gear file, for the gear file reader.
  seeds.push_back(test::make_tar({{"/etc/config/dali/dali1.bin", channel_start(1, 0, 6)}}));
  return seeds;
}

// For fuzz-inspect: the choice byte (kind, length, work), the patch count,
// a channel file, and patches that make the second file of a comparison.
Seeds inspect_seeds() {
  const std::uint32_t versions[] = {1, 1, 2, 3, 2, 3};
  Seeds seeds;
  for (std::uint8_t kind_and_length = 0; kind_and_length < 12; ++kind_and_length) {
    for (std::uint8_t work = 0; work < 3; ++work) {
      const Bytes file = channel_start(versions[kind_and_length >> 1], 0, kDeviceTypeColour);
      // The fade rate of entry 0 and a byte of the header.
      const std::uint16_t fade = kGearEntries + kEntryFadeRate;
      Bytes seed = with_prefix({static_cast<std::uint8_t>(kind_and_length | work << 4), 2}, file);
      seed.insert(seed.end(), {static_cast<std::uint8_t>(fade),
                               static_cast<std::uint8_t>(fade >> 8), 9, 12, 0, 1});
      seeds.push_back(std::move(seed));
    }
  }
  seeds.push_back(with_prefix(
      {0x30, 0},
      test::make_tar({{"/etc/config/dali/dali1.bin", channel_start(1, 0, 6)},
                      {"status.txt", test::bytes_of(R"({"firmware_version":"1.3.1"})")}})));
  return seeds;
}

Seeds tar_seeds() {
  return {test::make_tar({{"status.txt", test::bytes_of(kStatus)},
                          {"/etc/config/dali/dali1.bin", test::noise(300, 1)}}),
          test::make_tar({{"empty", {}},
                          {"a", test::noise(511, 2)},
                          {"b", test::noise(512, 3)},
                          {"c", test::noise(513, 4)}}),
          test::make_tar({})};
}

Seeds backup_seeds() {
  const Bytes status = test::bytes_of(kStatus);
  return {
      test::make_tar({{"status.txt", status}, {"/etc/config/dali/dali1.bin", test::noise(64, 1)}}),
      test::make_tar({{"/etc/config/rlc/rlc.bin", test::noise(40, 2)}, {"status.txt", status}}),
      test::make_tar({{"status.txt", status}}),
      test::make_tar({{"status.txt", {}}, {"x", test::noise(10, 3)}}),
      test::make_tar({{"a", test::noise(20, 4)}, {"b", test::noise(20, 5)}})};
}

Seeds import_seeds() {
  const std::string rows[] = {
      // channel
      "1,0,0,Reception downlight 1,\"[0,15]\",254,254,1,254,7,2,\"[254,128,null,0]\"\n"
      "1,63,63,Corridor,\"[1]\",null,0,1,254,15,0,\"[]\"\n#comment\n",
      // groups
      "1,0,Reception\n1,15,Open office\n1,16,Out of range\n",
      // inputs
      "1,0,0,Reception keypad,0,4,\"[1,1,1,1]\",\"[0,1,2,3]\",[50],\"[0,0,0,0]\",\"[0,1,2,3]\","
      "\"[2,2,2,2]\",\"[5,5,5,5]\",\"[0,0,0,0]\",\"[0,0,0,0]\",,,,,\n"
      "1,1,1,Meeting sensor,0,2,\"[3,4]\",\"[0,1]\",,,,,,,,\"[0,0]\",\"[1,0]\",\"[15,0]\","
      "\"[0,1]\",\"[0,30]\"\n"};
  Seeds seeds;
  // The choice byte: the import, then the firmware (1.0.0, 1.5.0 and 2.2.4).
  for (std::uint8_t import = 0; import < 3; ++import) {
    for (std::uint8_t firmware : {0, 2, 3}) {
      seeds.push_back(with_prefix({static_cast<std::uint8_t>(import + 3 * firmware)},
                                  test::bytes_of(rows[import])));
    }
  }
  return seeds;
}

// A ZIP backup written by libzip, each entry stored or deflated as asked.
struct ZipItem {
  std::string name;
  Bytes data;
  bool deflate;
};
Bytes zip_of(const std::vector<ZipItem>& items) {
  test::TempDir dir;
  const std::string path = dir.file("backup.zip");
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!archive) return {};
  for (const ZipItem& item : items) {
    zip_source_t* source = zip_source_buffer(archive, item.data.data(), item.data.size(), 0);
    const zip_int64_t index = source ? zip_file_add(archive, item.name.c_str(), source, 0) : -1;
    if (index < 0) {
      zip_source_free(source);
      continue;
    }
    zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                             item.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 6);
  }
  zip_dir_add(archive, "etc/", 0);
  if (zip_close(archive) != 0) {
    zip_discard(archive);
    return {};
  }
  return test::read_file(path);
}

Bytes channel_file(std::uint32_t version, std::size_t length) {
  Bytes file = channel_start(version, static_cast<std::uint32_t>(length), kDeviceTypeLed);
  file.resize(length, 0);
  config_seal(file.data(), length);
  return file;
}

Seeds put_backup_seeds() {
  auto entry = [](const char* name, const char* member, Bytes data, bool deflate) {
    return ZipItem{name, test::make_tar({{member, std::move(data)}}), deflate};
  };
  const Bytes small = zip_of({
      entry("systemconfig.tar", "/etc/config/system/systemconfig.bin", test::noise(48, 1), true),
      entry("rlc.tar", "/etc/config/rlc/rlc.bin", test::noise(16, 2), true),
      entry("dali2.tar", "/etc/config/dali/dali1.bin", test::noise(16, 3), false),
      {"notes.txt", test::bytes_of("not a configuration"), false},
  });
  const Bytes channels = zip_of({
      entry("dali1.tar", "/etc/config/dali/dali1.bin", channel_file(1, gear1::kLength), true),
      entry("dali3.tar", "/etc/config/dali/dali3.bin", channel_file(2, gear2::kLength), true),
      entry("cd1.tar", "/etc/config/dali/cd1.bin", channel_file(2, device2::kLength), true),
      entry("cd4.tar", "/etc/config/dali/cd4.bin", channel_file(3, device3::kLength), true),
  });
  Seeds seeds;
  for (std::uint8_t firmware = 0; firmware < 7; ++firmware) {
    seeds.push_back(with_prefix({firmware, 0x00}, small));
    seeds.push_back(with_prefix({firmware, 0x5a}, channels));
  }
  return seeds;
}

// Packages of a small image in every method the reader decodes (7-Zip's,
// and Zstandard by libzip), then information blocks for the info check.
Seeds firmware_seeds() {
  Seeds seeds;
  const Bytes image = test::pseudo_image(1024);
  test::TempDir dir;
  for (const char* method : {"Copy", "Deflate", "BZip2", "LZMA", "XZ"}) {
    const std::string path = dir.file(std::string(method) + ".bin");
    // 7-Zip may be missing where only the fuzz build is set up: its seeds
    // are then left out.
    if (test::build_with_7zip(dir.path(), path,
                              test::package_entries(image, test::aes256_switches(method)))
            .empty()) {
      seeds.push_back(with_prefix({0}, test::read_file(path)));
    }
  }
  const std::string zstd = dir.file("zstd.bin");
  if (test::build_zstd_package(zstd, test::package_entries(image, ""))) {
    seeds.push_back(with_prefix({0}, test::read_file(zstd)));
  }
  Bytes full(kFirmwareImageMinSize, 0);
  for (const char* model : {"KORVAN-4", "KORVAN-3"}) {
    test::put_info_block(full, model, 0x040200);
    const Bytes block(full.begin() + kFirmwareInfoOffset, full.end());
    for (std::uint8_t size = 0; size < 4; ++size) {
      seeds.push_back(with_prefix({static_cast<std::uint8_t>(2 * size + 1)}, block));
    }
  }
  return seeds;
}

const std::map<std::string, Seeds (*)()> kTargets = {
    {"fuzz-json", json_seeds},         {"fuzz-status", status_seeds},
    {"fuzz-channel", channel_seeds},   {"fuzz-inspect", inspect_seeds},
    {"fuzz-tar", tar_seeds},           {"fuzz-backup", backup_seeds},
    {"fuzz-import", import_seeds},     {"fuzz-put-backup", put_backup_seeds},
    {"fuzz-firmware", firmware_seeds},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fuzz-seeds TARGET FOLDER\n");
    return 2;
  }
  const auto target = kTargets.find(argv[1]);
  if (target == kTargets.end()) return 0;
  std::filesystem::create_directories(argv[2]);
  const Seeds seeds = target->second();
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    if (seeds[i].empty()) {
      std::fprintf(stderr, "fuzz-seeds: seed %zu of %s could not be made\n", i, argv[1]);
      return 1;
    }
    char name[32];
    std::snprintf(name, sizeof name, "/seed-%03zu", i);
    test::write_file(argv[2] + std::string(name), seeds[i]);
  }
  return 0;
}
