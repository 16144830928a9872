// keybytes with its output gathered into one write per key press instead
// of one write per shown item: the same program, linked with two symbols
// wrapped. Standard output gets a full buffer, and the buffer is flushed
// each time the key reader asks the console for a record, which is the only
// place the program can block. Built to measure that change side by side;
// the shipped program keeps its unbuffered output.
#include <cstdio>

#include "platform/console.h"

// Mangled names of settermout() and ReadConsoleInputA(...), both C++.
extern "C" {
BOOL __real__Z17ReadConsoleInputAPvP13_INPUT_RECORDjPj(HANDLE, INPUT_RECORD*, DWORD, DWORD*);

void __wrap__Z10settermoutv() {
  static char buf[4096];
  std::setvbuf(stdout, buf, _IOFBF, sizeof buf);
}

BOOL __wrap__Z17ReadConsoleInputAPvP13_INPUT_RECORDjPj(HANDLE h, INPUT_RECORD* rec, DWORD n,
                                                       DWORD* got) {
  std::fflush(stdout);
  return __real__Z17ReadConsoleInputAPvP13_INPUT_RECORDjPj(h, rec, n, got);
}
}
