// keybytes-trace's lines: the bytes a terminal sent, each console record the
// decoder made from them, and what keybytes shows for each record.
#pragma once

#include <cstdint>

#include "platform/decode.h"

// Bytes of one input event kept for its line; more are only counted.
constexpr int HELD = 64;

struct tracer {
  void (*write)(const char* s, int n);  // where the lines go
  const char* eol;                      // "\r\n" on a raw terminal
  uint8_t held[HELD];                   // bytes taken since the last line
  int nheld;
  long extra;  // bytes taken beyond HELD
  bool quit;   // keybytes has shown a q or Q, which would end it
};

// Writes a line, with the tracer's line end.
void trace_line(tracer& tr, const char* text);

// The titles of the columns.
void trace_titles(tracer& tr);

// One decode step: the bytes it took (none where a read's end or a pause
// settled what was pending) and the records it made, `d` as it left the
// decoder. Bytes that made no record yet are held; the records come out
// with the bytes behind them, less those `d` still holds for the next key.
// Bytes that end with nothing pending and no record come out on their own.
void trace_step(tracer& tr, const decoder& d, const uint8_t* bytes, int n, const INPUT_RECORD* recs,
                int k);

// Records read from a console, with no bytes behind them.
void trace_records(tracer& tr, const INPUT_RECORD* recs, int k);

// Decodes the bytes of `fd` to their end as `proto` input, read by read as
// the emulated console decodes a terminal's, and traces every step; the end
// of the input counts as a pause. False when a read fails.
bool trace_saved(tracer& tr, int fd, keyproto proto);

// Text for bytes as a terminal sent them: ESC [ as CSI, ESC, other control
// bytes as ^X, space as SP, bytes beyond ASCII as \xNN, printable ones as
// themselves. Returns `out` (size `cap`).
const char* bytetext(char* out, int cap, const uint8_t* bytes, int n);
