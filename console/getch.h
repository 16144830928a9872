// The console key reader: key presses in, emitted bytes out, one per call.
#pragma once

#include "platform/console.h"

// The console input handle, fetched on first use and kept; fetched again
// only while the fetch has yielded INVALID_HANDLE_VALUE.
HANDLE get_the_io_handle();

// The next emitted byte, sign-extended (-128..127, never 0), or -1 when the
// console read fails. Blocks until a key press yields a byte.
int getchGNU();
