// The terminal input decoder: what each byte and sequence becomes.
#include "platform/decode.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "platform/emuconsole.h"
#include "trace/trace.h"

namespace {

constexpr DWORD S = SHIFT_PRESSED;
constexpr DWORD C = LEFT_CTRL_PRESSED;
constexpr DWORD A = LEFT_ALT_PRESSED;
constexpr DWORD E = ENHANCED_KEY;

// A key press as the key reader sees it: a key-down record of a key other
// than Shift, Ctrl or Alt.
struct key {
  WORD vk;
  int ch;
  DWORD state;
  bool operator==(const key& o) const { return vk == o.vk && ch == o.ch && state == o.state; }
};

void PrintTo(const key& k, std::ostream* os) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "{vk 0x%02X, ch 0x%02X, state 0x%03X}", k.vk, k.ch,
                static_cast<unsigned>(k.state));
  *os << buf;
}

std::string hex(const std::string& s) {
  std::string out;
  char buf[8];
  for (unsigned char c : s) {
    if (c >= 0x21 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out;
}

// All records for `in`, fed byte by byte, with the input pausing at the end.
std::vector<INPUT_RECORD> records(const std::string& in, bool pause = true,
                                  keyproto proto = PROTO_LEGACY, uint8_t erase = 0x7F) {
  decoder d{};
  d.proto = proto;
  d.erase = erase;
  std::vector<INPUT_RECORD> out;
  INPUT_RECORD step[STEPRECS];
  for (unsigned char b : in) {
    int n = decode_byte(d, b, step);
    out.insert(out.end(), step, step + n);
  }
  if (pause) {
    int n = decode_flush(d, step);
    out.insert(out.end(), step, step + n);
  }
  return out;
}

bool modifier(WORD vk) { return vk == VK_SHIFT || vk == VK_CONTROL || vk == VK_MENU; }

// A focus-out report among the keys: what ESC [ O is when no SS3 key follows.
constexpr key FOCUSOUT = {0, 0, 0};

std::vector<key> keysof(const std::vector<INPUT_RECORD>& recs) {
  std::vector<key> out;
  for (const INPUT_RECORD& r : recs) {
    if (r.EventType == FOCUS_EVENT && !r.Event.FocusEvent.bSetFocus) out.push_back(FOCUSOUT);
    const KEY_EVENT_RECORD& k = r.Event.KeyEvent;
    if (r.EventType == KEY_EVENT && k.bKeyDown && !modifier(k.wVirtualKeyCode))
      out.push_back(
          {k.wVirtualKeyCode, static_cast<uint8_t>(k.uChar.AsciiChar), k.dwControlKeyState});
  }
  return out;
}

std::vector<key> keys(const std::string& in, bool pause = true, uint8_t erase = 0x7F) {
  return keysof(records(in, pause, PROTO_LEGACY, erase));
}

// The state xterm's modifier parameter m stands for.
DWORD mods(int m) {
  int bits = m - 1;
  return (bits & 1 ? S : 0) | (bits & 10 ? A : 0) | (bits & 4 ? C : 0);
}

struct row {
  const char* in;
  key want;
};

// clang-format off
const row cursor_rows[] = {
  {"\x1b[A",  {VK_UP,     0, E}},
  {"\x1b[B",  {VK_DOWN,   0, E}},
  {"\x1b[C",  {VK_RIGHT,  0, E}},
  {"\x1b[D",  {VK_LEFT,   0, E}},
  {"\x1b[H",  {VK_HOME,   0, E}},
  {"\x1b[F",  {VK_END,    0, E}},
  {"\x1bOA",  {VK_UP,     0, E}},
  {"\x1bOB",  {VK_DOWN,   0, E}},
  {"\x1bOC",  {VK_RIGHT,  0, E}},
  {"\x1bOD",  {VK_LEFT,   0, E}},
  {"\x1bOH",  {VK_HOME,   0, E}},
  {"\x1bOF",  {VK_END,    0, E}},
  {"\x1b[1~", {VK_HOME,   0, E}},
  {"\x1b[2~", {VK_INSERT, 0, E}},
  {"\x1b[3~", {VK_DELETE, 0, E}},
  {"\x1b[4~", {VK_END,    0, E}},
  {"\x1b[5~", {VK_PRIOR,  0, E}},
  {"\x1b[6~", {VK_NEXT,   0, E}},
  {"\x1b[7~", {VK_HOME,   0, E}},
  {"\x1b[8~", {VK_END,    0, E}},
  {"\x1b[4h", {VK_INSERT, 0, E}},
};

const row function_rows[] = {
  {"\x1bOP",   {VK_F1,  0, 0}},
  {"\x1bOQ",   {VK_F2,  0, 0}},
  {"\x1bOR",   {VK_F3,  0, 0}},
  {"\x1bOS",   {VK_F4,  0, 0}},
  {"\x1b[1P",  {VK_F1,  0, 0}},
  {"\x1b[11~", {VK_F1,  0, 0}},
  {"\x1b[12~", {VK_F2,  0, 0}},
  {"\x1b[13~", {VK_F3,  0, 0}},
  {"\x1b[14~", {VK_F4,  0, 0}},
  {"\x1b[15~", {VK_F5,  0, 0}},
  {"\x1b[17~", {VK_F6,  0, 0}},
  {"\x1b[18~", {VK_F7,  0, 0}},
  {"\x1b[19~", {VK_F8,  0, 0}},
  {"\x1b[20~", {VK_F9,  0, 0}},
  {"\x1b[21~", {VK_F10, 0, 0}},
  {"\x1b[23~", {VK_F11, 0, 0}},
  {"\x1b[24~", {VK_F12, 0, 0}},
  {"\x1b[25~", {VK_F13, 0, 0}},
  {"\x1b[26~", {VK_F14, 0, 0}},
  {"\x1b[28~", {VK_F15, 0, 0}},
  {"\x1b[29~", {VK_F16, 0, 0}},
  {"\x1b[31~", {VK_F17, 0, 0}},
  {"\x1b[32~", {VK_F18, 0, 0}},
  {"\x1b[33~", {VK_F19, 0, 0}},
  {"\x1b[34~", {VK_F20, 0, 0}},
  {"\x1b[[A",  {VK_F1,  0, 0}},
  {"\x1b[[B",  {VK_F2,  0, 0}},
  {"\x1b[[C",  {VK_F3,  0, 0}},
  {"\x1b[[D",  {VK_F4,  0, 0}},
  {"\x1b[[E",  {VK_F5,  0, 0}},
};

const row keypad_rows[] = {
  {"\x1b[E", {VK_CLEAR,    0,    0}},
  {"\x1bOE", {VK_CLEAR,    0,    0}},
  {"\x1b[G", {VK_CLEAR,    0,    0}},
  {"\x1bOM", {VK_RETURN,   '\r', E}},
  {"\x1bOj", {VK_MULTIPLY, '*',  0}},
  {"\x1bOk", {VK_ADD,      '+',  0}},
  {"\x1bOm", {VK_SUBTRACT, '-',  0}},
  {"\x1bOo", {VK_DIVIDE,   '/',  E}},
  // With modifiers (xterm, VTE, tmux), in either form.
  {"\x1bO2j",   {VK_MULTIPLY, '*',  S}},
  {"\x1bO1;2j", {VK_MULTIPLY, '*',  S}},
  {"\x1bO5M",   {VK_RETURN,   0x0A, E | C}},
  // rxvt's digits and '.', which it sends with NumLock off: the keys they
  // are then, not enhanced as the grey block's are.
  {"\x1bOp", {VK_INSERT, 0, 0}},
  {"\x1bOu", {VK_CLEAR,  0, 0}},
  {"\x1bOx", {VK_UP,     0, 0}},
  {"\x1bOn", {VK_DELETE, 0, 0}},
};

// st's editing keys in its normal keypad mode. A bare CSI M is Ctrl+Delete
// when the input pauses after it (here: the end of the input).
const row st_rows[] = {
  {"\x1b[P",  {VK_DELETE, 0, E}},
  {"\x1b[2K", {VK_DELETE, 0, E | S}},
  {"\x1b[M",  {VK_DELETE, 0, E | C}},
  {"\x1b[L",  {VK_INSERT, 0, E | C}},
  {"\x1b[2J", {VK_HOME,   0, E | S}},
  {"\x1b[K",  {VK_END,    0, E | S}},
  {"\x1b[J",  {VK_END,    0, E | C}},
};

// Keys whose modifiers the sequence itself names, and keys by character.
const row modified_rows[] = {
  {"\x1b[Z",          {VK_TAB,    '\t', S}},
  {"\x1b[1;5Z",       {VK_TAB,    0,    S | C}},
  {"\x1b[a",          {VK_UP,     0,    E | S}},
  {"\x1b[d",          {VK_LEFT,   0,    E | S}},
  {"\x1bOa",          {VK_UP,     0,    E | C}},
  {"\x1bOc",          {VK_RIGHT,  0,    E | C}},
  {"\x1b[7$",         {VK_HOME,   0,    E | S}},
  {"\x1b[8^",         {VK_END,    0,    E | C}},
  {"\x1b[3@",         {VK_DELETE, 0,    E | C | S}},
  {"\x1b[11^",        {VK_F1,     0,    C}},
  {"\x1bO5A",         {VK_UP,     0,    E | C}},
  {"\x1bO2P",         {VK_F1,     0,    S}},
  {"\x1b[1;2R",       {VK_F3,     0,    S}},
  {"\x1b[1;5P",       {VK_F1,     0,    C}},
  {"\x1b\x1b[A",      {VK_UP,     0,    E | A}},
  {"\x1b\x1b[[A",     {VK_F1,     0,    A}},
  {"\x1b[27;5;9~",    {VK_TAB,    0,    C}},
  {"\x1b[27;3;9~",    {VK_TAB,    '\t', A}},
  {"\x1b[27;2;9~",    {VK_TAB,    '\t', S}},
  {"\x1b[27;6;89~",   {'Y',       0x19, S | C}},
  {"\x1b[27;5;13~",   {VK_RETURN, 0x0A, C}},
  {"\x1b[27;6;13~",   {VK_RETURN, 0,    S | C}},
  {"\x1b[27;3;97~",   {'A',       'a',  A}},
  {"\x1b[27;5;50~",   {'2',       0,    C}},
  {"\x1b[27;6;64~",   {'2',       0,    S | C}},
  {"\x1b[27;5;127~",  {VK_BACK,   0x7F, C}},
  {"\x1b[27;5;91~",   {VK_OEM_4,  0x1B, C}},
  {"\x1b[27;6;95~",   {VK_OEM_MINUS, 0x1F, S | C}},
  {"\x1b[27;6;94~",   {'6',       0x1E, S | C}},
  {"\x1b[27;2;13~",   {VK_RETURN, '\r', S}},
  {"\x1b[27;3;13~",   {VK_RETURN, '\r', A}},
  {"\x1b[27;5;32~",   {VK_SPACE,  ' ',  C}},
  {"\x1b[27;2;32~",   {VK_SPACE,  ' ',  S}},
  {"\x1b[27;5;49~",   {'1',       0,    C}},
  {"\x1b[27;5;47~",   {VK_OEM_2,  0,    C}},
  {"\x1b[27;5;45~",   {VK_OEM_MINUS, 0, C}},
  {"\x1b[27;2;65~",   {'A',       'A',  S}},
  {"\x1b[27;5;97~",   {'A',       0x01, C}},
  {"\x1b[27;6;65~",   {'A',       0x01, S | C}},
  {"\x1b[27;4;65~",   {'A',       'A',  S | A}},
  {"\x1b[27;7;97~",   {'A',       0,    C | A}},      // Ctrl+Alt is AltGr
  {"\x1b[27;5;8~",    {VK_BACK,   0x7F, C}},          // Backspace sending 8
  {"\x1b[27;2;97~",   {'A',       'a',  S}},          // with CapsLock on
  {"\x1b[49;5u",      {'1',       0,    C}},
  {"\x1b[9;5u",       {VK_TAB,    0,    C}},
  {"\x1b[9;3u",       {VK_TAB,    '\t', A}},
  {"\x1b[97;5u",      {'A',       0x01, C}},
  {"\x1b[97u",        {'A',       'a',  0}},
  {"\x1b[228;3u",     {VK_PACKET, 0xE4, A}},
};
// clang-format on

// With ESC in front (unless it has one already) a key is pressed with Alt.
std::string alted(const std::string& in) { return in.rfind("\x1b\x1b", 0) == 0 ? in : "\x1b" + in; }

// `erase`: the terminal's erase character.
void check_rows(const row* rows, size_t n, uint8_t erase = 0x7F) {
  for (size_t i = 0; i < n; ++i) {
    SCOPED_TRACE(hex(rows[i].in));
    EXPECT_EQ(keys(rows[i].in, true, erase), std::vector<key>{rows[i].want});
    key alt = rows[i].want;
    alt.state |= A;
    if (alt.state & C) alt.ch = 0;  // Ctrl+Alt is AltGr: no character
    EXPECT_EQ(keys(alted(rows[i].in), true, erase), std::vector<key>{alt});
  }
}

TEST(Decode, CursorAndEditingKeys) { check_rows(cursor_rows, std::size(cursor_rows)); }
TEST(Decode, FunctionKeys) { check_rows(function_rows, std::size(function_rows)); }
TEST(Decode, KeypadKeys) { check_rows(keypad_rows, std::size(keypad_rows)); }
TEST(Decode, StEditingKeys) { check_rows(st_rows, std::size(st_rows)); }

// Where the erase character is 0x08 (QTerminal), Backspace sends 0x08 and
// Alt+Backspace ESC 0x08; 0x7F stays Backspace.
// clang-format off
const row erase08_rows[] = {
  {"\x08", {VK_BACK, 0x08, 0}},
  {"\x7f", {VK_BACK, 0x08, 0}},
  {"\x01", {'A',     0x01, C}},
};
// clang-format on
TEST(Decode, BackspaceByTheEraseCharacter) { check_rows(erase08_rows, std::size(erase08_rows), 0x08); }
// A bare CSI M is st's Ctrl+Delete where a read ends or a control byte
// follows it; a legacy mouse report comes whole, in one read. CSI O is an
// SS3 key after a stray [ when the rest of one follows in the same read
// (Terminology's Alt+F1-F4, QTerminal's keypad 5), else focus out.
constexpr key CTRLDEL = {VK_DELETE, 0, E | C};
// clang-format off
const struct { std::vector<std::string> reads; std::vector<key> want; } bare_rows[] = {
  {{"\x1b[M", "ab"},     {CTRLDEL, {'A', 'a', 0}, {'B', 'b', 0}}},
  {{"\x1b\x1b[M", "a"},  {{VK_DELETE, 0, E | C | A}, {'A', 'a', 0}}},
  {{"\x1b[M\x1b[M"},     {CTRLDEL, CTRLDEL}},  // repeating
  {{"\x1b[M\r"},         {CTRLDEL, {VK_RETURN, '\r', 0}}},
  {{"\x1b[M\x01"},       {CTRLDEL, {'A', 0x01, C}}},
  {{"\x1b[M !", "!a"},   {{'A', 'a', 0}}},  // a report begun: joined across reads
  {{"\x1b[Ma"},          {CTRLDEL, {'A', 'a', 0}}},  // less than a report, then a pause
  {{"\x1b[Mab"},         {CTRLDEL, {'A', 'a', 0}, {'B', 'b', 0}}},
  {{"\x1b[M\xc3\xa4"},   {CTRLDEL, {VK_PACKET, 0xE4, 0}}},
  {{"\x1b[O3P"},        {{VK_F1, 0, A}}},
  {{"\x1b[O3Q"},        {{VK_F2, 0, A}}},
  {{"\x1b[OE"},         {{VK_CLEAR, 0, 0}}},
  {{"\x1b[O", "3Q"},    {FOCUSOUT, {'3', '3', 0}, {'Q', 'Q', S}}},
  {{"\x1b[O3", "P"},    {{VK_F1, 0, A}}},  // a key begun: joined across reads
  {{"\x1b[O3"},         {FOCUSOUT, {'3', '3', 0}}},  // less than a key, then a pause
  {{"\x1b[Oz"},         {FOCUSOUT, {'Z', 'z', 0}}},  // no SS3 key
  {{"\x1b[O3;z"},       {FOCUSOUT, {'3', '3', 0}, {VK_OEM_1, ';', 0}, {'Z', 'z', 0}}},
  {{"\x1b[O\x1b[A"},    {FOCUSOUT, {VK_UP, 0, E}}},
  {{"\x1b\x1b[O"},      {{VK_ESCAPE, 0x1B, 0}, FOCUSOUT}},  // no Alt with a report
};
// clang-format on

TEST(Decode, BareCsiMAndCsiO) {
  // ESC [ O alone, then a pause.
  EXPECT_EQ(keys("\x1b[O"), std::vector<key>{FOCUSOUT});
  for (const auto& r : bare_rows) {
    decoder d{};
    std::vector<INPUT_RECORD> got;
    INPUT_RECORD step[STEPRECS];
    std::string trace;
    for (const std::string& in : r.reads) {
      for (unsigned char b : in) {
        int n = decode_byte(d, b, step);
        got.insert(got.end(), step, step + n);
      }
      int n = decode_readend(d, step);
      got.insert(got.end(), step, step + n);
      trace += hex(in) + " | ";
    }
    int n = decode_flush(d, step);  // then the input pauses
    got.insert(got.end(), step, step + n);
    SCOPED_TRACE(trace);
    EXPECT_FALSE(decode_pending(d));
    EXPECT_EQ(keysof(got), r.want);
  }
}

TEST(Decode, ModifiedKeysAndKeysByCharacter) {
  check_rows(modified_rows, std::size(modified_rows));
}

// Every modifier parameter on every key form that takes one.
TEST(Decode, ModifierParameter) {
  const char* forms[] = {"\x1b[1;%dA", "\x1b[1;%dH", "\x1b[1;%dE",  "\x1b[1;%dP",  "\x1b[1;%dS",
                         "\x1b[2;%d~", "\x1b[6;%d~", "\x1b[15;%d~", "\x1b[24;%d~", "\x1b[34;%d~"};
  for (const char* form : forms) {
    char base[16];
    std::snprintf(base, sizeof base, form, 1);
    std::vector<key> plain = keys(base);
    ASSERT_EQ(plain.size(), 1u) << hex(base);
    for (int m = 1; m <= 16; ++m) {
      char in[16];
      std::snprintf(in, sizeof in, form, m);
      key want = plain[0];
      want.state |= mods(m);
      EXPECT_EQ(keys(in), std::vector<key>{want}) << hex(in);
    }
  }
}

// The US layout, row by row: each key's plain and shifted character.
const char base_row[] = "`1234567890-=qwertyuiop[]\\asdfghjkl;'zxcvbnm,./ ";
const char shift_row[] = "~!@#$%^&*()_+QWERTYUIOP{}|ASDFGHJKL:\"ZXCVBNM<>? ";

WORD us_vk(char base) {
  switch (base) {
    case ' ':
      return VK_SPACE;
    case ';':
      return 0xBA;
    case '=':
      return 0xBB;
    case ',':
      return 0xBC;
    case '-':
      return 0xBD;
    case '.':
      return 0xBE;
    case '/':
      return 0xBF;
    case '`':
      return 0xC0;
    case '[':
      return 0xDB;
    case '\\':
      return 0xDC;
    case ']':
      return 0xDD;
    case '\'':
      return 0xDE;
  }
  return base >= 'a' && base <= 'z' ? base - 'a' + 'A' : base;
}

TEST(Decode, EveryPrintableByte) {
  for (int b = 0x20; b < 0x7F; ++b) {
    SCOPED_TRACE(b);
    std::string in(1, static_cast<char>(b));
    const char* at = std::strchr(base_row, b);
    bool shifted = !at;
    if (shifted) at = std::strchr(shift_row, b);
    ASSERT_NE(at, nullptr);
    key want = {us_vk(base_row[at - (shifted ? shift_row : base_row)]), b, shifted ? S : 0};
    EXPECT_EQ(keys(in), std::vector<key>{want});
    EXPECT_EQ(records(in).size(), shifted ? 4u : 2u);
    // With ESC in front: Alt. ESC [ and ESC O count as Alt only once the
    // input pauses.
    want.state |= A;
    EXPECT_EQ(keys("\x1b" + in), std::vector<key>{want});
  }
}

TEST(Decode, EveryControlByte) {
  // clang-format off
  const key special[] = {
    {'2',          0x00, C | S},
    {VK_TAB,       0x09, 0},
    {VK_RETURN,    0x0A, C},
    {VK_RETURN,    0x0D, 0},
    {VK_OEM_5,     0x1C, C},
    {VK_OEM_6,     0x1D, C},
    {'6',          0x1E, C | S},
    {VK_OEM_MINUS, 0x1F, C | S},
  };
  // clang-format on
  for (int b = 0; b < 0x20; ++b) {
    if (b == 0x1B) continue;
    SCOPED_TRACE(b);
    key want = {static_cast<WORD>('A' + b - 1), b, C};  // Ctrl+letter, 0x08 included
    for (const key& k : special)
      if (k.ch == b) want = k;
    std::string in(1, static_cast<char>(b));
    EXPECT_EQ(keys(in), std::vector<key>{want});
    want.state |= A;
    if (want.state & C) want.ch = 0;
    EXPECT_EQ(keys("\x1b" + in), std::vector<key>{want});
  }
  EXPECT_EQ(keys("\x7f"), (std::vector<key>{{VK_BACK, 0x08, 0}}));
  EXPECT_EQ(keys("\x1b\x7f"), (std::vector<key>{{VK_BACK, 0x08, A}}));
}

// A key press is its modifier keys going down with the state growing, the
// key down and up, and the modifier keys up in reverse.
TEST(Decode, RecordsOfOneKeyPress) {
  struct rec {
    bool down;
    WORD vk, scan;
    DWORD state;
  };
  // clang-format off
  const rec want[] = {
    {true,  VK_SHIFT,   0x2A, S},
    {true,  VK_MENU,    0x38, S | A},
    {true,  VK_CONTROL, 0x1D, S | A | C},
    {true,  VK_UP,      0x48, S | A | C | E},
    {false, VK_UP,      0x48, S | A | C | E},
    {false, VK_CONTROL, 0x1D, S | A},
    {false, VK_MENU,    0x38, S},
    {false, VK_SHIFT,   0x2A, 0},
  };
  // clang-format on
  std::vector<INPUT_RECORD> got = records("\x1b[1;8A");
  ASSERT_EQ(got.size(), std::size(want));
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    const KEY_EVENT_RECORD& k = got[i].Event.KeyEvent;
    EXPECT_EQ(got[i].EventType, KEY_EVENT);
    EXPECT_EQ(k.bKeyDown != 0, want[i].down);
    EXPECT_EQ(k.wVirtualKeyCode, want[i].vk);
    EXPECT_EQ(k.wVirtualScanCode, want[i].scan);
    EXPECT_EQ(k.dwControlKeyState, want[i].state);
    EXPECT_EQ(k.wRepeatCount, 1);
    EXPECT_EQ(k.uChar.UnicodeChar, 0);
  }
  got = records("q");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].Event.KeyEvent.wVirtualScanCode, 0x10);
  EXPECT_EQ(got[1].Event.KeyEvent.uChar.UnicodeChar, 'q');
  EXPECT_FALSE(got[1].Event.KeyEvent.bKeyDown);
}

