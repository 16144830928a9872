// Runs the decoder's fuzz target on random inputs, for compilers without
// libFuzzer: decode_fuzz [runs [seed]].
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

uint64_t state;
uint32_t rnd() {  // xorshift64*
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return static_cast<uint32_t>((state * 0x2545F4914F6CDD1DULL) >> 32);
}

// Pieces of terminal input, so that random inputs reach deep into sequences.
const char* const pieces[] = {
    "\x1b",
    "\x1b[",
    "\x1bO",
    "\x1b[[",
    "\x1b[M",
    "\x1b[<",
    "\x1b[?",
    "[",
    "O",
    ";",
    ":",
    "1",
    "2",
    "5",
    "27",
    "9001",
    "~",
    "$",
    "^",
    "@",
    "u",
    "A",
    "M",
    "m",
    "c",
    "y",
    "R",
    "E",
    "P",
    "\xc3",
    "\xa4",
    "\xe2\x82",
    "\xf0\x9f",
    "\x80",
    "\x7f",
    "\x00",
    "\r",
    "a",
    " ",
    "99999999999",
    // Keyboard protocol reports: win32-input-mode, kitty.
    "_",
    "\x1b[65;30;97;1;0;1_",
    "\x1b[0;0;55357;1;0;1_",
    "\x1b[0;0;56832;1;0;1_",
    "\x1b[?9001;2$y",
    "\x1b[?0u",
    "\x1b[?62;c",
    "57399",
    "57419",
    "57441",
    "57448",
    "57414",
    "57360",
    "129",
    "1:3",
    "2:3",
    ";;",
    "\x1b[97:65;2;65u",
    "\x1b[1;1:3A",
    // Strings: OSC, DCS, APC, ended by BEL or ST.
    "\x1b]",
    "\x1bP",
    "\x1b_",
    "\x07",
    "\x1b\\",
    // Longer than any sequence may be.
    "1234567890123456789012345678901234567890123456789012345678901234567890",
    ";;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;",
};

}  // namespace

int main(int argc, char** argv) {
  long runs = argc > 1 ? std::atol(argv[1]) : 100000;
  state = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  if (state == 0) state = 1;
  static uint8_t buf[1024];
  for (long r = 0; r < runs; ++r) {
    size_t len = 0, want = rnd() % 300;
    while (len < want) {
      if (rnd() % 4 == 0) {
        buf[len++] = static_cast<uint8_t>(rnd());
        continue;
      }
      const char* p = pieces[rnd() % (sizeof pieces / sizeof pieces[0])];
      size_t n = *p ? std::strlen(p) : 1;  // "\x00" is one NUL byte
      if (len + n > sizeof buf) break;
      std::memcpy(buf + len, p, n);
      len += n;
    }
    LLVMFuzzerTestOneInput(buf, len);
  }
  std::printf("decode_fuzz: %ld random inputs, no finding\n", runs);
  return 0;
}
