// Fuzz target for the terminal input decoder, in each of its protocols (the
// second input byte picks one). Checks, for any input: no crash, a pending
// sequence never beyond SEQMAX bytes, no step beyond STEPRECS records, the
// same records whether the input comes whole or in two reads into little
// room (the end of a read settles a bare ESC [ M or ESC [ O, as a pause
// does, and nothing else), and what each step yields:
// - from legacy input, whole key presses: every key down followed by its
//   key up with its modifier keys around it, no character without a key
//   code, repeat count 1;
// - from a protocol report, one record on its own (the terminal reports
//   presses and releases itself, so downs and ups need not pair), which
//   has a key code too unless it is a win32-input-mode report, whose
//   records are taken as sent.
// And what keys mean: after any input and a pause, known keys decode to
// their records; and a key with modifiers, picked by the input and encoded
// the way terminals send it, decodes to that key, state and character.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/decode.h"
#include "tests/records.h"

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

// ---- Meaning ---------------------------------------------------------------
// Written from the terminals' documented key forms and the console's key
// records, independently of the decoder's tables.

constexpr DWORD S = SHIFT_PRESSED, A = LEFT_ALT_PRESSED, C = LEFT_CTRL_PRESSED, E = ENHANCED_KEY;

INPUT_RECORD keyrec(WORD vk, WORD scan, int ch, DWORD state, bool down) {
  INPUT_RECORD r = rec::key(vk, ch, state, down);
  r.Event.KeyEvent.wVirtualScanCode = scan;
  return r;
}

// `in` fed byte by byte, the input pausing at the end.
std::vector<INPUT_RECORD> feed(decoder& d, const std::string& in) {
  std::vector<INPUT_RECORD> out;
  INPUT_RECORD step[STEPRECS];
  for (unsigned char b : in) {
    int n = decode_byte(d, b, step);
    out.insert(out.end(), step, step + n);
  }
  int n = decode_flush(d, step);
  out.insert(out.end(), step, step + n);
  return out;
}

// a, Up and Shift+F5 (scan codes 0x1E, 0x48, 0x3F, Shift 0x2A): whole key
// presses from legacy input; under kitty the terminal reports each press
// itself, one record each, and ESC [ 97 u is the a key.
void check_resync(decoder& d) {
  bool kitty = d.proto == PROTO_KITTY;
  std::vector<INPUT_RECORD> want = {keyrec('A', 0x1E, 'a', 0, true),
                                    keyrec('A', 0x1E, 'a', 0, false)};
  if (kitty) {
    // NumLock, where the input's keys told it and no lock bit came, holds
    // for the reports after them.
    DWORD n = (d.locks & (LOCKS_SENT | NUMLOCK_GUESS)) == NUMLOCK_GUESS ? NUMLOCK_ON : 0;
    want.push_back(keyrec(VK_UP, 0x48, 0, E | n, true));
    want.push_back(keyrec(VK_F5, 0x3F, 0, S | n, true));
    want.push_back(keyrec('A', 0x1E, 'a', n, true));
  } else {
    for (bool down : {true, false}) want.push_back(keyrec(VK_UP, 0x48, 0, E, down));
    want.push_back(keyrec(VK_SHIFT, 0x2A, 0, S, true));
    for (bool down : {true, false}) want.push_back(keyrec(VK_F5, 0x3F, 0, S, down));
    want.push_back(keyrec(VK_SHIFT, 0x2A, 0, 0, false));
  }
  std::vector<INPUT_RECORD> got =
      feed(d, kitty ? "a\x1b[A\x1b[15;2~\x1b[97u" : "a\x1b[A\x1b[15;2~");
  check(got.size() == want.size() &&
            std::memcmp(got.data(), want.data(), want.size() * sizeof want[0]) == 0,
        "known keys decode differently after this input");
}

