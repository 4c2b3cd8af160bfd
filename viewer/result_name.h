// Result codes of the 3D and drawing platform as fixed texts for error messages.
#pragma once

#include "platform/rm/d3drm.h"

// Never null; "Unrecognized error value." for codes it does not know.
const char* resultName(HRESULT result);
