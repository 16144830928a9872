#include "platform/negotiate.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ttyio.h"
#include "term/termmode.h"

using tty::cmd;
using tty::command;

namespace {

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

// The modes legacy input sets: the keypad's, modifyOtherKeys. Their bytes
// go to `buf` (16 bytes); returns how many.
size_t legacymodes(bool pad, bool mod, char* buf) {
  size_t n = 0;
  if (pad) tty::put(buf, n, padon);
  if (mod) tty::put(buf, n, modon);
  return n;
}

}  // namespace

int term_ownfd(int fd) {
  char path[256];
  if (ttyname_r(fd, path, sizeof path) != 0) return fd;
  int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (own < 0) return fd;
  if (tty::waitable(own)) return own;
  close(own);
  return fd;
}

bool neg_ask(negotiation& n, decoder& d, int fd, volatile sig_atomic_t* on) {
  // Raw mode keeps the erase character found: the byte Backspace sends.
  termios ta;
  if (tcgetattr(fd, &ta) == 0) d.erase = ta.c_cc[VERASE];
  *on = PROTO_LEGACY;
  n.on = on;
  if (n.out < 0) n.out = fd;
  d.replies = 0;
  d.awaiting = 1;
  // Without a way to wait for the answers, no queries: they would be left
  // for the next program.
  if (!tty::waitable(fd) || !tty::tell(n.out, cmd(ASK), on, SET_ASKING)) {
    d.awaiting = 0;
    return false;
  }
  n.open = true;
  n.askleft = ASK_WAIT_MS;
  return true;
}

void neg_answered(negotiation& n, const decoder& d) {
  if (n.on && !d.awaiting && (*n.on & SET_ASKING)) *n.on = *n.on & ~SET_ASKING;
}

// An answer still on its way stays awaited, and recorded, until it comes.
void neg_conclude(negotiation& n, decoder& d) {
  n.open = false;
  n.lateend = tty::nowms() + LATE_WAIT_MS;
  int asking = d.awaiting ? SET_ASKING : 0;
  uint8_t seen = d.replies;
  if (seen & SEEN_W32ON) {  // on already: decode it, leave it on
    d.proto = PROTO_WIN32;
    return;
  }
  // xterm.js's win32 records are not a Windows console's (Ctrl+1 carries
  // a 1, the keypad no NumLock): its kitty reports, or legacy input, give
  // more keys right.
  bool w32 = (seen & SEEN_W32) && !(seen & SEEN_VT100);
  keyproto want = w32 ? PROTO_WIN32 : seen & SEEN_KITTY ? PROTO_KITTY : PROTO_LEGACY;
  if (want != PROTO_LEGACY) {
    if (tty::tell(n.out, turnon[want], n.on, want | asking)) d.proto = want;
    return;
  }
  // Under a protocol every key is a report whatever the modes, so only
  // legacy input needs application keypad and modifyOtherKeys.
  bool pad = n.padmode, mod = seen & SEEN_MODKEYS;
  int set = asking;
  if (pad)
    set |= SET_KEYPAD | (seen & SEEN_KPAM ? HAD_KEYPAD : 0) | (seen & SEEN_DECCKM ? HAD_CURSOR : 0);
  if (mod) set |= SET_MODKEYS | had_modkeys(d.modkeys);
  char buf[16];
  size_t len = legacymodes(pad, mod, buf);
  if (len == 0) return;
  n.resumes = termresumes();
  if (!tty::tell(n.out, {buf, len}, n.on, set)) return;
  n.padset = pad;
  n.modset = mod;
}

// With input waiting, the display loop has keys of before the stop still
// to show: the modes wait until it has shown them, so that their bytes
// never land among the items of a paste. The count is taken before the
// write, so a continue during it has them written again.
void neg_repad(negotiation& n, int fd) {
  int now = termresumes();
  if (!(n.padset || n.modset) || now == n.resumes || tty::waitin(fd, 0) > 0) return;
  n.resumes = now;
  char buf[16];
  tty::writeall(n.out, {buf, legacymodes(n.padset, n.modset, buf)});
}

void term_restore(int fd, int out, int set) {
  int proto = set & SET_PROTO;
  bool on = proto == PROTO_KITTY || proto == PROTO_WIN32;
  if (!on && !(set & (SET_KEYPAD | SET_MODKEYS | SET_ASKING))) return;
  int saved = errno;
  // Without a way to wait for the answer, no query: it would be left for
  // the next program.
  bool ask = on && tty::waitable(fd);
  char buf[32];
  size_t n = 0;
  if (set & SET_KEYPAD) {
    tty::put(buf, n, cursorback[(set & HAD_CURSOR) != 0]);
    tty::put(buf, n, keypadback[(set & HAD_KEYPAD) != 0]);
  }
  if (set & SET_MODKEYS) {  // back to the level found: CSI > 4 ; level m, or CSI > 4 m
    int level = modkeys_had(set);
    tty::put(buf, n, cmd("\x1b[>4"));
    if (level != NOVAL) {
      buf[n++] = ';';
      buf[n++] = static_cast<char>('0' + level);
    }
    buf[n++] = 'm';
  }
  if (on) tty::put(buf, n, turnoff[proto]);
  if (ask) tty::put(buf, n, askda);
  // The answers awaited: to this query, and to the first ones where they
  // have not all come.
  int answers = (ask ? 1 : 0) + (set & SET_ASKING && tty::waitable(fd) ? 1 : 0);
  if ((n == 0 || tty::writeall(out, {buf, n})) && answers) {
    // Reports and answers already on their way are read while the
    // terminal is still raw, so none is echoed or left for the next
    // program.
    decoder d{};
    d.awaiting = static_cast<uint8_t>(answers);
    INPUT_RECORD dropped[STEPRECS];
    uint8_t in[64];
    long long end = tty::nowms() + DRAIN_WAIT_MS;
    while (d.awaiting) {
      int ready = tty::waitin(fd, tty::msleft(end));
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
