// The byte parser: ground, ESC, CSI and SS3 states and strings, and what is
// given up as typed when a sequence goes wrong or the input pauses. UTF-8
// characters (utf8.cpp) and parameters (params.cpp) are read apart.
// Complete sequences go to the pieces that know what they mean.
#include "platform/decode.h"

#include <cstring>

#include "platform/decodeparts.h"

namespace vt {

void reset(decoder& d) {
  d.st = GROUND;
  d.alt = false;
  d.need = 0;
  d.len = 0;
}

bool push(decoder& d, uint8_t b) {
  if (d.len == SEQMAX) return false;
  d.seq[d.len++] = b;
  return true;
}

DWORD altof(const decoder& d) { return d.alt ? LEFT_ALT_PRESSED : 0; }

namespace {

// A control sequence in the form of a reply while answers are awaited.
bool inreply(const decoder& d) {
  return d.awaiting && d.st == CSI && (d.p.priv == '?' || d.p.priv == '>');
}

}  // namespace

// A sequence that is no key: ESC as the Escape key, then each byte as typed.
// A reply cut short or unknown is dropped instead.
int typeout(decoder& d, INPUT_RECORD* out) {
  int n = 0;
  if (d.alt) n += press(vt::c0keys[ESC], 0, out);
  if (inreply(d)) {
    reset(d);
    return n;
  }
  for (int i = 0; i < d.len; ++i) n += press(bytekey(d.seq[i]), 0, out + n);
  reset(d);
  return n;
}

// Settles what is pending as typed.
int giveup(decoder& d, INPUT_RECORD* out) {
  int n = 0;
  switch (d.st) {
    case GROUND:
      return 0;
    case ESCAPE:  // ESC alone, or ESC ESC: Escape, or Alt+Escape
      n = press(vt::c0keys[ESC], altof(d), out);
      break;
    case UTF8:  // an unfinished character: its bytes one by one
      for (int i = 0; i < d.len; ++i) n += press(bytekey(d.seq[i]), i ? 0 : altof(d), out + n);
      break;
    default:
      if (d.len == 2) {  // ESC [ or ESC O alone: Alt with that key
        n = press(bytekey(d.seq[1]), LEFT_ALT_PRESSED, out);
        break;
      }
      if (strayss3(d)) return focusout(d, out);
      return typeout(d, out);
  }
  reset(d);
  return n;
}

namespace {

// The key a byte typed stands for: bytekey's, but 0x08 is Backspace where
// the terminal's erase character says so.
keydef typedbyte(const decoder& d, uint8_t b) {
  return b == 0x08 && d.erase == 0x08 ? vt::delkey : bytekey(b);
}

int ground(decoder& d, uint8_t b, INPUT_RECORD* out) {
  if (b == ESC) {
    d.st = ESCAPE;
    push(d, b);
    return 0;
  }
  if (b < 0x80) return press(typedbyte(d, b), 0, out);
  return utf8start(d, b, false, out);
}

}  // namespace

// Gives up what is pending, then takes `b` afresh.
int restart(decoder& d, uint8_t b, INPUT_RECORD* out) {
  int n = giveup(d, out);
  return n + ground(d, b, out + n);
}

namespace {

int escape(decoder& d, uint8_t b, INPUT_RECORD* out) {
  if (b == ESC) {
    // ESC ESC ESC: Alt+Escape, then anew. Under a protocol Alt is in the
    // report, never an ESC before a key: ESC ESC is Escape, then anew.
    if (d.alt || d.proto != PROTO_LEGACY) return restart(d, b, out);
    d.alt = true;  // ESC as a prefix: Alt for the next key
    return 0;
  }
  if (b == '[' || b == 'O') {
    d.st = b == '[' ? CSI : SS3;
    d.p = csiparams{};
    push(d, b);
    return 0;
  }
  if (b && std::strchr(vt::stringstarts, b)) {
    d.st = STRING;
    push(d, b);
    return 0;
  }
  reset(d);
  if (b < 0x80) return press(typedbyte(d, b), LEFT_ALT_PRESSED, out);
  return utf8start(d, b, true, out);
}

int csi(decoder& d, uint8_t b, INPUT_RECORD* out) {
  if (b < 0x20 || b > 0x7E || !push(d, b)) return restart(d, b, out);
  csiparams& p = d.p;
  if (b >= 0x30 && b <= 0x3F) {
    param(p, b, d.len == 3);
    return 0;
  }
  if (b < 0x30 && !(b == '$' && !p.priv)) {  // '$' ends rxvt's Shift keys
    if (p.inter) p.bad = true;
    p.inter = b;
    return 0;
  }
  bool noargs = !p.bad && !p.priv && !p.inter && p.n == 0;
  if (b == '[' && noargs) {
    d.st = LINUXFN;
    return 0;
  }
  if (b == 'M' && noargs) {  // a legacy mouse report: three bytes follow
    d.st = MOUSE;
    d.need = 3;
    return 0;
  }
  if (b == 'O' && noargs) {  // focus out, unless an SS3 key follows (see ss3())
    d.st = SS3;
    return 0;
  }
  int n = csikey(d, b, out);
  if (n < 0) return typeout(d, out);
  reset(d);
  return n;
}

// A string's end: no key, and an ESC before it was the Escape key.
int endstring(decoder& d, INPUT_RECORD* out) {
  bool alt = d.alt;
  reset(d);
  return alt ? press(vt::c0keys[ESC], 0, out) : 0;
}

// A byte of a string. Those beyond SEQMAX pass without being held: a whole
// string is dropped at any length, and one cut short is typed out as far
// as it was held.
int strbody(decoder& d, uint8_t b, INPUT_RECORD* out) {
  if (b == 0x07) return endstring(d, out);  // BEL
  if (b == ESC) {
    d.st = STRESC;
    d.need = push(d, b);  // whether the ESC is held
    return 0;
  }
  if (b < 0x20) return restart(d, b, out);  // no reply holds other controls
  push(d, b);
  return 0;
}

int stresc(decoder& d, uint8_t b, INPUT_RECORD* out) {
  if (b == '\\') return endstring(d, out);  // ST
  // The ESC starts something else: the string was cut short before it.
  if (d.need) --d.len;
  int n = restart(d, ESC, out);
  return n + decode_byte(d, b, out + n);
}

}  // namespace

}  // namespace vt

