#include "platform/decode.h"

#include <climits>
#include <cstring>
#include <iterator>

#include "platform/keycodes.h"

using vt::keydef;

namespace {

constexpr uint8_t ESC = 0x1B;
constexpr DWORD CTRL = LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED;

template <int N>
const keydef* find(const keydef (&table)[N], int code) {
  for (const keydef& k : table)
    if (k.code == code) return &k;
  return nullptr;
}

// ---- Records -------------------------------------------------------------

// Scan codes by virtual-key code, worked out once at compile time: a key
// in scanextra takes its code from there, any other the first code whose
// key it is in scancodes.
struct scanmap {
  WORD of[256];
};

constexpr scanmap makescans() {
  scanmap m{};
  for (WORD sc = 0; sc < sizeof vt::scancodes / sizeof vt::scancodes[0]; ++sc) {
    WORD vk = vt::scancodes[sc];
    if (vk && !m.of[vk]) m.of[vk] = sc;
  }
  for (const keydef& k : vt::scanextra) m.of[k.vk] = static_cast<WORD>(k.code);
  return m;
}

constexpr scanmap scans = makescans();

WORD scan_of(WORD vk) { return vk < 256 ? scans.of[vk] : 0; }

// A record with every byte, padding included, defined.
INPUT_RECORD blank(WORD type) {
  INPUT_RECORD r;
  std::memset(&r, 0, sizeof r);
  r.EventType = type;
  return r;
}

INPUT_RECORD keyrec(WORD vk, WORD scan, uint8_t ch, DWORD state, bool down) {
  INPUT_RECORD r = blank(KEY_EVENT);
  KEY_EVENT_RECORD& k = r.Event.KeyEvent;
  k.bKeyDown = down;
  k.wRepeatCount = 1;
  k.wVirtualKeyCode = vk;
  k.wVirtualScanCode = scan;
  k.uChar.UnicodeChar = ch;  // the input code page's byte, as ReadConsoleInputA gives it
  k.dwControlKeyState = state;
  return r;
}

int16_t clamp16(int32_t v) { return static_cast<int16_t>(v < 0 ? 0 : v > SHRT_MAX ? SHRT_MAX : v); }

// A mouse report: button code `cb` as xterm encodes it, 1-based cell.
INPUT_RECORD mouserec(int32_t cb, int32_t x, int32_t y, bool release) {
  INPUT_RECORD r = blank(MOUSE_EVENT);
  MOUSE_EVENT_RECORD& m = r.Event.MouseEvent;
  m.dwMousePosition = {clamp16(x - 1), clamp16(y - 1)};
  if (cb & 4) m.dwControlKeyState |= SHIFT_PRESSED;
  if (cb & 8) m.dwControlKeyState |= LEFT_ALT_PRESSED;
  if (cb & 16) m.dwControlKeyState |= LEFT_CTRL_PRESSED;
  int button = cb & 3;
  if (cb & 64) {  // wheel: up, down, left, right
    m.dwEventFlags = button < 2 ? MOUSE_WHEELED : MOUSE_HWHEELED;
    int16_t delta = (button == 0 || button == 3) ? 120 : -120;
    m.dwButtonState = static_cast<DWORD>(static_cast<uint16_t>(delta)) << 16;
    return r;
  }
  constexpr DWORD buttons[] = {FROM_LEFT_1ST_BUTTON_PRESSED, FROM_LEFT_2ND_BUTTON_PRESSED,
                               RIGHTMOST_BUTTON_PRESSED, 0};
  if (cb & 32) m.dwEventFlags = MOUSE_MOVED;
  if (!release) m.dwButtonState = buttons[button];
  return r;
}

INPUT_RECORD focusrec(bool in) {
  INPUT_RECORD r = blank(FOCUS_EVENT);
  r.Event.FocusEvent.bSetFocus = in;
  return r;
}

// ---- Keys ----------------------------------------------------------------

// The key that types a byte on its own.
keydef bytekey(uint8_t b) {
  if (b < 0x20) return vt::c0keys[b];
  if (b == 0x7F) return vt::delkey;
  if (b >= 0x80) return {b, VK_PACKET, b, 0};  // not UTF-8: a Windows-1252 byte
  if (b >= 'a' && b <= 'z') return {b, static_cast<WORD>(b - 0x20), b, 0};
  if (b >= 'A' && b <= 'Z') return {b, b, b, SHIFT_PRESSED};
  if (b >= '0' && b <= '9') return {b, b, b, 0};
  return *find(vt::punctkeys, b);
}

// A character no key of the layout types.
keydef charkey(uint32_t cp) { return {0, VK_PACKET, to_cp1252(cp), 0}; }

// The key for a character a terminal reports by code.
keydef codekey(int32_t code) {
  return code < 0x80 ? bytekey(static_cast<uint8_t>(code)) : charkey(static_cast<uint32_t>(code));
}

// The character a key gives in `state`: Ctrl turns it into a control
// character, or into none.
uint8_t keychar(const keydef& k, DWORD state) {
  if (!(state & CTRL)) return k.ch;
  if (k.vk >= 'A' && k.vk <= 'Z') return static_cast<uint8_t>(k.vk - 0x40);
  for (const keydef& c : vt::ctrlchars_any)
    if (c.vk == k.vk) return c.ch;
  for (const keydef& c : vt::ctrlchars)
    if (c.vk == k.vk && (state & SHIFT_PRESSED) == c.state) return c.ch;
  return 0;
}

int press(const keydef& k, DWORD extra, INPUT_RECORD* out) {
  DWORD state = k.state | extra;
  return build_key(k.vk, keychar(k, state), state, out);
}

// xterm's modifier parameter: 1 + bits Shift 1, Alt 2, Ctrl 4, Meta 8.
DWORD modparam(int32_t m) {
  if (m < 2) return 0;
  int32_t bits = m - 1;
  DWORD state = 0;
  if (bits & 1) state |= SHIFT_PRESSED;
  if (bits & (2 | 8)) state |= LEFT_ALT_PRESSED;
  if (bits & 4) state |= LEFT_CTRL_PRESSED;
  return state;
}

// ---- Parser --------------------------------------------------------------

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

// A sequence that is no key: ESC as the Escape key, then each byte as typed.
int typeout(decoder& d, INPUT_RECORD* out) {
  int n = 0;
  if (d.alt) n += press(vt::c0keys[ESC], 0, out);
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
      return typeout(d, out);
  }
  reset(d);
  return n;
}

