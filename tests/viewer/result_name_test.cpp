#include "viewer/result_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ResultName, QuotedTexts) {
    EXPECT_STREQ(resultName(D3DRM_OK), "No error.");
    EXPECT_STREQ(resultName(E_NOTIMPL), "Action not supported.");
    EXPECT_STREQ(resultName(E_FAIL), "Generic failure.");
    EXPECT_STREQ(resultName(E_INVALIDARG), "One or more of the parameters passed to the function are incorrect.");
    EXPECT_STREQ(resultName(DDERR_NOALPHAHW),
                 "Operation could not be carried out because there is no alpha accleration hardware present or "
                 "available.");
    EXPECT_STREQ(resultName(DDERR_NOCOLORKEY), "Surface doesn't currently have a color key");
    EXPECT_STREQ(resultName(DDERR_OVERLAYCOLORKEYONLYONEACTIVE),
                 "Can only have ony color key active at one time for overlays.");
    EXPECT_STREQ(resultName(DDERR_SURFACELOST),
                 "Access to this surface is being refused because the surface memory is gone. The "
                 "DirectDrawSurface object representing this surface should have Restore called on it.");
    EXPECT_STREQ(resultName(DDERR_WASSTILLDRAWING),
                 "Informs DirectDraw that the previous Blt which is transfering information to or from this "
                 "Surface is incomplete.");
    EXPECT_STREQ(resultName(DDERR_NOTLOCKED),
                 "Surface was not locked.  An attempt to unlock a surface that was not locked at all, or by this "
                 "process, has been attempted.");
    // Direct3D and retained-mode codes read as their names, except the missing file.
    EXPECT_STREQ(resultName(D3DERR_TEXTURELOCKED), "D3DERR_TEXTURELOCKED");
    EXPECT_STREQ(resultName(D3DERR_EXECUTE_CLIPPED_FAILED), "D3DERR_EXECUTE_CLIPPED_FAILED");
    EXPECT_STREQ(resultName(D3DERR_LIGHT_SET_FAILED), "D3DERR_LIGHT_SET_FAILED");
    EXPECT_STREQ(resultName(D3DRMERR_BADFILE), "D3DRMERR_BADFILE");
    EXPECT_STREQ(resultName(D3DRMERR_UNABLETOEXECUTE), "D3DRMERR_UNABLETOEXECUTE");
    EXPECT_STREQ(resultName(D3DRMERR_FILENOTFOUND), "The file was not found.");
}

TEST(ResultName, SharedTextAndUnknownCodes) {
    EXPECT_STREQ(resultName(E_OUTOFMEMORY), resultName(DDERR_OUTOFVIDEOMEMORY));
    EXPECT_STREQ(resultName(E_OUTOFMEMORY), "DirectDraw does not have enough memory to perform the operation.");
    const char* unknown = "Unrecognized error value.";
    EXPECT_STREQ(resultName(1), unknown);  // a success code other than 0
    EXPECT_STREQ(resultName(-1), unknown);
    EXPECT_STREQ(resultName(MAKE_DDHRESULT(726)), unknown);  // a gap between known codes
    EXPECT_STREQ(resultName(MAKE_DDHRESULT(794)), unknown);
    EXPECT_STREQ(resultName(static_cast<HRESULT>(0x00760000 + 788)), unknown);  // right n, not a failure
}

TEST(ResultName, EveryDirectDrawCodeHasItsOwnSentence) {
    const int codes[] = {5,   10,  20,  40,  55,  90,  95,  100, 110, 120, 130, 145, 150, 160, 170, 180, 205, 210,
                         212, 215, 220, 225, 230, 240, 250, 255, 260, 280, 290, 310, 316, 317, 320, 330, 335, 340,
                         350, 360, 380, 382, 384, 387, 400, 410, 420, 430, 440, 450, 460, 470, 480, 490, 510, 520,
                         537, 540, 560, 561, 562, 563, 564, 565, 566, 567, 568, 569, 570, 571, 572, 573, 574, 575,
                         576, 577, 578, 579, 580, 581, 582, 583, 584, 585, 586, 587, 588, 589};
    ASSERT_EQ(sizeof codes / sizeof codes[0], 86u);
    std::string previous;
    for (int n : codes) {
        std::string text = resultName(MAKE_DDHRESULT(n));
        EXPECT_NE(text, "Unrecognized error value.") << n;
        EXPECT_NE(text, previous) << n;
        EXPECT_GT(text.size(), 20u) << n;
        previous = text;
    }
}

}  // namespace
