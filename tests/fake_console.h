// A scripted console for the key reader's tests: GetStdHandle and
// ReadConsoleInputA served from a queue the test fills.
#pragma once

#include "platform/console.h"
#include "tests/records.h"

namespace fake {

using rec::key;
using rec::other;

void push(const INPUT_RECORD& rec);
void push_failure();                                // the next read fails
void push_press(WORD vk, int ch, DWORD state = 0);  // key down, then up

void reset();  // drops whatever is still queued

int reads();         // ReadConsoleInputA calls so far
int queued();        // records and failures not yet read
int handle_calls();  // GetStdHandle calls so far

// What GetStdHandle returns from now on.
void set_std_handle(HANDLE h);

}  // namespace fake
