// Building records: a key press as a Windows console delivers it (modifier
// keys around the key, scan codes, the code page's character), and the key
// each byte or character stands for on a US layout.
#include "platform/decodeparts.h"

#include <cstring>

namespace vt {

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
// character, or into none. Ctrl with Alt is what AltGr sends, and the US
// layout has no AltGr characters: none.
uint8_t keychar(const keydef& k, DWORD state) {
  if (!(state & CTRL)) return k.ch;
  if (state & ALT) return 0;
  if (k.vk >= 'A' && k.vk <= 'Z') return static_cast<uint8_t>(k.vk - 0x40);
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

}  // namespace vt

using namespace vt;

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
