// Large arrays on huge pages. A big model's arrays are written once, page after page: on a
// virtual machine each first touch of a 4 KB page costs a fault of its own, while a 2 MB
// page costs one for all 512. Where the system leaves huge pages to be asked for, ask.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>

namespace rm {

// Asks for huge pages behind the 2 MB-aligned part of [data, data + bytes), best done
// before the memory is first written. Harmless where the system has none.
void preferHugePages(const void* data, size_t bytes);

// Pages of one's own for a large array: an anonymous mapping of `bytes` (whole pages),
// starting on a 2 MB boundary and on huge pages where the system gives them, so that only
// its last part below 2 MB takes small ones. nullptr where none can be had. Given back with
// unmapPages.
void* mapPages(size_t bytes);
void unmapPages(void* data, size_t bytes);

// An array of n elements of a plain type on pages of its own (mapPages), not touched until
// written: the system's pages start as zeroes. Apart from the allocator's heap, so that a
// big temporary array leaves no hole in it. Throws std::bad_alloc where none can be had.
template <class T>
class PageArray {
public:
    explicit PageArray(size_t n) : data_(n ? static_cast<T*>(mapPages(n * sizeof(T))) : nullptr), size_(n) {
        if (n && !data_) throw std::bad_alloc();
    }
    ~PageArray() { unmapPages(data_, size_ * sizeof(T)); }
    PageArray(const PageArray&) = delete;
    PageArray& operator=(const PageArray&) = delete;
    T* data() const { return data_; }
    size_t size() const { return size_; }
    T& operator[](size_t i) const { return data_[i]; }

private:
    T* data_;
    size_t size_;
};

// At most n elements of a plain type, added one after the other, on pages of their own
// (PageArray): only the pages written to are ever held.
template <class T>
class PageStack {
public:
    explicit PageStack(size_t most) : items_(most) {}
    void push_back(const T& v) { items_[count_++] = v; }
    size_t size() const { return count_; }
    const T& operator[](size_t i) const { return items_[i]; }
    const T* begin() const { return items_.data(); }
    const T* end() const { return items_.data() + count_; }

private:
    PageArray<T> items_;
    size_t count_ = 0;
};

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
