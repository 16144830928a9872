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
// the wait ends at the last answer. A terminal that answers nothing costs
// this once, at the first read.
constexpr int ASK_WAIT_MS = 200;

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
  int resumes = 0;      // termresumes() when the keypad mode was last set
  // Where set, told of each decode step: the bytes it took (none where the
  // end of a read or a pause settled what was pending) and the records it
  // queued, with `t.dec` as the step left it. Bytes are then decoded one at
  // a time, so that each record can be told with the bytes behind it.
  void (*onstep)(const terminput& t, const uint8_t* bytes, int n, const INPUT_RECORD* recs,
                 int k) = nullptr;
};

// What term_negotiate has set on the terminal, for term_restore to put
// back: the keyboard protocol turned on (a keyproto) and the keypad modes.
constexpr int SET_PROTO = 3;    // the bits of the keyproto
constexpr int SET_KEYPAD = 4;   // application keypad and cursor keys turned on
constexpr int HAD_KEYPAD = 8;   // the keypad was found in application mode
constexpr int HAD_CURSOR = 16;  // the cursor keys were found in application mode
static_assert((PROTO_KITTY | PROTO_WIN32) == SET_PROTO, "a keyproto fits SET_PROTO");

// Whether TERM names the Linux console (linux, linux-16color, ...), whose
// keypad term_negotiate leaves alone: set `padmode` from it.
bool linuxconsole(const char* term);

// Blocks until a record is available, then moves up to `n` queued records to
// `out` and returns their number. Returns 0 at once when `t.fd` is not a
// terminal, and when the terminal has hung up or the read fails. Never
// changes the terminal's attributes. Where term_negotiate set the keypad
// modes and the process has continued after a stop since, it sets them
// again before it waits with no input left, as a shell may have reset them.
int term_read(terminput& t, INPUT_RECORD* out, int n);

// Asks the terminal on `t.fd`, in one write, whether it offers
// win32-input-mode and the kitty keyboard protocol and which modes its
// keypad and cursor keys are in, with a device attributes query after them
// whose answer ends the wait (ASK_WAIT_MS at most). Then turns on the first
// protocol it offers, in that order, and has `t` decode it; with none (legacy
// input) it puts the keypad and cursor keys in application mode, if
// `t.padmode`. The answers never become records; any other input read
// meanwhile is decoded as usual. `*on` becomes what was set (SET_ bits: the
// protocol, PROTO_LEGACY when none or when win32-input-mode was on already;
// the keypad modes and how they were found), stored together with the write
// while signals wait, so that a signal handler sees exactly what the
// terminal was told. The terminal must be raw.
void term_negotiate(terminput& t, volatile sig_atomic_t* on);

// Puts back on the terminal `fd` what term_negotiate set (`set`, its SET_
// bits): the keypad and cursor keys as they were found (normal mode where
// the terminal did not say), and the protocol off. After a protocol it
// reads and drops what the terminal still sends until the answer to a
// device attributes query written after it (DRAIN_WAIT_MS at most). All in
// one write; returns at once when the terminal has gone. Async-signal-safe;
// leaves errno as it was.
void term_restore(int fd, int set);