// clang-format off
const row escape_rows[] = {
  {"\x1b",         {VK_ESCAPE,   0x1B, 0}},
  {"\x1b\x1b",     {VK_ESCAPE,   0x1B, A}},
  {"\x1b[",        {VK_OEM_4,    '[',  A}},
  {"\x1b\x1b[",    {VK_OEM_4,    '[',  A}},
  {"\x1bO",        {'O',         'O',  S | A}},
  {"\x1b" "a",     {'A',         'a',  A}},
  {"\x1b\r",       {VK_RETURN,   '\r', A}},
  {"\x1b\x03",     {'C',         0,    C | A}},
  {"\x1b]",        {VK_OEM_6,    ']',  A}},      // a string's start alone
  {"\x1bP",        {'P',         'P',  S | A}},
  {"\x1bX",        {'X',         'X',  S | A}},
  {"\x1b^",        {'6',         '^',  S | A}},
  {"\x1b_",        {VK_OEM_MINUS, '_', S | A}},
};
// clang-format on

TEST(Decode, EscapeRule) {
  for (const row& r : escape_rows) {
    SCOPED_TRACE(hex(r.in));
    EXPECT_EQ(keys(r.in), std::vector<key>{r.want});
  }
  // An ESC at the end of the input waits: nothing until the input pauses.
  EXPECT_TRUE(keys("\x1b", false).empty());
  EXPECT_TRUE(keys("\x1b[", false).empty());
  EXPECT_TRUE(keys("\xc3", false).empty());
  // Three ESCs: Alt+Escape, then a fresh ESC.
  EXPECT_EQ(keys("\x1b\x1b\x1b"), (std::vector<key>{{VK_ESCAPE, 0x1B, A}, {VK_ESCAPE, 0x1B, 0}}));
}

