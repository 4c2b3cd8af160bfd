#include "fuzz/xfile_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    xfile_fuzz::run("xof 0303txt 0032", data, size);
    return 0;
}
