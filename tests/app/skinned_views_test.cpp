// A skinned box under a mirroring root frame, seen every way the viewer shows a model: opened
// as a mesh (the command line), as a frame, and as the thumbnailer draws it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/thumbnail.h"
#include "input/window_proc.h"
#include "platform/rm/texture_image.h"
#include "scene/frame_loading.h"
#include "tests/viewer/viewer_harness.h"

namespace {

using harness::operator+;
using harness::state;
using harness::Step;

const std::string kBox = std::string(SOLLUX_TEST_DATA) + "/x/mirrored_skinned_box.x";

struct Shot {
    std::vector<unsigned char> rgba;
    int width = 0, height = 0;
    // Where the model is: what differs from the background at the corner (or is opaque).
    std::vector<bool> silhouette(bool byAlpha) const {
        std::vector<bool> mask(size_t(width) * height);
        for (size_t i = 0; i < mask.size(); ++i)
            mask[i] = byAlpha ? rgba[i * 4 + 3] != 0
                              : rgba[i * 4] != rgba[0] || rgba[i * 4 + 1] != rgba[1] || rgba[i * 4 + 2] != rgba[2];
        return mask;
    }
    int centreGreen() const { return rgba[(size_t(height / 2) * width + width / 2) * 4 + 1]; }
};

Shot devicePicture() {
    Shot s;
    EXPECT_TRUE(glDeviceReadPicture(state()->device, s.rgba, s.width, s.height));
    return s;
}

// Steps that frame everything, then take the picture of that view.
std::vector<Step> framedShot(Shot& out) {
    return {[] { frameAll(state()); }, [] {}, [&out] { out = devicePicture(); }};
}

size_t differing(const std::vector<bool>& a, const std::vector<bool>& b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) n += a[i] != b[i];
    return n;
}

size_t count(const std::vector<bool>& a) {
    size_t n = 0;
    for (bool b : a) n += b;
    return n;
}

TEST(SkinnedViews, AMirroredSkinnedBoxLooksAliveTheSameOpenedAnyWay) {
    Shot asMesh, asFrame, meshGouraud, frameGouraud, thumbnail;
    harness::TempFolder folder;
    const std::string png = folder.file("box.png");
    winReset();  // the window class of an earlier run would be registered twice
    ASSERT_EQ(runThumbnail({"401", kBox, png}), 0);
    textureimage::Image image;
    ASSERT_EQ(textureimage::loadFile(png, image, nullptr, textureimage::Formats::Any), textureimage::Status::Ok);
    thumbnail.rgba = image.rgba;
    thumbnail.width = image.width;
    thumbnail.height = image.height;
    const Step gouraud = [] { SendMessageA(harness::window(), WM_COMMAND, kCommandGouraud, 0); };
    harness::runViewer(framedShot(asMesh) + std::vector<Step>{gouraud, [] {}, [&] { meshGouraud = devicePicture(); }},
                       kBox);
    const Step openFrame = [] { ASSERT_EQ(loadFrameFile(kBox.c_str(), state()), 1); };
    harness::runViewer(std::vector<Step>{openFrame} + framedShot(asFrame) +
                       std::vector<Step>{gouraud, [] {}, [&] { frameGouraud = devicePicture(); }});
    // The viewer's window is 401 pixels square (400 asked for, and the pixel its first paint adds).
    ASSERT_EQ(asMesh.width, thumbnail.width);
    ASSERT_EQ(asMesh.height, thumbnail.height);

    // The box stands 1 wide and 2 high as its skin places it (through its own frame it would
    // be 1 wide and 3 high, and inside out).
    const std::vector<bool> mesh = asMesh.silhouette(false);
    const size_t area = count(mesh);
    ASSERT_GT(area, mesh.size() / 10);
    EXPECT_LT(differing(mesh, asFrame.silhouette(false)), area / 50);
    EXPECT_LT(differing(mesh, thumbnail.silhouette(true)), area / 50);
    // Flat shading lights the face towards the light as Gouraud shading does, well above the
    // ambient light alone (0.4 of the grey 0.8: 82).
    for (const Shot* gouraudShot : {&meshGouraud, &frameGouraud}) EXPECT_GT(gouraudShot->centreGreen(), 120);
    EXPECT_NEAR(asMesh.centreGreen(), meshGouraud.centreGreen(), 12);
    EXPECT_NEAR(asFrame.centreGreen(), frameGouraud.centreGreen(), 12);
}

}  // namespace
