// The console input interface the key reader is written against.
//
// On Windows, native or under Cygwin's POSIX layer, this is the real console
// API from <windows.h>. Elsewhere the platform layer declares the same record
// type, handle type, constants and the two operations itself, and the
// emulated console (or, in tests, a scripted queue) supplies the operations
// at link time.
#pragma once

#if defined(_WIN32) || defined(__CYGWIN__)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cstdint>

typedef void* HANDLE;
typedef int32_t BOOL;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef char CHAR;
typedef char16_t WCHAR;

#define STD_INPUT_HANDLE ((DWORD)-10)
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

// Event types.
constexpr WORD KEY_EVENT = 0x0001;
constexpr WORD MOUSE_EVENT = 0x0002;
constexpr WORD WINDOW_BUFFER_SIZE_EVENT = 0x0004;
constexpr WORD MENU_EVENT = 0x0008;
constexpr WORD FOCUS_EVENT = 0x0010;

// dwControlKeyState bits.
constexpr DWORD RIGHT_ALT_PRESSED = 0x0001;
constexpr DWORD LEFT_ALT_PRESSED = 0x0002;
constexpr DWORD RIGHT_CTRL_PRESSED = 0x0004;
constexpr DWORD LEFT_CTRL_PRESSED = 0x0008;
constexpr DWORD SHIFT_PRESSED = 0x0010;
constexpr DWORD NUMLOCK_ON = 0x0020;
constexpr DWORD SCROLLLOCK_ON = 0x0040;
constexpr DWORD CAPSLOCK_ON = 0x0080;
constexpr DWORD ENHANCED_KEY = 0x0100;

// Virtual-key codes. Letters and digits are their upper-case ASCII codes.
constexpr WORD VK_CANCEL = 0x03;
constexpr WORD VK_BACK = 0x08;
constexpr WORD VK_TAB = 0x09;
constexpr WORD VK_CLEAR = 0x0C;
constexpr WORD VK_RETURN = 0x0D;
constexpr WORD VK_SHIFT = 0x10;
constexpr WORD VK_CONTROL = 0x11;
constexpr WORD VK_MENU = 0x12;
constexpr WORD VK_PAUSE = 0x13;
constexpr WORD VK_CAPITAL = 0x14;
constexpr WORD VK_ESCAPE = 0x1B;
constexpr WORD VK_SPACE = 0x20;
constexpr WORD VK_PRIOR = 0x21;
constexpr WORD VK_NEXT = 0x22;
constexpr WORD VK_END = 0x23;
constexpr WORD VK_HOME = 0x24;
constexpr WORD VK_LEFT = 0x25;
constexpr WORD VK_UP = 0x26;
constexpr WORD VK_RIGHT = 0x27;
constexpr WORD VK_DOWN = 0x28;
constexpr WORD VK_SNAPSHOT = 0x2C;
constexpr WORD VK_INSERT = 0x2D;
constexpr WORD VK_DELETE = 0x2E;
constexpr WORD VK_LWIN = 0x5B;
constexpr WORD VK_RWIN = 0x5C;
constexpr WORD VK_APPS = 0x5D;
constexpr WORD VK_NUMPAD0 = 0x60;
constexpr WORD VK_NUMPAD1 = 0x61;
constexpr WORD VK_NUMPAD2 = 0x62;
constexpr WORD VK_NUMPAD3 = 0x63;
constexpr WORD VK_NUMPAD4 = 0x64;
constexpr WORD VK_NUMPAD5 = 0x65;
constexpr WORD VK_NUMPAD6 = 0x66;
constexpr WORD VK_NUMPAD7 = 0x67;
constexpr WORD VK_NUMPAD8 = 0x68;
constexpr WORD VK_NUMPAD9 = 0x69;
constexpr WORD VK_MULTIPLY = 0x6A;
constexpr WORD VK_ADD = 0x6B;
constexpr WORD VK_SEPARATOR = 0x6C;
constexpr WORD VK_SUBTRACT = 0x6D;
constexpr WORD VK_DECIMAL = 0x6E;
constexpr WORD VK_DIVIDE = 0x6F;
constexpr WORD VK_F1 = 0x70;
constexpr WORD VK_F2 = 0x71;
constexpr WORD VK_F3 = 0x72;
constexpr WORD VK_F4 = 0x73;
constexpr WORD VK_F5 = 0x74;
constexpr WORD VK_F6 = 0x75;
constexpr WORD VK_F7 = 0x76;
constexpr WORD VK_F8 = 0x77;
constexpr WORD VK_F9 = 0x78;
constexpr WORD VK_F10 = 0x79;
constexpr WORD VK_F11 = 0x7A;
constexpr WORD VK_F12 = 0x7B;
constexpr WORD VK_F13 = 0x7C;
constexpr WORD VK_F14 = 0x7D;
constexpr WORD VK_F15 = 0x7E;
constexpr WORD VK_F16 = 0x7F;
constexpr WORD VK_F17 = 0x80;
constexpr WORD VK_F18 = 0x81;
constexpr WORD VK_F19 = 0x82;
constexpr WORD VK_F20 = 0x83;
constexpr WORD VK_F21 = 0x84;
constexpr WORD VK_F22 = 0x85;
constexpr WORD VK_F23 = 0x86;
constexpr WORD VK_F24 = 0x87;
constexpr WORD VK_NUMLOCK = 0x90;
constexpr WORD VK_SCROLL = 0x91;
constexpr WORD VK_VOLUME_MUTE = 0xAD;
constexpr WORD VK_VOLUME_DOWN = 0xAE;
constexpr WORD VK_VOLUME_UP = 0xAF;
constexpr WORD VK_MEDIA_NEXT_TRACK = 0xB0;
constexpr WORD VK_MEDIA_PREV_TRACK = 0xB1;
constexpr WORD VK_MEDIA_STOP = 0xB2;
constexpr WORD VK_MEDIA_PLAY_PAUSE = 0xB3;
constexpr WORD VK_OEM_1 = 0xBA;       // ;:
constexpr WORD VK_OEM_PLUS = 0xBB;    // =+
constexpr WORD VK_OEM_COMMA = 0xBC;   // ,<
constexpr WORD VK_OEM_MINUS = 0xBD;   // -_
constexpr WORD VK_OEM_PERIOD = 0xBE;  // .>
constexpr WORD VK_OEM_2 = 0xBF;       // /?
constexpr WORD VK_OEM_3 = 0xC0;       // `~
constexpr WORD VK_OEM_4 = 0xDB;       // [{
constexpr WORD VK_OEM_5 = 0xDC;       // \|
constexpr WORD VK_OEM_6 = 0xDD;       // ]}
constexpr WORD VK_OEM_7 = 0xDE;       // '"
constexpr WORD VK_PACKET = 0xE7;      // a character typed without a key of its own

