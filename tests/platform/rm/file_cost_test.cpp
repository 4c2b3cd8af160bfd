// What hostile files cost: each is refused for what ran over, or read within a cost the
// account measures, never by the clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/rm/xfile.h"
#include "tests/platform/rm/rm_test_util.h"
#include "tests/platform/rm/xfile_test_util.h"

using rm::Cost;
using namespace xfile_test;

namespace {

const std::string kText = "xof 0302txt 0032\n";
const std::string kTriangle = "Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,2,1;; }";

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

std::vector<uint8_t> compressedZeros(size_t bytes) {
    // Text of a mesh whose face list goes on and on, deflated block by block.
    std::string body = "Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1000000000; " + std::string(bytes, ' ');
    std::vector<uint8_t> out = bytesOf("xof 0302tzip0032");
    const uint32_t total = uint32_t(16 + body.size());
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(total >> (8 * i)));
    for (size_t at = 0; at < body.size(); at += 32768) {
        const size_t n = std::min<size_t>(32768, body.size() - at);
        std::vector<uint8_t> packed(compressBound(uLong(n)) + 16);
        z_stream zs{};
        deflateInit2(&zs, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        zs.next_in = reinterpret_cast<Bytef*>(body.data() + at);
        zs.avail_in = uInt(n);
        zs.next_out = packed.data();
        zs.avail_out = uInt(packed.size());
        deflate(&zs, Z_FINISH);
        const size_t c = packed.size() - zs.avail_out;
        deflateEnd(&zs);
        for (uint32_t w : {uint32_t(n), uint32_t(c + 2)}) out.insert(out.end(), {uint8_t(w), uint8_t(w >> 8)});
        out.insert(out.end(), {'C', 'K'});
        out.insert(out.end(), packed.begin(), packed.begin() + long(c));
    }
    return out;
}

}  // namespace

TEST(FileCost, EachExpansionIsRefusedForWhatRanOverOrReadWithinItsCost) {
    rm::CostLimits small = rm::CostLimits::defaults();
    small[Cost::InflatedBytes] = 1 << 20;
    small[Cost::Frames] = 1000;
    small[Cost::PlacementCopies] = 10000;
    small[Cost::AnimationKeys] = 100;
    small[Cost::Animations] = 10;
    small[Cost::TextureNameBytes] = 1000;
    small[Cost::RereadBytes] = 100000;
    const std::string normals = "Mesh M { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,2,1;; MeshNormals { 1000; " +
                                repeat("0;0;1;,", 999) + "0;0;1;; 1; 3;0,0,0;; } }\n";
    const std::string frameF = "Frame F { " + kTriangle + " }\n";
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* refusal;  // null: read
        uint64_t rereadAtMost;
    } cases[] = {
        // The brace a GUID hides: each line used to double the reading.
        {"rescans", bytesOf(kText + repeat("A{ ; <} #>\n", 40)), nullptr, 40 * 40 * 11},
        {"nested unknown objects around unclosed data", bytesOf(kText + repeat("U {\n", 100) + repeat("1;", 20000)),
         "would be read again for more than 100000 bytes", 0},
        {"a zip bomb", compressedZeros(4 << 20), "the compressed data inflates to more than 1048576 bytes", 0},
        {"normals placed again and again", bytesOf(kText + normals + "Frame P {" + repeat(" {M}", 20) + " }\n"),
         "more than 10000 normals, materials and skin weights", 0},
        {"frames the file holds itself", bytesOf(kText + repeat("Frame {}\n", 1001)), "more than 1000 frames", 0},
        {"animation keys", bytesOf(kText + frameF + "Animation { {F} AnimationKey { 2; 101; " +
                                   repeat("0;3;0,0,0;;,", 100) + "0;3;0,0,0;;; } }\n"),
         "more than 100 animation keys", 0},
        {"animations", bytesOf(kText + frameF + repeat("Animation { {F} }\n", 11)), "more than 10 animations", 0},
        {"a long texture name",
         bytesOf(kText + "Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { \"" + std::string(1001, 'a') +
                 "\"; } }\n"),
         "texture names take more than 1000 bytes", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        xfile::Options options;
        options.warningsToStderr = false;
        options.limits = &small;
        xfile::File f;
        std::string error;
        const xfile::Status status = xfile::parse(c.bytes, f, &error, options);
        if (c.refusal) {
            EXPECT_EQ(status, xfile::Status::BadFile);
            EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
            EXPECT_TRUE(f.frames.empty() && f.meshes.empty());
        } else {
            EXPECT_EQ(status, xfile::Status::Ok) << error;
            EXPECT_LE(f.cost.spent(Cost::RereadBytes), c.rereadAtMost);
        }
    }
}

TEST(FileCost, ASparseFileIsRefusedBeforeItIsRead) {
    char path[] = "/tmp/sollux_sparse_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string head = kText + kTriangle + "\n";
    ASSERT_EQ(write(fd, head.data(), head.size()), ssize_t(head.size()));
    ASSERT_EQ(ftruncate(fd, off_t(64) << 20), 0);
    close(fd);
    xfile::Options quiet;
    quiet.warningsToStderr = false;
    xfile::File f;
    std::string error;
    EXPECT_EQ(xfile::loadFile(path, f, &error, quiet), xfile::Status::BadFile);
    EXPECT_NE(error.find("holes"), std::string::npos) << error;
    unlink(path);
}

class FileCostLoad : public RmTest {};

TEST_F(FileCostLoad, FacesPiledAtOnePlaceAreRefusedAndKeysAreAddedInTimeOrder) {
    // 2100 placements of one triangle at one place: faces 1050 deep.
    const std::string piled = kText + "Frame T { " + kTriangle + " }\nFrame All {" + repeat(" {T}", 2100) + " }\n";
    Held<IDirect3DRMMeshBuilder> mb;
    d3drm->CreateMeshBuilder(&mb);
    D3DRMLOADMEMORY memory{const_cast<char*>(piled.data()), DWORD(piled.size())};
    testing::internal::CaptureStderr();
    EXPECT_EQ(mb->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr), D3DRMERR_BADFILE);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("faces pile up more than 1024 deep"), std::string::npos);
    EXPECT_EQ(mb->GetFaceCount(), 0);

    // Keys in falling time order, one time twice: the later in the file wins.
    std::string keys;
    for (int t = 2000; t >= 0; --t) keys += std::to_string(t) + ";3;" + std::to_string(t) + ",0,0;;,";
    keys += "7;3;-1,0,0;;;";
    const std::string text = kText + "Frame F { " + kTriangle + " }\nAnimationSet S { Animation { {F} AnimationKey { 2; 2002; " +
                             keys + " } } }\n";
    Held<IDirect3DRMFrame> parent;
    parent.p = frame();
    Held<IDirect3DRMAnimationSet> set;
    d3drm->CreateAnimationSet(&set);
    D3DRMLOADMEMORY animation{const_cast<char*>(text.data()), DWORD(text.size())};
    ASSERT_EQ(set->Load(&animation, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr, parent), D3DRM_OK);
    Held<IDirect3DRMFrameArray> children;
    ASSERT_EQ(parent->GetChildren(&children), D3DRM_OK);
    ASSERT_EQ(children->GetSize(), 1u);
    Held<IDirect3DRMFrame> f;
    children->GetElement(0, &f);
    D3DVECTOR at{};
    for (auto [time, x] : {std::pair{7.0f, -1.0f}, {1500.0f, 1500.0f}, {0.0f, 0.0f}}) {
        set->SetTime(time);
        f->GetPosition(parent, &at);
        EXPECT_FLOAT_EQ(at.x, x) << time;
    }
}
