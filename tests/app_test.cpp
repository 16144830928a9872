// keybytes end to end on a pseudo-terminal: keys typed as the bytes a
// terminal sends, the screen read back byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "tests/ptyrun.h"

namespace {

const char BANNER[] =
    "cygwin/gnu key banger. Shows emitted characters for a keypress\n"
    "Press a key. Quit with q, Q or ctrl-c.\n";

// The keyboard and keypad queries, written at the first read.
const char ASKED[] = "\0337\x1b[?9001$p\x1b[?u\x1b[?66$p\x1b[?1$p\x1b[?4m\x1b[c\0338";
// Legacy input: application keypad and cursor keys after the queries, and
// normal mode at the end where the terminal did not say how it was.
const char PADON[] = "\x1b[?1h\x1b=";
const char PADOFF[] = "\x1b[?1l\x1b>";
// Where the terminal answers XTQMODKEYS (level 0 here), modifyOtherKeys
// level 2 with the keypad mode, and level 0 again at the end.
const char MODON[] = "\x1b[>4;2m";
const char MODOFF[] = "\x1b[>4;0m";

// Whether input is left on the terminal for the shell at `fd`. Its line
// editing would hold back a report without a line end, so look without it.
bool leftover(int fd) {
  struct termios t;
  tcgetattr(fd, &t);
  t.c_lflag &= ~ICANON;
  tcsetattr(fd, TCSANOW, &t);
  pollfd pfd{fd, POLLIN, 0};
  return poll(&pfd, 1, 50) == 1;
}

// keybytes runs with the terminal type xterm whatever the environment says,
// since on the Linux console's it leaves the keypad alone.
const int xterm = setenv("TERM", "xterm", 1);

class Keybytes : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ptystart(p, KEYBYTES, cooked()));
    ASSERT_TRUE(ptyexpect(p, BANNER)) << p.out;
  }
  void TearDown() override { ptystop(p); }

  // Types each key separately, as a person would, waiting until the
  // program has shown it.
  void keys(std::initializer_list<std::pair<const char*, const char*>> typed) {
    for (auto& [bytes, shown] : typed) {
      ptytype(p, bytes);
      ASSERT_TRUE(ptyexpect(p, shown)) << "after typing " << ::testing::PrintToString(bytes);
    }
  }

  // What was shown after the banner, the queries (which this terminal
  // leaves unanswered) and the keypad mode (`set`), once the program has
  // ended with 0 and put the keypad back (`back`).
  std::string ended(const std::string& set = PADON, const std::string& back = PADOFF) {
    int status = ptywait(p, 2000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ptydrain(p, 200);
    std::string after = p.out.substr(sizeof BANNER - 1), head = ASKED + set;
    EXPECT_EQ(after.rfind(head, 0), 0u) << after;
    size_t tail = after.size() - std::min(after.size(), back.size());
    EXPECT_EQ(after.substr(tail), back);
    return after.rfind(head, 0) == 0 ? after.substr(head.size(), tail - head.size()) : after;
  }

  ptyrun p;
};

TEST_F(Keybytes, WorkedExample) {
  keys(
      {{"a", "a"}, {"\033[A", "[0x1b][A"}, {"\033[15;2~", "[15;2~"}, {"\r", "[0x0d]"}, {"q", "q"}});
  EXPECT_EQ(ended(), "a\r\n[0x1b][A\r\n[0x1b][15;2~\r\n[0x0d]q\r\n");
}

TEST_F(Keybytes, TenItemsToALine) {
  keys({{"abcdefghijk", "k"}, {"Q", "Q"}});
  EXPECT_EQ(ended(), "abcdefghij\r\nkQ\r\n");
}

TEST_F(Keybytes, QuitAsTenthItemLeavesEmptyLastLine) {
  keys({{"abcdefghiq", "q"}});
  EXPECT_EQ(ended(), "abcdefghiq\r\n\r\n");
}

TEST_F(Keybytes, AltQInsideASequenceQuits) {
  keys({{"x", "x"}, {"\033q", "q"}});
  EXPECT_EQ(ended(), "x\r\n[0x1b]q\r\n");
}

