// The console key reader: key presses in, emitted bytes out, one per call.
#pragma once

#include "platform/console.h"

// The console input handle, fetched on first use and kept; fetched again
// only while the fetch has yielded INVALID_HANDLE_VALUE.
HANDLE get_the_io_handle();

// The next emitted byte, sign-extended (-128..127, never 0), or -1 when the
// console read fails. Blocks until a key press yields a byte.
int getchGNU();

// What one console record emits, and why nothing where it emits nothing.
enum emitted {
  EMITS,         // the bytes in `out`
  EMIT_NOTKEY,   // not a key event
  EMIT_KEYUP,    // a key release
  EMIT_NOROW,    // a key with no character and no keytable row
  EMIT_NULCHAR,  // a character whose byte is 0
};

// The bytes getchGNU hands out for `rec`, NUL-terminated in `out` (at least
// MAXSEQ + 1 bytes) when EMITS; otherwise `out` is left empty where it was
// empty.
emitted record_emits(INPUT_RECORD& rec, char* out);
