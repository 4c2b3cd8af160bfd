// What loading one file may cost. Everything a file can make the loaders expand (inflated
// bytes, placed frames and meshes, copies made per placement, animation keys, decoded
// texture pixels, ...) is charged to one account, whose limits a file's size does not set
// alone. Charges come before the memory they stand for is taken: a file that would pass a
// limit is refused with a message naming what ran over, and nothing of it is built.
// Nesting is not charged: the readers skip, with a warning, what nests past their depth
// limits. Drawing is charged as the faces' pile-up (Overdraw) and their count (Elements).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace rm {

enum class Cost : uint8_t {
    InflatedBytes,     // compressed .x bodies, inflated
    Frames,            // frames placed (a frame reached by several paths, once per path)
    Placements,        // mesh placements
    Elements,          // vertices and face corners of the mesh placements
    PlacementCopies,   // normals, materials and skin weights copied per placement
    AnimationKeys,     // animation keys, all types together
    Animations,        // animations (one per animated frame and set)
    TexturePixels,     // decoded texture pixels, each distinct picture once
    TextureNameBytes,  // texture names, all together
    RereadBytes,       // bytes read again after a definition could not be read
    Overdraw,          // the area of the placed faces, in multiples of the scene's largest side
};
constexpr size_t kCostKinds = 11;

// Each kind's limit. Some kinds start from what the file itself holds (see
// CostAccount::allowLiteral): for them the limit is what references may add beyond it.
struct CostLimits {
    std::array<uint64_t, kCostKinds> limit{};
    uint64_t& operator[](Cost kind) { return limit[static_cast<size_t>(kind)]; }
    uint64_t operator[](Cost kind) const { return limit[static_cast<size_t>(kind)]; }
    // Sized so that every real model we know of, and a literal mesh of 4 million faces,
    // loads; the README lists them.
    static const CostLimits& defaults();
};

class CostAccount {
public:
    CostAccount() : CostAccount(CostLimits::defaults()) {}
    explicit CostAccount(const CostLimits& limits) : base_(limits), limits_(limits) {}

    // Adds n of `kind`. False when the kind's total passes its limit: the account is then
    // over for good (every later charge fails too) and refusal() says what ran over. A
    // charge that fails is not added.
    bool charge(Cost kind, uint64_t n = 1);
    // Refuses for `kind` as a charge past its limit would, for what is counted elsewhere
    // (the objects a file holds, before they are placed). Always false.
    bool refuse(Cost kind);
    // Whether charging n would pass the limit, without charging.
    bool fits(Cost kind, uint64_t n) const { return !over_ && n <= limits_[kind] - spent(kind); }

    // What the file literally holds of `kind` is already paid for by its size: the limit
    // grows by n, and the limit named in a refusal stays the base one.
    void allowLiteral(Cost kind, uint64_t n);

    uint64_t spent(Cost kind) const { return spent_[static_cast<size_t>(kind)]; }
    uint64_t limit(Cost kind) const { return limits_[kind]; }
    bool over() const { return over_; }
    // Empty until a charge failed; then, e.g., "the file's references expand to more than
    // 1000000 frames".
    const std::string& refusal() const { return refusal_; }

    // How a refusal of that kind reads, for a limit of n.
    static std::string describe(Cost kind, uint64_t n);

private:
    CostLimits base_, limits_;
    std::array<uint64_t, kCostKinds> spent_{};
    bool over_ = false;
    std::string refusal_;
};

}  // namespace rm
