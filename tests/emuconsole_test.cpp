// The emulated console on real descriptors: pseudo-terminals the tests
// create, pipes and /dev/null.
#include "platform/emuconsole.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
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
  termios before, after;
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

TEST(Emuconsole, WaitingReadEndsOnHangup) {
  for (const char* pending : {"", "\x1b"}) {
    pty p;
    terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
    p.type(pending);
    std::thread other([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      p.hangup();
    });
    INPUT_RECORD r;
    int got = term_read(t, &r, 1);
    other.join();
    // A pending ESC may still come out as the Escape key; then the read fails.
    if (got == 1) {
      EXPECT_EQ(keyof(r), (key{VK_ESCAPE, 0x1B, true}));
    }
    while (got == 1) got = term_read(t, &r, 1);
    EXPECT_EQ(got, 0) << pending;
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

void on_signal(int) {}

TEST(Emuconsole, RetriesWhenASignalInterrupts) {
  pty p;
  terminput t{p.tty, {}, {}, 0, 0, {}, 0, 0};
  struct sigaction sa = {}, old;
  sa.sa_handler = on_signal;  // no SA_RESTART: poll fails with EINTR
  sigaction(SIGUSR1, &sa, &old);
  pthread_t reader = pthread_self();
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pthread_kill(reader, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.type("z");
  });
  std::vector<key> got = next(t, 1);
  other.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(got, (std::vector<key>{{'Z', 'z', true}}));
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
