/* Fuzz builds compile Debian's stb_image and stb_image_write headers here, with coverage
   and sanitizers, so that the fuzzers see into the picture decoders. */
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image.h>
#include <stb_image_write.h>
