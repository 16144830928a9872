// Bounded waits on the terminal and bounded writes to it, for the emulated
// console's read loop and its negotiation. Every function here is
// async-signal-safe: the handlers that put the terminal back, or set its
// modes again after a continue, call them too. Internal to platform/.
#pragma once

#include <csignal>
#include <cstddef>

namespace tty {

// Bytes written to the terminal in one go.
struct command {
  const char* bytes;
  size_t len;
};
template <size_t N>
constexpr command cmd(const char (&s)[N]) {
  return {s, N - 1};
}

// Appends `c` to `buf`, which holds `n` bytes.
void put(char* buf, size_t& n, command c);

// The monotonic clock in milliseconds, and what is left until `end` (0 once
// it has passed).
long long nowms();
int msleft(long long end);

// Whether `fd` can be waited on: select() takes no descriptor beyond
// FD_SETSIZE, and writing past an fd_set would corrupt memory.
bool waitable(int fd);

// Waits up to `ms` milliseconds (forever when negative) for input on `fd`:
// 1 when there is some (or the terminal has hung up, which the read then
// tells), 0 when the time ran out, -1 on failure, with errno EINTR when a
// signal came.
int waitin(int fd, int ms);

// Writes `c` to `fd` within WRITE_WAIT_MS; false when not all of it went.
// A descriptor that blocks is made non-blocking meanwhile, with every
// signal that can be held waiting until its flags are back: its open file
// description may be the shell's too.
bool writeall(int fd, command c);

// Writes `c` and records `set` in `*on` while signals wait, so that a
// signal handler sees exactly what the terminal was told.
bool tell(int fd, command c, volatile sig_atomic_t* on, int set);

}  // namespace tty
