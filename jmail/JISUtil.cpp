#include "jmail/JISUtil.h"

#include <bitset>

uint16_t SjisToJis(uint16_t code) {
  // Byte arithmetic wraps at 256, and the final addition carries from the low byte
  // into the high byte; the mask then clears bit 7 of both bytes.
  unsigned h = (2u * (code >> 8)) & 0xFF;
  unsigned l = ((code & 0xFF) - 0x1Fu) & 0xFF;
  if (l < 0x80) l = (l + (l < 0x61 ? 0xDF : 0xDE)) & 0xFF;
  unsigned w = (h * 256 + l + 0x1FA1) & 0xFFFF;
  return static_cast<uint16_t>(w & 0x7F7F);
}

std::string CodeToStr(uint16_t code) {
  return std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

namespace {
// The assigned cells of JIS X 0208 as (row, first cell, last cell) ranges.
struct CellRange {
  unsigned char row, first, last;
};
constexpr CellRange kJisX0208[] = {
    {1, 1, 94},   {2, 1, 14},   {2, 26, 33},  {2, 42, 48}, {2, 60, 74}, {2, 82, 89}, {2, 94, 94},
    {3, 16, 25},  {3, 33, 58},  {3, 65, 90},  {4, 1, 83},  {5, 1, 86},  {6, 1, 24},  {6, 33, 56},
    {7, 1, 33},   {7, 49, 81},  {8, 1, 32},   {16, 1, 94}, {47, 1, 51}, {48, 1, 94}, {84, 1, 6},
};
}  // namespace

bool IsJisX0208(uint16_t code) {
  // One bit per cell, made once from the ranges: every double-byte character of a
  // body is asked about, so the answer is a single lookup.
  static const std::bitset<95 * 95> assigned = [] {
    std::bitset<95 * 95> bits;
    for (unsigned row = 1; row <= 94; ++row) {
      // Rows 16 to 46 and 48 to 83 are full; the table holds their first row only.
      const unsigned r = (row > 16 && row < 47) ? 16 : (row > 48 && row < 84) ? 48 : row;
      for (const CellRange& range : kJisX0208)
        if (range.row == r)
          for (unsigned cell = range.first; cell <= range.last; ++cell) bits.set(row * 95 + cell);
    }
    return bits;
  }();
  const unsigned row = (code >> 8) - 0x20u, cell = (code & 0xFFu) - 0x20u;
  if (row < 1 || row > 94 || cell < 1 || cell > 94) return false;
  return assigned[row * 95 + cell];
}
