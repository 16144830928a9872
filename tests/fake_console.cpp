#include "tests/fake_console.h"

#include <cerrno>
#include <cstdlib>

namespace {

constexpr int CAP = 64;
struct slot {
  INPUT_RECORD rec;
  bool fail;
};
slot queue[CAP];
int head, tail, nreads, nhandle;
HANDLE stdhandle = reinterpret_cast<HANDLE>(42);
HANDLE given = INVALID_HANDLE_VALUE;  // what GetStdHandle last returned

void enqueue(const slot& s) {
  if (tail - head == CAP) std::abort();  // a test queued more than it reads
  queue[tail % CAP] = s;
  ++tail;
}

}  // namespace

namespace fake {

void push(const INPUT_RECORD& rec) { enqueue({rec, false}); }
void push_failure() { enqueue({other(KEY_EVENT), true}); }
void push_press(WORD vk, int ch, DWORD state) {
  push(key(vk, ch, state, true));
  push(key(vk, ch, state, false));
}

void reset() { head = tail; }

int reads() { return nreads; }
int queued() { return tail - head; }
int handle_calls() { return nhandle; }
void set_std_handle(HANDLE h) { stdhandle = h; }

}  // namespace fake

HANDLE GetStdHandle(DWORD which) {
  ++nhandle;
  given = which == STD_INPUT_HANDLE ? stdhandle : INVALID_HANDLE_VALUE;
  return given;
}

// An empty queue reads as a failure, so a test that expects more bytes than
// it queued sees -1 instead of blocking.
BOOL ReadConsoleInputA(HANDLE in, INPUT_RECORD* buf, DWORD len, DWORD* count) {
  ++nreads;
  *count = 0;
  // A failed read leaves an error code, as the console does; a successful
  // one leaves errno alone.
  // Only the handle GetStdHandle gave out reads.
  if (in != given || in == INVALID_HANDLE_VALUE || len < 1 || head == tail ||
      queue[head++ % CAP].fail) {
    errno = EIO;
    return 0;
  }
  const slot& s = queue[(head - 1) % CAP];
  *buf = s.rec;
  *count = 1;
  return 1;
}
