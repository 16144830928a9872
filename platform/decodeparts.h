// What the decoder's pieces share. The byte parser (decode.cpp), with its
// parameters (params.cpp) and UTF-8 characters (utf8.cpp), holds a
// pending sequence and hands it, once complete, to the pieces that know
// what it means: legacy sequences (legacy.cpp), kitty reports (kitty.cpp),
// win32-input-mode reports (win32.cpp), mouse and focus reports (mouse.cpp).
// All of them build their records with records.cpp. Internal to platform/.
#pragma once

#include <cstdint>

#include "platform/decode.h"
#include "platform/keycodes.h"

namespace vt {

constexpr uint8_t ESC = 0x1B;
constexpr DWORD CTRL = LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED;
constexpr DWORD ALT = LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED;

template <int N>
const keydef* find(const keydef (&table)[N], int code) {
  for (const keydef& k : table)
    if (k.code == code) return &k;
  return nullptr;
}

// ---- Records (records.cpp) -----------------------------------------------

WORD scan_of(WORD vk);
// A record with every byte, padding included, defined.
INPUT_RECORD blank(WORD type);
INPUT_RECORD keyrec(WORD vk, WORD scan, uint8_t ch, DWORD state, bool down);
// The key that types a byte on its own.
keydef bytekey(uint8_t b);
// A character no key of the layout types.
keydef charkey(uint32_t cp);
// The key for a character a terminal reports by code.
keydef codekey(int32_t code);
// The character a key gives in `state`: Ctrl turns it into a control
// character, or into none; Ctrl with Alt (AltGr) into none.
uint8_t keychar(const keydef& k, DWORD state);
// The records of a press of `k` with `extra` state bits.
int press(const keydef& k, DWORD extra, INPUT_RECORD* out);
// xterm's modifier parameter: 1 + bits Shift 1, Alt 2, Ctrl 4, Meta 8.
DWORD modparam(int32_t m);

// ---- Parser (decode.cpp) -------------------------------------------------

void reset(decoder& d);
// Adds a byte to the pending sequence; false when it is full.
bool push(decoder& d, uint8_t b);
DWORD altof(const decoder& d);
// A sequence that is no key: ESC as the Escape key, then each byte as typed.
int typeout(decoder& d, INPUT_RECORD* out);
// Settles what is pending as typed.
int giveup(decoder& d, INPUT_RECORD* out);
// Gives up what is pending, then takes `b` afresh.
int restart(decoder& d, uint8_t b, INPUT_RECORD* out);
// ESC [ O pending: a focus-out report, or an SS3 key after a stray [.
inline bool strayss3(const decoder& d) { return d.st == SS3 && d.seq[1] == '['; }

// ---- Parameters (params.cpp) and UTF-8 (utf8.cpp) ------------------------

// A parameter byte: digits, ';' between parameters, ':' between
// sub-parameters, a private marker first.
void param(csiparams& p, uint8_t b, bool first);
int32_t arg(const csiparams& p, int i);
// No sub-parameters and at most `most` parameters.
bool plain(const csiparams& p, int most);
// The first byte of a character beyond ASCII (with Alt after an ESC), and
// each byte after it.
int utf8start(decoder& d, uint8_t b, bool alt, INPUT_RECORD* out);
int utf8(decoder& d, uint8_t b, INPUT_RECORD* out);

// ---- Sequences -----------------------------------------------------------

// legacy.cpp: records for a complete control sequence with final `f`; -1
// when it means nothing known.
int csikey(decoder& d, uint8_t f, INPUT_RECORD* out);
// legacy.cpp: a byte after ESC O, and after ESC [ [.
int ss3(decoder& d, uint8_t b, INPUT_RECORD* out);
int linuxfn(decoder& d, uint8_t b, INPUT_RECORD* out);
// legacy.cpp: st's key for CSI `param` `f` (NOVAL: no parameter), or null.
const keydef* stkey(uint8_t f, int32_t param);
// kitty.cpp: a kitty report; -1 when it is none.
int kittykey(decoder& d, const csiparams& p, uint8_t f, INPUT_RECORD* out);
// win32.cpp: a win32-input-mode report; -1 when it is none.
int win32key(decoder& d, const csiparams& p, INPUT_RECORD* out);
// mouse.cpp: a mouse report (button code `cb` as xterm encodes it, 1-based
// cell), a focus report, and a byte of a legacy mouse report.
INPUT_RECORD mouserec(int32_t cb, int32_t x, int32_t y, bool release);
INPUT_RECORD focusrec(bool in);
int mouse(decoder& d, uint8_t b, INPUT_RECORD* out);
// mouse.cpp: ESC [ O and bytes after it that made no SS3 key, settled as a
// focus-out report and those bytes typed.
int focusout(decoder& d, INPUT_RECORD* out);
// mouse.cpp: ESC [ M pending with no report byte after it, settled as st's
// Ctrl+Delete (with Alt after an extra ESC).
int stdelete(decoder& d, INPUT_RECORD* out);

}  // namespace vt
