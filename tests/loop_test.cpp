// The display loop against the scripted console, where failed reads can be
// placed at will: which runs of -1 end the program and which do not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/fake_console.h"

int keybytes_main();  // app/main.cpp, built here under this name

namespace {

const std::string BANNER =
    "cygwin/gnu key banger. Shows emitted characters for a keypress\n"
    "Press a key. Quit with q, Q or ctrl-c.\n";
const std::string FAIL = "[0xffffffff]";

// Runs the program on the queued records with standard input on /dev/null
// (so the test's own terminal is left alone) and returns what it printed
// after the banner.
std::string run() {
  std::fflush(stdout);
  char path[] = "/tmp/loop_testXXXXXX";
  int out = mkstemp(path);
  int in = open("/dev/null", O_RDONLY);
  int saved_in = dup(0), saved_out = dup(1);
  dup2(in, 0);
  dup2(out, 1);
  int status = keybytes_main();
  std::fflush(stdout);
  dup2(saved_in, 0);
  dup2(saved_out, 1);
  close(saved_in);
  close(saved_out);
  close(in);
  std::string shown;
  char buf[4096];
  lseek(out, 0, SEEK_SET);
  for (ssize_t n; (n = read(out, buf, sizeof buf)) > 0;) shown.append(buf, size_t(n));
  close(out);
  unlink(path);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(shown.substr(0, BANNER.size()), BANNER);
  return shown.substr(BANNER.size());
}

void type(char c) { fake::push_press('X', static_cast<unsigned char>(c), 0); }

TEST(FailingConsole, OnlyThreeFailedReadsInARowEndIt) {
  type('a');
  fake::push_failure();
  type('b');
  fake::push_failure();
  fake::push_failure();
  type('c');
  for (int i = 0; i < 3; ++i) fake::push_failure();
  type('z');  // never read
  EXPECT_EQ(run(), "a" + FAIL + "b" + FAIL + FAIL + "c" + FAIL + FAIL + FAIL + "\r\n");
  EXPECT_EQ(fake::queued(), 2) << "the loop stopped at the third failure";
  fake::reset();
}

TEST(FailingConsole, TypedByteFFIsNoFailure) {
  // ÿ is 0xFF and arrives as -1 too, but from a successful read.
  for (int i = 0; i < 4; ++i) {
    fake::push_failure();
    fake::push_failure();
    type('\xFF');
    type('\xFF');
  }
  type('q');
  std::string shown = run();
  std::string want;
  for (int i = 0; i < 16; ++i) want += FAIL + (i == 9 ? "\r\n" : "");
  EXPECT_EQ(shown, want + "q\r\n");
  EXPECT_EQ(fake::queued(), 1) << "only q's release is left";
  fake::reset();
}

}  // namespace
