// Terminal input decoder: the bytes a terminal sends in, the console input
// records a Windows console on a US keyboard layout would deliver out.
//
// Pure and incremental: no I/O, no heap, no state but the caller's decoder
// struct. Bytes may be fed in any chunks; a sequence or a UTF-8 character
// split across chunks is joined. Where a read from the terminal ends is the
// caller's to tell (decode_readend): that settles only a bare ESC [ M or
// ESC [ O. A pending sequence holds at most SEQMAX bytes; a longer or
// malformed one is given up (typed out as received), but for one in a
// reply's form while answers are awaited (decoder::awaiting): dropped.
// Strings (OSC, DCS and the like) are replies, never keys: a whole one is
// dropped at any length, only its first SEQMAX bytes ever held.
//
// Legacy input yields whole key presses (down, up, modifier keys around).
// Under a keyboard protocol the terminal reports each press, repeat and
// release itself, modifier keys included, and each report is one record:
// win32-input-mode reports are taken whatever the protocol, kitty reports
// once the decoder is told the kitty protocol is on.
#pragma once

#include <cstdint>

#include "platform/console.h"

// Bytes a pending escape sequence may hold, ESC included.
constexpr int SEQMAX = 64;
// Parameters of a control sequence, and values in each (the parameter and
// its ':' sub-parameters).
constexpr int NPARAM = 8;
constexpr int NSUB = 4;
// The value of an omitted parameter.
constexpr int32_t NOVAL = -1;

// Records one key press becomes at most: five modifier keys down, the key
// down and up, the modifier keys up.
constexpr int KEYRECS = 12;
// Records one decode step yields at most: a given-up sequence typed out (at
// most 4 records a byte), then the key of the byte that ended it.
constexpr int STEPRECS = 4 * SEQMAX + KEYRECS;

enum parse_state : uint8_t {
  GROUND,   // between keys
  ESCAPE,   // after ESC
  CSI,      // after ESC [ : parameters, intermediates, final
  SS3,      // after ESC O (or ESC [ O) : an optional modifier, final
  LINUXFN,  // after ESC [ [ : the Linux console's F1-F5 letter
  MOUSE,    // after ESC [ M : the three bytes of a legacy mouse report
  UTF8,     // inside a multi-byte UTF-8 character
  STRING,   // inside a string (OSC, DCS, SOS, PM, APC), up to BEL or ST
  STRESC,   // after ESC inside a string: ST if a backslash follows
};

// The parsed parameters of a control sequence.
struct csiparams {
  uint8_t priv;          // private marker '<', '=', '>', '?', or 0
  uint8_t inter;         // intermediate byte 0x20-0x2F, or 0
  uint8_t n;             // parameters seen, the one being read included
  bool bad;              // malformed or too many values: matches nothing
  uint8_t nsub[NPARAM];  // values in each parameter (1 + sub-parameters)
  int32_t v[NPARAM][NSUB];
};

// The keyboard report the terminal has been asked for.
enum keyproto : uint8_t {
  PROTO_LEGACY,  // plain terminal input
  PROTO_KITTY,   // the kitty keyboard protocol, flags 31
  PROTO_WIN32,   // win32-input-mode
};

// Replies to the keyboard queries, as bits of decoder::replies.
constexpr uint8_t SEEN_DA1 = 1;       // primary device attributes: the last reply
constexpr uint8_t SEEN_KITTY = 2;     // the kitty protocol's flags
constexpr uint8_t SEEN_W32 = 4;       // win32-input-mode known, and off
constexpr uint8_t SEEN_W32ON = 8;     // win32-input-mode already on
constexpr uint8_t SEEN_KPAM = 16;     // the keypad in application mode (DECKPAM)
constexpr uint8_t SEEN_DECCKM = 32;   // the cursor keys in application mode
constexpr uint8_t SEEN_MODKEYS = 64;  // XTQMODKEYS: modifyOtherKeys, at decoder::modkeys
// The device attributes answer is CSI ? 1 ; 2 c, a VT100 with advanced
// video: xterm.js's. Its win32-input-mode records are made from browser
// key events, not by a Windows keyboard layout.
constexpr uint8_t SEEN_VT100 = 128;

