// onpty [-t SECONDS] COMMAND [ARG...]
//
// Runs COMMAND with its standard input on a new pseudo-terminal: under Wine
// this gives a Windows program a real console to read keys from. Its standard
// output and error are passed on to ours while it runs, but not inherited:
// Wine's server, which the first Wine program starts and which outlives it,
// must not hold our caller's pipes open. What the console draws on the
// terminal is dropped.
//
// Exits with COMMAND's status; stops it, and everything in its session, after
// SECONDS (default 90) or when onpty itself is told to terminate.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "spawn.h"

namespace {

volatile sig_atomic_t told_to_stop;

void on_signal(int) { told_to_stop = 1; }

long now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 90;
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "-t") == 0) {
    seconds = std::atoi(argv[2]);
    first = 3;
  }
  if (first >= argc || seconds <= 0) {
    std::fprintf(stderr, "usage: onpty [-t SECONDS] COMMAND [ARG...]\n");
    return 2;
  }
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  int out[2], err[2], master;
  if (pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0) {
    std::perror("onpty");
    return 2;
  }
  pid_t pid = spawn_on_pty(argv + first, out[1], err[1], &master);
  if (pid < 0) {
    std::perror("onpty");
    return 2;
  }
  close(out[1]);
  close(err[1]);

  int from[3] = {master, out[0], err[0]};
  const int to[3] = {-1, 1, 2};
  int status = 0;
  bool ended = false;
  const long end = now_ms() + seconds * 1000L;
  while (!ended && !told_to_stop && now_ms() < end) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    relay(from, to, 3, 50);
  }
  if (!ended) {
    stop(pid);
    std::fprintf(stderr, "onpty: %s %s, stopped\n", argv[first],
                 told_to_stop ? "interrupted" : "timed out");
    return 124;
  }
  // Whatever it wrote is in the pipes now; take it without waiting for
  // programs it left running to close them.
  for (int i = 0; i < 10000 && relay(from + 1, to + 1, 2, 0) > 0; ++i) {
  }
  return exit_code(status);
}
