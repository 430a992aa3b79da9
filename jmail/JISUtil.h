// Per-character Shift-JIS to JIS X 0208 conversion: a lead and second byte become
// one 16-bit code, the code is mapped by masked arithmetic, and a code becomes its
// two bytes. Pure functions; the header encoder converts one character at a time.
#pragma once

#include <cstdint>
#include <string>

// Returns the 16-bit code lead * 256 + second.
constexpr uint16_t PairToCode(unsigned char lead, unsigned char second) {
  return static_cast<uint16_t>(lead << 8 | second);
}

// Returns the JIS code of a Shift-JIS code. The arithmetic is applied to any code,
// so a pair outside the JIS rows (user-defined lead, unusable second byte) gives a
// code outside them too; it never fails.
uint16_t SjisToJis(uint16_t code);

// Returns the two bytes of a code, the high byte first.
std::string CodeToStr(uint16_t code);

// True when the JIS code is one of the 6879 characters of JIS X 0208 (rows 1-8 and
// 16-84, assigned cells only). Codes of the NEC and IBM extension rows, user-defined
// characters and empty cells give false.
bool IsJisX0208(uint16_t code);