int utf8start(decoder& d, uint8_t b, bool alt, INPUT_RECORD* out);

int ground(decoder& d, uint8_t b, INPUT_RECORD* out) {
  if (b == ESC) {
    d.st = ESCAPE;
    push(d, b);
    return 0;
  }
  if (b < 0x80) return press(bytekey(b), 0, out);
  return utf8start(d, b, false, out);
}

// Gives up what is pending, then takes `b` afresh.
int restart(decoder& d, uint8_t b, INPUT_RECORD* out) {
  int n = giveup(d, out);
  return n + ground(d, b, out + n);
}

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
  reset(d);
  if (b < 0x80) return press(bytekey(b), LEFT_ALT_PRESSED, out);
  return utf8start(d, b, true, out);
}

// A parameter byte: digits, ';' between parameters, ':' between
// sub-parameters, a private marker first.
void param(csiparams& p, uint8_t b, bool first) {
  if (p.bad) return;
  if (p.inter) {
    p.bad = true;
    return;
  }
  if (b >= '<') {  // < = > ?
    if (first)
      p.priv = b;
    else
      p.bad = true;
    return;
  }
  if (p.n == 0) {
    p.n = 1;
    p.nsub[0] = 1;
    p.v[0][0] = NOVAL;
  }
  int i = p.n - 1;
  if (b == ';') {
    if (p.n == NPARAM) {
      p.bad = true;
      return;
    }
    p.nsub[p.n] = 1;
    p.v[p.n][0] = NOVAL;
    ++p.n;
    return;
  }
  if (b == ':') {
    if (p.nsub[i] == NSUB) {
      p.bad = true;
      return;
    }
    p.v[i][p.nsub[i]++] = NOVAL;
    return;
  }
  int32_t& v = p.v[i][p.nsub[i] - 1];
  int32_t digit = b - '0';
  if (v == NOVAL)
    v = digit;
  else
    v = v > (INT32_MAX - 9) / 10 ? INT32_MAX : v * 10 + digit;
}

