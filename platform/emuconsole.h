// The emulated console's input side: console input records read from a
// terminal. ReadConsoleInputA serves standard input through it; tests and
// benchmarks drive it on a terminal of their own.
#pragma once

#include <csignal>

#include "platform/decode.h"

// How long input that ends in the middle of a sequence (an ESC above all)
// waits for the rest before it counts as typed: a lone ESC becomes the
// Escape key after this many milliseconds without further input. Under a
// keyboard protocol the Escape key is a report of its own, so an unfinished
// sequence waits for its rest however long it takes.
constexpr int ESC_WAIT_MS = 20;

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

// Records kept between reads; room for at least one full decode step.
constexpr int QCAP = 512;
static_assert(QCAP >= STEPRECS, "the record queue must hold a full decode step");

// Bytes read from the terminal at a time.
constexpr int INBUF = 256;

struct terminput {
  int fd;
  decoder dec;
  uint8_t in[INBUF];  // bytes read, not yet decoded
  int inpos, inlen;
  INPUT_RECORD q[QCAP];  // records decoded, not yet handed out
  int qhead, qtail;
  bool tty = false;  // fd is known to be a terminal: no need to ask again
  // Legacy input puts the keypad in application mode, where its operators
  // and Enter have forms of their own. Not on the Linux console: there the
  // keypad sends its NumLock-off forms in that mode whatever NumLock says.
  bool padmode = true;
  bool padset = false;  // term_negotiate put the keypad in application mode
  bool modset = false;  // and modifyOtherKeys at level 2
  int resumes = 0;      // termresumes() when those modes were last set
  // The negotiation, from the queries written until it has turned on what
  // the answers offer: open while term_read goes on with it (keys typed
  // before the answers filled the queue), `askleft` milliseconds of waiting
  // for them left; `on` is where what is set is recorded (SET_ bits).
  bool open = false;
  int askleft = 0;
  long long lateend = 0;  // until when an answer that came late is awaited
  volatile sig_atomic_t* on = nullptr;
  // Where set, told of each decode step: the bytes it took (none where the
  // end of a read or a pause settled what was pending) and the records it
  // queued, with `t.dec` as the step left it. Bytes are then decoded one at
  // a time, so that each record can be told with the bytes behind it.
  void (*onstep)(const terminput& t, const uint8_t* bytes, int n, const INPUT_RECORD* recs,
                 int k) = nullptr;
};

// What term_negotiate has set on the terminal, for term_restore to put
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

// Whether TERM names the Linux console (linux, linux-16color, ...), whose
// keypad term_negotiate leaves alone: set `padmode` from it.
bool linuxconsole(const char* term);

// Blocks until a record is available, then moves up to `n` queued records to
// `out` and returns their number. Returns 0 at once when `t.fd` is not a
// terminal, and when the terminal has hung up or the read fails. Never
// changes the terminal's attributes. Where term_negotiate set the keypad
// modes or modifyOtherKeys and the process has continued after a stop
// since, it sets them again before it waits with no input left, as a shell
// may have reset them. A negotiation term_negotiate left open it finishes
// as the answers come.
int term_read(terminput& t, INPUT_RECORD* out, int n);

// Asks the terminal on `t.fd`, in one write between a cursor save and
// restore (DECSC, DECRC), whether it offers
// win32-input-mode and the kitty keyboard protocol, which modes its keypad
// and cursor keys are in and which modifyOtherKeys level it has, with a
// device attributes query after them whose answer ends the wait
// (ASK_WAIT_MS at most). Then turns on the first protocol it offers, in
// that order, and has `t` decode it; with none (legacy input) it puts the
// keypad and cursor keys in application mode, if `t.padmode`, and sets
// modifyOtherKeys level 2 where the terminal answered for it. The answers
// never become records, not even cut short by the deadline; any other input
// read meanwhile is decoded as usual. Where that fills the queue first, it
// returns with the negotiation open (`t.open`), and term_read finishes it.
// `*on` becomes what was set (SET_ bits: the protocol, PROTO_LEGACY when
// none or when win32-input-mode was on already; the keypad modes and how
// they were found; modifyOtherKeys and the level found; SET_ASKING from the
// queries until their last answer, or until LATE_WAIT_MS after the wait
// where it never comes), stored together with each write while
// signals wait, so that a signal handler sees exactly what the terminal was
// told. What was answered stays in `t.dec` (replies, modkeys). The
// terminal must be raw.
void term_negotiate(terminput& t, volatile sig_atomic_t* on);

// Puts back on the terminal `fd` what term_negotiate set (`set`, its SET_
// bits): the keypad and cursor keys as they were found (normal mode where
// the terminal did not say), modifyOtherKeys at the level found, and the
// protocol off. After a protocol it reads and drops what the terminal still
// sends until the answer to a device attributes query written after it,
// and where the answers to the queries have not all come (SET_ASKING) until
// theirs too (DRAIN_WAIT_MS at most). All in one write; returns at once
// when the terminal has gone. Async-signal-safe; leaves errno as it was.
void term_restore(int fd, int set);
