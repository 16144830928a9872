// The emulated console on real descriptors: pseudo-terminals the tests
// create, pipes and /dev/null.
#include "platform/emuconsole.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using clk = std::chrono::steady_clock;

// A pseudo-terminal whose terminal side is raw, as the display loop leaves
// it; the test plays the terminal emulator on the master side.
struct pty {
  int master = -1, tty = -1;
  pty() {
    if (openpty(&master, &tty, nullptr, nullptr, nullptr) != 0) return;
    termios t;
    tcgetattr(tty, &t);
    cfmakeraw(&t);
    tcsetattr(tty, TCSANOW, &t);
  }
  ~pty() {
    if (master >= 0) close(master);
    if (tty >= 0) close(tty);
  }
  void type(const std::string& s) const {
    ASSERT_EQ(write(master, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  void hangup() {
    close(master);
    master = -1;
  }
  // What the program has written to the terminal so far.
  std::string written() const {
    std::string out;
    char buf[256];
    pollfd pfd{master, POLLIN, 0};
    while (poll(&pfd, 1, 0) == 1) {
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, size_t(n));
    }
    return out;
  }
  // Whether input waits on the program's side.
  bool unread() const {
    pollfd pfd{tty, POLLIN, 0};
    return poll(&pfd, 1, 0) == 1;
  }
};

struct key {
  WORD vk;
  int ch;
  bool down;
  bool operator==(const key& o) const { return vk == o.vk && ch == o.ch && down == o.down; }
};

key keyof(const INPUT_RECORD& r) {
  const KEY_EVENT_RECORD& k = r.Event.KeyEvent;
  return {k.wVirtualKeyCode, static_cast<uint8_t>(k.uChar.AsciiChar), k.bKeyDown != 0};
}

// The next `n` records, read one at a time.
std::vector<key> next(terminput& t, int n) {
  std::vector<key> out;
  INPUT_RECORD r;
  for (int i = 0; i < n && term_read(t, &r, 1) == 1; ++i) out.push_back(keyof(r));
  return out;
}

double seconds_since(clk::time_point t0) {
  return std::chrono::duration<double>(clk::now() - t0).count();
}

// Waits up to 5 s for `done`; whether it came true.
template <class Pred>
bool within5s(Pred done) {
  for (auto end = clk::now() + std::chrono::seconds(5); clk::now() < end;
       std::this_thread::sleep_for(std::chrono::milliseconds(1)))
    if (done()) return true;
  return false;
}

// The number of the system call thread `tid` of this process is in, or -1
// ("running": in none).
long syscall_of(pid_t tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long nr = -1;
  return f >> nr ? nr : -1;
}

// Whether thread `tid` sleeps waiting for input, in select or in the read
// itself: its state is S (interruptible sleep) while it is in the call,
// seen in the call before and after the state was read. The C library's
// select() may be the select or the pselect6 call.
bool sleeps_waiting(pid_t tid) {
  auto incall = [tid] {
    long nr = syscall_of(tid);
    if (nr == SYS_read) return true;
#ifdef SYS_select
    if (nr == SYS_select) return true;
#endif
#ifdef SYS_pselect6_time64
    if (nr == SYS_pselect6_time64) return true;
#endif
    return nr == SYS_pselect6;
  };
  if (!incall()) return false;
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string stat;
  std::getline(f, stat);
  size_t comm = stat.rfind(')');  // the name may hold spaces and parentheses
  bool sleeping = comm != std::string::npos && stat.compare(comm, 3, ") S") == 0;
  return sleeping && incall();
}

// Waits until thread `tid` is blocked waiting for input; false if it never is.
bool blocks_waiting(pid_t tid) {
  return within5s([tid] { return sleeps_waiting(tid); });
}

TEST(Emuconsole, ReadsKeysFromTheTerminal) {
  pty p;
  ASSERT_GE(p.tty, 0);
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  p.type("a\x1b[A");
  EXPECT_EQ(
      next(t, 4),
      (std::vector<key>{{'A', 'a', true}, {'A', 'a', false}, {VK_UP, 0, true}, {VK_UP, 0, false}}));
  // Asked for several, it hands out what is queued without waiting for more.
  p.type("b");
  INPUT_RECORD r[8];
  EXPECT_EQ(term_read(t, r, 8), 2);
}

TEST(Emuconsole, LoneEscIsTheEscapeKeyAfterAShortWait) {
  pty p;
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  p.type("\x1b");
  auto t0 = clk::now();
  EXPECT_EQ(next(t, 2), (std::vector<key>{{VK_ESCAPE, 0x1B, true}, {VK_ESCAPE, 0x1B, false}}));
  EXPECT_LT(seconds_since(t0), 1.0);
  // What comes after the wait is a key of its own, not a sequence.
  p.type("[A");
  EXPECT_EQ(next(t, 6), (std::vector<key>{{VK_OEM_4, '[', true},
                                          {VK_OEM_4, '[', false},
                                          {VK_SHIFT, 0, true},
                                          {'A', 'A', true},
                                          {'A', 'A', false},
                                          {VK_SHIFT, 0, false}}));
}

TEST(Emuconsole, SequenceSplitAcrossReadsIsJoined) {
  pty p;
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  // The read buffer ends just after the ESC; the rest is already waiting.
  p.type(std::string(INBUF - 1, 'x') + "\x1b[B");
  std::vector<key> got = next(t, 2 * INBUF);
  ASSERT_EQ(got.size(), 2u * INBUF);
  EXPECT_EQ(got[2 * INBUF - 2], (key{VK_DOWN, 0, true}));
}

// A bare ESC [ M that ends a read is st's Ctrl+Delete at once; what the
// next read brings is no mouse report's rest, however soon it comes.
TEST(Emuconsole, BareCsiMEndsWithTheRead) {
  pty p;
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  p.type("\x1b[M");
  const pid_t reader = gettid();
  std::thread terminal([&] {
    if (within5s([&] { return !p.unread(); }) && blocks_waiting(reader)) p.type("ab");
  });
  std::vector<key> got = next(t, 8);
  terminal.join();
  EXPECT_EQ(got, (std::vector<key>{{VK_CONTROL, 0, true},
                                   {VK_DELETE, 0, true},
                                   {VK_DELETE, 0, false},
                                   {VK_CONTROL, 0, false},
                                   {'A', 'a', true},
                                   {'A', 'a', false},
                                   {'B', 'b', true},
                                   {'B', 'b', false}}));
}

// Far more records than the queue holds: nothing is lost or reordered.
TEST(Emuconsole, LongInputLosesNothing) {
  pty p;
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  std::string in;
  for (int i = 0; i < 900; ++i) in += static_cast<char>('A' + i % 26);
  p.type(in);
  std::vector<key> got = next(t, 4 * 900);
  ASSERT_EQ(got.size(), 4u * 900);
  for (int i = 0; i < 900; ++i)
    ASSERT_EQ(got[4 * i + 1], (key{WORD('A' + i % 26), 'A' + i % 26, true}));
}

TEST(Emuconsole, LeavesTerminalAttributesAlone) {
  pty p;
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  termios before{}, after{};  // compared whole: padding included
  tcgetattr(p.tty, &before);
  p.type("x\x1b");
  next(t, 4);
  tcgetattr(p.tty, &after);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

TEST(Emuconsole, FailsAtOnceOnHangup) {
  pty p;
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  p.hangup();
  INPUT_RECORD r;
  auto t0 = clk::now();
  EXPECT_EQ(term_read(t, &r, 1), 0);
  EXPECT_LT(seconds_since(t0), 1.0);
}

// The hangup comes while the read is blocked: with nothing typed, or during
// the wait for what may follow an ESC, or after it.
TEST(Emuconsole, WaitingReadEndsOnHangup) {
  for (const char* pending : {"", "\x1b"}) {
    pty p;
    terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
    const char* what = *pending ? "ESC pending" : "nothing typed";
    p.type(pending);
    const pid_t reader = gettid();
    bool blocked = false;
    std::thread other([&] {
      blocked = blocks_waiting(reader);
      p.hangup();
    });
    // A pending ESC may still come out as the Escape key; then the read fails.
    std::vector<key> got;
    INPUT_RECORD r;
    int n;
    while ((n = term_read(t, &r, 1)) == 1 && got.size() < 4) got.push_back(keyof(r));
    other.join();
    EXPECT_TRUE(blocked) << "the read never blocked, " << what;
    EXPECT_EQ(n, 0) << what;
    if (!got.empty()) {
      EXPECT_EQ(got[0], (key{VK_ESCAPE, 0x1B, true})) << what;
    }
  }
}

TEST(Emuconsole, FailsAtOnceOnWhatIsNoTerminal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "a", 1), 1);
  int null = open("/dev/null", O_RDONLY);
  INPUT_RECORD r;
  for (int fd : {fds[0], null, -1}) {
    terminput t{fd, {}, {}, 0, 0, {}, 0, 0};
    EXPECT_EQ(term_read(t, &r, 1), 0) << fd;
  }
  close(fds[0]);
  close(fds[1]);
  close(null);
}

// select() cannot wait on a descriptor at or beyond FD_SETSIZE: the console
// fails there rather than write past an fd_set, and asks nothing it could
// not wait for the answer to.
TEST(Emuconsole, DescriptorBeyondFdSetSizeFailsSafely) {
  const int high = FD_SETSIZE + 3;
  rlimit lim;
  getrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_cur <= rlim_t(high)) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  pty p;
  if (dup2(p.tty, high) != high) GTEST_SKIP() << "no descriptor " << high << " allowed";
  p.type("a");
  terminput t{high, {}, {}, 0, 0, {}, 0, 0};
  INPUT_RECORD r;
  EXPECT_EQ(term_read(t, &r, 1), 0);
  volatile sig_atomic_t on = -1;
  term_negotiate(t, &on);
  EXPECT_EQ(on, PROTO_LEGACY);
  EXPECT_EQ(p.written(), "");
  close(high);
}

