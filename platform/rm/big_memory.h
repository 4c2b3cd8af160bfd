// Large arrays on huge pages. A big model's arrays are written once, page after page: on a
// virtual machine each first touch of a 4 KB page costs a fault of its own, while a 2 MB
// page costs one for all 512. Where the system leaves huge pages to be asked for, ask.
#pragma once

#include <algorithm>
#include <cstddef>

namespace rm {

// Asks for huge pages behind the 2 MB-aligned part of [data, data + bytes), best done
// before the memory is first written. Harmless where the system has none.
void preferHugePages(const void* data, size_t bytes);

// Hands memory freed since (reading a big model, say) back to the system when much of it
// is held, so that it does not stay with the process for the rest of its life.
void giveBackFreedMemory();

// Room for n elements, on huge pages when that is much. An array that must grow at least
// doubles, so that one appended to again and again (a mesh placed a million times) is not
// copied whole at every step.
template <class Vector>
void reserveOnHugePages(Vector& v, size_t n) {
    if (n <= v.capacity()) return;
    v.reserve(std::max(n, 2 * v.capacity()));
    preferHugePages(v.data(), v.capacity() * sizeof(*v.data()));
}

}  // namespace rm
