// keybytes: shows, byte by byte, what each key press emits.
#include <cerrno>
#include <cstdio>

#include "app/item.h"
#include "console/getch.h"
#include "term/termmode.h"

namespace {

constexpr int PERLINE = 10;  // items on one output line

// A console that keeps failing (standard input not a console, or a terminal
// that hung up) makes every read return -1 at once. The loop ends after this
// many failed reads in a row. A typed byte 0xFF also arrives as -1, but
// without an error code from the read, so it never counts as a failure.
constexpr int MAXFAILS = 3;

// Where the reader is kernel32's (Windows, and Cygwin on top of it), a
// failed read leaves its code in GetLastError.
void clearerror() {
#if defined(_WIN32) || defined(__CYGWIN__)
  SetLastError(0);
#endif
  errno = 0;
}

bool readfailed(int c) {
#if defined(_WIN32) || defined(__CYGWIN__)
  if (c == -1 && GetLastError() != 0) return true;
#endif
  return c == -1 && errno != 0;
}

}  // namespace

int main() {
  int count = 0;  // items on the current line
  int fails = 0;  // failed reads in a row
  settermout();
  termraw();
  std::printf("cygwin/gnu key banger. Shows emitted characters for a keypress\n");
  std::printf("Press a key. Quit with q, Q or ctrl-c.\n");
  for (;;) {
    clearerror();
    int c = getchGNU();
    fails = readfailed(c) ? fails + 1 : 0;
    if (c == 0x1B || c == '\r') {
      if (count != 0) std::printf("\r\n");
      count = 0;
    }
    std::printf(itemformat(c), static_cast<unsigned>(c));
    if (++count == PERLINE) {
      std::printf("\r\n");
      count = 0;
    }
    if (c == 'q' || c == 'Q' || fails == MAXFAILS) break;
  }
  std::printf("\r\n");
  termcanon();
  return 0;
}
