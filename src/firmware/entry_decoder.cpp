#include "firmware/entry_decoder.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <climits>
#include <cstring>
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

// One decoding step: consumes from `in`, produces into `out`, both advanced
// in place. `input_ended` says that `in` holds the last compressed bytes.
class Codec {
 public:
  virtual ~Codec() = default;
  virtual Step step(const std::uint8_t*& in, std::size_t& in_length, std::uint8_t*& out,
                    std::size_t& out_length, bool input_ended) = 0;
};

class StoredCodec final : public Codec {
 public:
  Step step(const std::uint8_t*& in, std::size_t& in_length, std::uint8_t*& out,
            std::size_t& out_length, bool input_ended) override {
    std::size_t n = std::min(in_length, out_length);
    if (n > 0) std::memcpy(out, in, n);
    in += n;
    in_length -= n;
    out += n;
    out_length -= n;
    return input_ended && in_length == 0 ? Step::end : Step::more;
  }
};

// Raw deflate (no zlib or gzip wrapper), as ZIP stores it.
class DeflateCodec final : public Codec {
 public:
  bool start() {
    std::memset(&stream_, 0, sizeof stream_);
    started_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK;
    return started_;
  }
  ~DeflateCodec() override {
    if (started_) inflateEnd(&stream_);
  }
  Step step(const std::uint8_t*& in, std::size_t& in_length, std::uint8_t*& out,
            std::size_t& out_length, bool) override {
    const uInt in_offer = static_cast<uInt>(std::min<std::size_t>(in_length, UINT_MAX));
    const uInt out_offer = static_cast<uInt>(std::min<std::size_t>(out_length, UINT_MAX));
    stream_.next_in = const_cast<Bytef*>(in);
    stream_.avail_in = in_offer;
    stream_.next_out = out;
    stream_.avail_out = out_offer;
    const int rc = inflate(&stream_, Z_NO_FLUSH);
    in += in_offer - stream_.avail_in;
    in_length -= in_offer - stream_.avail_in;
    out += out_offer - stream_.avail_out;
    out_length -= out_offer - stream_.avail_out;
    if (rc == Z_STREAM_END) return Step::end;
    if (rc == Z_OK || rc == Z_BUF_ERROR) return Step::more;
    return Step::error;
  }

 private:
  z_stream stream_;
  bool started_ = false;
};

class Bzip2Codec final : public Codec {
 public:
  bool start() {
    std::memset(&stream_, 0, sizeof stream_);
    started_ = BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK;
    return started_;
  }
  ~Bzip2Codec() override {
    if (started_) BZ2_bzDecompressEnd(&stream_);
  }
  Step step(const std::uint8_t*& in, std::size_t& in_length, std::uint8_t*& out,
            std::size_t& out_length, bool) override {
    const unsigned in_offer = static_cast<unsigned>(std::min<std::size_t>(in_length, UINT_MAX));
    const unsigned out_offer = static_cast<unsigned>(std::min<std::size_t>(out_length, UINT_MAX));
    stream_.next_in = reinterpret_cast<char*>(const_cast<std::uint8_t*>(in));
    stream_.avail_in = in_offer;
    stream_.next_out = reinterpret_cast<char*>(out);
    stream_.avail_out = out_offer;
    const int rc = BZ2_bzDecompress(&stream_);
    in += in_offer - stream_.avail_in;
    in_length -= in_offer - stream_.avail_in;
    out += out_offer - stream_.avail_out;
    out_length -= out_offer - stream_.avail_out;
    if (rc == BZ_STREAM_END) return Step::end;
    if (rc == BZ_OK) return Step::more;
    return Step::error;
  }

 private:
  bz_stream stream_;
  bool started_ = false;
};

// Shared by LZMA (raw LZMA1 after the ZIP LZMA header) and XZ.
class LzmaCodec final : public Codec {
 public:
  explicit LzmaCodec(bool xz, std::optional<std::uint64_t> declared_size)
      : xz_(xz), declared_size_(declared_size) {}
  ~LzmaCodec() override { lzma_end(&stream_); }