// A plain key for each byte typed, as the sequence arrived.
std::vector<key> typed(const std::string& s) {
  std::vector<key> out;
  for (char c : s) {
    std::vector<key> k =
        c == '\x1b' ? std::vector<key>{{VK_ESCAPE, 0x1B, 0}} : keys(std::string(1, c));
    out.insert(out.end(), k.begin(), k.end());
  }
  return out;
}

const char* const unknown_rows[] = {
    "\x1b[99~",    "\x1b[2A",     "\x1b[?25h",  "\x1bOz",     "\x1b[[Z",
    "\x1b[1;5:3A", "\x1b[5;3;1~", "\x1b[27;5~", "\x1bO1;A",   "\x1b[1 q",
    "\x1b[>5u",    "\x1b[1!$",    "\x1bO?A",    "\x1b[<1;2M", "\x1b[1;2;3A",
};

TEST(Decode, UnknownSequencesAreTypedOut) {
  for (const char* in : unknown_rows) {
    SCOPED_TRACE(hex(in));
    EXPECT_EQ(keys(in), typed(in));
  }
}

const struct {
  const char* in;
  const char* typed;  // what is typed out
  key then;           // the key of the byte that ended it
} malformed_rows[] = {
    {"\x1b[1;\x03", "\x1b[1;", {'C', 0x03, C}},
    {"\x1b[12;5\x7f", "\x1b[12;5", {VK_BACK, 0x08, 0}},
    {"\x1b[1\x1b[A", "\x1b[1", {VK_UP, 0, E}},
    {"\x1b[[\r", "\x1b[[", {VK_RETURN, '\r', 0}},
    {"\x1b[1;2\xc3\xa4", "\x1b[1;2", {VK_PACKET, 0xE4, 0}},
    {"\x1bO5\t", "\x1bO5", {VK_TAB, '\t', 0}},
    {"\x1b]11;\x1b[A", "\x1b]11;", {VK_UP, 0, E}},  // strings cut short
    {"\x1bP1$\r", "\x1bP1$", {VK_RETURN, '\r', 0}},
    {"\x1b_G\x1b\x1b", "\x1b_G", {VK_ESCAPE, 0x1B, A}},
};