volatile sig_atomic_t interrupted;

void on_signal(int) { interrupted = 1; }

// The signal comes while the read is blocked; the read goes back to waiting
// and gets the key typed after that.
TEST(Emuconsole, RetriesWhenASignalInterrupts) {
  pty p;
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  struct sigaction sa = {}, old;
  sa.sa_handler = on_signal;  // no SA_RESTART: the wait fails with EINTR
  sigaction(SIGUSR1, &sa, &old);
  interrupted = 0;
  const pthread_t reader = pthread_self();
  const pid_t tid = gettid();
  bool before = false, handled = false, again = false;
  std::thread other([&] {
    before = blocks_waiting(tid);
    pthread_kill(reader, SIGUSR1);
    // The handler has run once the wait has returned to the reader.
    handled = within5s([] { return interrupted != 0; });
    again = handled && blocks_waiting(tid);
    p.type("z");
  });
  std::vector<key> got = next(t, 1);
  other.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_TRUE(before) << "the read never blocked";
  EXPECT_TRUE(handled) << "the signal never reached the reader";
  EXPECT_TRUE(again) << "the read did not wait again after the signal";
  EXPECT_EQ(got, (std::vector<key>{{'Z', 'z', true}}));
}

// ---- Keyboard protocols ----------------------------------------------------

