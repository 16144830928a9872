#include "platform/emuconsole.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "term/termmode.h"

namespace {

// Standard input; its address is the console input handle.
terminput con{STDIN_FILENO, {}, {}, 0, 0, {}, 0, 0};
bool asked;                     // the keyboard protocols have been asked for
volatile sig_atomic_t enabled;  // what was set (SET_ bits), to put back at the end

// The queries, in one write: win32-input-mode's state (DECRQM 9001), the
// kitty protocol's flags, the keypad's and the cursor keys' modes (DECRQM 66
// and 1), and primary device attributes, which every terminal answers,
// after them.
const char ASK[] = "\x1b[?9001$p\x1b[?u\x1b[?66$p\x1b[?1$p\x1b[c";

// Turning a protocol on, and off again. kitty's flags 31 (disambiguate,
// event types, alternate keys, all keys as reports, text) are pushed and
// popped, so the flags in force before come back.
struct command {
  const char* bytes;
  size_t len;
};
template <size_t N>
constexpr command cmd(const char (&s)[N]) {
  return {s, N - 1};
}
constexpr command turnon[] = {{nullptr, 0}, cmd("\x1b[>31u"), cmd("\x1b[?9001h")};
constexpr command turnoff[] = {{nullptr, 0}, cmd("\x1b[<u"), cmd("\x1b[?9001l")};
static_assert(PROTO_KITTY == 1 && PROTO_WIN32 == 2, "turnon and turnoff are indexed by keyproto");

// Application cursor keys (DECCKM) and keypad (DECKPAM), as terminfo's
// keypad_xmit has them; each goes back as it was found.
constexpr command padon = cmd("\x1b[?1h\x1b=");
constexpr command cursorback[] = {cmd("\x1b[?1l"), cmd("\x1b[?1h")};
constexpr command keypadback[] = {cmd("\x1b>"), cmd("\x1b=")};

// The device attributes query whose answer ends the drain.
constexpr command askda = cmd("\x1b[c");

long long nowms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

int msleft(long long end) {
  long long left = end - nowms();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Whether `fd` can be waited on: select() takes no descriptor beyond
// FD_SETSIZE, and writing past an fd_set would corrupt memory.
bool waitable(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

// Waits up to `ms` milliseconds (forever when negative) for input on `fd`:
// 1 when there is some (or the terminal has hung up, which the read then
// tells), 0 when the time ran out, -1 on failure, with errno EINTR when a
// signal came. select(), not poll(): macOS's poll() does not support
// devices and returns at once on a terminal. Async-signal-safe.
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

// How long a write to the terminal may wait for room at most. A terminal
// that takes no output (its reader has stalled, or output is stopped) must
// not keep a signal waiting on the write from taking effect: the fatal
// signal's handler writes the modes back, and tell holds every signal.
constexpr int WRITE_WAIT_MS = 300;

// Waits up to `ms` milliseconds for room to write on `fd`: 1 when there is
// some, 0 when the time ran out, -1 on failure. Async-signal-safe.
int waitout(int fd, int ms) {
  if (!waitable(fd)) return -1;
  fd_set out;
  FD_ZERO(&out);
  FD_SET(fd, &out);
  timeval tv = {ms / 1000, ms % 1000 * 1000};
  return select(fd + 1, nullptr, &out, nullptr, &tv);
}

// Writes `c` to `fd` within WRITE_WAIT_MS; false when not all of it went.
// The descriptor is made non-blocking meanwhile. Its open file description
// is the shell's too, so every signal that can be held waits until the
// flags are back: no handler, stop or exit finds them changed.
// Async-signal-safe.
bool writeall(int fd, command c) {
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  int flags = fcntl(fd, F_GETFL);
  bool nonblock = flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
  long long end = nowms() + WRITE_WAIT_MS;
  while (c.len > 0) {
    ssize_t k = write(fd, c.bytes, c.len);
    if (k > 0) {
      c.bytes += k;
      c.len -= static_cast<size_t>(k);
    } else if (k == 0 || errno != EAGAIN || !nonblock || waitout(fd, msleft(end)) <= 0) {
      break;
    }
  }
  if (nonblock) fcntl(fd, F_SETFL, flags);
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return c.len == 0;
}

// Writes `c` and records `set` in `*on` while signals wait, so that a
// signal handler sees exactly what the terminal was told.
bool tell(int fd, command c, volatile sig_atomic_t* on, int set) {
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  bool ok = writeall(fd, c);
  if (ok) *on = set;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

// Appends `c` to `buf`, which holds `n` bytes. Async-signal-safe.
void put(char* buf, size_t& n, command c) {
  for (size_t i = 0; i < c.len; ++i) buf[n++] = c.bytes[i];
}

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
// is settled (a mouse report comes whole). A full read may have more of the
// write behind it. False when the queue has no room for the records.
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

// Sets the keypad modes again after a stop, with every record handed out
// and no input waiting: by then the display loop has shown the items of
// every key typed, so the bytes never land among the items of a paste still
// being shown. The count is taken before the write, so a continue during
// it has them written again.
void repad(terminput& t) {
  int now = termresumes();
  if (!t.padset || now == t.resumes || waitin(t.fd, 0) > 0) return;
  t.resumes = now;
  writeall(t.fd, padon);
}

void undo() { term_restore(STDIN_FILENO, enabled); }

}  // namespace

bool linuxconsole(const char* term) {
  return term && std::strncmp(term, "linux", 5) == 0 && (term[5] == '\0' || term[5] == '-');
}

int term_read(terminput& t, INPUT_RECORD* out, int n) {
  if (n < 1) return 0;
  if (!t.tty) {
    if (!isatty(t.fd)) return 0;
    t.tty = true;
  }
  while (t.qhead == t.qtail) {
    if (t.inpos < t.inlen) {
      fill(t);
      continue;
    }
    endread(t);
    if (t.qhead != t.qtail) break;
    // Something unfinished in legacy input waits ESC_WAIT_MS for the rest
    // and then counts as typed; otherwise wait for input.
    bool unfinished = decode_pending(t.dec) && t.dec.proto == PROTO_LEGACY;
    if (!unfinished) repad(t);
    int ready = waitin(t.fd, unfinished ? ESC_WAIT_MS : -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (ready == 0) {
      settle(t);
      continue;
    }
    if (readin(t) < 0) return 0;
  }
  int k = 0;
  while (k < n && t.qhead < t.qtail) out[k++] = t.q[t.qhead++];
  return k;
}

void term_negotiate(terminput& t, volatile sig_atomic_t* on) {
  *on = PROTO_LEGACY;
  if (!waitable(t.fd) || !writeall(t.fd, cmd(ASK))) return;
  t.dec.replies = 0;
  long long end = nowms() + ASK_WAIT_MS;
  for (;;) {
    if (t.inpos < t.inlen) {
      if (!fill(t)) break;  // the queue is full: no room to read further
      continue;
    }
    if (!endread(t)) break;
    bool answered = t.dec.replies & SEEN_DA1;
    if (answered && !decode_pending(t.dec)) break;
    // After the last answer only a key typed meanwhile can be unfinished:
    // it gets the lone-ESC wait of legacy input, as it was typed in it.
    int ready = waitin(t.fd, answered ? std::min(ESC_WAIT_MS, msleft(end)) : msleft(end));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0 && answered) settle(t);
    if (ready <= 0 || readin(t) < 0) break;
  }

  uint8_t seen = t.dec.replies;
  if (seen & SEEN_W32ON) {  // on already: decode it, leave it on
    t.dec.proto = PROTO_WIN32;
    return;
  }
  keyproto want = seen & SEEN_W32 ? PROTO_WIN32 : seen & SEEN_KITTY ? PROTO_KITTY : PROTO_LEGACY;
  if (want == PROTO_LEGACY) {
    // Under a protocol every keypad key is a report whatever the mode, so
    // only legacy input needs application mode.
    if (!t.padmode) return;
    int had = (seen & SEEN_KPAM ? HAD_KEYPAD : 0) | (seen & SEEN_DECCKM ? HAD_CURSOR : 0);
    t.resumes = termresumes();
    t.padset = tell(t.fd, padon, on, SET_KEYPAD | had);
    return;
  }
  if (decode_pending(t.dec)) settle(t);  // legacy input cut short by the deadline
  if (tell(t.fd, turnon[want], on, want)) t.dec.proto = want;
}

void term_restore(int fd, int set) {
  int proto = set & SET_PROTO;
  bool drain = proto == PROTO_KITTY || proto == PROTO_WIN32;
  if (!drain && !(set & SET_KEYPAD)) return;
  int saved = errno;
  // Without a way to wait for the answer, no query: it would be left for
  // the next program.
  drain = drain && waitable(fd);
  char buf[32];
  size_t n = 0;
  if (set & SET_KEYPAD) {
    put(buf, n, cursorback[(set & HAD_CURSOR) != 0]);
    put(buf, n, keypadback[(set & HAD_KEYPAD) != 0]);
  }
  if (proto == PROTO_KITTY || proto == PROTO_WIN32) put(buf, n, turnoff[proto]);
  if (drain) put(buf, n, askda);
  if (writeall(fd, {buf, n}) && drain) {
    // Reports already on their way are read while the terminal is still
    // raw, so none is echoed or left for the next program.
    decoder d{};
    INPUT_RECORD dropped[STEPRECS];
    uint8_t in[64];
    long long end = nowms() + DRAIN_WAIT_MS;
    while (!(d.replies & SEEN_DA1)) {
      int ready = waitin(fd, msleft(end));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      ssize_t got = read(fd, in, sizeof in);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) break;
      for (ssize_t i = 0; i < got; ++i) decode_byte(d, in[i], dropped);
    }
  }
  errno = saved;
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
      con.padmode = !linuxconsole(std::getenv("TERM"));
      termonrestore(undo);
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
