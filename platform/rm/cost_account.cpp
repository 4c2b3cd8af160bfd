#include "platform/rm/cost_account.h"

namespace rm {

const CostLimits& CostLimits::defaults() {
    static const CostLimits limits = [] {
        CostLimits l;
        l[Cost::InflatedBytes] = uint64_t(64) << 20;
        l[Cost::Frames] = 1000000;
        l[Cost::Placements] = 1000000;
        l[Cost::Elements] = uint64_t(1) << 23;
        l[Cost::PlacementCopies] = uint64_t(1) << 23;
        l[Cost::AnimationKeys] = uint64_t(1) << 21;
        l[Cost::Animations] = uint64_t(1) << 17;
        l[Cost::TexturePixels] = uint64_t(1) << 26;
        l[Cost::TextureNameBytes] = uint64_t(1) << 22;
        l[Cost::RereadBytes] = uint64_t(1) << 26;
        l[Cost::Overdraw] = 1024;
        return l;
    }();
    return limits;
}

std::string CostAccount::describe(Cost kind, uint64_t n) {
    const std::string N = std::to_string(n);
    switch (kind) {
    case Cost::InflatedBytes: return "the compressed data inflates to more than " + N + " bytes";
    case Cost::Frames: return "the file's references expand to more than " + N + " frames";
    case Cost::Placements: return "the file's references expand to more than " + N + " meshes";
    case Cost::Elements: return "the file's references expand to more than " + N + " vertices and face corners";
    case Cost::PlacementCopies:
        return "the file's references expand to more than " + N + " normals, materials and skin weights";
    case Cost::AnimationKeys: return "the file holds more than " + N + " animation keys";
    case Cost::Animations: return "the file holds more than " + N + " animations";
    case Cost::TexturePixels: return "the file's textures decode to more than " + N + " pixels";
    case Cost::TextureNameBytes: return "the file's texture names take more than " + N + " bytes";
    case Cost::RereadBytes: return "the file's objects would be read again for more than " + N + " bytes";
    case Cost::Overdraw: return "the file's faces pile up more than " + N + " deep";
    }
    return "the file costs more than " + N;
}

bool CostAccount::refuse(Cost kind) {
    if (!over_) {
        over_ = true;
        refusal_ = describe(kind, base_[kind]);
    }
    return false;
}

bool CostAccount::charge(Cost kind, uint64_t n) {
    if (over_) return false;
    uint64_t& spent = spent_[static_cast<size_t>(kind)];
    if (n > limits_[kind] - spent) return refuse(kind);
    spent += n;
    return true;
}

void CostAccount::allowLiteral(Cost kind, uint64_t n) {
    uint64_t& limit = limits_[kind];
    limit = n > UINT64_MAX - limit ? UINT64_MAX : limit + n;
}

}  // namespace rm
