#pragma once
// Turns the still-compressed bytes of a ZIP entry (once decrypted) into the
// entry's content, for the compression methods a firmware package may use.
// libzip 1.7 decodes only some of them itself, so the package reader always
// takes the compressed bytes and decodes here.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace torvi {

// ZIP compression method numbers a package entry may carry.
constexpr int kZipMethodStored = 0;
constexpr int kZipMethodDeflate = 8;
constexpr int kZipMethodBzip2 = 12;
constexpr int kZipMethodLzma = 14;
constexpr int kZipMethodZstd = 93;
constexpr int kZipMethodXz = 95;

// True for the methods above; every other method is refused.
bool entry_method_supported(int method);

// Supplies compressed bytes: returns how many it wrote (at most `capacity`),
// 0 at the end of the entry, or a negative value on a read error.
using EntrySource = std::function<std::int64_t(std::uint8_t* buffer, std::size_t capacity)>;

// The method's decoding state (entry_decoder.cpp): the libraries' C streams,
// which must stay where they were started.
struct EntryCodec;

// One entry being decoded: the codec, and the compressed bytes taken from the
// source that the codec has not consumed yet.
struct EntryDecoder {
  ~EntryDecoder();  // in entry_decoder.cpp, where EntryCodec is complete
  std::unique_ptr<EntryCodec> codec;
  EntrySource source;
  std::vector<std::uint8_t> input;
  std::size_t input_position = 0;
  std::size_t input_length = 0;
  bool input_ended = false;
  bool ended = false;
  bool failed = false;
};
using EntryDecoderPtr = std::unique_ptr<EntryDecoder>;

// Starts decoding an entry of `method`. `declared_size` is the content size
// the archive claims; it is used only to find the end of an LZMA stream
// written without an end marker, never to size a buffer. Returns null for
// an unsupported method or when the decoder cannot start.
EntryDecoderPtr entry_decoder_open(int method, std::optional<std::uint64_t> declared_size,
                                   EntrySource source);

// Fills `buffer` with up to `capacity` decoded bytes; it returns fewer only
// at the end of the content or when a read or decoding error stops it. The
// bytes decoded before an error are still returned; the call after them
// returns a negative value. Returns 0 once the content has ended.
std::int64_t entry_decoder_read(EntryDecoder& decoder, std::uint8_t* buffer, std::size_t capacity);

}  // namespace torvi
