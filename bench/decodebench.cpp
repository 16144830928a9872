// Throughput of the input decoder alone, and of the decoder with the key
// reader and its translation (getchGNU until the input is used up), on
// mixed input held in memory: typed (one chunk per key press) and pasted
// (256-byte chunks). Items are key presses; "records" counts the console
// records the decoder makes for them.
#include <benchmark/benchmark.h>

#include "bench/mixed.h"
#include "console/getch.h"

namespace {

const mixed& input() {
  static const mixed m = mixedinput(10000);
  return m;
}

void counters(benchmark::State& state, bool typed) {
  long keys = long(input().ends.size());
  state.SetItemsProcessed(int64_t(state.iterations()) * keys);
  state.counters["records"] = benchmark::Counter(
      double(state.iterations()) * double(decodeall(input(), typed)), benchmark::Counter::kIsRate);
}

void decode_only(benchmark::State& state, bool typed) {
  for (auto _ : state) benchmark::DoNotOptimize(decodeall(input(), typed));
  counters(state, typed);
}

void decode_translate(benchmark::State& state, bool typed) {
  for (auto _ : state) {
    memconsole(input(), typed);
    long bytes = 0;
    while (getchGNU() != -1) ++bytes;
    benchmark::DoNotOptimize(bytes);
  }
  counters(state, typed);
}

BENCHMARK_CAPTURE(decode_only, typed, true);
BENCHMARK_CAPTURE(decode_only, pasted, false);
BENCHMARK_CAPTURE(decode_translate, typed, true);
BENCHMARK_CAPTURE(decode_translate, pasted, false);

}  // namespace

BENCHMARK_MAIN();
