#pragma once
// Firmware packages and images made at run time for the tests and the
// benchmarks: packages by 7-Zip (an implementation independent of ours) and,
// for Zstandard, which Debian's 7-Zip does not write into a ZIP, by libzip
// with the entry's method patched afterwards.

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/firmware_package.h"

namespace torvi::test {

// One entry to add: its name, content and the 7-Zip switches for it.
struct FixtureEntry {
  std::string name;
  std::vector<std::uint8_t> content;
  std::string switches;
};

// 7-Zip switches for AES-256 and `method` as 7-Zip names it (Copy, Deflate, ...).
std::string aes256_switches(const std::string& method,
                            const std::string& password = kFirmwarePackagePassword);
// The header entry's text for an image: 64 lowercase digits of its digest.
std::string header_text_for(const std::vector<std::uint8_t>& image);
// The header and payload entries of a package for `image`, both with `switches`.
std::vector<FixtureEntry> package_entries(const std::vector<std::uint8_t>& image,
                                          const std::string& switches);

// Adds the entries to `archive` with one 7-Zip run each, so entries may differ
// in method, encryption and password. The empty text, or what went wrong.
std::string build_with_7zip(const std::string& folder, const std::string& archive,
                            const std::vector<FixtureEntry>& entries);
// A package of Zstandard frames in stored AES-256 entries whose method is then
// patched to 93. False when any step fails.
bool build_zstd_package(const std::string& path, const std::vector<FixtureEntry>& entries,
                        int level = 3);
std::vector<std::uint8_t> zstd_frame(const std::vector<std::uint8_t>& content, int level = 3);
// Overwrites the uncompressed size `name` declares in its local and central
// headers; false unless both were found.
bool patch_uncompressed_size(std::vector<std::uint8_t>& zip, const std::string& name,
                             std::uint32_t size);

// Bytes that compress about as well as machine code, repeatable by seed.
std::vector<std::uint8_t> pseudo_image(std::size_t size, std::uint32_t seed = 1);
// Writes an information block into `image` at offsets written out here, not
// taken from the reader's constants, so a wrong constant there shows.
void put_info_block(std::vector<std::uint8_t>& image, const char* model,
                    std::uint32_t version_number);

}  // namespace torvi::test