  bool start() {
    if (!xz_) return true;  // the raw decoder starts once the header is in
    started_ = lzma_stream_decoder(&stream_, kXzMemoryLimit, 0) == LZMA_OK;
    return started_;
  }

  Step step(const std::uint8_t*& in, std::size_t& in_length, std::uint8_t*& out,
            std::size_t& out_length, bool input_ended) override {
    if (!started_) {
      while (in_length > 0 && header_.size() < header_needed()) {
        header_.push_back(*in++);
        --in_length;
      }
      if (header_.size() < header_needed()) return input_ended ? Step::error : Step::more;
      if (!start_raw()) return Step::error;
    }
    stream_.next_in = in;
    stream_.avail_in = in_length;
    stream_.next_out = out;
    stream_.avail_out = out_length;
    const lzma_ret rc = lzma_code(&stream_, input_ended ? LZMA_FINISH : LZMA_RUN);
    in += in_length - stream_.avail_in;
    in_length = stream_.avail_in;
    out += out_length - stream_.avail_out;
    out_length = stream_.avail_out;
    if (rc == LZMA_STREAM_END || declared_size_reached()) return Step::end;
    if (rc == LZMA_OK || rc == LZMA_BUF_ERROR) return Step::more;
    return Step::error;
  }

 private:
  // liblzma 5.4.1 can report a data error while it looks for an optional end
  // marker after the declared size, when the marker's bytes arrive split
  // over two calls. Once the declared size is out the content is complete
  // (and the digest judges it), so the marker is not waited for.
  bool declared_size_reached() const {
    return !xz_ && declared_size_ && stream_.total_out == *declared_size_;
  }

  std::size_t header_needed() const { return kLzmaHeaderSize + kLzmaPropertiesSize; }

  bool start_raw() {
    // LZMA1 properties are always 5 bytes; another size is not a stream we know.
    const std::size_t properties_size = header_[2] | (std::size_t{header_[3]} << 8);
    if (properties_size != kLzmaPropertiesSize) return false;
    const std::uint8_t* properties = header_.data() + kLzmaHeaderSize;
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
    options.dict_size =
        std::clamp(dictionary, std::uint32_t{LZMA_DICT_SIZE_MIN}, kLzmaDictionaryMax);
    // A ZIP writer may or may not end the stream with a marker (a flag in the
    // local header that libzip does not show). With the declared size the
    // decoder takes either form; a wrong size only makes decoding fail.
    const std::uint64_t size = declared_size_.value_or(UINT64_MAX);
    options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    options.ext_size_low = static_cast<std::uint32_t>(size);
    options.ext_size_high = static_cast<std::uint32_t>(size >> 32);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    started_ = lzma_raw_decoder(&stream_, filters) == LZMA_OK;
    return started_;
  }

  bool xz_;
  std::optional<std::uint64_t> declared_size_;
  lzma_stream stream_ = LZMA_STREAM_INIT;
  bool started_ = false;
  std::vector<std::uint8_t> header_;
};

// Zstandard; an entry may hold several frames one after the other.
class ZstdCodec final : public Codec {
 public:
  bool start() {
    context_ = ZSTD_createDCtx();
    if (!context_) return false;
    return !ZSTD_isError(ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, kZstdWindowLogMax));
  }
  ~ZstdCodec() override { ZSTD_freeDCtx(context_); }
  Step step(const std::uint8_t*& in, std::size_t& in_length, std::uint8_t*& out,
            std::size_t& out_length, bool input_ended) override {
    if (input_ended && in_length == 0 && frame_complete_) return Step::end;
    ZSTD_inBuffer input{in, in_length, 0};
    ZSTD_outBuffer output{out, out_length, 0};
    const std::size_t rc = ZSTD_decompressStream(context_, &output, &input);
    if (ZSTD_isError(rc)) return Step::error;
    in += input.pos;
    in_length -= input.pos;
    out += output.pos;
    out_length -= output.pos;
    if (rc == 0) {
      frame_complete_ = true;
    } else if (input.pos > 0) {
      frame_complete_ = false;
    }
    if (input_ended && in_length == 0 && frame_complete_) return Step::end;
    return Step::more;
  }

 private:
  ZSTD_DCtx* context_ = nullptr;
  bool frame_complete_ = false;
};

