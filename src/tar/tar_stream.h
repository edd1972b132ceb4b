#pragma once
// Reader and writer for the old (pre-POSIX) tar header, the format in which
// the controller exchanges its configuration files. Every operation works
// through a tar_stream and its four callbacks, so the same code serves a file
// on disk, received bytes in memory and an archive being built in memory.
// Sizes and positions are 32-bit, as the controller's archives are.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace torvi {

// Status codes: every operation and every callback returns one of these.
constexpr int TAR_OK = 0;
constexpr int TAR_ERR_FAILURE = -1;
constexpr int TAR_ERR_OPEN = -2;
constexpr int TAR_ERR_READ = -3;
constexpr int TAR_ERR_WRITE = -4;
constexpr int TAR_ERR_SEEK = -5;
constexpr int TAR_ERR_CHECKSUM = -6;
constexpr int TAR_ERR_NULL_RECORD = -7;
constexpr int TAR_ERR_NOT_FOUND = -8;

// Size of a header block and the unit to which member data is padded.
constexpr std::uint32_t kTarBlockSize = 512;
// Longest name or link name the header can hold with its terminating NUL.
constexpr std::size_t kTarMaxNameLength = 99;

struct tar_stream;

// Callbacks never move `position`; the operations below do that.
using tar_read_fn = int (*)(tar_stream& stream, std::uint8_t* destination, std::uint32_t count);
using tar_write_fn = int (*)(tar_stream& stream, const std::uint8_t* source, std::uint32_t count);
using tar_seek_fn = int (*)(tar_stream& stream, std::uint32_t position);
using tar_close_fn = int (*)(tar_stream& stream);

// The state of one archive being read or written. A callback that is not set
// makes the operations needing it fail with TAR_ERR_FAILURE.
struct tar_stream {
  tar_read_fn read = nullptr;
  tar_write_fn write = nullptr;
  tar_seek_fn seek = nullptr;
  tar_close_fn close = nullptr;
  // Backing object: the open file of a file stream...
  unique_file file;
  // ...or the caller's bytes of a memory reader (null when no buffer is set)...
  const std::uint8_t* memory = nullptr;
  std::uint32_t memory_length = 0;
  // ...or the archive a memory writer is building.
  std::vector<std::uint8_t> buffer;
  // Byte offset of the stream.
  std::uint32_t position = 0;
  // Bytes of the current member's data still to be read or written.
  std::uint32_t remaining = 0;
  // Offset of the header block read most recently.
  std::uint32_t last_header = 0;
};

// One decoded header. `type` is the raw type byte ('0' for a regular file as
// read back; 0 is written as '0').
struct tar_header {
  std::uint32_t mode = 0;
  std::uint32_t owner = 0;
  std::uint32_t size = 0;
  std::uint32_t mtime = 0;
  std::uint32_t type = 0;
  std::string name;
  std::string linkname;
};

// Opens a file stream; "r" modes read the first header at once to check it.
int tar_open(tar_stream& stream, const std::string& path, const std::string& mode);
// Opens a reader over `length` bytes the caller keeps alive until the stream is done.
int tar_open_memory_reader(tar_stream& stream, const std::uint8_t* data, std::size_t length);
// Same, over a byte vector (which must outlive the stream).
int tar_open_memory_reader(tar_stream& stream, const std::vector<std::uint8_t>& data);
int tar_open_memory_reader(tar_stream& stream, std::vector<std::uint8_t>&& data) = delete;
// Opens a writer that builds the archive in stream.buffer.
int tar_open_memory_writer(tar_stream& stream);
// The bytes a memory writer has written so far (the archive once finalized).
std::span<const std::uint8_t> tar_memory_data(const tar_stream& stream);
// Hands a memory writer's archive to the caller and leaves the writer empty.
std::vector<std::uint8_t> tar_memory_take(tar_stream& stream);

// Releases the backing object; a file whose buffered bytes cannot be flushed
// gives TAR_ERR_WRITE.
int tar_close(tar_stream& stream);
// Moves the backing object to an absolute position.
int tar_seek(tar_stream& stream, std::uint32_t position);
// Back to the start of the archive, forgetting any partly read member.
int tar_rewind(tar_stream& stream);

// Reads the header block at the stream's position and leaves the position on
// that block, so a caller can read the same member again.
int tar_read_header(tar_stream& stream, tar_header& header);
// Moves from the header at the position to the next member's header.
int tar_next(tar_stream& stream);
// Searches from the archive's start for the first member named exactly `name`
// and leaves the position on its header; copies the header out when given.
int tar_find(tar_stream& stream, std::string_view name, tar_header* header = nullptr);
// Reads buffer.size() bytes of the member at the position; a member may be
// read in pieces. Never reads past the member: asking for more than remains
// gives TAR_ERR_FAILURE, a member cut short by the archive's end TAR_ERR_READ.
int tar_read_data(tar_stream& stream, std::span<std::uint8_t> buffer);
// TAR_OK when the member whose header is at the position has all of its data
// in the archive, TAR_ERR_READ when it is cut short. Check this before
// allocating header.size bytes for an archive from outside.
int tar_check_member(const tar_stream& stream, const tar_header& header);
// Finds `name`, checks its size against the archive and reads all its data.
int tar_read_member(tar_stream& stream, std::string_view name, std::vector<std::uint8_t>& data,
                    tar_header* header = nullptr);

// Encodes and writes a header; refuses (TAR_ERR_FAILURE) a name or link name
// of 100 bytes or more, numbers that do not fit their fields, and a header
// while the previous member's data is incomplete.
int tar_write_header(tar_stream& stream, const tar_header& header);
// Writes the header of a regular file: mode 0664, owner 0, mtime 0, type '0'.
int tar_write_file_header(tar_stream& stream, std::string_view name, std::uint32_t size);
// Writes member data, then the zero padding once the declared size is complete.
int tar_write_data(tar_stream& stream, std::span<const std::uint8_t> data);
// Writes the end marker (two zero blocks).
int tar_finalize(tar_stream& stream);

// The text of a status code ("unknown error" for any other value).
const char* tar_strerror(int code);

}  // namespace torvi
