#include "package_fixtures.h"

#include <zip.h>
#include <zstd.h>

#include <cstring>
#include <filesystem>

#include "digest/hex.h"
#include "digest/sha256.h"
#include "test_support.h"

namespace torvi::test {
namespace {

// Calls `visit(size_field, extra, extra_end)` for every local and central
// header of the entry `name` in a ZIP image: the offset of its uncompressed
// size and the bounds of its extra fields. Returns how many it visited.
template <typename Visit>
int for_each_header_of(std::vector<std::uint8_t>& zip, const std::string& name, Visit visit) {
  auto le16 = [&](std::size_t at) { return static_cast<std::size_t>(zip[at] | zip[at + 1] << 8); };
  int visited = 0;
  for (std::size_t at = 0; at + 46 <= zip.size(); ++at) {
    if (zip[at] != 0x50 || zip[at + 1] != 0x4b) continue;
    const bool local = zip[at + 2] == 3 && zip[at + 3] == 4;
    if (!local && !(zip[at + 2] == 1 && zip[at + 3] == 2)) continue;
    const std::size_t name_at = at + (local ? 30 : 46), name_length = le16(at + (local ? 26 : 28));
    const std::size_t extra_end = name_at + name_length + le16(at + (local ? 28 : 30));
    if (extra_end > zip.size() || name_length != name.size() ||
        std::memcmp(&zip[name_at], name.data(), name.size()) != 0) {
      continue;
    }
    visit(at + (local ? 22 : 24), name_at + name_length, extra_end);
    ++visited;
  }
  return visited;
}

// Sets the real method in the WinZip AES extra field (0x9901) of every local
// and central header of `name`. The field's data: version (2), vendor (2),
// strength (1), method (2).
bool patch_aes_method(std::vector<std::uint8_t>& zip, const std::string& name,
                      std::uint16_t method) {
  int patched = 0;
  for_each_header_of(zip, name, [&](std::size_t, std::size_t field, std::size_t end) {
    while (field + 4 <= end) {
      const std::size_t id = zip[field] | zip[field + 1] << 8;
      const std::size_t size = zip[field + 2] | zip[field + 3] << 8;
      if (id == 0x9901 && size >= 7 && field + 4 + size <= end) {
        zip[field + 9] = static_cast<std::uint8_t>(method);
        zip[field + 10] = static_cast<std::uint8_t>(method >> 8);
        ++patched;
      }
      field += 4 + size;
    }
  });
  return patched >= 2;
}

}  // namespace

std::string aes256_switches(const std::string& method, const std::string& password) {
  return "-mem=AES256 -mm=" + method + " -p" + password;
}

std::string header_text_for(const std::vector<std::uint8_t>& image) {
  Sha256Digest digest = sha256_digest(image.data(), image.size());
  char text[2 * kSha256DigestSize + 1];
  hex_encode(digest.data(), digest.size(), text);
  return text;
}

std::string build_with_7zip(const std::string& folder, const std::string& archive,
                            const std::vector<FixtureEntry>& entries) {
  for (const FixtureEntry& entry : entries) {
    const std::string stage = folder + "/stage";
    std::filesystem::remove_all(stage);
    std::filesystem::create_directories(
        std::filesystem::path(stage + "/" + entry.name).parent_path());
    write_file(stage + "/" + entry.name, entry.content);
    std::string output;
    // Bounded and without a terminal, so a 7-Zip that waits for input fails the test instead.
    const std::string command = "cd '" + stage + "' && timeout 120 7zz a -tzip -bd " +
                                entry.switches + " '" + archive + "' '" + entry.name +
                                "' </dev/null 2>&1";
    if (run_command(command, &output) != 0) return command + "\n" + output;
  }
  return "";
}

bool patch_uncompressed_size(std::vector<std::uint8_t>& zip, const std::string& name,
                             std::uint32_t size) {
  return for_each_header_of(zip, name, [&](std::size_t field, std::size_t, std::size_t) {
           for (int i = 0; i < 4; ++i) zip[field + i] = static_cast<std::uint8_t>(size >> (8 * i));
         }) >= 2;
}

std::vector<std::uint8_t> zstd_frame(const std::vector<std::uint8_t>& content, int level) {
  std::vector<std::uint8_t> frame(ZSTD_compressBound(content.size()));
  const std::size_t n =
      ZSTD_compress(frame.data(), frame.size(), content.data(), content.size(), level);
  frame.resize(ZSTD_isError(n) ? 0 : n);
  return frame;
}

bool build_zstd_package(const std::string& path, const std::vector<FixtureEntry>& entries,
                        int level) {
  std::vector<std::vector<std::uint8_t>> frames;
  int error = 0;
  zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  bool ok = za != nullptr;
  for (std::size_t i = 0; ok && i < entries.size(); ++i) {
    const std::vector<std::uint8_t>& frame =
        frames.emplace_back(zstd_frame(entries[i].content, level));
    zip_source_t* source = zip_source_buffer(za, frame.data(), frame.size(), 0);
    const zip_int64_t index =
        source ? zip_file_add(za, entries[i].name.c_str(), source, ZIP_FL_OVERWRITE) : -1;
    if (source && index < 0) zip_source_free(source);
    const auto entry = static_cast<zip_uint64_t>(index);
    ok = !frame.empty() && index >= 0 &&
         zip_set_file_compression(za, entry, ZIP_CM_STORE, 0) == 0 &&
         zip_file_set_encryption(za, entry, ZIP_EM_AES_256, kFirmwarePackagePassword) == 0;
  }
  if (!ok || zip_close(za) != 0) {
    if (za) zip_discard(za);
    return false;
  }
  std::vector<std::uint8_t> bytes = read_file(path);
  for (const FixtureEntry& entry : entries) {
    if (!patch_aes_method(bytes, entry.name, 93)) return false;
  }
  write_file(path, bytes);
  return true;
}

std::vector<std::uint8_t> pseudo_image(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> image(size);
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    const std::uint32_t r = state >> 16;
    image[i] = (r & 3) == 0 ? static_cast<std::uint8_t>(r >> 4) : static_cast<std::uint8_t>(i >> 6);
  }
  return image;
}

std::vector<FixtureEntry> package_entries(const std::vector<std::uint8_t>& image,
                                          const std::string& switches) {
  return {{kFirmwareHeaderEntry, bytes_of(header_text_for(image)), switches},
          {kFirmwarePayloadEntry, image, switches}};
}

void put_info_block(std::vector<std::uint8_t>& image, const char* model,
                    std::uint32_t version_number) {
  std::memset(image.data() + 1835008, 0, 184);
  const std::pair<std::size_t, const char*> texts[] = {{1835020, model},
                                                       {1835053, "Controller"},
                                                       {1835086, "4.2.0"},
                                                       {1835124, "2026-11-30"},
                                                       {1835157, "12:34:56"}};
  for (const auto& [offset, text] : texts) std::memcpy(&image[offset], text, strnlen(text, 33));
  for (int i = 0; i < 4; ++i)
    image[1835120 + i] = static_cast<std::uint8_t>(version_number >> (8 * i));
}

}  // namespace torvi::test
