#include "firmware/entry_decoder.h"

#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "firmware/package_fixtures.h"

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;

// zlib's format less its two-byte header and four-byte checksum.
Bytes deflate_raw(const Bytes& data) {
  uLongf n = compressBound(data.size());
  Bytes out(n);
  EXPECT_EQ(compress2(out.data(), &n, data.data(), data.size(), 6), Z_OK);
  return Bytes(out.begin() + 2, out.begin() + static_cast<std::ptrdiff_t>(n) - 4);
}

Bytes bzip2(const Bytes& data) {
  Bytes out(data.size() + data.size() / 100 + 600);
  unsigned length = static_cast<unsigned>(out.size());
  EXPECT_EQ(
      BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &length,
                               reinterpret_cast<char*>(const_cast<std::uint8_t*>(data.data())),
                               static_cast<unsigned>(data.size()), 9, 0, 0),
      BZ_OK);
  out.resize(length);
  return out;
}

Bytes xz(const Bytes& data) {
  Bytes out(lzma_stream_buffer_bound(data.size()));
  std::size_t position = 0;
  EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, data.data(), data.size(),
                                    out.data(), &position, out.size()),
            LZMA_OK);
  out.resize(position);
  return out;
}

// The ZIP form of LZMA: version 2 bytes, properties size 2 bytes, the five
// property bytes, then the raw stream, with or without its end marker.
Bytes zip_lzma(const Bytes& data, bool end_marker) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 6);
  options.ext_flags = end_marker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes out(data.size() + data.size() / 2 + 1024);
  std::size_t position = 0;
  EXPECT_EQ(lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(), out.data(),
                                   &position, out.size()),
            LZMA_OK);
  out.resize(position);
  const std::uint8_t packed =
      static_cast<std::uint8_t>((options.pb * 5 + options.lp) * 9 + options.lc);
  Bytes header = {9, 20, 5, 0, packed};
  for (int i = 0; i < 4; ++i)
    header.push_back(static_cast<std::uint8_t>(options.dict_size >> (8 * i)));
  header.insert(header.end(), out.begin(), out.end());
  return header;
}

// Hands out `bytes` in pieces of `piece`, failing once `fail_at` bytes
// have gone out (when set).
EntrySource source_of(const Bytes& bytes, std::size_t piece = 777,
                      std::optional<std::size_t> fail_at = std::nullopt) {
  auto position = std::make_shared<std::size_t>(0);
  return [bytes, piece, fail_at, position](std::uint8_t* buffer, std::size_t capacity) {
    if (fail_at && *position >= *fail_at) return std::int64_t{-1};
    std::size_t n = std::min({piece, capacity, bytes.size() - *position});
    if (fail_at) n = std::min(n, *fail_at - *position);
    if (n > 0) std::memcpy(buffer, bytes.data() + *position, n);
    *position += n;
    return static_cast<std::int64_t>(n);
  };
}

struct Drained {
  Bytes content;
  bool failed = false;
};

// Reads the whole entry in requests of `request` bytes.
Drained drain(EntryDecoder& decoder, std::size_t request = 4096) {
  Drained result;
  Bytes buffer(request);
  for (std::int64_t n; (n = entry_decoder_read(decoder, buffer.data(), request)) != 0;) {
    if ((result.failed = n < 0)) break;
    EXPECT_LE(static_cast<std::size_t>(n), request);
    result.content.insert(result.content.end(), buffer.begin(), buffer.begin() + n);
  }
  return result;
}

const struct {
  const char* name;
  int method;
  Bytes (*encode)(const Bytes&);
} kMethods[] = {
    {"stored", kZipMethodStored, [](const Bytes& data) { return data; }},
    {"deflate", kZipMethodDeflate, deflate_raw},
    {"bzip2", kZipMethodBzip2, bzip2},
    {"lzma with end marker", kZipMethodLzma,
     [](const Bytes& data) { return zip_lzma(data, true); }},
    {"lzma without end marker", kZipMethodLzma,
     [](const Bytes& data) { return zip_lzma(data, false); }},
    {"xz", kZipMethodXz, xz},
    {"zstd", kZipMethodZstd, [](const Bytes& data) { return test::zstd_frame(data); }},
};

