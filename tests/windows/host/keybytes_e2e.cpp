// keybytes.exe end to end under Wine: keys are typed as the bytes a terminal
// sends, Wine's console turns them into key event records, and what the
// program shows is read back. Without a console (input from NUL, /dev/null
// or a pipe) it must end on its own.
//
//   keybytes_e2e WINE64 KEYBYTES_EXE [gtest flags]
//
// Wine's console is not a Windows console: it knows only what a terminal
// sends, so Up arrives without ENHANCED_KEY, ESC followed by a key is that
// key with Alt, NumLock reads as off, and the terminal's own interrupt
// character never reaches the console as a key.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "spawn.h"

namespace {

const char* wine64;
const char* keybytes;

const char BANNER[] =
    "cygwin/gnu key banger. Shows emitted characters for a keypress\r\n"
    "Press a key. Quit with q, Q or ctrl-c.\r\n";

long now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000;
}

// The lines a terminal shows for `raw`, for the sequences Wine's console
// draws with: text, CR, LF, cursor forward and back, erase to end of line,
// cursor position; others (cursor on and off, colours) change no text.
std::vector<std::string> screen(const std::string& raw) {
  std::vector<std::string> rows(1);
  size_t row = 0, col = 0;
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '\033' && i + 1 < raw.size() && raw[i + 1] == '[') {
      size_t end = i + 2;
      while (end < raw.size() && !(raw[end] >= 0x40 && raw[end] <= 0x7E)) ++end;
      if (end == raw.size()) break;
      std::string params = raw.substr(i + 2, end - i - 2);
      int n = params.empty() || params[0] == '?' ? 1 : std::atoi(params.c_str());
      switch (raw[end]) {
        case 'C':
          col += size_t(n > 0 ? n : 1);
          break;
        case 'D':
          col -= std::min(col, size_t(n > 0 ? n : 1));
          break;
        case 'K':
          if (rows[row].size() > col) rows[row].resize(col);
          break;
        case 'H': {
          size_t semi = params.find(';');
          row = size_t(std::max(1, n) - 1);
          col =
              semi == std::string::npos ? 0 : size_t(std::max(1, std::atoi(&params[semi + 1])) - 1);
          break;
        }
      }
      i = end;
    } else if (c == '\r') {
      col = 0;
    } else if (c == '\n') {
      ++row;
    } else if (static_cast<unsigned char>(c) >= 0x20) {
      if (rows.size() <= row) rows.resize(row + 1);
      if (rows[row].size() < col) rows[row].resize(col, ' ');
      if (rows[row].size() == col)
        rows[row] += c;
      else
        rows[row][col] = c;
      ++col;
    }
    if (rows.size() <= row) rows.resize(row + 1);
  }
  while (!rows.empty() && rows.back().empty()) rows.pop_back();
  return rows;
}

// keybytes.exe under Wine, on a pseudo-terminal of its own or with no
// terminal at all.
class Keybytes : public ::testing::Test {
 protected:
  // Starts Wine with `args` and waits for the banner. Standard input is a
  // new pseudo-terminal, or `in` (then there is no terminal at all). With
  // `on_terminal`, standard output goes to the terminal as well, as for a
  // person at it; else to a pipe, which gets the program's own bytes.
  void launch(std::vector<std::string> args, bool on_terminal = false, int in = -1) {
    terminal = on_terminal;
    int fds[2] = {-1, -1};
    if (!terminal) {
      ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    }
    args.insert(args.begin(), wine64);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid = in < 0 ? spawn_on_pty(argv.data(), fds[1], terminal ? -1 : 2, &master)
                 : spawn_plain(argv.data(), in, fds[1], 2);
    if (fds[1] >= 0) close(fds[1]);
    out = fds[0];
    ASSERT_GT(pid, 0);
    // The first Wine start of a fresh prefix takes a while.
    ASSERT_NE(expect("Press a key. Quit with q, Q or ctrl-c.\r\n", 120000), std::string::npos)
        << raw;
    EXPECT_EQ(text().substr(0, sizeof BANNER - 1), BANNER);
    seen = sizeof BANNER - 1;
  }

  // Wine's console takes the terminal (no echo, no line editing) only once
  // the program reads; keys typed before that would be echoed by the
  // terminal itself. A person never types that fast.
  void taken() {
    bool taken = false;
    termios t;
    for (long end = now_ms() + 10000; !taken && now_ms() < end; pump(20))
      taken = tcgetattr(master, &t) == 0 && !(t.c_lflag & (ECHO | ICANON));
    ASSERT_TRUE(taken) << "the console never took the terminal";
  }

  // keybytes.exe on a console of its own.
  void start(bool on_terminal) {
    ASSERT_NO_FATAL_FAILURE(launch({keybytes}, on_terminal));
    taken();
  }

