// How keybytes shows an emitted byte: as one item.
#pragma once

#include <cctype>

// The printf format of the item for `c` as getchGNU hands it out
// (sign-extended; -1 for a failed read), to be printed with
// static_cast<unsigned>(c): a printable byte as itself, any other as
// [0x..], its value in lower-case hexadecimal with at least two digits.
// Bytes 0x80-0xFF arrive negative and are never printable.
inline const char* itemformat(int c) {
  return c >= 0 && c <= 255 && std::isprint(c) ? "%c" : "[0x%02x]";
}

// Room for the longest item, [0xffffffff], and its NUL.
constexpr int ITEMMAX = 13;