using namespace vt;

int decode_byte(decoder& d, uint8_t b, INPUT_RECORD* out) {
  switch (d.st) {
    case GROUND:
      return ground(d, b, out);
    case ESCAPE:
      return escape(d, b, out);
    case CSI:
      return csi(d, b, out);
    case SS3:
      return ss3(d, b, out);
    case LINUXFN:
      return linuxfn(d, b, out);
    case MOUSE:
      return mouse(d, b, out);
    case UTF8:
      return utf8(d, b, out);
    case STRING:
      return strbody(d, b, out);
    case STRESC:
      return stresc(d, b, out);
  }
  return 0;
}

int decode(decoder& d, const uint8_t* bytes, int n, INPUT_RECORD* out, int room, int* used) {
  int k = 0, i = 0;
  for (; i < n && room - k >= STEPRECS; ++i) k += decode_byte(d, bytes[i], out + k);
  *used = i;
  return k;
}

namespace {

// ESC [ M with nothing after it: no mouse report has begun.
bool bare_m(const decoder& d) { return d.st == MOUSE && d.len == 3; }
// ESC [ O with nothing after it: no SS3 key has begun.
bool bare_o(const decoder& d) { return strayss3(d) && d.len == 3; }

}  // namespace

int decode_readend(decoder& d, INPUT_RECORD* out) {
  if (bare_m(d)) return stdelete(d, out);
  return bare_o(d) ? focusout(d, out) : 0;
}

bool decode_lonewait(const decoder& d) {
  return decode_pending(d) && (d.proto == PROTO_LEGACY || d.awaiting) && !inreply(d);
}

void decode_endawait(decoder& d) {
  if (inreply(d)) reset(d);
  d.awaiting = 0;
}

int decode_flush(decoder& d, INPUT_RECORD* out) {
  if (inreply(d)) return 0;  // its rest is on its way
  if (d.st != MOUSE) return giveup(d, out);
  // ESC [ M and less than a report, read together: a report comes whole, so
  // this was st's Ctrl+Delete and then keys typed after it, read afresh.
  uint8_t after[2];
  int m = d.len - 3;
  std::memcpy(after, d.seq + 3, static_cast<size_t>(m));
  int n = stdelete(d, out);
  for (int i = 0; i < m; ++i) n += decode_byte(d, after[i], out + n);
  return n + giveup(d, out + n);
}
