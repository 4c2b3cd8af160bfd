// Large arrays on huge pages. A big model's arrays are written once, page after page: on a
// virtual machine each first touch of a 4 KB page costs a fault of its own, while a 2 MB
// page costs one for all 512. Where the system leaves huge pages to be asked for, ask.
#pragma once

#include <cstddef>

namespace rm {

// Asks for huge pages behind the 2 MB-aligned part of [data, data + bytes), best done
// before the memory is first written. Harmless where the system has none.
void preferHugePages(const void* data, size_t bytes);

// Hands memory freed since (reading a big model, say) back to the system when much of it
// is held, so that it does not stay with the process for the rest of its life.
void giveBackFreedMemory();

// v.reserve(n), on huge pages when that is much.
template <class Vector>
void reserveOnHugePages(Vector& v, size_t n) {
    v.reserve(n);
    preferHugePages(v.data(), v.capacity() * sizeof(*v.data()));
}

}  // namespace rm
