#include "trace/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "app/item.h"
#include "console/getch.h"
#include "keys/keytable.h"
#include "platform/emuconsole.h"

#ifdef _WIN32
#include <io.h>
#define read _read
#else
#include <unistd.h>
#endif

namespace {

struct name {
  DWORD code;
  const char* text;
};

// Names by the console header's own constants: virtual keys (letters and
// digits are their characters), control-key state flags, event types.
// clang-format off
#define VK(k) {VK_##k, "VK_" #k}
constexpr name vknames[] = {
  VK(CANCEL), VK(BACK), VK(TAB), VK(CLEAR), VK(RETURN), VK(SHIFT), VK(CONTROL), VK(MENU),
  VK(PAUSE), VK(CAPITAL), VK(ESCAPE), VK(SPACE), VK(PRIOR), VK(NEXT), VK(END), VK(HOME),
  VK(LEFT), VK(UP), VK(RIGHT), VK(DOWN), VK(SNAPSHOT), VK(INSERT), VK(DELETE), VK(LWIN),
  VK(RWIN), VK(APPS), VK(NUMPAD0), VK(NUMPAD1), VK(NUMPAD2), VK(NUMPAD3), VK(NUMPAD4),
  VK(NUMPAD5), VK(NUMPAD6), VK(NUMPAD7), VK(NUMPAD8), VK(NUMPAD9), VK(MULTIPLY), VK(ADD),
  VK(SEPARATOR), VK(SUBTRACT), VK(DECIMAL), VK(DIVIDE), VK(F1), VK(F2), VK(F3), VK(F4), VK(F5),
  VK(F6), VK(F7), VK(F8), VK(F9), VK(F10), VK(F11), VK(F12), VK(F13), VK(F14), VK(F15), VK(F16),
  VK(F17), VK(F18), VK(F19), VK(F20), VK(F21), VK(F22), VK(F23), VK(F24), VK(NUMLOCK),
  VK(SCROLL), VK(VOLUME_MUTE), VK(VOLUME_DOWN), VK(VOLUME_UP), VK(MEDIA_NEXT_TRACK),
  VK(MEDIA_PREV_TRACK), VK(MEDIA_STOP), VK(MEDIA_PLAY_PAUSE), VK(OEM_1), VK(OEM_PLUS),
  VK(OEM_COMMA), VK(OEM_MINUS), VK(OEM_PERIOD), VK(OEM_2), VK(OEM_3), VK(OEM_4), VK(OEM_5),
  VK(OEM_6), VK(OEM_7), VK(PACKET),
};
constexpr name flagnames[] = {
  {SHIFT_PRESSED, "SHIFT"}, {LEFT_CTRL_PRESSED, "LEFT_CTRL"}, {RIGHT_CTRL_PRESSED, "RIGHT_CTRL"},
  {LEFT_ALT_PRESSED, "LEFT_ALT"}, {RIGHT_ALT_PRESSED, "RIGHT_ALT"}, {NUMLOCK_ON, "NUMLOCK"},
  {CAPSLOCK_ON, "CAPSLOCK"}, {SCROLLLOCK_ON, "SCROLLLOCK"}, {ENHANCED_KEY, "ENHANCED"},
};
constexpr name eventnames[] = {
  {KEY_EVENT, "KEY_EVENT"}, {MOUSE_EVENT, "MOUSE_EVENT"}, {FOCUS_EVENT, "FOCUS_EVENT"},
  {WINDOW_BUFFER_SIZE_EVENT, "WINDOW_BUFFER_SIZE_EVENT"}, {MENU_EVENT, "MENU_EVENT"},
};
// clang-format on
#undef VK

template <int N>
const char* lookup(const name (&table)[N], DWORD code) {
  for (const name& n : table)
    if (n.code == code) return n.text;
  return nullptr;
}

// Where each column starts: bytes at 0, then down or up, virtual key,
// scan code, character, state, what keybytes shows, hex.
constexpr int KEYAT = 17, VKAT = KEYAT + 5, SCANAT = VKAT + 14, CHARAT = SCANAT + 3,
              STATEAT = CHARAT + 7, SHOWSAT = STATEAT + 25, HEXAT = SHOWSAT + 31;

// A text of at most `cap` bytes, written in pieces.
struct text {
  char* s;
  int cap, len;
};

void add(text& t, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void add(text& t, const char* fmt, ...) {
  if (t.len >= t.cap - 1) return;
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(t.s + t.len, static_cast<size_t>(t.cap - t.len), fmt, ap);
  va_end(ap);
  if (n > 0) t.len = n < t.cap - t.len ? t.len + n : t.cap - 1;
}

// Spaces up to column `col`, at least one after anything before it.
void pad(text& t, int col) {
  do add(t, " ");
  while (t.len < col && t.len < t.cap - 1);
}

void vkname(text& t, WORD vk) {
  if ((vk >= 'A' && vk <= 'Z') || (vk >= '0' && vk <= '9'))
    add(t, "'%c'", vk);
  else if (const char* n = lookup(vknames, vk))
    add(t, "%s", n);
  else
    add(t, "0x%02x", vk);
}

void statenames(text& t, DWORD state) {
  int start = t.len;
  DWORD rest = state;
  for (const name& n : flagnames) {
    if (state & n.code) add(t, "%s%s", t.len > start ? "|" : "", n.text);
    rest &= ~n.code;
  }
  if (rest) add(t, "%s0x%x", t.len > start ? "|" : "", static_cast<unsigned>(rest));
  if (t.len == start) add(t, "-");
}

// The record's fields: down or up, virtual key, scan code, character, state.
void recordtext(text& t, const INPUT_RECORD& r) {
  if (r.EventType == KEY_EVENT) {
    const KEY_EVENT_RECORD& k = r.Event.KeyEvent;
    add(t, "%s", k.bKeyDown ? "down" : "up");
    pad(t, VKAT);
    vkname(t, k.wVirtualKeyCode);
    pad(t, SCANAT);
    add(t, "%02x", k.wVirtualScanCode);
    pad(t, CHARAT);
    unsigned ch = k.uChar.UnicodeChar;
    if (ch == 0)
      add(t, "-");
    else if (ch > ' ' && ch < 0x7F)
      add(t, "'%c'", ch);
    else
      add(t, "0x%02x", ch);
    pad(t, STATEAT);
    statenames(t, k.dwControlKeyState);
  } else {
    const char* n = lookup(eventnames, r.EventType);
    if (n)
      add(t, "%s", n);
    else
      add(t, "event 0x%x", r.EventType);
    if (r.EventType == MOUSE_EVENT) {
      const MOUSE_EVENT_RECORD& m = r.Event.MouseEvent;
      add(t, " %d,%d buttons 0x%x flags 0x%x ", m.dwMousePosition.X, m.dwMousePosition.Y,
          static_cast<unsigned>(m.dwButtonState), static_cast<unsigned>(m.dwEventFlags));
      statenames(t, m.dwControlKeyState);
    } else if (r.EventType == FOCUS_EVENT) {
      add(t, " %s", r.Event.FocusEvent.bSetFocus ? "in" : "out");
    }
  }
  pad(t, SHOWSAT);
}

// What keybytes shows for the record: its items, or why nothing. True when
// one of them is q or Q, which ends keybytes.
bool showstext(text& t, const INPUT_RECORD& r) {
  INPUT_RECORD rec = r;
  char bytes[MAXSEQ + 1];
  // Why nothing, by what record_emits says.
  static const char* const nothing[] = {nullptr, "not a key event", "key-up dropped",
                                        "no character, no row", "character byte 0"};
  static_assert(sizeof nothing / sizeof nothing[0] == EMIT_NULCHAR + 1, "a reason for each");
  emitted e = record_emits(rec, bytes);
  if (e != EMITS) {
    add(t, "nothing: %s", nothing[e]);
    return false;
  }
  bool quit = false;
  for (const char* p = bytes; *p; ++p) {
    int c = static_cast<signed char>(*p);
    char buf[ITEMMAX];
    std::snprintf(buf, sizeof buf, itemformat(c), static_cast<unsigned>(c));
    add(t, "%s", buf);
    quit = quit || c == 'q' || c == 'Q';
  }
  return quit;
}

void hexbytes(text& t, const uint8_t* bytes, int n, long extra) {
  for (int i = 0; i < n; ++i) add(t, "%s%02x", i ? " " : "", bytes[i]);
  if (extra) add(t, " +%ld", extra);
}

// One line: the bytes (none on a record's other lines), a record or the
// word that none came, what keybytes shows.
void line(tracer& tr, const uint8_t* bytes, int n, long extra, const INPUT_RECORD* r) {
  char buf[1024], shown[5 * HELD + 8];
  text t = {buf, sizeof buf, 0};
  if (n || extra) add(t, "%s%s", bytetext(shown, sizeof shown, bytes, n), extra ? "..." : "");
  pad(t, KEYAT);
  if (r) {
    recordtext(t, *r);
    tr.quit = showstext(t, *r) || tr.quit;
  } else {
    add(t, "no record");
    pad(t, SHOWSAT);
    add(t, "nothing");
  }
  if (n || extra) {
    pad(t, HEXAT);
    hexbytes(t, bytes, n, extra);
  }
  while (t.len > 0 && buf[t.len - 1] == ' ') --t.len;
  buf[t.len] = '\0';
  trace_line(tr, buf);
}

// The records of one event, the bytes on the line of the first record that
// shows something (else the first), so they stand beside the key they made.
void event(tracer& tr, const uint8_t* bytes, int n, long extra, const INPUT_RECORD* recs, int k) {
  int at = 0;
  for (int i = 0; i < k; ++i) {
    INPUT_RECORD r = recs[i];
    char out[MAXSEQ + 1];
    if (record_emits(r, out) == EMITS) {
      at = i;
      break;
    }
  }
  for (int i = 0; i < k; ++i)
    if (i == at)
      line(tr, bytes, n, extra, recs + i);
    else
      line(tr, nullptr, 0, 0, recs + i);
}

}  // namespace

void trace_line(tracer& tr, const char* s) {
  char buf[2048];  // one write a line, so a line never arrives in parts
  int n = std::snprintf(buf, sizeof buf, "%s%s", s, tr.eol);
  tr.write(buf, n < static_cast<int>(sizeof buf) ? n : static_cast<int>(sizeof buf) - 1);
}

void trace_titles(tracer& tr) {
  char buf[256];
  text t = {buf, sizeof buf, 0};
  const struct {
    int at;
    const char* title;
  } cols[] = {{0, "bytes"},     {KEYAT, "key"},     {VKAT, "virtual key"},       {SCANAT, "sc"},
              {CHARAT, "char"}, {STATEAT, "state"}, {SHOWSAT, "keybytes shows"}, {HEXAT, "hex"}};
  for (const auto& c : cols) {
    if (c.at) pad(t, c.at);
    add(t, "%s", c.title);
  }
  trace_line(tr, buf);
}

const char* bytetext(char* out, int cap, const uint8_t* b, int n) {
  text t = {out, cap, 0};
  out[0] = '\0';
  bool word = false;  // the last piece was a word, not a printable character
  for (int i = 0; i < n; ++i) {
    const char* sep = t.len && (word || b[i] <= ' ' || b[i] >= 0x7F) ? " " : "";
    word = true;
    if (b[i] == 0x1B && i + 1 < n && b[i + 1] == '[') {
      add(t, "%sCSI", sep);
      ++i;
    } else if (b[i] == 0x1B) {
      add(t, "%sESC", sep);
    } else if (b[i] < ' ' || b[i] == 0x7F) {
      add(t, "%s^%c", sep, b[i] ^ 0x40);
    } else if (b[i] == ' ') {
      add(t, "%sSP", sep);
    } else if (b[i] > 0x7F) {
      add(t, "%s\\x%02x", sep, b[i]);
    } else {
      add(t, "%s%c", sep, b[i]);
      word = false;
    }
  }
  return out;
}

void trace_step(tracer& tr, const decoder& d, const uint8_t* bytes, int n, const INPUT_RECORD* recs,
                int k) {
  for (int i = 0; i < n; ++i)
    if (tr.nheld < HELD)
      tr.held[tr.nheld++] = bytes[i];
    else
      ++tr.extra;
  if (k == 0 && (decode_pending(d) || (tr.nheld == 0 && tr.extra == 0))) return;
  // What the decoder still holds (and an ESC before it that meant Alt)
  // began the next key.
  int keep = decode_pending(d) && !tr.extra ? d.len + (d.alt ? 1 : 0) : 0;
  if (keep > tr.nheld) keep = tr.nheld;
  int shown = tr.nheld - keep;
  if (k == 0)
    line(tr, tr.held, shown, tr.extra, nullptr);
  else
    event(tr, tr.held, shown, tr.extra, recs, k);
  std::memmove(tr.held, tr.held + shown, static_cast<size_t>(keep));
  tr.nheld = keep;
  tr.extra = 0;
}

void trace_records(tracer& tr, const INPUT_RECORD* recs, int k) {
  for (int i = 0; i < k; ++i) line(tr, nullptr, 0, 0, recs + i);
}

bool trace_saved(tracer& tr, int fd, keyproto proto) {
  decoder d{};
  d.proto = proto;
  uint8_t in[INBUF];
  INPUT_RECORD recs[STEPRECS];
  for (;;) {
    int got = static_cast<int>(read(fd, in, sizeof in));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    for (int i = 0; i < got; ++i) trace_step(tr, d, in + i, 1, recs, decode_byte(d, in[i], recs));
    // As the emulated console: a read short of the buffer ends where a
    // write did.
    if (got < INBUF) trace_step(tr, d, nullptr, 0, recs, decode_readend(d, recs));
  }
  trace_step(tr, d, nullptr, 0, recs, decode_flush(d, recs));
  return true;
}
