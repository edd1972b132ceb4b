#include "inspect/inspect.h"

namespace torvi::inspect {

int export_csv_command(int, char**) { return EXIT_USAGE; }

}  // namespace torvi::inspect
