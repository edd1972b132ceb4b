#include "inspect/commands.h"
#include "inspect/inspect.h"

namespace torvi::inspect {

int show_firmware(const source_file&, node&) {
  return EXIT_PROBLEM;
}

}  // namespace torvi::inspect