const char ASKED[] = "\0337\x1b[?9001$p\x1b[?u\x1b[?66$p\x1b[?1$p\x1b[?4m\x1b[c\0338";
const char PADON[] = "\x1b[?1h\x1b=";  // application keypad and cursor keys

// The key-down records of keys other than Shift, Ctrl and Alt until the Z
// key, which the test types last.
std::vector<key> keys_until_z(terminput& t) {
  std::vector<key> out;
  INPUT_RECORD r;
  while (term_read(t, &r, 1) == 1) {
    key k = keyof(r);
    WORD vk = k.vk;
    if (!k.down || vk == VK_SHIFT || vk == VK_CONTROL || vk == VK_MENU) continue;
    if (vk == 'Z') break;
    out.push_back(k);
  }
  return out;
}

// The terminal answers the queries (or not); what is turned on, and what
// the program then decodes. Legacy input gets application keypad and cursor
// keys; `set` also tells how the terminal reported them.
TEST(Negotiation, TurnsOnTheBestProtocolOffered) {
  constexpr int PAD = SET_KEYPAD;
  const int MOD0 = SET_MODKEYS | had_modkeys(0), MODNONE = SET_MODKEYS | had_modkeys(NOVAL);
  const std::string MODON = std::string(PADON) + "\x1b[>4;2m";
  // clang-format off
  const struct {
    const char* name;
    const char* answer;
    std::string turnon;  // written after the queries
    keyproto decodes;
    int set;
  } rows[] = {
    {"kitty only",       "\x1b[?66;2$y\x1b[?1;2$y\x1b[?0u\x1b[>4;0m\x1b[?62;c",
                                                                "\x1b[>31u",   PROTO_KITTY,  PROTO_KITTY},
    {"win32 only",       "\x1b[?9001;2$y\x1b[>4;0m\x1b[?62;c",  "\x1b[?9001h", PROTO_WIN32,  PROTO_WIN32},
    {"both",             "\x1b[?9001;2$y\x1b[?0u\x1b[?62;c",    "\x1b[?9001h", PROTO_WIN32,  PROTO_WIN32},
    {"both, xterm.js",   "\x1b[?9001;2$y\x1b[?0u\x1b[?1;2c",    "\x1b[>31u",   PROTO_KITTY,  PROTO_KITTY},
    {"win32 only, xterm.js",
                         "\x1b[?9001;2$y\x1b[?1;2c",            PADON,         PROTO_LEGACY, PAD},
    {"neither",          "\x1b[?9001;0$y\x1b[?62;c",            PADON,         PROTO_LEGACY, PAD},
    {"attributes only",  "\x1b[?62;c",                          PADON,         PROTO_LEGACY, PAD},
    {"xterm",            "\x1b[?9001;0$y\x1b[?66;2$y\x1b[?1;2$y\x1b[>4;0m\x1b[?64;1;2;6;9;15;16;17;18;21;22;28c",
                                                                MODON,         PROTO_LEGACY, PAD | MOD0},
    {"xterm in application mode",
                         "\x1b[?9001;0$y\x1b[?66;1$y\x1b[?1;1$y\x1b[>4;2m\x1b[?64;1;2;6;9;15;16;17;18;21;22;28c",
                                                                MODON,         PROTO_LEGACY,
                                                 PAD | HAD_KEYPAD | HAD_CURSOR | SET_MODKEYS | had_modkeys(2)},
    {"modifyOtherKeys, no level",
                         "\x1b[>4m\x1b[?62;c",                  MODON,         PROTO_LEGACY, PAD | MODNONE},
    {"modifyOtherKeys out of range",
                         "\x1b[>4;9m\x1b[>1;2m\x1b[?62;c",       PADON,         PROTO_LEGACY, PAD},
    {"win32 on already", "\x1b[?9001;1$y\x1b[?0u\x1b[?62;c",    "",            PROTO_WIN32,  PROTO_LEGACY},
    {"kitty, win32 off for good",
                         "\x1b[?9001;4$y\x1b[?1u\x1b[?62;c",    "\x1b[>31u",   PROTO_KITTY,  PROTO_KITTY},
    {"silent",           "",                                    PADON,         PROTO_LEGACY, PAD | SET_ASKING},
    {"garbage values",   "\x1b[?9001;7$y\x1b[?u\x1b[?9001$y\x1b[?66;9$y\x1b[?62;c",
                                                                PADON,         PROTO_LEGACY, PAD},
  };
  // clang-format on
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    pty p;
    terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
    p.type(r.answer);
    volatile sig_atomic_t on = -1;
    auto t0 = clk::now();
    term_negotiate(t, &on);
    EXPECT_LT(seconds_since(t0), 1.0);
    EXPECT_EQ(p.written(), ASKED + r.turnon);
    EXPECT_EQ(t.dec.proto, r.decodes);
    EXPECT_EQ(on, r.set);
    // The answers never become keys.
    p.type("z");
    EXPECT_EQ(keys_until_z(t), std::vector<key>{});
  }
}

