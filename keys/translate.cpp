#include <cctype>

#include "keys/keytable.h"

namespace {

constexpr unsigned long ALT = RIGHT_ALT_PRESSED | LEFT_ALT_PRESSED;
constexpr unsigned long CTRL = RIGHT_CTRL_PRESSED | LEFT_CTRL_PRESSED;

// AsciiChar arrives sign-extended; bytes 0x80-0xFF (negative) are never
// letters, so isalpha only sees the range it is defined for.
bool isletter(int c) { return c >= 0 && std::isalpha(c); }

}  // namespace

int isSpecialKey(unsigned int vk, unsigned long state) {
  if (state & NUMLOCK_ON) return 0;
  if (state & ENHANCED_KEY) return 1;
  if (state & ALT) return 1;
  return vk == VK_MULTIPLY || vk == VK_SUBTRACT || vk == VK_ADD;
}

int modcolumn(unsigned long state) {
  if (state & SHIFT_PRESSED) return (state & CTRL) ? COL_CTRLSHIFT : COL_SHIFT;
  if (state & CTRL) return COL_CTRL;
  if (state & ALT) return COL_ALT;
  return COL_NONE;
}

const char* get_nonascii_key(_INPUT_RECORD& rec, char* out) {
  const KEY_EVENT_RECORD& key = rec.Event.KeyEvent;
  int col = modcolumn(key.dwControlKeyState);
  for (const keyrow* row = keytable; row->vk; ++row)
    if (row->vk == key.wVirtualKeyCode) return row->val[col];

  int c = static_cast<signed char>(key.uChar.AsciiChar);
  if (c == 0) return nullptr;
  char* p = out;
  if (col == COL_ALT && isletter(c)) *p++ = '\033';
  *p++ = static_cast<char>(c);
  *p = '\0';
  return out;
}
