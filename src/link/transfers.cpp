#include "link/transfers.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <new>

#include "digest/hex.h"
#include "digest/sha256.h"
#include "link/transfer_context.h"
#include "link/verbose.h"
#include "platform/console.h"

namespace torvi {
namespace {

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

long verbose_flag() {
  const transfer_context* context = transfer_context_current();
  if (context) return context->verbose ? 1L : 0L;
  return verbose ? 1L : 0L;
}

// libcurl asks this at every step of a worker's transfer, and about once a
// second while it waits; a non-zero answer abandons the transfer.
int context_progress(void* data, curl_off_t, curl_off_t, curl_off_t upload_total,
                     curl_off_t upload_now) {
  const auto& context = *static_cast<const transfer_context*>(data);
  if (context.stop && context.stop->load()) return 1;
  if (std::chrono::steady_clock::now() >= context.deadline) return 1;
  if (upload_total > 0 && context.upload_progress) {
    context.upload_progress(static_cast<std::uint64_t>(upload_now),
                            static_cast<std::uint64_t>(upload_total));
  }
  return 0;
}

// A worker's context on top of the transfer's own options: its progress
// callback in place of the meter, and a time limit no later than its
// deadline (nor than `own_limit_s`, the transfer's own, where it has one).
// A thread without a context keeps the options exactly as they were.
void apply_context(CURL* h, long own_limit_s = 0) {
  transfer_context* context = transfer_context_current();
  if (!context) return;
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, context_progress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, context);
  // Timeouts by signal would reach whichever thread is running.
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  long long limit_ms = own_limit_s > 0 ? own_limit_s * 1000LL : 0;
  if (context->deadline != std::chrono::steady_clock::time_point::max()) {
    // Rounded up, so libcurl gives up at the deadline, not just before it,
    // and the worker can tell a timeout from any other failure.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                          context->deadline - std::chrono::steady_clock::now())
                          .count();
    // 0 would mean no limit at all: a deadline already passed gets the
    // shortest one.
    const long long deadline_ms = left > 0 ? left : 1;
    if (limit_ms == 0 || deadline_ms < limit_ms) limit_ms = deadline_ms;
  }
  if (limit_ms > 0) curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(limit_ms));
}

// Runs the prepared transfer; reports a failure on standard error.
int perform(CURL* handle) {
  CURLcode code = curl_easy_perform(handle);
  if (code != CURLE_OK) {
    console_err("curl_easy_perform() failed: %s\n", curl_easy_strerror(code));
    if (transfer_context* context = transfer_context_current()) {
      context->last_failure = curl_easy_strerror(code);
      ++context->failures;
    }
    return 1;
  }
  return 0;
}

// Diagnostics (verbose trace, progress meter) go where the console's errors go.
void route_diagnostics(CURL* handle) {
  curl_easy_setopt(handle, CURLOPT_STDERR, console_err_stream());
}

size_t discard_reply(char*, size_t size, size_t count, void*) {
  return size * count;
}

// Sends a command over HTTP GET. `show_reply` lets libcurl's own writer put
// the body on standard output; otherwise it is dropped.
int command_request(const char* tag, const std::string& url, bool show_reply) {
  console_out("%s\tpushing URL '%s'.\n", tag, url.c_str());
  Easy handle(curl_easy_init());
  if (!handle) return 1;
  CURL* h = handle.get();
  route_diagnostics(h);
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_VERBOSE, verbose_flag());
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  if (show_reply) {
    curl_easy_setopt(h, CURLOPT_WRITEDATA, console_out_stream());
  } else {
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard_reply);
  }
  apply_context(h);
  int result = perform(h);
  std::fflush(console_out_stream());
  return result;
}

}  // namespace

size_t receive_write_callback(char* chunk, size_t size, size_t count, void* buffer) {
  auto* receive = static_cast<ReceiveBuffer*>(buffer);
  if (!receive) return 0;
  size_t length = size * count;
  if (length > kReceiveMaxSize - receive->data.size()) {
    receive->data = {};
    return 0;
  }
  try {
    receive->data.insert(receive->data.end(), chunk, chunk + length);
  } catch (const std::bad_alloc&) {
    receive->data = {};
    return 0;
  }
  return length;
}

size_t upload_read_callback(char* destination, size_t size, size_t count, void* cursor) {
  auto* upload = static_cast<UploadCursor*>(cursor);
  size_t wanted = size * count;
  if (!upload || wanted == 0 || upload->left == 0) return 0;
  size_t n = wanted < upload->left ? wanted : static_cast<size_t>(upload->left);
  std::memcpy(destination, upload->position, n);
  upload->position += n;
  upload->left -= n;
  return n;
}

int link_fetch(const char* tag, const char* url, ReceiveBuffer& buffer) {
  buffer.data = {};
  if (!url) return 1;
  console_out("%s\tfetching URL '%s'.\n", tag, url);
  Easy handle(curl_easy_init());
  if (!handle) return 1;
  CURL* h = handle.get();
  route_diagnostics(h);
  curl_easy_setopt(h, CURLOPT_URL, url);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, receive_write_callback);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &buffer);
  curl_easy_setopt(h, CURLOPT_VERBOSE, verbose_flag());
  apply_context(h);
  if (perform(h) != 0) return 1;
  console_out("%s\treceived %llu bytes.\n", tag, static_cast<unsigned long long>(buffer.size()));
  return 0;
}

int backup_restore_request(const char* ip) {
  if (!ip) return 1;
  std::string url;
  if (format_text(url, "%s/api/v100/status.ssi?action=restoreconfig", ip) < 0) return 1;
  return command_request("backup_put", url, false);
}

int firmware_upgrade_request(const char* ip, const std::uint8_t* digest, std::size_t size) {
  if (!ip || !digest) return 1;
  char hash[2 * kSha256DigestSize + 1];
  hex_encode(digest, kSha256DigestSize, hash);
  std::string url;
  if (format_text(url, "%s/api/v100/status.ssi?action=firmwareupgrade&hash=%s&size=%zu", ip, hash,
                  size) < 0) {
    return 1;
  }
  return command_request("firmware", url, true);
}

int firmware_push_tftp(const char* ip, const ImageRecord& record) {
  return firmware_push_tftp(ip, record, UploadLimits{});
}

int firmware_push_tftp(const char* ip, const ImageRecord& record, const UploadLimits& limits) {
  // A size beyond the bytes held would read past them: refuse it like an
  // empty record.
  if (!ip || record.data.empty() || record.size == 0 || record.size > record.data.size()) return 1;
  std::string url;
  if (format_text(url, "tftp://%s/flashraw.bin", ip) < 0) return 1;
  console_out("%s\tpushing URL '%s'.\n", "firmware_push_tftp", url.c_str());
  Easy handle(curl_easy_init());
  if (!handle) return 1;
  CURL* h = handle.get();
  UploadCursor cursor{record.data.data(), record.size};
  route_diagnostics(h);
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_VERBOSE, verbose_flag());
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, limits.total);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, limits.connect);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limits.low_speed_time);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, limits.low_speed_limit);
  curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(h, CURLOPT_READFUNCTION, upload_read_callback);
  curl_easy_setopt(h, CURLOPT_READDATA, &cursor);
  curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(record.size));
  // libcurl otherwise sets SIGPIPE aside and back around every step of the
  // transfer: three system calls per 512-byte block, for a signal that a
  // UDP socket never raises.
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  apply_context(h, limits.total);
  return perform(h);
}

}  // namespace torvi
