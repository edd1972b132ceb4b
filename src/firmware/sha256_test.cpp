#include "firmware/sha256.h"

#include <gtest/gtest.h>
#include <mbedtls/sha256.h>

#include <string>
#include <vector>

#include "firmware/hex.h"
#include "test_support.h"

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;

Sha256Digest mbedtls_digest(const Bytes& data) {
  Sha256Digest digest;
  EXPECT_EQ(mbedtls_sha256_ret(data.data(), data.size(), digest.data(), 0), 0);
  return digest;
}

using test::noise;

// The digest of `message` fed in the pieces that `cuts` (ascending offsets) make.
Sha256Digest digest_in_pieces(const Bytes& message, const std::vector<std::size_t>& cuts) {
  Sha256Context context;
  sha256_init(context);
  std::size_t at = 0;
  for (std::size_t cut : cuts) {
    sha256_update(context, message.data() + at, cut - at);
    at = cut;
  }
  sha256_update(context, message.data() + at, message.size() - at);
  Sha256Digest digest;
  sha256_final(context, digest.data());
  return digest;
}

// Runs `check` on each block function the processor runs, then selects
// the one the process started with again.
template <typename Check>
void on_every_path(Check check) {
  const Sha256Implementation saved = sha256_implementation();
  for (auto path : {Sha256Implementation::portable, Sha256Implementation::sha_ni}) {
    if (path == Sha256Implementation::sha_ni && !sha256_sha_ni_available()) continue;
    EXPECT_TRUE(sha256_set_implementation(path));
    SCOPED_TRACE(path == Sha256Implementation::sha_ni ? "sha_ni" : "portable");
    check();
  }
  sha256_set_implementation(saved);
}

TEST(Sha256, PublishedVectorsOnEveryPath) {
  const std::pair<std::string, const char*> vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
       "opqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  on_every_path([&] {
    for (const auto& [text, expected] : vectors) {
      const Bytes message(text.begin(), text.end());
      const Sha256Digest digest = sha256_digest(message.data(), message.size());
      char hex[2 * kSha256DigestSize + 1];
      hex_encode(digest.data(), digest.size(), hex);
      EXPECT_STREQ(hex, expected) << text.size() << " bytes";
      EXPECT_EQ(digest, mbedtls_digest(message)) << text.size() << " bytes";
    }
  });
}

// Every length around the padding boundaries, every split of the message
// into two updates and a split into three; then large inputs fed in uneven
// pieces, as the readers and benchmarks do; each against mbedtls.
TEST(Sha256, EverySplitAgreesWithMbedtlsOnEveryPath) {
  const Bytes large = noise(3 * 1024 * 1024 + 17, 99);
  const Sha256Digest large_digest = mbedtls_digest(large);
  on_every_path([&] {
    for (std::size_t length = 0; length <= 200; ++length) {
      const Bytes message = noise(length, static_cast<std::uint32_t>(length));
      const Sha256Digest expected = mbedtls_digest(message);
      for (std::size_t cut = 0; cut <= length; ++cut) {
        ASSERT_EQ(digest_in_pieces(message, {cut, cut + (length - cut) / 2}), expected)
            << "length " << length << " cut " << cut;
      }
    }
    for (std::size_t piece : {1, 63, 64, 65, 4096, 1000003}) {
      std::vector<std::size_t> cuts;
      for (std::size_t at = piece; at < large.size(); at += piece) cuts.push_back(at);
      EXPECT_EQ(digest_in_pieces(large, cuts), large_digest) << "piece " << piece;
    }
  });
}

TEST(Sha256, ProcessorWithShaExtensionsStartsOnThem) {
  if (!sha256_sha_ni_available()) GTEST_SKIP() << "no SHA extensions on this processor";
  EXPECT_EQ(sha256_implementation(), Sha256Implementation::sha_ni);
}

}  // namespace
}  // namespace torvi
