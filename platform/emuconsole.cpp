#include "platform/emuconsole.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
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
// and 1), the modifyOtherKeys level (XTQMODKEYS), and primary device
// attributes, which every terminal answers, after them. A terminal that
// does not know a query may act on it as on the same final without the
// marker (st restores the cursor on CSI ? u and underlines after CSI ? 4 m),
// so the cursor and its attributes are saved before (DECSC, ESC 7: \0337)
// and put back after (DECRC, ESC 8: \0338).
const char ASK[] = "\0337\x1b[?9001$p\x1b[?u\x1b[?66$p\x1b[?1$p\x1b[?4m\x1b[c\0338";

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

// modifyOtherKeys level 2: keys with modifiers as CSI 27 ; m ; c ~. Only
// where the terminal answered XTQMODKEYS: one that does not know the
// sequence may take it for text attributes.
constexpr command modon = cmd("\x1b[>4;2m");

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
    } else if (k == 0 || errno != EAGAIN || !nonblock || msleft(end) == 0 ||
               waitout(fd, msleft(end)) <= 0) {
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

// The modes legacy input sets: the keypad's, modifyOtherKeys. Their bytes
// go to `buf` (16 bytes); returns how many.
size_t legacymodes(bool pad, bool mod, char* buf) {
  size_t n = 0;
  if (pad) put(buf, n, padon);
  if (mod) put(buf, n, modon);
  return n;
}

// Sets legacy input's modes again after a stop, with every record handed
// out and no input waiting: by then the display loop has shown the items
// of every key typed, so the bytes never land among the items of a paste
// still being shown. The count is taken before the write, so a continue
// during it has them written again.
void repad(terminput& t) {
  int now = termresumes();
  if (!(t.padset || t.modset) || now == t.resumes || waitin(t.fd, 0) > 0) return;
  t.resumes = now;
  char buf[16];
  writeall(t.fd, {buf, legacymodes(t.padset, t.modset, buf)});
}

// The answers have come: nothing left for term_restore to wait for.
void noteanswered(terminput& t) {
  if (t.on && !t.dec.awaiting && (*t.on & SET_ASKING)) *t.on = *t.on & ~SET_ASKING;
}

// Ends the negotiation: turns on the first protocol the answers offered,
// or sets legacy input's modes, and records it in `*t.on`. An answer still
// on its way stays awaited, and recorded, until it comes.
void conclude(terminput& t) {
  t.open = false;
  t.lateend = nowms() + LATE_WAIT_MS;
  int asking = t.dec.awaiting ? SET_ASKING : 0;
  uint8_t seen = t.dec.replies;
  if (seen & SEEN_W32ON) {  // on already: decode it, leave it on
    t.dec.proto = PROTO_WIN32;
    return;
  }
  // xterm.js's win32 records are not a Windows console's (Ctrl+1 carries
  // a 1, the keypad no NumLock): its kitty reports, or legacy input, give
  // more keys right.
  bool w32 = (seen & SEEN_W32) && !(seen & SEEN_VT100);
  keyproto want = w32 ? PROTO_WIN32 : seen & SEEN_KITTY ? PROTO_KITTY : PROTO_LEGACY;
  if (want != PROTO_LEGACY) {
    if (tell(t.fd, turnon[want], t.on, want | asking)) t.dec.proto = want;
    return;
  }
  // Under a protocol every key is a report whatever the modes, so only
  // legacy input needs application keypad and modifyOtherKeys.
  bool pad = t.padmode, mod = seen & SEEN_MODKEYS;
  int set = asking;
  if (pad)
    set |= SET_KEYPAD | (seen & SEEN_KPAM ? HAD_KEYPAD : 0) | (seen & SEEN_DECCKM ? HAD_CURSOR : 0);
  if (mod) set |= SET_MODKEYS | had_modkeys(t.dec.modkeys);
  char buf[16];
  size_t n = legacymodes(pad, mod, buf);
  if (n == 0) return;
  t.resumes = termresumes();
  if (!tell(t.fd, {buf, n}, t.on, set)) return;
  t.padset = pad;
  t.modset = mod;
}

// One step of reading: decodes what was read, settles what a pause has
// ended, or waits for input and reads it, carrying an open negotiation
// along. With `handout` it stops short of waiting once records are queued.
// False when the terminal has gone or the read failed.
bool advance(terminput& t, bool handout) {
  if (t.inpos < t.inlen) {
    fill(t);
    noteanswered(t);
    return true;
  }
  endread(t);
  // The bytes read with the last answer were typed before anything was
  // turned on: decoded as they were sent.
  if (t.open && !t.dec.awaiting && !decode_pending(t.dec)) {
    conclude(t);
    return true;
  }
  if (handout && t.qhead != t.qtail) return true;
  // Waiting for the answers: ASK_WAIT_MS of it at most, and a reply or a
  // key cut short meanwhile waits with them. Otherwise something
  // unfinished waits ESC_WAIT_MS for the rest and then counts as typed.
  bool asking = t.open && t.dec.awaiting;
  bool late = !t.open && t.dec.awaiting;
  if (late && msleft(t.lateend) == 0) {  // no answer after all
    decode_endawait(t.dec);
    noteanswered(t);
    late = false;
  }
  bool lone = !asking && decode_lonewait(t.dec);
  if (!asking && !lone) repad(t);
  long long t0 = nowms();
  int ms = asking                          ? t.askleft
           : lone                          ? ESC_WAIT_MS
           : late && decode_pending(t.dec) ? msleft(t.lateend)
                                           : -1;
  int ready = waitin(t.fd, ms);
  if (asking) t.askleft -= std::min(static_cast<long long>(t.askleft), nowms() - t0);
  if (ready < 0) return errno == EINTR;
  if (ready == 0 && asking) {
    if (t.askleft == 0) conclude(t);  // too late: what has come counts
  } else if (ready == 0) {
    settle(t);
  }
  return ready == 0 || readin(t) >= 0;
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
  while (t.qhead == t.qtail)
    if (!advance(t, true)) return 0;
  int k = 0;
  while (k < n && t.qhead < t.qtail) out[k++] = t.q[t.qhead++];
  return k;
}

void term_negotiate(terminput& t, volatile sig_atomic_t* on) {
  // Raw mode keeps the erase character found: the byte Backspace sends.
  termios ta;
  if (tcgetattr(t.fd, &ta) == 0) t.dec.erase = ta.c_cc[VERASE];
  *on = PROTO_LEGACY;
  t.on = on;
  t.dec.replies = 0;
  t.dec.awaiting = 1;
  if (!waitable(t.fd) || !tell(t.fd, cmd(ASK), on, SET_ASKING)) {
    t.dec.awaiting = 0;
    return;
  }
  // Until the answers, or until keys typed meanwhile fill the queue:
  // term_read goes on from there.
  t.open = true;
  t.askleft = ASK_WAIT_MS;
  while (t.open && QCAP - t.qtail >= STEPRECS)
    if (!advance(t, false)) conclude(t);
}

void term_restore(int fd, int set) {
  int proto = set & SET_PROTO;
  bool on = proto == PROTO_KITTY || proto == PROTO_WIN32;
  if (!on && !(set & (SET_KEYPAD | SET_MODKEYS | SET_ASKING))) return;
  int saved = errno;
  // Without a way to wait for the answer, no query: it would be left for
  // the next program.
  bool ask = on && waitable(fd);
  char buf[32];
  size_t n = 0;
  if (set & SET_KEYPAD) {
    put(buf, n, cursorback[(set & HAD_CURSOR) != 0]);
    put(buf, n, keypadback[(set & HAD_KEYPAD) != 0]);
  }
  if (set & SET_MODKEYS) {  // back to the level found: CSI > 4 ; level m, or CSI > 4 m
    int level = modkeys_had(set);
    put(buf, n, cmd("\x1b[>4"));
    if (level != NOVAL) {
      buf[n++] = ';';
      buf[n++] = static_cast<char>('0' + level);
    }
    buf[n++] = 'm';
  }
  if (on) put(buf, n, turnoff[proto]);
  if (ask) put(buf, n, askda);
  // The answers awaited: to this query, and to the first ones where they
  // have not all come.
  int answers = (ask ? 1 : 0) + (set & SET_ASKING && waitable(fd) ? 1 : 0);
  if ((n == 0 || writeall(fd, {buf, n})) && answers) {
    // Reports and answers already on their way are read while the
    // terminal is still raw, so none is echoed or left for the next
    // program.
    decoder d{};
    d.awaiting = static_cast<uint8_t>(answers);
    INPUT_RECORD dropped[STEPRECS];
    uint8_t in[64];
    long long end = nowms() + DRAIN_WAIT_MS;
    while (d.awaiting) {
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