// Keys typed while the queries are out are kept, in the order typed, as
// legacy input; a key typed just after the last answer too.
TEST(Negotiation, KeysTypedMeanwhileAreKept) {
  pty p;
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  p.type("a\x1b[A\x1b[?0ub\x1b[?62;c\x1b");
  volatile sig_atomic_t on;
  term_negotiate(t, &on);
  EXPECT_EQ(on, PROTO_KITTY);
  p.type("\x1b[122u");  // z, in the protocol now
  EXPECT_EQ(keys_until_z(t),
            (std::vector<key>{
                {'A', 'a', true}, {VK_UP, 0, true}, {'B', 'b', true}, {VK_ESCAPE, 0x1B, true}}));
}

// The decoder learns the terminal's erase character: which byte Backspace sends.
TEST(Negotiation, TakesTheEraseCharacter) {
  for (cc_t erase : {cc_t(0x08), cc_t(0x7F)}) {
    pty p;
    termios ta;
    tcgetattr(p.tty, &ta);
    ta.c_cc[VERASE] = erase;
    tcsetattr(p.tty, TCSANOW, &ta);
    terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
    p.type("\x1b[?62;c");
    volatile sig_atomic_t on;
    term_negotiate(t, &on);
    EXPECT_EQ(t.dec.erase, erase);
  }
}

