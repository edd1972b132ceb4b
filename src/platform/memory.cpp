#include "platform/memory.h"

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#endif

namespace torvi {

#ifdef _WIN32

// Large pages on Windows need a privilege a workstation user does not hold.
void platform_advise_large_block(void*, std::size_t) {}

#else

void platform_advise_large_block(void* block, std::size_t length) {
#ifdef MADV_HUGEPAGE
  // Only whole pages inside the block may be advised.
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = (reinterpret_cast<std::uintptr_t>(block) + page - 1) / page * page;
  const auto end = (reinterpret_cast<std::uintptr_t>(block) + length) / page * page;
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
  (void)block;
  (void)length;
#endif
}

#endif

}  // namespace torvi