int32_t arg(const csiparams& p, int i) { return i < p.n ? p.v[i][0] : NOVAL; }

// No sub-parameters and at most `most` parameters.
bool plain(const csiparams& p, int most) {
  if (p.n > most) return false;
  for (int i = 0; i < p.n; ++i)
    if (p.nsub[i] != 1) return false;
  return true;
}

// ---- Keyboard protocols --------------------------------------------------

// What a reply to the keyboard queries tells: SEEN_ bits.
uint8_t replybits(const csiparams& p, uint8_t f) {
  if (p.priv != '?') return 0;
  if (f == 'c') return SEEN_DA1;  // however many attributes: xterm lists a dozen
  if (p.bad) return 0;
  if (f == 'u') return p.n == 1 && arg(p, 0) != NOVAL ? SEEN_KITTY : 0;
  if (f != 'y' || p.n != 2 || arg(p, 0) != 9001) return 0;
  switch (arg(p, 1)) {  // DECRQM: 1 set, 2 reset, 3 always set, 4 always reset
    case 1:
    case 3:
      return SEEN_W32ON;
    case 2:
      return SEEN_W32;
  }
  return 0;
}

// A win32-input-mode report, CSI Vk ; Sc ; Uc ; Kd ; Cs ; Rc _: the record
// as sent, omitted values as the protocol has them. The character goes to
// the code page; a surrogate pair is one character, beyond Windows-1252, so
// its lead gives '?' and the trail that follows it is dropped.
int win32key(decoder& d, const csiparams& p, INPUT_RECORD* out) {
  if (p.priv || p.inter || !plain(p, NPARAM)) return -1;
  int32_t f[6] = {0, 0, 0, 0, 0, 1};
  for (int i = 0; i < 6 && i < p.n; ++i)
    if (p.v[i][0] != NOVAL) f[i] = p.v[i][0];
  if (f[0] > 0xFFFF || f[1] > 0xFFFF || f[2] > 0xFFFF || f[5] > 0xFFFF) return -1;
  bool down = f[3] != 0;
  uint8_t dir = down ? 1 : 2;
  bool lead = f[2] >= 0xD800 && f[2] <= 0xDBFF, trail = f[2] >= 0xDC00 && f[2] <= 0xDFFF;
  if (trail && (d.lead & dir)) {
    d.lead &= ~dir;
    return 0;
  }
  d.lead = lead ? d.lead | dir : d.lead & ~dir;
  out[0] = keyrec(static_cast<WORD>(f[0]), static_cast<WORD>(f[1]),
                  to_cp1252(static_cast<uint32_t>(f[2])), static_cast<DWORD>(f[4]), down);
  out[0].Event.KeyEvent.wRepeatCount = static_cast<WORD>(f[5]);
  return 1;
}

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
  if (bits & K_NUM) state |= NUMLOCK_ON;
  return state;
}

