// Console input records for tests: built here, fed to the scripted console
// or to a real console's input queue.
#pragma once

#include "platform/console.h"

namespace rec {

// A key event record; `ch` fills the 16-bit character field.
INPUT_RECORD key(WORD vk, int ch, DWORD state = 0, bool down = true);
// A record of another kind (mouse, focus, ...).
INPUT_RECORD other(WORD type);

}  // namespace rec
