// The player's single-byte code page, Windows-1252: the code page of
// texts in scripts, of system fonts (character set 0) and of typed text.
// Bytes below 0x80 and from 0xA0 up are the Unicode code points of the
// same number; 0x80..0x9F are listed, five of them unassigned.
#pragma once

#include <cstdint>

namespace base {

// Windows-1252 characters 0x80..0x9F (0: unassigned).
inline constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178,
};

// The code point of a byte; 0 for the unassigned ones.
constexpr uint32_t cp1252_code_point(uint8_t c) { return c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c; }

// The byte of a code point; -1 when the code page has none.
constexpr int cp1252_byte(uint32_t code_point) {
  if (code_point < 0x80 || (code_point >= 0xA0 && code_point <= 0xFF)) return int(code_point);
  for (int i = 0; i < 32; i++)
    if (kCp1252High[i] != 0 && kCp1252High[i] == code_point) return 0x80 + i;
  return -1;
}

}  // namespace base