TEST_F(Keybytes, ControlBytesAndHighBytesAreHexItems) {
  // Ctrl-C, Tab, Ctrl-A, Backspace (DEL arrives as 0x08), then "ä" and "ÿ"
  // in UTF-8, which the console delivers as 0xE4 and 0xFF.
  keys({{"\003", "[0x03]"},
        {"\t", "[0x09]"},
        {"\001", "[0x01]"},
        {"\177", "[0x08]"},
        {"\xC3\xA4", "[0xffffffe4]"},
        {"\xC3\xBF", "[0xffffffff]"},
        {" ", " "},
        {"q", "q"}});
  EXPECT_EQ(ended(), "[0x03][0x09][0x01][0x08][0xffffffe4][0xffffffff] q\r\n");
}

TEST_F(Keybytes, HeldByteFFNeverEndsTheLoop) {
  std::string many;
  for (int i = 0; i < 25; ++i) many += "\xC3\xBF";
  ptytype(p, many);
  ptytype(p, "z");
  ASSERT_TRUE(ptyexpect(p, "z")) << p.out;
  EXPECT_EQ(ptywait(p, 100), -1) << "still running";
  keys({{"q", "q"}});
  std::string shown = ended();
  size_t items = 0;
  for (size_t at = 0; (at = shown.find("[0xffffffff]", at)) != std::string::npos; ++at) ++items;
  EXPECT_EQ(items, 25u);
}

TEST_F(Keybytes, SignalsAndCtrlCDoNotEndIt) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) kill(p.pid, sig);
  keys({{"\003", "[0x03]"}});
  EXPECT_EQ(ptywait(p, 200), -1) << "still running";
  keys({{"q", "q"}});
  ended();
}

// Every field of two attribute records, with the one that differs named.
void sameattrs(const struct termios& want, const struct termios& got, const char* when) {
  SCOPED_TRACE(when);
  EXPECT_EQ(got.c_iflag, want.c_iflag);
  EXPECT_EQ(got.c_oflag, want.c_oflag);
  EXPECT_EQ(got.c_cflag, want.c_cflag);
  EXPECT_EQ(got.c_lflag, want.c_lflag);
  for (int i = 0; i < NCCS; ++i) EXPECT_EQ(got.c_cc[i], want.c_cc[i]) << "c_cc[" << i << "]";
  EXPECT_EQ(cfgetispeed(&got), cfgetispeed(&want));
  EXPECT_EQ(cfgetospeed(&got), cfgetospeed(&want));
}

