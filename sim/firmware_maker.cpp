#include "sim/firmware_maker.h"

#include <openssl/evp.h>
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/file.h"

namespace korvan {
namespace {

// What the block carries besides the fields a FirmwareRecipe chooses.
constexpr const char* kModelDescription = "4-channel DALI lighting controller";
constexpr const char* kVersionDate = "2026-11-02";
constexpr const char* kVersionTime = "14:05:00";
// Runs of this many bytes alternate between noise and a small alphabet, so
// the image compresses about as well as real firmware does.
constexpr size_t kRunLength = 256;

void store_u32le(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t load_u32le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void store_text(uint8_t* field, const std::string& text) {
  std::memset(field, 0, kInfoTextWidth);
  std::memcpy(field, text.data(), std::min(text.size(), kInfoMaxText));
}

std::string load_text(const uint8_t* field) {
  const void* nul = std::memchr(field, 0, kInfoTextWidth);
  size_t length =
      nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - field) : kInfoTextWidth;
  return std::string(reinterpret_cast<const char*>(field), length);
}

bool compression_for(const std::string& method, zip_int32_t& out) {
  if (method == "stored") {
    out = ZIP_CM_STORE;
  } else if (method == "deflate") {
    out = ZIP_CM_DEFLATE;
  } else if (method == "bzip2") {
    out = ZIP_CM_BZIP2;
  } else {
    return false;
  }
  return true;
}

struct ZipSourceFree {
  void operator()(zip_source_t* source) const { zip_source_free(source); }
};
using ZipSourcePtr = std::unique_ptr<zip_source_t, ZipSourceFree>;

struct ZipDiscard {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipDiscard>;

void set_error(std::string* error, const std::string& text) {
  if (error) *error = text;
}

// Adds one encrypted entry; the bytes must stay alive until the archive closes.
bool add_entry(zip_t* archive, const char* name, const uint8_t* data, size_t size,
               zip_int32_t method, std::string* error) {
  zip_source_t* source = zip_source_buffer(archive, size ? data : nullptr, size, 0);
  if (!source) {
    set_error(error, std::string("zip source: ") + zip_strerror(archive));
    return false;
  }
  zip_int64_t index = zip_file_add(archive, name, source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
  if (index < 0) {
    zip_source_free(source);
    set_error(error, std::string("zip add: ") + zip_strerror(archive));
    return false;
  }
  auto entry = static_cast<zip_uint64_t>(index);
  if (zip_set_file_compression(archive, entry, method, 0) != 0 ||
      zip_file_set_encryption(archive, entry, ZIP_EM_AES_256, kPackagePassword) != 0) {
    set_error(error, std::string("zip entry settings: ") + zip_strerror(archive));
    return false;
  }
  return true;
}

bool write_file_atomically(const std::string& path, const std::vector<uint8_t>& bytes,
                           std::string* error) {
  // A half-written firmware file must not be left where the tool may pick it up.
  const std::string temp = path + ".part";
  torvi::unique_file file = torvi::file_open(temp, "wb");
  if (!file) {
    set_error(error, temp + ": " + std::strerror(errno));
    return false;
  }
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  int saved = errno;
  if (!torvi::file_close(file) && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    std::remove(temp.c_str());
    set_error(error, path + ": " + std::strerror(saved));
  }
  return ok;
}

bool parse_number(const std::string& text, uint64_t max, uint64_t& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+' ||
      std::isspace(static_cast<unsigned char>(text[0])))
    return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value > max) return false;
  out = value;
  return true;
}

void print_usage(FILE* out) {
  std::fprintf(out,
               "usage: korvan-sim make-firmware --out FILE [--raw] [--model TEXT]\n"
               "                  [--version-string TEXT] [--version-number N] [--size BYTES]\n"
               "                  [--method stored|deflate|bzip2]\n");
}

}  // namespace

std::vector<uint8_t> make_firmware_image(const FirmwareRecipe& recipe) {
  std::vector<uint8_t> image(recipe.size);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i < image.size(); ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    uint8_t byte = static_cast<uint8_t>(state >> 32);
    image[i] = (i / kRunLength) % 2 ? static_cast<uint8_t>(byte & 0x0F) : byte;
  }
  if (image.size() >= kInfoBlockOffset + kInfoBlockSize) {
    uint8_t* block = image.data() + kInfoBlockOffset;
    std::memset(block, 0, kInfoBlockSize);
    store_text(block + kInfoModelName, recipe.model);
    store_text(block + kInfoModelDescription, kModelDescription);
    store_text(block + kInfoVersionString, recipe.version_string);
    store_u32le(block + kInfoVersionNumber, recipe.version_number);
    store_text(block + kInfoVersionDate, kVersionDate);
    store_text(block + kInfoVersionTime, kVersionTime);
  }
  return image;
}