// Too long to be sequences.
const std::string overlong_rows[] = {
    "\x1b[" + std::string(200, '1') + "A",
    "\x1b[" + std::string(100, ';') + "~",
    "\x1b[?" + std::string(150, ':') + "u",
    "\x1bO" + std::string(70, '5') + "P",
};

TEST(Decode, MalformedAndOverlongSequences) {
  for (const auto& r : malformed_rows) {
    SCOPED_TRACE(hex(r.in));
    std::vector<key> want = typed(r.typed);
    want.push_back(r.then);
    EXPECT_EQ(keys(r.in), want);
  }
  // ESC O cut short is Alt+Shift+O.
  EXPECT_EQ(keys("\x1bO\x01"), (std::vector<key>{{'O', 'O', S | A}, {'A', 0x01, C}}));

  // Given up and typed out, never held beyond SEQMAX bytes.
  for (const std::string& in : overlong_rows) {
    SCOPED_TRACE(hex(in));
    decoder d{};
    INPUT_RECORD step[STEPRECS];
    for (unsigned char b : in) {
      decode_byte(d, b, step);
      ASSERT_LE(d.len, SEQMAX);
    }
    EXPECT_FALSE(decode_pending(d));
    EXPECT_EQ(keys(in), typed(in));
  }
}

// A character the code page lacks: '?' on a key of its own.
constexpr int LACKING = 0x100 | '?';

// clang-format off
const struct { const char* in; std::vector<int> chars; } utf8_rows[] = {
  {"\xc3\xa4",         {0xE4}},                    // a umlaut
  {"\xc3\xbf",         {0xFF}},
  {"\xe2\x82\xac",     {0x80}},                    // euro sign
  {"\xc5\xb8",         {0x9F}},                    // Y diaeresis
  {"\xc2\x81",         {0x81}},                    // unused in the code page: kept
  {"\xc2\x80",         {LACKING}},                     // lacking in the code page
  {"\xc4\x81",         {LACKING}},
  {"\xf0\x9f\x98\x80", {LACKING}},
  {"\x80",             {0x80}},                    // invalid bytes, one by one
  {"\xff",             {0xFF}},
  {"\xf5",             {0xF5}},
  {"\xc3(",            {0xC3, '('}},
  {"\xe2\x82x",        {0xE2, 0x82, 'x'}},
  {"\xc0\xaf",         {0xC0, 0xAF}},              // overlong
  {"\xe0\x80\xaf",     {0xE0, 0x80, 0xAF}},
  {"\xed\xa0\x80",     {0xED, 0xA0, 0x80}},        // surrogate
  {"\xf4\x90\x80\x80", {0xF4, 0x90, 0x80, 0x80}},  // beyond U+10FFFF
  {"\xc3",             {0xC3}},                    // cut short, then a pause
  {"\xe2\x82",         {0xE2, 0x82}},
  {"\xc3\xa4\xc3\xb6", {0xE4, 0xF6}},
  {"\xc3\x1b[A",       {0xC3, -1}},                // -1: the Up key
};
// clang-format on

TEST(Decode, CharactersBeyondAscii) {
  for (const auto& r : utf8_rows) {
    SCOPED_TRACE(hex(r.in));
    std::vector<key> want;
    for (int c : r.chars)
      want.push_back(c < 0      ? key{VK_UP, 0, E}
                     : c < 0x80 ? keys(std::string(1, static_cast<char>(c)))[0]
                                : key{VK_PACKET, c & 0xFF, 0});
    EXPECT_EQ(keys(r.in), want);
    // With ESC in front, Alt goes with the first key.
    want[0].state |= A;
    EXPECT_EQ(keys(alted(r.in)), want);
  }
}

struct ev {
  WORD type;
  int x, y;
  DWORD buttons, flags, state;
};
// clang-format off
const struct { const char* in; std::vector<ev> want; } notkey_rows[] = {
  {"\x1b[I",           {{FOCUS_EVENT, 1, 0, 0, 0, 0}}},
  {"\x1b[<0;10;5M",    {{MOUSE_EVENT, 9, 4, FROM_LEFT_1ST_BUTTON_PRESSED, 0, 0}}},
  {"\x1b[<2;1;1M",     {{MOUSE_EVENT, 0, 0, RIGHTMOST_BUTTON_PRESSED, 0, 0}}},
  {"\x1b[<0;10;5m",    {{MOUSE_EVENT, 9, 4, 0, 0, 0}}},
  {"\x1b[<35;3;4M",    {{MOUSE_EVENT, 2, 3, 0, MOUSE_MOVED, 0}}},
  {"\x1b[<64;1;1M",    {{MOUSE_EVENT, 0, 0, 120u << 16, MOUSE_WHEELED, 0}}},
  {"\x1b[<65;1;1M",    {{MOUSE_EVENT, 0, 0, 0xFF88u << 16, MOUSE_WHEELED, 0}}},
  {"\x1b[<17;2;2M",    {{MOUSE_EVENT, 1, 1, FROM_LEFT_2ND_BUTTON_PRESSED, 0, C}}},
  {"\x1b[M !!",        {{MOUSE_EVENT, 0, 0, FROM_LEFT_1ST_BUTTON_PRESSED, 0, 0}}},
  {"\x1b[M#**",        {{MOUSE_EVENT, 9, 9, 0, 0, 0}}},
  {"\x1b[32;10;5M",    {{MOUSE_EVENT, 9, 4, FROM_LEFT_1ST_BUTTON_PRESSED, 0, 0}}},
  {"\x1b[?62;c",       {}},  // replies to queries
  {"\x1b[?64;1;2;6;9;15;16;17;18;21;22;28c", {}},
  {"\x1b[>1;10;0c",    {}},
  {"\x1b[?9001;0$y",   {}},
  {"\x1b[?0u",         {}},
  {"\x1b[24;80R",      {}},
  {"\x1b[0n",          {}},
  {"\x1b[8;24;80t",    {}},
  {"\x1b]11;rgb:0000/0000/0000\x1b\\", {}},  // strings: OSC, DCS, APC, PM, SOS
  {"\x1b]10;rgb:ffff/ffff/ffff\x07", {}},
  {"\x1bP1$r0m\x1b\\", {}},
  {"\x1b_Gi=1;OK\x1b\\", {}},
  {"\x1b^\xc3\xa4\x07", {}},
  {"\x1bX\x1b\\", {}},
};
// clang-format on

