// kitty keyboard protocol reports: the keys, the modifier keys held (kitty
// does not say which side), the keypad's two meanings, the text a key types.
#include "platform/decodeparts.h"

#include <cstring>
#include <iterator>

namespace vt {

namespace {

// kitty's modifier bits (its parameter is 1 + bits).
constexpr int32_t K_SHIFT = 1, K_ALT = 2, K_CTRL = 4, K_CAPS = 64, K_NUM = 128;

// The state of a kitty report. kitty's bits do not say which side's Ctrl or
// Alt is held: the modifier keys' own reports keep track of that. A
// modifier key's own report counts its own press or release whatever its
// bits say, as terminals differ in whether they send the bits from before
// or after the event; `own` is its kittymods row, or -1.
DWORD kittystate(decoder& d, int32_t bits, int own, bool up) {
  if (own >= 0) {
    uint8_t bit = static_cast<uint8_t>(1 << own);
    d.held = static_cast<uint8_t>(up ? d.held & ~bit : d.held | bit);
  }
  DWORD state = 0;
  for (int32_t kind : {K_SHIFT, K_ALT, K_CTRL}) {
    uint8_t sides = 0;
    DWORD flags = 0, left = 0;
    for (int i = 0; i < static_cast<int>(std::size(vt::kittymods)); ++i) {
      const vt::kittymod& m = vt::kittymods[i];
      if (m.bit != kind) continue;
      if (!left) left = m.flag;
      if (d.held & (1 << i)) {
        sides = static_cast<uint8_t>(sides | 1 << i);
        flags |= m.flag;
      }
    }
    bool on = own >= 0 && vt::kittymods[own].bit == kind ? sides != 0 : (bits & kind) != 0;
    if (!on) {
      d.held = static_cast<uint8_t>(d.held & ~sides);  // a release the terminal did not report
      continue;
    }
    state |= flags ? flags : left;  // held since before the protocol: say left
  }
  if (bits & K_CAPS) state |= CAPSLOCK_ON;
  return state;
}

// kitty's code for the NumLock key.
constexpr int32_t K_NUMLOCK = 57360;

// Whether NumLock is on. A terminal that sends the lock bits (kitty does
// with every report under flag 8) says so itself. One that never sends
// them (xterm.js) leaves it to what its keys tell: the keypad's digits come
// only with NumLock on, its other keys' codes only with it off, and the
// NumLock key turns it over. Its keypad 5 without text is both the digit
// and the centre key with NumLock off: it tells nothing, and is read by
// what the other keys told.
bool numlock(decoder& d, int32_t code, int32_t bits, bool press, bool text) {
  if (bits & (K_NUM | K_CAPS)) d.locks |= LOCKS_SENT;
  if (d.locks & LOCKS_SENT) return (bits & K_NUM) != 0;
  if (code == K_NUMLOCK && press) d.locks ^= NUMLOCK_GUESS;
  for (const vt::padkey& k : vt::padkeys) {
    if (code == k.other) d.locks &= ~NUMLOCK_GUESS;
    if (code == k.digit && (text || code != vt::padkeys[vt::KP_BEGIN].digit)) d.locks |= NUMLOCK_GUESS;
  }
  return (d.locks & NUMLOCK_GUESS) != 0;
}

// A Windows-1252 letter in upper or lower case; any other byte as it is.
uint8_t withcase(uint8_t c, bool upper) {
  static constexpr uint8_t pairs[][2] = {{0x8A, 0x9A}, {0x8C, 0x9C}, {0x8E, 0x9E}, {0x9F, 0xFF}};
  for (const auto& p : pairs)
    if (c == p[0] || c == p[1]) return p[upper ? 0 : 1];
  bool letter = ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') ||
                (c >= 0xC0 && c != 0xD7 && c != 0xDF && c != 0xF7 && c != 0xFF);
  if (!letter) return c;
  return static_cast<uint8_t>(upper ? c & ~0x20 : c | 0x20);
}

// The character a key types when the report has no text: a key of the US
// layout as that layout has it, any other key as its code. Shift gives the
// key's shifted character (the report's shifted key, if any). CapsLock
// inverts Shift for letters, so with both a letter is its code: the
// shifted key, reported for Shift alone, would be upper case.
uint8_t keytext(int32_t code, int32_t shifted, DWORD state) {
  uint8_t b = code < 0x80 ? static_cast<uint8_t>(code) : to_cp1252(static_cast<uint32_t>(code));
  bool letter = withcase(b, true) != withcase(b, false);
  bool shift = ((state & SHIFT_PRESSED) != 0) != (letter && (state & CAPSLOCK_ON));
  if (shift && shifted > 0) return to_cp1252(static_cast<uint32_t>(shifted));
  if (letter) return withcase(b, shift);
  if (code >= 0x80) return b;
  keydef k = bytekey(b);
  if (shift)
    for (const keydef& s : vt::punctkeys)
      if (s.vk == k.vk && s.state == SHIFT_PRESSED) return static_cast<uint8_t>(s.code);
  return k.ch;
}

template <typename T, int N>
int rowof(const T (&table)[N], int32_t code) {
  for (int i = 0; i < N; ++i)
    if (table[i].code == code) return i;
  return -1;
}

}  // namespace

// A kitty report: CSI key[:shifted[:base]] ; mods[:event] ; text u, or a key
// in its legacy form, CSI [1 ; mods[:event]] X or CSI n [; mods[:event]] ~.
// Press and repeat are the key down, release the key up. -1 when it is no
// report; 0 records for a key no Windows keyboard has.
int kittykey(decoder& d, const csiparams& p, uint8_t f, INPUT_RECORD* out) {
  if (p.priv || p.inter || p.n > 3 || p.nsub[0] > 3 || (p.n > 1 && p.nsub[1] > 2)) return -1;
  int32_t code = arg(p, 0), mods = arg(p, 1);
  int32_t event = p.n > 1 && p.nsub[1] > 1 ? p.v[1][1] : NOVAL;
  int32_t shifted = p.nsub[0] > 1 ? p.v[0][1] : NOVAL;
  int32_t text = p.n > 2 ? p.v[2][0] : NOVAL;
  if (mods == NOVAL) mods = 1;
  if (event == NOVAL) event = 1;
  if (mods < 1 || event < 1 || event > 3) return -1;
  bool up = event == 3;
  int32_t bits = mods - 1;

  WORD vk = 0, scan = 0;
  uint8_t ch = 0;
  DWORD enhanced = 0;
  bool usetext = false;  // the report's text is the character
  bool bykey = false;    // else the character is keytext's
  int own = -1, pad = -1;
  if (f == 'u') {
    if (p.n == 0 || code > 0x10FFFF) return -1;
    if (code == NOVAL) code = 0;
    if (code == 0 && (text == NOVAL || text == 0)) return 0;
    own = rowof(vt::kittymods, code);
    for (int i = 0; i < static_cast<int>(std::size(vt::padkeys)); ++i)
      if (code == vt::padkeys[i].digit || code == vt::padkeys[i].other) pad = i;
    int row = rowof(vt::kittykeys, code);
    if (own >= 0) {
      vk = vt::kittymods[own].vk;
      scan = vt::kittymods[own].scan;
      enhanced = vt::kittymods[own].state;
    } else if (row >= 0) {
      const vt::protokey& k = vt::kittykeys[row];
      vk = k.vk;
      scan = k.scan;
      ch = k.ch;
      enhanced = k.state;
      usetext = true;
    } else if (pad < 0) {
      if (code >= 0xE000 && code <= 0xF8FF) return 0;  // private use: no Windows key
      keydef k = codekey(code ? code : text);
      vk = k.vk;
      scan = scan_of(vk);
      ch = k.ch;
      usetext = true;
      bykey = code > 0;
    }
  } else if (p.n > 2 || (p.n > 0 && p.nsub[0] != 1)) {
    return -1;
  } else if (f == '~') {
    const keydef* k = code <= 24 ? find(vt::tildekeys, code) : nullptr;
    int row = rowof(vt::kittytilde, code);
    if (!k && row < 0) return -1;
    vk = k ? k->vk : vt::kittytilde[row].vk;
    scan = k ? scan_of(vk) : vt::kittytilde[row].scan;
    enhanced = k ? k->state : vt::kittytilde[row].state;
  } else {
    if (!std::strchr(vt::kittyfinals, f) || (code != NOVAL && code != 1)) return -1;
    if (f == 'E') {
      pad = vt::KP_BEGIN;
      code = vt::padkeys[pad].other;
    } else {
      const keydef* k = find(vt::csikeys, f);
      vk = k->vk;
      scan = scan_of(vk);
      enhanced = k->state;
    }
  }

  DWORD state = kittystate(d, bits, own, up);
  if (numlock(d, code, bits, event == 1, text > 0)) state |= NUMLOCK_ON;
  if (pad >= 0) {
    // A digit needs NumLock; Shift cancels NumLock for the key (and is
    // released for it, as Windows does).
    const vt::padkey& k = vt::padkeys[pad];
    bool digit = code == k.digit && (state & NUMLOCK_ON) && !(state & SHIFT_PRESSED);
    if (!digit && (state & NUMLOCK_ON)) state &= ~SHIFT_PRESSED;
    vk = digit ? k.numvk : k.othervk;
    ch = digit ? k.ch : 0;
    scan = k.scan;
  } else if (usetext && !(state & CTRL) && text > 0) {
    ch = to_cp1252(static_cast<uint32_t>(text));
  } else if (bykey) {
    ch = keytext(code, shifted, state);
  }
  ch = keychar({0, vk, ch, 0}, state);  // Ctrl's character, or none
  int n = 0;
  out[n++] = keyrec(vk, scan, ch, state | enhanced, !up);
  // More text than one character: each further one as a key of its own.
  if (usetext && !up && !(state & CTRL) && p.n > 2)
    for (int i = 1; i < p.nsub[2]; ++i)
      if (p.v[2][i] > 0)
        n += build_key(VK_PACKET, to_cp1252(static_cast<uint32_t>(p.v[2][i])),
                       state & (NUMLOCK_ON | CAPSLOCK_ON), out + n);
  return n;
}

}  // namespace vt
