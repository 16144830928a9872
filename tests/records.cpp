#include "tests/records.h"

#include <cstring>

namespace rec {

INPUT_RECORD key(WORD vk, int ch, DWORD state, bool down) {
  INPUT_RECORD r;
  std::memset(&r, 0, sizeof r);
  r.EventType = KEY_EVENT;
  r.Event.KeyEvent.bKeyDown = down;
  r.Event.KeyEvent.wRepeatCount = 1;
  r.Event.KeyEvent.wVirtualKeyCode = vk;
  r.Event.KeyEvent.uChar.UnicodeChar = static_cast<WCHAR>(ch);
  r.Event.KeyEvent.dwControlKeyState = state;
  return r;
}

INPUT_RECORD other(WORD type) {
  INPUT_RECORD r;
  std::memset(&r, 0, sizeof r);
  r.EventType = type;
  return r;
}

}  // namespace rec
