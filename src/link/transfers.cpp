#include "link/transfers.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <new>

#include "digest/hex.h"
#include "digest/sha256.h"
#include "link/verbose.h"
#include "platform/console.h"

namespace torvi {
namespace {

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

long verbose_flag() {
  return verbose ? 1L : 0L;
}

// Runs the prepared transfer; reports a failure on standard error.
int perform(CURL* handle) {
  CURLcode code = curl_easy_perform(handle);
  if (code != CURLE_OK) {
    console_err("curl_easy_perform() failed: %s\n", curl_easy_strerror(code));
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
  return perform(h);
}

}  // namespace torvi
