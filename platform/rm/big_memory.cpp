#include "platform/rm/big_memory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace rm {

namespace {
constexpr uintptr_t kHuge = uintptr_t{2} << 20;
size_t wholePages(size_t bytes) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}
}  // namespace

void preferHugePages(const void* data, size_t bytes) {
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHuge - 1);
    if (data && end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void* mapPages(size_t bytes) {
    if (bytes == 0 || bytes > SIZE_MAX - 2 * kHuge) return nullptr;
    // Room to move the start to a 2 MB boundary; what lies before and after is given back.
    const size_t wanted = wholePages(bytes), reserved = wanted + kHuge;
    void* block = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return nullptr;
    const uintptr_t from = reinterpret_cast<uintptr_t>(block), at = (from + kHuge - 1) & ~(kHuge - 1);
    if (at > from) munmap(block, at - from);
    if (from + reserved > at + wanted) munmap(reinterpret_cast<void*>(at + wanted), from + reserved - at - wanted);
    madvise(reinterpret_cast<void*>(at), wanted, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(at);
}

void unmapPages(void* data, size_t bytes) {
    if (data) munmap(data, wholePages(bytes));
}

void giveBackFreedMemory() {
    constexpr size_t kMuch = size_t{4} << 20;
    if (mallinfo2().fordblks >= kMuch) malloc_trim(0);
}

}  // namespace rm
