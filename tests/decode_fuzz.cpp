// Fuzz target for the terminal input decoder. Checks, for any input: no
// crash, a pending sequence never beyond SEQMAX bytes, no step beyond
// STEPRECS records, every key down followed by its key up with its modifier
// keys around it, no character without a key code, and the same records
// whether the input comes whole or in two chunks with little room.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/decode.h"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "decode_fuzz: %s\n", what);
  std::abort();
}

DWORD modflag(WORD vk) {
  switch (vk) {
    case VK_SHIFT:
      return SHIFT_PRESSED;
    case VK_MENU:
      return LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED;
    case VK_CONTROL:
      return LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED;
  }
  return 0;
}

// The records of one step: whole key presses, and other events between them.
void check_step(const INPUT_RECORD* r, int n) {
  check(n >= 0 && n <= STEPRECS, "too many records for one step");
  WORD held[8];
  int nheld = 0;
  WORD pressed = 0;
  for (int i = 0; i < n; ++i) {
    if (r[i].EventType != KEY_EVENT) {
      check(nheld == 0 && !pressed, "an event inside a key press");
      check(r[i].EventType == MOUSE_EVENT || r[i].EventType == FOCUS_EVENT, "unknown event");
      continue;
    }
    const KEY_EVENT_RECORD& k = r[i].Event.KeyEvent;
    check(k.wVirtualKeyCode != 0, "a key record without a key code");
    check(k.wRepeatCount == 1, "repeat count other than 1");
    DWORD mods = k.dwControlKeyState & (SHIFT_PRESSED | LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED |
                                        LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED);
    if (DWORD flag = modflag(k.wVirtualKeyCode)) {
      check(!pressed, "a modifier key inside a key's down and up");
      check(k.uChar.UnicodeChar == 0, "a modifier key with a character");
      if (k.bKeyDown) {
        check(nheld < 8 && (mods & flag), "modifier key down without its state");
        held[nheld++] = k.wVirtualKeyCode;
      } else {
        check(nheld > 0 && held[nheld - 1] == k.wVirtualKeyCode, "modifier key up out of order");
        --nheld;
      }
      continue;
    }
    DWORD want = 0;
    for (int j = 0; j < nheld; ++j) want |= modflag(held[j]);
    check((mods & ~want) == 0, "a modifier in the state without its key down");
    for (int j = 0; j < nheld; ++j) check(mods & modflag(held[j]), "a modifier key down unused");
    if (k.bKeyDown) {
      check(!pressed, "key down before the previous key's up");
      pressed = k.wVirtualKeyCode;
    } else {
      check(pressed == k.wVirtualKeyCode, "key up without its key down");
      pressed = 0;
    }
  }
  check(nheld == 0 && !pressed, "a key press left unfinished");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Whole, byte by byte, then a pause.
  decoder d{};
  std::vector<INPUT_RECORD> whole;
  INPUT_RECORD step[STEPRECS];
  for (size_t i = 0; i < size; ++i) {
    int n = decode_byte(d, data[i], step);
    check_step(step, n);
    check(d.len <= SEQMAX, "pending sequence beyond SEQMAX");
    whole.insert(whole.end(), step, step + n);
  }
  int n = decode_flush(d, step);
  check_step(step, n);
  check(!decode_pending(d), "pending after a pause");
  whole.insert(whole.end(), step, step + n);
  check(whole.size() <= 8 * size, "more than 8 records a byte");

  // In two chunks, into a queue with room for just over one step.
  if (size < 2) return 0;
  size_t cut = data[0] % size;
  int room = STEPRECS + data[1] % 32;
  std::vector<INPUT_RECORD> split, queue(room);
  decoder e{};
  size_t from = 0;
  for (size_t to : {cut, size}) {
    while (from < to) {
      int used;
      int k = decode(e, data + from, static_cast<int>(to - from), queue.data(), room, &used);
      check(used > 0, "no progress with room for a step");
      split.insert(split.end(), queue.begin(), queue.begin() + k);
      from += used;
    }
  }
  n = decode_flush(e, step);
  split.insert(split.end(), step, step + n);
  check(split.size() == whole.size() &&
            (whole.empty() ||
             std::memcmp(split.data(), whole.data(), whole.size() * sizeof whole[0]) == 0),
        "split input decodes differently");
  return 0;
}
