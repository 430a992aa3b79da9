#include "jmail/JISUtil.h"

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