// Whole content, whatever the request size and the source's piece size. An
// entry cut short, or whose source fails, ends in an error after the bytes
// that were decodable; it never looks like a complete entry.
TEST(EntryDecoder, DecodesEveryMethodInAnyPiecesAndFailsOnCutInput) {
  const Bytes content = test::pseudo_image(200000, 11);
  for (const auto& m : kMethods) {
    const Bytes packed = m.encode(content);
    for (std::size_t request : {1, 4096, 100000}) {
      SCOPED_TRACE(std::string(m.name) + " request " + std::to_string(request));
      EntryDecoderPtr decoder =
          entry_decoder_open(m.method, content.size(), source_of(packed, request == 1 ? 3 : 777));
      ASSERT_NE(decoder, nullptr);
      Drained got = drain(*decoder, request);
      EXPECT_FALSE(got.failed);
      EXPECT_TRUE(got.content == content);
      Bytes after(8);
      EXPECT_EQ(entry_decoder_read(*decoder, after.data(), after.size()), 0) << "end stays the end";
    }
    // A stored entry has no end of its own, so only a failing source cuts it.
    const std::pair<bool, EntrySource> damaged[] = {
        {true, source_of(Bytes(packed.begin(), packed.begin() + packed.size() / 2))},
        {false, source_of(packed, 777, packed.size() / 2)},
    };
    for (const auto& [cut, source] : damaged) {
      if (cut && m.method == kZipMethodStored) continue;
      SCOPED_TRACE(std::string(m.name) + (cut ? " cut in half" : " source fails"));
      EntryDecoderPtr decoder = entry_decoder_open(m.method, content.size(), source);
      ASSERT_NE(decoder, nullptr);
      Drained got = drain(*decoder);
      EXPECT_TRUE(got.failed);
      EXPECT_LT(got.content.size(), content.size());
      EXPECT_TRUE(std::equal(got.content.begin(), got.content.end(), content.begin()));
    }
  }
}

// Streams with something odd about them: content that needs no declared
// size, and malformed input, which must fail rather than end cleanly.
TEST(EntryDecoder, EdgeStreams) {
  const Bytes first = test::pseudo_image(70000, 14), second = test::pseudo_image(30000, 15);
  const auto cat = [](Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const auto patched = [](Bytes a, std::size_t at, std::uint8_t value) {
    a[at] = value;
    return a;
  };
  const std::optional<std::uint64_t> unknown;
  const std::optional<Bytes> fails;
  const struct {
    const char* name;
    int method;
    Bytes input;
    std::optional<std::uint64_t> declared;
    std::optional<Bytes> content;  // nothing: decoding must fail
  } cases[] = {
      {"two zstd frames", kZipMethodZstd, cat(test::zstd_frame(first), test::zstd_frame(second)),
       unknown, cat(first, second)},
      {"lzma with marker, no size", kZipMethodLzma, zip_lzma(first, true), unknown, first},
      {"empty stored", kZipMethodStored, {}, unknown, Bytes{}},
      {"deflate reserved block type", kZipMethodDeflate, {0x07, 0x00, 0x00}, 10, fails},
      {"bzip2 without its magic", kZipMethodBzip2, Bytes(100, 0x42), 100, fails},
      {"xz without its magic", kZipMethodXz, Bytes(100, 0x42), 100, fails},
      {"zstd without its magic", kZipMethodZstd, Bytes(100, 0x42), 100, fails},
      {"zstd empty", kZipMethodZstd, {}, 0, fails},
      {"lzma properties size 6", kZipMethodLzma, patched(zip_lzma(first, true), 2, 6), 70000,
       fails},
      {"lzma lc/lp/pb out of range", kZipMethodLzma, patched(zip_lzma(first, true), 4, 225), 70000,
       fails},
      {"lzma header cut", kZipMethodLzma, {9, 20, 5}, 70000, fails},
      {"lzma size too large, no marker", kZipMethodLzma, zip_lzma(first, false), 70001, fails},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EntryDecoderPtr decoder = entry_decoder_open(c.method, c.declared, source_of(c.input));
    ASSERT_NE(decoder, nullptr);
    Drained got = drain(*decoder);
    EXPECT_EQ(got.failed, !c.content.has_value());
    if (c.content) {
      EXPECT_TRUE(got.content == *c.content);
    }
  }
  for (int method : {1, 9, 98, 99})
    EXPECT_EQ(entry_decoder_open(method, 0, source_of({})), nullptr);
}

}  // namespace
}  // namespace torvi
