// keybytes-trace: shows why a key shows what it shows in keybytes: the bytes
// the terminal sent, the console records made from them, keybytes' items.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "term/termmode.h"
#include "trace/trace.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>

#include "platform/emuconsole.h"
#endif

namespace {

const char USAGE[] =
    "Usage: keybytes-trace [--input=legacy|kitty|win32]\n"
    "Shows, for each key, the bytes the terminal sent, the console records made\n"
    "from them and what keybytes shows for each record. On a terminal it asks\n"
    "for a keyboard protocol as keybytes does; q or Q ends it. Otherwise it reads\n"
    "saved bytes from standard input to their end.\n"
    "\n"
    "  --input=MODE  how saved bytes are read: legacy (default), kitty or win32\n"
    "                (win32-input-mode)\n"
    "  --help        show this help and exit\n"
    "  --version     show the version and exit\n";

const char* const inputs[] = {"legacy", "kitty", "win32"};
static_assert(PROTO_LEGACY == 0 && PROTO_KITTY == 1 && PROTO_WIN32 == 2, "inputs by keyproto");

void out(const char* s, int n) { std::fwrite(s, 1, static_cast<size_t>(n), stdout); }

tracer tr = {out, "\n", {}, 0, 0, false};

// Parses the arguments: 0 to go on, else the exit status plus one.
int args(int argc, char** argv, keyproto& proto) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const char* mode = nullptr;
    if (std::strcmp(a, "--help") == 0) {
      std::fputs(USAGE, stdout);
      return 1;
    }
    if (std::strcmp(a, "--version") == 0) {
      std::printf("keybytes-trace %s\n", KEYBYTES_VERSION);
      return 1;
    }
    if (std::strncmp(a, "--input=", 8) == 0)
      mode = a + 8;
    else if (std::strcmp(a, "--input") == 0 && i + 1 < argc)
      mode = argv[++i];
    if (!mode) {
      std::fprintf(stderr, "keybytes-trace: unknown option '%s' (see --help)\n", a);
      return 3;
    }
    int m = 0;
    while (m < 3 && std::strcmp(mode, inputs[m]) != 0) ++m;
    if (m == 3) {
      std::fprintf(stderr, "keybytes-trace: --input takes legacy, kitty or win32, not '%s'\n",
                   mode);
      return 3;
    }
    proto = static_cast<keyproto>(m);
  }
  return 0;
}

int saved(keyproto proto) {
#ifdef _WIN32
  _setmode(0, _O_BINARY);
#endif
  char head[128];
  std::snprintf(head, sizeof head, "keybytes-trace: %s input, saved bytes from standard input",
                proto == PROTO_WIN32 ? "win32-input-mode" : inputs[proto]);
  trace_line(tr, head);
  trace_titles(tr);
  if (trace_saved(tr, 0, proto)) return 0;
  std::perror("keybytes-trace: standard input");
  return 1;
}

#ifdef _WIN32

bool onterminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode);
}

// The real console: records only, no bytes behind them.
void live() {
  settermout();
  termraw();
  tr.eol = "\r\n";
  trace_line(tr, "keybytes-trace: Windows console input; q or Q ends it");
  trace_titles(tr);
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  INPUT_RECORD r;
  DWORD n;
  while (!tr.quit && ReadConsoleInputA(in, &r, 1, &n) && n == 1) trace_records(tr, &r, 1);
  termcanon();
}

#else

bool onterminal() { return isatty(0); }

terminput tin{STDIN_FILENO, {}, {}, 0, 0, {}, 0, 0};
volatile sig_atomic_t enabled;  // what was set (SET_ bits), to put back at the end
bool asking;                    // the keyboard queries are out
uint8_t answers[256];           // the bytes read while they were
int nanswers;

void undo() { term_restore(tin.fd, tin.neg.out, enabled); }

void resume() { term_continued(tin); }

void onstep(const terminput& t, const uint8_t* bytes, int n, const INPUT_RECORD* recs, int k) {
  if (asking) {
    for (int i = 0; i < n && nanswers < static_cast<int>(sizeof answers); ++i)
      answers[nanswers++] = bytes[i];
  } else if (!tr.quit) {
    trace_step(tr, t.dec, bytes, n, recs, k);
  }
}

// The flags term_negotiate pushes for the kitty protocol.
constexpr int KITTYFLAGS = 31;

char head[1024];  // the first line
size_t headlen;

void add(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void add(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(head + headlen, sizeof head - headlen, fmt, ap);
  va_end(ap);
  if (n > 0) headlen = std::min(headlen + static_cast<size_t>(n), sizeof head - 1);
}

// The first line: the input in force, the keypad's modes, the
// terminal's answers to the queries, TERM.
void header() {
  char shown[5 * sizeof answers + 1];
  int set = enabled;
  add("keybytes-trace: ");
  if (tin.dec.proto == PROTO_KITTY)
    add("kitty (flags %d)", KITTYFLAGS);
  else if (tin.dec.proto == PROTO_WIN32)
    add("win32-input-mode%s", (set & SET_PROTO) ? "" : " (on already)");
  else
    add("legacy");
  if (set & SET_KEYPAD)
    add("; keypad application (was %s), cursor keys application (was %s)",
        set & HAD_KEYPAD ? "application" : "normal", set & HAD_CURSOR ? "application" : "normal");
  if (set & SET_MODKEYS) {
    int had = modkeys_had(set);
    if (had == NOVAL)
      add("; modifyOtherKeys 2 (was unset)");
    else
      add("; modifyOtherKeys 2 (was %d)", had);
  }
  if (tin.neg.open) add("; answers still awaited behind keys typed");
  add("; answered: %s", nanswers ? bytetext(shown, sizeof shown, answers, nanswers) : "nothing");
  const char* term = std::getenv("TERM");
  add("; TERM=%s", term ? term : "");
  trace_line(tr, head);
}

// A terminal: asks for a keyboard protocol and puts back what it set
// however the program ends, as keybytes does.
void live() {
  settermout();
  termraw();
  tr.eol = "\r\n";
  tin.neg.padmode = !linuxconsole(std::getenv("TERM"));
  tin.neg.out = term_ownfd(tin.fd);
  tin.onstep = onstep;
  termonrestore(undo);
  termoncontinue(resume);
  asking = true;
  term_negotiate(tin, &enabled);
  asking = false;
  header();
  trace_line(tr, "Press keys; q or Q ends it.");
  trace_titles(tr);
  // Keys typed while the queries were out: their bytes are among the answers.
  trace_records(tr, tin.q + tin.qhead, tin.qtail - tin.qhead);
  INPUT_RECORD recs[QCAP];
  while (!tr.quit && term_read(tin, recs, QCAP) > 0) {
  }
  termcanon();
}

#endif

}  // namespace

int main(int argc, char** argv) {
  keyproto proto = PROTO_LEGACY;
  if (int status = args(argc, argv, proto)) return status - 1;
  if (!onterminal()) return saved(proto);
  live();
  return 0;
}