// A terminal with output processing, an ignored break and a read timeout:
// raw mode clears exactly its seven bits and leaves all of that alone.
TEST(KeybytesAttributes, RawClearsSevenBitsAndExitRestoresAll) {
  struct termios before = cooked(), during, after;
  before.c_iflag |= IGNBRK;
  before.c_oflag |= OPOST | ONLCR;
  before.c_cc[VMIN] = 1;
  before.c_cc[VTIME] = 2;
  ptyrun p;
  ASSERT_TRUE(ptystart(p, KEYBYTES, before));
  ASSERT_TRUE(ptyexpect(p, "Quit with q, Q or ctrl-c.\r\n")) << p.out;
  ASSERT_EQ(tcgetattr(p.master, &during), 0);
  struct termios raw = before;
  raw.c_iflag &= ~(ICRNL | IXON | IGNBRK | BRKINT);
  raw.c_lflag &= ~(ISIG | ICANON | ECHO);
  sameattrs(raw, during, "while running");
  ptytype(p, "q");
  int status = ptywait(p, 2000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_EQ(tcgetattr(p.master, &after), 0);
  sameattrs(before, after, "after q");
  ptystop(p);
}

// Stopped from outside and continued: the shell puts its own attributes on
// the terminal meanwhile and its line editor the keypad in normal mode;
// keybytes makes the terminal raw again and, before it reads the next key,
// sets the application keypad and modifyOtherKeys again.
TEST_F(Keybytes, RawAndKeypadAgainAfterStopAndContinue) {
  ptytype(p, "\x1b[>4;0m\x1b[?62;c");
  ASSERT_TRUE(ptyexpect(p, std::string(PADON) + MODON)) << p.out;
  struct termios raw, now;
  ASSERT_EQ(tcgetattr(p.master, &raw), 0);
  // SIGSTOP: keybytes leads its own session, where SIGTSTP would not stop it.
  kill(p.pid, SIGSTOP);
  int status = 0;
  for (int i = 0; i < 400 && waitpid(p.pid, &status, WNOHANG | WUNTRACED) != p.pid; ++i)
    usleep(5000);
  ASSERT_TRUE(WIFSTOPPED(status)) << status;
  struct termios shell = cooked();
  ASSERT_EQ(tcsetattr(p.master, TCSANOW, &shell), 0);
  int tty = open(ptsname(p.master), O_WRONLY | O_NOCTTY);
  ASSERT_EQ(write(tty, PADOFF, sizeof PADOFF - 1), ssize_t(sizeof PADOFF - 1));
  close(tty);
  kill(p.pid, SIGCONT);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(tcgetattr(p.master, &now), 0);
    if (!(now.c_lflag & ICANON)) break;
    usleep(5000);
  }
  sameattrs(raw, now, "after SIGCONT");
  ASSERT_TRUE(ptyexpect(p, std::string(PADOFF) + PADON + MODON)) << p.out;
  keys({{"\r", "[0x0d]"}, {"q", "q"}});
  EXPECT_EQ(ended(std::string(PADON) + MODON, std::string(PADOFF) + MODOFF),
            std::string(PADOFF) + PADON + MODON + "[0x0d]q\r\n");
}

// Whether `pid` sits in a write to descriptor `to` (any, below 0) that
// cannot go on.
bool blockedwriting(pid_t pid, int to = 1) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
  long nr = -1;
  unsigned long fd = 0;
  return f >> nr >> std::hex >> fd && nr == SYS_write && (to < 0 || fd == unsigned(to));
}

// Whether a SIGCONT sent to `pid` is still waiting to be taken.
bool contpending(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string field;
  unsigned long long set = 0;
  while (f >> field && field != "ShdPnd:") {
  }
  return f >> std::hex >> set && set & (1ULL << (SIGCONT - 1));
}

// Polls `cond` until it holds, for up to five seconds.
template <class F>
bool waitfor(F cond) {
  for (int i = 0; i < 1000; ++i, usleep(5000))
    if (cond()) return true;
  return false;
}

// A continue signal while the terminal takes no output (its reader has
// stalled) interrupts the write in progress; every item is shown all the
// same once the terminal reads again.
TEST_F(Keybytes, NoItemLostToSignalsWhileOutputIsBlocked) {
  std::string typed;
  for (int i = 0; i < 3000; ++i) typed += "\x1b[A";
  // Answered first: keys typed ahead of the answers would hold the keypad
  // mode back until they have been shown.
  ptytype(p, "\x1b[?62;c" + typed + "q");
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(waitfor([&] { return blockedwriting(p.pid); })) << "signal " << i;
    kill(p.pid, SIGCONT);
    ASSERT_TRUE(waitfor([&] { return !contpending(p.pid); })) << "signal " << i;
  }
  ASSERT_TRUE(ptyexpect(p, "[0x1b][Aq\r\n", 10000));
  std::string shown = ended(), want;
  for (int i = 0; i < 3000; ++i) want += i ? "\r\n[0x1b][A" : "[0x1b][A";
  size_t items = 0;
  for (size_t at = 0; (at = shown.find("[0x1b][A", at)) != std::string::npos; ++at) ++items;
  EXPECT_TRUE(shown == want + "q\r\n") << items << " of 3000 items shown";
}

TEST_F(Keybytes, FatalSignalFromOutsideRestoresTheTerminal) {
  ASSERT_TRUE(ptyexpect(p, PADON)) << p.out;
  kill(p.pid, SIGQUIT);
  int status = ptywait(p, 2000);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGQUIT) << status;
  struct termios after;
  ASSERT_EQ(tcgetattr(p.master, &after), 0);
  EXPECT_EQ(after.c_lflag, cooked().c_lflag);
  EXPECT_EQ(after.c_iflag, cooked().c_iflag);
}

