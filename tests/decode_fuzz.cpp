// Fuzz target for the terminal input decoder, in each of its protocols (the
// second input byte picks one). Checks, for any input: no crash, a pending
// sequence never beyond SEQMAX bytes, no step beyond STEPRECS records, the
// same records whether the input comes whole or in two chunks with little
// room, and what each step yields:
// - from legacy input, whole key presses: every key down followed by its
//   key up with its modifier keys around it, no character without a key
//   code, repeat count 1;
// - from a protocol report, one record on its own (the terminal reports
//   presses and releases itself, so downs and ups need not pair), which
//   has a key code too unless it is a win32-input-mode report, whose
//   records are taken as sent.
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

constexpr DWORD MODS =
    SHIFT_PRESSED | LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED | LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED;

// Whole key presses, and other events between them; the reason if not.
const char* whole_presses(const INPUT_RECORD* r, int n) {
  WORD held[8];
  int nheld = 0;
  WORD pressed = 0;
  for (int i = 0; i < n; ++i) {
    if (r[i].EventType != KEY_EVENT) {
      if (nheld || pressed) return "an event inside a key press";
      if (r[i].EventType != MOUSE_EVENT && r[i].EventType != FOCUS_EVENT) return "unknown event";
      continue;
    }
    const KEY_EVENT_RECORD& k = r[i].Event.KeyEvent;
    if (k.wVirtualKeyCode == 0) return "a key record without a key code";
    if (k.wRepeatCount != 1) return "repeat count other than 1";
    DWORD mods = k.dwControlKeyState & MODS;
    if (DWORD flag = modflag(k.wVirtualKeyCode)) {
      if (pressed) return "a modifier key inside a key's down and up";
      if (k.uChar.UnicodeChar) return "a modifier key with a character";
      if (k.bKeyDown) {
        if (nheld == 8 || !(mods & flag)) return "modifier key down without its state";
        held[nheld++] = k.wVirtualKeyCode;
      } else {
        if (nheld == 0 || held[nheld - 1] != k.wVirtualKeyCode)
          return "modifier key up out of order";
        --nheld;
      }
      continue;
    }
    DWORD want = 0;
    for (int j = 0; j < nheld; ++j) want |= modflag(held[j]);
    if (mods & ~want) return "a modifier in the state without its key down";
    for (int j = 0; j < nheld; ++j)
      if (!(mods & modflag(held[j]))) return "a modifier key down unused";
    if (k.bKeyDown) {
      if (pressed) return "key down before the previous key's up";
      pressed = k.wVirtualKeyCode;
    } else {
      if (pressed != k.wVirtualKeyCode) return "key up without its key down";
      pressed = 0;
    }
  }
  if (nheld || pressed) return "a key press left unfinished";
  return nullptr;
}

// A report's record: a key; a key code unless the terminal sent a win32
// record; a kitty modifier key's press carries its own state bit.
void check_report(const INPUT_RECORD& r, bool win32) {
  check(r.EventType == KEY_EVENT, "a report that is no key event");
  const KEY_EVENT_RECORD& k = r.Event.KeyEvent;
  if (win32) return;
  check(k.wVirtualKeyCode != 0, "a key report without a key code");
  check(k.wRepeatCount == 1, "repeat count other than 1");
  if (DWORD flag = modflag(k.wVirtualKeyCode)) {
    check(k.uChar.UnicodeChar == 0, "a modifier key with a character");
    check(!k.bKeyDown || (k.dwControlKeyState & flag), "modifier key down without its state");
  }
}

// The records of one step, the one ending at byte `b`: whole key presses,
// or a report's record before or after them (before: kitty text beyond one
// character; after: the Escape key that an ESC before a report was).
void check_step(const INPUT_RECORD* r, int n, uint8_t b, keyproto proto) {
  check(n >= 0 && n <= STEPRECS, "too many records for one step");
  const char* why = whole_presses(r, n);
  if (!why) return;
  bool win32 = b == '_';
  check(n > 0 && (win32 || proto == PROTO_KITTY), why);
  if (!whole_presses(r + 1, n - 1)) {
    check_report(r[0], win32);
  } else {
    check(whole_presses(r, n - 1) == nullptr, why);
    check_report(r[n - 1], win32);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  keyproto proto = size > 1 ? static_cast<keyproto>(data[1] / 32 % 3) : PROTO_LEGACY;

  // Whole, byte by byte, then a pause.
  decoder d{};
  d.proto = proto;
  std::vector<INPUT_RECORD> whole;
  INPUT_RECORD step[STEPRECS];
  for (size_t i = 0; i < size; ++i) {
    int n = decode_byte(d, data[i], step);
    check_step(step, n, data[i], proto);
    check(d.len <= SEQMAX, "pending sequence beyond SEQMAX");
    whole.insert(whole.end(), step, step + n);
  }
  int n = decode_flush(d, step);
  check_step(step, n, 0, proto);
  check(!decode_pending(d), "pending after a pause");
  whole.insert(whole.end(), step, step + n);
  check(whole.size() <= 8 * size, "more than 8 records a byte");

  // In two chunks, into a queue with room for just over one step.
  if (size < 2) return 0;
  size_t cut = data[0] % size;
  int room = STEPRECS + data[1] % 32;
  std::vector<INPUT_RECORD> split, queue(room);
  decoder e{};
  e.proto = proto;
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
