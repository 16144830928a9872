#include "term/termmode.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace {

struct termios tmp1;  // raw mode, as applied by termraw
struct termios tmp2;  // as found, applied again by termcanon

const int ignored[] = {SIGHUP, SIGTERM, SIGINT, SIGPIPE};

// Signals that would end the process with the terminal still raw. Where
// termraw finds one at its default action, a handler puts the terminal back
// and then lets the signal do what it does; an ignored one, or one that has
// a handler already (a sanitizer's), is left as found.
const int fatal[] = {SIGQUIT, SIGILL,  SIGTRAP,   SIGABRT, SIGBUS,  SIGFPE,  SIGSEGV, SIGUSR1,
                     SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGSYS};
constexpr int NFATAL = sizeof fatal / sizeof fatal[0];
struct sigaction found[NFATAL];  // as termraw found them
struct sigaction foundcont;      // SIGCONT as termraw found it

// Run before the attributes go back; cleared as it starts, so it runs once.
void (*volatile onrestore)();

void runrestore() {
  void (*fn)() = onrestore;
  onrestore = nullptr;
  if (fn) fn();
}

// The signals held back while the terminal is being put back: the fatal
// ones, and SIGCONT, whose handler would make the terminal raw again.
sigset_t heldset() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : fatal) sigaddset(&set, sig);
  sigaddset(&set, SIGCONT);
  return set;
}

// Other fatal signals and SIGCONT wait while it runs, so none cuts the hook
// short or makes the terminal raw again. Only
// async-signal-safe calls; TCSANOW, since a stalled terminal must not keep
// the signal from taking effect, and the unread input is dropped apart.
void restore(int sig) {
  runrestore();
  tcsetattr(STDIN_FILENO, TCSANOW, &tmp2);
  tcflush(STDIN_FILENO, TCIFLUSH);
  // Where a held SIGCONT may be delivered before the re-raised signal, it
  // must not make the terminal raw again on the way out.
  signal(SIGCONT, SIG_DFL);
  signal(sig, SIG_DFL);
  raise(sig);
}

volatile sig_atomic_t resumes;  // continues after a stop, counted by reraw
void (*volatile oncontinue)();  // told of each, after the count

// Back from a stop (kill -TSTP, then fg): the shell has put its own
// attributes on the terminal meanwhile, so raw mode is applied again. The
// count has the reader set again the modes it had set; the hook may set
// them at once where the reader waits for input, but never in the middle
// of an item an interrupted write held.
void reraw(int) {
  int saved = errno;
  tcsetattr(STDIN_FILENO, TCSANOW, &tmp1);
  resumes = resumes < SIG_ATOMIC_MAX ? resumes + 1 : 0;
  if (void (*fn)() = oncontinue) fn();
  errno = saved;
}

bool atdefault(const struct sigaction& sa) {
  return !(sa.sa_flags & SA_SIGINFO) && sa.sa_handler == SIG_DFL;
}

void dispose(void (*how)(int)) {
  for (int sig : ignored) signal(sig, how);
}

// Waits until the terminal on `fd` has sent its output, 300 ms at most.
// TCSAFLUSH would wait for a stalled terminal for ever, with the fatal
// signals held. Where the output queue cannot be seen, no wait.
void drainout([[maybe_unused]] int fd) {
#ifdef TIOCOUTQ
  timespec step = {0, 10 * 1000 * 1000};
  for (int i = 0; i < 30; ++i) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
    nanosleep(&step, nullptr);
  }
#endif
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
  // The dispositions and handlers come before the switch, once the found
  // attributes are saved for the handlers: a signal arriving just after the
  // switch would otherwise end the process with the terminal raw.
  dispose(SIG_IGN);
  // SA_RESTART: a write to a stalled terminal that a handled signal
  // interrupts goes on afterwards instead of failing with EINTR, which
  // would lose its bytes, since stdio drops what a failed write held.
  // Interrupted after a partial transfer, a write returns the count and
  // stdio writes the rest with a new write, which restarts the same way.
  struct sigaction sa = {};
  sa.sa_flags = SA_RESTART;
  sa.sa_handler = restore;
  sa.sa_mask = heldset();
  for (int i = 0; i < NFATAL; ++i) {
    sigaction(fatal[i], nullptr, &found[i]);
    if (atdefault(found[i])) sigaction(fatal[i], &sa, nullptr);
  }
  sa.sa_handler = reraw;
  sigaction(SIGCONT, nullptr, &foundcont);
  if (atdefault(foundcont)) sigaction(SIGCONT, &sa, nullptr);
  tcsetattr(fd, TCSAFLUSH, &tmp1);
}

void termcanon() {
  // A fatal signal arriving meanwhile waits until the terminal is back; the
  // hook is not run twice, nor cut short. A SIGCONT waits too, until its
  // action is back as found, so it cannot make the terminal raw again.
  sigset_t block = heldset(), old;
  sigprocmask(SIG_BLOCK, &block, &old);
  runrestore();
  // Then as TCSAFLUSH does, with a bounded wait. Output still queued goes
  // out unchanged afterwards, since raw mode leaves the output flags alone.
  int fd = fileno(stdin);
  drainout(fd);
  tcflush(fd, TCIFLUSH);
  tcsetattr(fd, TCSANOW, &tmp2);
  dispose(SIG_DFL);
  for (int i = 0; i < NFATAL; ++i) sigaction(fatal[i], &found[i], nullptr);
  sigaction(SIGCONT, &foundcont, nullptr);
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

void termonrestore(void (*fn)()) { onrestore = fn; }

void termoncontinue(void (*fn)()) { oncontinue = fn; }

int termresumes() { return resumes; }
