#include "link/verbose.h"

namespace torvi {

int verbose = 0;

}  // namespace torvi
