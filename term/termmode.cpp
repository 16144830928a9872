#include "term/termmode.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace {

struct termios tmp1;  // raw mode, as applied by termraw
struct termios tmp2;  // as found, applied again by termcanon

const int ignored[] = {SIGHUP, SIGTERM, SIGINT, SIGPIPE};

// Signals that would end the process with the terminal still raw. Their
// handler puts the terminal back, then lets the signal do what it does.
const int fatal[] = {SIGQUIT, SIGILL,  SIGTRAP,   SIGABRT, SIGBUS,  SIGFPE,  SIGSEGV, SIGUSR1,
                     SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGSYS};

// Run before the attributes go back; cleared as it starts, so it runs once.
void (*volatile onrestore)();

void runrestore() {
  void (*fn)() = onrestore;
  onrestore = nullptr;
  if (fn) fn();
}

sigset_t fatalset() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : fatal) sigaddset(&set, sig);
  return set;
}

// Other fatal signals wait while it runs, so none cuts the hook short.
void restore(int sig) {
  runrestore();
  tcsetattr(fileno(stdin), TCSAFLUSH, &tmp2);
  signal(sig, SIG_DFL);
  raise(sig);
}

void dispose(void (*how)(int)) {
  for (int sig : ignored) signal(sig, how);
}

}  // namespace

void settermout() { setvbuf(stdout, nullptr, _IONBF, 0); }

void termraw() {
  int fd = fileno(stdin);
  tcgetattr(fd, &tmp1);
  tcgetattr(fd, &tmp2);
  tmp1.c_iflag &= ~(ICRNL | IXON);
  tmp1.c_lflag &= ~(ISIG | ICANON | ECHO);
  tmp1.c_iflag &= ~(IGNBRK | BRKINT);
  tcsetattr(fd, TCSAFLUSH, &tmp1);
  dispose(SIG_IGN);
  struct sigaction sa = {};
  sa.sa_handler = restore;
  sa.sa_mask = fatalset();
  for (int sig : fatal) sigaction(sig, &sa, nullptr);
}

void termcanon() {
  // A fatal signal arriving meanwhile waits until the terminal is back; the
  // hook is not run twice, nor cut short.
  sigset_t block = fatalset(), old;
  sigprocmask(SIG_BLOCK, &block, &old);
  runrestore();
  tcsetattr(fileno(stdin), TCSAFLUSH, &tmp2);
  dispose(SIG_DFL);
  for (int sig : fatal) signal(sig, SIG_DFL);
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

void termonrestore(void (*fn)()) { onrestore = fn; }
