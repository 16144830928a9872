// Which key presses are translated, the modifier column, and what
// get_nonascii_key returns.
#include <gtest/gtest.h>

#include <string>

#include "keys/keytable.h"
#include "tests/records.h"

namespace {

constexpr DWORD ALTS[] = {LEFT_ALT_PRESSED, RIGHT_ALT_PRESSED};
constexpr DWORD CTRLS[] = {LEFT_CTRL_PRESSED, RIGHT_CTRL_PRESSED};

// A translated key press, or "<null>" when it emits nothing.
std::string translate(WORD vk, int ch, DWORD state) {
  INPUT_RECORD rec = rec::key(vk, ch, state);
  char out[8] = "unused";
  const char* r = get_nonascii_key(rec, out);
  return r ? r : "<null>";
}

TEST(SpecialKey, NumLockOverridesEveryOtherRule) {
  for (unsigned vk = 0; vk < 256; ++vk)
    for (DWORD s = 0; s < 0x200; ++s)
      if (s & NUMLOCK_ON) {
        ASSERT_EQ(isSpecialKey(vk, s), 0) << vk << " " << s;
      }
}

TEST(SpecialKey, EnhancedOrAltMakesAnyKeySpecial) {
  for (unsigned vk = 0; vk < 256; ++vk) {
    EXPECT_EQ(isSpecialKey(vk, ENHANCED_KEY), 1);
    for (DWORD alt : ALTS) EXPECT_EQ(isSpecialKey(vk, alt | SHIFT_PRESSED | CAPSLOCK_ON), 1);
  }
}

TEST(SpecialKey, OnlyKeypadOperatorsAreSpecialOnTheirOwn) {
  for (unsigned vk = 0; vk < 256; ++vk) {
    int want = vk == VK_MULTIPLY || vk == VK_SUBTRACT || vk == VK_ADD;
    // Shift, Ctrl and the lock keys other than NumLock change nothing.
    for (DWORD s : {DWORD(0), DWORD(SHIFT_PRESSED), DWORD(LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED),
                    DWORD(CAPSLOCK_ON | SCROLLLOCK_ON)})
      EXPECT_EQ(isSpecialKey(vk, s), want) << vk << " " << s;
  }
}

TEST(ModifierColumn, ShiftThenCtrlThenAlt) {
  EXPECT_EQ(modcolumn(0), COL_NONE);
  EXPECT_EQ(modcolumn(NUMLOCK_ON | ENHANCED_KEY | CAPSLOCK_ON), COL_NONE);
  EXPECT_EQ(modcolumn(SHIFT_PRESSED), COL_SHIFT);
  for (DWORD alt : ALTS) {
    EXPECT_EQ(modcolumn(alt), COL_ALT);
    EXPECT_EQ(modcolumn(alt | SHIFT_PRESSED), COL_SHIFT);
  }
  for (DWORD ctrl : CTRLS) {
    EXPECT_EQ(modcolumn(ctrl), COL_CTRL);
    EXPECT_EQ(modcolumn(ctrl | SHIFT_PRESSED), COL_CTRLSHIFT);
    for (DWORD alt : ALTS) {
      EXPECT_EQ(modcolumn(ctrl | alt), COL_CTRL);
      EXPECT_EQ(modcolumn(ctrl | alt | SHIFT_PRESSED), COL_CTRLSHIFT);
    }
  }
}

TEST(Translate, TableKeysReturnTheirCellWithoutCopying) {
  const DWORD cols[NCOLS] = {0, SHIFT_PRESSED, LEFT_CTRL_PRESSED, RIGHT_ALT_PRESSED,
                             RIGHT_CTRL_PRESSED | SHIFT_PRESSED};
  for (int i = 0; i < NKEYS; ++i)
    for (int c = 0; c < NCOLS; ++c) {
      INPUT_RECORD rec = rec::key(WORD(keytable[i].vk), 'x', cols[c] | ENHANCED_KEY);
      char out[8];
      EXPECT_EQ(get_nonascii_key(rec, out), keytable[i].val[c]) << i << "/" << c;
    }
}

TEST(Translate, AltAloneWithALetterGetsEscPrefix) {
  for (int ch = 1; ch < 256; ++ch) {
    int asciichar = static_cast<signed char>(ch);
    bool letter = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z');
    std::string bare(1, char(ch));
    for (DWORD alt : ALTS) {
      EXPECT_EQ(translate(0x58, asciichar, alt), letter ? "\033" + bare : bare) << ch;
      EXPECT_EQ(translate(0x58, asciichar, alt | SHIFT_PRESSED), bare) << ch;
      EXPECT_EQ(translate(0x58, asciichar, alt | LEFT_CTRL_PRESSED), bare) << ch;
    }
    EXPECT_EQ(translate(0x58, asciichar, 0), bare) << ch;
  }
}

TEST(Translate, KeysWithoutRowOrCharacterEmitNothing) {
  // Windows declares these as int macros, elsewhere they are WORD and DWORD.
  for (WORD vk :
       {WORD(VK_SHIFT), WORD(VK_CONTROL), WORD(VK_MENU), WORD(VK_F13), WORD(VK_DIVIDE), WORD(0)})
    for (DWORD s : {DWORD(0), DWORD(SHIFT_PRESSED), DWORD(LEFT_ALT_PRESSED), DWORD(ENHANCED_KEY)})
      EXPECT_EQ(translate(vk, 0, s), "<null>") << vk << " " << s;
}

TEST(Translate, CharacterUsedOnlyWhenNoRowMatches) {
  EXPECT_EQ(translate(VK_DIVIDE, '/', ENHANCED_KEY), "/");
  EXPECT_EQ(translate(VK_RETURN, '\r', LEFT_ALT_PRESSED), "\033[M");
  EXPECT_EQ(translate(VK_MULTIPLY, '*', 0), "\033[0j");
  EXPECT_EQ(translate(VK_OEM_2, '/', LEFT_ALT_PRESSED), "\033[0o");
}

}  // namespace
