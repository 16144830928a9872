// What complete legacy sequences mean: CSI sequences (keys, and replies to
// queries, which are no keys), SS3 keys and the Linux console's F1-F5.
#include "platform/decodeparts.h"

namespace vt {

namespace {

// What a reply to the keyboard queries tells: SEEN_ bits.
uint8_t replybits(const csiparams& p, uint8_t f) {
  if (p.priv == '>' && f == 'm') {  // XTQMODKEYS: CSI > 4 ; level m, the level may be omitted
    int32_t level = arg(p, 1);
    bool known = level == NOVAL || (level >= 0 && level <= MODKEYS_MAX);
    return !p.bad && plain(p, 2) && arg(p, 0) == 4 && known ? SEEN_MODKEYS : 0;
  }
  if (p.priv != '?') return 0;
  if (f == 'c') {  // however many attributes: xterm lists a dozen
    bool vt100 = !p.bad && plain(p, 2) && p.n == 2 && arg(p, 0) == 1 && arg(p, 1) == 2;
    return SEEN_DA1 | (vt100 ? SEEN_VT100 : 0);
  }
  if (p.bad) return 0;
  if (f == 'u') return p.n == 1 && arg(p, 0) != NOVAL ? SEEN_KITTY : 0;
  if (f != 'y' || p.n != 2) return 0;
  // DECRQM: 1 set, 2 reset, 3 always set, 4 always reset, 0 unknown. Of
  // the keypad and cursor-key modes only "set" counts: where the terminal
  // did not say, they are taken as reset, as full-screen programs do.
  int32_t mode = arg(p, 0), value = arg(p, 1);
  bool set = value == 1 || value == 3;
  if (mode == 9001) return set ? SEEN_W32ON : value == 2 ? SEEN_W32 : 0;
  if (mode == 66) return set ? SEEN_KPAM : 0;
  if (mode == 1) return set ? SEEN_DECCKM : 0;
  return 0;
}

// The key a terminal names by the character it types (modifyOtherKeys'
// CSI 27 ; m ; c ~, and CSI c ; m u). The character is taken as named:
// with Shift it is the shifted one, or with CapsLock on too a lower-case
// letter, as a Windows console gives it. 8 is Backspace, where a
// terminal's Backspace sends it.
keydef typedkey(int32_t c) { return c == 0x08 ? vt::delkey : codekey(c); }

}  // namespace

static_assert(NOVAL == -1, "stkeys write an omitted parameter as -1");

const keydef* stkey(uint8_t f, int32_t param) {
  for (const stform& k : vt::stkeys)
    if (k.final == f && k.param == param) return &k.key;
  return nullptr;
}

// Records for a complete control sequence with final `f`; -1 when it means
// nothing known.
int csikey(decoder& d, uint8_t f, INPUT_RECORD* out) {
  const csiparams& p = d.p;
  DWORD alt = altof(d);
  // Replies and win32 reports never come with Alt: an ESC before one was
  // the Escape key.
  for (const keydef& r : vt::replies)
    if (r.code == f && r.vk == p.priv && r.ch == p.inter) {
      uint8_t seen = replybits(p, f);
      if (seen & SEEN_MODKEYS) d.modkeys = static_cast<int8_t>(arg(p, 1));
      if (seen & SEEN_DA1 && d.awaiting) --d.awaiting;
      d.replies |= seen;
      return alt ? press(vt::c0keys[ESC], 0, out) : 0;
    }
  if (p.bad) return -1;
  if (f == '_') {
    int esc = alt ? press(vt::c0keys[ESC], 0, out) : 0;
    int n = win32key(d, p, out + esc);
    return n < 0 ? -1 : esc + n;
  }
  if (d.proto == PROTO_KITTY) {
    int n = kittykey(d, p, f, out);
    if (n >= 0) return n;
  }
  if (p.priv == '<' && !p.inter && (f == 'M' || f == 'm') && p.n == 3 && plain(p, 3)) {
    out[0] = mouserec(arg(p, 0), arg(p, 1), arg(p, 2), f == 'm');  // SGR mouse
    return 1;
  }
  if (p.priv || p.inter || !plain(p, 3)) return -1;
  int32_t a0 = arg(p, 0), a1 = arg(p, 1);

  if (f == 'I' && p.n == 0) {  // focus in; focus out: focusout()
    out[0] = focusrec(true);
    return 1;
  }
  if (f == 'M' && p.n == 3) {  // urxvt mouse
    out[0] = mouserec(a0 - 32, a1, arg(p, 2), (a0 & 3) == 3);
    return 1;
  }
  if (f == 'u' && p.n >= 1 && p.n <= 2 && a0 >= 0)
    return press(typedkey(a0), modparam(a1) | alt, out);
  if (const keydef* fin = find(vt::tildefinals, f)) {
    if (f == '~' && p.n == 3 && a0 == 27 && arg(p, 2) >= 0)  // modifyOtherKeys
      return press(typedkey(arg(p, 2)), modparam(a1) | alt, out);
    const keydef* k = p.n <= 2 ? find(vt::tildekeys, a0) : nullptr;
    if (!k) return -1;
    return press(*k, fin->state | modparam(a1) | alt, out);
  }
  if (const keydef* k = p.n <= 1 ? stkey(f, a0) : nullptr) return press(*k, alt, out);
  if (f == 'R' && a0 > 1) return 0;  // a cursor position report
  const keydef* k = find(vt::csikeys, f);
  if (!k || p.n > 2 || (a0 != NOVAL && a0 != 1)) return -1;
  return press(*k, modparam(a1) | alt, out);
}

// A byte after ESC O, or after ESC [ O: Terminology sends its Alt+F1-F4 as
// ESC [ O 3 P-S, QTerminal its application keypad 5 as ESC [ O E. What
// makes no SS3 key there is a focus-out report and bytes typed (giveup).
int ss3(decoder& d, uint8_t b, INPUT_RECORD* out) {
  if (b < 0x20 || b > 0x7E || !push(d, b)) return restart(d, b, out);
  csiparams& p = d.p;
  if (b >= 0x30 && b <= 0x3F) {
    param(p, b, d.len == (strayss3(d) ? 4 : 3));
    return 0;
  }
  if (b < 0x30) {
    p.bad = true;
    return 0;
  }
  // ESC O X, or with a modifier: ESC O m X, ESC O 1 ; m X.
  int32_t m = p.n == 2 && (arg(p, 0) == NOVAL || arg(p, 0) == 1) ? arg(p, 1)
              : p.n == 1                                         ? arg(p, 0)
                                                                 : NOVAL;
  const keydef* k = find(vt::ss3keys, b);
  if (!k || p.bad || p.priv || !plain(p, 2) || (p.n && m == NOVAL)) return giveup(d, out);
  DWORD alt = altof(d);
  reset(d);
  return press(*k, modparam(m) | alt, out);
}

int linuxfn(decoder& d, uint8_t b, INPUT_RECORD* out) {
  const keydef* k = find(vt::linuxfkeys, b);
  if (!k) return restart(d, b, out);
  DWORD alt = altof(d);
  reset(d);
  return press(*k, alt, out);
}

}  // namespace vt
