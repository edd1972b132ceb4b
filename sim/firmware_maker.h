#pragma once
// Firmware files for trying out the tool: a synthetic image carrying the
// information block the controller checks, and the encrypted package that
// wraps it together with the image's digest.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvan {

// The package: two WinZip AES-256 entries opened with one fixed password.
inline constexpr const char* kPackageHeaderEntry = "torvi.bh";
inline constexpr const char* kPackagePayloadEntry = "torvi.binary";
inline constexpr const char* kPackagePassword = "5e0b7a4c91d2f8e36a0c4b7d19e2f5a83c6d0b41";

// The information block: 184 bytes at a fixed offset in the image; each text
// field is 33 bytes wide and NUL-terminated, the number little-endian.
inline constexpr size_t kInfoBlockOffset = 0x1C0000;
inline constexpr size_t kInfoBlockSize = 184;
inline constexpr size_t kInfoModelName = 12;
inline constexpr size_t kInfoModelDescription = 45;
inline constexpr size_t kInfoVersionString = 78;
inline constexpr size_t kInfoVersionNumber = 112;
inline constexpr size_t kInfoVersionDate = 116;
inline constexpr size_t kInfoVersionTime = 149;
inline constexpr size_t kInfoTextWidth = 33;
inline constexpr size_t kInfoMaxText = kInfoTextWidth - 1;

// Largest image the maker writes: room for every oversize case the tool must
// refuse, without letting a typo fill the disk.
inline constexpr size_t kMaxFirmwareImage = 64u * 1024 * 1024;

struct FirmwareRecipe {
  std::string model = "KORVAN-4";
  std::string version_string = "2.3.0";
  uint32_t version_number = 0x00020300;
  size_t size = 2 * 1024 * 1024;
  std::string method = "deflate";  // stored|deflate|bzip2
  bool raw = false;                // the bare image instead of a package
};

// Deterministic pseudo-random bytes of recipe.size (the same recipe gives the
// same image) with the information block written at its offset when the
// image is long enough to hold it. Texts longer than a field are cut.
std::vector<uint8_t> make_firmware_image(const FirmwareRecipe& recipe);

// The package around `image`: the header entry (the image's SHA-256 as 64
// lowercase hex digits) and the payload entry, both AES-256 encrypted with
// the package password and compressed with recipe.method. False with a reason
// in *error when the method is unknown or the archive cannot be built.
bool make_firmware_package(const FirmwareRecipe& recipe, const std::vector<uint8_t>& image,
                           std::vector<uint8_t>& package, std::string* error);

// The image's SHA-256 as 64 lowercase hex digits: the header entry's content.
std::string firmware_digest_hex(const std::vector<uint8_t>& image);

struct ImageInfo {
  std::string model;
  std::string version_string;
  uint32_t version_number = 0;
};

// Reads the information block; false when the image is too short for it.
// A text stops at its first NUL and never runs past its field.
bool read_image_info(const std::vector<uint8_t>& image, ImageInfo& info);

// The `make-firmware` subcommand (argv[0] is "make-firmware"): writes a
// package or, with --raw, the bare image to --out and says what it wrote.
// Exit status 0 on success, 1 when building or writing fails, 2 on usage errors.
int make_firmware_main(int argc, char** argv);

}  // namespace korvan