// An answer that comes after the wait turns nothing on, and is no key.
TEST(Negotiation, SlowAnswerIsTooLate) {
  pty p;
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  std::thread terminal([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(ASK_WAIT_MS + 150));
    p.type("\x1b[?9001;2$y\x1b[?0u\x1b[?62;c");
  });
  volatile sig_atomic_t on;
  term_negotiate(t, &on);
  terminal.join();
  EXPECT_EQ(on, SET_KEYPAD | SET_ASKING);
  EXPECT_EQ(t.dec.proto, PROTO_LEGACY);
  EXPECT_EQ(p.written(), std::string(ASKED) + PADON);
  p.type("z");
  EXPECT_EQ(keys_until_z(t), std::vector<key>{});
  EXPECT_EQ(on, SET_KEYPAD);  // the answer has come: nothing to wait for at the end
}

// A terminal that never answers is awaited LATE_WAIT_MS after the wait at
// most: then a sequence in a reply's form is typed out as any unknown one,
// and the end needs no drain.
TEST(Negotiation, NoAnswerIsAwaitedForever) {
  pty p;
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  volatile sig_atomic_t on;
  term_negotiate(t, &on);
  EXPECT_EQ(on, SET_KEYPAD | SET_ASKING);
  std::this_thread::sleep_for(std::chrono::milliseconds(LATE_WAIT_MS + 50));
  p.type("\x1b[?1xz");
  EXPECT_EQ(keys_until_z(t), (std::vector<key>{{VK_ESCAPE, 0x1B, true},
                                               {VK_OEM_4, '[', true},
                                               {VK_OEM_2, '?', true},
                                               {'1', '1', true},
                                               {'X', 'x', true}}));
  EXPECT_EQ(on, SET_KEYPAD);
}

// Junk instead of answers: legacy input, typed out as any unknown input is,
// and the wait still ends. What began as a reply is held while the answers
// are awaited, and dropped when a control byte ends it.
TEST(Negotiation, JunkAnswerEndsTheWait) {
  pty p;
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  p.type("\x9b\xff\x1b[?9001");
  volatile sig_atomic_t on;
  auto t0 = clk::now();
  term_negotiate(t, &on);
  EXPECT_LT(seconds_since(t0), 1.0);
  EXPECT_EQ(on, SET_KEYPAD | SET_ASKING);
  EXPECT_EQ(p.written(), std::string(ASKED) + PADON);
  p.type("\tz");
  EXPECT_EQ(
      keys_until_z(t),
      (std::vector<key>{{VK_PACKET, 0x9B, true}, {VK_PACKET, 0xFF, true}, {VK_TAB, '\t', true}}));
}

