// Writes a Rokkaku model as a DirectX .x text file.
#pragma once

#include <cstddef>
#include <cstdio>

#include "conversion/rokkaku_reader.h"

constexpr size_t kXTemplateTextLength = 2258;
// "xof 0302txt 0064" and the template declarations, line feeds only.
extern const char xTemplateText[];

// Writes the whole text to out (opened in binary mode): one Mesh with every point as a
// vertex, every face twice (once in each winding) and 13 materials from the palette.
// Each palette entry is also dumped to standard error. Write errors are left to the caller
// (ferror on out).
void writeXFile(const RokkakuModel& model, std::FILE* out);

// writeXFile in two parts: the text up to and with the points, which needs only the points
// (it may run while the rest of the model is read), then the rest. With toDisk, the system
// is asked to write each buffer to the disk as soon as it is written out: for a file that
// will be renamed over another, which the file system writes out whole before such a
// rename anyway.
void writeXPoints(const RokkakuModel& model, std::FILE* out, bool toDisk = false);
void writeXRest(const RokkakuModel& model, std::FILE* out, bool toDisk = false);
