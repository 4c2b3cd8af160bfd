#include "fuzz/xfile_common.h"

// The first byte picks text or binary and the float size; whatever the reader accepts goes
// through the mesh builder, frame and animation set loads.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const char* const kHeaders[] = {"xof 0303txt 0032", "xof 0303bin 0032", "xof 0303txt 0064",
                                           "xof 0303bin 0064"};
    std::vector<uint8_t> bytes(kHeaders[data[0] & 3], kHeaders[data[0] & 3] + 16);
    bytes.insert(bytes.end(), data + 1, data + size);
    xfile::File file;
    if (xfile_fuzz::parseChecked(bytes, file)) xfile_fuzz::loadAll(bytes, file);
    return 0;
}
