#include "inspect/inspect.h"

namespace torvi::inspect {

int diff_command(int, char**) { return EXIT_USAGE; }

}  // namespace torvi::inspect
