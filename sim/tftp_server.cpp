#include "sim/tftp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "sim/number_text.h"

namespace korvan {
namespace {

constexpr uint16_t kOpRrq = 1;
constexpr uint16_t kOpWrq = 2;
constexpr uint16_t kOpData = 3;
constexpr uint16_t kOpAck = 4;
constexpr uint16_t kOpError = 5;
constexpr uint16_t kOpOack = 6;

// Offsets inside a packet: every packet opens with its opcode, DATA and ACK
// carry the block number behind it, DATA its payload behind that.
constexpr size_t kOpcodeOffset = 0;
constexpr size_t kBlockOffset = 2;
constexpr size_t kPayloadOffset = 4;
constexpr size_t kErrorCodeOffset = 2;

constexpr size_t kDefaultBlockSize = 512;
constexpr size_t kMinBlockSize = 8;
constexpr size_t kMaxBlockSize = 65464;
constexpr unsigned kMinTimeout = 1;
constexpr unsigned kMaxTimeout = 255;
// Our own retransmission interval when the client does not ask for one.
constexpr unsigned kDefaultTimeoutSeconds = 1;
// Retransmissions without progress before a transfer is abandoned; with the
// interval doubling each time, that is 15 intervals of silence.
constexpr unsigned kMaxRetries = 3;
// Every blocking wait is cut into slices this long so stop() is honoured quickly.
constexpr int kSliceMs = 100;
// Longest time we linger after the final ACK to answer a retransmitted last block.
constexpr unsigned kMaxDallySeconds = 2;
constexpr size_t kMaxTransfers = 16;
// Large enough for any UDP datagram, so oversized DATA is seen as such.
constexpr size_t kReceiveBufferSize = 65536;

using Clock = std::chrono::steady_clock;

uint16_t load_u16be(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void store_u16be(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v & 0xFF);
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string peer_text(const sockaddr_in& peer) {
  char host[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(peer.sin_port));
}

bool same_peer(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

struct Request {
  uint16_t opcode = 0;
  std::string filename;
  std::string mode;
  std::vector<std::pair<std::string, std::string>> options;  // names lower-cased
};

// A request is the opcode followed by NUL-terminated strings: file name, mode,
// then option name/value pairs. Anything not terminated makes it malformed.
bool parse_request(const uint8_t* packet, size_t length, Request& request) {
  if (length < 2) return false;
  request.opcode = load_u16be(packet + kOpcodeOffset);
  std::vector<std::string> fields;
  size_t pos = 2;
  while (pos < length) {
    const void* end = std::memchr(packet + pos, 0, length - pos);
    if (!end) return false;
    size_t stop = static_cast<size_t>(static_cast<const uint8_t*>(end) - packet);
    fields.emplace_back(reinterpret_cast<const char*>(packet + pos), stop - pos);
    pos = stop + 1;
  }
  if (fields.size() < 2 || fields[0].empty()) return false;
  request.filename = fields[0];
  request.mode = lower(fields[1]);
  // A trailing option name without a value is ignored like an unknown option.
  for (size_t i = 2; i + 1 < fields.size(); i += 2) {
    request.options.emplace_back(lower(fields[i]), fields[i + 1]);
  }
  return true;
}

std::vector<uint8_t> make_ack(uint16_t block) {
  std::vector<uint8_t> packet(4);
  store_u16be(packet.data() + kOpcodeOffset, kOpAck);
  store_u16be(packet.data() + kBlockOffset, block);
  return packet;
}

void send_packet(int fd, const sockaddr_in& to, const std::vector<uint8_t>& packet) {
  // A lost send is recovered like a lost datagram, by retransmission.
  (void)::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
}

void send_error(int fd, const sockaddr_in& to, uint16_t code, const std::string& message) {
  std::vector<uint8_t> packet(4);
  store_u16be(packet.data() + kOpcodeOffset, kOpError);
  store_u16be(packet.data() + kErrorCodeOffset, code);
  packet.insert(packet.end(), message.begin(), message.end());
  packet.push_back(0);
  send_packet(fd, to, packet);
}

enum class WaitResult { kPacket, kTimeout, kStopped };

// Waits until a datagram arrives, the deadline passes or the server stops.
WaitResult wait_packet(int fd, Clock::time_point deadline, const std::atomic<bool>& stopping,
                       std::vector<uint8_t>& buffer, size_t& length, sockaddr_in& from) {
  for (;;) {
    if (stopping.load()) return WaitResult::kStopped;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return WaitResult::kTimeout;
    pollfd pfd{fd, POLLIN, 0};
    int ready = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), kSliceMs)));
    if (ready < 0 && errno != EINTR) return WaitResult::kStopped;
    if (ready <= 0) continue;
    socklen_t fromlen = sizeof from;
    ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                           &fromlen);
    if (n < 0) continue;  // e.g. an ICMP error reported on the socket
    length = static_cast<size_t>(n);
    return WaitResult::kPacket;
  }
}

