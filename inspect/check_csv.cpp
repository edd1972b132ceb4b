#include "inspect/inspect.h"

namespace torvi::inspect {

int check_csv_command(int, char**) { return EXIT_USAGE; }

}  // namespace torvi::inspect
