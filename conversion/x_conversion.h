// Turning a Rokkaku file into the .x text file beside it.
#pragma once

constexpr int kConvertedPathSize = 256;

// The path of the last conversion's .x file; valid until the next call overwrites it.
extern char convertedPath[kConvertedPathSize];

// Returns the path of the .x file to load (in convertedPath), or null after the reason has
// been reported. A path holding ".x" or ".X" anywhere is taken as an .x file already and
// returned unchanged. Otherwise the first ".rok" (else ".ROK") and everything after it are
// replaced by ".x" and the Rokkaku file is converted into that file, under the wait cursor.
// The .x file is replaced only when the whole conversion succeeded.
const char* convertToXFile(const char* sourcePath);
