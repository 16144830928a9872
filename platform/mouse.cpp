// Mouse and focus reports: xterm's legacy form (three bytes after CSI M),
// urxvt's (CSI cb ; x ; y M), SGR's (CSI < cb ; x ; y M or m), focus
// in and out (CSI I, CSI O: a CSI O that makes no SS3 key, see ss3()).
#include "platform/decodeparts.h"

#include <climits>

namespace vt {

namespace {

int16_t clamp16(int32_t v) { return static_cast<int16_t>(v < 0 ? 0 : v > SHRT_MAX ? SHRT_MAX : v); }

}  // namespace

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

int stdelete(decoder& d, INPUT_RECORD* out) {
  DWORD alt = altof(d);
  reset(d);
  return press(*stkey('M', NOVAL), alt, out);
}

int focusout(decoder& d, INPUT_RECORD* out) {
  int n = d.alt ? press(vt::c0keys[ESC], 0, out) : 0;  // no Alt with a report
  out[n++] = focusrec(false);
  for (int i = 3; i < d.len; ++i) n += press(bytekey(d.seq[i]), 0, out + n);
  reset(d);
  return n;
}

int mouse(decoder& d, uint8_t b, INPUT_RECORD* out) {
  // A report's bytes are 0x20 and above. A control byte (ESC above all: the
  // key repeating) right after ESC [ M shows it was st's Ctrl+Delete.
  if (b < 0x20) {
    int n = d.len == 3 ? stdelete(d, out) : 0;
    return n + restart(d, b, out + n);
  }
  push(d, b);
  if (--d.need) return 0;
  const uint8_t* m = d.seq + d.len - 3;
  int32_t cb = m[0] - 32;
  out[0] = mouserec(cb, m[1] - 32, m[2] - 32, (cb & 3) == 3);
  reset(d);
  return 1;
}

}  // namespace vt
