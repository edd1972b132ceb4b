#include "firmware/entry_decoder.h"

#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>
#include <string>
#include <vector>

#include "firmware/package_fixtures.h"

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes deflate_raw(const Bytes& data) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&s, data.size()));
  s.next_in = const_cast<Bytef*>(data.data());
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
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

Bytes zstd(const Bytes& data) {
  Bytes out(ZSTD_compressBound(data.size()));
  std::size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3);
  EXPECT_FALSE(ZSTD_isError(n));
  out.resize(n);
  return out;
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
  for (;;) {
    const std::int64_t n = entry_decoder_read(decoder, buffer.data(), buffer.size());
    if (n < 0) {
      result.failed = true;
      break;
    }
    if (n == 0) break;
    EXPECT_LE(static_cast<std::size_t>(n), request);
    result.content.insert(result.content.end(), buffer.begin(), buffer.begin() + n);
  }
  return result;
}

struct MethodCase {
  const char* name;
  int method;
  Bytes (*encode)(const Bytes&);
};

Bytes stored(const Bytes& data) {
  return data;
}
Bytes lzma_with_marker(const Bytes& data) {
  return zip_lzma(data, true);
}
Bytes lzma_without_marker(const Bytes& data) {
  return zip_lzma(data, false);
}

const MethodCase kMethods[] = {
    {"stored", kZipMethodStored, stored},
    {"deflate", kZipMethodDeflate, deflate_raw},
    {"bzip2", kZipMethodBzip2, bzip2},
    {"lzma with end marker", kZipMethodLzma, lzma_with_marker},
    {"lzma without end marker", kZipMethodLzma, lzma_without_marker},
    {"xz", kZipMethodXz, xz},
    {"zstd", kZipMethodZstd, zstd},
};

// Whole content, whatever the request size and the source's piece size.
TEST(EntryDecoder, DecodesEveryMethodInAnyPieces) {
  const Bytes content = test::pseudo_image(200000, 11);
  const std::size_t requests[] = {1, 4096, 100000};
  for (const MethodCase& m : kMethods) {
    const Bytes packed = m.encode(content);
    for (std::size_t request : requests) {
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
  }
}

// An entry cut short, or whose source fails, ends in an error after the
// bytes that were decodable; it never looks like a complete entry.
TEST(EntryDecoder, CutOrFailingInputEndsInAnError) {
  const Bytes content = test::pseudo_image(200000, 12);
  for (const MethodCase& m : kMethods) {
    const Bytes packed = m.encode(content);
    const struct {
      const char* how;
      EntrySource source;
      bool applies_to_stored;
    } inputs[] = {
        {"cut in half", source_of(Bytes(packed.begin(), packed.begin() + packed.size() / 2)),
         false},
        {"source fails", source_of(packed, 777, packed.size() / 2), true},
    };
    for (const auto& input : inputs) {
      if (m.method == kZipMethodStored && !input.applies_to_stored) continue;
      SCOPED_TRACE(std::string(m.name) + " " + input.how);
      EntryDecoderPtr decoder = entry_decoder_open(m.method, content.size(), input.source);
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
  const Bytes first = test::pseudo_image(70000, 14);
  const Bytes second = test::pseudo_image(30000, 15);
  Bytes frames = zstd(first);
  const Bytes more = zstd(second);
  frames.insert(frames.end(), more.begin(), more.end());
  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  Bytes bad_properties_size = zip_lzma(first, true);
  bad_properties_size[2] = 6;
  Bytes bad_lclppb = zip_lzma(first, true);
  bad_lclppb[4] = 225;
  const std::optional<std::uint64_t> unknown;

  const struct {
    const char* name;
    int method;
    Bytes input;
    std::optional<std::uint64_t> declared;
    std::optional<Bytes> content;  // nothing: decoding must fail
  } cases[] = {
      {"two zstd frames", kZipMethodZstd, frames, unknown, both},
      {"lzma with marker, no size", kZipMethodLzma, zip_lzma(first, true), unknown, first},
      {"empty stored", kZipMethodStored, {}, unknown, Bytes{}},
      {"deflate reserved block type", kZipMethodDeflate, {0x07, 0x00, 0x00}, 10, std::nullopt},
      {"bzip2 without its magic", kZipMethodBzip2, Bytes(100, 0x42), 100, std::nullopt},
      {"xz without its magic", kZipMethodXz, Bytes(100, 0x42), 100, std::nullopt},
      {"zstd without its magic", kZipMethodZstd, Bytes(100, 0x42), 100, std::nullopt},
      {"zstd empty", kZipMethodZstd, {}, 0, std::nullopt},
      {"lzma properties size 6", kZipMethodLzma, bad_properties_size, 70000, std::nullopt},
      {"lzma lc/lp/pb out of range", kZipMethodLzma, bad_lclppb, 70000, std::nullopt},
      {"lzma header cut", kZipMethodLzma, {9, 20, 5}, 70000, std::nullopt},
      {"lzma size too large, no marker", kZipMethodLzma, zip_lzma(first, false), 70001,
       std::nullopt},
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
