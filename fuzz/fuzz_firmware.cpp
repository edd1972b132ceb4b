// Firmware files as a technician might hand them over. An even first byte
// reads the rest as package bytes, as the package reader reads a file, and
// checks the image it gives; an odd one writes the rest into the
// information block of an image of a boundary size (the shortest that holds
// the block, one byte less, the longest the controller takes, one byte
// more) and checks that.
#include <dlfcn.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "firmware/firmware_info.h"
#include "firmware/firmware_package.h"
#include "fuzz_quiet.h"

// WinZip AES derives each entry's key from the password and the entry's
// salt with 1000 rounds of PBKDF2; under the sanitizers that costs some
// twenty times more than all the rest of a run. The derivation depends on
// its arguments alone, so this program keeps each key it has derived and
// gives the reader the same bytes again when a salt comes back: the reader
// runs exactly as it does in the tool. The reader's call lands here rather
// than in libcrypto because the program's own definition comes first.
extern "C" int PKCS5_PBKDF2_HMAC_SHA1(const char* password, int password_length,
                                      const unsigned char* salt, int salt_length, int iterations,
                                      int key_length, unsigned char* key) {
  using Derive = int (*)(const char*, int, const unsigned char*, int, int, int, unsigned char*);
  static const Derive derive = reinterpret_cast<Derive>(dlsym(RTLD_NEXT, "PKCS5_PBKDF2_HMAC_SHA1"));
  static std::map<std::string, std::pair<int, std::vector<unsigned char>>> derived;
  if (!derive) __builtin_trap();
  if (password_length < 0 || salt_length < 0 || key_length < 0) {
    return derive(password, password_length, salt, salt_length, iterations, key_length, key);
  }
  std::string arguments(password, static_cast<std::size_t>(password_length));
  arguments.append(reinterpret_cast<const char*>(salt), static_cast<std::size_t>(salt_length));
  arguments += "/" + std::to_string(iterations) + "/" + std::to_string(key_length);
  auto found = derived.find(arguments);
  if (found == derived.end()) {
    if (derived.size() >= 4096) derived.clear();
    std::vector<unsigned char> bytes(static_cast<std::size_t>(key_length));
    const int result =
        derive(password, password_length, salt, salt_length, iterations, key_length, bytes.data());
    found = derived.emplace(std::move(arguments), std::make_pair(result, std::move(bytes))).first;
  }
  std::memcpy(key, found->second.second.data(), found->second.second.size());
  return found->second.first;
}

namespace {

using namespace torvi;

// Images of exactly these sizes, made once: a read past the end of the one
// passed shows, and no run pays for megabytes of zeros.
constexpr std::size_t kImageSizes[] = {kFirmwareImageMinSize - 1, kFirmwareImageMinSize,
                                       kFirmwareImageMaxSize, kFirmwareImageMaxSize + 1};
std::uint8_t* image_of(unsigned choice) {
  static std::unique_ptr<std::uint8_t[]> images[std::size(kImageSizes)];
  if (!images[choice]) images[choice] = std::make_unique<std::uint8_t[]>(kImageSizes[choice]);
  return images[choice].get();
}

void check_info_block(unsigned choice, const std::uint8_t* data, std::size_t size) {
  const std::size_t count = kImageSizes[choice];
  std::uint8_t* image = image_of(choice);
  const std::size_t room = count > kFirmwareInfoOffset ? count - kFirmwareInfoOffset : 0;
  const std::size_t n = std::min({size, room, kFirmwareInfoSize});
  std::memset(image + kFirmwareInfoOffset, 0, std::min(room, kFirmwareInfoSize));
  std::memcpy(image + kFirmwareInfoOffset, data, n);
  firmware_check_info(image, count);
}

void read_package(const std::uint8_t* data, std::size_t size) {
  // The package in a block of its exact size, so a read past its end shows.
  const std::unique_ptr<std::uint8_t[]> package = std::make_unique<std::uint8_t[]>(size);
  if (size != 0) std::memcpy(package.get(), data, size);
  ImageRecord image;
  std::optional<Sha256Digest> header_digest;
  Sha256Context digest;
  sha256_init(digest);
  const int result = firmware_read_package_bytes(package.get(), size, image, header_digest, digest);
  // The reader never holds more than one byte past the largest image.
  if (image.data.size() > kFirmwareImageMaxSize + 1) __builtin_trap();
  if (result == FIRMWARE_OK) firmware_check_info(image.data.data(), image.data.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_quiet_console();
  if (size < 1) return 0;
  if (data[0] % 2 == 0) {
    read_package(data + 1, size - 1);
  } else {
    check_info_block(data[0] / 2 % std::size(kImageSizes), data + 1, size - 1);
  }
  return 0;
}
