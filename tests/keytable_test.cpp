// The key table checked against the rules its rows follow, so a typo in any
// cell shows up without re-typing the table here.
#include "keys/keytable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

std::string cell(int row, int col) { return keytable[row].val[col]; }

// The plain form of each key, in table order; every other column follows
// from these by the rules below.
struct plainkey {
  int vk;
  const char* plain;
};
const plainkey modified[] = {
    {VK_LEFT, "\033[D"},    {VK_RIGHT, "\033[C"},   {VK_UP, "\033[A"},      {VK_DOWN, "\033[B"},
    {VK_PRIOR, "\033[5~"},  {VK_NEXT, "\033[6~"},   {VK_HOME, "\033[H"},    {VK_END, "\033[F"},
    {VK_INSERT, "\033[2~"}, {VK_DELETE, "\033[3~"}, {VK_F1, nullptr},       {VK_F2, nullptr},
    {VK_F3, nullptr},       {VK_F4, nullptr},       {VK_F5, nullptr},       {VK_F6, nullptr},
    {VK_F7, nullptr},       {VK_F8, nullptr},       {VK_F9, nullptr},       {VK_F10, nullptr},
    {VK_F11, nullptr},      {VK_F12, nullptr},      {VK_NUMPAD5, "\033[E"}, {VK_CLEAR, "\033[E"},
};
const plainkey fixed[] = {
    {VK_OEM_2, "\033[0o"}, {VK_MULTIPLY, "\033[0j"}, {VK_SUBTRACT, "\033[0m"},
    {VK_ADD, "\033[0k"},   {VK_RETURN, "\033[M"},
};

// Parameter 2 is Shift, 5 Ctrl, 6 Ctrl+Shift: appended as ";p~" to a form
// ending in a letter, inserted as ";p" before the "~" of a form ending in "~".
std::string withparam(const std::string& plain, char p) {
  if (plain.back() == '~') return plain.substr(0, plain.size() - 1) + ";" + p + "~";
  return plain + ";" + p + "~";
}

TEST(KeyTable, HasTwentyNineUniqueKeysThenTerminator) {
  std::set<int> seen;
  for (int i = 0; i < NKEYS; ++i) {
    EXPECT_NE(keytable[i].vk, 0) << "row " << i;
    EXPECT_TRUE(seen.insert(keytable[i].vk).second) << "duplicate vk in row " << i;
    for (int c = 0; c < NCOLS; ++c) {
      ASSERT_NE(keytable[i].val[c], nullptr) << "row " << i << " col " << c;
      size_t n = std::strlen(keytable[i].val[c]);
      EXPECT_GE(n, 3u);
      EXPECT_LE(n, size_t(MAXSEQ));
      EXPECT_EQ(cell(i, c).substr(0, 2), "\033[") << "row " << i << " col " << c;
    }
  }
  EXPECT_EQ(keytable[NKEYS].vk, 0);
  for (int c = 0; c < NCOLS; ++c) EXPECT_EQ(keytable[NKEYS].val[c], nullptr);
}

TEST(KeyTable, ModifiedKeysFollowTheParameterRules) {
  int fnum = 11;  // F1..F12 carry 11..24, skipping 16 and 22
  for (int i = 0; i < 24; ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    ASSERT_EQ(keytable[i].vk, modified[i].vk);
    std::string plain;
    if (modified[i].plain) {
      plain = modified[i].plain;
    } else {
      if (fnum == 16 || fnum == 22) ++fnum;
      plain = "\033[" + std::to_string(fnum++) + "~";
    }
    EXPECT_EQ(cell(i, COL_NONE), plain);
    EXPECT_EQ(cell(i, COL_SHIFT), withparam(plain, '2'));
    EXPECT_EQ(cell(i, COL_CTRL), withparam(plain, '5'));
    EXPECT_EQ(cell(i, COL_CTRLSHIFT), withparam(plain, '6'));
    EXPECT_EQ(cell(i, COL_ALT), keytable[i].vk == VK_HOME ? "\033[1~" : plain);
  }
  EXPECT_EQ(fnum, 25);
}

TEST(KeyTable, KeypadFiveAndClearAreIdentical) {
  for (int c = 0; c < NCOLS; ++c) EXPECT_EQ(cell(22, c), cell(23, c));
}

TEST(KeyTable, LastFiveKeysIgnoreModifiers) {
  for (int i = 0; i < 5; ++i) {
    int row = 24 + i;
    ASSERT_EQ(keytable[row].vk, fixed[i].vk);
    for (int c = 0; c < NCOLS; ++c) EXPECT_EQ(cell(row, c), fixed[i].plain) << row << "/" << c;
    if (i < 4) {
      EXPECT_EQ(cell(row, 0)[2], '0') << "digit zero, not the letter O";
    }
  }
}

TEST(KeyTable, KeypadDivideHasNoRow) {
  for (int i = 0; i < NKEYS; ++i) EXPECT_NE(keytable[i].vk, VK_DIVIDE);
}

}  // namespace
