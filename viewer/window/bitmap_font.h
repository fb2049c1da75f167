// A 5 x 7 pixel font for the viewer's own texts (overlay figures and the
// connection banner): upper-case letters, digits and a little punctuation;
// lower case is drawn as upper case, anything else as "?".
#pragma once

#include <cstdint>
#include <string_view>

namespace sorvane::viewer {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;
inline constexpr int kGlyphAdvance = 6;  // one column of space between glyphs

// The glyph's rows from the top, bit 4 the leftmost pixel.
const uint8_t* glyph_rows(char c);

// Calls pixel(x, y) for every lit pixel of text drawn from (0, 0) at scale.
template <class F>
void for_each_text_pixel(std::string_view text, int scale, F&& pixel) {
    int left = 0;
    for (char c : text) {
        const uint8_t* rows = glyph_rows(c);
        for (int row = 0; row < kGlyphHeight; ++row)
            for (int col = 0; col < kGlyphWidth; ++col)
                if ((rows[row] >> (kGlyphWidth - 1 - col)) & 1) pixel(left + col * scale, row * scale);
        left += kGlyphAdvance * scale;
    }
}

inline int text_width(std::string_view text, int scale) {
    return text.empty() ? 0 : (static_cast<int>(text.size()) * kGlyphAdvance - 1) * scale;
}

}  // namespace sorvane::viewer
