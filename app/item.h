// How keybytes shows an emitted byte: as one item.
#pragma once

#include <cctype>
#include <cstdio>

// Room for the longest item, [0xffffffff], and its NUL.
constexpr int ITEMMAX = 13;

// The item for `c` as getchGNU hands it out (sign-extended; -1 for a failed
// read): a printable byte as itself, any other as [0x..]. Bytes 0x80-0xFF
// arrive negative and are never printable. Written to `buf`, returned.
inline const char* item(int c, char (&buf)[ITEMMAX]) {
  if (c >= 0 && c <= 255 && std::isprint(c))
    std::snprintf(buf, sizeof buf, "%c", c);
  else
    std::snprintf(buf, sizeof buf, "[0x%02x]", static_cast<unsigned>(c));
  return buf;
}
