// keybytes with its output gathered into one write per read instead of one
// write per shown item: the same program, linked with three symbols wrapped.
// Standard output gets a full buffer, and the buffer is flushed whenever the
// emulated console is about to wait for input (its select, or its read where
// the read itself waits), the only places the program blocks. Built to
// measure that change side by side; the shipped program keeps its
// unbuffered output.
#include <sys/select.h>
#include <sys/types.h>

#include <cstdio>

extern "C" {
int __real_select(int n, fd_set* in, fd_set* out, fd_set* err, timeval* timeout);
ssize_t __real_read(int fd, void* buf, size_t n);

// settermout(), a C++ function, by its mangled name.
void __wrap__Z10settermoutv() {
  static char buf[4096];
  std::setvbuf(stdout, buf, _IOFBF, sizeof buf);
}

int __wrap_select(int n, fd_set* in, fd_set* out, fd_set* err, timeval* timeout) {
  std::fflush(stdout);
  return __real_select(n, in, out, err, timeout);
}

ssize_t __wrap_read(int fd, void* buf, size_t n) {
  std::fflush(stdout);
  return __real_read(fd, buf, n);
}
}
