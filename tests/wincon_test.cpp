// The key reader on a real console: records are written into the console's
// input queue with WriteConsoleInputW and read back through getchGNU, so the
// console's own record handling (the 8-bit read, its code page) takes part.
// Windows only; standard input must be a console (under Wine: a terminal).
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "console/getch.h"
#include "term/termmode.h"
#include "tests/records.h"

namespace {

HANDLE input() { return GetStdHandle(STD_INPUT_HANDLE); }

// Every injected batch ends with this key's down record, whose byte shows
// that the reader emitted nothing more before it.
constexpr char END = 'z';

std::vector<INPUT_RECORD> press(WORD vk, int ch, DWORD state = 0) {
  return {rec::key(vk, ch, state, true), rec::key(vk, ch, state, false)};
}

void inject(std::vector<INPUT_RECORD> recs) {
  recs.push_back(rec::key('Z', END));
  DWORD n = 0;
  ASSERT_TRUE(WriteConsoleInputW(input(), recs.data(), DWORD(recs.size()), &n));
  ASSERT_EQ(n, recs.size());
}

// The bytes before the END key's, each as the int getchGNU returned.
std::vector<int> drain() {
  std::vector<int> got;
  for (int c; (c = getchGNU()) != END;) {
    got.push_back(c);
    if (got.size() > 64) break;  // the END key got lost; don't read forever
  }
  return got;
}

std::vector<int> bytes(const std::string& s) {
  std::vector<int> v;
  for (char c : s) v.push_back(static_cast<signed char>(c));
  return v;
}

DWORD queued() {
  DWORD n = 0;
  GetNumberOfConsoleInputEvents(input(), &n);
  return n;
}

class Console : public ::testing::Test {
 protected:
  void SetUp() override {
    DWORD mode;
    ASSERT_TRUE(GetConsoleMode(input(), &mode)) << "standard input is not a console";
    ASSERT_TRUE(FlushConsoleInputBuffer(input()));
  }
  void TearDown() override { EXPECT_EQ(queued(), 0u) << "records left unread"; }
};

struct keycase {
  const char* what;
  WORD vk;
  int ch;
  DWORD state;
  std::string emits;
};

TEST_F(Console, EachPressEmitsItsSequence) {
  const keycase cases[] = {
      {"letter", 'A', 'a', 0, "a"},
      {"Up", VK_UP, 0, ENHANCED_KEY, "\033[A"},
      {"Shift+F5", VK_F5, 0, SHIFT_PRESSED, "\033[15;2~"},
      {"main Enter", VK_RETURN, '\r', 0, "\r"},
      {"keypad Enter", VK_RETURN, '\r', ENHANCED_KEY, "\033[M"},
      {"keypad *", VK_MULTIPLY, '*', 0, "\033[0j"},
      {"keypad *, NumLock on", VK_MULTIPLY, '*', NUMLOCK_ON, "*"},
      {"Alt+Home", VK_HOME, 0, LEFT_ALT_PRESSED | ENHANCED_KEY, "\033[1~"},
      {"Alt+slash", VK_OEM_2, '/', RIGHT_ALT_PRESSED, "\033[0o"},
      {"Ctrl+Shift+F12", VK_F12, 0, LEFT_CTRL_PRESSED | SHIFT_PRESSED, "\033[24;6~"},
      {"F13", VK_F13, 0, 0, ""},
  };
  for (const keycase& k : cases) {
    inject(press(k.vk, k.ch, k.state));
    EXPECT_EQ(drain(), bytes(k.emits)) << k.what;
  }
}

TEST_F(Console, AltLetterGetsEscOnlyWithNumLockOff) {
  const keycase cases[] = {
      {"Alt+x", 'X', 'x', LEFT_ALT_PRESSED, "\033x"},
      {"right Alt+x", 'X', 'x', RIGHT_ALT_PRESSED, "\033x"},
      {"Alt+x, NumLock on", 'X', 'x', LEFT_ALT_PRESSED | NUMLOCK_ON, "x"},
      {"Alt+Shift+x", 'X', 'X', LEFT_ALT_PRESSED | SHIFT_PRESSED, "X"},
      {"Alt+1", '1', '1', LEFT_ALT_PRESSED, "1"},
  };
  for (const keycase& k : cases) {
    inject(press(k.vk, k.ch, k.state));
    EXPECT_EQ(drain(), bytes(k.emits)) << k.what;
  }
}

TEST_F(Console, ReleasesAndOtherRecordsAreDropped) {
  std::vector<INPUT_RECORD> recs = {rec::key('A', 'a')};
  for (WORD t : {MOUSE_EVENT, WINDOW_BUFFER_SIZE_EVENT, MENU_EVENT, FOCUS_EVENT})
    recs.push_back(rec::other(t));
  recs.push_back(rec::key('A', 'a', 0, false));
  recs.push_back(rec::key('B', 'b'));
  recs.push_back(rec::key('B', 'b', 0, false));
  inject(recs);
  EXPECT_EQ(drain(), bytes("ab"));
}

// The road of Shift+Left: Shift's own press yields nothing, the arrow's
// yields the whole sequence, and no record is read while bytes are pending.
TEST_F(Console, ShiftOwnRecordIsSkipped) {
  DWORD shift = SHIFT_PRESSED, arrow = SHIFT_PRESSED | ENHANCED_KEY;
  inject({rec::key(VK_SHIFT, 0, shift), rec::key(VK_LEFT, 0, arrow),
          rec::key(VK_LEFT, 0, arrow, false), rec::key(VK_SHIFT, 0, 0, false)});
  EXPECT_EQ(queued(), 5u);
  EXPECT_EQ(getchGNU(), 0x1B);
  EXPECT_EQ(queued(), 3u) << "Shift and the arrow read, one record each";
  for (char c : std::string("[D;2~")) EXPECT_EQ(getchGNU(), c);
  EXPECT_EQ(queued(), 3u) << "the rest came from the pending buffer";
  EXPECT_EQ(drain(), bytes(""));
}

typedef void (*handler)(int);

// The disposition of `sig`, left as it is.
handler disposition(int sig) {
  handler h = signal(sig, SIG_DFL);
  signal(sig, h);
  return h;
}

#ifndef ENABLE_VIRTUAL_TERMINAL_INPUT
#define ENABLE_VIRTUAL_TERMINAL_INPUT 0x200
#endif

constexpr DWORD COOKED = ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT;

// The console's input mode plays the terminal attributes' part: raw mode
// switches off line input, echo and processed input, so Ctrl-C arrives as a
// key, and virtual terminal input, left on by an earlier program, so keys
// arrive as records; nothing else. termcanon puts back the mode termraw found.
TEST_F(Console, RawModeAndBack) {
  DWORD found, raw, back;
  ASSERT_TRUE(GetConsoleMode(input(), &found));
  const DWORD start = found | COOKED | ENABLE_VIRTUAL_TERMINAL_INPUT;
  ASSERT_TRUE(SetConsoleMode(input(), start));
  ASSERT_TRUE(GetConsoleMode(input(), &raw));
  ASSERT_EQ(raw, start) << "the console keeps no virtual terminal input bit";

  termraw();
  ASSERT_TRUE(GetConsoleMode(input(), &raw));
  EXPECT_EQ(raw, start & ~(COOKED | ENABLE_VIRTUAL_TERMINAL_INPUT));
  for (int sig : {SIGINT, SIGTERM}) EXPECT_EQ(disposition(sig), SIG_IGN) << sig;
  EXPECT_EQ(raise(SIGINT), 0);  // and still here
  inject(press('C', 0x03, LEFT_CTRL_PRESSED));
  EXPECT_EQ(drain(), bytes("\x03"));

  termcanon();
  ASSERT_TRUE(GetConsoleMode(input(), &back));
  EXPECT_EQ(back, start);
  for (int sig : {SIGINT, SIGTERM}) EXPECT_EQ(disposition(sig), SIG_DFL) << sig;
  SetConsoleMode(input(), found);
}

// Keys typed before a mode change are dropped with it, as a terminal's
// TCSAFLUSH drops them.
TEST_F(Console, ModeChangeDropsKeysNotYetRead) {
  DWORD found;
  ASSERT_TRUE(GetConsoleMode(input(), &found));
  inject(press('A', 'a'));
  termraw();
  EXPECT_EQ(queued(), 0u);
  inject(press('B', 'b'));
  termcanon();
  EXPECT_EQ(queued(), 0u);
  SetConsoleMode(input(), found);
}

// A character is written as UTF-16 and read through the 8-bit read, which
// hands it over in the console's input code page.
TEST_F(Console, CharacterArrivesInTheInputCodePage) {
  const UINT before = GetConsoleCP();
  const struct {
    UINT cp;
    int a_umlaut;  // what getchGNU returns for U+00E4
  } pages[] = {{437, -124}, {850, -124}, {1252, -28}};
  for (const auto& p : pages) {
    ASSERT_TRUE(SetConsoleCP(p.cp)) << p.cp;
    inject(press(0, 0x00E4));
    EXPECT_EQ(drain(), std::vector<int>{p.a_umlaut}) << "code page " << p.cp;
  }
  SetConsoleCP(before);
}

}  // namespace
