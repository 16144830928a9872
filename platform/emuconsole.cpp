#include "platform/emuconsole.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace {

// Standard input; its address is the console input handle.
terminput con{STDIN_FILENO, {}, {}, 0, 0, {}, 0, 0};

// Decodes read bytes into the empty queue, as many as it has room for.
void fill(terminput& t) {
  int used;
  t.qhead = 0;
  t.qtail = decode(t.dec, t.in + t.inpos, t.inlen - t.inpos, t.q, QCAP, &used);
  t.inpos += used;
}

}  // namespace

int term_read(terminput& t, INPUT_RECORD* out, int n) {
  if (n < 1) return 0;
  if (t.qhead == t.qtail && !isatty(t.fd)) return 0;
  while (t.qhead == t.qtail) {
    if (t.inpos < t.inlen) {
      fill(t);
      continue;
    }
    // Everything read is decoded. Something unfinished waits ESC_WAIT_MS
    // for the rest and then counts as typed; otherwise wait for input.
    pollfd p = {t.fd, POLLIN, 0};
    int ready = poll(&p, 1, decode_pending(t.dec) ? ESC_WAIT_MS : -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (ready == 0) {
      t.qhead = 0;
      t.qtail = decode_flush(t.dec, t.q);
      continue;
    }
    ssize_t got = read(t.fd, t.in, sizeof t.in);
    if (got > 0) {
      t.inpos = 0;
      t.inlen = static_cast<int>(got);
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      return 0;  // end of file, hangup (EIO), or a failed read
    }
  }
  int k = 0;
  while (k < n && t.qhead < t.qtail) out[k++] = t.q[t.qhead++];
  return k;
}

HANDLE GetStdHandle(DWORD nStdHandle) {
  return nStdHandle == STD_INPUT_HANDLE ? &con : INVALID_HANDLE_VALUE;
}

BOOL ReadConsoleInputA(HANDLE h, INPUT_RECORD* buf, DWORD len, DWORD* count) {
  if (count) *count = 0;
  if (h != &con || !buf || len < 1) {
    errno = EBADF;
    return 0;
  }
  // The display loop tells a failed read from a typed byte 0xFF by errno:
  // a success leaves it as it was, a failure always sets it.
  int saved = errno;
  errno = 0;
  int n = term_read(con, buf, len > INT_MAX ? INT_MAX : static_cast<int>(len));
  if (count) *count = static_cast<DWORD>(n);
  if (n > 0)
    errno = saved;
  else if (errno == 0)
    errno = EIO;
  return n > 0;
}
