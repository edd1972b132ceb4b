#pragma once
// The POSIX calls the unit tests make that the Windows C library lacks;
// included ahead of every test source of the Windows build.

#include <cstddef>
#include <cstdio>

// A stream that reads `size` bytes of `buffer` (mode "r" only): a scratch
// file holding a copy, removed when the stream is closed.
FILE* fmemopen(void* buffer, std::size_t size, const char* mode);
