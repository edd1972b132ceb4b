#include "firmware/entry_decoder.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <variant>
#include <vector>

namespace torvi {
namespace {

// Compressed bytes are fetched from the source in blocks of this size.
constexpr std::size_t kInputBlock = 64 * 1024;

// No image is larger than 16 MiB, so no back-reference reaches further than
// that; a bigger window or dictionary only costs memory an attacker chose.
constexpr std::uint32_t kLzmaDictionaryMax = 1u << 25;
constexpr std::uint64_t kXzMemoryLimit = 128u << 20;
constexpr int kZstdWindowLogMax = 25;

// The ZIP LZMA header: version (2 bytes), properties size (2 bytes, LE),
// then the properties: lc/lp/pb byte and the dictionary size (4 bytes, LE).
constexpr std::size_t kLzmaHeaderSize = 4;
constexpr std::size_t kLzmaPropertiesSize = 5;

enum class Step { more, end, error };

// What one decoding step works on: it consumes from `in` and produces into
// `out`, advancing both. `input_ended` says that `in` holds the last
// compressed bytes.
struct Window {
  const std::uint8_t* in;
  std::size_t in_length;
  std::uint8_t* out;
  std::size_t out_length;
  bool input_ended;

  // Moves past what a library's stream consumed and produced.
  void advance(std::size_t consumed, std::size_t produced) {
    in += consumed;
    in_length -= consumed;
    out += produced;
    out_length -= produced;
  }
};

// The codecs hold a library's C stream, which keeps pointers into itself:
// they are built in place and never copied or moved.
struct Pinned {
  Pinned() = default;
  Pinned(const Pinned&) = delete;
  Pinned& operator=(const Pinned&) = delete;
};

struct StoredCodec {};

// Raw deflate (no zlib or gzip wrapper), as ZIP stores it.
struct DeflateCodec : Pinned {
  z_stream stream{};
  bool started = false;
  ~DeflateCodec() {
    if (started) inflateEnd(&stream);
  }
};

struct Bzip2Codec : Pinned {
  bz_stream stream{};
  bool started = false;
  ~Bzip2Codec() {
    if (started) BZ2_bzDecompressEnd(&stream);
  }
};

// Shared by LZMA (raw LZMA1 after the ZIP LZMA header) and XZ.
struct LzmaCodec : Pinned {
  bool xz = false;
  std::optional<std::uint64_t> declared_size;
  lzma_stream stream = LZMA_STREAM_INIT;
  bool started = false;
  std::vector<std::uint8_t> header;
  ~LzmaCodec() { lzma_end(&stream); }
};

// Zstandard; an entry may hold several frames one after the other.
struct ZstdCodec : Pinned {
  ZSTD_DCtx* context = nullptr;
  bool frame_complete = false;
  ~ZstdCodec() { ZSTD_freeDCtx(context); }
};

bool start(StoredCodec&) {
  return true;
}
bool start(DeflateCodec& c) {
  return c.started = inflateInit2(&c.stream, -MAX_WBITS) == Z_OK;
}
bool start(Bzip2Codec& c) {
  return c.started = BZ2_bzDecompressInit(&c.stream, 0, 0) == BZ_OK;
}
bool start(LzmaCodec& c) {
  if (!c.xz) return true;  // the raw decoder starts once the header is in
  return c.started = lzma_stream_decoder(&c.stream, kXzMemoryLimit, 0) == LZMA_OK;
}
bool start(ZstdCodec& c) {
  c.context = ZSTD_createDCtx();
  return c.context &&
         !ZSTD_isError(ZSTD_DCtx_setParameter(c.context, ZSTD_d_windowLogMax, kZstdWindowLogMax));
}

Step step(StoredCodec&, Window& w) {
  const std::size_t n = std::min(w.in_length, w.out_length);
  if (n > 0) std::memcpy(w.out, w.in, n);
  w.advance(n, n);
  return w.input_ended && w.in_length == 0 ? Step::end : Step::more;
}

Step step(DeflateCodec& c, Window& w) {
  const uInt in_offer = static_cast<uInt>(std::min<std::size_t>(w.in_length, UINT_MAX));
  const uInt out_offer = static_cast<uInt>(std::min<std::size_t>(w.out_length, UINT_MAX));
  c.stream.next_in = const_cast<Bytef*>(w.in);
  c.stream.avail_in = in_offer;
  c.stream.next_out = w.out;
  c.stream.avail_out = out_offer;
  const int rc = inflate(&c.stream, Z_NO_FLUSH);
  w.advance(in_offer - c.stream.avail_in, out_offer - c.stream.avail_out);
  if (rc == Z_STREAM_END) return Step::end;
  if (rc == Z_OK || rc == Z_BUF_ERROR) return Step::more;
  return Step::error;
}

Step step(Bzip2Codec& c, Window& w) {
  const unsigned in_offer = static_cast<unsigned>(std::min<std::size_t>(w.in_length, UINT_MAX));
  const unsigned out_offer = static_cast<unsigned>(std::min<std::size_t>(w.out_length, UINT_MAX));
  c.stream.next_in = reinterpret_cast<char*>(const_cast<std::uint8_t*>(w.in));
  c.stream.avail_in = in_offer;
  c.stream.next_out = reinterpret_cast<char*>(w.out);
  c.stream.avail_out = out_offer;
  const int rc = BZ2_bzDecompress(&c.stream);
  w.advance(in_offer - c.stream.avail_in, out_offer - c.stream.avail_out);
  if (rc == BZ_STREAM_END) return Step::end;
  if (rc == BZ_OK) return Step::more;
  return Step::error;
}

// Starts the raw LZMA1 decoder from the ZIP LZMA header.
bool start_raw(LzmaCodec& c) {
  // LZMA1 properties are always 5 bytes; another size is not a stream we know.
  const std::size_t properties_size = c.header[2] | (std::size_t{c.header[3]} << 8);
  if (properties_size != kLzmaPropertiesSize) return false;
  const std::uint8_t* properties = c.header.data() + kLzmaHeaderSize;
  unsigned packed = properties[0];
  if (packed >= 9 * 5 * 5) return false;
  lzma_options_lzma options;
  std::memset(&options, 0, sizeof options);
  options.lc = packed % 9;
  packed /= 9;
  options.lp = packed % 5;
  options.pb = packed / 5;
  const std::uint32_t dictionary =
      std::uint32_t{properties[1]} | (std::uint32_t{properties[2]} << 8) |
      (std::uint32_t{properties[3]} << 16) | (std::uint32_t{properties[4]} << 24);
  options.dict_size = std::clamp(dictionary, std::uint32_t{LZMA_DICT_SIZE_MIN}, kLzmaDictionaryMax);
  // A ZIP writer may or may not end the stream with a marker (a flag in the
  // local header that libzip does not show). With the declared size the
  // decoder takes either form; a wrong size only makes decoding fail.
  const std::uint64_t size = c.declared_size.value_or(UINT64_MAX);
  options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  options.ext_size_low = static_cast<std::uint32_t>(size);
  options.ext_size_high = static_cast<std::uint32_t>(size >> 32);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  return c.started = lzma_raw_decoder(&c.stream, filters) == LZMA_OK;
}

Step step(LzmaCodec& c, Window& w) {
  if (!c.started) {
    const std::size_t needed = kLzmaHeaderSize + kLzmaPropertiesSize;
    while (w.in_length > 0 && c.header.size() < needed) {
      c.header.push_back(*w.in);
      w.advance(1, 0);
    }
    if (c.header.size() < needed) return w.input_ended ? Step::error : Step::more;
    if (!start_raw(c)) return Step::error;
  }
  c.stream.next_in = w.in;
  c.stream.avail_in = w.in_length;
  c.stream.next_out = w.out;
  c.stream.avail_out = w.out_length;
  const lzma_ret rc = lzma_code(&c.stream, w.input_ended ? LZMA_FINISH : LZMA_RUN);
  w.advance(w.in_length - c.stream.avail_in, w.out_length - c.stream.avail_out);
  // liblzma 5.4.1 can report a data error while it looks for an optional end
  // marker after the declared size, when the marker's bytes arrive split
  // over two calls. Once the declared size is out the content is complete
  // (and the digest judges it), so the marker is not waited for.
  const bool declared_size_reached =
      !c.xz && c.declared_size && c.stream.total_out == *c.declared_size;
  if (rc == LZMA_STREAM_END || declared_size_reached) return Step::end;
  if (rc == LZMA_OK || rc == LZMA_BUF_ERROR) return Step::more;
  return Step::error;
}

Step step(ZstdCodec& c, Window& w) {
  if (w.input_ended && w.in_length == 0 && c.frame_complete) return Step::end;
  ZSTD_inBuffer input{w.in, w.in_length, 0};
  ZSTD_outBuffer output{w.out, w.out_length, 0};
  const std::size_t rc = ZSTD_decompressStream(c.context, &output, &input);
  if (ZSTD_isError(rc)) return Step::error;
  w.advance(input.pos, output.pos);
  if (rc == 0) {
    c.frame_complete = true;
  } else if (input.pos > 0) {
    c.frame_complete = false;
  }
  if (w.input_ended && w.in_length == 0 && c.frame_complete) return Step::end;
  return Step::more;
}

}  // namespace

struct EntryCodec {
  std::variant<StoredCodec, DeflateCodec, Bzip2Codec, LzmaCodec, ZstdCodec> method;
};

EntryDecoder::~EntryDecoder() = default;

namespace {

// Builds the codec for `method` in place and starts it; null when it cannot start.
std::unique_ptr<EntryCodec> make_codec(int method, std::optional<std::uint64_t> declared_size) {
  auto codec = std::make_unique<EntryCodec>();
  switch (method) {
    case kZipMethodStored:
      break;
    case kZipMethodDeflate:
      codec->method.emplace<DeflateCodec>();
      break;
    case kZipMethodBzip2:
      codec->method.emplace<Bzip2Codec>();
      break;
    case kZipMethodLzma:
    case kZipMethodXz: {
      LzmaCodec& lzma = codec->method.emplace<LzmaCodec>();
      lzma.xz = method == kZipMethodXz;
      if (!lzma.xz) lzma.declared_size = declared_size;
      break;
    }
    case kZipMethodZstd:
      codec->method.emplace<ZstdCodec>();
      break;
    default:
      return nullptr;
  }
  if (!std::visit([](auto& c) { return start(c); }, codec->method)) return nullptr;
  return codec;
}

}  // namespace

bool entry_method_supported(int method) {
  switch (method) {
    case kZipMethodStored:
    case kZipMethodDeflate:
    case kZipMethodBzip2:
    case kZipMethodLzma:
    case kZipMethodZstd:
    case kZipMethodXz:
      return true;
    default:
      return false;
  }
}

EntryDecoderPtr entry_decoder_open(int method, std::optional<std::uint64_t> declared_size,
                                   EntrySource source) {
  if (!source || !entry_method_supported(method)) return nullptr;
  std::unique_ptr<EntryCodec> codec = make_codec(method, declared_size);
  if (!codec) return nullptr;
  auto decoder = std::make_unique<EntryDecoder>();
  decoder->codec = std::move(codec);
  decoder->source = std::move(source);
  decoder->input.resize(kInputBlock);
  return decoder;
}

std::int64_t entry_decoder_read(EntryDecoder& decoder, std::uint8_t* buffer, std::size_t capacity) {
  std::size_t produced = 0;
  while (produced < capacity && !decoder.ended && !decoder.failed) {
    if (decoder.input_position == decoder.input_length && !decoder.input_ended) {
      const std::int64_t got = decoder.source(decoder.input.data(), decoder.input.size());
      if (got < 0 || static_cast<std::uint64_t>(got) > decoder.input.size()) {
        decoder.failed = true;
        break;
      }
      decoder.input_ended = got == 0;
      decoder.input_position = 0;
      decoder.input_length = static_cast<std::size_t>(got);
    }
    Window w{decoder.input.data() + decoder.input_position,
             decoder.input_length - decoder.input_position, buffer + produced, capacity - produced,
             decoder.input_ended};
    const Window before = w;
    const Step result =
        std::visit([&w](auto& codec) { return step(codec, w); }, decoder.codec->method);
    const std::size_t consumed = before.in_length - w.in_length;
    const std::size_t made = before.out_length - w.out_length;
    decoder.input_position += consumed;
    produced += made;
    if (result == Step::end) {
      decoder.ended = true;
    } else if (result == Step::error) {
      decoder.failed = true;
    } else if (consumed == 0 && made == 0 &&
               (decoder.input_ended || decoder.input_position < decoder.input_length)) {
      // No progress with input at hand, or with none left to come: the stream
      // is cut short or the decoder is stuck. Either way the content ends here.
      decoder.failed = true;
    }
  }
  if (produced > 0) return static_cast<std::int64_t>(produced);
  return decoder.failed ? -1 : 0;
}

}  // namespace torvi