// Cursor, editing and function keys as xterm sends them: CSI X or SS3 X
// (F1-F4) plain and CSI 1 ; m X modified, or CSI n ~ and CSI n ; m ~, with
// m = 1 + bits Shift 1, Alt 2, Ctrl 4. kitty sends the same forms, but CSI
// P-S for F1-F4 plain and only CSI 13 ~ for F3.
struct fnkey {
  WORD vk;
  char final;  // or '~'
  int num;     // before '~'
  DWORD state;
};
const fnkey fnkeys[] = {
    {VK_UP, 'A', 0, E},    {VK_DOWN, 'B', 0, E}, {VK_RIGHT, 'C', 0, E},  {VK_LEFT, 'D', 0, E},
    {VK_HOME, 'H', 0, E},  {VK_END, 'F', 0, E},  {VK_INSERT, '~', 2, E}, {VK_DELETE, '~', 3, E},
    {VK_PRIOR, '~', 5, E}, {VK_NEXT, '~', 6, E}, {VK_F1, 'P', 0, 0},     {VK_F2, 'Q', 0, 0},
    {VK_F3, 'R', 13, 0},   {VK_F4, 'S', 0, 0},   {VK_F5, '~', 15, 0},    {VK_F6, '~', 17, 0},
    {VK_F7, '~', 18, 0},   {VK_F8, '~', 19, 0},  {VK_F9, '~', 20, 0},    {VK_F10, '~', 21, 0},
    {VK_F11, '~', 23, 0},  {VK_F12, '~', 24, 0},
};
constexpr int NFN = sizeof fnkeys / sizeof fnkeys[0];

// Keys kitty reports as CSI code[:shifted] ; mods[:event] [; text] u:
// Escape, Enter, Tab, Backspace, then the letters a-z.
const int ucodes[] = {27, 13, 9, 127};
const WORD uvks[] = {VK_ESCAPE, VK_RETURN, VK_TAB, VK_BACK};

// The character of a reported key on the US layout: a letter's case by
// Shift and CapsLock, its control character with Ctrl; Enter, Backspace and
// Escape by the layout's columns (plain, Shift, Ctrl: 0x0D 0x0D 0x0A, 0x08
// 0x08 0x7F, 0x1B 0x1B 0x1B), which have none for Ctrl+Shift. Ctrl+Alt is
// AltGr, which gives none.
int uchar(int code, DWORD state) {
  bool ctrl = state & C, shift = state & S;
  if (ctrl && (state & A)) return 0;
  if (code >= 'a' && code <= 'z') {
    if (ctrl) return code - 0x60;
    return shift != ((state & CAPSLOCK_ON) != 0) ? code - 0x20 : code;
  }
  if (ctrl && shift) return 0;
  switch (code) {
    case 13:
      return ctrl ? 0x0A : 0x0D;
    case 127:
      return ctrl ? 0x7F : 0x08;
    case 9:
      return ctrl ? 0 : 0x09;
  }
  return 0x1B;
}