// A fatal signal while the terminal takes no output, because its reader has
// stalled until the output buffer is full, or because output is stopped
// (TCOOFF): keybytes cannot write the keypad modes back, but it still ends,
// with the attributes back.
TEST(KeybytesStalled, FatalSignalStillEndsIt) {
  for (bool full : {true, false}) {
    SCOPED_TRACE(full ? "output buffer full" : "output stopped");
    ptyrun p;
    ASSERT_TRUE(ptystart(p, KEYBYTES, cooked()));
    EXPECT_TRUE(ptyexpect(p, PADON)) << p.out;
    int tty = open(ptsname(p.master), O_RDWR | O_NOCTTY);
    if (full) {
      std::string typed;
      for (int i = 0; i < 3000; ++i) typed += "\x1b[A";
      ptytype(p, typed);
      EXPECT_TRUE(waitfor([&] { return blockedwriting(p.pid); }));
    } else {
      EXPECT_EQ(tcflow(tty, TCOOFF), 0);
    }
    kill(p.pid, SIGQUIT);
    int status = ptywait(p, 3000);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGQUIT) << status;
    struct termios after;
    EXPECT_EQ(tcgetattr(p.master, &after), 0);
    sameattrs(cooked(), after, "after SIGQUIT");
    tcflow(tty, TCOON);
    close(tty);
    ptystop(p);
  }
}

// The ordinal, among keybytes' `call` calls, of the first that strace
// shows with `traced`, from a traced run quit at once; 0 if none.
int ordinal(const char* call, const char* traced) {
  std::string trace = std::string("--trace=") + call, named = std::string(call) + "(";
  const char* argv[] = {"strace", trace.c_str(), KEYBYTES, nullptr};
  ptyrun p;
  // The banner's last line: strace's lines come between its writes.
  if (ptystart(p, argv, cooked()) && ptyexpect(p, "Quit with q, Q or ctrl-c.")) ptytype(p, "q");
  ptywait(p, 3000);
  ptydrain(p, 200);
  ptystop(p);
  size_t end = p.out.find(traced);
  int n = 0;
  for (size_t at = 0; end != std::string::npos && (at = p.out.find(named, at)) < end; ++at) ++n;
  return n;
}

// The process `pid` has started, or -1.
pid_t childof(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  pid_t child = -1;
  f >> child;
  return child;
}

// The name of the program process `pid` runs.
std::string comm(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  f >> name;
  return name;
}

