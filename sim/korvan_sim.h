#pragma once
// korvan-sim: a stand-in KORVAN-4 controller for tests and rehearsals. It
// serves the controller's HTTP interface and its TFTP upload on one port
// number of a loopback address, keeps its configuration files in a folder,
// and can be told to misbehave.
//
//   korvan::Simulator sim({});
//   sim.start();
//   ... run the tool with --ip sim.ip() ...
//   for (const auto& e : sim.events()) ...

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvan {

struct SimOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 0;  // 0: a free port, the same number for HTTP and TFTP
  std::string firmware = "2.2.4";
  std::string state_dir;            // empty: a private temporary folder removed on stop
  std::vector<std::string> faults;  // "NAME" or "NAME=VALUE"
  bool log = false;                 // also print every event as a JSON line on standard output
  // Which controller of a site this is, from 1. Its serial number, MAC and
  // host name derive from it, so the same number is the same controller
  // after a restart; number 1 is the one a lone simulator has always been.
  unsigned number = 1;
  std::string name;         // when set, every log line begins with "controller":NAME
  bool keep_events = true;  // false: events are logged only, for a host that never reads them
};

// One thing that happened, in the order it happened.
struct SimEvent {
  // "http", "upload", "restore", "upgrade", and the TFTP server's own
  // "tftp-request", "tftp-error", "tftp-fault".
  std::string kind;
  // The request target; the upload's file name and size; "applied PATH" or
  // "refused PATH: reason"; "installed VERSION" or "refused: reason".
  std::string detail;
  std::vector<uint8_t> data;  // the uploaded bytes, for "upload"
  bool ok = true;
};

class Simulator {
 public:
  explicit Simulator(SimOptions options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Loads or creates the state, then serves until stop(). False with a reason
  // when a fault is not understood, the state folder is unusable, or no port
  // could be bound for both HTTP and TFTP.
  bool start(std::string* error = nullptr);
  // Ends both servers; waits at most a few seconds. Safe to call twice.
  void stop();

  uint16_t port() const;
  std::string ip() const;  // "ADDRESS:PORT", as the tool's --ip takes it

  bool set_fault(const std::string& fault);
  void clear_faults();

  std::vector<SimEvent> events() const;
  void clear_events();

  std::string firmware_version() const;
  std::string serial_number() const;
  std::string mac() const;
  unsigned boot_count() const;
  // The folder holding the configuration files.
  std::string state_dir() const;
  // Stored bytes of configuration "dali1", "cd3", "systemconfig", ...; empty
  // for an unknown name.
  std::vector<uint8_t> config_file(const std::string& name) const;
  // Exactly the bytes GET backup.ssi?config=NAME serves without faults;
  // empty for an unknown name.
  std::vector<uint8_t> backup_archive(const std::string& name) const;

  // Takes `data` as if it had just arrived by TFTP as `filename`, for tests
  // that are about what the controller does with an upload, not the transfer.
  void receive_upload(const std::string& filename, std::vector<uint8_t> data);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvan
