#pragma once
// A test program's own operator new, which refuses blocks of a size in
// [refuse_from, refuse_to), so a test can make one allocation fail. Include
// it from exactly one source of a test program. None of it is inlined, so the
// compiler never pairs malloc with delete.

#include <cstdint>
#include <cstdlib>
#include <new>

namespace torvi::test {
static std::size_t refuse_from = SIZE_MAX, refuse_to = SIZE_MAX;
}  // namespace torvi::test

__attribute__((noinline)) void* operator new(std::size_t size) {
  const bool refused = size >= torvi::test::refuse_from && size < torvi::test::refuse_to;
  void* block = refused ? nullptr : std::malloc(size ? size : 1);
  if (!block) throw std::bad_alloc();
  return block;
}
__attribute__((noinline)) void operator delete(void* block) noexcept {
  std::free(block);
}
__attribute__((noinline)) void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