// A signal while strace holds keybytes in a call at start-up: the return of
// the switch to raw mode, or the write of the queries as it begins. Where
// the signal can be caught, the terminal gets its attributes back, whether
// the signal ends keybytes (SIGQUIT) or is ignored (then q ends it).
// SIGKILL leaves the terminal raw, but no flag on the open file description
// the shell shares: the program the shell runs next (head) reads the
// terminal, with no EAGAIN.
TEST(KeybytesStartup, SignalWhileAStartupCallIsHeld) {
  const struct {
    const char* call;
    const char* traced;  // how strace shows the call held
    const char* delay;
    const char* shown;  // on the terminal by then
    int sig;
  } rows[] = {
      {"ioctl", "TCSETSF", "delay_exit=500000", "", SIGQUIT},
      {"ioctl", "TCSETSF", "delay_exit=500000", "", SIGTERM},
      {"ioctl", "TCSETSF", "delay_exit=500000", "", SIGHUP},
      {"write", R"(\33[?9001$p)", "delay_enter=1000000", BANNER, SIGKILL},
  };
  std::string last;  // the ordinal is looked up once for each call held
  int n = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.call) + ", " + strsignal(r.sig));
    if (last != r.traced) n = ordinal(r.call, (last = r.traced).c_str());
    ASSERT_GT(n, 0) << "no " << r.traced << " traced: is strace installed?";
    std::string script = std::string("strace -o /dev/null --trace=") + r.call +
                         " --inject=" + r.call + ":" + r.delay + ":when=" + std::to_string(n) +
                         " \"$0\"; exec head -c 1";
    const char* argv[] = {"sh", "-c", script.c_str(), KEYBYTES, nullptr};
    ptyrun p;
    ASSERT_TRUE(ptystart(p, argv, cooked()));
    struct termios t;
    bool held = waitfor([&] { return tcgetattr(p.master, &t) == 0 && !(t.c_lflag & ICANON); }) &&
                ptyexpect(p, r.shown);
    pid_t traced = held ? childof(childof(p.pid)) : -1;
    // Into the write, which strace holds 1 s.
    if (traced > 0 && *r.shown) held = waitfor([&] { return blockedwriting(traced, -1); });
    EXPECT_TRUE(traced > 0 && held) << "never held";
    if (traced > 0) kill(traced, r.sig);
    if (r.sig != SIGQUIT && r.sig != SIGKILL && ptyexpect(p, BANNER)) ptytype(p, "q");
    if (!waitfor([&] { return comm(p.pid) == "head"; })) {
      ADD_FAILURE() << "keybytes still running";
      if (traced > 0) kill(traced, SIGKILL);
    }
    EXPECT_EQ(ptywait(p, 200), -1) << "head did not wait for input: " << p.out;
    ptytype(p, "x\n");
    int status = ptywait(p, 3000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << p.out;
    if (r.sig != SIGKILL) {
      EXPECT_EQ(tcgetattr(p.master, &t), 0);
      sameattrs(cooked(), t, "at the end");
    }
    ptystop(p);
  }
}

// Keys typed before the terminal could answer (this one never does) are
// shown all the same; an ESC among them is the Escape key.
TEST_F(Keybytes, KeysTypedWhileAskingAreShown) {
  ptytype(p, "ab\033");
  ASSERT_TRUE(ptyexpect(p, "[0x1b]")) << p.out;
  keys({{"q", "q"}});
  EXPECT_EQ(ended(), "ab\r\n[0x1b]q\r\n");
}

// An answer after the wait: keybytes has gone on with legacy input, and the
// answer shows nothing.
TEST_F(Keybytes, AnswerTooLateIsIgnored) {
  ASSERT_TRUE(ptyexpect(p, ASKED)) << p.out;
  usleep(300 * 1000);
  ptytype(p, "\x1b[?9001;2$y\x1b[?0u\x1b[?62;c");
  keys({{"x", "x"}, {"q", "q"}});
  EXPECT_EQ(ended(), "xq\r\n");
}

