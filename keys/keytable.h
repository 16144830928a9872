// The fixed key map: which bytes a key press emits.
#pragma once

#include "platform/console.h"

// Modifier columns of a keytable row.
enum { COL_NONE, COL_SHIFT, COL_CTRL, COL_ALT, COL_CTRLSHIFT, NCOLS };

// One key: its virtual-key code and the sequence for each modifier column.
struct keyrow {
  int vk;  // 0 marks the end of the table
  const char* val[NCOLS];
};

// 29 key rows and a terminator row.
constexpr int NKEYS = 29;
extern const keyrow keytable[NKEYS + 1];

// Longest sequence a key press can emit, not counting the NUL.
constexpr int MAXSEQ = 7;

// 1 when a key press that carries a character must still be translated.
int isSpecialKey(unsigned int vk, unsigned long state);

// The keytable column for the modifiers held in a control-key state.
int modcolumn(unsigned long state);

// The sequence a key-down record emits: a keytable sequence, or `out` (at
// least 3 bytes) holding the record's character, ESC-prefixed for Alt+letter.
// Null when the key emits nothing.
const char* get_nonascii_key(_INPUT_RECORD& rec, char* out);