bool parse_address(const std::string& address, uint32_t& out) {
  std::string text = address == "localhost" ? "127.0.0.1" : address;
  in_addr addr{};
  if (inet_pton(AF_INET, text.c_str(), &addr) != 1) return false;
  out = addr.s_addr;
  return true;
}

int bind_udp(uint32_t address, uint16_t port, std::string* error) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = address;
  local.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    if (error) *error = std::string("bind: ") + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

uint16_t bound_port(int fd) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
  return ntohs(local.sin_port);
}

}  // namespace

struct TftpServer::Transfer {
  sockaddr_in peer{};
  int fd = -1;
  std::string filename;
  size_t block_size = kDefaultBlockSize;
  unsigned timeout_seconds = kDefaultTimeoutSeconds;
  std::optional<uint64_t> tsize;
  std::vector<uint8_t> first_reply;  // OACK, or ACK 0 when no option was taken
  TftpFaults faults;
  size_t max_upload = kTftpDefaultMaxUpload;
  std::thread thread;
  std::atomic<bool> done{false};
  std::atomic<bool> lingering{false};  // upload finished, only answering a repeated last block

  ~Transfer() {
    if (thread.joinable()) thread.join();
    if (fd >= 0) ::close(fd);
  }
};

TftpServer::TftpServer() = default;

TftpServer::~TftpServer() {
  stop();
}

bool TftpServer::start(const std::string& address, uint16_t port, std::string* error) {
  if (thread_.joinable()) {
    if (error) *error = "TFTP server already running";
    return false;
  }
  uint32_t addr = 0;
  if (!parse_address(address, addr)) {
    if (error) *error = "not an IPv4 address: '" + address + "'";
    return false;
  }
  int fd = bind_udp(addr, port, error);
  if (fd < 0) return false;
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    if (error) *error = std::string("eventfd: ") + std::strerror(errno);
    ::close(fd);
    return false;
  }
  socket_ = fd;
  wake_ = wake;
  address_ = addr;
  port_ = bound_port(fd);
  stopping_ = false;
  thread_ = std::thread([this] { serve(); });
  return true;
}

void TftpServer::stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written =
      ::write(wake_, &one, sizeof one);  // a fresh counter takes it
  thread_.join();
  ::close(socket_);
  ::close(wake_);
  socket_ = -1;
  wake_ = -1;
  port_ = 0;
}

uint16_t TftpServer::port() const {
  return port_;
}

void TftpServer::set_faults(const TftpFaults& faults) {
  std::lock_guard<std::mutex> lock(config_mutex_);
  faults_ = faults;
}

void TftpServer::set_upload_handler(UploadHandler handler) {
  std::lock_guard<std::mutex> lock(config_mutex_);
  upload_handler_ = std::move(handler);
}

void TftpServer::set_event_handler(EventHandler handler) {
  std::lock_guard<std::mutex> lock(config_mutex_);
  event_handler_ = std::move(handler);
}

void TftpServer::set_max_upload(size_t bytes) {
  std::lock_guard<std::mutex> lock(config_mutex_);
  max_upload_ = bytes;
}

void TftpServer::emit(const std::string& kind, const std::string& detail, bool ok) {
  EventHandler handler;
  {
    std::lock_guard<std::mutex> lock(config_mutex_);
    handler = event_handler_;
  }
  if (!handler) return;
  std::lock_guard<std::mutex> lock(callback_mutex_);
  handler(kind, detail, ok);
}

void TftpServer::deliver(const std::string& filename, std::vector<uint8_t> data) {
  UploadHandler handler;
  {
    std::lock_guard<std::mutex> lock(config_mutex_);
    handler = upload_handler_;
  }
  if (!handler) return;
  std::lock_guard<std::mutex> lock(callback_mutex_);
  handler(filename, std::move(data));
}

