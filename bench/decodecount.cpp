// Runs the decoder, or the decoder with the key reader and its translation,
// over mixed input PASSES times, for counting instructions under callgrind:
// the difference between two pass counts, divided by the key presses in
// the added passes, is the cost of a key without start-up.
//
//   decodecount decode|translate typed|pasted PASSES
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/mixed.h"
#include "console/getch.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: decodecount decode|translate typed|pasted PASSES\n");
    return 2;
  }
  bool translate = std::strcmp(argv[1], "translate") == 0;
  bool typed = std::strcmp(argv[2], "typed") == 0;
  int passes = std::atoi(argv[3]);
  mixed in = mixedinput(10000);
  long out = 0;
  for (int i = 0; i < passes; ++i) {
    if (translate) {
      memconsole(in, typed);
      while (getchGNU() != -1) ++out;
    } else {
      out += decodeall(in, typed);
    }
  }
  std::printf("%zu keys a pass, %zu bytes, %ld %s\n", in.ends.size(), in.bytes.size(), out,
              translate ? "bytes emitted" : "records");
  return 0;
}
