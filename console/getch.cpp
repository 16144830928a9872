#include "console/getch.h"

#include <cstring>

#include "keys/keytable.h"

HANDLE get_the_io_handle() {
  static HANDLE h = INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE) h = GetStdHandle(STD_INPUT_HANDLE);
  return h;
}

int getchGNU() {
  // The bytes of the current key press not yet handed out. It is also the
  // `out` buffer of record_emits.
  static char tmp[MAXSEQ + 1];
  HANDLE in = get_the_io_handle();
  for (;;) {
    if (tmp[0]) {
      int c = static_cast<signed char>(tmp[0]);
      std::memmove(tmp, tmp + 1, std::strlen(tmp));  // the rest and the NUL
      return c;
    }
    INPUT_RECORD rec;
    DWORD count;
    if (!ReadConsoleInputA(in, &rec, 1, &count)) return -1;
    record_emits(rec, tmp);
  }
}

emitted record_emits(INPUT_RECORD& rec, char* out) {
  if (rec.EventType != KEY_EVENT) return EMIT_NOTKEY;
  if (!rec.Event.KeyEvent.bKeyDown) return EMIT_KEYUP;

  const KEY_EVENT_RECORD& key = rec.Event.KeyEvent;
  if (key.uChar.UnicodeChar && !isSpecialKey(key.wVirtualKeyCode, key.dwControlKeyState)) {
    // A field whose low byte is 0 leaves `out` empty: the key emits nothing.
    out[0] = key.uChar.AsciiChar;
    out[1] = '\0';
    return out[0] ? EMITS : EMIT_NULCHAR;
  }
  const char* seq = get_nonascii_key(rec, out);
  if (!seq) return EMIT_NOROW;
  if (seq != out) {
    std::strncpy(out, seq, MAXSEQ);
    out[MAXSEQ] = '\0';
  }
  return EMITS;
}
