#pragma once
// Firmware packages and images made at run time for the tests and the
// benchmarks: packages by 7-Zip (an implementation independent of ours) and,
// for Zstandard, which Debian's 7-Zip does not write into a ZIP, by libzip
// with the entry's method patched afterwards.

#include <zip.h>
#include <zstd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "firmware/firmware_package.h"
#include "firmware/hex.h"
#include "firmware/sha256.h"
#include "test_support.h"

namespace torvi::test {

// One entry to add: its name, content and the 7-Zip switches for it.
struct FixtureEntry {
  std::string name;
  std::vector<std::uint8_t> content;
  std::string switches;
};

// Switches for an entry in the package's own format (AES-256, `method` as
// 7-Zip names it: Copy, Deflate, BZip2, LZMA, XZ, Deflate64).
inline std::string aes256_switches(const std::string& method,
                                   const std::string& password = kFirmwarePackagePassword) {
  return "-mem=AES256 -mm=" + method + " -p" + password;
}

inline std::vector<std::uint8_t> text_bytes(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

// The header entry's text for an image: 64 lowercase digits of its digest.
inline std::string header_text_for(const std::vector<std::uint8_t>& image) {
  Sha256Digest digest = sha256_digest(image.data(), image.size());
  char text[2 * kSha256DigestSize + 1];
  hex_encode(digest.data(), digest.size(), text);
  return text;
}

// Adds the entries to `archive` inside `folder`, one 7-Zip run per entry so
// that entries may differ in method, encryption and password. Returns the
// empty text on success, otherwise what went wrong.
inline std::string build_with_7zip(const std::string& folder, const std::string& archive,
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

// The compression method libzip reports for an entry (-1 when there is no
// such entry), so a test can see that 7-Zip wrote what was asked (it stores
// data it cannot shrink).
inline int entry_method(const std::string& archive, const std::string& name) {
  int error = 0, method = -1;
  zip_t* za = zip_open(archive.c_str(), ZIP_RDONLY, &error);
  zip_stat_t st;
  if (za && zip_stat(za, name.c_str(), 0, &st) == 0) method = st.comp_method;
  if (za) zip_discard(za);
  return method;
}

// Calls `visit(size_field, extra, extra_end)` for every local and central
// header of the entry `name` in a ZIP image: the offset of its uncompressed
// size and the bounds of its extra fields. Returns how many it visited.
template <typename Visit>
inline int for_each_header_of(std::vector<std::uint8_t>& zip, const std::string& name,
                              Visit visit) {
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

// Overwrites the uncompressed size an entry declares, in its local and its
// central header. Returns false unless both were found.
inline bool patch_uncompressed_size(std::vector<std::uint8_t>& zip, const std::string& name,
                                    std::uint32_t size) {
  return for_each_header_of(zip, name, [&](std::size_t field, std::size_t, std::size_t) {
           for (int i = 0; i < 4; ++i) zip[field + i] = static_cast<std::uint8_t>(size >> (8 * i));
         }) >= 2;
}

// Sets the real method in the WinZip AES extra field (0x9901) of every local
// and central header of `name`. The field's data: version (2), vendor (2),
// strength (1), method (2).
inline bool patch_aes_method(std::vector<std::uint8_t>& zip, const std::string& name,
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

// One Zstandard frame of `content`.
inline std::vector<std::uint8_t> zstd_frame(const std::vector<std::uint8_t>& content,
                                            int level = 3) {
  std::vector<std::uint8_t> frame(ZSTD_compressBound(content.size()));
  const std::size_t n =
      ZSTD_compress(frame.data(), frame.size(), content.data(), content.size(), level);
  frame.resize(ZSTD_isError(n) ? 0 : n);
  return frame;
}

// A package whose entries are Zstandard-compressed and AES-256 encrypted:
// libzip writes each zstd frame as a stored AES-256 entry, then the entry's
// method is patched to 93. Returns false when any step fails.
inline bool build_zstd_package(const std::string& path, const std::vector<FixtureEntry>& entries,
                               int level = 3) {
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

// Fills an image with bytes that compress about as well as machine code
// (runs of varied bytes), from a fixed seed so runs are repeatable.
inline std::vector<std::uint8_t> pseudo_image(std::size_t size, std::uint32_t seed = 1) {
  std::vector<std::uint8_t> image(size);
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    const std::uint32_t r = state >> 16;
    image[i] = (r & 3) == 0 ? static_cast<std::uint8_t>(r >> 4) : static_cast<std::uint8_t>(i >> 6);
  }
  return image;
}

// The header and payload entries of a package for `image`, both with `switches`.
inline std::vector<FixtureEntry> package_entries(const std::vector<std::uint8_t>& image,
                                                 const std::string& switches) {
  return {{kFirmwareHeaderEntry, text_bytes(header_text_for(image)), switches},
          {kFirmwarePayloadEntry, image, switches}};
}

// Writes an information block into `image` (which must hold one). The
// offsets are written out here rather than taken from the reader's
// constants, so a wrong constant there shows up as a failing test.
inline void put_info_block(std::vector<std::uint8_t>& image, const char* model,
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
