// Feeds arbitrary bytes to the thunk decoder.  libFuzzer hands over a heap
// buffer of exactly `size` bytes, so the address sanitizer reports any read
// past the end; the checks below catch answers outside the decoder's range
// and a record that disagrees with the decoder.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "hooks/method_slot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int32_t slot = DecodeVirtualSlot(data, size);
  if (slot < -1 || slot > 0x3FFFFFFF) abort();

  MethodSlotInfo info = {true, -1, 0, 0};
  GetMethodSlotInfo(data, size, &info);
  if (info.slotIndex != slot || info.valid != (slot >= 0) ||
      info.thisOffset != 0 || info.tableOffset != 0) {
    abort();
  }

  // A prefix of the input decodes to the same slot or fails; it never finds
  // a different one.
  if (size > 0) {
    int32_t shorter = DecodeVirtualSlot(data, size - 1);
    if (shorter != -1 && shorter != slot) abort();
  }
  return 0;
}