// The terminal answers in pieces, each `at` ms after it read the queries;
// once what was turned on has reached it, keys are typed. A reply cut by
// the end of the wait or by a pause is completed or dropped, never typed
// out; keys typed ahead of the answers, however many, are all kept and
// keep no protocol from being turned on.
TEST(Negotiation, RepliesAtAnyTimingAreNoKeys) {
  struct chunk {
    int at;
    std::string bytes;
  };
  auto drip = [](std::vector<chunk> head, int at, const std::string& s) {
    for (char c : s) head.push_back({at += 6, std::string(1, c)});
    return head;
  };
  auto ahead = [](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += char('a' + i % 25);  // no z
    return s;
  };
  const std::string KITTY = "\x1b[?0u\x1b[?62;c", X = "\x1b[120u\x1b[122u";
  const struct {
    const char* name;
    std::vector<chunk> answers;
    const char* on;     // written after the queries
    std::string typed;  // then, z last
    std::string shown;  // the characters of the keys read before z
  } rows[] = {
      {"kitty, attributes cut by the wait",
       {{0, "\x1b[?0u"}, {195, "\x1b[?62"}, {207, ";22c"}},
       "\x1b[>31u",
       X,
       "x"},
      {"kitty, a byte every 6 ms",
       drip({{0, "\x1b[?0u"}}, 0, "\x1b[?9001;0$y\x1b[?66;2$y\x1b[?1;2$y\x1b[?62;22c"), "\x1b[>31u",
       X, "x"},
      {"legacy, a mode report cut by the wait and a 35 ms pause",
       {{195, "\x1b[?9001;"}, {230, "0$y\x1b[?62;22c"}},
       PADON,
       "xz",
       "x"},
      {"600 bytes ahead", {{0, ahead(600) + KITTY}}, "\x1b[>31u", X, ahead(600) + "x"},
      {"5000 bytes ahead", {{0, ahead(5000) + KITTY}}, "\x1b[>31u", X, ahead(5000) + "x"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    pty p;
    terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
    std::string written;
    auto await = [&](const std::string& want) {
      return within5s([&] { return (written += p.written()).find(want) != std::string::npos; });
    };
    std::thread terminal([&] {
      if (!await(ASKED)) return;
      auto t0 = clk::now();
      for (const chunk& c : r.answers) {
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(c.at));
        p.type(c.bytes);
      }
      await(r.on);  // where it never comes, z in legacy input ends the test
      p.type(r.typed);
    });
    volatile sig_atomic_t on;
    term_negotiate(t, &on);
    std::vector<key> got = keys_until_z(t), want;
    terminal.join();
    for (char c : r.shown) want.push_back({WORD(toupper(c)), c, true});
    EXPECT_EQ(written, ASKED + std::string(r.on));
    EXPECT_TRUE(got == want) << got.size() << " keys of " << want.size();
  }
}

// Standard input of no terminal, or one that has hung up, costs no wait.
TEST(Negotiation, NothingToAsk) {
  pty p;
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  p.hangup();
  volatile sig_atomic_t on = -1;
  auto t0 = clk::now();
  term_negotiate(t, &on);
  EXPECT_LT(seconds_since(t0), 0.1);
  EXPECT_EQ(on, PROTO_LEGACY);
}

// Under a protocol the Escape key is a report: an ESC that arrives alone
// is the start of one, however long the rest takes.
TEST(Negotiation, NoLoneEscWaitUnderAProtocol) {
  const struct {
    const char* answer;
    const char* rest;  // of the Escape key's report
  } rows[] = {
      {"\x1b[?0u\x1b[?62;c", "[27u"},
      {"\x1b[?9001;2$y\x1b[?62;c", "[27;1;27;1;0;1_"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.rest);
    pty p;
    terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
    p.type(r.answer);
    volatile sig_atomic_t on;
    term_negotiate(t, &on);
    ASSERT_NE(on, PROTO_LEGACY);
    p.type("\x1b");
    std::thread terminal([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(10 * ESC_WAIT_MS));
      p.type(r.rest);
      p.type("z");
    });
    std::vector<key> got = keys_until_z(t);
    terminal.join();
    EXPECT_EQ(got, (std::vector<key>{{VK_ESCAPE, 0x1B, true}}));
  }
}

