#include "firmware/winzip_aes.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <cstring>

#include "firmware/firmware_package.h"
#include "package_fixtures.h"
#include "test_support.h"

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The stored bytes of the only entry of the ZIP at `path`, as libzip hands
// them over without decrypting.
Bytes stored_bytes(const std::string& path) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
  if (!archive) return {};
  zip_stat_t stat;
  Bytes bytes;
  if (zip_stat_index(archive, 0, 0, &stat) == 0) {
    zip_file_t* file = zip_fopen_index(archive, 0, ZIP_FL_ENCRYPTED);
    if (file) {
      bytes.resize(stat.comp_size);
      // Exactly the stored size: libzip reports a stored entry's CRC as
      // wrong once it is read past its end this way.
      if (zip_fread(file, bytes.data(), bytes.size()) != static_cast<zip_int64_t>(bytes.size())) {
        bytes.clear();
      }
      zip_fclose(file);
    }
  }
  zip_discard(archive);
  return bytes;
}

// Known answers from 7-Zip: an entry it encrypted, decrypted here in runs of
// every length that crosses a counter block or a bulk run differently, and
// the refusals of a wrong password and of damaged bytes.
TEST(WinZipAes, DecryptsWhat7ZipEncrypted) {
  if (!test::have_program("7zz")) GTEST_SKIP() << "7zz (Debian package 7zip) is not installed";
  test::TempDir dir;
  const Bytes content = test::pseudo_image(200003, 5);
  const std::string path = dir.file("entry.zip");
  ASSERT_EQ(
      test::build_with_7zip(dir.path(), path, {{"entry", content, test::aes256_switches("Copy")}}),
      "");
  const Bytes stored = stored_bytes(path);
  ASSERT_EQ(stored.size(), content.size() + kWinZipAes256Overhead);

  enum class Damage { none, data, code };
  const struct {
    std::vector<std::size_t> runs;  // lengths of the calls, repeated to the end
    std::string password = kFirmwarePackagePassword;
    Damage damage = Damage::none;
  } cases[] = {
      {{content.size()}},
      {{1}},
      {{7, 16, 33}},
      {{65536, 65537, 15}},
      {{content.size()}, "5e0b7a4c91d2f8e36a0c4b7d19e2f5a83c6d0b42"},
      {{4096}, kFirmwarePackagePassword, Damage::data},
      {{4096}, kFirmwarePackagePassword, Damage::code},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.runs[0]) + " " + c.password + " " +
                 std::to_string(static_cast<int>(c.damage)));
    Bytes bytes = stored;
    if (c.damage == Damage::data)
      bytes[kWinZipAes256SaltSize + kWinZipAesVerifierSize + 1000] ^= 0x20;
    if (c.damage == Damage::code) bytes.back() ^= 0x01;
    std::uint8_t salt[kWinZipAes256SaltSize], verifier[kWinZipAesVerifierSize],
        code[kWinZipAesCodeSize];
    std::memcpy(salt, bytes.data(), sizeof salt);
    std::memcpy(verifier, bytes.data() + sizeof salt, sizeof verifier);
    std::memcpy(code, bytes.data() + bytes.size() - sizeof code, sizeof code);
    Bytes data(bytes.begin() + sizeof salt + sizeof verifier, bytes.end() - sizeof code);

    WinZipAesPtr aes = winzip_aes_start(c.password, salt, verifier);
    ASSERT_EQ(aes != nullptr, c.password == kFirmwarePackagePassword);
    if (!aes) continue;
    for (std::size_t at = 0, run = 0; at < data.size(); ++run) {
      const std::size_t n = std::min(c.runs[run % c.runs.size()], data.size() - at);
      ASSERT_TRUE(winzip_aes_decrypt(*aes, data.data() + at, n));
      at += n;
    }
    EXPECT_EQ(winzip_aes_authentic(*aes, code), c.damage == Damage::none);
    const auto wrong = std::mismatch(data.begin(), data.end(), content.begin());
    EXPECT_EQ(wrong.first - data.begin(),
              c.damage == Damage::data ? 1000 : static_cast<std::ptrdiff_t>(data.size()));
  }
}

}  // namespace
}  // namespace torvi