TEST(Decode, NotKeys) {
  for (const auto& r : notkey_rows) {
    SCOPED_TRACE(hex(r.in));
    // What follows decodes as usual.
    std::string in = std::string(r.in) + "x";
    std::vector<INPUT_RECORD> got = records(in);
    ASSERT_EQ(got.size(), r.want.size() + 2);
    for (size_t i = 0; i < r.want.size(); ++i) {
      const ev& w = r.want[i];
      ASSERT_EQ(got[i].EventType, w.type);
      if (w.type == FOCUS_EVENT) {
        EXPECT_EQ(got[i].Event.FocusEvent.bSetFocus, w.x);
        continue;
      }
      const MOUSE_EVENT_RECORD& m = got[i].Event.MouseEvent;
      EXPECT_EQ(m.dwMousePosition.X, w.x);
      EXPECT_EQ(m.dwMousePosition.Y, w.y);
      EXPECT_EQ(m.dwButtonState, w.buttons);
      EXPECT_EQ(m.dwEventFlags, w.flags);
      EXPECT_EQ(m.dwControlKeyState, w.state);
    }
    EXPECT_EQ(keys(in), (std::vector<key>{{'X', 'x', 0}}));
  }
}

// A string is dropped at any length; cut short by a pause, it is typed out
// as far as it was held.
TEST(Decode, LongStrings) {
  std::string body;
  while (body.size() < 3 * SEQMAX) body += "0123456789;";
  for (const char* end : {"\x07", "\x1b\\"}) {
    std::string in = "\x1b]52;c;" + body + end + "x";
    SCOPED_TRACE(hex(in));
    EXPECT_EQ(keys(in), (std::vector<key>{{'X', 'x', 0}}));
  }
  std::string in = "\x1bP" + body;
  EXPECT_EQ(keys(in), typed(in.substr(0, SEQMAX)));
}

// ---- Keyboard protocols ----------------------------------------------------

constexpr DWORD N = NUMLOCK_ON;
constexpr DWORD CAPS = CAPSLOCK_ON;
constexpr DWORD RC = RIGHT_CTRL_PRESSED;
constexpr DWORD RA = RIGHT_ALT_PRESSED;

// A key record with every field the key reader or a person could look at.
struct rec {
  bool down;
  WORD vk, scan;
  int ch;
  DWORD state;
  int repeat = 1;
  bool operator==(const rec& o) const {
    return down == o.down && vk == o.vk && scan == o.scan && ch == o.ch && state == o.state &&
           repeat == o.repeat;
  }
};

void PrintTo(const rec& r, std::ostream* os) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "{%s vk 0x%02X scan 0x%02X ch 0x%02X state 0x%03X repeat %d}",
                r.down ? "down" : "up", r.vk, r.scan, r.ch, static_cast<unsigned>(r.state),
                r.repeat);
  *os << buf;
}

std::vector<rec> recs(const std::string& in, keyproto proto) {
  std::vector<rec> out;
  for (const INPUT_RECORD& r : records(in, true, proto)) {
    const KEY_EVENT_RECORD& k = r.Event.KeyEvent;
    EXPECT_EQ(r.EventType, KEY_EVENT);
    out.push_back({k.bKeyDown != 0, k.wVirtualKeyCode, k.wVirtualScanCode,
                   static_cast<uint8_t>(k.uChar.AsciiChar), k.dwControlKeyState, k.wRepeatCount});
  }
  return out;
}

struct protorow {
  const char* in;
  std::vector<rec> want;
};

// clang-format off
const protorow win32_rows[] = {
  // The records of the protocol's own examples, as sent.
  {"\x1b[65;30;97;1;0;1_",   {{true,  'A',       0x1E, 'a',  0}}},
  {"\x1b[65;30;97;0;0;1_",   {{false, 'A',       0x1E, 'a',  0}}},
  {"\x1b[16;42;0;1;48;1_",   {{true,  VK_SHIFT,  0x2A, 0,    S | N}}},
  {"\x1b[112;59;0;1;8;1_",   {{true,  VK_F1,     0x3B, 0,    C}}},
  {"\x1b[13;28;13;1;256;1_", {{true,  VK_RETURN, 0x1C, '\r', E}}},   // keypad Enter
  {"\x1b[65;30;97;1;0;3_",   {{true,  'A',       0x1E, 'a',  0, 3}}},
  // Omitted values: 0, and 1 for the repeat count.
  {"\x1b[65;30;97;1_",       {{true,  'A',       0x1E, 'a',  0}}},
  {"\x1b[;;;1_",             {{true,  0,         0,    0,    0}}},
  {"\x1b[_",                 {{false, 0,         0,    0,    0}}},
  // The character in the code page, as ReadConsoleInputA gives it.
  {"\x1b[0;0;228;1;0;1_",    {{true,  0,         0,    0xE4, 0}}},
  {"\x1b[0;0;8364;1;0;1_",   {{true,  0,         0,    0x80, 0}}},
  {"\x1b[0;0;9786;1;0;1_",   {{true,  0,         0,    '?',  0}}},
  // A surrogate pair is one character; one half alone is one too.
  {"\x1b[231;0;55357;1;0;1_\x1b[231;0;56832;1;0;1_"
   "\x1b[231;0;55357;0;0;1_\x1b[231;0;56832;0;0;1_",
                             {{true, VK_PACKET, 0, '?', 0}, {false, VK_PACKET, 0, '?', 0}}},
  {"\x1b[231;0;55357;1;0;1_\x1b[231;0;55357;0;0;1_"
   "\x1b[231;0;56832;1;0;1_\x1b[231;0;56832;0;0;1_",
                             {{true, VK_PACKET, 0, '?', 0}, {false, VK_PACKET, 0, '?', 0}}},
  {"\x1b[0;0;56832;1;0;1_",  {{true,  0,         0,    '?',  0}}},
  {"\x1b[0;0;55357;1;0;1_\x1b[65;30;97;1;0;1_",
                             {{true,  0,         0,    '?',  0}, {true, 'A', 0x1E, 'a', 0}}},
};

