// Passes over a big model's faces or vertices, split over the machine's cores. Each part
// is a stretch of consecutive items, so a pass whose parts write apart from each other
// gives the same result in parts as in one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

// The most parts a pass is split into; 0 (the default): one a core.
inline unsigned& workPartsLimit() {
    static unsigned limit = 0;
    return limit;
}

// How many parts a pass over n items is worth: one a core (or the limit set), and none of
// fewer than `smallest` items (a thread costs more than a short pass).
inline unsigned partsFor(size_t n, size_t smallest = size_t{1} << 15) {
    const size_t most = workPartsLimit() ? workPartsLimit() : std::max(1u, std::thread::hardware_concurrency());
    return unsigned(std::clamp<size_t>(n / std::max<size_t>(smallest, 1), 1, most));
}

// Where part p of `parts` stretches that cover [0, n) begins (the first n % parts parts
// hold one item more than the others); part `parts` begins at n.
inline size_t partBegin(size_t n, unsigned parts, unsigned p) { return n / parts * p + std::min<size_t>(p, n % parts); }

// Calls work(part, begin, end) for `parts` stretches that cover [0, n) in order, the first
// on this thread and the others on threads of their own, and returns when all are done.
// A thread the system refuses leaves its part to this thread. What a part throws is thrown
// here once every part has ended (the first part's, where several threw).
template <class Work>
void runInParts(size_t n, unsigned parts, Work&& work) {
    parts = std::max(1u, parts);
    auto from = [&](unsigned p) { return partBegin(n, parts, p); };
    std::vector<std::exception_ptr> failed(parts);
    auto run = [&](unsigned p) {
        try {
            work(p, from(p), from(p + 1));
        } catch (...) {
            failed[p] = std::current_exception();
        }
    };
    std::vector<std::thread> others;
    others.reserve(parts);
    std::vector<unsigned> refused;
    refused.reserve(parts);
    for (unsigned p = 1; p < parts; ++p) {
        try {
            others.emplace_back(run, p);
        } catch (const std::system_error&) {
            refused.push_back(p);
        }
    }
    run(0);
    for (unsigned p : refused) run(p);
    for (std::thread& t : others) t.join();
    for (const std::exception_ptr& e : failed)
        if (e) std::rethrow_exception(e);
}
