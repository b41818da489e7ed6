#pragma once

#include <cstdint>

// A 5x7 pixel font for digits, capital letters and the punctuation of addresses, dates and times
// (". : - / _ # ( ) ,"). Lower-case letters map to capitals.
namespace velmora::sim::bitmap_font {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
// Advance per character and per line, in font pixels (one column / two rows of spacing).
constexpr int kCellWidth = 6;
constexpr int kCellHeight = 9;

// Rows of the glyph for `c`, top first; bit 4 is the leftmost column. Null for characters without
// a glyph (drawn as blanks).
const uint8_t* Glyph(char c);

}  // namespace velmora::sim::bitmap_font
