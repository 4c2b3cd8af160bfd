// Developer tool: turns a fixed-cell X11 bitmap font into the glyph table of
// platform/win/bitmap_font.cpp. Build: g++ make_font_table.cpp $(pkg-config --cflags --libs
// freetype2) Run: ./a.out /usr/share/fonts/X11/misc/7x13-ISO8859-1.pcf.gz > table.inc
#include <ft2build.h>
#include FT_FREETYPE_H
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    FT_Library lib;
    FT_Face face;
    if (FT_Init_FreeType(&lib) || FT_New_Face(lib, argv[1], 0, &face)) return 1;
    if (face->num_fixed_sizes < 1 || FT_Select_Size(face, 0)) return 1;
    const int height = face->available_sizes[0].height;
    const int width = face->available_sizes[0].width;
    const int ascent = static_cast<int>(face->size->metrics.ascender >> 6);
    std::printf("// %dx%d cells, ascent %d; one byte per row, leftmost pixel in bit 7.\n", width,
                height, ascent);
    for (int c = 32; c < 127; ++c) {
        if (FT_Load_Char(face, c, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO)) return 1;
        const FT_GlyphSlot g = face->glyph;
        unsigned char rows[32] = {};
        for (unsigned y = 0; y < g->bitmap.rows; ++y) {
            const int row = ascent - g->bitmap_top + static_cast<int>(y);
            if (row < 0 || row >= height) continue;
            for (unsigned x = 0; x < g->bitmap.width; ++x) {
                const unsigned char* line = g->bitmap.buffer + y * g->bitmap.pitch;
                if (line[x / 8] & (0x80 >> (x % 8))) {
                    const int col = g->bitmap_left + static_cast<int>(x);
                    if (col >= 0 && col < 8) rows[row] |= static_cast<unsigned char>(0x80 >> col);
                }
            }
        }
        std::printf("    {");
        for (int y = 0; y < height; ++y)
            std::printf("0x%02x%s", rows[y], y + 1 < height ? "," : "");
        std::printf("},  // '%s%c'\n", c == '\\' || c == '\'' ? "\\" : "", c);
    }
    return 0;
}
