#include "digest/sha256.h"

#include <gtest/gtest.h>
#include <mbedtls/sha256.h>

#include <string>
#include <vector>

#include "digest/hex.h"
#include "test_support.h"

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;

Sha256Digest mbedtls_digest(const Bytes& data) {
  Sha256Digest digest;
  EXPECT_EQ(mbedtls_sha256_ret(data.data(), data.size(), digest.data(), 0), 0);
  return digest;
}

// The digest of `message` fed in the pieces that `cuts` (ascending offsets) make.
Sha256Digest digest_in_pieces(Sha256Implementation path, const Bytes& message,
                              const std::vector<std::size_t>& cuts = {}) {
  Sha256Context context;
  EXPECT_TRUE(sha256_init(context, path));
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

// On each block function the processor runs: the published vectors; every
// length around the padding boundaries split every way into two updates and
// three; and a large input fed in uneven pieces, as the readers do. Each
// digest is also compared with mbedtls's.
TEST(Sha256, PublishedVectorsAndEverySplitOnEveryPath) {
  const std::pair<std::string, const char*> vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  const Bytes large = test::noise(3 * 1024 * 1024 + 17, 99);
  const Sha256Digest large_digest = mbedtls_digest(large);
  for (auto path : {Sha256Implementation::portable, Sha256Implementation::sha_ni}) {
    if (path == Sha256Implementation::sha_ni && !sha256_sha_ni_available()) continue;
    SCOPED_TRACE(path == Sha256Implementation::sha_ni ? "sha_ni" : "portable");
    for (const auto& [text, expected] : vectors) {
      const Bytes message(text.begin(), text.end());
      const Sha256Digest digest = digest_in_pieces(path, message);
      char hex[2 * kSha256DigestSize + 1];
      hex_encode(digest.data(), digest.size(), hex);
      EXPECT_STREQ(hex, expected) << text.size() << " bytes";
      EXPECT_EQ(digest, mbedtls_digest(message)) << text.size() << " bytes";
    }
    for (std::size_t length = 0; length <= 200; ++length) {
      const Bytes message = test::noise(length, static_cast<std::uint32_t>(length));
      const Sha256Digest expected = mbedtls_digest(message);
      for (std::size_t cut = 0; cut <= length; ++cut) {
        ASSERT_EQ(digest_in_pieces(path, message, {cut, cut + (length - cut) / 2}), expected)
            << "length " << length << " cut " << cut;
      }
    }
    for (std::size_t piece : {1, 63, 65, 4096, 1000003}) {
      std::vector<std::size_t> cuts;
      for (std::size_t at = piece; at < large.size(); at += piece) cuts.push_back(at);
      EXPECT_EQ(digest_in_pieces(path, large, cuts), large_digest) << "piece " << piece;
    }
  }
  // A processor with SHA extensions runs on them unless told otherwise.
  EXPECT_EQ(sha256_implementation() == Sha256Implementation::sha_ni, sha256_sha_ni_available());
}

}  // namespace
}  // namespace torvi
