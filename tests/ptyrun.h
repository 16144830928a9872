// Runs a program on a pseudo-terminal the test owns, to type at it and read
// what it shows, the way a person at a terminal would.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>

struct ptyrun {
  pid_t pid = -1;
  int master = -1;
  std::string out;  // everything read from the program so far
};

// The attributes a fresh terminal has: cooked, echoing, signal keys on.
// Output is passed through untouched, so `out` holds the program's bytes.
struct termios cooked();

// Starts `path` on a new pseudo-terminal with attributes `tio`.
bool ptystart(ptyrun& p, const char* path, const struct termios& tio);

// The same with the arguments `argv` (null-terminated), `argv[0]` looked up
// in PATH.
bool ptystart(ptyrun& p, const char* const argv[], const struct termios& tio);

// Writes bytes to the program as typed input.
void ptytype(ptyrun& p, const std::string& bytes);

// Reads until `out` contains `want` or `ms` milliseconds pass.
bool ptyexpect(ptyrun& p, const std::string& want, int ms = 2000);

// Reads until the program closes its side or `ms` pass.
void ptydrain(ptyrun& p, int ms);

// Waits up to `ms` for the program to end; its wait status, or -1.
int ptywait(ptyrun& p, int ms);

// Kills the program if it still runs, reaps it, closes the terminal.
void ptystop(ptyrun& p);

// Runs `path` with standard input from `infd` and output to a pipe; waits
// up to `ms`. Returns the wait status (or -1 if it had to be killed) and the
// output in `out`.
int runwith(const char* path, int infd, std::string& out, int ms);
