#include "viewer/result_name.h"

#include <cstdint>

namespace {

struct ResultText {
    HRESULT code;
    const char* text;
};

constexpr HRESULT dd(int n) { return static_cast<HRESULT>(0x88760000u + static_cast<uint32_t>(n)); }

const char kOutOfMemory[] = "DirectDraw does not have enough memory to perform the operation.";

const ResultText kTexts[] = {
    {static_cast<HRESULT>(0), "No error."},
    {static_cast<HRESULT>(0x80004001u), "Action not supported."},
    {static_cast<HRESULT>(0x80004005u), "Generic failure."},
    {static_cast<HRESULT>(0x8007000Eu), kOutOfMemory},
    {static_cast<HRESULT>(0x80070057u), "One or more of the parameters passed to the function are incorrect."},

    {dd(5), "This object is already initialized."},
    {dd(10), "This surface can not be attached to the requested surface."},
    {dd(20), "This surface can not be detached from the requested surface."},
    {dd(40), "Support is currently not available."},
    {dd(55), "An exception was encountered while performing the requested operation."},
    {dd(90), "Height of rectangle provided is not a multiple of the required alignment."},
    {dd(95), "Unable to match primary surface creation request with existing primary surface."},
    {dd(100), "One or more of the capability bits passed to the callback are incorrect."},
    {dd(110), "DirectDraw does not support the provided clip list."},
    {dd(120), "DirectDraw does not support the requested mode."},
    {dd(130), "DirectDraw received a pointer that was an invalid DirectDraw object."},
    {dd(145), "The pixel format was invalid as specified."},
    {dd(150), "The rectangle provided was invalid."},
    {dd(160), "Operation could not be carried out because one or more surfaces are locked."},
    {dd(170), "There is no 3D hardware present or available."},
    {dd(180),
     "Operation could not be carried out because there is no alpha accleration hardware present or available."},
    {dd(205), "No clip list is available."},
    {dd(210), "Operation could not be carried out because there is no color conversion hardware present or available."},
    {dd(212), "Create function called without the cooperative level being set first."},
    {dd(215), "Surface doesn't currently have a color key"},
    {dd(220), "Operation could not be carried out because there is no hardware support of the destination color key."},
    {dd(225), "The operation requires the application to have exclusive mode, which it does not have."},
    {dd(230), "Flipping visible surfaces is not supported by the hardware."},
    {dd(240), "There is no GDI present."},
    {dd(250), "Operation could not be carried out because there is no mirroring hardware present or available."},
    {dd(255), "The requested item was not found."},
    {dd(260), "Operation could not be carried out because there is no overlay hardware present or available."},
    {dd(280), "Operation could not be carried out because there is no appropriate raster operation hardware present or available."},
    {dd(290), "Operation could not be carried out because there is no rotation hardware present or available."},
    {dd(310), "Operation could not be carried out because there is no hardware support for stretching."},
    {dd(316), "DirectDraw surface is not in 4 bit color palette mode."},
    {dd(317), "DirectDraw surface is not in 4 bit color index palette mode."},
    {dd(320), "DirectDraw surface is not in 8 bit color mode."},
    {dd(330), "Operation could not be carried out because there is no texture mapping hardware present or available."},
    {dd(335), "Operation could not be carried out because there is no hardware support for vertical blank synchronized operations."},
    {dd(340), "Operation could not be carried out because there is no hardware support for a Z buffer."},
    {dd(350), "Overlay surfaces could not be z layered based on their BltOrder because the hardware does not support z layering of overlays."},
    {dd(360), "The hardware needed for the requested operation has already been allocated."},
    {dd(380), kOutOfMemory},
    {dd(382), "The hardware does not support clipped overlays."},
    {dd(384), "Can only have ony color key active at one time for overlays."},
    {dd(387), "Access to this palette is being refused because the palette is already locked by another thread."},
    {dd(400), "No source color key was specified and so none can be used."},
    {dd(410), "This surface is already attached to the surface it is being attached to."},
    {dd(420), "This surface is already a dependency of the surface it is being made a dependency of."},
    {dd(430), "Access to this surface is being refused because the surface is already locked by another thread."},
    {dd(440), "Access to this surface is being refused because the surface is obscured."},
    {dd(450),
     "Access to this surface is being refused because the surface memory is gone. The DirectDrawSurface object "
     "representing this surface should have Restore called on it."},
    {dd(460), "The requested surface is not attached."},
    {dd(470), "Height requested by DirectDraw is too large."},
    {dd(480), "Size requested by DirectDraw is too large, although the individual height and width are fine."},
    {dd(490), "Width requested by DirectDraw is too large."},
    {dd(510), "The pixel format requested is not supported by DirectDraw."},
    {dd(520), "The bitmask in the pixel format requested is not supported by DirectDraw."},
    {dd(537), "Vertical blank is in progress."},
    {dd(540),
     "Informs DirectDraw that the previous Blt which is transfering information to or from this Surface is "
     "incomplete."},
    {dd(560), "Rectangle provided was not horizontally aligned on the required boundary."},
    {dd(561), "The GUID passed to DirectDrawCreate is not a valid DirectDraw driver identifier."},
    {dd(562), "A DirectDraw object representing this driver has already been created for this process."},
    {dd(563), "A hardware only DirectDraw object creation was attempted but the driver did not support any hardware."},
    {dd(564), "This process already has created a primary surface."},
    {dd(565), "Software emulation is not available."},
    {dd(566), "The region passed to the clipper is too small."},
    {dd(567), "An attempt was made to set a clip list for a clipper object that is already monitoring a window."},
    {dd(568), "No clipper object is attached to the surface object."},
    {dd(569), "The clipper notification requires a window handle, or no window handle has been set as the cooperative level window."},
    {dd(570), "The window handle is already subclassed by another DirectDraw object."},
    {dd(571), "The cooperative level window handle has already been set and cannot be reset while surfaces or palettes exist."},
    {dd(572), "No palette object is attached to this surface."},
    {dd(573), "There is no hardware support for 16 or 256 color palettes."},
    {dd(574), "The blit could not be done by the fast blit operation because a clipper is attached to the surface."},
    {dd(575), "There is no blitter hardware present or available."},
    {dd(576), "There is no DirectDraw raster operation support for this operation."},
    {dd(577), "The overlay is not visible, so its position cannot be read."},
    {dd(578), "The overlay has no destination surface set, so its position cannot be read."},
    {dd(579), "The overlay position given is not valid."},
    {dd(580), "The surface is not an overlay surface, so overlay operations do not apply to it."},
    {dd(581), "Exclusive mode has already been set by another application."},
    {dd(582), "This surface cannot be flipped because it is not part of a flipping chain."},
    {dd(583), "This surface cannot be duplicated because it is a primary or implicitly created surface."},
    {dd(584),
     "Surface was not locked.  An attempt to unlock a surface that was not locked at all, or by this process, has "
     "been attempted."},
    {dd(585), "A device context could not be created for this surface."},
    {dd(586), "No device context exists for this surface."},
    {dd(587), "This surface cannot be restored because it was created in a different display mode."},
    {dd(588), "This surface cannot be restored because it was created implicitly with another surface."},
    {dd(589), "The surface has no palette because it is not palette-based."},

    {dd(700), "D3DERR_BADMAJORVERSION"},
    {dd(701), "D3DERR_BADMINORVERSION"},
    {dd(710), "D3DERR_EXECUTE_CREATE_FAILED"},
    {dd(711), "D3DERR_EXECUTE_DESTROY_FAILED"},
    {dd(712), "D3DERR_EXECUTE_LOCK_FAILED"},
    {dd(713), "D3DERR_EXECUTE_UNLOCK_FAILED"},
    {dd(714), "D3DERR_EXECUTE_LOCKED"},
    {dd(715), "D3DERR_EXECUTE_NOT_LOCKED"},
    {dd(716), "D3DERR_EXECUTE_FAILED"},
    {dd(717), "D3DERR_EXECUTE_CLIPPED_FAILED"},
    {dd(720), "D3DERR_TEXTURE_NO_SUPPORT"},
    {dd(721), "D3DERR_TEXTURE_CREATE_FAILED"},
    {dd(722), "D3DERR_TEXTURE_DESTROY_FAILED"},
    {dd(723), "D3DERR_TEXTURE_LOCK_FAILED"},
    {dd(724), "D3DERR_TEXTURE_UNLOCK_FAILED"},
    {dd(725), "D3DERR_TEXTURE_LOAD_FAILED"},
    {dd(727), "D3DERR_TEXTURELOCKED"},
    {dd(728), "D3DERR_TEXTURE_NOT_LOCKED"},
    {dd(730), "D3DERR_MATRIX_CREATE_FAILED"},
    {dd(731), "D3DERR_MATRIX_DESTROY_FAILED"},
    {dd(732), "D3DERR_MATRIX_SETDATA_FAILED"},
    {dd(734), "D3DERR_SETVIEWPORTDATA_FAILED"},
    {dd(740), "D3DERR_MATERIAL_CREATE_FAILED"},
    {dd(741), "D3DERR_MATERIAL_DESTROY_FAILED"},
    {dd(742), "D3DERR_MATERIAL_SETDATA_FAILED"},
    {dd(750), "D3DERR_LIGHT_SET_FAILED"},

    {dd(781), "D3DRMERR_BADOBJECT"},
    {dd(782), "D3DRMERR_BADTYPE"},
    {dd(783), "D3DRMERR_BADALLOC"},
    {dd(784), "D3DRMERR_FACEUSED"},
    {dd(785), "D3DRMERR_NOTFOUND"},
    {dd(786), "D3DRMERR_NOTDONEYET"},
    {dd(787), "The file was not found."},
    {dd(788), "D3DRMERR_BADFILE"},
    {dd(789), "D3DRMERR_BADDEVICE"},
    {dd(790), "D3DRMERR_BADVALUE"},
    {dd(791), "D3DRMERR_BADMAJORVERSION"},
    {dd(792), "D3DRMERR_BADMINORVERSION"},
    {dd(793), "D3DRMERR_UNABLETOEXECUTE"},
};

static_assert(sizeof kTexts / sizeof kTexts[0] == 130, "one text per recognised code");

}  // namespace

const char* resultName(HRESULT result) {
    for (const ResultText& entry : kTexts)
        if (entry.code == result) return entry.text;
    return "Unrecognized error value.";
}
