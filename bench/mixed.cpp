#include "bench/mixed.h"

#include <cstdint>
#include <random>

#include "platform/console.h"
#include "platform/decode.h"

namespace {

// clang-format off
// Key presses by kind: how often (per 1000) and the sequences to draw from.
struct family {
  int per1000;
  std::vector<std::string> seqs;
};
const family families[] = {
    {620, {"e", "t", "a", "o", "i", "n", "s", "h", "r", "d", "l", "c", "u", "m", "w", "f", "g",
           "y", "p", "b", "v", "k", "j", "x", "q", "z"}},
    {130, {" "}},
    { 40, {"T", "A", "I", "S", "W", "H", "1", "2", "0", "9", ".", ",", "'", "-", "?", "!", "(", ")"}},
    { 30, {"\r", "\t", "\x7f"}},
    { 20, {"\xc3\xa4", "\xc3\xb6", "\xc3\xbc", "\xc3\xa9", "\xe2\x82\xac", "\xe4\xb8\xad"}},
    { 80, {"\x1b[A", "\x1b[B", "\x1b[C", "\x1b[D", "\x1b[1;2D", "\x1b[1;5C", "\x1b[1;6A"}},
    { 30, {"\x1b[H", "\x1b[F", "\x1b[5~", "\x1b[6~", "\x1b[3~", "\x1b[2~", "\x1b[3;5~"}},
    { 30, {"\x1bOP", "\x1bOQ", "\x1b[15~", "\x1b[15;2~", "\x1b[1;5P", "\x1b[24;6~", "\x1b[17;3~"}},
    { 20, {"\x1b" "a", "\x1b" "x", "\x01", "\x03", "\x17", "\x1a"}},
};
// clang-format on

struct source {
  const mixed* in = nullptr;
  bool typed = false;
  size_t pos = 0, key = 0;
  decoder dec{};
  INPUT_RECORD q[512];
  int qhead = 0, qtail = 0;
};
source src;
int handle;

// The next chunk as a read would return it.
size_t chunk(const source& s) {
  if (s.typed) return s.in->ends[s.key] - s.pos;
  size_t left = s.in->bytes.size() - s.pos;
  return left < 256 ? left : 256;
}

void advance(source& s, size_t used) {
  s.pos += used;
  while (s.typed && s.key < s.in->ends.size() && s.in->ends[s.key] <= s.pos) ++s.key;
}

// Decodes the next chunk (or settles what is pending at the end).
int step(source& s, INPUT_RECORD* out, int room) {
  if (s.pos == s.in->bytes.size()) return decode_pending(s.dec) ? decode_flush(s.dec, out) : -1;
  int used;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(s.in->bytes.data()) + s.pos;
  int n = decode(s.dec, p, int(chunk(s)), out, room, &used);
  advance(s, size_t(used));
  return n;
}

}  // namespace

mixed mixedinput(size_t keys) {
  std::mt19937 rng(42);
  mixed m;
  for (size_t i = 0; i < keys; ++i) {
    int r = int(rng() % 1000);
    const family* f = families;
    while (r >= f->per1000) r -= (f++)->per1000;
    m.bytes += f->seqs[rng() % f->seqs.size()];
    m.ends.push_back(m.bytes.size());
  }
  return m;
}

void memconsole(const mixed& in, bool typed) {
  src.in = &in;
  src.typed = typed;
  src.pos = src.key = 0;
  src.dec = decoder{};
  src.qhead = src.qtail = 0;
}

long decodeall(const mixed& in, bool typed) {
  source s;
  s.in = &in;
  s.typed = typed;
  long total = 0;
  for (int n; (n = step(s, s.q, 512)) >= 0;) total += n;
  return total;
}

HANDLE GetStdHandle(DWORD) { return &handle; }

BOOL ReadConsoleInputA(HANDLE, INPUT_RECORD* rec, DWORD, DWORD* count) {
  while (src.qhead == src.qtail) {
    int n = step(src, src.q, 512);
    if (n < 0) return 0;
    src.qhead = 0;
    src.qtail = n;
  }
  *rec = src.q[src.qhead++];
  *count = 1;
  return 1;
}