// The character a key with a character of its own gives, as the US layout
// has it: Shift and CapsLock pick the case of letters, Shift the upper
// character of other keys.
uint8_t layoutchar(int32_t code, DWORD state) {
  uint8_t b = static_cast<uint8_t>(code);
  if ((b | 0x20) >= 'a' && (b | 0x20) <= 'z') {
    bool upper = ((state & SHIFT_PRESSED) != 0) != ((state & CAPSLOCK_ON) != 0);
    return static_cast<uint8_t>(upper ? b & ~0x20 : b | 0x20);
  }
  keydef k = bytekey(b);
  if (state & SHIFT_PRESSED)
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
  bool usetext = false;  // the report's text or shifted key is the character
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
      ch = code > 0 && code < 0x80 ? 0 : k.ch;  // ASCII: by the layout, below
      usetext = true;
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
  if (pad >= 0) {
    // A digit needs NumLock; Shift cancels NumLock for the key (and is
    // released for it, as Windows does).
    const vt::padkey& k = vt::padkeys[pad];
    if (code == k.digit) state |= NUMLOCK_ON;
    bool digit = code == k.digit && !(state & SHIFT_PRESSED);
    if (!digit && (state & NUMLOCK_ON)) state &= ~SHIFT_PRESSED;
    vk = digit ? k.numvk : k.othervk;
    ch = digit ? k.ch : 0;
    scan = k.scan;
  } else if (usetext && !(state & CTRL) && text > 0) {
    ch = to_cp1252(static_cast<uint32_t>(text));
  } else if (usetext && !(state & CTRL) && shifted > 0 && (state & SHIFT_PRESSED)) {
    ch = to_cp1252(static_cast<uint32_t>(shifted));
  } else if (usetext && code > 0 && code < 0x80) {
    ch = layoutchar(code, state);
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

// ---- Sequences -----------------------------------------------------------

// Records for a complete control sequence with final `f`; -1 when it means
// nothing known.
int csikey(decoder& d, uint8_t f, INPUT_RECORD* out) {
  const csiparams& p = d.p;
  DWORD alt = altof(d);
  // Replies and win32 reports never come with Alt: an ESC before one was
  // the Escape key.
  for (const keydef& r : vt::replies)
    if (r.code == f && r.vk == p.priv && r.ch == p.inter) {
      d.replies |= replybits(p, f);
      return alt ? press(vt::c0keys[ESC], 0, out) : 0;
    }
  if (p.bad) return -1;
  if (f == '_') {
    int esc = alt ? press(vt::c0keys[ESC], 0, out) : 0;
    int n = win32key(d, p, out + esc);
    return n < 0 ? -1 : esc + n;
  }
  if (d.proto == PROTO_KITTY) {
    int n = kittykey(d, p, f, out);
    if (n >= 0) return n;
  }
  if (p.priv == '<' && !p.inter && (f == 'M' || f == 'm') && p.n == 3 && plain(p, 3)) {
    out[0] = mouserec(arg(p, 0), arg(p, 1), arg(p, 2), f == 'm');  // SGR mouse
    return 1;
  }
  if (p.priv || p.inter || !plain(p, 3)) return -1;
  int32_t a0 = arg(p, 0), a1 = arg(p, 1);

  if ((f == 'I' || f == 'O') && p.n == 0) {
    out[0] = focusrec(f == 'I');
    return 1;
  }
  if (f == 'M' && p.n == 3) {  // urxvt mouse
    out[0] = mouserec(a0 - 32, a1, arg(p, 2), (a0 & 3) == 3);
    return 1;
  }
  if (f == 'u' && p.n >= 1 && p.n <= 2 && a0 >= 0)
    return press(codekey(a0), modparam(a1) | alt, out);
  if (const keydef* fin = find(vt::tildefinals, f)) {
    if (f == '~' && p.n == 3 && a0 == 27 && arg(p, 2) >= 0)  // modifyOtherKeys
      return press(codekey(arg(p, 2)), modparam(a1) | alt, out);
    const keydef* k = p.n <= 2 ? find(vt::tildekeys, a0) : nullptr;
    if (!k) return -1;
    return press(*k, fin->state | modparam(a1) | alt, out);
  }
  if (f == 'h' && p.n == 1 && a0 == 4)
    return press(*find(vt::tildekeys, 2), alt, out);  // st Insert
  if (f == 'R' && a0 > 1) return 0;                   // a cursor position report
  const keydef* k = find(vt::csikeys, f);
  if (!k || p.n > 2 || (a0 != NOVAL && a0 != 1)) return -1;
  return press(*k, modparam(a1) | alt, out);
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
  int n = csikey(d, b, out);
  if (n < 0) return typeout(d, out);
  reset(d);
  return n;
}

int ss3(decoder& d, uint8_t b, INPUT_RECORD* out) {
  if (b < 0x20 || b > 0x7E || !push(d, b)) return restart(d, b, out);
  csiparams& p = d.p;
  if (b >= 0x30 && b <= 0x3F) {
    param(p, b, d.len == 3);
    return 0;
  }
  if (b < 0x30) {
    p.bad = true;
    return 0;
  }
  // ESC O X, or with a modifier: ESC O m X, ESC O 1 ; m X.
  int32_t m = p.n == 2 && (arg(p, 0) == NOVAL || arg(p, 0) == 1) ? arg(p, 1)
              : p.n == 1                                         ? arg(p, 0)
                                                                 : NOVAL;
  const keydef* k = find(vt::ss3keys, b);
  if (!k || p.bad || p.priv || !plain(p, 2) || (p.n && m == NOVAL)) return typeout(d, out);
  DWORD alt = altof(d);
  reset(d);
  return press(*k, modparam(m) | alt, out);
}

int linuxfn(decoder& d, uint8_t b, INPUT_RECORD* out) {
  const keydef* k = find(vt::linuxfkeys, b);
  if (!k) return restart(d, b, out);
  DWORD alt = altof(d);
  reset(d);
  return press(*k, alt, out);
}

int mouse(decoder& d, uint8_t b, INPUT_RECORD* out) {
  if (b < 0x20) return restart(d, b, out);
  push(d, b);
  if (--d.need) return 0;
  const uint8_t* m = d.seq + d.len - 3;
  int32_t cb = m[0] - 32;
  out[0] = mouserec(cb, m[1] - 32, m[2] - 32, (cb & 3) == 3);
  reset(d);
  return 1;
}

}  // namespace

// ---- Public --------------------------------------------------------------

uint8_t to_cp1252(uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<uint8_t>(cp);
  for (int i = 0; i < 32; ++i)
    if (vt::cp1252high[i] == cp) return static_cast<uint8_t>(0x80 + i);
  return '?';
}

int build_key(WORD vk, uint8_t ch, DWORD state, INPUT_RECORD* out) {
  DWORD held = 0;
  for (const vt::modkey& m : vt::modkeys) held |= m.flag;
  held = state & ~(held | ENHANCED_KEY);  // lock bits only, to begin with
  int n = 0;
  for (const vt::modkey& m : vt::modkeys) {
    if (!(state & m.flag)) continue;
    held |= m.flag;
    out[n++] = keyrec(m.vk, m.scan, 0, held | m.enhanced, true);
  }
  WORD scan = scan_of(vk);
  out[n++] = keyrec(vk, scan, ch, state, true);
  out[n++] = keyrec(vk, scan, ch, state, false);
  for (int i = sizeof vt::modkeys / sizeof vt::modkeys[0] - 1; i >= 0; --i) {
    const vt::modkey& m = vt::modkeys[i];
    if (!(state & m.flag)) continue;
    held &= ~m.flag;
    out[n++] = keyrec(m.vk, m.scan, 0, held | m.enhanced, false);
  }
  return n;
}

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
  }
  return 0;
}

int decode(decoder& d, const uint8_t* bytes, int n, INPUT_RECORD* out, int room, int* used) {
  int k = 0, i = 0;
  for (; i < n && room - k >= STEPRECS; ++i) k += decode_byte(d, bytes[i], out + k);
  *used = i;
  return k;
}

int decode_flush(decoder& d, INPUT_RECORD* out) { return giveup(d, out); }
