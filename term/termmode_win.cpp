// The terminal modes on a native Windows console, which has no termios: the
// console's input mode holds the same switches. Line input is what ICANON is
// to a terminal, echo input ECHO, and processed input (Ctrl-C handled by the
// system instead of arriving as a key) ISIG. The console delivers CR as
// typed and has no output flow control or break, so nothing stands for the
// other flags.
#include <signal.h>

#include <cstdio>

#include "platform/console.h"
#include "term/termmode.h"

// Older MinGW-w64 headers lack it.
#ifndef ENABLE_VIRTUAL_TERMINAL_INPUT
#define ENABLE_VIRTUAL_TERMINAL_INPUT 0x200
#endif

namespace {

// The switches raw mode turns off. Virtual terminal input, if an earlier
// program left it on, would hand over the terminal's escape sequences as
// characters instead of key records, bypassing the key map.
constexpr DWORD CLEARED =
    ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT | ENABLE_VIRTUAL_TERMINAL_INPUT;

DWORD tmp1;  // raw mode, as applied by termraw
DWORD tmp2;  // as found, applied again by termcanon

// The C runtime raises neither SIGHUP nor SIGPIPE; those it lacks are left out.
const int ignored[] = {
#ifdef SIGHUP
    SIGHUP,
#endif
    SIGTERM,
    SIGINT,
#ifdef SIGPIPE
    SIGPIPE,
#endif
};

// Signals that would end the process with the console still raw; Ctrl-Break
// (SIGBREAK) is one, as it is not a key even in raw mode.
const int fatal[] = {
    SIGILL,   SIGABRT, SIGFPE, SIGSEGV,
#ifdef SIGBREAK
    SIGBREAK,
#endif
};

// Keys typed but not yet read are dropped, as a terminal's TCSAFLUSH drops
// them. Output needs no draining: console writes are done when they return.
void apply(DWORD mode) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  SetConsoleMode(in, mode);
  FlushConsoleInputBuffer(in);
}

void restore(int sig) {
  apply(tmp2);
  signal(sig, SIG_DFL);
  raise(sig);
}

void dispose(void (*how)(int)) {
  for (int sig : ignored) signal(sig, how);
}

}  // namespace

void settermout() { setvbuf(stdout, nullptr, _IONBF, 0); }

void termraw() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  GetConsoleMode(in, &tmp1);
  GetConsoleMode(in, &tmp2);
  tmp1 &= ~CLEARED;
  apply(tmp1);
  dispose(SIG_IGN);
  for (int sig : fatal) signal(sig, restore);
}

void termcanon() {
  apply(tmp2);
  dispose(SIG_DFL);
  for (int sig : fatal) signal(sig, SIG_DFL);
}

// A Windows console process is never stopped and continued.
void termoncontinue(void (*)()) {}
int termresumes() { return 0; }
