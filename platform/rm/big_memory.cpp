#include "platform/rm/big_memory.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>

namespace rm {

void preferHugePages(const void* data, size_t bytes) {
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHuge - 1);
    if (data && end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void giveBackFreedMemory() {
    constexpr size_t kMuch = size_t{4} << 20;
    if (mallinfo2().fordblks >= kMuch) malloc_trim(0);
}

}  // namespace rm
