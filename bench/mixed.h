// Mixed, realistic terminal input held in memory, and a console that serves
// it to the key reader through the decoder, for timing the decoder and the
// translation without a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct mixed {
  std::string bytes;         // what a terminal sends for the key presses
  std::vector<size_t> ends;  // where each key press's bytes end
};

// `keys` key presses as a person types them: mostly text, with line ends,
// Backspace and Tab, arrows and editing keys, function keys, modifiers,
// Alt and Ctrl combinations, and characters beyond ASCII.
mixed mixedinput(size_t keys);

// Serves `in` to GetStdHandle/ReadConsoleInputA: decoded as it arrives
// `typed` (one chunk per key press) or pasted (256-byte chunks, the size
// the emulated console reads). The read fails once everything is handed out.
void memconsole(const mixed& in, bool typed);

// Decodes all of `in` the same way; the number of records.
long decodeall(const mixed& in, bool typed);
