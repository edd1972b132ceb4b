#pragma once
// Misbehaviour the stand-in controller can be told to show, so the tool's
// handling of a broken or unfriendly controller can be rehearsed.

#include <cstdint>
#include <string>

#include "sim/tftp_server.h"

namespace korvan {

struct Faults {
  bool status_404 = false;           // status.ssi answers with a 404 page
  bool status_empty = false;         // status.ssi answers with an empty body
  bool status_no_model = false;      // the status document lacks model_name
  bool http_close = false;           // every HTTP connection is closed without a reply
  bool http_truncate = false;        // replies announce a longer body than they send
  unsigned http_delay_ms = 0;        // every HTTP reply waits this long
  bool backup_not_tar = false;       // backup.ssi answers with an HTML page
  bool backup_no_status = false;     // the archive lacks status.txt
  bool backup_no_file = false;       // the archive holds the file under another path
  bool backup_bad_checksum = false;  // the first header's checksum is wrong
  uint64_t backup_huge_member = 0;   // status.txt's header claims this many bytes (0: off)
  bool tftp_error = false;
  unsigned tftp_drop = 0;
  unsigned tftp_stall = 0;
  unsigned tftp_ack_delay_us = 0;  // every ACK of a DATA block waits this long
};

inline constexpr unsigned kMaxHttpDelayMs = 120000;
inline constexpr unsigned kMaxAckDelayUs = 1000000;
inline constexpr uint64_t kDefaultHugeMember = 1ull << 30;

// Applies one "NAME" or "NAME=VALUE"; false with a reason for an unknown name,
// a value where none belongs, or a missing or out-of-range value.
bool apply_fault(Faults& faults, const std::string& text, std::string* error);

// The part of the faults that the TFTP server carries out.
TftpFaults tftp_faults(const Faults& faults);

// Every fault name with a word on its value, for --help.
const char* fault_help();

}  // namespace korvan