// What the kitty reports have told of the locks, as bits of decoder::locks.
constexpr uint8_t LOCKS_SENT = 1;     // the terminal sends the lock bits
constexpr uint8_t NUMLOCK_GUESS = 2;  // else NumLock, as the keys have told it

// The highest modifyOtherKeys level an XTQMODKEYS answer may give.
constexpr int MODKEYS_MAX = 3;

struct decoder {
  keyproto proto;   // set by the caller
  uint8_t replies;  // SEEN_ bits of the replies decoded; the caller clears it
  uint8_t lead;     // win32: a lead surrogate just came (1 key down, 2 key up)
  uint8_t held;     // kitty: modifier keys held, a bit per vt::kittymods row
  uint8_t locks;    // kitty: LOCKS_SENT, NUMLOCK_GUESS
  // Answers to device attributes queries still on their way, set by the
  // caller and counted down by each answer. Meanwhile a control sequence
  // with the private marker '?' or '>' is a reply, never keys: it waits for
  // its final byte however long that takes and is dropped if it is no
  // reply known.
  uint8_t awaiting;
  int8_t modkeys;  // the modifyOtherKeys level answered; NOVAL when the answer had none
  // The terminal's erase character (VERASE), set by the caller: where it is
  // 0x08 the terminal's Backspace sends 0x08 (QTerminal), which is then
  // Backspace rather than Ctrl+H, and ESC 0x08 Alt+Backspace.
  uint8_t erase;
  parse_state st;
  bool alt;             // an ESC prefix: the next key is pressed with Alt
  uint8_t need;         // UTF-8 or mouse-report bytes still to come; 1 when
                        // a string's ESC is held
  uint8_t lo, hi;       // range of the next UTF-8 continuation byte
  uint32_t cp;          // UTF-8 code point so far
  uint8_t len;          // bytes in seq
  uint8_t seq[SEQMAX];  // the pending sequence as received
  csiparams p;
};

// Decodes bytes into records while `room` leaves space for a full step
// (STEPRECS). Returns the records written to `out`; `*used` is the number of
// bytes consumed, less than n only when the room ran out.
int decode(decoder& d, const uint8_t* bytes, int n, INPUT_RECORD* out, int room, int* used);

// Decodes one byte; writes at most STEPRECS records.
int decode_byte(decoder& d, uint8_t byte, INPUT_RECORD* out);

// True while a sequence or a character is incomplete.
inline bool decode_pending(const decoder& d) { return d.st != GROUND; }

// The answers are no longer awaited: a reply still pending is dropped,
// and from now on a sequence in a reply's form is read as any other.
void decode_endawait(decoder& d);

// Whether what is pending counts as typed once the input pauses
// (ESC_WAIT_MS in emuconsole.h): in legacy input, and while answers are
// awaited, since keys typed before a protocol was turned on are legacy
// input; never a reply in progress.
bool decode_lonewait(const decoder& d);

// A read has ended with all its bytes decoded. A terminal writes a mouse
// report whole, so an ESC [ M that ends a read is no report but st's
// Ctrl+Delete (Alt with it after an extra ESC), settled at once rather than
// after a pause. Likewise an ESC [ O that ends a read is no SS3 key after a
// stray [ but a focus-out report. Anything else pending stays so. Writes at
// most KEYRECS records.
int decode_readend(decoder& d, INPUT_RECORD* out);

// The input has paused: settles what is pending as typed (ESC alone is the
// Escape key, ESC and one of [ O ] P X ^ _ alone is Alt with that key,
// ESC [ M and less than a mouse report is st's Ctrl+Delete and the keys
// after it, ESC [ O and less than an SS3 key is focus out and the bytes
// after it typed, anything longer is typed out), except a reply in progress
// while answers are awaited, which stays pending. Writes at most STEPRECS
// records.
int decode_flush(decoder& d, INPUT_RECORD* out);

// The records of one key press: modifier keys down (Shift, Alt, Ctrl, each
// with the state so far), the key down and up, the modifier keys up in
// reverse. `state` holds the modifiers, ENHANCED_KEY and lock bits.
int build_key(WORD vk, uint8_t ch, DWORD state, INPUT_RECORD* out);

// The Windows-1252 byte for a Unicode code point; '?' when it has none.
uint8_t to_cp1252(uint32_t cp);