TEST_F(Keybytes, HangupEndsItPromptly) {
  close(p.master);
  p.master = -1;
  int status = ptywait(p, 1000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The keypad and cursor keys go back to the modes the terminal reported,
// however keybytes ends: q, a fatal signal, or a console that fails with the
// terminal still there (standard input open for writing only: every read
// fails, nothing is answered, so normal mode). On the Linux console the
// keypad is left alone: in application mode it would send its NumLock-off
// forms whatever NumLock says. modifyOtherKeys goes back likewise to the
// level XTQMODKEYS gave. Answers that come after q are read before the
// attributes go back, not left for the shell.
TEST(KeybytesKeypad, RestoredAsFoundAtEveryExit) {
  enum { QUIT, SIGNAL, FAILING, QUIT_FIRST };
  // clang-format off
  const struct {
    int exit;
    const char* term;
    const char* answer;
    const char* after;  // what the terminal gets after the queries
  } rows[] = {
    {QUIT,    "xterm",         "\x1b[?66;1$y\x1b[?1;1$y\x1b[>4;0m\x1b[?62;c",
                               "\x1b[?1h\x1b=\x1b[>4;2mq\r\n\x1b[?1h\x1b=\x1b[>4;0m"},
    {SIGNAL,  "xterm",         "\x1b[?66;1$y\x1b[?1;2$y\x1b[>4m\x1b[?62;c",
                               "\x1b[?1h\x1b=\x1b[>4;2m\x1b[?1l\x1b=\x1b[>4m"},
    {QUIT_FIRST, "xterm",      "\x1b[?9001;0$y\x1b[>4;0m\x1b[?62;22c", "\x1b[?1h\x1b=q\r\n\x1b[?1l\x1b>"},
    {FAILING, "xterm",         "x",                                "\x1b[?1h\x1b=\x1b[?1l\x1b>"},
    {QUIT,    "linux",         "\x1b[?6c",                         "q\r\n"},
    {QUIT,    "linux-16color", "\x1b[?6c",                         "q\r\n"},
  };
  // clang-format on
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.term) + " exit " + std::to_string(r.exit));
    ptyrun p;
    int shell = -1;
    setenv("TERM", r.term, 1);
    if (r.exit == FAILING) {
      int tty = -1;
      openpty(&p.master, &tty, nullptr, nullptr, nullptr);
      int wronly = open(ptsname(p.master), O_WRONLY | O_NOCTTY);
      std::thread terminal([&] {  // once set up, input to read, which fails
        if (ptyexpect(p, PADON)) ptytype(p, r.answer);
      });
      std::string shown;
      runwith(KEYBYTES, wronly, shown, 3000);
      terminal.join();
      EXPECT_EQ(shown, std::string(BANNER) + "[0xffffffff][0xffffffff][0xffffffff]\r\n");
      close(wronly);
      close(tty);
    } else if (ptystart(p, KEYBYTES, cooked()) && ptyexpect(p, ASKED)) {
      // Kept open, as the person's shell keeps it, to see what is left.
      shell = open(ptsname(p.master), O_RDWR | O_NOCTTY);
      if (r.exit == QUIT_FIRST) {  // the answers come after q and after the wait
        ptytype(p, "q");
        usleep(300 * 1000);  // beyond the 200 ms the answers are waited for
      }
      ptytype(p, r.answer);
      if (r.exit == QUIT)
        ptytype(p, "q");
      else if (r.exit == SIGNAL && ptyexpect(p, PADON))
        kill(p.pid, SIGQUIT);
      EXPECT_NE(ptywait(p, 2000), -1);
    }
    setenv("TERM", "xterm", 1);
    ptydrain(p, 200);
    if (shell >= 0) {
      EXPECT_FALSE(leftover(shell));
      close(shell);
    }
    size_t at = p.out.find(ASKED);
    EXPECT_EQ(at == std::string::npos ? p.out : p.out.substr(at + sizeof ASKED - 1), r.after);
    ptystop(p);
  }
}

// keybytes on a terminal that offers a keyboard protocol: the test answers
// the queries as such a terminal does and then types its reports.
struct protocase {
  const char* name;
  const char* answer;
  const char* on;   // what keybytes turns on
  const char* off;  // and off at the end, with a query whose answer ends the drain
  // Keys legacy input cannot tell apart: keypad * with NumLock off, Alt+a
  // with NumLock on, keypad Enter, keypad / with NumLock off.
  std::vector<const char*> typed;
  const char* quit;  // q pressed
  const char* late;  // q released: on its way while keybytes turns the protocol off
};

// clang-format off
const protocase protocases[] = {
  {"kitty", "\x1b[?0u\x1b[?62;c", "\x1b[>31u", "\x1b[<u\x1b[c",
   {"\x1b[57411;;42u\x1b[57411;1:3u",
    "\x1b[57443;129u\x1b[97;131u\x1b[97;131:3u\x1b[57443;131:3u",
    "\x1b[57414u\x1b[57414;1:3u",
    "\x1b[57410;;47u\x1b[57410;1:3u"},
   "\x1b[113u", "\x1b[113;1:3u"},
  {"win32", "\x1b[?9001;2$y\x1b[?0u\x1b[?62;c", "\x1b[?9001h", "\x1b[?9001l\x1b[c",
   {"\x1b[106;55;42;1;0;1_\x1b[106;55;42;0;0;1_",
    "\x1b[18;56;0;1;34;1_\x1b[65;30;97;1;34;1_\x1b[65;30;97;0;34;1_\x1b[18;56;0;0;32;1_",
    "\x1b[13;28;13;1;256;1_\x1b[13;28;13;0;256;1_",
    "\x1b[111;53;47;1;256;1_\x1b[111;53;47;0;256;1_"},
   "\x1b[81;16;113;1;0;1_", "\x1b[81;16;113;0;0;1_"},
};
// clang-format on

