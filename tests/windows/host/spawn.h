// Starting a program with its standard input on a new pseudo-terminal, and
// stopping it again. Wine gives a Windows program a console only when its
// standard input is a terminal.
#pragma once

#include <sys/types.h>

// Starts argv[0] (searched in PATH) in a session of its own whose
// controlling terminal is a new pseudo-terminal, with standard input on it
// and standard output and error on `out` and `err` (-1: on the terminal too).
// Sets *master to the terminal's master side. Returns the pid, or -1.
pid_t spawn_on_pty(char* const argv[], int out, int err, int* master);

// Starts argv[0] (searched in PATH) in a session of its own with no
// controlling terminal, standard input, output and error on `in`, `out` and
// `err`. Returns the pid, or -1.
pid_t spawn_plain(char* const argv[], int in, int out, int err);

// Waits up to `ms` milliseconds for input on from[0..n-1] and moves what
// arrives to to[i], or drops it where to[i] is -1. A descriptor that has
// reached its end is set to -1 in `from` and no longer waited on. Returns
// how many descriptors had something (data or their end) to take.
int relay(int from[], const int to[], int n, int ms);

// Kills `pid` and everything else in its session, and reaps it.
void stop(pid_t pid);

// The exit status as a shell gives it: the code, or 128+N for signal N.
int exit_code(int status);
