#pragma once
// The controller's stored configuration: one file per configuration name in a
// folder, generated on first start and replaced atomically on restore.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace korvan {

// Writes `data` to `path` through a temporary file in the same folder and a
// rename, so a crash leaves either the old or the new file, never a mix.
// `durable` also waits for the disk, for files that must outlive a power cut.
bool write_file_atomic(const std::string& path, const std::vector<uint8_t>& data,
                       std::string* error, bool durable = true);

class ControllerState {
 public:
  // Loads every configuration from `dir` (created when missing), generating
  // and storing the ones not there yet for `firmware`. Counts the boot.
  // A folder that dies with the process need not be `durable`: waiting for
  // the disk nineteen times a controller would make a large site slow to start.
  bool open(const std::string& dir, const std::string& firmware, bool durable, std::string* error);

  // The stored bytes of configuration `name`; empty for an unknown name.
  std::vector<uint8_t> file(const std::string& name) const;
  // When the configuration was last written, seconds since 1970.
  int64_t mtime(const std::string& name) const;
  // Replaces configuration `name` on disk, then in memory.
  bool store(const std::string& name, const std::vector<uint8_t>& data, std::string* error);

  unsigned boot_count() const;
  const std::string& dir() const { return dir_; }

 private:
  struct Stored {
    std::vector<uint8_t> data;
    int64_t mtime = 0;
  };
  std::string path_of(const std::string& name) const;

  mutable std::mutex mutex_;
  std::string dir_;
  std::map<std::string, Stored> files_;
  unsigned boot_count_ = 0;
  bool durable_ = true;
};

}  // namespace korvan