std::string firmware_digest_hex(const std::vector<uint8_t>& image) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(image.data(), image.size(), digest, &length, EVP_sha256(), nullptr);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0x0F];
  }
  return hex;
}

bool make_firmware_package(const FirmwareRecipe& recipe, const std::vector<uint8_t>& image,
                           std::vector<uint8_t>& package, std::string* error) {
  zip_int32_t method = 0;
  if (!compression_for(recipe.method, method)) {
    set_error(error, "unknown method '" + recipe.method + "' (stored, deflate or bzip2)");
    return false;
  }
  if (!zip_compression_method_supported(method, 1) ||
      !zip_encryption_method_supported(ZIP_EM_AES_256, 1)) {
    set_error(error, "this libzip cannot write " + recipe.method + " with AES-256");
    return false;
  }
  const std::string header = firmware_digest_hex(image);

  zip_error_t zerror;
  zip_error_init(&zerror);
  ZipSourcePtr buffer(zip_source_buffer_create(nullptr, 0, 0, &zerror));
  if (!buffer) {
    set_error(error, std::string("zip buffer: ") + zip_error_strerror(&zerror));
    zip_error_fini(&zerror);
    return false;
  }
  ZipPtr archive(zip_open_from_source(buffer.get(), ZIP_TRUNCATE, &zerror));
  if (!archive) {
    set_error(error, std::string("zip open: ") + zip_error_strerror(&zerror));
    zip_error_fini(&zerror);
    return false;
  }
  zip_error_fini(&zerror);
  // The archive now owns one reference; keep ours to read the result back.
  zip_source_keep(buffer.get());

  if (!add_entry(archive.get(), kPackageHeaderEntry,
                 reinterpret_cast<const uint8_t*>(header.data()), header.size(), method, error) ||
      !add_entry(archive.get(), kPackagePayloadEntry, image.data(), image.size(), method, error)) {
    return false;
  }
  if (zip_close(archive.get()) != 0) {
    set_error(error, std::string("zip close: ") + zip_strerror(archive.get()));
    return false;
  }
  archive.release();  // closed, and freed by zip_close

  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_source_stat(buffer.get(), &st) != 0 || !(st.valid & ZIP_STAT_SIZE) ||
      zip_source_open(buffer.get()) != 0) {
    set_error(error, "cannot read the finished archive back");
    return false;
  }
  package.assign(static_cast<size_t>(st.size), 0);
  zip_int64_t got = zip_source_read(buffer.get(), package.data(), package.size());
  zip_source_close(buffer.get());
  if (got < 0 || static_cast<zip_uint64_t>(got) != st.size) {
    package.clear();
    set_error(error, "short read of the finished archive");
    return false;
  }
  return true;
}

bool read_image_info(const std::vector<uint8_t>& image, ImageInfo& info) {
  if (image.size() < kInfoBlockOffset + kInfoBlockSize) return false;
  const uint8_t* block = image.data() + kInfoBlockOffset;
  info.model = load_text(block + kInfoModelName);
  info.version_string = load_text(block + kInfoVersionString);
  info.version_number = load_u32le(block + kInfoVersionNumber);
  return true;
}