void TftpServer::serve() {
  std::vector<uint8_t> buffer(kReceiveBufferSize);
  while (!stopping_.load()) {
    // An idle server sleeps until a request or stop() wakes it, so a site of
    // hundreds of them costs no wake-ups; while transfers run it comes round
    // every slice to join the finished ones.
    pollfd pfd[2] = {{socket_, POLLIN, 0}, {wake_, POLLIN, 0}};
    int ready = ::poll(pfd, 2, transfers_.empty() ? -1 : kSliceMs);
    if (ready > 0 && (pfd[0].revents & POLLIN)) {
      sockaddr_in from{};
      socklen_t fromlen = sizeof from;
      ssize_t n = ::recvfrom(socket_, buffer.data(), buffer.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &fromlen);
      if (n >= 0) handle_request(buffer.data(), static_cast<size_t>(n), from);
    }
    reap(false);
  }
  reap(true);
}

void TftpServer::reap(bool all) {
  // Finished transfers are joined here; when stopping, the others notice
  // stopping_ within one slice, so joining them all stays bounded.
  for (auto it = transfers_.begin(); it != transfers_.end();) {
    if (all || (*it)->done.load()) {
      it = transfers_.erase(it);
    } else {
      ++it;
    }
  }
}

void TftpServer::handle_request(const uint8_t* packet, size_t length, const sockaddr_in& peer) {
  const std::string who = peer_text(peer);
  Request request;
  bool parsed = parse_request(packet, length, request);
  uint16_t opcode = length >= 2 ? load_u16be(packet) : 0;

  auto refuse = [&](uint16_t code, const std::string& message) {
    send_error(socket_, peer, code, message);
    emit("tftp-request", who + " refused: " + message, false);
  };

  switch (opcode) {
    case kOpWrq:
      break;
    case kOpRrq:
      refuse(TFTP_ERR_ACCESS, "Access violation: files cannot be read");
      return;
    case kOpData:
    case kOpAck:
    case kOpOack:
      // Belongs to no transfer: this port only takes requests.
      send_error(socket_, peer, TFTP_ERR_UNKNOWN_TID, "Unknown transfer ID");
      return;
    case kOpError:
      return;  // never answer an error
    default:
      refuse(TFTP_ERR_ILLEGAL_OP, "Illegal TFTP operation");
      return;
  }
  if (!parsed) {
    refuse(TFTP_ERR_ILLEGAL_OP, "Illegal TFTP operation: malformed request");
    return;
  }
  if (request.mode != "octet") {
    refuse(TFTP_ERR_ILLEGAL_OP, request.mode == "netascii"
                                    ? "Illegal TFTP operation: only octet mode is accepted"
                                    : "Illegal TFTP operation: unknown mode");
    return;
  }
  if (request.filename != kTftpUploadName) {
    refuse(TFTP_ERR_ACCESS, "Access violation: only flashraw.bin can be written");
    return;
  }

  auto transfer = std::make_unique<Transfer>();
  {
    std::lock_guard<std::mutex> lock(config_mutex_);
    transfer->faults = faults_;
    transfer->max_upload = max_upload_;
  }
  if (transfer->faults.error_on_request) {
    send_error(socket_, peer, TFTP_ERR_UNDEFINED, "Simulated failure");
    emit("tftp-fault", who + " write request answered with an error", false);
    return;
  }

  // Options: each one taken is echoed in the OACK in the order asked; ones
  // we cannot honour are left out, which tells the client to use the default.
  std::vector<uint8_t> oack(2);
  store_u16be(oack.data(), kOpOack);
  bool seen_blksize = false, seen_tsize = false, seen_timeout = false;
  auto add_option = [&](const std::string& name, const std::string& value) {
    oack.insert(oack.end(), name.begin(), name.end());
    oack.push_back(0);
    oack.insert(oack.end(), value.begin(), value.end());
    oack.push_back(0);
  };
  for (const auto& [name, value] : request.options) {
    std::optional<uint64_t> number = parse_decimal(value);
    if (name == "blksize" && !seen_blksize) {
      seen_blksize = true;
      if (!number || *number < kMinBlockSize) continue;
      // A server may only lower the size asked for.
      transfer->block_size = static_cast<size_t>(std::min<uint64_t>(*number, kMaxBlockSize));
      add_option(name, std::to_string(transfer->block_size));
    } else if (name == "tsize" && !seen_tsize) {
      seen_tsize = true;
      if (!number) continue;
      transfer->tsize = *number;
      add_option(name, std::to_string(*number));
    } else if (name == "timeout" && !seen_timeout) {
      seen_timeout = true;
      if (!number || *number < kMinTimeout || *number > kMaxTimeout) continue;
      transfer->timeout_seconds = static_cast<unsigned>(*number);
      add_option(name, std::to_string(*number));
    }
  }
  if (transfer->tsize && *transfer->tsize > transfer->max_upload) {
    refuse(TFTP_ERR_DISK_FULL, "Disk full or allocation exceeded: upload too large");
    return;
  }

  reap(false);
  size_t active = static_cast<size_t>(std::count_if(
      transfers_.begin(), transfers_.end(), [](const auto& other) { return !other->lingering; }));
  if (active >= kMaxTransfers) {
    refuse(TFTP_ERR_UNDEFINED, "Too many transfers, try again later");
    return;
  }
  std::string bind_error;
  transfer->fd = bind_udp(address_, 0, &bind_error);
  if (transfer->fd < 0) {
    refuse(TFTP_ERR_UNDEFINED, "Cannot open transfer socket");
    return;
  }
  transfer->peer = peer;
  transfer->filename = request.filename;
  transfer->first_reply = oack.size() > 2 ? oack : make_ack(0);

  std::string detail =
      who + " write " + request.filename + " blksize " + std::to_string(transfer->block_size);
  if (transfer->tsize) detail += " tsize " + std::to_string(*transfer->tsize);
  emit("tftp-request", detail, true);

  Transfer* raw = transfer.get();
  transfers_.push_back(std::move(transfer));
  raw->thread = std::thread([this, raw] {
    run_transfer(*raw);
    raw->done = true;
  });
}

