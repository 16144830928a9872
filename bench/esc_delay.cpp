// How long the emulated console takes from a terminal's bytes to the key
// record: a lone ESC waits ESC_WAIT_MS for more input, a whole sequence
// does not wait, nor does a bare CSI M, which a read's end settles. Also
// the decoder's throughput on typed text.
//
//   build/bench/bench/esc_delay
#include <benchmark/benchmark.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "bench/rawpty.h"
#include "platform/emuconsole.h"

namespace {

// Writes `bytes` to a pseudo-terminal's master side and times the read of
// the first record on the terminal side.
void key_latency(benchmark::State& state, const char* bytes) {
  int master, tty;
  if (!rawpty(master, tty)) {
    state.SkipWithError("openpty failed");
    return;
  }
  static terminput t;
  t = terminput{tty, {}, {}, 0, 0, {}, 0, 0};
  size_t len = std::strlen(bytes);
  INPUT_RECORD r;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    if (write(master, bytes, len) != static_cast<ssize_t>(len) || term_read(t, &r, 1) != 1) {
      state.SkipWithError("terminal failed");
      break;
    }
    auto t1 = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    while (t.qhead != t.qtail) term_read(t, &r, 1);  // the rest of the key press
  }
  close(master);
  close(tty);
}
BENCHMARK_CAPTURE(key_latency, lone_esc, "\x1b")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(200)
    ->Repetitions(3);
BENCHMARK_CAPTURE(key_latency, up_arrow, "\x1b[A")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(3);
// st's Ctrl+Delete, a bare CSI M: settled where the read ends, no wait.
BENCHMARK_CAPTURE(key_latency, st_ctrl_delete, "\x1b[M")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(3);

void decode_text(benchmark::State& state) {
  std::string in;
  while (in.size() < 4096)
    in +=
        "Hello, W\xc3\xb6rld! \x1b[A\x1b[1;5C\x1bOP\x1b[15;2~ \x1b"
        "a\r";
  static INPUT_RECORD out[QCAP];
  for (auto _ : state) {
    decoder d{};
    const uint8_t* p = reinterpret_cast<const uint8_t*>(in.data());
    int left = static_cast<int>(in.size());
    while (left > 0) {
      int used;
      benchmark::DoNotOptimize(decode(d, p, left, out, QCAP, &used));
      p += used;
      left -= used;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(decode_text);

}  // namespace

BENCHMARK_MAIN();
