// Arbitrary replies to the status query, read as the tool reads the
// controller's status document.
#include <cstddef>
#include <cstdint>

#include "status/status.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvi;
  // A buffer of the reply's exact size, so a read past its end shows.
  ReceiveBuffer reply;
  reply.data.assign(data, data + size);
  StatusRecord record;
  if (status_parse(reply, record) == 0 && !record.model_name) __builtin_trap();
  status_free(&record);
  return 0;
}