  void TearDown() override {
    if (pid > 0) stop(pid);
    if (master >= 0) close(master);
    if (out >= 0) close(out);
    if (held >= 0) close(held);
  }

  // Reads what has arrived within `ms`. Without the pipe, what the terminal
  // shows is the output; with it, the terminal's drawing is dropped.
  void pump(int ms) {
    int from[2] = {master, out};
    pollfd fds[2] = {{from[0], POLLIN, 0}, {from[1], POLLIN, 0}};
    if (poll(fds, 2, ms) <= 0) return;
    for (int i = 0; i < 2; ++i) {
      if (from[i] < 0 || !fds[i].revents) continue;
      char buf[4096];
      ssize_t n = read(from[i], buf, sizeof buf);
      if (n > 0 && (i == 1 || terminal)) raw.append(buf, size_t(n));
      if (n <= 0 && i == 1) {
        close(out);
        out = -1;
      }
    }
  }

  // The output as text: the screen's lines, or the program's bytes with the
  // C runtime's text-mode CR (it writes "\r\n" as "\r\r\n") taken out.
  std::string text() {
    if (terminal) {
      std::string t;
      for (const std::string& line : screen(raw)) t += line + "\r\n";
      return t;
    }
    std::string t = raw;
    for (size_t at; (at = t.find("\r\r\n")) != std::string::npos;) t.erase(at, 1);
    return t;
  }

  // Where `want` shows up past `seen`, waiting up to `ms` for it; npos if
  // it does not.
  size_t expect(const std::string& want, int ms = 10000) {
    for (long end = now_ms() + ms; now_ms() < end; pump(50)) {
      size_t at = text().find(want, seen);
      if (at != std::string::npos) return at;
    }
    return std::string::npos;
  }

  // Types each key on its own, waiting until its item has been shown past
  // the last one: one write per key, as from a keyboard.
  void keys(std::initializer_list<std::pair<const char*, const char*>> typed) {
    for (auto& [bytes, shown] : typed) {
      ASSERT_EQ(write(master, bytes, std::strlen(bytes)), ssize_t(std::strlen(bytes)));
      size_t at = expect(shown);
      ASSERT_NE(at, std::string::npos) << "typed " << ::testing::PrintToString(bytes) << "\n"
                                       << raw;
      seen = at + std::strlen(shown);
    }
  }

  // Waits up to `ms` for the program to end; what it showed after the
  // banner. A program that keeps showing items is given up on early.
  std::string ended(int ms = 20000) {
    int status = 0;
    bool done = false;
    for (long end = now_ms() + ms; !done && now_ms() < end && raw.size() < 65536; pump(50))
      done = waitpid(pid, &status, WNOHANG) == pid;
    EXPECT_TRUE(done) << "still running, " << raw.size() << " bytes shown";
    if (!done) return raw.substr(0, 1000);
    pid = -1;
    EXPECT_EQ(exit_code(status), 0);
    // Its output is in the pipe by now; Wine's server may hold the pipe open
    // for a while, so nothing waits for its end.
    for (int i = 0; i < 20; ++i) pump(10);
    std::string t = text();
    size_t after = t.find("ctrl-c.\r\n");
    return after == std::string::npos ? t : t.substr(after + 9);
  }

  bool terminal = false;
  pid_t pid = -1;
  int master = -1, out = -1;
  int held = -1;    // a descriptor the test keeps open while the program runs
  std::string raw;  // everything read so far
  size_t seen = 0;  // where in text() to look for the next item
};

TEST_F(Keybytes, WorkedExample) {
  start(false);
  keys({{"a", "a"},
        {"\033[A", "[0x1b][A"},
        {"\033[15;2~", "[0x1b][15;2~"},
        {"\r", "[0x0d]"},
        {"q", "q"}});
  EXPECT_EQ(ended(), "a\r\n[0x1b][A\r\n[0x1b][15;2~\r\n[0x0d]q\r\n");
}

// What Wine's console makes of each terminal sequence, through the key map:
// ESC-prefixed keys come with Alt, DEL is the Backspace key, "ä" arrives in
// code page 437 as 0x84, and the main block's "/" is not special.
TEST_F(Keybytes, ModifiersAndCharacters) {
  start(false);
  keys({{"\033x", "[0x1b]x"},
        {"\xc3\xa4", "[0xffffff84]"},
        {"\x7f", "[0x08]"},
        {"\t", "[0x09]"},
        {"\033[1;2D", "[0x1b][D;2~"},
        {"\033[1;5C", "[0x1b][C;5~"},
        {"\033[1;3H", "[0x1b][1~"},
        {"/", "/"},
        {"\033[24;6~", "[0x1b][24;6~"},
        {"\033OP", "[0x1b][11~"},
        {"\033[5~", "[0x1b][5~"},
        {"Q", "Q"}});
  EXPECT_EQ(ended(),
            "[0x1b]x[0xffffff84][0x08][0x09]\r\n"
            "[0x1b][D;2~\r\n"
            "[0x1b][C;5~\r\n"
            "[0x1b][1~/\r\n"
            "[0x1b][24;6~\r\n"
            "[0x1b][11~\r\n"
            "[0x1b][5~Q\r\n");
}

