#pragma once
// The controller's TFTP server: accepts the write of "flashraw.bin" (a firmware
// image or a configuration archive) and hands the finished upload to the
// simulator. Octet mode only; netascii requests are refused, because a
// firmware image translated line by line would arrive corrupted.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sockaddr_in;

namespace korvan {

// Misbehaviour injected into new transfers, so clients can be tried against a
// controller that refuses, loses packets or goes silent.
struct TftpFaults {
  bool error_on_request = false;  // answer the write request with an ERROR packet
  unsigned drop_every = 0;        // ignore every Nth DATA packet of a transfer (0: none)
  unsigned stall_after = 0;       // go silent after N blocks acknowledged (0: never)
  unsigned ack_delay_us = 0;      // hold every ACK of a DATA block back this long
};

// The TFTP error codes a server sends.
enum TftpErrorCode : uint16_t {
  TFTP_ERR_UNDEFINED = 0,
  TFTP_ERR_NOT_FOUND = 1,
  TFTP_ERR_ACCESS = 2,
  TFTP_ERR_DISK_FULL = 3,
  TFTP_ERR_ILLEGAL_OP = 4,
  TFTP_ERR_UNKNOWN_TID = 5,
  TFTP_ERR_EXISTS = 6,
  TFTP_ERR_NO_USER = 7,
  TFTP_ERR_OPTION = 8,
};

// The one file name the controller accepts for writing.
inline constexpr const char* kTftpUploadName = "flashraw.bin";
// Largest upload taken by default; anything bigger is refused with ERROR 3.
inline constexpr size_t kTftpDefaultMaxUpload = 64u * 1024 * 1024;

class TftpServer {
 public:
  // Called on a server thread with the finished upload, before the final
  // ACK goes out, so a client that saw its upload complete can rely on the
  // simulator holding it. Calls of both handlers are serialised; a handler
  // must not call back into the server's setters.
  using UploadHandler = std::function<void(const std::string& filename, std::vector<uint8_t> data)>;
  // kind: "tftp-request", "upload", "tftp-error", "tftp-fault".
  using EventHandler =
      std::function<void(const std::string& kind, const std::string& detail, bool ok)>;

  TftpServer();
  ~TftpServer();
  TftpServer(const TftpServer&) = delete;
  TftpServer& operator=(const TftpServer&) = delete;

  // Binds UDP on address:port (port 0 = any free port) and serves on its own
  // thread. False with a reason in *error when the address is not usable or
  // the server already runs.
  bool start(const std::string& address, uint16_t port, std::string* error);
  // Ends the server and every transfer; returns within about a second.
  void stop();
  // The bound port, 0 when not running.
  uint16_t port() const;

  // Thread-safe; takes effect for transfers that start afterwards.
  void set_faults(const TftpFaults& faults);
  void set_upload_handler(UploadHandler handler);
  void set_event_handler(EventHandler handler);
  // Upload size limit in bytes (tests lower it); new transfers only.
  void set_max_upload(size_t bytes);

 private:
  struct Transfer;
  void serve();
  void handle_request(const uint8_t* packet, size_t length, const sockaddr_in& peer);
  void run_transfer(Transfer& transfer);
  void reap(bool all);
  void emit(const std::string& kind, const std::string& detail, bool ok);
  void deliver(const std::string& filename, std::vector<uint8_t> data);

  int socket_ = -1;
  int wake_ = -1;  // eventfd that stop() signals
  std::atomic<uint16_t> port_{0};
  uint32_t address_ = 0;  // network order, for the transfer sockets
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::list<std::unique_ptr<Transfer>> transfers_;  // touched by the serving thread only

  mutable std::mutex config_mutex_;
  TftpFaults faults_;
  size_t max_upload_ = kTftpDefaultMaxUpload;
  UploadHandler upload_handler_;
  EventHandler event_handler_;
  std::mutex callback_mutex_;
};

}  // namespace korvan
