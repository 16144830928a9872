// keybytes-trace as a user runs it: on saved bytes with its options, and on
// a pseudo-terminal.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/ptyrun.h"

namespace {

// Runs keybytes-trace with `args` on `in` as standard input; its exit
// status, and standard output and error in `out`.
int run(const std::string& args, const std::string& in, std::string& out) {
  char path[] = "/tmp/trace_testXXXXXX";
  int fd = mkstemp(path);
  if (fd < 0 || write(fd, in.data(), in.size()) != static_cast<ssize_t>(in.size())) return -1;
  close(fd);
  std::string cmd = std::string("'") + TRACE + "' " + args + " <" + path + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  out.clear();
  for (char buf[4096]; size_t n = std::fread(buf, 1, sizeof buf, p);) out.append(buf, n);
  int status = pclose(p);
  unlink(path);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A line of `out` holding every one of `parts`, in order.
bool hasline(const std::string& out, const std::vector<std::string>& parts) {
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);) {
    size_t at = 0;
    for (const std::string& p : parts)
      if (at != std::string::npos) at = l.find(p, at);
    if (at != std::string::npos) return true;
  }
  return false;
}

TEST(Trace, SavedBytesAndOptions) {
  std::string noise(1 << 16, '\0');
  std::mt19937 gen(1);
  for (char& c : noise) c = static_cast<char>(gen());
  const struct {
    const char* args;
    std::string in;
    int status;
    std::vector<std::string> line;  // a line with these, in order
  } rows[] = {
      {"", "\x1b[15;2~", 0, {"CSI 15;2~", "down", "VK_F5", "SHIFT", "[0x1b][15;2~", "1b 5b 31"}},
      {"--input=kitty", "\x1b[57441;2u", 0, {"down", "VK_SHIFT", "nothing: no character, no row"}},
      {"--input win32", "\x1b[16;42;0;0;16;1_", 0, {"up", "VK_SHIFT", "key-up dropped"}},
      {"", "\x1b]11;rgb:0/0/0\x07", 0, {"ESC ]11;rgb:0/0/0 ^G", "no record", "nothing"}},
      {"", "\x1b[<0;3;4M", 0, {"MOUSE_EVENT", "not a key event"}},
      {"--help", "", 0, {"Usage: keybytes-trace"}},
      {"--version", "", 0, {"keybytes-trace " VERSION}},
      {"--bogus", "", 2, {"keybytes-trace: unknown option '--bogus'"}},
      {"--input=vt52", "", 2, {"keybytes-trace: --input takes"}},
      {"", noise, 0, {"keybytes-trace: legacy input"}},
      {"--input=kitty", noise, 0, {"keybytes-trace: kitty input"}},
      {"--input=win32", noise, 0, {"keybytes-trace: win32-input-mode input"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args);
    std::string out;
    EXPECT_EQ(run(r.args, r.in, out), r.status);
    EXPECT_TRUE(hasline(out, r.line)) << out.substr(0, 2000);
    if (r.status == 2) {
      EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line: " << out;
    }
  }
}

// On a terminal: the first line says what it negotiated, and the terminal
// gets its keypad back once q has ended it.
TEST(Trace, LiveOnATerminal) {
  setenv("TERM", "xterm", 1);
  const struct {
    const char* answer;  // to the keyboard queries
    const char* key;
    std::vector<std::string> head, line;
    const char* end;  // what puts the terminal back
  } rows[] = {
      {"",
       "\x1b[15;2~",
       {"keybytes-trace: legacy; keypad application (was normal)", "TERM=xterm"},
       {"CSI 15;2~", "VK_F5", "SHIFT", "[0x1b][15;2~"},
       "\x1b[?1l\x1b>"},
      {"\x1b[?0u\x1b[?62;c",
       "\x1b[57441;2u",
       {"kitty (flags 31)", "answered: CSI ?0u CSI ?62;c"},
       {"CSI 57441;2u", "down", "VK_SHIFT", "nothing"},
       "\x1b[<u\x1b[c"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.key);
    ptyrun p;
    ASSERT_TRUE(ptystart(p, TRACE, cooked()));
    ASSERT_TRUE(ptyexpect(p, "\x1b[c")) << p.out;
    ptytype(p, r.answer);
    ASSERT_TRUE(ptyexpect(p, "keybytes shows")) << p.out;
    ptytype(p, r.key);
    ptytype(p, "q");
    int status = ptywait(p, 2000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ptydrain(p, 200);
    EXPECT_TRUE(hasline(p.out, r.head)) << p.out;
    EXPECT_TRUE(hasline(p.out, r.line)) << p.out;
    EXPECT_EQ(p.out.substr(p.out.size() - std::string(r.end).size()), r.end) << p.out;
    ptystop(p);
  }
}

}  // namespace
