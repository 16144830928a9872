// keybytes.exe end to end under Wine: keys are typed as the bytes a terminal
// sends, Wine's console turns them into key event records, and what the
// program shows is read back.
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

// keybytes.exe under Wine on a pseudo-terminal of its own.
class Keybytes : public ::testing::Test {
 protected:
  // With `on_terminal`, standard output goes to the terminal as well, as for
  // a person at it; else to a pipe, which gets the program's own bytes.
  void start(bool on_terminal) {
    terminal = on_terminal;
    int fds[2] = {-1, -1};
    if (!terminal) {
      ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    }
    char* argv[] = {const_cast<char*>(wine64), const_cast<char*>(keybytes), nullptr};
    pid = spawn_on_pty(argv, fds[1], terminal ? -1 : 2, &master);
    if (fds[1] >= 0) close(fds[1]);
    out = fds[0];
    ASSERT_GT(pid, 0);
    // The first Wine start of a fresh prefix takes a while.
    ASSERT_NE(expect("Press a key. Quit with q, Q or ctrl-c.\r\n", 120000), std::string::npos)
        << raw;
    EXPECT_EQ(text().substr(0, sizeof BANNER - 1), BANNER);
    seen = sizeof BANNER - 1;
    // Wine's console takes the terminal (no echo, no line editing) only
    // once the program reads; keys typed before that would be echoed by the
    // terminal itself. A person never types that fast.
    bool taken = false;
    termios t;
    for (long end = now_ms() + 10000; !taken && now_ms() < end; pump(20))
      taken = tcgetattr(master, &t) == 0 && !(t.c_lflag & (ECHO | ICANON));
    ASSERT_TRUE(taken) << "the console never took the terminal";
  }

  void TearDown() override {
    if (pid > 0) stop(pid);
    if (master >= 0) close(master);
    if (out >= 0) close(out);
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

  // Waits for the program to end; what it showed after the banner.
  std::string ended() {
    int status = 0;
    bool done = false;
    for (long end = now_ms() + 20000; !done && now_ms() < end; pump(50))
      done = waitpid(pid, &status, WNOHANG) == pid;
    EXPECT_TRUE(done) << "still running";
    if (!done) return raw;
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
