// How long the keyboard queries hold up the first read: on a terminal that
// answers nothing (the whole wait, ASK_WAIT_MS) and on one that answers at
// once (until its last answer), from the queries written to the protocol
// turned on.
//
//   build/bench/bench/negotiation
#include <benchmark/benchmark.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "bench/rawpty.h"
#include "platform/emuconsole.h"

namespace {

// Everything the program has written, waiting up to `ms` for `until`.
std::string drain(int master, const char* until, int ms) {
  std::string out;
  char buf[256];
  pollfd p{master, POLLIN, 0};
  while (out.find(until) == std::string::npos && poll(&p, 1, ms) == 1) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

void negotiation(benchmark::State& state, const char* answer) {
  int master, tty;
  if (!rawpty(master, tty)) {
    state.SkipWithError("openpty failed");
    return;
  }
  static terminput t;
  for (auto _ : state) {
    t = terminput{tty, {}, {}, 0, 0, {}, 0, 0};
    // The terminal answers once it has read the queries.
    std::thread terminal([&] {
      drain(master, "\x1b[c", 1000);
      if (*answer && write(master, answer, std::strlen(answer)) < 0) state.SkipWithError("write");
    });
    volatile sig_atomic_t on;
    auto t0 = std::chrono::steady_clock::now();
    term_negotiate(t, &on);
    auto t1 = std::chrono::steady_clock::now();
    terminal.join();
    drain(master, "", 0);  // what was turned on
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
  close(master);
  close(tty);
}
BENCHMARK_CAPTURE(negotiation, silent, "")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->Repetitions(3);
BENCHMARK_CAPTURE(negotiation, kitty, "\x1b[?0u\x1b[?62;c")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(200)
    ->Repetitions(3);
BENCHMARK_CAPTURE(negotiation, win32_and_kitty, "\x1b[?9001;2$y\x1b[?0u\x1b[?62;c")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(200)
    ->Repetitions(3);

}  // namespace

BENCHMARK_MAIN();
