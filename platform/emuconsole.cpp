#include "platform/emuconsole.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/ttyio.h"
#include "term/termmode.h"

namespace {

// Standard input; its address is the console input handle.
terminput con{STDIN_FILENO, {}, {}, 0, 0, {}, 0, 0};
bool asked;                     // the keyboard protocols have been asked for
volatile sig_atomic_t enabled;  // what was set (SET_ bits), to put back at the end

// fill, one byte a step, each step told to t.onstep. Kept out of line, so
// that fill stays as small as it is without it.
[[gnu::noinline]] bool fillsteps(terminput& t) {
  while (t.inpos < t.inlen && QCAP - t.qtail >= STEPRECS) {
    INPUT_RECORD* at = t.q + t.qtail;
    t.qtail += decode_byte(t.dec, t.in[t.inpos], at);
    t.onstep(t, t.in + t.inpos++, 1, at, static_cast<int>(t.q + t.qtail - at));
  }
  return t.inpos == t.inlen;
}

// Decodes read bytes into the queue behind the records there, as far as it
// has room; false when bytes are left over.
bool fill(terminput& t) {
  if (t.qhead == t.qtail) t.qhead = t.qtail = 0;
  if (t.onstep) return fillsteps(t);
  int used;
  t.qtail += decode(t.dec, t.in + t.inpos, t.inlen - t.inpos, t.q + t.qtail, QCAP - t.qtail, &used);
  t.inpos += used;
  return t.inpos == t.inlen;
}

// Everything read is decoded. A read short of the buffer got all the
// terminal had written, so it ends where a write did: there a bare ESC [ M
// or ESC [ O is settled (a mouse report or an SS3 key comes whole). A full
// read may have more of the write behind it. False when the queue has no room for the records.
bool endread(terminput& t) {
  if (t.inlen == INBUF) return true;
  if (t.qhead == t.qtail) t.qhead = t.qtail = 0;
  if (QCAP - t.qtail < KEYRECS) return false;
  int k = decode_readend(t.dec, t.q + t.qtail);
  if (t.onstep) t.onstep(t, nullptr, 0, t.q + t.qtail, k);
  t.qtail += k;
  return true;
}

// Input has paused: what is unfinished counts as typed.
void settle(terminput& t) {
  if (t.qhead == t.qtail) t.qhead = t.qtail = 0;
  if (QCAP - t.qtail < STEPRECS) return;
  int k = decode_flush(t.dec, t.q + t.qtail);
  if (t.onstep) t.onstep(t, nullptr, 0, t.q + t.qtail, k);
  t.qtail += k;
}

// Reads into the input buffer, all of it decoded. 1 when it read, 0 when
// nothing came (EINTR, EAGAIN), -1 on end of file, hangup (EIO) or failure.
int readin(terminput& t) {
  ssize_t got = read(t.fd, t.in, sizeof t.in);
  if (got > 0) {
    t.inpos = 0;
    t.inlen = static_cast<int>(got);
    return 1;
  }
  return got < 0 && (errno == EINTR || errno == EAGAIN) ? 0 : -1;
}

// Nothing is pending and no answer is awaited in time: the read itself
// waits, one system call a key. A continue meanwhile has its handler set
// the modes (term_continued) while the reader is idle here; one in the
// instant after the read has returned writes them before the items of
// what it read, which no screen tells apart. A descriptor left
// non-blocking (by another program on a description it shares) fails with
// EAGAIN: there select() waits, and the read comes round again.
bool readkey(terminput& t) {
  t.neg.idle = t.qhead == t.qtail;
  int got = readin(t);
  t.neg.idle = 0;
  if (got == 0 && errno == EAGAIN) return tty::waitin(t.fd, -1) >= 0 || errno == EINTR;
  return got >= 0;
}

// One step of reading: decodes what was read, settles what a pause has
// ended, or waits for input and reads it, carrying an open negotiation
// along. With `handout` it stops short of waiting once records are queued.
// False when the terminal has gone or the read failed.
bool advance(terminput& t, bool handout) {
  if (t.inpos < t.inlen) {
    fill(t);
    neg_answered(t.neg, t.dec);
    return true;
  }
  endread(t);
  // The bytes read with the last answer were typed before anything was
  // turned on: decoded as they were sent.
  if (t.neg.open && !t.dec.awaiting && !decode_pending(t.dec)) {
    neg_conclude(t.neg, t.dec);
    return true;
  }
  if (handout && t.qhead != t.qtail) return true;
  // Waiting for the answers: ASK_WAIT_MS of it at most, and a reply or a
  // key cut short meanwhile waits with them. Otherwise something
  // unfinished waits ESC_WAIT_MS for the rest and then counts as typed.
  negotiation& n = t.neg;
  bool asking = n.open && t.dec.awaiting;
  bool late = !n.open && t.dec.awaiting;
  if (late && tty::msleft(n.lateend) == 0) {  // no answer after all
    decode_endawait(t.dec);
    neg_answered(n, t.dec);
    late = false;
  }
  bool lone = !asking && decode_lonewait(t.dec);
  if (!asking && !lone) neg_repad(n, t.fd);
  int ms = asking                          ? n.askleft
           : lone                          ? ESC_WAIT_MS
           : late && decode_pending(t.dec) ? tty::msleft(n.lateend)
                                           : -1;
  if (ms < 0) return readkey(t);
  long long t0 = tty::nowms();
  int ready = tty::waitin(t.fd, ms);
  if (asking) n.askleft -= std::min(static_cast<long long>(n.askleft), tty::nowms() - t0);
  if (ready < 0) return errno == EINTR;
  if (ready == 0 && asking) {
    if (n.askleft == 0) neg_conclude(n, t.dec);  // too late: what has come counts
  } else if (ready == 0) {
    settle(t);
  }
  return ready == 0 || readin(t) >= 0;
}

void undo() { term_restore(con.fd, con.neg.out, enabled); }

void resume() { term_continued(con); }

}  // namespace

