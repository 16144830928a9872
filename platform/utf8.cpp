// UTF-8 characters, as the parser reads them: well-formed only (no overlong
// forms, no surrogates, nothing beyond U+10FFFF); a byte that breaks one
// gives up what came before it.
#include "platform/decodeparts.h"

namespace vt {

int utf8start(decoder& d, uint8_t b, bool alt, INPUT_RECORD* out) {
  uint8_t need = 0, lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2;
    if (b == 0xE0) lo = 0xA0;  // no overlong forms
    if (b == 0xED) hi = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;  // nothing beyond U+10FFFF
  }
  if (!need) return press(bytekey(b), alt ? LEFT_ALT_PRESSED : 0, out);
  reset(d);
  d.st = UTF8;
  d.alt = alt;
  d.need = need;
  d.lo = lo;
  d.hi = hi;
  d.cp = b & (0x3F >> need);
  push(d, b);
  return 0;
}

int utf8(decoder& d, uint8_t b, INPUT_RECORD* out) {
  if (b < d.lo || b > d.hi) return restart(d, b, out);
  push(d, b);
  d.cp = d.cp << 6 | (b & 0x3F);
  d.lo = 0x80;
  d.hi = 0xBF;
  if (--d.need) return 0;
  DWORD alt = altof(d);
  uint32_t cp = d.cp;
  reset(d);
  return press(charkey(cp), alt, out);
}

}  // namespace vt