// kitty's reports as a kitty release sends them with flags 31 pushed.
const protorow kitty_rows[] = {
  // Keys with a character: press, repeat, release; the character from the
  // text, the shifted key or the US layout, Ctrl's control characters.
  {"\x1b[97u",               {{true,  'A',        0x1E, 'a',  0}}},
  {"\x1b[97;1:2u",           {{true,  'A',        0x1E, 'a',  0}}},
  {"\x1b[97;1:3u",           {{false, 'A',        0x1E, 'a',  0}}},
  {"\x1b[97;;97u",           {{true,  'A',        0x1E, 'a',  0}}},
  {"\x1b[57441u\x1b[97:65;2;65u\x1b[97:65;2:3u\x1b[57441;2:3u",
                             {{true,  VK_SHIFT,   0x2A, 0,    S},
                              {true,  'A',        0x1E, 'A',  S},
                              {false, 'A',        0x1E, 'A',  S},
                              {false, VK_SHIFT,   0x2A, 0,    0}}},
  {"\x1b[97;2u",             {{true,  'A',        0x1E, 'A',  S}}},
  {"\x1b[97;65;65u",         {{true,  'A',        0x1E, 'A',  CAPS}}},
  {"\x1b[97;67u",            {{true,  'A',        0x1E, 'A',  A | CAPS}}},
  {"\x1b[97;66u",            {{true,  'A',        0x1E, 'a',  S | CAPS}}},
  {"\x1b[98:66;68u",         {{true,  'B',        0x30, 'b',  S | A | CAPS}}},
  {"\x1b[228;67u",           {{true,  VK_PACKET,  0,    0xC4, A | CAPS}}},
  {"\x1b[97;5u",             {{true,  'A',        0x1E, 0x01, C}}},
  {"\x1b[97;3u",             {{true,  'A',        0x1E, 'a',  A}}},
  {"\x1b[97;7u",             {{true,  'A',        0x1E, 0,    C | A}}},
  {"\x1b[97;131u",           {{true,  'A',        0x1E, 'a',  A | N}}},
  {"\x1b[49:33;2;33u",       {{true,  '1',        0x02, '!',  S}}},
  {"\x1b[49;2u",             {{true,  '1',        0x02, '!',  S}}},
  {"\x1b[50;6u",             {{true,  '2',        0x03, 0,    S | C}}},
  {"\x1b[91;5u",             {{true,  VK_OEM_4,   0x1A, 0x1B, C}}},
  {"\x1b[32;5u",             {{true,  VK_SPACE,   0x39, ' ',  C}}},
  {"\x1b[228;;228u",         {{true,  VK_PACKET,  0,    0xE4, 0}}},
  {"\x1b[0;;8364u",          {{true,  VK_PACKET,  0,    0x80, 0}}},
  {"\x1b[97;;97:228u",       {{true,  'A',        0x1E, 'a',  0},
                              {true,  VK_PACKET,  0,    0xE4, 0},
                              {false, VK_PACKET,  0,    0xE4, 0}}},
  // Enter, Tab, Backspace and Escape, which legacy input sends as bytes.
  {"\x1b[13u",               {{true,  VK_RETURN,  0x1C, '\r', 0}}},
  {"\x1b[13;1:3u",           {{false, VK_RETURN,  0x1C, '\r', 0}}},
  {"\x1b[13;5u",             {{true,  VK_RETURN,  0x1C, '\n', C}}},
  {"\x1b[13;3u",             {{true,  VK_RETURN,  0x1C, '\r', A}}},
  {"\x1b[9u",                {{true,  VK_TAB,     0x0F, '\t', 0}}},
  {"\x1b[9;2u",              {{true,  VK_TAB,     0x0F, '\t', S}}},
  {"\x1b[9;5u",              {{true,  VK_TAB,     0x0F, 0,    C}}},
  {"\x1b[127u",              {{true,  VK_BACK,    0x0E, 0x08, 0}}},
  {"\x1b[127;5u",            {{true,  VK_BACK,    0x0E, 0x7F, C}}},
  {"\x1b[27u",               {{true,  VK_ESCAPE,  0x01, 0x1B, 0}}},
  {"\x1b[27;129u",           {{true,  VK_ESCAPE,  0x01, 0x1B, N}}},
  // Keys kept in their legacy form; releases carry the full parameters.
  {"\x1b[A",                 {{true,  VK_UP,      0x48, 0,    E}}},
  {"\x1b[1;1:3A",            {{false, VK_UP,      0x48, 0,    E}}},
  {"\x1b[1;129A",            {{true,  VK_UP,      0x48, 0,    E | N}}},
  {"\x1b[1;5D",              {{true,  VK_LEFT,    0x4B, 0,    E | C}}},
  {"\x1b[H",                 {{true,  VK_HOME,    0x47, 0,    E}}},
  {"\x1b[1;2F",              {{true,  VK_END,     0x4F, 0,    E | S}}},
  {"\x1b[2~",                {{true,  VK_INSERT,  0x52, 0,    E}}},
  {"\x1b[3;1:3~",            {{false, VK_DELETE,  0x53, 0,    E}}},
  {"\x1b[6;2~",              {{true,  VK_NEXT,    0x51, 0,    E | S}}},
  {"\x1b[P",                 {{true,  VK_F1,      0x3B, 0,    0}}},
  {"\x1b[R",                 {{true,  VK_F3,      0x3D, 0,    0}}},  // older releases
  {"\x1b[1;2R",              {{true,  VK_F3,      0x3D, 0,    S}}},
  {"\x1b[1;1:3R",            {{false, VK_F3,      0x3D, 0,    0}}},
  {"\x1b[13~",               {{true,  VK_F3,      0x3D, 0,    0}}},
  {"\x1b[15;5~",             {{true,  VK_F5,      0x3F, 0,    C}}},
  {"\x1b[24~",               {{true,  VK_F12,     0x58, 0,    0}}},
  {"\x1b[29~",               {{true,  VK_APPS,    0x5D, 0,    E}}},
  {"\x1b[57376u",            {{true,  VK_F13,     0x64, 0,    0}}},
  {"\x1b[57363u",            {{true,  VK_APPS,    0x5D, 0,    E}}},
  // Keypad, NumLock off: the grey keys' codes without ENHANCED_KEY; the
  // operators keep their text. NumLock on: the digits.
  {"\x1b[E",                 {{true,  VK_CLEAR,   0x4C, 0,    0}}},
  {"\x1b[1;1:3E",            {{false, VK_CLEAR,   0x4C, 0,    0}}},
  {"\x1b[57427u",            {{true,  VK_CLEAR,   0x4C, 0,    0}}},
  {"\x1b[57419u",            {{true,  VK_UP,      0x48, 0,    0}}},
  {"\x1b[57425u",            {{true,  VK_INSERT,  0x52, 0,    0}}},
  {"\x1b[57426;1:3u",        {{false, VK_DELETE,  0x53, 0,    0}}},
  {"\x1b[57424;2u",          {{true,  VK_END,     0x4F, 0,    S}}},
  {"\x1b[57410;;47u",        {{true,  VK_DIVIDE,  0x35, '/',  E}}},
  {"\x1b[57411;;42u",        {{true,  VK_MULTIPLY, 0x37, '*', 0}}},
  {"\x1b[57412;;45u",        {{true,  VK_SUBTRACT, 0x4A, '-', 0}}},
  {"\x1b[57413;;43u",        {{true,  VK_ADD,     0x4E, '+',  0}}},
  {"\x1b[57414u",            {{true,  VK_RETURN,  0x1C, '\r', E}}},
  {"\x1b[57414;5u",          {{true,  VK_RETURN,  0x1C, '\n', E | C}}},
  {"\x1b[57407;129;56u",     {{true,  VK_NUMPAD8, 0x48, '8',  N}}},
  {"\x1b[57399;129;48u",     {{true,  VK_NUMPAD0, 0x52, '0',  N}}},
  {"\x1b[57409;129;46u",     {{true,  VK_DECIMAL, 0x53, '.',  N}}},
  {"\x1b[57404;129:3u",      {{false, VK_NUMPAD5, 0x4C, '5',  N}}},
  {"\x1b[57407;133u",        {{true,  VK_NUMPAD8, 0x48, 0,    C | N}}},
  {"\x1b[57411;129;42u",     {{true,  VK_MULTIPLY, 0x37, '*', N}}},
  // Without lock bits (xterm.js): NumLock as the keys tell it. A digit
  // needs it on, the NumLock key turns it over; keypad 5 without text is
  // the centre key until a key has told.
  {"\x1b[57407u",            {{true,  VK_NUMPAD8, 0x48, '8',  N}}},
  {"\x1b[57404u",            {{true,  VK_CLEAR,   0x4C, 0,    0}}},
  {"\x1b[57406u\x1b[57404;1:3u",
                             {{true,  VK_NUMPAD7, 0x47, '7',  N},
                              {false, VK_NUMPAD5, 0x4C, '5',  N}}},
  {"\x1b[57406u\x1b[57411u\x1b[57360u\x1b[57360;1:3u\x1b[57411u",
                             {{true,  VK_NUMPAD7, 0x47, '7',  N},
                              {true,  VK_MULTIPLY, 0x37, '*', N},
                              {true,  VK_NUMLOCK, 0x45, 0,    E},
                              {false, VK_NUMLOCK, 0x45, 0,    E},
                              {true,  VK_MULTIPLY, 0x37, '*', 0}}},
  // Where a report has carried a lock bit, none means off.
  {"\x1b[97;129u\x1b[57411u",  {{true,  'A',        0x1E, 'a',  N},
                              {true,  VK_MULTIPLY, 0x37, '*', 0}}},
  // Shift with NumLock on: the other key, Shift cancelled for it.
  {"\x1b[57419;130u",        {{true,  VK_UP,      0x48, 0,    N}}},
  {"\x1b[57407;130u",        {{true,  VK_UP,      0x48, 0,    N}}},
  {"\x1b[1;130E",            {{true,  VK_CLEAR,   0x4C, 0,    N}}},
  // Modifier keys: a press counts its own bit, a release drops it; Ctrl
  // and Alt on the right are enhanced and keep their side.
  {"\x1b[57443;129u",        {{true,  VK_MENU,    0x38, 0,    A | N}}},
  {"\x1b[57443;3u",          {{true,  VK_MENU,    0x38, 0,    A}}},
  {"\x1b[57442u\x1b[57441;5u\x1b[57441;6:3u\x1b[57442;5:3u",
                             {{true,  VK_CONTROL, 0x1D, 0,    C},
                              {true,  VK_SHIFT,   0x2A, 0,    S | C},
                              {false, VK_SHIFT,   0x2A, 0,    C},
                              {false, VK_CONTROL, 0x1D, 0,    0}}},
  {"\x1b[57448u\x1b[97;5u\x1b[57448;5:3u",
                             {{true,  VK_CONTROL, 0x1D, 0,    E | RC},
                              {true,  'A',        0x1E, 0x01, RC},
                              {false, VK_CONTROL, 0x1D, 0,    E}}},
  {"\x1b[57449u\x1b[57449;3:3u",
                             {{true,  VK_MENU,    0x38, 0,    E | RA},
                              {false, VK_MENU,    0x38, 0,    E}}},
  {"\x1b[57447u\x1b[57441;2u\x1b[57447;2:3u\x1b[57441;2:3u",
                             {{true,  VK_SHIFT,   0x36, 0,    S},
                              {true,  VK_SHIFT,   0x2A, 0,    S},
                              {false, VK_SHIFT,   0x36, 0,    S},
                              {false, VK_SHIFT,   0x2A, 0,    0}}},
  // A release the terminal did not report is taken as done.
  {"\x1b[57448u\x1b[97u\x1b[97;5u",
                             {{true,  VK_CONTROL, 0x1D, 0,    E | RC},
                              {true,  'A',        0x1E, 'a',  0},
                              {true,  'A',        0x1E, 0x01, C}}},
  {"\x1b[57360;129u",        {{true,  VK_NUMLOCK, 0x45, 0,    E | N}}},
  {"\x1b[57358;65u",         {{true,  VK_CAPITAL, 0x3A, 0,    CAPS}}},
  // Keys no Windows keyboard has.
  {"\x1b[57453u",            {}},
  {"\x1b[57445;1:3u",        {}},
  {"\x1b[57398u",            {}},
  // Several reports in one read.
  {"\x1b[104u\x1b[104;1:3u\x1b[105u\x1b[105;1:3u",
                             {{true,  'H',        0x23, 'h',  0},
                              {false, 'H',        0x23, 'h',  0},
                              {true,  'I',        0x17, 'i',  0},
                              {false, 'I',        0x17, 'i',  0}}},
};
// clang-format on

