#include "sim/korvan_sim.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "sim/config_files.h"
#include "sim/faults.h"
#include "sim/firmware_maker.h"
#include "sim/json_text.h"
#include "sim/number_text.h"
#include "sim/sim_archive.h"
#include "sim/sim_state.h"
#include "sim/tftp_server.h"

namespace korvan {
namespace {

constexpr const char* kModel = "KORVAN-4";
// Controller number 1's serial number and MAC end in 4217 and 0B4217; the
// others count up from there.
constexpr unsigned kFirstSerial = 4216;
constexpr uint32_t kFirstMacTail = 0x0B4216;
constexpr size_t kMaxImage = 16777214;
constexpr int kBindAttempts = 20;
constexpr size_t kMaxEvents = 100000;
constexpr size_t kUploadBytesKept = 64u << 20;
constexpr auto kStartTimeout = std::chrono::seconds(5);
// Connections one controller serves at the same time, as httplib's own pool would.
constexpr size_t kMaxHttpWorkers = 8;

// httplib keeps the bound socket to itself until it listens, and its own
// stop() does nothing before the listening loop has begun. Taking the socket
// away ends the loop however far it got: a listener blocked in accept() is
// woken by the shutdown, one that has not begun yet finds no socket.
class HttpServer : public httplib::Server {
 public:
  void release_socket() {
    socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
    if (sock == INVALID_SOCKET) return;
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
  }
};

// Runs each accepted connection on a worker of its own, making workers only
// when every one made so far is busy, up to a limit. httplib's own pool
// starts eight threads per server whether or not a request ever comes, which
// a site of hundreds of controllers in one process cannot afford.
class OnDemandWorkers : public httplib::TaskQueue {
 public:
  explicit OnDemandWorkers(size_t limit) : limit_(limit) {}
  ~OnDemandWorkers() override { shutdown(); }

  void enqueue(std::function<void()> job) override {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    if (jobs_.size() > workers_.size() - busy_ && workers_.size() < limit_)
      workers_.emplace_back([this] { work(); });
    else
      wake_.notify_one();
  }

  // Runs the jobs already taken, then ends every worker.
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      ending_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_)
      if (worker.joinable()) worker.join();
  }

 private:
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return !jobs_.empty() || ending_; });
      if (jobs_.empty()) return;
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      ++busy_;
      lock.unlock();
      job();
      lock.lock();
      --busy_;
    }
  }

  const size_t limit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> workers_;  // grown by enqueue only, on the listening thread
  size_t busy_ = 0;
  bool ending_ = false;
};

// httplib's server sets SIGPIPE to be ignored by the whole process when it is
// made; the host program's own disposition is put back at once.
std::unique_ptr<HttpServer> make_http_server() {
  struct sigaction host {};
  const bool saved = ::sigaction(SIGPIPE, nullptr, &host) == 0;
  auto server = std::make_unique<HttpServer>();
  if (saved) ::sigaction(SIGPIPE, &host, nullptr);
  // httplib takes ownership of the queue and deletes it when listening ends.
  server->new_task_queue = [] { return new OnDemandWorkers(kMaxHttpWorkers); };
  return server;
}

// The simulator's threads write to sockets a client may already have closed;
// that must fail the write, not end the process. While it lives, the calling
// thread has SIGPIPE blocked, so every thread made meanwhile (and every thread
// those make) inherits the block, and the host keeps its own disposition.
class PipeSignalBlocked {
 public:
  PipeSignalBlocked() {
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &caller_);
  }
  ~PipeSignalBlocked() { pthread_sigmask(SIG_SETMASK, &caller_, nullptr); }
  PipeSignalBlocked(const PipeSignalBlocked&) = delete;
  PipeSignalBlocked& operator=(const PipeSignalBlocked&) = delete;

 private:
  sigset_t caller_;
};

std::string html_page(int status, const std::string& title, const std::string& text) {
  return "<!DOCTYPE html>\n<html><head><title>" + std::to_string(status) + " " + title +
         "</title></head>\n<body><h1>" + title + "</h1><p>" + text + "</p></body></html>\n";
}

std::string lowercase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

