// Turning a Rokkaku file into the .x text file beside it.
#pragma once

constexpr int kConvertedPathSize = 256;

// The path of the last conversion's .x file; valid until the next call overwrites it.
extern char convertedPath[kConvertedPathSize];

// Returns the path of the .x file to load (in convertedPath), or null after the reason has
// been reported. Only the file's name counts, never the folders it lies in: a name holding
// ".x" or ".X" is taken as an .x file already and the path is returned unchanged.
// Otherwise the name's first ".rok" (else ".ROK") and everything after it are replaced by
// ".x" and the Rokkaku file is converted into that file, under the wait cursor. Only a
// regular file is read. The .x file is replaced only when the whole conversion succeeded,
// and a conversion that fails or is killed leaves nothing else behind.
const char* convertToXFile(const char* sourcePath);

// For tests: write through a named temporary file even where the folder takes unnamed ones.
void useNamedTemporaryFiles(bool named);
