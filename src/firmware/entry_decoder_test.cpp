#include "firmware/entry_decoder.h"

#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "package_fixtures.h"

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
  Bytes zip = {9, 20, 5, 0,
               static_cast<std::uint8_t>((options.pb * 5 + options.lp) * 9 + options.lc)};
  for (int i = 0; i < 4; ++i)
    zip.push_back(static_cast<std::uint8_t>(options.dict_size >> (8 * i)));
  zip.insert(zip.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(position));
  return zip;
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

// Reads the entry in requests of `request` bytes into `content`; false when
// the decoder reports an error.
bool drain(EntryDecoder& decoder, std::size_t request, Bytes& content) {
  Bytes buffer(request);
  for (std::int64_t n; (n = entry_decoder_read(decoder, buffer.data(), request)) != 0;) {
    if (n < 0) return false;
    EXPECT_LE(static_cast<std::size_t>(n), request);
    content.insert(content.end(), buffer.begin(), buffer.begin() + n);
  }
  return true;
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

// Whole content in any request and piece size; an entry cut short, or whose
// source fails, ends in an error after the bytes that were decodable, never
// looking complete (a stored entry has no end of its own, so only a failing
// source cuts it). Then streams with something odd about them: content that
// needs no declared size, and malformed input, which must fail.
TEST(EntryDecoder, DecodesEveryMethodAndFailsOnDamagedInput) {
  const Bytes content = test::pseudo_image(200000, 11);
  const Bytes first = test::pseudo_image(70000, 14), second = test::pseudo_image(30000, 15);
  Bytes both = first, frames = test::zstd_frame(first), frame2 = test::zstd_frame(second);
  both.insert(both.end(), second.begin(), second.end());
  frames.insert(frames.end(), frame2.begin(), frame2.end());
  const auto patched = [](Bytes a, std::size_t at, std::uint8_t value) {
    a[at] = value;
    return a;
  };
  struct Case {
    std::string name;
    int method;
    EntrySource source;
    std::optional<std::uint64_t> declared;
    Bytes content;       // what comes out, or what the bytes before the error are part of
    bool fails = false;  // decoding must end in an error
    std::size_t request = 4096;
  };
  std::vector<Case> cases = {
      {"two zstd frames", kZipMethodZstd, source_of(frames), {}, both},
      {"lzma with marker, no size", kZipMethodLzma, source_of(zip_lzma(first, true)), {}, first},
      {"empty stored", kZipMethodStored, source_of({}), {}, {}},
      {"deflate reserved block type", kZipMethodDeflate, source_of({0x07, 0x00, 0x00}), 10, Bytes{},
       true},
      {"bzip2 without its magic", kZipMethodBzip2, source_of(Bytes(100, 0x42)), 100, Bytes{}, true},
      {"xz without its magic", kZipMethodXz, source_of(Bytes(100, 0x42)), 100, Bytes{}, true},
      {"zstd without its magic", kZipMethodZstd, source_of(Bytes(100, 0x42)), 100, Bytes{}, true},
      {"zstd empty", kZipMethodZstd, source_of({}), 0, Bytes{}, true},
      {"lzma properties size 6", kZipMethodLzma, source_of(patched(zip_lzma(first, true), 2, 6)),
       70000, Bytes{}, true},
      {"lzma lc/lp/pb out of range", kZipMethodLzma,
       source_of(patched(zip_lzma(first, true), 4, 225)), 70000, Bytes{}, true},
      {"lzma header cut", kZipMethodLzma, source_of({9, 20, 5}), 70000, Bytes{}, true},
      {"lzma size too large, no marker", kZipMethodLzma, source_of(zip_lzma(first, false)), 70001,
       Bytes{}, true},
  };
  for (const auto& m : kMethods) {
    const Bytes packed = m.encode(content);
    for (std::size_t request : {1, 4096, 100000}) {
      cases.push_back({std::string(m.name) + " request " + std::to_string(request), m.method,
                       source_of(packed, request == 1 ? 3 : 777), content.size(), content, false,
                       request});
    }
    if (m.method != kZipMethodStored) {
      cases.push_back({std::string(m.name) + " cut in half", m.method,
                       source_of(Bytes(packed.begin(), packed.begin() + packed.size() / 2)),
                       content.size(), content, true});
    }
    cases.push_back({std::string(m.name) + " source fails", m.method,
                     source_of(packed, 777, packed.size() / 2), content.size(), content, true});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EntryDecoderPtr decoder = entry_decoder_open(c.method, c.declared, c.source);
    ASSERT_NE(decoder, nullptr);
    Bytes got;
    const bool failed = !drain(*decoder, c.request, got);
    EXPECT_EQ(failed, c.fails);
    if (c.fails) {
      if (!c.content.empty()) {  // what came before the error is true
        EXPECT_LT(got.size(), c.content.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), c.content.begin()));
      }
    } else {
      EXPECT_TRUE(got == c.content);
      Bytes after(8);
      EXPECT_EQ(entry_decoder_read(*decoder, after.data(), after.size()), 0) << "the end stays";
    }
  }
  for (int method : {1, 9, 98, 99})
    EXPECT_EQ(entry_decoder_open(method, 0, source_of({})), nullptr);
}

}  // namespace
}  // namespace torvi