TEST(Decode, Win32InputModeReports) {
  for (const auto& r : win32_rows) {
    SCOPED_TRACE(hex(r.in));
    // Taken whatever the protocol: a terminal already in the mode is read
    // right before its answer says so.
    for (keyproto proto : {PROTO_WIN32, PROTO_LEGACY, PROTO_KITTY})
      EXPECT_EQ(recs(r.in, proto), r.want) << proto;
  }
}

TEST(Decode, KittyReports) {
  for (const auto& r : kitty_rows) {
    SCOPED_TRACE(hex(r.in));
    EXPECT_EQ(recs(r.in, PROTO_KITTY), r.want);
  }
}

TEST(Decode, MalformedReportsAreTypedOut) {
  const std::pair<const char*, keyproto> rows[] = {
      {"\x1b[70000;30;97;1;0;1_", PROTO_WIN32},
      {"\x1b[65;30;70000;1;0;1_", PROTO_WIN32},
      {"\x1b[65:1;30;97;1;0;1_", PROTO_WIN32},
      {"\x1b[?65;30;97;1;0;1_", PROTO_WIN32},
      {"\x1b[97;1:4u", PROTO_KITTY},
      {"\x1b[97:65:97:1;2u", PROTO_KITTY},
      {"\x1b[2;1;1~", PROTO_KITTY},
      {"\x1b[99~", PROTO_KITTY},
  };
  for (const auto& [in, proto] : rows) {
    SCOPED_TRACE(hex(in));
    std::vector<key> got;
    for (const INPUT_RECORD& r : records(in, true, proto))
      if (r.Event.KeyEvent.bKeyDown && !modifier(r.Event.KeyEvent.wVirtualKeyCode))
        got.push_back({r.Event.KeyEvent.wVirtualKeyCode,
                       static_cast<uint8_t>(r.Event.KeyEvent.uChar.AsciiChar),
                       r.Event.KeyEvent.dwControlKeyState});
    EXPECT_EQ(got, typed(in));
  }
}

// Reports mean what their protocol says; legacy input keeps its meaning.
TEST(Decode, ProtocolDecidesTheMeaning) {
  EXPECT_EQ(keys("\x1b[97;5u"), (std::vector<key>{{'A', 0x01, C}}));
  EXPECT_EQ(records("\x1b[97;5u").size(), 4u);  // a whole press, Ctrl around it
  EXPECT_EQ(records("\x1b[97;5u", true, PROTO_KITTY).size(), 1u);
  EXPECT_EQ(keys("\x1b[1;1:3A"), typed("\x1b[1;1:3A"));
  // Bytes outside reports are whole key presses in any protocol.
  for (keyproto proto : {PROTO_KITTY, PROTO_WIN32})
    EXPECT_EQ(recs("q", proto),
              (std::vector<rec>{{true, 'Q', 0x10, 'q', 0}, {false, 'Q', 0x10, 'q', 0}}));
  // Under a protocol Alt is in the report: ESC ESC is the Escape key, then
  // what follows.
  EXPECT_EQ(recs("\x1b\x1b[27u", PROTO_KITTY),
            (std::vector<rec>{{true, VK_ESCAPE, 0x01, 0x1B, 0},
                              {false, VK_ESCAPE, 0x01, 0x1B, 0},
                              {true, VK_ESCAPE, 0x01, 0x1B, 0}}));
  EXPECT_EQ(keys("\x1b\x1b[A"), (std::vector<key>{{VK_UP, 0, E | A}}));
}

// clang-format off
const struct { const char* in; uint8_t seen; } reply_rows[] = {
  {"\x1b[?62;c",                             SEEN_DA1},
  {"\x1b[?1;2c",                             SEEN_DA1 | SEEN_VT100},  // xterm.js
  {"\x1b[?1;0c",                             SEEN_DA1},
  {"\x1b[?64;1;2;6;9;15;16;17;18;21;22;28c", SEEN_DA1},
  {"\x1b[>1;10;0c",                          0},  // secondary attributes
  {"\x1b[?0u",                               SEEN_KITTY},
  {"\x1b[?31u",                              SEEN_KITTY},
  {"\x1b[?u",                                0},  // no flags: the query itself
  {"\x1b[?9001;0$y",                         0},  // mode not recognised
  {"\x1b[?9001;1$y",                         SEEN_W32ON},
  {"\x1b[?9001;2$y",                         SEEN_W32},
  {"\x1b[?9001;3$y",                         SEEN_W32ON},
  {"\x1b[?9001;4$y",                         0},  // permanently reset
  {"\x1b[?9001$y",                           0},
  {"\x1b[?66;1$y",                           SEEN_KPAM},
  {"\x1b[?66;3$y",                           SEEN_KPAM},
  {"\x1b[?66;2$y",                           0},  // normal keypad
  {"\x1b[?66;0$y",                           0},
  {"\x1b[?1;1$y",                            SEEN_DECCKM},
  {"\x1b[?1;2$y",                            0},  // normal cursor keys
  {"\x1b[?25;1$y",                           0},  // another mode
  {"\x1b[>4;0m",                             SEEN_MODKEYS},  // XTQMODKEYS
  {"\x1b[>4m",                               SEEN_MODKEYS},  // no level given
  {"\x1b[>4;4m",                             0},  // beyond the levels there are
  {"\x1b[>1;2m",                             0},  // another resource
};
// clang-format on