// The terminal turns Ctrl-C into SIGINT for Wine, which hands it to the
// program as a console control event: SIGINT is ignored, so it carries on.
TEST_F(Keybytes, CtrlCDoesNotEndIt) {
  start(false);
  keys({{"a", "a"}});
  ASSERT_EQ(write(master, "\x03", 1), 1);
  keys({{"b", "b"}, {"q", "q"}});
  // Wine's terminal keeps its interrupt character, so Ctrl-C is no key
  // there; a console that delivered it as one would show it as [0x03].
  std::string shown = ended();
  EXPECT_TRUE(shown == "abq\r\n" || shown == "a[0x03]bq\r\n") << shown;
}

// As a person sees it: standard output on the terminal, drawn by Wine's
// console.
TEST_F(Keybytes, ShowsOnTheTerminal) {
  start(true);
  keys({{"a", "a"}, {"\033[A", "[0x1b][A"}, {"\033[15;2~", "[0x1b][15;2~"}, {"q", "q"}});
  EXPECT_EQ(ended(), "a\r\n[0x1b][A\r\n[0x1b][15;2~q\r\n");
  EXPECT_EQ(screen(raw).at(0), "cygwin/gnu key banger. Shows emitted characters for a keypress");
}

// The Windows name of a Linux file: Wine's drive Z: is the root.
std::string windows_path(const char* file) {
  char full[PATH_MAX];
  std::string p = realpath(file, full) ? full : file;
  std::replace(p.begin(), p.end(), '/', '\\');
  return "Z:" + p;
}

// n items [0xffffffff], ten to a line.
std::string ffs(int n) {
  std::string s;
  for (int i = 1; i <= n; ++i) s += i % 10 ? "[0xffffffff]" : "[0xffffffff]\r\n";
  return s;
}

// With no console to read from, every read fails at once, and three failed
// reads in a row end the program: it shows them and exits with status 0,
// within a few seconds of its banner (Wine's own start and exit included).
const std::string THREE_FAILED = "[0xffffffff][0xffffffff][0xffffffff]\r\n";

TEST_F(Keybytes, InputFromNulEndsIt) {
  // Windows' own NUL device, opened by cmd; cmd passes on the exit status.
  ASSERT_NO_FATAL_FAILURE(launch({"cmd", "/c", "<NUL", windows_path(keybytes)}));
  EXPECT_EQ(ended(5000), THREE_FAILED);
}

TEST_F(Keybytes, InputFromDevNullEndsIt) {
  int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(null, 0);
  launch({keybytes}, false, null);
  close(null);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(ended(5000), THREE_FAILED);
}

// A pipe is no console, even with keys in it and its writer still there:
// none of its bytes is read, not even the q.
TEST_F(Keybytes, InputFromAPipeEndsIt) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  held = fds[1];
  ASSERT_EQ(write(held, "abq", 3), 3);
  launch({keybytes}, false, fds[0]);
  close(fds[0]);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(ended(5000), THREE_FAILED);
}

// In code page 1252 ÿ is the byte 0xFF, which the reader returns as -1, the
// value of a failed read. Holding the key down gives many in a row, queued
// at once and then one by one; they are keys, never failures, and q still
// ends the program. cmd's chcp sets the console's input code page.
TEST_F(Keybytes, HoldingYDiaeresisDoesNotEndIt) {
  ASSERT_NO_FATAL_FAILURE(
      launch({"cmd", "/c", "chcp", "1252", ">NUL", "&", windows_path(keybytes)}));
  ASSERT_NO_FATAL_FAILURE(taken());
  const std::string y = "\xc3\xbf";  // as the terminal sends it, in UTF-8
  std::string burst;
  for (int i = 0; i < 25; ++i) burst += y;
  ASSERT_EQ(write(master, burst.data(), burst.size()), ssize_t(burst.size()));
  size_t at = expect(ffs(25));
  ASSERT_NE(at, std::string::npos) << raw;
  seen = at + ffs(25).size();
  for (int i = 0; i < 5; ++i) keys({{y.c_str(), "[0xffffffff]"}});
  keys({{"q", "q"}});
  EXPECT_EQ(ended(), ffs(30) + "q\r\n");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: keybytes_e2e WINE64 KEYBYTES_EXE [gtest flags]\n");
    return 2;
  }
  wine64 = argv[1];
  keybytes = argv[2];
  return RUN_ALL_TESTS();
}
