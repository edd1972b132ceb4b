#pragma once

namespace torvi {

// Set to 1 by the `verbose` option; every transfer hands it to libcurl so the
// user sees the full protocol trace on standard error.
extern int verbose;

}  // namespace torvi
