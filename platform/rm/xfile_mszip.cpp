#include "platform/rm/xfile_mszip.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace xfile::detail {

namespace {

constexpr size_t kHistory = 32768;
constexpr size_t kMaxBlockOutput = 65535;  // the block header's WORD cannot say more

uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }
uint32_t le32(const uint8_t* p) { return le16(p) | (le16(p + 2) << 16); }

struct Inflater {
    z_stream zs{};
    bool ready = false;
    Inflater() { ready = inflateInit2(&zs, -MAX_WBITS) == Z_OK; }
    ~Inflater() {
        if (ready) inflateEnd(&zs);
    }
};

}  // namespace

bool mszipDecompress(std::span<const uint8_t> data, std::vector<uint8_t>& body, std::string& error,
                     std::string& warning, rm::CostAccount& cost) {
    body.clear();
    if (data.size() < 4) {
        error = "compressed data too short";
        return false;
    }
    uint32_t total = le32(data.data());
    if (total < 16) {
        error = "compressed data declares a size smaller than the header";
        return false;
    }
    const size_t expected = total - 16;
    Inflater inf;
    if (!inf.ready) {
        error = "cannot start decompression";
        return false;
    }
    size_t pos = 4;
    size_t block = 0;
    while (data.size() - pos >= 4 && body.size() < expected) {
        uint32_t csize = le16(data.data() + pos + 2);
        pos += 4;
        if (csize < 2 || csize > data.size() - pos) {
            error = "compressed block " + std::to_string(block) + " is truncated";
            return false;
        }
        if (data[pos] != 'C' || data[pos + 1] != 'K') {
            error = "compressed block " + std::to_string(block) + " lacks its signature";
            return false;
        }
        const size_t before = body.size();
        const size_t room = std::min(kMaxBlockOutput, expected - before);
        if (inflateReset(&inf.zs) != Z_OK) {
            error = "decompression failed";
            return false;
        }
        if (before > 0) {
            size_t dict = std::min(kHistory, before);
            if (inflateSetDictionary(&inf.zs, body.data() + before - dict, static_cast<uInt>(dict)) != Z_OK) {
                error = "decompression failed";
                return false;
            }
        }
        if (!cost.fits(rm::Cost::InflatedBytes, room)) {
            cost.charge(rm::Cost::InflatedBytes, room);
            error = cost.refusal();
            return false;
        }
        body.resize(before + room);
        inf.zs.next_in = const_cast<Bytef*>(data.data() + pos + 2);
        inf.zs.avail_in = csize - 2;
        inf.zs.next_out = body.data() + before;
        inf.zs.avail_out = static_cast<uInt>(room);
        int rc = inflate(&inf.zs, Z_FINISH);
        size_t produced = room - inf.zs.avail_out;
        body.resize(before + produced);
        cost.charge(rm::Cost::InflatedBytes, produced);
        if (rc != Z_STREAM_END) {
            if (rc == Z_BUF_ERROR && inf.zs.avail_out == 0)
                error = "compressed data larger than the size it declares";
            else
                error = "compressed block " + std::to_string(block) + " is corrupt";
            return false;
        }
        pos += csize;
        ++block;
    }
    if (body.size() < expected)
        warning = "compressed data ends after " + std::to_string(body.size()) + " of " +
                  std::to_string(expected) + " declared bytes";
    return true;
}

}  // namespace xfile::detail
