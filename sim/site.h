#pragma once
// A site of stand-in controllers in one process, for rehearsing and testing
// torvi-site: each controller on a port of its own (HTTP and TFTP share it),
// with its own serial number, MAC, firmware, faults and configuration folder.
//
//   std::vector<korvan::SimOptions> controllers;
//   korvan::site_controllers({.controllers = 4, .faults = {"http-close@2"}}, controllers, &error);
//   korvan::Site site(std::move(controllers));
//   site.start(&error);
//   site.write_inventory(path, &error);
//   ... site[1].events() are korvan-02's ...

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/korvan_sim.h"

namespace korvan {

// Each controller holds two threads and three descriptors while idle (one
// more of each per connection it serves at the same time), so a thousand
// fit one process.
inline constexpr unsigned kMaxControllers = 1000;

struct SiteOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 0;  // controller I listens on port + I - 1; 0: each on a free port
  unsigned controllers = 1;
  std::vector<std::string> firmware = {"2.2.4"};  // dealt to the controllers in turn
  // One controller keeps its files here; more keep them in DIR/01, DIR/02, ...
  // Empty: each in a private folder removed on stop.
  std::string state_dir;
  // "NAME[=VALUE]" for every controller, "NAME[=VALUE]@I" for controller I only.
  std::vector<std::string> faults;
  bool log = false;  // log lines name their controller when there are several
  bool keep_events = true;
};

// Controller `number`'s name in an inventory and its state folder's:
// "korvan-01", "korvan-02", ... "korvan-100".
std::string controller_name(unsigned number);
std::string controller_folder(unsigned number);

// The options of every controller of `site`, controller 1 first. False with
// a reason for a count outside 1 to kMaxControllers, a port range past 65535,
// an empty firmware version, or a fault not understood or aimed at a
// controller the site does not have.
bool site_controllers(const SiteOptions& site, std::vector<SimOptions>& out, std::string* error);

class Site {
 public:
  explicit Site(std::vector<SimOptions> controllers);
  ~Site();
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  // Starts every controller. When one cannot start, stops the others and
  // says which one failed and why. Raises the process's soft limit on open
  // files when the site needs more than it allows.
  bool start(std::string* error = nullptr);
  void stop();

  size_t size() const { return controllers_.size(); }
  // Index 0 is controller 1 ("korvan-01").
  Simulator& operator[](size_t index) { return *controllers_.at(index); }
  const Simulator& operator[](size_t index) const { return *controllers_.at(index); }

  // The inventory torvi-site reads: a heading "name,address,serial_number,mac"
  // and one row per controller, "korvan-01,127.0.0.1:40123,K4-...,00:1B:...".
  std::string inventory() const;
  // Writes the inventory to `path` as a whole, so a reader never sees half of it.
  bool write_inventory(const std::string& path, std::string* error = nullptr) const;

 private:
  std::vector<std::unique_ptr<Simulator>> controllers_;
  std::vector<unsigned> numbers_;
};

}  // namespace korvan
