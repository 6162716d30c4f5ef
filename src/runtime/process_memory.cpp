#include "runtime/process_memory.h"

#include <cstdlib>  // defines __GLIBC__ on the GNU C library
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace qor::runtime {

void keepFreedMemoryForReuse() {
#if defined(__GLIBC__)
  // Blocks up to 32 MiB come from the heap rather than a mapping of their own, which would be
  // unmapped when freed; and the heap keeps up to 64 MiB of free room at its top.
  constexpr int kLargestHeapBlock = 32 << 20;
  constexpr int kFreeRoomKept = 64 << 20;
  mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock);
  mallopt(M_TRIM_THRESHOLD, kFreeRoomKept);
#endif
}

}  // namespace qor::runtime