// Putting back what was set: the keypad and cursor keys as found, the
// protocol off with a device attributes query; what the terminal sent
// before its answer is read and dropped.
TEST(Restore, PutsBackAndDrains) {
  const struct {
    int set;
    const char* written;
    const char* late;  // sent before the answer; null: no query, nothing to drain
  } rows[] = {
      {PROTO_KITTY, "\x1b[<u\x1b[c", "\x1b[113;1:3u\x1b[57441;2:3u"},
      {PROTO_WIN32, "\x1b[?9001l\x1b[c", "\x1b[81;16;113;0;0;1_"},
      {SET_KEYPAD, "\x1b[?1l\x1b>", nullptr},
      {SET_KEYPAD | HAD_CURSOR, "\x1b[?1h\x1b>", nullptr},
      {SET_KEYPAD | HAD_KEYPAD | HAD_CURSOR, "\x1b[?1h\x1b=", nullptr},
      {HAD_KEYPAD | HAD_CURSOR, "", nullptr},  // found, but never set
      {SET_KEYPAD | SET_MODKEYS | had_modkeys(0), "\x1b[?1l\x1b>\x1b[>4;0m", nullptr},
      {SET_MODKEYS | had_modkeys(NOVAL), "\x1b[>4m", nullptr},
      // The answers to the queries still on their way; under a protocol
      // two device attributes answers.
      {SET_KEYPAD | SET_ASKING, "\x1b[?1l\x1b>", "\x1b[?9001;0$y\x1b[>4;0m"},
      {SET_ASKING, "", "\x1b[?9001;0$y"},
      {PROTO_KITTY | SET_ASKING, "\x1b[<u\x1b[c",
       "\x1b[?0u\x1b[?62;c\x1b[113;1:3u\x1b[113;1:3u\x1b[113;1:3u\x1b[113;1:3u\x1b[113;1:3u\x1b["
       "113;1:3u"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.written);
    pty p;
    if (r.late) p.type(std::string(r.late) + "\x1b[?62;c");
    errno = EDOM;
    auto t0 = clk::now();
    term_restore(p.tty, p.tty, r.set);
    EXPECT_LT(seconds_since(t0), 1.0);
    EXPECT_EQ(errno, EDOM);
    EXPECT_EQ(p.written(), r.written);
    EXPECT_FALSE(p.unread());
  }
}

TEST(Restore, BoundedWhenTheTerminalIsSilentOrGone) {
  pty silent;
  auto t0 = clk::now();
  term_restore(silent.tty, silent.tty, PROTO_KITTY);
  EXPECT_LT(seconds_since(t0), 1.0);
  EXPECT_EQ(silent.written(), "\x1b[<u\x1b[c");

  pty gone;
  gone.hangup();
  t0 = clk::now();
  term_restore(gone.tty, gone.tty, PROTO_WIN32);
  EXPECT_LT(seconds_since(t0), 0.1);

  pty legacy;
  term_restore(legacy.tty, legacy.tty, PROTO_LEGACY);
  EXPECT_EQ(legacy.written(), "");
}

// GetStdHandle and ReadConsoleInputA in a child whose standard input is
// `fd`. The child's exit status: 0 when the read failed, 1 when it yielded
// the Q key, 2 otherwise; -1 when it did not end within 5 s.
int read_in_child(int fd) {
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fd, STDIN_FILENO);
    INPUT_RECORD r;
    DWORD n = 0;
    if (!ReadConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), &r, 1, &n)) _exit(n == 0 ? 0 : 2);
    _exit(n == 1 && r.Event.KeyEvent.wVirtualKeyCode == 'Q' ? 1 : 2);
  }
  if (pid < 0) return -2;
  auto t0 = clk::now();
  int status;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (seconds_since(t0) > 5) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
}

TEST(Emuconsole, StandardInputThatIsNoTerminalFails) {
  int null = open("/dev/null", O_RDONLY);
  EXPECT_EQ(read_in_child(null), 0);
  close(null);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(read_in_child(fds[0]), 0);  // empty, writer still open
  ASSERT_EQ(write(fds[1], "q", 1), 1);
  EXPECT_EQ(read_in_child(fds[0]), 0);  // with input waiting
  close(fds[0]);
  close(fds[1]);

  pty closed;
  closed.hangup();
  EXPECT_EQ(read_in_child(closed.tty), 0);
}

TEST(Emuconsole, StandardInputThatIsATerminalReads) {
  pty p;
  p.type("q");
  EXPECT_EQ(read_in_child(p.tty), 1);
}

TEST(Emuconsole, OnlyTheStandardInputHandle) {
  EXPECT_EQ(GetStdHandle(static_cast<DWORD>(-11)), INVALID_HANDLE_VALUE);
  INPUT_RECORD r;
  DWORD n = 7;
  EXPECT_EQ(ReadConsoleInputA(INVALID_HANDLE_VALUE, &r, 1, &n), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(ReadConsoleInputA(GetStdHandle(STD_INPUT_HANDLE), &r, 0, &n), 0);
}

}  // namespace