int make_firmware_main(int argc, char** argv) {
  FirmwareRecipe recipe;
  std::string out;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inline_value = false;
    if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inline_value = true;
    }
    if (arg == "--help" || arg == "-h") {
      print_usage(stdout);
      return 0;
    }
    if (arg == "--raw") {
      if (inline_value) {
        std::fprintf(stderr, "make-firmware: --raw takes no value\n");
        return 2;
      }
      recipe.raw = true;
      continue;
    }
    const bool known = arg == "--out" || arg == "--model" || arg == "--version-string" ||
                       arg == "--version-number" || arg == "--size" || arg == "--method";
    if (!known) {
      std::fprintf(stderr, "make-firmware: unknown option '%s'\n", argv[i]);
      print_usage(stderr);
      return 2;
    }
    if (!inline_value) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "make-firmware: %s needs a value\n", arg.c_str());
        return 2;
      }
      value = argv[++i];
    }
    uint64_t number = 0;
    if (arg == "--out") {
      out = value;
    } else if (arg == "--model" || arg == "--version-string") {
      if (value.size() > kInfoMaxText) {
        std::fprintf(stderr, "make-firmware: %s is longer than %zu characters\n", arg.c_str(),
                     kInfoMaxText);
        return 2;
      }
      (arg == "--model" ? recipe.model : recipe.version_string) = value;
    } else if (arg == "--version-number") {
      if (!parse_number(value, UINT32_MAX, number)) {
        std::fprintf(stderr, "make-firmware: --version-number '%s' is not a 32-bit number\n",
                     value.c_str());
        return 2;
      }
      recipe.version_number = static_cast<uint32_t>(number);
    } else if (arg == "--size") {
      if (!parse_number(value, kMaxFirmwareImage, number)) {
        std::fprintf(stderr, "make-firmware: --size '%s' is not a byte count up to %zu\n",
                     value.c_str(), kMaxFirmwareImage);
        return 2;
      }
      recipe.size = static_cast<size_t>(number);
    } else {
      zip_int32_t unused = 0;
      if (!compression_for(value, unused)) {
        std::fprintf(stderr, "make-firmware: --method '%s' is not stored, deflate or bzip2\n",
                     value.c_str());
        return 2;
      }
      recipe.method = value;
    }
  }
  if (out.empty()) {
    std::fprintf(stderr, "make-firmware: --out FILE is required\n");
    print_usage(stderr);
    return 2;
  }

  std::vector<uint8_t> image = make_firmware_image(recipe);
  std::vector<uint8_t> package;
  std::string error;
  if (!recipe.raw && !make_firmware_package(recipe, image, package, &error)) {
    std::fprintf(stderr, "make-firmware: %s\n", error.c_str());
    return 1;
  }
  const std::vector<uint8_t>& bytes = recipe.raw ? image : package;
  if (!write_file_atomically(out, bytes, &error)) {
    std::fprintf(stderr, "make-firmware: %s\n", error.c_str());
    return 1;
  }
  const bool has_block = image.size() >= kInfoBlockOffset + kInfoBlockSize;
  std::printf("make-firmware: wrote %s %s (%zu bytes)\n", recipe.raw ? "raw image" : "package",
              out.c_str(), bytes.size());
  std::printf("  image %zu bytes, sha256 %s\n", image.size(), firmware_digest_hex(image).c_str());
  if (has_block) {
    std::printf("  model %s, version %s, version number %u (0x%08X)\n", recipe.model.c_str(),
                recipe.version_string.c_str(), recipe.version_number, recipe.version_number);
  } else {
    std::printf("  no information block: the image is shorter than %zu bytes\n",
                kInfoBlockOffset + kInfoBlockSize);
  }
  if (!recipe.raw) {
    std::printf("  entries %s and %s, AES-256, %s\n", kPackageHeaderEntry, kPackagePayloadEntry,
                recipe.method.c_str());
  }
  return 0;
}

}  // namespace korvan
