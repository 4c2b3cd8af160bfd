#include "fuzz/xfile_common.h"

// The first byte picks text or binary inside the compressed stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    xfile_fuzz::run((data[0] & 1) ? "xof 0303bzip0032" : "xof 0303tzip0032", data + 1, size - 1);
    return 0;
}
