// The emulated console's input side: console input records read from a
// terminal. ReadConsoleInputA serves standard input through it; tests and
// benchmarks drive it on a terminal of their own.
#pragma once

#include <csignal>

#include "platform/decode.h"
#include "platform/negotiate.h"

// How long input that ends in the middle of a sequence (an ESC above all)
// waits for the rest before it counts as typed: a lone ESC becomes the
// Escape key after this many milliseconds without further input. Under a
// keyboard protocol the Escape key is a report of its own, so an unfinished
// sequence waits for its rest however long it takes.
constexpr int ESC_WAIT_MS = 20;

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
  bool tty = false;  // fd is known to be a terminal one can wait on: no need to ask again
  negotiation neg{};
  // Where set, told of each decode step: the bytes it took (none where the
  // end of a read or a pause settled what was pending) and the records it
  // queued, with `t.dec` as the step left it. Bytes are then decoded one at
  // a time, so that each record can be told with the bytes behind it.
  void (*onstep)(const terminput& t, const uint8_t* bytes, int n, const INPUT_RECORD* recs,
                 int k) = nullptr;
};

// Whether TERM names the Linux console (linux, linux-16color, ...), whose
// keypad term_negotiate leaves alone: set `neg.padmode` from it.
bool linuxconsole(const char* term);

// Blocks until a record is available, then moves up to `n` queued records to
// `out` and returns their number. Returns 0 at once when `t.fd` is not a
// terminal select() can wait on, and when the terminal has hung up or the
// read fails. Never
// changes the terminal's attributes. Where term_negotiate set the keypad
// modes or modifyOtherKeys and the process has continued after a stop
// since, it sets them again before it waits with no input left, as a shell
// may have reset them (term_continued sets them during the wait itself).
// A negotiation term_negotiate left open it finishes as the answers come.
// One read a key press where nothing is pending: it waits in select() only
// for the rest of a sequence, for the answers and for a late answer.
int term_read(terminput& t, INPUT_RECORD* out, int n);

// Asks the terminal on `t.fd`, in one write between a cursor save and
// restore (DECSC, DECRC), whether it offers
// win32-input-mode and the kitty keyboard protocol, which modes its keypad
// and cursor keys are in and which modifyOtherKeys level it has, with a
// device attributes query after them whose answer ends the wait
// (ASK_WAIT_MS at most). Then turns on the first protocol it offers, in
// that order, and has `t` decode it; with none (legacy input) it puts the
// keypad and cursor keys in application mode, if `t.neg.padmode`, and sets
// modifyOtherKeys level 2 where the terminal answered for it. The answers
// never become records, not even cut short by the deadline; any other input
// read meanwhile is decoded as usual. Where that fills the queue first, it
// returns with the negotiation open (`t.neg.open`), and term_read finishes it.
// `*on` becomes what was set (SET_ bits: the protocol, PROTO_LEGACY when
// none or when win32-input-mode was on already; the keypad modes and how
// they were found; modifyOtherKeys and the level found; SET_ASKING from the
// queries until their last answer, or until LATE_WAIT_MS after the wait
// where it never comes), stored together with each write while
// signals wait, so that a signal handler sees exactly what the terminal was
// told. What was answered stays in `t.dec` (replies, modkeys). Writes go
// to `t.neg.out`, which the caller may set (term_ownfd); `t.fd` where not.
// The terminal must be raw.
void term_negotiate(terminput& t, volatile sig_atomic_t* on);

// For the continue signal's hook (termoncontinue): where term_read is
// blocked reading `t` with every record handed out, the display loop has
// shown every key, and the modes the shell may have reset are set again at
// once, before the next key is typed. Elsewhere term_read sets them before
// it waits next. Async-signal-safe.
void term_continued(terminput& t);
