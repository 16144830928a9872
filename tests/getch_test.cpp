// The key reader against a scripted console queue. An empty queue reads as
// a failure, so -1 after the expected bytes proves nothing more was emitted.
#include "console/getch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fake_console.h"

namespace {

// Every byte up to the first -1.
std::vector<int> drain() {
  std::vector<int> got;
  for (int c; (c = getchGNU()) != -1;) got.push_back(c);
  return got;
}

std::vector<int> bytes(const std::string& s) {
  std::vector<int> v;
  for (char c : s) v.push_back(static_cast<signed char>(c));
  return v;
}

class Reader : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(fake::queued(), 0);
    EXPECT_EQ(getchGNU(), -1) << "bytes left over";
  }
};

TEST_F(Reader, ShiftLeftRoadCallByCall) {
  fake::push(fake::key(VK_SHIFT, 0, SHIFT_PRESSED));
  fake::push(fake::key(VK_LEFT, 0, SHIFT_PRESSED | ENHANCED_KEY));
  fake::push(fake::key(VK_LEFT, 0, SHIFT_PRESSED | ENHANCED_KEY, false));
  fake::push(fake::key(VK_SHIFT, 0, 0, false));
  int before = fake::reads();
  EXPECT_EQ(getchGNU(), 0x1B);
  EXPECT_EQ(fake::reads() - before, 2) << "Shift's own record read and dropped";
  for (char c : std::string("[D;2~")) EXPECT_EQ(getchGNU(), c);
  EXPECT_EQ(fake::reads() - before, 2) << "the rest came from the pending buffer";
  EXPECT_EQ(fake::queued(), 2);
  EXPECT_EQ(getchGNU(), -1);
  EXPECT_EQ(fake::queued(), 0) << "releases read and dropped";
}

TEST_F(Reader, NoReadUntilTheSequenceIsHandedOut) {
  fake::push_press(VK_UP, 0, ENHANCED_KEY);
  fake::push_press(VK_F5, 0, SHIFT_PRESSED);
  int before = fake::reads();
  EXPECT_EQ(getchGNU(), 0x1B);
  EXPECT_EQ(getchGNU(), '[');
  EXPECT_EQ(getchGNU(), 'A');
  EXPECT_EQ(fake::reads() - before, 1);
  EXPECT_EQ(drain(), bytes("\033[15;2~"));
}

TEST_F(Reader, NonKeyRecordsAndReleasesAreDropped) {
  fake::push(fake::key('A', 'a', 0));
  for (WORD t : {MOUSE_EVENT, WINDOW_BUFFER_SIZE_EVENT, MENU_EVENT, FOCUS_EVENT})
    fake::push(fake::other(t));
  fake::push(fake::key('A', 'a', 0, false));
  fake::push(fake::key('B', 'b', 0));
  EXPECT_EQ(drain(), bytes("ab"));
}

// What each single key-down record emits.
struct press {
  const char* what;
  WORD vk;
  int ch;
  DWORD state;
  std::string emits;
};

TEST_F(Reader, EachRecordEmitsItsSequence) {
  const press cases[] = {
      {"letter", 'A', 'a', 0, "a"},
      {"main Enter", VK_RETURN, '\r', 0, "\r"},
      {"keypad Enter", VK_RETURN, '\r', ENHANCED_KEY, "\033[M"},
      {"Alt+x", 'X', 'x', LEFT_ALT_PRESSED, "\033x"},
      {"Alt+x, NumLock on", 'X', 'x', LEFT_ALT_PRESSED | NUMLOCK_ON, "x"},
      {"slash", VK_OEM_2, '/', 0, "/"},
      {"Alt+slash", VK_OEM_2, '/', LEFT_ALT_PRESSED, "\033[0o"},
      {"keypad 5, NumLock on", VK_NUMPAD5, '5', NUMLOCK_ON, "5"},
      {"keypad *", VK_MULTIPLY, '*', 0, "\033[0j"},
      {"keypad *, NumLock on", VK_MULTIPLY, '*', NUMLOCK_ON, "*"},
      {"Ctrl+C", 'C', 0x03, LEFT_CTRL_PRESSED, "\x03"},
      {"Ctrl+Shift+F12", VK_F12, 0, LEFT_CTRL_PRESSED | SHIFT_PRESSED, "\033[24;6~"},
      {"Alt+Home", VK_HOME, 0, LEFT_ALT_PRESSED | ENHANCED_KEY, "\033[1~"},
      {"a-umlaut", 0x00, 0xE4, 0, "\xE4"},
      {"lone Shift", VK_SHIFT, 0, SHIFT_PRESSED, ""},
      {"F13", VK_F13, 0, 0, ""},
      {"character 0, no row", 'Q', 0, LEFT_CTRL_PRESSED, ""},
      {"16-bit character with low byte 0", 0x00, 0x4100, 0, ""},
  };
  for (const press& p : cases) {
    fake::push_press(p.vk, p.ch, p.state);
    EXPECT_EQ(drain(), bytes(p.emits)) << p.what;
  }
}

TEST_F(Reader, HighBytesAreNegative) {
  fake::push(fake::key(0, 0xE4, 0));
  fake::push(fake::key(0, 0x80, 0));
  EXPECT_EQ(getchGNU(), -28);
  EXPECT_EQ(getchGNU(), -128);
}

TEST_F(Reader, FailedReadReturnsMinusOneThenReadsAgain) {
  fake::push_failure();
  fake::push(fake::key('A', 'a', 0));
  int before = fake::reads();
  EXPECT_EQ(getchGNU(), -1);
  EXPECT_EQ(getchGNU(), 'a');
  EXPECT_EQ(fake::reads() - before, 2);
}

TEST_F(Reader, FailureDoesNotDropPendingBytes) {
  fake::push(fake::key(VK_DOWN, 0, ENHANCED_KEY));
  fake::push_failure();
  EXPECT_EQ(getchGNU(), 0x1B);
  EXPECT_EQ(getchGNU(), '[');
  EXPECT_EQ(getchGNU(), 'B');
  EXPECT_EQ(getchGNU(), -1);
}

}  // namespace
