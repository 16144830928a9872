// A pseudo-terminal in raw mode for the emulated console's benchmarks: the
// benchmark writes to `master` as the terminal, the console reads `tty`.
#pragma once

#include <pty.h>
#include <termios.h>

inline bool rawpty(int& master, int& tty) {
  if (openpty(&master, &tty, nullptr, nullptr, nullptr) != 0) return false;
  termios raw;
  tcgetattr(tty, &raw);
  cfmakeraw(&raw);
  tcsetattr(tty, TCSANOW, &raw);
  return true;
}
