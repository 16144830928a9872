// The emulated console's input side: console input records read from a
// terminal. ReadConsoleInputA serves standard input through it; tests and
// benchmarks drive it on a terminal of their own.
#pragma once

#include "platform/decode.h"

// How long input that ends in the middle of a sequence (an ESC above all)
// waits for the rest before it counts as typed: a lone ESC becomes the
// Escape key after this many milliseconds without further input.
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
};

// Blocks until a record is available, then moves up to `n` queued records to
// `out` and returns their number. Returns 0 at once when `t.fd` is not a
// terminal, and when the terminal has hung up or the read fails. Never
// changes the terminal's attributes.
int term_read(terminput& t, INPUT_RECORD* out, int n);
