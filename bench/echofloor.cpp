// The floor for key-to-screen latency: the least a program can do to show a
// key press. Puts the terminal into the same raw mode as keybytes, then
// copies every read straight back with one write. Ends after echoing a
// read that holds "q", or when standard input fails.
#include <termios.h>
#include <unistd.h>

#include <cstring>

int main() {
  struct termios was, raw;
  tcgetattr(0, &was);
  raw = was;
  raw.c_iflag &= ~(ICRNL | IXON | IGNBRK | BRKINT);
  raw.c_lflag &= ~(ISIG | ICANON | ECHO);
  tcsetattr(0, TCSAFLUSH, &raw);
  static const char banner[] = "echofloor: ready\n";
  if (write(1, banner, sizeof banner - 1) < 0) return 1;
  char buf[4096];
  for (;;) {
    ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0) break;
    if (write(1, buf, size_t(n)) != n) break;
    if (std::memchr(buf, 'q', size_t(n))) break;
  }
  tcsetattr(0, TCSAFLUSH, &was);
  return 0;
}
