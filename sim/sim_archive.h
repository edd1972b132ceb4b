#pragma once
// Tar archives as the controller writes and reads them, through libarchive,
// plus the header surgery that the archive faults need.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvan {

struct ArchiveMember {
  std::string name;
  std::vector<uint8_t> data;
  int64_t mtime = 0;
  bool regular = true;  // false for directories, links and other non-files
};

// Old-style (v7) tar of the members, 512-byte blocks, ending with two zero
// blocks. Empty on failure.
std::vector<uint8_t> archive_pack(const std::vector<ArchiveMember>& members);

// Reads every member of a tar archive. False with a reason when the bytes are
// not a tar archive or the archive is damaged part way; then `members` holds
// nothing, so a damaged upload is never half applied.
bool archive_unpack(const std::vector<uint8_t>& archive, std::vector<ArchiveMember>& members,
                    std::string* error);

// Offset of the header block of the member called `name` in an archive that
// archive_pack wrote; npos when absent.
size_t archive_header_offset(const std::vector<uint8_t>& archive, const std::string& name);

// Spoils the checksum of the header block at `offset`. False when out of range.
bool archive_corrupt_checksum(std::vector<uint8_t>& archive, size_t offset);

// Rewrites the size field of the header at `offset` to claim `size` bytes and
// recomputes its checksum, so the header itself stays valid.
bool archive_claim_size(std::vector<uint8_t>& archive, size_t offset, uint64_t size);

}  // namespace korvan
