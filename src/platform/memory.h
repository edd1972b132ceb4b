#pragma once
// Hints to the system about how a large block of memory will be used.

#include <cstddef>

namespace torvi {

// Asks for `length` bytes at `block`, reserved but not yet written, to be
// backed by large pages where the system offers them: a firmware image or
// package of some megabytes then costs a few hundred page faults instead of
// thousands. A hint only; nothing changes where the system declines.
void platform_advise_large_block(void* block, std::size_t length);

}  // namespace torvi