bool linuxconsole(const char* term) {
  return term && std::strncmp(term, "linux", 5) == 0 && (term[5] == '\0' || term[5] == '-');
}

int term_read(terminput& t, INPUT_RECORD* out, int n) {
  if (n < 1) return 0;
  if (!t.tty) {
    if (!isatty(t.fd) || !tty::waitable(t.fd)) return 0;
    t.tty = true;
  }
  while (t.qhead == t.qtail)
    if (!advance(t, true)) return 0;
  int k = 0;
  while (k < n && t.qhead < t.qtail) out[k++] = t.q[t.qhead++];
  return k;
}

void term_negotiate(terminput& t, volatile sig_atomic_t* on) {
  if (!neg_ask(t.neg, t.dec, t.fd, on)) return;
  // Until the answers, or until keys typed meanwhile fill the queue:
  // term_read goes on from there.
  while (t.neg.open && QCAP - t.qtail >= STEPRECS)
    if (!advance(t, false)) neg_conclude(t.neg, t.dec);
}

void term_continued(terminput& t) {
  if (t.neg.idle) neg_repad(t.neg, t.fd);
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
  if (!asked) {
    // The terminal is raw by now. What is set on it is put back before the
    // terminal attributes go back, however the program ends.
    asked = true;
    if (isatty(con.fd)) {
      con.neg.padmode = !linuxconsole(std::getenv("TERM"));
      con.neg.out = term_ownfd(con.fd);
      termonrestore(undo);
      termoncontinue(resume);
      term_negotiate(con, &enabled);
    }
  }
  int n = term_read(con, buf, len > INT_MAX ? INT_MAX : static_cast<int>(len));
  if (count) *count = static_cast<DWORD>(n);
  if (n > 0)
    errno = saved;
  else if (errno == 0)
    errno = EIO;
  return n > 0;
}
