#include "firmware/sha256.h"

#include <gtest/gtest.h>
#include <mbedtls/sha256.h>

#include <string>
#include <vector>

#include "firmware/hex.h"

namespace torvi {
namespace {

// Puts the process back on the block function it started with.
class ImplementationGuard {
 public:
  ImplementationGuard() : saved_(sha256_implementation()) {}
  ~ImplementationGuard() { sha256_set_implementation(saved_); }

 private:
  Sha256Implementation saved_;
};

std::vector<Sha256Implementation> usable_implementations() {
  std::vector<Sha256Implementation> list = {Sha256Implementation::portable};
  if (sha256_sha_ni_available()) list.push_back(Sha256Implementation::sha_ni);
  return list;
}

const char* name_of(Sha256Implementation implementation) {
  return implementation == Sha256Implementation::sha_ni ? "sha_ni" : "portable";
}

std::string hex_of(const Sha256Digest& digest) {
  char text[2 * kSha256DigestSize + 1];
  hex_encode(digest.data(), digest.size(), text);
  return text;
}

Sha256Digest mbedtls_digest(const std::vector<std::uint8_t>& data) {
  Sha256Digest digest;
  EXPECT_EQ(mbedtls_sha256_ret(data.data(), data.size(), digest.data(), 0), 0);
  return digest;
}

std::vector<std::uint8_t> bytes_of(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::vector<std::uint8_t> noise(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> data(size);
  for (auto& byte : data) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(seed >> 24);
  }
  return data;
}

TEST(Sha256, PublishedVectorsOnEveryPath) {
  const struct {
    const char* name;
    std::string message;
    const char* digest;
  } vectors[] = {
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"896 bits",
       "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
       "opqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {"one million a", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  ImplementationGuard guard;
  for (Sha256Implementation implementation : usable_implementations()) {
    ASSERT_TRUE(sha256_set_implementation(implementation));
    for (const auto& v : vectors) {
      SCOPED_TRACE(std::string(name_of(implementation)) + " " + v.name);
      const std::vector<std::uint8_t> message = bytes_of(v.message);
      EXPECT_EQ(hex_of(sha256_digest(message.data(), message.size())), v.digest);
      EXPECT_EQ(sha256_digest(message.data(), message.size()), mbedtls_digest(message));
    }
  }
}

// Every length around the padding boundaries, every split of the message
// into two updates, and a split into three, each against mbedtls.
TEST(Sha256, EverySplitAgreesWithMbedtls) {
  ImplementationGuard guard;
  for (Sha256Implementation implementation : usable_implementations()) {
    ASSERT_TRUE(sha256_set_implementation(implementation));
    SCOPED_TRACE(name_of(implementation));
    for (std::size_t length = 0; length <= 200; ++length) {
      const std::vector<std::uint8_t> message = noise(length, static_cast<std::uint32_t>(length));
      const Sha256Digest expected = mbedtls_digest(message);
      for (std::size_t cut = 0; cut <= length; ++cut) {
        const std::size_t second = cut + (length - cut) / 2;
        Sha256Context context;
        sha256_init(context);
        sha256_update(context, message.data(), cut);
        sha256_update(context, message.data() + cut, second - cut);
        sha256_update(context, message.data() + second, length - second);
        Sha256Digest digest;
        sha256_final(context, digest.data());
        ASSERT_EQ(digest, expected) << "length " << length << " cut " << cut;
      }
    }
  }
}

// Large inputs fed in uneven pieces, as the readers and benchmarks do.
TEST(Sha256, LargeUnevenUpdatesAgreeWithMbedtls) {
  const std::vector<std::uint8_t> message = noise(3 * 1024 * 1024 + 17, 99);
  const Sha256Digest expected = mbedtls_digest(message);
  const std::size_t pieces[] = {1, 63, 64, 65, 4096, 1000003};
  ImplementationGuard guard;
  for (Sha256Implementation implementation : usable_implementations()) {
    ASSERT_TRUE(sha256_set_implementation(implementation));
    for (std::size_t piece : pieces) {
      SCOPED_TRACE(std::string(name_of(implementation)) + " piece " + std::to_string(piece));
      Sha256Context context;
      sha256_init(context);
      for (std::size_t at = 0; at < message.size(); at += piece) {
        sha256_update(context, message.data() + at, std::min(piece, message.size() - at));
      }
      Sha256Digest digest;
      sha256_final(context, digest.data());
      EXPECT_EQ(digest, expected);
    }
  }
}

TEST(Sha256, ProcessorWithShaExtensionsStartsOnThem) {
  if (!sha256_sha_ni_available()) GTEST_SKIP() << "no SHA extensions on this processor";
  EXPECT_EQ(sha256_implementation(), Sha256Implementation::sha_ni);
}

}  // namespace
}  // namespace torvi