// MOUSE_EVENT_RECORD dwButtonState bits; a wheel event keeps its signed
// delta (120 a notch) in the high word.
constexpr DWORD FROM_LEFT_1ST_BUTTON_PRESSED = 0x0001;
constexpr DWORD RIGHTMOST_BUTTON_PRESSED = 0x0002;
constexpr DWORD FROM_LEFT_2ND_BUTTON_PRESSED = 0x0004;

// MOUSE_EVENT_RECORD dwEventFlags bits.
constexpr DWORD MOUSE_MOVED = 0x0001;
constexpr DWORD DOUBLE_CLICK = 0x0002;
constexpr DWORD MOUSE_WHEELED = 0x0004;
constexpr DWORD MOUSE_HWHEELED = 0x0008;

typedef struct _KEY_EVENT_RECORD {
  BOOL bKeyDown;
  WORD wRepeatCount;
  WORD wVirtualKeyCode;
  WORD wVirtualScanCode;
  union {
    WCHAR UnicodeChar;
    CHAR AsciiChar;  // the low byte of UnicodeChar (little-endian only)
  } uChar;
  DWORD dwControlKeyState;
} KEY_EVENT_RECORD;

typedef struct _COORD {
  int16_t X;
  int16_t Y;
} COORD;

typedef struct _MOUSE_EVENT_RECORD {
  COORD dwMousePosition;
  DWORD dwButtonState;
  DWORD dwControlKeyState;
  DWORD dwEventFlags;
} MOUSE_EVENT_RECORD;

typedef struct _FOCUS_EVENT_RECORD {
  BOOL bSetFocus;
} FOCUS_EVENT_RECORD;

typedef struct _INPUT_RECORD {
  WORD EventType;
  union {
    KEY_EVENT_RECORD KeyEvent;
    MOUSE_EVENT_RECORD MouseEvent;
    FOCUS_EVENT_RECORD FocusEvent;
  } Event;
} INPUT_RECORD;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "AsciiChar overlays the low byte of UnicodeChar only on little-endian machines"
#endif
static_assert(sizeof(KEY_EVENT_RECORD) == 16, "KEY_EVENT_RECORD must match the console's layout");
static_assert(sizeof(INPUT_RECORD) == 20, "INPUT_RECORD must match the console's layout");

// The handle for nStdHandle (only STD_INPUT_HANDLE is supported).
HANDLE GetStdHandle(DWORD nStdHandle);

// Blocks until at least one record is queued, then removes up to nLength
// records into lpBuffer. Returns 0 on failure.
BOOL ReadConsoleInputA(HANDLE hConsoleInput, INPUT_RECORD* lpBuffer, DWORD nLength,
                       DWORD* lpNumberOfEventsRead);
#endif