void PrintTo(const protocase& c, std::ostream* os) { *os << c.name; }

// What those keys show: \e[0j, a, \e[M, /; then q.
const char SHOWN[] = "[0x1b][0ja\r\n[0x1b][M/q\r\n";

class KeybytesProtocol : public ::testing::TestWithParam<protocase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ptystart(p, KEYBYTES, cooked()));
    // The test keeps the terminal open, as the person's shell does, to see
    // what keybytes leaves in it.
    shell = open(ptsname(p.master), O_RDWR | O_NOCTTY);
    ASSERT_GE(shell, 0);
    ASSERT_TRUE(ptyexpect(p, std::string(BANNER) + ASKED)) << p.out;
    ptytype(p, GetParam().answer);
    ASSERT_TRUE(ptyexpect(p, GetParam().on)) << p.out;
  }
  void TearDown() override {
    ptystop(p);
    if (shell >= 0) close(shell);
  }

  ptyrun p;
  int shell = -1;
};

TEST_P(KeybytesProtocol, ShowsWhatLegacyInputCannotExpress) {
  const protocase& c = GetParam();
  for (const char* typed : c.typed) ptytype(p, typed);
  ptytype(p, c.quit);
  // Turned off while the terminal is raw; the terminal's last report and
  // its answer come after that and are neither echoed nor left behind.
  ASSERT_TRUE(ptyexpect(p, c.off)) << p.out;
  ptytype(p, std::string(c.late) + "\x1b[?62;c");
  int status = ptywait(p, 2000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ptydrain(p, 200);
  EXPECT_EQ(p.out, std::string(BANNER) + ASKED + c.on + SHOWN + c.off);
  struct termios after;
  ASSERT_EQ(tcgetattr(p.master, &after), 0);
  EXPECT_EQ(after.c_lflag, cooked().c_lflag);
  EXPECT_FALSE(leftover(shell));
}

TEST_P(KeybytesProtocol, FatalSignalTurnsItOff) {
  kill(p.pid, SIGQUIT);
  ASSERT_TRUE(ptyexpect(p, GetParam().off)) << p.out;
  ptytype(p, "\x1b[?62;c");
  int status = ptywait(p, 2000);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGQUIT) << status;
  ptydrain(p, 200);
  EXPECT_EQ(p.out, std::string(BANNER) + ASKED + GetParam().on + GetParam().off);
  struct termios after;
  ASSERT_EQ(tcgetattr(p.master, &after), 0);
  EXPECT_EQ(after.c_lflag, cooked().c_lflag);
  EXPECT_FALSE(leftover(shell));
}

// Nothing can be written to a terminal that has gone; keybytes still ends
// at once.
TEST_P(KeybytesProtocol, HangupEndsItPromptly) {
  close(shell);
  shell = -1;
  close(p.master);
  p.master = -1;
  int status = ptywait(p, 1000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

INSTANTIATE_TEST_SUITE_P(Terminals, KeybytesProtocol, ::testing::ValuesIn(protocases),
                         [](const auto& info) { return std::string(info.param.name); });

// Without a terminal the console fails at once: the program shows a few
// failed reads and ends through its normal exit.
TEST(KeybytesNoTerminal, EndsPromptly) {
  int devnull = open("/dev/null", O_RDONLY);
  int fds[2];
  ASSERT_GE(devnull, 0);
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "abc", 3), 3);
  close(fds[1]);
  for (int in : {devnull, fds[0]}) {
    std::string out;
    int status = runwith(KEYBYTES, in, out, 1000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(out, std::string(BANNER) + "[0xffffffff][0xffffffff][0xffffffff]\r\n");
  }
  close(devnull);
  close(fds[0]);
}

}  // namespace
