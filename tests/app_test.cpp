// keybytes end to end on a pseudo-terminal: keys typed as the bytes a
// terminal sends, the screen read back byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "tests/ptyrun.h"

namespace {

const char BANNER[] =
    "cygwin/gnu key banger. Shows emitted characters for a keypress\n"
    "Press a key. Quit with q, Q or ctrl-c.\n";

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

  // What was shown after the banner, once the program has ended with 0.
  std::string ended() {
    int status = ptywait(p, 2000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ptydrain(p, 200);
    return p.out.substr(sizeof BANNER - 1);
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

TEST_F(Keybytes, RawWhileRunningAndRestoredAfter) {
  struct termios before = cooked(), during, after;
  ASSERT_EQ(tcgetattr(p.master, &during), 0);
  EXPECT_EQ(during.c_iflag, before.c_iflag & ~(ICRNL | IXON | IGNBRK | BRKINT));
  EXPECT_EQ(during.c_lflag, before.c_lflag & ~(ISIG | ICANON | ECHO));
  EXPECT_EQ(during.c_oflag, before.c_oflag);
  EXPECT_EQ(during.c_cc[VMIN], before.c_cc[VMIN]);
  EXPECT_EQ(during.c_cc[VTIME], before.c_cc[VTIME]);
  keys({{"q", "q"}});
  ended();
  ASSERT_EQ(tcgetattr(p.master, &after), 0);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
}

TEST_F(Keybytes, FatalSignalFromOutsideRestoresTheTerminal) {
  kill(p.pid, SIGQUIT);
  int status = ptywait(p, 2000);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGQUIT) << status;
  struct termios after;
  ASSERT_EQ(tcgetattr(p.master, &after), 0);
  EXPECT_EQ(after.c_lflag, cooked().c_lflag);
  EXPECT_EQ(after.c_iflag, cooked().c_iflag);
}

TEST_F(Keybytes, HangupEndsItPromptly) {
  close(p.master);
  p.master = -1;
  int status = ptywait(p, 1000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

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