uint16_t port_of(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  if (addr.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  return 0;
}

// Finds the TCP connection a request came in on and shuts it down, so the
// client sees the connection end without a single byte of reply. httplib
// closes the descriptor itself afterwards.
void drop_connection(const httplib::Request& req) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return;
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || fd < 0 || fd == ::dirfd(dir)) continue;
    int type = 0;
    socklen_t type_len = sizeof type;
    if (::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &type_len) != 0 ||
        type != SOCK_STREAM)
      continue;
    sockaddr_storage local{}, peer{};
    socklen_t local_len = sizeof local, peer_len = sizeof peer;
    if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &local_len) != 0 ||
        ::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0)
      continue;
    if (port_of(local) == req.local_port && port_of(peer) == req.remote_port) {
      ::shutdown(static_cast<int>(fd), SHUT_RDWR);
      break;
    }
  }
  ::closedir(dir);
}

std::string random_hex(size_t digits) {
  std::random_device device;
  std::string out;
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < digits; ++i) out += kHex[device() & 15];
  return out;
}

std::string format_time(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string format_uptime(int64_t seconds) {
  char text[48];
  std::snprintf(text, sizeof text, "%lld days %02lld:%02lld:%02lld",
                static_cast<long long>(seconds / 86400),
                static_cast<long long>(seconds / 3600 % 24),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return text;
}

}  // namespace

struct Simulator::Impl {
  SimOptions options;
  std::string serial, mac, hostname;  // from options.number

  mutable std::mutex mutex;  // everything below up to the servers
  Faults faults;
  std::vector<SimEvent> events;
  std::string firmware;
  std::optional<std::vector<uint8_t>> upload;
  bool running = false;
  bool stopping = false;
  std::condition_variable stop_cv;  // wakes delayed replies on stop

  std::mutex command_mutex;  // one restore or upgrade at a time
  std::mutex log_mutex;

  ControllerState state;
  std::string private_dir;
  std::string session_id;
  std::chrono::steady_clock::time_point started;
  std::atomic<uint16_t> port{0};

  std::unique_ptr<HttpServer> http;
  std::thread http_thread;
  TftpServer tftp;

  // `size`: the upload's, for the log line.
  void record(const std::string& kind, const std::string& detail, bool ok,
              std::vector<uint8_t> data = {}, size_t size = 0);
  Faults current_faults() const {
    std::lock_guard lock(mutex);
    return faults;
  }
  std::string current_firmware() const {
    std::lock_guard lock(mutex);
    return firmware;
  }

  void reply(httplib::Response& res, int status, std::string body, const std::string& type);
  void setup_routes(HttpServer& server);
  void serve_status(httplib::Response& res);
  void serve_backup(const httplib::Request& req, httplib::Response& res);
  void restore(httplib::Response& res);
  void upgrade(const httplib::Request& req, httplib::Response& res);
  std::string status_document(bool with_model) const;
  std::vector<uint8_t> archive_for(const ConfigName& config, bool with_status,
                                   bool misplaced = false) const;
  void take_upload(const std::string& filename, std::vector<uint8_t> data);
  bool bind_servers(std::string* error);
};

void Simulator::Impl::record(const std::string& kind, const std::string& detail, bool ok,
                             std::vector<uint8_t> data, size_t size) {
  if (options.keep_events) {
    std::lock_guard lock(mutex);
    if (events.size() >= kMaxEvents) events.erase(events.begin(), events.begin() + kMaxEvents / 10);
    if (kind == "upload") {
      // Firmware images are large; a long-running controller keeps the bytes
      // of its most recent uploads only, up to a budget.
      size_t kept = data.size();
      for (auto it = events.rbegin(); it != events.rend(); ++it) {
        if (it->kind != "upload" || it->data.empty()) continue;
        if (kept + it->data.size() > kUploadBytesKept) {
          std::vector<uint8_t>().swap(it->data);
        } else {
          kept += it->data.size();
        }
      }
    }
    events.push_back(SimEvent{kind, detail, std::move(data), ok});
  }
  if (options.log) {
    std::string line = "{";
    if (!options.name.empty()) line += "\"controller\":" + json_quote(options.name) + ",";
    line += "\"kind\":" + json_quote(kind) + ",\"detail\":" + json_quote(detail) +
            ",\"ok\":" + (ok ? "true" : "false");
    if (kind == "upload") line += ",\"size\":" + std::to_string(size);
    line += "}\n";
    std::lock_guard lock(log_mutex);
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
  }
}

void Simulator::Impl::reply(httplib::Response& res, int status, std::string body,
                            const std::string& type) {
  res.status = status;
  if (!current_faults().http_truncate) {
    res.set_content(body, type);
    return;
  }
  // Announce more than there is, send what there is, then end the
  // connection: the client is left waiting for bytes that never come.
  const size_t announced = body.size() + std::max<size_t>(body.size(), 64);
  res.set_content_provider(
      announced, type, [body = std::move(body)](size_t offset, size_t, httplib::DataSink& sink) {
        if (offset < body.size()) sink.write(body.data() + offset, body.size() - offset);
        return false;
      });
}

std::string Simulator::Impl::status_document(bool with_model) const {
  const auto now = std::chrono::steady_clock::now();
  const int64_t uptime = std::chrono::duration_cast<std::chrono::seconds>(now - started).count();
  JsonMembers m;
  if (with_model) m.emplace_back("model_name", kModel);
  m.emplace_back("firmware_version", current_firmware());
  m.emplace_back("build_date", "2026-02-17");
  m.emplace_back("license", "KORVAN-4 Professional");
  m.emplace_back("license_number", "K4P-7731-0458");
  m.emplace_back("hostname", hostname);
  m.emplace_back("serial_number", serial);
  m.emplace_back("mac", mac);
  m.emplace_back("rtc_temperature", "31.5");
  m.emplace_back("ram_memory", "42316/131072 kB");
  m.emplace_back("flash_memory", "18304/65536 kB");
  m.emplace_back("boot_count", std::to_string(state.boot_count()));
  m.emplace_back("time", format_time(std::time(nullptr)));
  m.emplace_back("uptime", format_uptime(uptime));
  for (unsigned channel = 1; channel <= 4; ++channel)
    m.emplace_back("dali_channel_" + std::to_string(channel), "ok");
  m.emplace_back("ip", options.address);
  m.emplace_back("bacnet_ip", "disabled");
  m.emplace_back("session_id", session_id);
  m.emplace_back("username", "admin");
  return json_object(m) + "\n";
}

std::vector<uint8_t> Simulator::Impl::archive_for(const ConfigName& config, bool with_status,
                                                  bool misplaced) const {
  std::vector<ArchiveMember> members;
  const int64_t mtime = state.mtime(config.name);
  const std::string path = misplaced ? std::string("/tmp") + config.path : config.path;
  members.push_back({path, state.file(config.name), mtime, true});
  if (with_status) {
    std::string text = json_object({{"model_name", kModel},
                                    {"firmware_version", current_firmware()},
                                    {"serial_number", serial},
                                    {"mac", mac}}) +
                       "\n";
    members.push_back({"status.txt", std::vector<uint8_t>(text.begin(), text.end()), mtime, true});
  }
  return archive_pack(members);
}

void Simulator::Impl::serve_status(httplib::Response& res) {
  const Faults f = current_faults();
  if (f.status_404) {
    reply(res, 404, html_page(404, "Not Found", "The requested page does not exist."), "text/html");
  } else if (f.status_empty) {
    reply(res, 200, "", "application/json");
  } else {
    reply(res, 200, status_document(!f.status_no_model), "application/json");
  }
}

void Simulator::Impl::serve_backup(const httplib::Request& req, httplib::Response& res) {
  const std::string name = req.get_param_value("config");
  const ConfigName* config = find_config_by_name(name);
  if (!config) {
    reply(res, 404, html_page(404, "Not Found", "No configuration of that name."), "text/html");
    return;
  }
  const Faults f = current_faults();
  if (f.backup_not_tar) {
    reply(res, 200, html_page(200, "Backup", "The configuration is being prepared."), "text/html");
    return;
  }
  std::vector<uint8_t> bytes = archive_for(*config, !f.backup_no_status, f.backup_no_file);
  if (bytes.empty()) {
    reply(res, 500, html_page(500, "Internal Server Error", "Archive failed."), "text/html");
    return;
  }
  if (f.backup_bad_checksum) archive_corrupt_checksum(bytes, 0);
  if (f.backup_huge_member && !f.backup_no_status)
    archive_claim_size(bytes, archive_header_offset(bytes, "status.txt"), f.backup_huge_member);
  reply(res, 200, std::string(bytes.begin(), bytes.end()), "application/x-tar");
}

void Simulator::Impl::restore(httplib::Response& res) {
  std::lock_guard command(command_mutex);
  std::optional<std::vector<uint8_t>> bytes;
  std::string fw;
  {
    std::lock_guard lock(mutex);
    bytes = upload;
    fw = firmware;
  }
  auto refuse_all = [&](const std::string& why) {
    record("restore", "refused: " + why, false);
    reply(res, 400, "restore refused: " + why + "\n", "text/plain");
  };
  if (!bytes) return refuse_all("nothing has been uploaded");
  std::vector<ArchiveMember> members;
  std::string why;
  if (!archive_unpack(*bytes, members, &why))
    return refuse_all("upload is not a tar archive (" + why + ")");
  if (members.empty()) return refuse_all("the archive holds no files");

  unsigned applied = 0, refused = 0;
  std::string text;
  for (const ArchiveMember& m : members) {
    std::string reason;
    const ConfigName* config = find_config_by_path(m.name);
    if (!m.regular) {
      reason = "not a regular file";
    } else if (!config) {
      reason = "not a configuration path of this controller";
    } else {
      reason = check_config_file(*config, m.data, fw);
      std::string store_error;
      if (reason.empty() && !state.store(config->name, m.data, &store_error))
        reason = "cannot store: " + store_error;
    }
    if (reason.empty()) {
      ++applied;
      // Channel files name their layout and conversion counter, so a log
      // shows which conversion of the file the controller took.
      const std::string about = describe_config_file(*config, m.data);
      const std::string detail = "applied " + m.name + (about.empty() ? "" : " (" + about + ")");
      record("restore", detail, true);
      // Then what the file now holds, so a technician sees in the log what a
      // setup or restore really wrote.
      for (const std::string& line : describe_contents(*config, m.data))
        record("contents", line, true);
      text += detail + "\n";
    } else {
      ++refused;
      record("restore", "refused " + m.name + ": " + reason, false);
      text += "refused " + m.name + ": " + reason + "\n";
    }
  }
  text = "restore: " + std::to_string(applied) + " applied, " + std::to_string(refused) +
         " refused\n" + text;
  reply(res, refused ? 400 : 200, text, "text/plain");
}

void Simulator::Impl::upgrade(const httplib::Request& req, httplib::Response& res) {
  std::lock_guard command(command_mutex);
  std::optional<std::vector<uint8_t>> bytes;
  {
    std::lock_guard lock(mutex);
    bytes = upload;
  }
  auto refuse = [&](const std::string& why) {
    record("upgrade", "refused: " + why, false);
    reply(res, 400, "firmware upgrade refused: " + why + "\n", "text/plain");
  };
  const std::string hash = lowercase(req.get_param_value("hash"));
  const auto size = parse_decimal(req.get_param_value("size"));
  if (hash.size() != 64 || hash.find_first_not_of("0123456789abcdef") != std::string::npos)
    return refuse("hash must be 64 hexadecimal digits");
  if (!size) return refuse("size must be a decimal number");
  if (!bytes) return refuse("nothing has been uploaded");
  if (*size != bytes->size())
    return refuse("size " + std::to_string(*size) + " does not match the upload (" +
                  std::to_string(bytes->size()) + " bytes)");
  if (firmware_digest_hex(*bytes) != hash) return refuse("hash does not match the upload");
  if (bytes->size() > kMaxImage) return refuse("image larger than 16777214 bytes");
  ImageInfo info;
  if (!read_image_info(*bytes, info)) return refuse("image too short for its information block");
  if (info.model != kModel) return refuse("image is for model '" + info.model + "', not KORVAN-4");
  {
    std::lock_guard lock(mutex);
    firmware = info.version_string;
  }
  record("upgrade", "installed " + info.version_string, true);
  reply(res, 200, "firmware upgrade: installed version " + info.version_string + "\n",
        "text/plain");
}

void Simulator::Impl::take_upload(const std::string& filename, std::vector<uint8_t> data) {
  const size_t size = data.size();
  std::vector<uint8_t> copy;  // the event's, when events are kept
  {
    std::lock_guard lock(mutex);
    if (options.keep_events) copy = data;
    upload = std::move(data);
  }
  record("upload", filename + " " + std::to_string(size) + " bytes", true, std::move(copy), size);
}

void Simulator::Impl::setup_routes(HttpServer& server) {
  server.set_read_timeout(5, 0);
  server.set_write_timeout(5, 0);
  server.set_keep_alive_timeout(2);
  server.set_payload_max_length(1 << 20);

  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
    const Faults f = current_faults();
    record("http", req.target, !f.http_close && !f.http_truncate);
    if (f.http_delay_ms) {
      std::unique_lock lock(mutex);
      stop_cv.wait_for(lock, std::chrono::milliseconds(f.http_delay_ms),
                       [this] { return stopping; });
    }
    if (f.http_close) {
      drop_connection(req);
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  server.Get("/api/v100/status.ssi", [this](const httplib::Request& req, httplib::Response& res) {
    if (!req.has_param("action")) return serve_status(res);
    const std::string action = req.get_param_value("action");
    if (action == "restoreconfig") return restore(res);
    if (action == "firmwareupgrade") return upgrade(req, res);
    reply(res, 400, "unknown action '" + action + "'\n", "text/plain");
  });
  server.Get("/api/v100/backup.ssi", [this](const httplib::Request& req, httplib::Response& res) {
    serve_backup(req, res);
  });

  // Anything else gets the controller's HTML error page rather than httplib's empty one.
  server.set_error_handler(
      httplib::Server::HandlerWithResponse([this](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty() || res.content_provider_)
          return httplib::Server::HandlerResponse::Unhandled;
        reply(res, res.status,
              html_page(res.status, res.status == 404 ? "Not Found" : "Error",
                        "The request could not be served."),
              "text/html");
        return httplib::Server::HandlerResponse::Handled;
      }));
}

bool Simulator::Impl::bind_servers(std::string* error) {
  std::string reason;
  for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
    auto server = make_http_server();
    setup_routes(*server);
    int bound = options.port == 0
                    ? server->bind_to_any_port(options.address)
                    : (server->bind_to_port(options.address, options.port) ? options.port : -1);
    if (bound <= 0) {
      if (error) *error = "cannot bind TCP " + options.address + ":" + std::to_string(options.port);
      return false;
    }
    if (tftp.start(options.address, static_cast<uint16_t>(bound), &reason)) {
      http = std::move(server);
      port = static_cast<uint16_t>(bound);
      return true;
    }
    server->release_socket();
    // A fixed port cannot be swapped for another; a free one can.
    if (options.port != 0) break;
  }
  if (error) *error = "cannot bind UDP for TFTP: " + reason;
  return false;
}

