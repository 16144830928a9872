// The keyboard negotiation: the queries written at the first read, the
// protocol or the legacy modes their answers choose, those modes set again
// after a continue, and everything put back at the end. The read loop
// (emuconsole.cpp) carries it along; its state is a negotiation of its own.
#pragma once

#include <csignal>

#include "platform/decode.h"

// How long the keyboard queries wait for the terminal's answers at most;
// the wait ends at the last answer. Only time spent waiting on a silent
// terminal counts, not time spent handing out keys typed meanwhile. A
// terminal that answers nothing costs this once, at the first read.
constexpr int ASK_WAIT_MS = 200;

// How long a late answer is still awaited once the wait for the answers
// has run out: meanwhile a sequence in a reply's form is held as a reply,
// never typed out, and putting the terminal back reads the answer first.
// A terminal that never answers costs neither after this.
constexpr int LATE_WAIT_MS = 1000;

// How long putting the terminal back waits at most for the reports still on
// their way; the wait ends at the answer to the query sent after them.
constexpr int DRAIN_WAIT_MS = 200;

// What the negotiation has set on the terminal, for term_restore to put
// back: the keyboard protocol turned on (a keyproto), the keypad modes,
// modifyOtherKeys and the level found, and whether answers to the queries
// are still on their way.
constexpr int SET_PROTO = 3;         // the bits of the keyproto
constexpr int SET_KEYPAD = 4;        // application keypad and cursor keys turned on
constexpr int HAD_KEYPAD = 8;        // the keypad was found in application mode
constexpr int HAD_CURSOR = 16;       // the cursor keys were found in application mode
constexpr int SET_MODKEYS = 32;      // modifyOtherKeys set to level 2
constexpr int HAD_MODKEYS = 7 << 6;  // the level found: 0 none given, else 1 + level
constexpr int SET_ASKING = 512;      // the device attributes answer has not come yet
static_assert((PROTO_KITTY | PROTO_WIN32) == SET_PROTO, "a keyproto fits SET_PROTO");
static_assert(MODKEYS_MAX + 1 <= HAD_MODKEYS >> 6, "a level fits HAD_MODKEYS");

// The HAD_MODKEYS bits for an XTQMODKEYS level (NOVAL: none given), and
// the level back from SET_ bits.
constexpr int had_modkeys(int level) { return (level + 1) << 6; }
constexpr int modkeys_had(int set) { return ((set & HAD_MODKEYS) >> 6) - 1; }
static_assert(modkeys_had(had_modkeys(NOVAL)) == NOVAL && modkeys_had(had_modkeys(2)) == 2, "");

struct negotiation {
  // Where the queries and modes are written: a descriptor of the terminal's
  // own (term_ownfd), else, below 0, the descriptor read.
  int out = -1;
  // Legacy input puts the keypad in application mode, where its operators
  // and Enter have forms of their own. Not on the Linux console: there the
  // keypad sends its NumLock-off forms in that mode whatever NumLock says.
  bool padmode = true;
  // From the queries written until what the answers offer is turned on:
  // open while term_read goes on with it (keys typed before the answers
  // filled the queue), `askleft` milliseconds of waiting for them left;
  // `on` is where what is set is recorded (SET_ bits).
  bool open = false;
  int askleft = 0;
  long long lateend = 0;  // until when an answer that came late is awaited
  volatile sig_atomic_t* on = nullptr;
  bool padset = false;  // the keypad was put in application mode
  bool modset = false;  // and modifyOtherKeys at level 2
  // termresumes() when those modes were last set; and whether the reader
  // is blocked reading with every record handed out, where a continue's
  // handler may set them itself (term_continued).
  volatile sig_atomic_t resumes = 0;
  volatile sig_atomic_t idle = 0;
};

// A descriptor of its own on the terminal `fd` is on, to write the modes
// through: the terminal's path opened afresh, non-blocking and never as
// the controlling terminal, so that no flag set for a write is shared with
// the shell's open file description. `fd` itself where the path cannot be
// opened. It stays open for the program's life.
int term_ownfd(int fd);

// Writes the queries for the terminal on `fd`: true when they went out and
// the answers are awaited (`n.open`), with `*on` SET_ASKING. False, and
// `*on` PROTO_LEGACY, where they cannot be written or waited for. Either
// way `d.erase` becomes the terminal's erase character.
bool neg_ask(negotiation& n, decoder& d, int fd, volatile sig_atomic_t* on);

// Ends the negotiation: turns on the first protocol the answers offered,
// or sets legacy input's modes, and records it in `*n.on`.
void neg_conclude(negotiation& n, decoder& d);

// The answers have come: nothing left for term_restore to wait for.
void neg_answered(negotiation& n, const decoder& d);

// Sets legacy input's modes again where the process has continued after a
// stop since they were last set and no input waits on `fd`.
// Async-signal-safe.
void neg_repad(negotiation& n, int fd);

// Puts back on the terminal what the negotiation set (`set`, its SET_
// bits), writing to `out`: the keypad and cursor keys as they were found
// (normal mode where the terminal did not say), modifyOtherKeys at the
// level found, and the protocol off. After a protocol it reads from `fd`
// and drops what the terminal still sends until the answer to a device
// attributes query written after it, and where the answers to the queries
// have not all come (SET_ASKING) until theirs too (DRAIN_WAIT_MS at most).
// All in one write; returns at once when the terminal has gone.
// Async-signal-safe; leaves errno as it was.
void term_restore(int fd, int out, int set);
