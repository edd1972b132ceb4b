#pragma once
// What a transfer takes from the thread that makes it, beyond its
// arguments. torvi-cli makes every transfer on its one thread with the
// process's defaults (the `verbose` flag, libcurl's progress meter, no time
// limit but the upload's own). A program that works on several controllers
// at once gives each worker thread a context of its own instead: its own
// verbose flag, a deadline, a stop signal and the upload's progress.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace torvi {

struct transfer_context {
  bool verbose = false;
  // Every transfer the thread makes ends by this instant at the latest.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  // Once it holds true, every transfer of the thread is abandoned at its
  // next step and fails, so no request follows an upload that was cut off.
  const std::atomic<bool>* stop = nullptr;
  // Bytes of an upload sent so far and its size, as they move. Takes the
  // place of libcurl's progress meter, which never reaches the console.
  std::function<void(std::uint64_t sent, std::uint64_t total)> upload_progress;
  // libcurl's words for the last transfer that failed; empty before one did.
  std::string last_failure;
  unsigned failures = 0;
};

// Makes `context` the calling thread's for its transfers until the scope
// ends. The context must outlive the scope.
class transfer_scope {
 public:
  explicit transfer_scope(transfer_context& context);
  ~transfer_scope();
  transfer_scope(const transfer_scope&) = delete;
  transfer_scope& operator=(const transfer_scope&) = delete;

 private:
  transfer_context* saved_;
};

// The calling thread's context; null on a thread without one (torvi-cli).
transfer_context* transfer_context_current();

}  // namespace torvi
