#include "platform/ttyio.h"

#include <fcntl.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace tty {

namespace {

// How long a write to the terminal may wait for room at most. A terminal
// that takes no output (its reader has stalled, or output is stopped) must
// not keep a signal waiting on the write from taking effect: the fatal
// signal's handler writes the modes back, and tell holds every signal.
constexpr int WRITE_WAIT_MS = 300;

// Waits up to `ms` milliseconds for room to write on `fd`: 1 when there is
// some, 0 when the time ran out, -1 on failure.
int waitout(int fd, int ms) {
  if (!waitable(fd)) return -1;
  fd_set out;
  FD_ZERO(&out);
  FD_SET(fd, &out);
  timeval tv = {ms / 1000, ms % 1000 * 1000};
  return select(fd + 1, nullptr, &out, nullptr, &tv);
}

}  // namespace

void put(char* buf, size_t& n, command c) {
  for (size_t i = 0; i < c.len; ++i) buf[n++] = c.bytes[i];
}

long long nowms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

int msleft(long long end) {
  long long left = end - nowms();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool waitable(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

// select(), not poll(): macOS's poll() does not support devices and
// returns at once on a terminal.
int waitin(int fd, int ms) {
  if (!waitable(fd)) {
    errno = EINVAL;
    return -1;
  }
  fd_set in;
  FD_ZERO(&in);
  FD_SET(fd, &in);
  timeval tv = {ms / 1000, ms % 1000 * 1000};
  return select(fd + 1, &in, nullptr, nullptr, ms < 0 ? nullptr : &tv);
}

// A descriptor of keybytes' own is non-blocking from its open on: then the
// flags are left alone.
bool writeall(int fd, command c) {
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  int flags = fcntl(fd, F_GETFL);
  bool toggled = flags >= 0 && !(flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
  bool nonblock = toggled || (flags >= 0 && (flags & O_NONBLOCK));
  long long end = nowms() + WRITE_WAIT_MS;
  while (c.len > 0) {
    ssize_t k = write(fd, c.bytes, c.len);
    if (k > 0) {
      c.bytes += k;
      c.len -= static_cast<size_t>(k);
    } else if (k == 0 || errno != EAGAIN || !nonblock || msleft(end) == 0 ||
               waitout(fd, msleft(end)) <= 0) {
      break;
    }
  }
  if (toggled) fcntl(fd, F_SETFL, flags);
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return c.len == 0;
}

bool tell(int fd, command c, volatile sig_atomic_t* on, int set) {
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  bool ok = writeall(fd, c);
  if (ok) *on = set;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

}  // namespace tty
