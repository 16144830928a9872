// What terminal input means on a US keyboard layout: which key, with which
// character and modifiers, each byte and escape sequence stands for. Data
// only; the decoder (platform/decode.cpp and its pieces) reads it.
#pragma once

#include <cstdint>

#include "platform/console.h"

namespace vt {

constexpr DWORD S = SHIFT_PRESSED;
constexpr DWORD C = LEFT_CTRL_PRESSED;
constexpr DWORD A = LEFT_ALT_PRESSED;
constexpr DWORD E = ENHANCED_KEY;

// A key: its virtual-key code, its character (0 for none) and the state
// bits it is pressed with. `code` is what selects the row.
struct keydef {
  int code;
  WORD vk;
  uint8_t ch;
  DWORD state;
};

// clang-format off

// C0 bytes, indexed by the byte. ESC is the Escape key only when it starts
// no sequence.
constexpr keydef c0keys[] = {
  {0x00, '2',          0x00, C | S},  // Ctrl+Shift+2 (Ctrl+@)
  {0x01, 'A',          0x01, C},
  {0x02, 'B',          0x02, C},
  {0x03, 'C',          0x03, C},
  {0x04, 'D',          0x04, C},
  {0x05, 'E',          0x05, C},
  {0x06, 'F',          0x06, C},
  {0x07, 'G',          0x07, C},
  {0x08, 'H',          0x08, C},      // Ctrl+H; Backspace sends 0x7F
  {0x09, VK_TAB,       0x09, 0},
  {0x0A, VK_RETURN,    0x0A, C},      // Ctrl+Enter
  {0x0B, 'K',          0x0B, C},
  {0x0C, 'L',          0x0C, C},
  {0x0D, VK_RETURN,    0x0D, 0},
  {0x0E, 'N',          0x0E, C},
  {0x0F, 'O',          0x0F, C},
  {0x10, 'P',          0x10, C},
  {0x11, 'Q',          0x11, C},
  {0x12, 'R',          0x12, C},
  {0x13, 'S',          0x13, C},
  {0x14, 'T',          0x14, C},
  {0x15, 'U',          0x15, C},
  {0x16, 'V',          0x16, C},
  {0x17, 'W',          0x17, C},
  {0x18, 'X',          0x18, C},
  {0x19, 'Y',          0x19, C},
  {0x1A, 'Z',          0x1A, C},
  {0x1B, VK_ESCAPE,    0x1B, 0},
  {0x1C, VK_OEM_5,     0x1C, C},      // Ctrl+backslash
  {0x1D, VK_OEM_6,     0x1D, C},      // Ctrl+]
  {0x1E, '6',          0x1E, C | S},  // Ctrl+^
  {0x1F, VK_OEM_MINUS, 0x1F, C | S},  // Ctrl+_
};

// DEL: what Backspace sends; the Windows console gives it as 0x08.
constexpr keydef delkey = {0x7F, VK_BACK, 0x08, 0};

// Printable ASCII other than letters and digits (letters are their
// upper-case key, with Shift for capitals; digits are their own key).
constexpr keydef punctkeys[] = {
  {' ',  VK_SPACE,      ' ',  0},
  {'!',  '1',           '!',  S},
  {'"',  VK_OEM_7,      '"',  S},
  {'#',  '3',           '#',  S},
  {'$',  '4',           '$',  S},
  {'%',  '5',           '%',  S},
  {'&',  '7',           '&',  S},
  {'\'', VK_OEM_7,      '\'', 0},
  {'(',  '9',           '(',  S},
  {')',  '0',           ')',  S},
  {'*',  '8',           '*',  S},
  {'+',  VK_OEM_PLUS,   '+',  S},
  {',',  VK_OEM_COMMA,  ',',  0},
  {'-',  VK_OEM_MINUS,  '-',  0},
  {'.',  VK_OEM_PERIOD, '.',  0},
  {'/',  VK_OEM_2,      '/',  0},
  {':',  VK_OEM_1,      ':',  S},
  {';',  VK_OEM_1,      ';',  0},
  {'<',  VK_OEM_COMMA,  '<',  S},
  {'=',  VK_OEM_PLUS,   '=',  0},
  {'>',  VK_OEM_PERIOD, '>',  S},
  {'?',  VK_OEM_2,      '?',  S},
  {'@',  '2',           '@',  S},
  {'[',  VK_OEM_4,      '[',  0},
  {'\\', VK_OEM_5,      '\\', 0},
  {']',  VK_OEM_6,      ']',  0},
  {'^',  '6',           '^',  S},
  {'_',  VK_OEM_MINUS,  '_',  S},
  {'`',  VK_OEM_3,      '`',  0},
  {'{',  VK_OEM_4,      '{',  S},
  {'|',  VK_OEM_5,      '|',  S},
  {'}',  VK_OEM_6,      '}',  S},
  {'~',  VK_OEM_3,      '~',  S},
};

// What Ctrl makes of a key's character, beyond letters (which give
// 0x01-0x1A, with or without Shift); `state` is the Shift the key needs.
// Other keys, and these with the other Shift, have none: the US layout
// has a Ctrl+Shift character only for 2, 6 and -.
constexpr keydef ctrlchars[] = {
  {0x1B, VK_OEM_4,     0x1B, 0},
  {0x1C, VK_OEM_5,     0x1C, 0},
  {0x1D, VK_OEM_6,     0x1D, 0},
  {0x0A, VK_RETURN,    0x0A, 0},
  {0x7F, VK_BACK,      0x7F, 0},
  {0x20, VK_SPACE,     0x20, 0},
  {0x1B, VK_ESCAPE,    0x1B, 0},
  {0x00, '2',          0x00, S},
  {0x1E, '6',          0x1E, S},
  {0x1F, VK_OEM_MINUS, 0x1F, S},
};

// CSI finals that name a key: CSI X, CSI 1 ; m X.
constexpr keydef csikeys[] = {
  {'A', VK_UP,    0,    E},
  {'B', VK_DOWN,  0,    E},
  {'C', VK_RIGHT, 0,    E},
  {'D', VK_LEFT,  0,    E},
  {'H', VK_HOME,  0,    E},
  {'F', VK_END,   0,    E},
  {'E', VK_CLEAR, 0,    0},      // keypad 5, NumLock off (xterm)
  {'G', VK_CLEAR, 0,    0},      // keypad 5, NumLock off (Linux console)
  {'P', VK_F1,    0,    0},      // CSI 1 ; m P (bare CSI P: st's Delete)
  {'Q', VK_F2,    0,    0},
  {'R', VK_F3,    0,    0},
  {'S', VK_F4,    0,    0},
  {'Z', VK_TAB,   '\t', S},      // Shift+Tab
  {'a', VK_UP,    0,    E | S},  // rxvt Shift+arrows
  {'b', VK_DOWN,  0,    E | S},
  {'c', VK_RIGHT, 0,    E | S},
  {'d', VK_LEFT,  0,    E | S},
};

// SS3 finals that name a key: ESC O X, ESC O m X.
constexpr keydef ss3keys[] = {
  {'A', VK_UP,        0,    E},
  {'B', VK_DOWN,      0,    E},
  {'C', VK_RIGHT,     0,    E},
  {'D', VK_LEFT,      0,    E},
  {'H', VK_HOME,      0,    E},
  {'F', VK_END,       0,    E},
  {'E', VK_CLEAR,     0,    0},
  {'G', VK_CLEAR,     0,    0},
  {'P', VK_F1,        0,    0},
  {'Q', VK_F2,        0,    0},
  {'R', VK_F3,        0,    0},
  {'S', VK_F4,        0,    0},
  {'a', VK_UP,        0,    E | C},  // rxvt Ctrl+arrows
  {'b', VK_DOWN,      0,    E | C},
  {'c', VK_RIGHT,     0,    E | C},
  {'d', VK_LEFT,      0,    E | C},
  {'M', VK_RETURN,    '\r', E},      // application keypad: Enter, / * - +
  {'o', VK_DIVIDE,    '/',  E},
  {'j', VK_MULTIPLY,  '*',  0},
  {'m', VK_SUBTRACT,  '-',  0},
  {'k', VK_ADD,       '+',  0},
  {'p', VK_INSERT,    0,    0},      // rxvt's keypad with NumLock off: 0-9 .
  {'q', VK_END,       0,    0},      // (the grey keys' codes, not enhanced)
  {'r', VK_DOWN,      0,    0},
  {'s', VK_NEXT,      0,    0},
  {'t', VK_LEFT,      0,    0},
  {'u', VK_CLEAR,     0,    0},
  {'v', VK_RIGHT,     0,    0},
  {'w', VK_HOME,      0,    0},
  {'x', VK_UP,        0,    0},
  {'y', VK_PRIOR,     0,    0},
  {'n', VK_DELETE,    0,    0},
};

// Numbered keys: CSI n ~, CSI n ; m ~, and rxvt's other finals.
constexpr keydef tildekeys[] = {
  { 1, VK_HOME,   0, E},  // VT220 Find, Linux console Home
  { 2, VK_INSERT, 0, E},
  { 3, VK_DELETE, 0, E},
  { 4, VK_END,    0, E},  // VT220 Select, Linux console End
  { 5, VK_PRIOR,  0, E},
  { 6, VK_NEXT,   0, E},
  { 7, VK_HOME,   0, E},  // rxvt
  { 8, VK_END,    0, E},  // rxvt
  {11, VK_F1,     0, 0},
  {12, VK_F2,     0, 0},
  {13, VK_F3,     0, 0},
  {14, VK_F4,     0, 0},
  {15, VK_F5,     0, 0},
  {17, VK_F6,     0, 0},
  {18, VK_F7,     0, 0},
  {19, VK_F8,     0, 0},
  {20, VK_F9,     0, 0},
  {21, VK_F10,    0, 0},
  {23, VK_F11,    0, 0},
  {24, VK_F12,    0, 0},
  {25, VK_F13,    0, 0},
  {26, VK_F14,    0, 0},
  {28, VK_F15,    0, 0},
  {29, VK_F16,    0, 0},
  {31, VK_F17,    0, 0},
  {32, VK_F18,    0, 0},
  {33, VK_F19,    0, 0},
  {34, VK_F20,    0, 0},
};

// Finals of numbered keys and the modifiers they add (rxvt's $ ^ @).
constexpr keydef tildefinals[] = {
  {'~', 0, 0, 0},
  {'$', 0, 0, S},
  {'^', 0, 0, C},
  {'@', 0, 0, C | S},
};

// st's own forms of the editing keys (in its normal keypad mode): a final
// with at most one parameter, -1 when there is none. st drops Alt and other
// modifiers it has no form for, so each form is one key. Its Ctrl+Delete,
// a bare CSI M, is told from a mouse report by nothing following it.
struct stform {
  uint8_t final;
  int32_t param;
  keydef key;
};
constexpr stform stkeys[] = {
  {'P', -1, {0, VK_DELETE, 0, E}},
  {'K',  2, {0, VK_DELETE, 0, E | S}},
  {'M', -1, {0, VK_DELETE, 0, E | C}},
  {'h',  4, {0, VK_INSERT, 0, E}},
  {'L', -1, {0, VK_INSERT, 0, E | C}},
  {'J',  2, {0, VK_HOME,   0, E | S}},
  {'K', -1, {0, VK_END,    0, E | S}},
  {'J', -1, {0, VK_END,    0, E | C}},
};

// What ESC starts a string with: DCS, SOS, OSC, PM, APC. Terminals send
// strings only as replies (colours, capabilities, clipboard).
constexpr char stringstarts[] = "PX]^_";

// The Linux console's F1-F5: ESC [ [ A to ESC [ [ E.
constexpr keydef linuxfkeys[] = {
  {'A', VK_F1, 0, 0},
  {'B', VK_F2, 0, 0},
  {'C', VK_F3, 0, 0},
  {'D', VK_F4, 0, 0},
  {'E', VK_F5, 0, 0},
};

// Replies to queries: no key. `code` is the final, `vk` the private marker,
// `ch` the intermediate.
constexpr keydef replies[] = {
  {'c', '?', 0,   0},  // primary device attributes
  {'c', '>', 0,   0},  // secondary device attributes
  {'y', '?', '$', 0},  // private mode report
  {'u', '?', 0,   0},  // keyboard protocol flags
  {'n', 0,   0,   0},  // device status
  {'n', '?', 0,   0},
  {'R', '?', 0,   0},  // extended cursor position
  {'t', 0,   0,   0},  // window report
  {'m', '>', 0,   0},  // key modifier options
};

// Set 1 scan codes of a US keyboard, indexed by scan code. The separate
// block's keys share the keypad's codes (with the E0 prefix).
constexpr WORD scancodes[] = {
  /* 0x00 */ 0,           VK_ESCAPE,   '1',           '2',          '3',         '4',        '5',        '6',
  /* 0x08 */ '7',         '8',         '9',           '0',          VK_OEM_MINUS, VK_OEM_PLUS, VK_BACK, VK_TAB,
  /* 0x10 */ 'Q',         'W',         'E',           'R',          'T',         'Y',        'U',        'I',
  /* 0x18 */ 'O',         'P',         VK_OEM_4,      VK_OEM_6,     VK_RETURN,   VK_CONTROL, 'A',        'S',
  /* 0x20 */ 'D',         'F',         'G',           'H',          'J',         'K',        'L',        VK_OEM_1,
  /* 0x28 */ VK_OEM_7,    VK_OEM_3,    VK_SHIFT,      VK_OEM_5,     'Z',         'X',        'C',        'V',
  /* 0x30 */ 'B',         'N',         'M',           VK_OEM_COMMA, VK_OEM_PERIOD, VK_OEM_2, VK_SHIFT,   VK_MULTIPLY,
  /* 0x38 */ VK_MENU,     VK_SPACE,    VK_CAPITAL,    VK_F1,        VK_F2,       VK_F3,      VK_F4,      VK_F5,
  /* 0x40 */ VK_F6,       VK_F7,       VK_F8,         VK_F9,        VK_F10,      VK_NUMLOCK, VK_SCROLL,  VK_HOME,
  /* 0x48 */ VK_UP,       VK_PRIOR,    VK_SUBTRACT,   VK_LEFT,      VK_CLEAR,    VK_RIGHT,   VK_ADD,     VK_END,
  /* 0x50 */ VK_DOWN,     VK_NEXT,     VK_INSERT,     VK_DELETE,    0,           0,          0,          VK_F11,
  /* 0x58 */ VK_F12,
};
// Keys whose scan code the table above gives to another key.
constexpr keydef scanextra[] = {
  {0x52, VK_NUMPAD0, 0, 0},
  {0x4F, VK_NUMPAD1, 0, 0},
  {0x50, VK_NUMPAD2, 0, 0},
  {0x51, VK_NUMPAD3, 0, 0},
  {0x4B, VK_NUMPAD4, 0, 0},
  {0x4C, VK_NUMPAD5, 0, 0},
  {0x4D, VK_NUMPAD6, 0, 0},
  {0x47, VK_NUMPAD7, 0, 0},
  {0x48, VK_NUMPAD8, 0, 0},
  {0x49, VK_NUMPAD9, 0, 0},
  {0x53, VK_DECIMAL, 0, 0},
  {0x35, VK_DIVIDE,  0, 0},
  {0x64, VK_F13,     0, 0},
  {0x65, VK_F14,     0, 0},
  {0x66, VK_F15,     0, 0},
  {0x67, VK_F16,     0, 0},
  {0x68, VK_F17,     0, 0},
  {0x69, VK_F18,     0, 0},
  {0x6A, VK_F19,     0, 0},
  {0x6B, VK_F20,     0, 0},
};

// The modifier keys, in the order they go down.
struct modkey {
  DWORD flag;
  WORD vk;
  WORD scan;
  DWORD enhanced;
};
constexpr modkey modkeys[] = {
  {SHIFT_PRESSED,      VK_SHIFT,   0x2A, 0},
  {LEFT_ALT_PRESSED,   VK_MENU,    0x38, 0},
  {RIGHT_ALT_PRESSED,  VK_MENU,    0x38, ENHANCED_KEY},
  {LEFT_CTRL_PRESSED,  VK_CONTROL, 0x1D, 0},
  {RIGHT_CTRL_PRESSED, VK_CONTROL, 0x1D, ENHANCED_KEY},
};

// The kitty keyboard protocol's keys.
//
// A key with a character of its own is reported by that character's code
// (the key's unshifted character). The keys below have codes of their own,
// in Unicode's private use area.

// A key, its scan code, its character (0 for none), ENHANCED_KEY for the
// keys of the enhanced block.
struct protokey {
  int32_t code;
  WORD vk;
  WORD scan;
  uint8_t ch;
  DWORD state;
};

constexpr protokey kittykeys[] = {
//  code   vk                    scan  ch    state       kitty's name
  {57358, VK_CAPITAL,           0x3A, 0,    0},    // CAPS_LOCK
  {57359, VK_SCROLL,            0x46, 0,    0},    // SCROLL_LOCK
  {57360, VK_NUMLOCK,           0x45, 0,    E},    // NUM_LOCK
  {57361, VK_SNAPSHOT,          0x37, 0,    E},    // PRINT_SCREEN
  {57362, VK_PAUSE,             0x45, 0,    0},    // PAUSE
  {57363, VK_APPS,              0x5D, 0,    E},    // MENU
  {57376, VK_F13,               0x64, 0,    0},    // F13
  {57377, VK_F14,               0x65, 0,    0},
  {57378, VK_F15,               0x66, 0,    0},
  {57379, VK_F16,               0x67, 0,    0},
  {57380, VK_F17,               0x68, 0,    0},
  {57381, VK_F18,               0x69, 0,    0},
  {57382, VK_F19,               0x6A, 0,    0},
  {57383, VK_F20,               0x6B, 0,    0},
  {57384, VK_F21,               0x6C, 0,    0},
  {57385, VK_F22,               0x6D, 0,    0},
  {57386, VK_F23,               0x6E, 0,    0},
  {57387, VK_F24,               0x76, 0,    0},    // F24; F25-F35 have no key
  {57410, VK_DIVIDE,            0x35, '/',  E},    // KP_DIVIDE
  {57411, VK_MULTIPLY,          0x37, '*',  0},    // KP_MULTIPLY
  {57412, VK_SUBTRACT,          0x4A, '-',  0},    // KP_SUBTRACT
  {57413, VK_ADD,               0x4E, '+',  0},    // KP_ADD
  {57414, VK_RETURN,            0x1C, '\r', E},    // KP_ENTER
  {57416, VK_SEPARATOR,         0x7E, 0,    0},    // KP_SEPARATOR: its text, if any
  {57430, VK_MEDIA_PLAY_PAUSE,  0x22, 0,    E},    // MEDIA_PLAY_PAUSE
  {57432, VK_MEDIA_STOP,        0x24, 0,    E},    // MEDIA_STOP
  {57435, VK_MEDIA_NEXT_TRACK,  0x19, 0,    E},    // MEDIA_TRACK_NEXT
  {57436, VK_MEDIA_PREV_TRACK,  0x10, 0,    E},    // MEDIA_TRACK_PREVIOUS
  {57438, VK_VOLUME_DOWN,       0x2E, 0,    E},    // LOWER_VOLUME
  {57439, VK_VOLUME_UP,         0x30, 0,    E},    // RAISE_VOLUME
  {57440, VK_VOLUME_MUTE,       0x20, 0,    E},    // MUTE_VOLUME
  {57444, VK_LWIN,              0x5B, 0,    E},    // LEFT_SUPER
  {57450, VK_RWIN,              0x5C, 0,    E},    // RIGHT_SUPER
};

// Keys kitty keeps in their legacy form CSI n ~, beyond tildekeys' F1-F12
// (where legacy input has F13 and above).
constexpr protokey kittytilde[] = {
  {29, VK_APPS, 0x5D, 0, E},  // Menu
};

// The modifier keys, the left-hand key first for each kind. `flag` is the
// key's own state bit, `bit` its kind's bit in kitty's modifier parameter.
struct kittymod {
  int32_t code;
  WORD vk;
  WORD scan;
  DWORD state;
  DWORD flag;
  int32_t bit;
};

constexpr kittymod kittymods[] = {
//  code   vk          scan  state  flag                 bit    kitty's name
  {57441, VK_SHIFT,   0x2A, 0,     SHIFT_PRESSED,       1},  // LEFT_SHIFT
  {57447, VK_SHIFT,   0x36, 0,     SHIFT_PRESSED,       1},  // RIGHT_SHIFT
  {57443, VK_MENU,    0x38, 0,     LEFT_ALT_PRESSED,    2},  // LEFT_ALT
  {57449, VK_MENU,    0x38, E,     RIGHT_ALT_PRESSED,   2},  // RIGHT_ALT
  {57442, VK_CONTROL, 0x1D, 0,     LEFT_CTRL_PRESSED,   4},  // LEFT_CONTROL
  {57448, VK_CONTROL, 0x1D, E,     RIGHT_CTRL_PRESSED,  4},  // RIGHT_CONTROL
};

// The keypad keys NumLock gives two meanings: kitty's code for the digit
// (NumLock on) and for the other key (NumLock off, or Shift held, which
// cancels NumLock for the key). The other key is the grey key's code, but
// without ENHANCED_KEY; they share the scan code.
struct padkey {
  int32_t digit, other;
  WORD numvk;
  uint8_t ch;
  WORD othervk;
  WORD scan;
};

constexpr padkey padkeys[] = {
//  digit  other  numvk       ch   othervk    scan     kitty's names
  {57399, 57425, VK_NUMPAD0, '0', VK_INSERT, 0x52},  // KP_0, KP_INSERT
  {57400, 57424, VK_NUMPAD1, '1', VK_END,    0x4F},  // KP_1, KP_END
  {57401, 57420, VK_NUMPAD2, '2', VK_DOWN,   0x50},  // KP_2, KP_DOWN
  {57402, 57422, VK_NUMPAD3, '3', VK_NEXT,   0x51},  // KP_3, KP_PAGE_DOWN
  {57403, 57417, VK_NUMPAD4, '4', VK_LEFT,   0x4B},  // KP_4, KP_LEFT
  {57404, 57427, VK_NUMPAD5, '5', VK_CLEAR,  0x4C},  // KP_5, KP_BEGIN (also CSI E)
  {57405, 57418, VK_NUMPAD6, '6', VK_RIGHT,  0x4D},  // KP_6, KP_RIGHT
  {57406, 57423, VK_NUMPAD7, '7', VK_HOME,   0x47},  // KP_7, KP_HOME
  {57407, 57419, VK_NUMPAD8, '8', VK_UP,     0x48},  // KP_8, KP_UP
  {57408, 57421, VK_NUMPAD9, '9', VK_PRIOR,  0x49},  // KP_9, KP_PAGE_UP
  {57409, 57426, VK_DECIMAL, '.', VK_DELETE, 0x53},  // KP_DECIMAL, KP_DELETE
};
constexpr int KP_BEGIN = 5;  // the padkeys row kitty also sends as CSI E

// CSI finals kitty keeps for keys (CSI X, CSI 1 ; mods X); E is KP_BEGIN.
constexpr char kittyfinals[] = "ABCDEFHPQRS";

// Windows-1252 bytes 0x80-0x9F as Unicode. The five unused bytes stand for
// the C1 code points of the same value, as Windows converts them.
constexpr uint16_t cp1252high[32] = {
  0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// clang-format on

constexpr bool indexed_by_code(const keydef* t, int n) {
  for (int i = 0; i < n; ++i)
    if (t[i].code != i) return false;
  return true;
}
static_assert(indexed_by_code(c0keys, 32), "c0keys must be indexed by byte");
static_assert(padkeys[KP_BEGIN].other == 57427, "KP_BEGIN must name the keypad's centre key");
static_assert(sizeof kittymods / sizeof kittymods[0] <= 8, "held modifier keys fit in 8 bits");

}  // namespace vt