template <typename C, typename... Args>
std::unique_ptr<Codec> started(Args&&... args) {
  auto codec = std::make_unique<C>(std::forward<Args>(args)...);
  if (!codec->start()) return nullptr;
  return codec;
}

std::unique_ptr<Codec> make_codec(int method, std::optional<std::uint64_t> declared_size) {
  switch (method) {
    case kZipMethodStored:
      return std::make_unique<StoredCodec>();
    case kZipMethodDeflate:
      return started<DeflateCodec>();
    case kZipMethodBzip2:
      return started<Bzip2Codec>();
    case kZipMethodLzma:
      return started<LzmaCodec>(false, declared_size);
    case kZipMethodXz:
      return started<LzmaCodec>(true, std::nullopt);
    case kZipMethodZstd:
      return started<ZstdCodec>();
    default:
      return nullptr;
  }
}

enum class State { running, ended, failed };

}  // namespace

struct EntryDecoder {
  std::unique_ptr<Codec> codec;
  EntrySource source;
  std::vector<std::uint8_t> input;
  std::size_t input_position = 0;
  std::size_t input_length = 0;
  bool input_ended = false;
  State state = State::running;
};

void EntryDecoderDeleter::operator()(EntryDecoder* decoder) const {
  delete decoder;
}

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
  std::unique_ptr<Codec> codec = make_codec(method, declared_size);
  if (!codec) return nullptr;
  EntryDecoderPtr decoder(new EntryDecoder);
  decoder->codec = std::move(codec);
  decoder->source = std::move(source);
  decoder->input.resize(kInputBlock);
  return decoder;
}

std::int64_t entry_decoder_read(EntryDecoder& decoder, std::uint8_t* buffer, std::size_t capacity) {
  std::size_t produced = 0;
  while (produced < capacity && decoder.state == State::running) {
    if (decoder.input_position == decoder.input_length && !decoder.input_ended) {
      const std::int64_t got = decoder.source(decoder.input.data(), decoder.input.size());
      if (got < 0 || static_cast<std::uint64_t>(got) > decoder.input.size()) {
        decoder.state = State::failed;
        break;
      }
      decoder.input_ended = got == 0;
      decoder.input_position = 0;
      decoder.input_length = static_cast<std::size_t>(got);
    }
    const std::uint8_t* in = decoder.input.data() + decoder.input_position;
    std::size_t in_length = decoder.input_length - decoder.input_position;
    std::uint8_t* out = buffer + produced;
    std::size_t out_length = capacity - produced;
    const std::size_t in_before = in_length;
    const std::size_t out_before = out_length;
    const Step step = decoder.codec->step(in, in_length, out, out_length, decoder.input_ended);
    const std::size_t consumed = in_before - in_length;
    const std::size_t made = out_before - out_length;
    decoder.input_position += consumed;
    produced += made;
    if (step == Step::end) {
      decoder.state = State::ended;
    } else if (step == Step::error) {
      decoder.state = State::failed;
    } else if (consumed == 0 && made == 0 &&
               (decoder.input_ended || decoder.input_position < decoder.input_length)) {
      // No progress with input at hand, or with none left to come: the stream
      // is cut short or the decoder is stuck. Either way the content ends here.
      decoder.state = State::failed;
    }
  }
  if (produced > 0) return static_cast<std::int64_t>(produced);
  return decoder.state == State::failed ? -1 : 0;
}

}  // namespace torvi
