#include "sim/faults.h"

#include <optional>

#include "sim/number_text.h"

namespace korvan {

bool apply_fault(Faults& faults, const std::string& text, std::string* error) {
  const size_t eq = text.find('=');
  const std::string name = text.substr(0, eq);
  const bool has_value = eq != std::string::npos;
  const std::string value = has_value ? text.substr(eq + 1) : std::string();
  auto fail = [&](const std::string& why) {
    if (error) *error = "fault '" + text + "': " + why;
    return false;
  };

  struct Flag {
    const char* name;
    bool Faults::*member;
  };
  static const Flag kFlags[] = {
      {"status-404", &Faults::status_404},
      {"status-empty", &Faults::status_empty},
      {"status-no-model", &Faults::status_no_model},
      {"http-close", &Faults::http_close},
      {"http-truncate", &Faults::http_truncate},
      {"backup-not-tar", &Faults::backup_not_tar},
      {"backup-no-status", &Faults::backup_no_status},
      {"backup-no-file", &Faults::backup_no_file},
      {"backup-bad-checksum", &Faults::backup_bad_checksum},
      {"tftp-error", &Faults::tftp_error},
  };
  for (const Flag& flag : kFlags) {
    if (name != flag.name) continue;
    if (has_value) return fail("takes no value");
    faults.*flag.member = true;
    return true;
  }

  struct Count {
    const char* name;
    unsigned Faults::*member;
    uint64_t min, max;
  };
  static const Count kCounts[] = {
      {"http-delay", &Faults::http_delay_ms, 0, kMaxHttpDelayMs},
      {"tftp-drop", &Faults::tftp_drop, 1, 65535},
      {"tftp-stall", &Faults::tftp_stall, 1, 65535},
      {"tftp-ack-delay", &Faults::tftp_ack_delay_us, 0, kMaxAckDelayUs},
  };
  for (const Count& count : kCounts) {
    if (name != count.name) continue;
    auto n = parse_decimal(value, count.min, count.max);
    if (!n)
      return fail("needs a value from " + std::to_string(count.min) + " to " +
                  std::to_string(count.max));
    faults.*count.member = static_cast<unsigned>(*n);
    return true;
  }

  if (name == "backup-huge-member") {
    if (!has_value) {
      faults.backup_huge_member = kDefaultHugeMember;
      return true;
    }
    // The size field holds eleven octal digits; below 1 MiB it would not be huge.
    auto n = parse_decimal(value, 1u << 20, 077777777777ull);
    if (!n) return fail("needs a size from 1048576 to 8589934591");
    faults.backup_huge_member = *n;
    return true;
  }
  return fail("unknown fault");
}

TftpFaults tftp_faults(const Faults& faults) {
  TftpFaults t;
  t.error_on_request = faults.tftp_error;
  t.drop_every = faults.tftp_drop;
  t.stall_after = faults.tftp_stall;
  t.ack_delay_us = faults.tftp_ack_delay_us;
  return t;
}

const char* fault_help() {
  return "    status-404            status.ssi answers with an HTTP 404 page\n"
         "    status-empty          status.ssi answers with an empty body\n"
         "    status-no-model       the status document has no model_name\n"
         "    http-close            HTTP connections are closed without a reply\n"
         "    http-truncate         HTTP replies announce a longer body than they send\n"
         "    http-delay=MS         every HTTP reply waits MS milliseconds (up to 120000)\n"
         "    backup-not-tar        backup.ssi answers with an HTML page\n"
         "    backup-no-status      configuration archives lack status.txt\n"
         "    backup-no-file        configuration archives hold the file under another path\n"
         "    backup-bad-checksum   the first header of an archive has a wrong checksum\n"
         "    backup-huge-member[=BYTES]  status.txt's header claims BYTES (default 1 GiB)\n"
         "    tftp-error            the TFTP write request is answered with an ERROR packet\n"
         "    tftp-drop=N           every Nth TFTP DATA packet is ignored\n"
         "    tftp-stall=N          the TFTP server goes silent after N blocks\n"
         "    tftp-ack-delay=US     every TFTP ACK is held back US microseconds (up to 1000000),\n"
         "                          as on a network with that much latency\n";
}

}  // namespace korvan