// A key and its modifiers, picked by two input bytes, encoded as a terminal
// sends them; decoded, it must give back that key, state and character.
void check_roundtrip(keyproto proto, uint8_t pick, uint8_t how) {
  bool kitty = proto == PROTO_KITTY;
  int nkeys = NFN + (kitty ? 4 + 26 : 0);
  int i = pick % nkeys;
  int mods = how & 7;                                              // Shift 1, Alt 2, Ctrl 4
  bool escalt = proto == PROTO_LEGACY && (how & 8) && (mods & 2);  // Alt as an ESC prefix
  bool release = kitty && (how & 8);
  bool alttext = kitty && (how & 16);        // kitty's shifted key and text fields
  int locks = kitty ? how & (64 | 128) : 0;  // CapsLock 64, NumLock 128
  int m = 1 + (escalt ? mods & ~2 : mods) + locks;
  DWORD state = (mods & 1 ? S : 0) | (mods & 2 ? A : 0) | (mods & 4 ? C : 0) |
                (locks & 64 ? CAPSLOCK_ON : 0) | (locks & 128 ? NUMLOCK_ON : 0);
  char tail[16] = "";  // ; m [:3]
  if (m > 1 || release) std::snprintf(tail, sizeof tail, ";%d%s", m, release ? ":3" : "");
  char in[64];
  WORD vk;
  int ch = 0;
  if (i < NFN) {
    const fnkey& k = fnkeys[i];
    vk = k.vk;
    state |= k.state;
    if (k.final == '~' || (kitty && k.vk == VK_F3))
      std::snprintf(in, sizeof in, "\x1b[%d%s~", k.num, tail);
    else if (*tail)
      std::snprintf(in, sizeof in, "\x1b[1%s%c", tail, k.final);
    else
      std::snprintf(in, sizeof in, "\x1b%c%c", k.vk >= VK_F1 && !kitty ? 'O' : '[', k.final);
  } else {
    int u = i - NFN, code = u < 4 ? ucodes[u] : 'a' + u - 4;
    vk = u < 4 ? uvks[u] : static_cast<WORD>('A' + u - 4);
    ch = uchar(code, state);
    char key[16], text[16] = "";
    std::snprintf(key, sizeof key, "%d", code);
    // kitty's shifted key goes with Shift, its text without Ctrl or Alt.
    if (alttext && u >= 4) {
      if (mods & 1) std::snprintf(key, sizeof key, "%d:%d", code, code - 0x20);
      if (!(mods & 6)) std::snprintf(text, sizeof text, ";%d", ch);
    }
    if (*text && !*tail) std::snprintf(tail, sizeof tail, ";1");
    std::snprintf(in, sizeof in, "\x1b[%s%s%su", key, tail, text);
  }
  decoder d{};
  d.proto = proto;
  std::vector<INPUT_RECORD> got = feed(d, std::string(escalt ? "\x1b" : "") + in);
  // The key's own record: the only one under kitty; in a legacy key press
  // the only key down that is no modifier key.
  const INPUT_RECORD* key = nullptr;
  int keys = 0;
  for (const INPUT_RECORD& r : got)
    if (kitty || (r.Event.KeyEvent.bKeyDown && !modflag(r.Event.KeyEvent.wVirtualKeyCode)))
      key = &r, ++keys;
  check(keys == 1 && key->EventType == KEY_EVENT, "an encoded key is not one key");
  const KEY_EVENT_RECORD& k = key->Event.KeyEvent;
  if (k.wVirtualKeyCode == vk && k.dwControlKeyState == state &&
      k.uChar.UnicodeChar == ch && !k.bKeyDown == release)
    return;
  std::fprintf(stderr,
               "decode_fuzz: \\e%s%s (protocol %d) decodes to %s vk 0x%02X ch 0x%02X "
               "state 0x%03X, not %s vk 0x%02X ch 0x%02X state 0x%03X\n",
               escalt ? "\\e" : "", in + 1, proto, k.bKeyDown ? "down" : "up", k.wVirtualKeyCode,
               k.uChar.UnicodeChar, unsigned(k.dwControlKeyState), release ? "up" : "down", vk, ch,
               unsigned(state));
  std::abort();
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
  check_resync(d);
  if (size >= 4) check_roundtrip(proto, data[2], data[3]);

  // In two reads, into a queue with room for just over one step.
  if (size < 2) return 0;
  size_t cut = data[0] % size;
  int room = STEPRECS + data[1] % 32;
  std::vector<INPUT_RECORD> split, queue(room);
  decoder e{};
  e.proto = proto;
  size_t from = 0;
  bool paused = false;  // the first read ended in a bare ESC [ M or ESC [ O
  for (size_t to : {cut, size}) {
    while (from < to) {
      int used;
      int k = decode(e, data + from, static_cast<int>(to - from), queue.data(), room, &used);
      check(used > 0, "no progress with room for a step");
      split.insert(split.end(), queue.begin(), queue.begin() + k);
      from += used;
    }
    if (to == size) break;
    // No sequence holds an ESC, so one still pending after ESC [ M or
    // ESC [ O is none but that.
    bool bare = decode_pending(e) && cut >= 3 &&
                (std::memcmp(data + cut - 3, "\x1b[M", 3) == 0 ||
                 std::memcmp(data + cut - 3, "\x1b[O", 3) == 0);
    n = decode_readend(e, step);
    check(n <= KEYRECS, "too many records at a read end");
    check(bare ? n > 0 && !decode_pending(e) : n == 0,
          "a read end settles other than a bare ESC [ M or ESC [ O");
    split.insert(split.end(), step, step + n);
    paused = bare;
  }
  if (paused) {  // then the same as with a pause at the cut
    decoder w{};
    w.proto = proto;
    whole = feed(w, std::string(data, data + cut));
    std::vector<INPUT_RECORD> rest = feed(w, std::string(data + cut, data + size));
    whole.insert(whole.end(), rest.begin(), rest.end());
  }
  n = decode_flush(e, step);
  split.insert(split.end(), step, step + n);
  check(split.size() == whole.size() &&
            (whole.empty() ||
             std::memcmp(split.data(), whole.data(), whole.size() * sizeof whole[0]) == 0),
        "split input decodes differently");
  return 0;
}
