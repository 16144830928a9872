// win32-input-mode reports: each record as the terminal's Windows console
// side would deliver it.
#include "platform/decodeparts.h"

namespace vt {

// as sent, omitted values as the protocol has them. The character goes to
// the code page; a surrogate pair is one character, beyond Windows-1252, so
// its lead gives '?' and the trail that follows it is dropped.
int win32key(decoder& d, const csiparams& p, INPUT_RECORD* out) {
  if (p.priv || p.inter || !plain(p, NPARAM)) return -1;
  int32_t f[6] = {0, 0, 0, 0, 0, 1};
  for (int i = 0; i < 6 && i < p.n; ++i)
    if (p.v[i][0] != NOVAL) f[i] = p.v[i][0];
  if (f[0] > 0xFFFF || f[1] > 0xFFFF || f[2] > 0xFFFF || f[5] > 0xFFFF) return -1;
  bool down = f[3] != 0;
  uint8_t dir = down ? 1 : 2;
  bool lead = f[2] >= 0xD800 && f[2] <= 0xDBFF, trail = f[2] >= 0xDC00 && f[2] <= 0xDFFF;
  if (trail && (d.lead & dir)) {
    d.lead &= ~dir;
    return 0;
  }
  d.lead = lead ? d.lead | dir : d.lead & ~dir;
  out[0] = keyrec(static_cast<WORD>(f[0]), static_cast<WORD>(f[1]),
                  to_cp1252(static_cast<uint32_t>(f[2])), static_cast<DWORD>(f[4]), down);
  out[0].Event.KeyEvent.wRepeatCount = static_cast<WORD>(f[5]);
  return 1;
}

}  // namespace vt
