// A control sequence's parameters, as the parser reads them.
#include <climits>

#include "platform/decodeparts.h"

namespace vt {

void param(csiparams& p, uint8_t b, bool first) {
  if (p.bad) return;
  if (p.inter) {
    p.bad = true;
    return;
  }
  if (b >= '<') {  // < = > ?
    if (first)
      p.priv = b;
    else
      p.bad = true;
    return;
  }
  if (p.n == 0) {
    p.n = 1;
    p.nsub[0] = 1;
    p.v[0][0] = NOVAL;
  }
  int i = p.n - 1;
  if (b == ';') {
    if (p.n == NPARAM) {
      p.bad = true;
      return;
    }
    p.nsub[p.n] = 1;
    p.v[p.n][0] = NOVAL;
    ++p.n;
    return;
  }
  if (b == ':') {
    if (p.nsub[i] == NSUB) {
      p.bad = true;
      return;
    }
    p.v[i][p.nsub[i]++] = NOVAL;
    return;
  }
  int32_t& v = p.v[i][p.nsub[i] - 1];
  int32_t digit = b - '0';
  if (v == NOVAL)
    v = digit;
  else
    v = v > (INT32_MAX - 9) / 10 ? INT32_MAX : v * 10 + digit;
}

int32_t arg(const csiparams& p, int i) { return i < p.n ? p.v[i][0] : NOVAL; }

bool plain(const csiparams& p, int most) {
  if (p.n > most) return false;
  for (int i = 0; i < p.n; ++i)
    if (p.nsub[i] != 1) return false;
  return true;
}

}  // namespace vt
