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

// The method and encryption libzip reports for an entry, so a test can see
// that 7-Zip wrote what was asked (it stores data it cannot shrink).
struct EntryFacts {
  bool found = false;
  int method = -1;
  int encryption = -1;
};

inline EntryFacts entry_facts(const std::string& archive, const std::string& name) {
  EntryFacts facts;
  int error = 0;
  zip_t* za = zip_open(archive.c_str(), ZIP_RDONLY, &error);
  if (!za) return facts;
  zip_int64_t index = zip_name_locate(za, name.c_str(), 0);
  zip_stat_t st;
  if (index >= 0 && zip_stat_index(za, static_cast<zip_uint64_t>(index), 0, &st) == 0) {
    facts.found = true;
    facts.method = st.comp_method;
    facts.encryption = st.encryption_method;
  }
  zip_discard(za);
  return facts;
}

// Calls `visit(header_offset, is_local)` for every local and central header
// of the entry `name` in a ZIP image.
template <typename Visit>
inline void for_each_header_of(const std::vector<std::uint8_t>& zip, const std::string& name,
                               Visit visit) {
  auto le16 = [&](std::size_t at) {
    return static_cast<std::size_t>(zip[at] | (zip[at + 1] << 8));
  };
  for (std::size_t at = 0; at + 46 <= zip.size(); ++at) {
    if (zip[at] != 0x50 || zip[at + 1] != 0x4b) continue;
    const bool local = zip[at + 2] == 3 && zip[at + 3] == 4;
    const bool central = zip[at + 2] == 1 && zip[at + 3] == 2;
    if (!local && !central) continue;
    const std::size_t fixed = local ? 30 : 46;
    const std::size_t name_length = le16(at + (local ? 26 : 28));
    const std::size_t extra_length = le16(at + (local ? 28 : 30));
    if (at + fixed + name_length + extra_length > zip.size()) continue;
    if (name_length == name.size() &&
        std::memcmp(&zip[at + fixed], name.data(), name.size()) == 0) {
      visit(at, local);
    }
  }
}

// Overwrites the uncompressed size an entry declares, in its local and its
// central header. Returns false unless both were found.
inline bool patch_uncompressed_size(std::vector<std::uint8_t>& zip, const std::string& name,
                                    std::uint32_t size) {
  int patched = 0;
  for_each_header_of(zip, name, [&](std::size_t at, bool local) {
    const std::size_t field = at + (local ? 22 : 24);
    for (int i = 0; i < 4; ++i) zip[field + i] = static_cast<std::uint8_t>(size >> (8 * i));
    ++patched;
  });
  return patched >= 2;
}

// Sets the real method in the WinZip AES extra field (0x9901) of every local
// and central header of `name`. The field's data: version (2), vendor (2),
// strength (1), method (2).
inline bool patch_aes_method(std::vector<std::uint8_t>& zip, const std::string& name,
                             std::uint16_t method) {
  int patched = 0;
  for_each_header_of(zip, name, [&](std::size_t at, bool local) {
    auto le16 = [&](std::size_t p) { return static_cast<std::size_t>(zip[p] | (zip[p + 1] << 8)); };
    const std::size_t name_length = le16(at + (local ? 26 : 28));
    std::size_t field = at + (local ? 30 : 46) + name_length;
    const std::size_t end = field + le16(at + (local ? 28 : 30));
    while (field + 4 <= end) {
      const std::size_t id = le16(field);
      const std::size_t size = le16(field + 2);
      if (id == 0x9901 && size >= 7 && field + 4 + size <= end) {
        zip[field + 4 + 5] = static_cast<std::uint8_t>(method);
        zip[field + 4 + 6] = static_cast<std::uint8_t>(method >> 8);
        ++patched;
      }
      field += 4 + size;
    }
  });
  return patched >= 2;
}

// A package whose entries are Zstandard-compressed and AES-256 encrypted:
// libzip writes each zstd frame as a stored AES-256 entry, then the entry's
// method is patched to 93. Returns false when any step fails.
inline bool build_zstd_package(const std::string& path, const std::vector<FixtureEntry>& entries,
                               int level = 3) {
  std::vector<std::vector<std::uint8_t>> frames;
  for (const FixtureEntry& entry : entries) {
    std::vector<std::uint8_t> frame(ZSTD_compressBound(entry.content.size()));
    std::size_t n = ZSTD_compress(frame.data(), frame.size(), entry.content.data(),
                                  entry.content.size(), level);
    if (ZSTD_isError(n)) return false;
    frame.resize(n);
    frames.push_back(std::move(frame));
  }
  int error = 0;
  zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!za) return false;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    zip_source_t* source = zip_source_buffer(za, frames[i].data(), frames[i].size(), 0);
    zip_int64_t index =
        source ? zip_file_add(za, entries[i].name.c_str(), source, ZIP_FL_OVERWRITE) : -1;
    if (index < 0) {
      if (source) zip_source_free(source);
      zip_discard(za);
      return false;
    }
    const auto entry = static_cast<zip_uint64_t>(index);
    if (zip_set_file_compression(za, entry, ZIP_CM_STORE, 0) != 0 ||
        zip_file_set_encryption(za, entry, ZIP_EM_AES_256, kFirmwarePackagePassword) != 0) {
      zip_discard(za);
      return false;
    }
  }
  if (zip_close(za) != 0) {
    zip_discard(za);
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

// Writes an information block into `image` (which must hold one). The
// offsets are written out here rather than taken from the reader's
// constants, so a wrong constant there shows up as a failing test.
inline void put_info_block(std::vector<std::uint8_t>& image, const char* model,
                           std::uint32_t version_number, const char* description = "Controller",
                           const char* version = "4.2.0", const char* date = "2026-11-30",
                           const char* time = "12:34:56") {
  std::memset(image.data() + 1835008, 0, 184);
  auto put_text = [&](std::size_t offset, const char* text) {
    std::memcpy(image.data() + offset, text, strnlen(text, 33));
  };
  put_text(1835020, model);
  put_text(1835053, description);
  put_text(1835086, version);
  for (int i = 0; i < 4; ++i)
    image[1835120 + i] = static_cast<std::uint8_t>(version_number >> (8 * i));
  put_text(1835124, date);
  put_text(1835157, time);
}

}  // namespace torvi::test