void TftpServer::run_transfer(Transfer& t) {
  const std::string who = peer_text(t.peer);
  const auto interval = std::chrono::seconds(t.timeout_seconds);
  std::vector<uint8_t> buffer(kReceiveBufferSize);
  std::vector<uint8_t> last_sent = t.first_reply;
  // The announced size is the client's word only: memory grows with what
  // really arrives, and never past what tsize (or the limit) allows.
  std::vector<uint8_t> data;
  const size_t most = t.tsize ? static_cast<size_t>(*t.tsize) : t.max_upload;
  auto keep = [&](const uint8_t* bytes, size_t n) {
    if (data.size() + n > data.capacity())
      data.reserve(std::max(data.size() + n, std::min(2 * data.capacity(), most)));
    data.insert(data.end(), bytes, bytes + n);
  };
  // Acknowledgements of DATA go out after the configured latency; stop()
  // still ends the wait within one slice.
  auto send_ack = [&] {
    const auto due = Clock::now() + std::chrono::microseconds(t.faults.ack_delay_us);
    while (t.faults.ack_delay_us && !stopping_.load() && Clock::now() < due)
      std::this_thread::sleep_for(
          std::min<Clock::duration>(due - Clock::now(), std::chrono::milliseconds(kSliceMs)));
    send_packet(t.fd, t.peer, last_sent);
  };

  send_packet(t.fd, t.peer, last_sent);

  uint16_t expected = 1;  // wraps to 0 after 65535, as clients number past it
  uint64_t blocks_acked = 0;
  uint64_t data_packets = 0;
  bool stalled = false;
  // Retransmissions back off exponentially. Some clients restart their own
  // retransmission timer on every packet they receive, so a steady stream
  // of repeated ACKs would keep them from ever resending a lost block.
  unsigned resends = 0;
  auto resend_at = Clock::now() + interval;

  auto fail = [&](const std::string& why) {
    emit("tftp-error", who + " " + t.filename + ": " + why, false);
  };

  for (;;) {
    size_t length = 0;
    sockaddr_in from{};
    WaitResult waited = wait_packet(t.fd, resend_at, stopping_, buffer, length, from);
    if (waited == WaitResult::kStopped) {
      fail("server stopped");
      return;
    }
    if (waited == WaitResult::kTimeout) {
      if (resends >= kMaxRetries) {
        fail(stalled ? "stalled transfer abandoned" : "timed out, transfer abandoned");
        return;
      }
      if (!stalled) send_packet(t.fd, t.peer, last_sent);
      ++resends;
      resend_at = Clock::now() + interval * (1u << resends);
      continue;
    }
    if (!same_peer(from, t.peer)) {
      // Another host or port: tell it off and carry on with our client.
      send_error(t.fd, from, TFTP_ERR_UNKNOWN_TID, "Unknown transfer ID");
      continue;
    }
    if (stalled) continue;
    if (length < 4) {
      send_error(t.fd, t.peer, TFTP_ERR_ILLEGAL_OP, "Illegal TFTP operation: short packet");
      fail("short packet");
      return;
    }
    uint16_t opcode = load_u16be(buffer.data() + kOpcodeOffset);
    if (opcode == kOpError) {
      fail("client sent error " + std::to_string(load_u16be(buffer.data() + kErrorCodeOffset)));
      return;
    }
    if (opcode != kOpData) {
      send_error(t.fd, t.peer, TFTP_ERR_ILLEGAL_OP, "Illegal TFTP operation: expected DATA");
      fail("unexpected opcode " + std::to_string(opcode));
      return;
    }
    uint16_t block = load_u16be(buffer.data() + kBlockOffset);
    size_t payload = length - kPayloadOffset;
    if (payload > t.block_size) {
      send_error(t.fd, t.peer, TFTP_ERR_ILLEGAL_OP,
                 "Illegal TFTP operation: block larger than the block size");
      fail("oversized block");
      return;
    }
    ++data_packets;
    if (t.faults.drop_every != 0 && data_packets % t.faults.drop_every == 0) {
      emit("tftp-fault", who + " dropped DATA block " + std::to_string(block), false);
      continue;
    }
    if (block != expected) {
      // The client missed our ACK and sent the previous block again: confirm
      // it once more but keep its bytes only once. Anything else is stale.
      if (blocks_acked > 0 && block == static_cast<uint16_t>(expected - 1)) send_ack();
      continue;
    }
    if (t.faults.stall_after != 0 && blocks_acked >= t.faults.stall_after) {
      stalled = true;
      emit("tftp-fault", who + " stalled after " + std::to_string(blocks_acked) + " blocks", false);
      continue;
    }
    if (payload > t.max_upload - std::min(t.max_upload, data.size())) {
      send_error(t.fd, t.peer, TFTP_ERR_DISK_FULL,
                 "Disk full or allocation exceeded: upload too large");
      fail("upload larger than " + std::to_string(t.max_upload) + " bytes refused");
      return;
    }
    keep(buffer.data() + kPayloadOffset, payload);
    ++blocks_acked;
    last_sent = make_ack(block);
    expected = static_cast<uint16_t>(block + 1);
    resends = 0;
    resend_at = Clock::now() + interval;

    if (payload < t.block_size) {
      // Hand the upload over before the final ACK: a client that sees its
      // transfer complete may at once ask the controller to use it.
      const size_t size = data.size();
      deliver(t.filename, std::move(data));
      emit("upload", t.filename + " " + std::to_string(size) + " bytes from " + who, true);
      send_ack();
      break;
    }
    send_ack();
  }

  // Linger briefly: if the final ACK is lost the client repeats its last
  // block, and it must hear the ACK again rather than time out.
  t.lingering = true;
  const uint16_t final_block = static_cast<uint16_t>(expected - 1);
  auto dally_end =
      Clock::now() + std::chrono::seconds(std::min(t.timeout_seconds, kMaxDallySeconds));
  for (;;) {
    size_t length = 0;
    sockaddr_in from{};
    if (wait_packet(t.fd, dally_end, stopping_, buffer, length, from) != WaitResult::kPacket) {
      return;
    }
    if (!same_peer(from, t.peer)) {
      send_error(t.fd, from, TFTP_ERR_UNKNOWN_TID, "Unknown transfer ID");
      continue;
    }
    if (length >= 4 && load_u16be(buffer.data() + kOpcodeOffset) == kOpData &&
        load_u16be(buffer.data() + kBlockOffset) == final_block) {
      send_ack();
    }
  }
}

}  // namespace korvan