Simulator::Simulator(SimOptions options) : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  s.options = std::move(options);
  char text[32];
  std::snprintf(text, sizeof text, "K4-2311-%06u", kFirstSerial + s.options.number);
  s.serial = text;
  const uint32_t tail = (kFirstMacTail + s.options.number) & 0xFFFFFF;
  std::snprintf(text, sizeof text, "00:1B:C5:%02X:%02X:%02X", tail >> 16, (tail >> 8) & 0xFF,
                tail & 0xFF);
  s.mac = text;
  std::snprintf(text, sizeof text, "korvan-4-%06x", tail);
  s.hostname = text;
}

Simulator::~Simulator() {
  stop();
}

bool Simulator::start(std::string* error) {
  Impl& s = *impl_;
  {
    std::lock_guard lock(s.mutex);
    if (s.running) {
      if (error) *error = "already running";
      return false;
    }
    s.faults = Faults{};
    for (const std::string& fault : s.options.faults) {
      if (!apply_fault(s.faults, fault, error)) return false;
    }
    s.firmware = s.options.firmware;
    s.upload.reset();
    s.stopping = false;
  }
  std::string dir = s.options.state_dir;
  if (dir.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvan-sim-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      if (error) *error = "cannot create a temporary state folder";
      return false;
    }
    s.private_dir = dir = pattern;
  }
  auto abandon = [&] {
    if (!s.private_dir.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(s.private_dir, ec);
      s.private_dir.clear();
    }
    return false;
  };
  if (!s.state.open(dir, s.options.firmware, s.private_dir.empty(), error)) return abandon();
  s.session_id = random_hex(16);
  s.started = std::chrono::steady_clock::now();

  s.tftp.set_faults(tftp_faults(s.current_faults()));
  s.tftp.set_upload_handler([&s](const std::string& filename, std::vector<uint8_t> data) {
    s.take_upload(filename, std::move(data));
  });
  s.tftp.set_event_handler([&s](const std::string& kind, const std::string& detail, bool ok) {
    if (kind == "upload" && ok) return;  // take_upload has recorded it, with the bytes
    if (kind == "tftp-request" && ok) {
      // A new write replaces the upload from its first block: should it fail,
      // no older upload may be restored or installed in its place.
      std::lock_guard lock(s.mutex);
      s.upload.reset();
    }
    s.record(kind, detail, ok);
  });
  HttpServer* server = nullptr;
  {
    PipeSignalBlocked blocked;
    if (!s.bind_servers(error)) return abandon();
    server = s.http.get();
    s.http_thread = std::thread([server] { server->listen_after_bind(); });
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (!server->is_running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  {
    std::lock_guard lock(s.mutex);
    s.running = true;
  }
  if (!server->is_running()) {
    stop();
    if (error) *error = "HTTP server did not start";
    return false;
  }
  return true;
}

void Simulator::stop() {
  Impl& s = *impl_;
  {
    std::lock_guard lock(s.mutex);
    if (!s.running) return;
    s.running = false;
    s.stopping = true;
  }
  s.stop_cv.notify_all();
  if (s.http) s.http->release_socket();
  if (s.http_thread.joinable()) s.http_thread.join();
  s.http.reset();
  s.tftp.stop();
  s.port = 0;
  if (!s.private_dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(s.private_dir, ec);
    s.private_dir.clear();
  }
}

uint16_t Simulator::port() const {
  return impl_->port;
}

std::string Simulator::ip() const {
  return impl_->options.address + ":" + std::to_string(impl_->port);
}

bool Simulator::set_fault(const std::string& fault) {
  Impl& s = *impl_;
  TftpFaults t;
  {
    std::lock_guard lock(s.mutex);
    Faults updated = s.faults;
    if (!apply_fault(updated, fault, nullptr)) return false;
    s.faults = updated;
    t = tftp_faults(updated);
  }
  s.tftp.set_faults(t);
  return true;
}

void Simulator::clear_faults() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->faults = Faults{};
  }
  impl_->tftp.set_faults(TftpFaults{});
}

std::vector<SimEvent> Simulator::events() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->events;
}

void Simulator::clear_events() {
  std::lock_guard lock(impl_->mutex);
  impl_->events.clear();
}

std::string Simulator::firmware_version() const {
  return impl_->current_firmware();
}

std::string Simulator::serial_number() const {
  return impl_->serial;
}

std::string Simulator::mac() const {
  return impl_->mac;
}

unsigned Simulator::boot_count() const {
  return impl_->state.boot_count();
}

std::string Simulator::state_dir() const {
  return impl_->state.dir();
}

std::vector<uint8_t> Simulator::config_file(const std::string& name) const {
  return impl_->state.file(name);
}

std::vector<uint8_t> Simulator::backup_archive(const std::string& name) const {
  const ConfigName* config = find_config_by_name(name);
  return config ? impl_->archive_for(*config, true) : std::vector<uint8_t>();
}

void Simulator::receive_upload(const std::string& filename, std::vector<uint8_t> data) {
  impl_->take_upload(filename, std::move(data));
}

}  // namespace korvan