TEST(Decode, RepliesToTheKeyboardQueries) {
  for (const auto& r : reply_rows) {
    SCOPED_TRACE(hex(r.in));
    for (keyproto proto : {PROTO_LEGACY, PROTO_KITTY, PROTO_WIN32}) {
      decoder d{};
      d.proto = proto;
      INPUT_RECORD step[STEPRECS];
      for (unsigned char b : std::string(r.in)) EXPECT_EQ(decode_byte(d, b, step), 0);
      EXPECT_EQ(d.replies, r.seen);
      EXPECT_FALSE(decode_pending(d));
    }
  }
  // All of them in one read, as a terminal answers.
  decoder d{};
  INPUT_RECORD step[STEPRECS];
  for (unsigned char b : std::string("\x1b[?9001;2$y\x1b[?0u\x1b[?66;1$y\x1b[?1;1$y\x1b[?62;c"))
    decode_byte(d, b, step);
  EXPECT_EQ(d.replies, SEEN_W32 | SEEN_KITTY | SEEN_KPAM | SEEN_DECCKM | SEEN_DA1);
  // A reply is never typed with Alt: an ESC before it was the Escape key.
  EXPECT_EQ(keys("\x1b\x1b[?62;c"), (std::vector<key>{{VK_ESCAPE, 0x1B, 0}}));
}

// Every test input above, with ESC in front too, and every single byte;
// the protocol reports in their protocol.
std::vector<std::pair<std::string, keyproto>> corpus() {
  std::vector<std::pair<std::string, keyproto>> out;
  auto add = [&](const std::string& in, keyproto proto = PROTO_LEGACY) {
    out.push_back({in, proto});
    out.push_back({alted(in), proto});
  };
  for (const row& r : cursor_rows) add(r.in);
  for (const row& r : function_rows) add(r.in);
  for (const row& r : keypad_rows) add(r.in);
  for (const row& r : st_rows) add(r.in);
  for (const row& r : modified_rows) add(r.in);
  for (const row& r : escape_rows) add(r.in);
  for (const char* in : unknown_rows) add(in);
  for (const auto& r : malformed_rows) add(r.in);
  for (const auto& r : bare_rows) {
    std::string in;
    for (const std::string& read : r.reads) in += read;
    add(in);
  }
  for (const std::string& in : overlong_rows) add(in);
  for (const auto& r : utf8_rows) add(r.in);
  for (const auto& r : notkey_rows) add(std::string(r.in) + "x");
  for (int b = 0; b < 0x100; ++b) add(std::string(1, static_cast<char>(b)));
  for (const auto& r : win32_rows) {
    add(r.in);
    add(r.in, PROTO_WIN32);
  }
  for (const auto& r : kitty_rows) add(r.in, PROTO_KITTY);
  for (const auto& r : reply_rows) add(r.in);
  return out;
}

// Fed in two chunks split anywhere, or with room for just one step's
// records at a time, every input decodes as it does whole.
TEST(Decode, ChunkSplitInvariance) {
  auto run = [](const std::string& in, keyproto proto, size_t cut, int room) {
    decoder d{};
    d.proto = proto;
    std::vector<INPUT_RECORD> out(in.size() * KEYRECS + STEPRECS);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(in.data());
    size_t k = 0, from = 0;
    for (size_t to : {cut, in.size()}) {
      while (from < to) {
        int used;
        k += decode(d, p + from, static_cast<int>(to - from), out.data() + k, room, &used);
        if (used < 1) ADD_FAILURE() << "no progress";
        if (used < 1) break;
        from += used;
      }
    }
    k += decode_flush(d, out.data() + k);
    out.resize(k);
    return out;
  };
  auto same = [](const std::vector<INPUT_RECORD>& a, const std::vector<INPUT_RECORD>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0);
  };
  for (const auto& [in, proto] : corpus()) {
    SCOPED_TRACE(hex(in) + " protocol " + std::to_string(proto));
    std::vector<INPUT_RECORD> whole = run(in, proto, in.size(), 1 << 20);
    ASSERT_TRUE(same(whole, records(in, true, proto)));
    for (size_t cut = 0; cut < in.size(); ++cut)
      ASSERT_TRUE(same(whole, run(in, proto, cut, 1 << 20)));
    ASSERT_TRUE(same(whole, run(in, proto, 0, STEPRECS)));
  }
}

// keybytes-trace's lines for every input above: read from a terminal (the
// emulated console telling each decode step) and read as saved bytes, the
// same. On the terminal, once the input is decoded and nothing is pending,
// a CR follows it, whose lines are cut off: the only way to know that a
// read that made no record is over.
namespace traced {
std::string lines;
int master;
size_t want, seen, cut;
tracer tr;
void write(const char* s, int n) { lines.append(s, static_cast<size_t>(n)); }
void onstep(const terminput& t, const uint8_t* bytes, int n, const INPUT_RECORD* recs, int k) {
  trace_step(tr, t.dec, bytes, n, recs, k);
  seen += static_cast<size_t>(n);
  if (seen == want && !cut && !decode_pending(t.dec) && ::write(master, "\r", 1) == 1)
    cut = lines.size();
}
}  // namespace traced

TEST(Decode, TraceOfSavedBytesIsTheTraceOfTheTerminal) {
  int tty;
  ASSERT_EQ(openpty(&traced::master, &tty, nullptr, nullptr, nullptr), 0);
  termios raw;
  tcgetattr(tty, &raw);
  cfmakeraw(&raw);
  tcsetattr(tty, TCSANOW, &raw);
  for (const auto& [in, proto] : corpus()) {
    // Under a protocol what is unfinished waits for its rest however long.
    decoder d{};
    d.proto = proto;
    INPUT_RECORD step[STEPRECS];
    for (unsigned char b : in) decode_byte(d, b, step);
    decode_readend(d, step);
    if (proto != PROTO_LEGACY && decode_pending(d)) continue;
    SCOPED_TRACE(hex(in) + " protocol " + std::to_string(proto));

    std::string saved;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(::write(p[1], in.data(), in.size()), static_cast<ssize_t>(in.size()));
    close(p[1]);
    traced::lines.clear();
    traced::tr = {traced::write, "\n", {}, 0, 0, false};
    EXPECT_TRUE(trace_saved(traced::tr, p[0], proto));
    close(p[0]);
    saved.swap(traced::lines);

    terminput t{tty, {}, {}, 0, 0, {}, 0, 0};
    t.dec.proto = proto;
    t.onstep = traced::onstep;
    traced::tr = {traced::write, "\n", {}, 0, 0, false};
    traced::want = in.size();
    traced::seen = traced::cut = 0;
    ASSERT_EQ(::write(traced::master, in.data(), in.size()), static_cast<ssize_t>(in.size()));
    // All of it readable at once, as from a pipe.
    for (int ready = 0, i = 0; ready < static_cast<int>(in.size()) && i < 1000; ++i)
      if (ioctl(tty, FIONREAD, &ready) != 0 || ready < static_cast<int>(in.size())) usleep(100);
    INPUT_RECORD recs[QCAP];
    while (traced::seen <= in.size()) ASSERT_GT(term_read(t, recs, QCAP), 0);
    EXPECT_EQ(traced::lines.substr(0, traced::cut), saved);
  }
  close(tty);
  close(traced::master);
}

}  // namespace
