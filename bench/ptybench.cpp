// Times programs the way a person meets them: each runs on its own
// pseudo-terminal, the harness types at it and reads back what it shows.
//
// Three programs are compared side by side in the same run:
//   keybytes  the tool itself
//   showkey   `showkey -a`, which prints each byte it reads on a line
//   floor     echofloor, a raw-mode byte echo: the least any program can do
//
// Every response is checked byte for byte against what the program must
// show for the key, so a figure is never taken from a wrong or partial
// response. Results are markdown on standard output; a wrong response, a
// time-out or a program that fails to start ends the run with status 1.
//
//   ptybench [paths] latency N BLOCK     key-to-screen latency, N presses a key
//   ptybench [paths] esc N               lone Escape and split sequences
//   ptybench [paths] startup N           time to banner, peak RSS at rest
//   ptybench [paths] paste KB RUNS       a paste of KB kilobytes at once
//   ptybench [paths] session PROG KEY N -- CMD...
//       CMD (PROG wrapped in a tool such as strace) pressed KEY N times
//   paths: --keybytes P --showkey P --floor P
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/emuconsole.h"  // ESC_WAIT_MS

namespace {

// ---------------------------------------------------------------- time

double nowus() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

void sleepuntil(double us) {
  timespec ts;
  ts.tv_sec = time_t(us / 1e6);
  ts.tv_nsec = long((us - double(ts.tv_sec) * 1e6) * 1e3);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

// Programs started and not yet reaped, stopped when the harness gives up.
std::vector<pid_t> live;

void forget(pid_t pid) { live.erase(std::remove(live.begin(), live.end(), pid), live.end()); }

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "ptybench: %s\n", why.c_str());
  for (pid_t pid : live) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  std::exit(1);
}

// Bytes made readable for an error message.
std::string shown(const std::string& s) {
  std::string r;
  for (unsigned char c : s) {
    char buf[8];
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      r += char(c);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      r += buf;
    }
  }
  return r.size() > 400 ? r.substr(0, 400) + "..." : r;
}

// ---------------------------------------------------------------- stats

struct stats {
  double med, p10, p25, p75, p90, p99, min, max;
  size_t n;
};

double pct(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  double at = p * double(sorted.size() - 1);
  size_t lo = size_t(at);
  size_t hi = std::min(lo + 1, sorted.size() - 1);
  return sorted[lo] + (sorted[hi] - sorted[lo]) * (at - double(lo));
}

stats summary(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  stats s;
  s.med = pct(v, .5);
  s.p10 = pct(v, .1);
  s.p25 = pct(v, .25);
  s.p75 = pct(v, .75);
  s.p90 = pct(v, .9);
  s.p99 = pct(v, .99);
  s.min = v.empty() ? 0 : v.front();
  s.max = v.empty() ? 0 : v.back();
  s.n = v.size();
  return s;
}

double median(std::vector<double> v) { return summary(std::move(v)).med; }

// ---------------------------------------------------------------- programs

// BATCHED is keybytes with batched output (bench/batched.cpp), compared in
// the latency and paste runs when its path is given.
enum kind { KEYBYTES, SHOWKEY, FLOOR, BATCHED, NKINDS };
const char* const kindname[NKINDS] = {"keybytes", "showkey -a", "floor (echofloor)",
                                      "keybytes, batched output"};
const char* const kindarg[NKINDS] = {"keybytes", "showkey", "floor", "batched"};
std::string path[NKINDS] = {"build/bench/app/keybytes", "/usr/bin/showkey",
                            "build/bench/bench/echofloor", ""};

// The programs a run compares: the three, and the batched keybytes if given.
std::vector<kind> compared() {
  std::vector<kind> ks{KEYBYTES, SHOWKEY, FLOOR};
  if (!path[BATCHED].empty()) ks.push_back(BATCHED);
  return ks;
}

std::vector<std::string> command(kind k) {
  if (k == SHOWKEY) return {path[k], "-a"};
  return {path[k]};
}

// What each program shows before it takes keys, as it reaches the terminal.
const char* const banner[NKINDS] = {
    "cygwin/gnu key banger. Shows emitted characters for a keypress\r\n"
    "Press a key. Quit with q, Q or ctrl-c.\r\n",
    "\r\nPress any keys - Ctrl-D will terminate this program\r\n\r\n",
    "echofloor: ready\r\n",
    "cygwin/gnu key banger. Shows emitted characters for a keypress\r\n"
    "Press a key. Quit with q, Q or ctrl-c.\r\n",
};
const char* const quitkey[NKINDS] = {"q", "\x04", "q", "q"};

// A key as the terminal sends it, and the bytes keybytes' key map emits
// for it.
struct key {
  const char* name;
  std::string typed;
  std::string emitted;
};

// clang-format off
const key keys[] = {
    {"Enter",      "\r",             "\r"},
    {"letter a",   "a",              "a"},
    {"Shift+F5",   "\x1b[15;2~",     "\x1b[15;2~"},
    {"Shift+Left", "\x1b[1;2D",      "\x1b[D;2~"},
    {"a-umlaut",   "\xc3\xa4",       "\xe4"},
};
// clang-format on
constexpr int NKEYS = sizeof keys / sizeof keys[0];

const key* findkey(const std::string& name) {
  for (const key& k : keys) {
    std::string n = k.name;
    n.erase(
        std::remove_if(n.begin(), n.end(), [](char c) { return !std::isalnum((unsigned char)c); }),
        n.end());
    std::transform(n.begin(), n.end(), n.begin(), ::tolower);
    if (n == name) return &k;
  }
  return nullptr;
}

// The terminal's output processing (ONLCR): a program's "\n" reaches the
// screen as "\r\n".
std::string onlcr(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (c == '\n') r += '\r';
    r += c;
  }
  return r;
}

// The terminal's echo with ECHOCTL, as showkey -a leaves it on.
std::string echo(const std::string& typed) {
  std::string r;
  for (unsigned char c : typed) {
    if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7f) {
      r += '^';
      r += char(c ^ 0x40);
    } else {
      r += char(c);
    }
  }
  return r;
}

// What a program shows for one key press. keybytes keeps a count of the
// items on its current line, which decides where line ends fall.
struct screen {
  kind k;
  int count = 0;
};

std::string respond(screen& s, const std::string& typed, const std::string& emitted) {
  std::string r;
  char buf[32];
  switch (s.k) {
    case KEYBYTES:
    case BATCHED:
      for (char ch : emitted) {
        int c = static_cast<signed char>(ch);
        if (c == 0x1b || c == '\r') {
          if (s.count) r += "\r\n";
          s.count = 0;
        }
        if (c >= 0x20 && c < 0x7f) {
          r += char(c);
        } else {
          std::snprintf(buf, sizeof buf, "[0x%02x]", unsigned(c));
          r += buf;
        }
        if (++s.count == 10) {
          r += "\r\n";
          s.count = 0;
        }
      }
      return onlcr(r);
    case SHOWKEY:
      r = echo(typed);
      for (unsigned char c : typed) {
        std::snprintf(buf, sizeof buf, " \t%3d 0%03o 0x%02x\n", c, c, c);
        r += buf;
      }
      return onlcr(r);
    default:
      return typed;
  }
}

// ---------------------------------------------------------------- terminals

// A new session gets a scheduling group of its own (Linux's autogroup),
// which weighs as nice 0 against other groups whatever the nice of the
// processes in it. The group takes the process's own nice, so that the
// priority bench/run.sh asks for holds against other work on the machine,
// for the harness and every program alike. A new group starts at nice 0;
// a raised priority needs root. Without autogroups there is nothing to do.
void groupnice() {
  int nice = getpriority(PRIO_PROCESS, 0);
  int fd = nice ? open("/proc/self/autogroup", O_WRONLY | O_CLOEXEC) : -1;
  if (fd < 0) return;
  std::string n = std::to_string(nice);
  if (write(fd, n.data(), n.size()) < 0) std::perror("ptybench: /proc/self/autogroup");
  close(fd);
}

// A fresh terminal as `stty sane` leaves it: cooked, echoing, signal keys,
// output processing with ONLCR.
struct termios sane() {
  struct termios t;
  std::memset(&t, 0, sizeof t);
  t.c_iflag = ICRNL | IXON | BRKINT | IMAXBEL | IUTF8;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = CS8 | CREAD;
  t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN | ECHOCTL | ECHOKE;
  const cc_t cc[][2] = {{VINTR, 3},   {VQUIT, 28}, {VERASE, 127}, {VKILL, 21}, {VEOF, 4},
                        {VSTART, 17}, {VSTOP, 19}, {VSUSP, 26},   {VMIN, 1},   {VTIME, 0}};
  for (auto& c : cc) t.c_cc[c[0]] = c[1];
  cfsetspeed(&t, B38400);
  return t;
}

struct term {
  kind k;
  pid_t pid = -1;
  int fd = -1;
  std::string out;  // shown and not yet checked
  screen scr{KEYBYTES};
  long maxrss_kb = 0;
};

void spawn(term& t, kind k, const std::vector<std::string>& argv) {
  t.k = k;
  t.scr = screen{k};
  t.out.clear();
  struct termios tio = sane();
  struct winsize ws {};
  ws.ws_row = 24;
  ws.ws_col = 80;
  t.pid = forkpty(&t.fd, nullptr, &tio, &ws);
  if (t.pid < 0) die("forkpty failed");
  if (t.pid > 0) live.push_back(t.pid);
  if (t.pid == 0) {
    groupnice();  // forkpty made a new session
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  fcntl(t.fd, F_SETFL, fcntl(t.fd, F_GETFL) | O_NONBLOCK);
}

// Reads what is there, waiting up to `ms`; false once the program is gone.
bool readsome(term& t, int ms) {
  pollfd p{t.fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return true;
  char buf[65536];
  ssize_t n = read(t.fd, buf, sizeof buf);
  if (n > 0) t.out.append(buf, size_t(n));
  return n > 0 || (n < 0 && errno == EAGAIN);
}

// Reads until `want` bytes are pending; false on time-out or end.
bool readto(term& t, size_t want, int ms) {
  double end = nowus() + ms * 1e3;
  while (t.out.size() < want) {
    int left = int((end - nowus()) / 1e3);
    if (left <= 0 || !readsome(t, left)) return false;
  }
  return true;
}

void typebytes(term& t, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = write(t.fd, s.data() + done, s.size() - done);
    if (n > 0) {
      done += size_t(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{t.fd, POLLOUT, 0};
      poll(&p, 1, 100);
    } else {
      die("write to the terminal failed");
    }
  }
}

// Checks that the pending output starts with `want` and drops it.
void take(term& t, const std::string& want, const char* what) {
  if (t.out.compare(0, want.size(), want) != 0)
    die(std::string(kindname[t.k]) + ": wrong response to " + what + ":\n  want " + shown(want) +
        "\n  got  " + shown(t.out));
  t.out.erase(0, want.size());
}

void start(term& t, kind k, const std::vector<std::string>& argv, int ms = 5000) {
  spawn(t, k, argv);
  std::string b = banner[k];
  // At its first read keybytes asks the terminal which keyboard protocols it
  // offers (with batched output, before the banner is flushed). This
  // terminal answers as a legacy one (device attributes only), so keys are
  // read the classic way and no time is spent waiting for an answer; the
  // keypad goes into application mode then.
  const std::string ask = "\0337\x1b[?9001$p\x1b[?u\x1b[?66$p\x1b[?1$p\x1b[?4m\x1b[c\0338";
  const std::string padon = "\x1b[?1h\x1b=";
  bool asks = k == KEYBYTES || k == BATCHED;
  if (!readto(t, b.size() + (asks ? ask.size() : 0), ms))
    die(argv[0] + " did not show its banner; got " + shown(t.out));
  if (asks) {
    size_t at = t.out.find(ask);
    if (at == std::string::npos) die(argv[0] + " did not ask; got " + shown(t.out));
    t.out.erase(at, ask.size());
  }
  take(t, b, "start-up");
  if (!asks) return;
  typebytes(t, "\x1b[?62c");
  if (!readto(t, padon.size(), ms)) die(argv[0] + " did not set the keypad; got " + shown(t.out));
  take(t, padon, "the device attributes");
}

// Kills the program if it still runs and reaps it; keeps its peak RSS.
void stop(term& t) {
  if (t.pid > 0) {
    int status;
    struct rusage ru;
    double end = nowus() + 3e6;
    while (wait4(t.pid, &status, WNOHANG, &ru) == 0) {
      if (nowus() > end) {
        kill(t.pid, SIGKILL);
        wait4(t.pid, &status, 0, &ru);
        break;
      }
      pollfd p{t.fd, POLLIN, 0};  // keep the terminal drained while it exits
      if (poll(&p, 1, 2) > 0) readsome(t, 0);
    }
    t.maxrss_kb = ru.ru_maxrss;
    forget(t.pid);
    t.pid = -1;
  }
  if (t.fd >= 0) close(t.fd);
  t.fd = -1;
}

// Ends the program the way a person would, then reaps it.
void quit(term& t) {
  typebytes(t, quitkey[t.k]);
  stop(t);
}

// One key press: types it and waits for the whole response. Microseconds.
double press(term& t, const key& k, int ms = 5000) {
  std::string want = respond(t.scr, k.typed, k.emitted);
  double t0 = nowus();
  typebytes(t, k.typed);
  if (!readto(t, want.size(), ms))
    die(std::string(kindname[t.k]) + ": no full response to " + k.name);
  double t1 = nowus();
  take(t, want, k.name);
  return t1 - t0;
}

// ---------------------------------------------------------------- output

// Lines for bench/run.sh, which lifts them out of the markdown: "@value
// NAME NUMBER" for its own tables, "@summary ROW" for the summary table.
void value(const std::string& name, double v) { std::printf("@value %s %.3f\n", name.c_str(), v); }

const char* const kindtag[NKINDS] = {"keybytes", "showkey", "floor", "batched"};

std::string us(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, v < 100 ? "%.1f" : "%.0f", v);
  return buf;
}

void row(const char* name, const stats& s, const char* unit = "") {
  std::printf("| %s | %s%s | %s–%s | %s | %s | %zu |\n", name, us(s.med).c_str(), unit,
              us(s.p25).c_str(), us(s.p75).c_str(), us(s.p90).c_str(), us(s.p99).c_str(), s.n);
}

void header(const char* unit) {
  std::printf("| program | median %s | IQR (p25–p75) | p90 | p99 | n |\n", unit);
  std::printf("|---|---:|---:|---:|---:|---:|\n");
}

// ---------------------------------------------------------------- latency

void latency(int n, int block) {
  const int measured[] = {0, 1, 2};  // Enter, a letter, Shift+F5
  const std::vector<kind> ks = compared();
  const int nk = int(ks.size());
  std::vector<term> ts(nk);
  for (int j = 0; j < nk; ++j) start(ts[j], ks[j], command(ks[j]));
  for (int key : measured)
    for (term& t : ts)
      for (int i = 0; i < 50; ++i) press(t, keys[key]);  // warm-up

  // samples[key][prog]; blockmed[key][prog][round]
  std::vector<std::vector<std::vector<double>>> samples(3,
                                                        std::vector<std::vector<double>>(NKINDS));
  std::vector<std::vector<std::vector<double>>> blockmed = samples;
  int rounds = (n + block - 1) / block;
  for (int r = 0; r < rounds; ++r) {
    for (int ki = 0; ki < 3; ++ki) {
      for (int j = 0; j < nk; ++j) {
        term& t = ts[(r + j) % nk];  // each round starts with another program
        std::vector<double> b;
        for (int i = 0; i < block; ++i) b.push_back(press(t, keys[measured[ki]]));
        samples[ki][t.k].insert(samples[ki][t.k].end(), b.begin(), b.end());
        blockmed[ki][t.k].push_back(median(b));
      }
    }
  }
  for (term& t : ts) quit(t);

  std::printf(
      "Key-to-screen latency: from writing the key's bytes to reading the last byte "
      "of the program's complete response, µs. %d presses a key and program, in "
      "rounds of %d, the programs taking turns.\n\n",
      rounds * block, block);
  for (int ki = 0; ki < 3; ++ki) {
    std::printf("**%s** (typed as `%s`)\n\n", keys[measured[ki]].name,
                shown(keys[measured[ki]].typed).c_str());
    header("µs");
    for (kind k : ks) row(kindname[k], summary(samples[ki][k]));
    std::printf("\n");
  }
  std::printf(
      "Ratios: the median time of one program over the median time of the other, all "
      "%d presses of the key each; below 1 the first program shows a typical key press "
      "sooner. In brackets, the p10–p90 of the same ratio taken round by round (%d rounds, "
      "the programs taking turns), which shows how far it moved during the run.\n\n",
      rounds * block, rounds);
  std::printf("| key | keybytes / showkey -a | target | keybytes / floor | target |\n");
  std::printf("|---|---:|---|---:|---|\n");
  for (int ki = 0; ki < 3; ++ki) {
    struct ratio {
      double all;
      stats per;
    };
    auto ratioof = [&](int a, int b) {
      std::vector<double> per;
      for (int r = 0; r < rounds; ++r) per.push_back(blockmed[ki][a][r] / blockmed[ki][b][r]);
      return ratio{median(samples[ki][a]) / median(samples[ki][b]), summary(per)};
    };
    ratio vs = ratioof(KEYBYTES, SHOWKEY), fl = ratioof(KEYBYTES, FLOOR);
    const char* name = keys[measured[ki]].name;
    auto verdict = [](double v, double target) { return v <= target ? "met" : "**not met**"; };
    std::printf("| %s | %.2f (%.2f–%.2f) | ≤ 1: %s | %.2f (%.2f–%.2f) | ≤ 1.5: %s |\n", name,
                vs.all, vs.per.p10, vs.per.p90, verdict(vs.all, 1), fl.all, fl.per.p10, fl.per.p90,
                verdict(fl.all, 1.5));
    std::printf(
        "@summary | Latency %s: keybytes / showkey -a (ratio of medians) | %.2f | ≤ 1 | %s |\n",
        name, vs.all, verdict(vs.all, 1));
    std::printf(
        "@summary | Latency %s: keybytes / floor (ratio of medians) | %.2f | ≤ 1.5 | %s |\n", name,
        fl.all, verdict(fl.all, 1.5));
    value(std::string("ratio.showkey.") + std::to_string(ki), vs.all);
    value(std::string("ratio.floor.") + std::to_string(ki), fl.all);
    if (nk > BATCHED) {
      ratio bt = ratioof(BATCHED, FLOOR);
      std::printf("| %s, batched output | | | %.2f (%.2f–%.2f) | ≤ 1.5: %s |\n", name, bt.all,
                  bt.per.p10, bt.per.p90, verdict(bt.all, 1.5));
      value(std::string("ratio.batched.") + std::to_string(ki), bt.all);
    }
    for (kind k : ks)
      value(std::string("latency.") + std::to_string(ki) + "." + kindtag[k],
            median(samples[ki][k]));
  }
  std::printf("\nPeak RSS at the end of this session (ru_maxrss): ");
  for (int j = 0; j < nk; ++j)
    std::printf("%s %ld KiB%s", kindname[ks[j]], ts[j].maxrss_kb, j + 1 < nk ? ", " : ".\n\n");
  for (int j = 0; j < nk; ++j)
    value(std::string("rss.session.") + kindtag[ks[j]], double(ts[j].maxrss_kb));
}

// ---------------------------------------------------------------- escape

void esc(int n) {
  const double delayms = ESC_WAIT_MS;
  key lone{"lone ESC", "\x1b", "\x1b"};
  key whole{"Shift+Left", "\x1b[1;2D", "\x1b[D;2~"};
  struct split {
    const char* name;
    std::string first, second;
  };
  const split splits[] = {{"`ESC` + 5 ms + `[1;2D`", "\x1b", "[1;2D"},
                          {"`ESC [1;` + 5 ms + `2D`", "\x1b[1;", "2D"}};

  term t;
  start(t, KEYBYTES, command(KEYBYTES));
  std::vector<double> lonet, wholet;
  std::vector<std::vector<double>> splitt(2), gapt(2);
  for (int i = 0; i < n; ++i) {
    lonet.push_back(press(t, lone));
    wholet.push_back(press(t, whole));
    for (int s = 0; s < 2; ++s) {
      std::string want = respond(t.scr, whole.typed, whole.emitted);
      double t0 = nowus();
      typebytes(t, splits[s].first);
      sleepuntil(t0 + 5000);
      double t1 = nowus();
      typebytes(t, splits[s].second);
      if (!readto(t, want.size(), 2000)) die(std::string("no full response to ") + splits[s].name);
      double t2 = nowus();
      take(t, want, splits[s].name);  // one key: Shift+Left's sequence, not ESC and "[1;2D"
      splitt[s].push_back(t2 - t0);
      gapt[s].push_back(t1 - t0);
    }
  }
  quit(t);

  stats l = summary(lonet);
  std::printf("keybytes only; %d of each, interleaved. Times in µs from the first write.\n\n", n);
  std::printf(
      "| input | median | IQR (p25–p75) | min | max | n |\n|---|---:|---:|---:|---:|---:|\n");
  auto line = [](const char* name, const stats& s) {
    std::printf("| %s | %s | %s–%s | %s | %s | %zu |\n", name, us(s.med).c_str(), us(s.p25).c_str(),
                us(s.p75).c_str(), us(s.min).c_str(), us(s.max).c_str(), s.n);
  };
  line("lone `ESC` → `[0x1b]`", l);
  line("`ESC [1;2D` in one write (Shift+Left)", summary(wholet));
  for (int s = 0; s < 2; ++s) line(splits[s].name, summary(splitt[s]));
  std::printf("\n");
  double over = l.med / 1e3 - delayms;
  std::printf(
      "Lone Escape: median %.2f ms against the documented delay (ESC_WAIT_MS) of %.0f ms: %.2f ms "
      "over (target < 1 ms: %s; max %.2f ms over).\n",
      l.med / 1e3, delayms, over, over < 1 ? "met" : "**not met**", l.max / 1e3 - delayms);
  std::printf(
      "@summary | Lone Escape: time to `[0x1b]` beyond the %.0f ms delay (median) | "
      "%.2f ms | < 1 ms | %s |\n",
      delayms, over, over < 1 ? "met" : "**not met**");
  std::printf(
      "@summary | Sequence split over two writes 5 ms apart decodes as one key | %d of "
      "%d, median %.2f ms | all | met |\n",
      2 * n, 2 * n, median(splitt[0]) / 1e3);
  std::printf(
      "Both split sequences decoded as one key (Shift+Left, shown as "
      "`[0x1b][D;2~`, not as Escape followed by `[1;2D`) in all %d tries; the second "
      "write went out a median %.2f ms after the first.\n\n",
      n, median(gapt[0]) / 1e3);
}

// ---------------------------------------------------------------- start-up

void startup(int n) {
  std::vector<std::vector<double>> times(NKINDS), rss(NKINDS);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < 3; ++j) {
      kind k = kind((i + j) % 3);
      term t;
      double t0 = nowus();
      start(t, k, command(k));
      times[k].push_back(nowus() - t0);
      quit(t);
      rss[k].push_back(double(t.maxrss_kb));
    }
  }
  std::printf(
      "Start-up: from fork to the last byte of the banner (the program is then in raw "
      "mode and waiting for keys), µs, %d starts each, taking turns.\n\n",
      n);
  header("µs");
  for (int k = 0; k < 3; ++k) row(kindname[k], summary(times[k]));
  std::printf("\nPeak RSS of a session that starts and quits (ru_maxrss, KiB):\n\n");
  header("KiB");
  for (int k = 0; k < 3; ++k) row(kindname[k], summary(rss[k]));
  std::printf("\n");
  for (int k = 0; k < 3; ++k) {
    stats s = summary(times[k]);
    value(std::string("startup.") + kindtag[k], s.med);
    value(std::string("startup.p25.") + kindtag[k], s.p25);
    value(std::string("startup.p75.") + kindtag[k], s.p75);
    value(std::string("rss.rest.") + kindtag[k], median(rss[k]));
  }
}

// ---------------------------------------------------------------- paste

// Mixed text as a person pastes it: words, digits, punctuation, tabs, line
// ends as the terminal sends them (CR), and characters beyond ASCII. No q or
// Q (they end keybytes) and no ESC. Each piece: what is typed and the byte
// keybytes emits for it (the Windows-1252 byte; `?` where it has none).
struct piece {
  std::string typed, emitted;
};

std::vector<piece> pastetext(size_t bytes) {
  // clang-format off
  const piece beyond[] = {
      {"\xc3\xa4", "\xe4"}, {"\xc3\xb6", "\xf6"}, {"\xc3\xbc", "\xfc"}, {"\xc3\xa9", "\xe9"},
      {"\xc3\x9f", "\xdf"}, {"\xe2\x82\xac", "\x80"}, {"\xe2\x80\x9c", "\x93"},
      {"\xe2\x80\x9d", "\x94"}, {"\xe2\x80\x94", "\x97"}, {"\xe4\xb8\xad", "?"},
  };
  // clang-format on
  const char letters[] = "etaoinshrdlcumwfgypbvkjxzETAOINSHRDLCUMWFGYPBVKJXZ";
  const char punct[] = ".,;:!?'\"-()/[]{}<>=+*&%$#@~`^|\\_";
  std::mt19937 rng(7);
  auto pick = [&](size_t n) { return size_t(rng() % n); };
  std::vector<piece> text;
  size_t size = 0;
  auto add = [&](const piece& p) {
    text.push_back(p);
    size += p.typed.size();
  };
  while (size < bytes) {
    int word = 1 + int(pick(9));
    for (int i = 0; i < word; ++i) {
      if (pick(40) == 0) {
        add(beyond[pick(sizeof beyond / sizeof beyond[0])]);
      } else {
        std::string c(1, letters[pick(pick(4) ? 26 : sizeof letters - 1)]);
        add({c, c});
      }
    }
    size_t r = pick(100);
    if (r < 6) {
      std::string c(1, punct[pick(sizeof punct - 1)]);
      add({c, c});
    } else if (r < 9) {
      std::string c(1, char('0' + pick(10)));
      add({c, c});
    }
    r = pick(100);
    if (r < 4)
      add({"\r", "\r"});
    else if (r < 6)
      add({"\t", "\t"});
    else
      add({" ", " "});
  }
  while (size > bytes) {  // trim to the exact size
    size -= text.back().typed.size();
    text.pop_back();
  }
  while (size < bytes) add({" ", " "});
  return text;
}

// showkey -a shows each byte as " \t%3d 0%03o 0x%02x" and a line end, and
// leaves the terminal's echo on. With a paste the echo interleaves with
// these lines, and now and then damages one; the bytes of the lines found
// whole, in order.
std::string showkeybytes(const std::string& out) {
  std::string r;
  for (size_t at = out.find('\t'); at != std::string::npos; at = out.find('\t', at + 1)) {
    int dec, oct, hex;
    char end;
    std::string line = out.substr(at + 1, 14);
    if (std::sscanf(line.c_str(), "%3d 0%3o 0x%2x%c", &dec, &oct, &hex, &end) == 4 && dec == oct &&
        dec == hex && (end == '\r' || end == '\n'))
      r += char(dec);
  }
  return r;
}

void paste(int kb, int runs) {
  std::vector<piece> text = pastetext(size_t(kb) * 1024);
  std::string typed, emitted;
  for (const piece& p : text) {
    typed += p.typed;
    emitted += p.emitted;
  }
  const std::vector<kind> ks = compared();
  const int nk = int(ks.size());
  std::vector<std::vector<double>> times(NKINDS);
  std::vector<double> showkeywhole;  // lines showkey -a showed undamaged
  for (int i = 0; i < runs; ++i) {
    for (int j = 0; j < nk; ++j) {
      kind k = ks[(i + j) % nk];
      term t;
      start(t, k, command(k));
      std::string want = respond(t.scr, typed, emitted);
      double t0 = nowus(), end = t0 + 60e6;
      size_t done = 0;
      auto complete = [&] {
        return k == SHOWKEY ? std::count(t.out.begin(), t.out.end(), '\n') >= long(typed.size())
                            : t.out.size() >= want.size();
      };
      while (!complete()) {
        if (nowus() > end) die(std::string(kindname[k]) + ": paste not shown within 60 s");
        pollfd p{t.fd, short(POLLIN | (done < typed.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if (p.revents & POLLOUT) {
          ssize_t n = write(t.fd, typed.data() + done, typed.size() - done);
          if (n > 0) done += size_t(n);
        }
        if ((p.revents & (POLLIN | POLLHUP)) && !readsome(t, 0))
          die(std::string(kindname[k]) + " ended during the paste");
      }
      times[k].push_back(nowus() - t0);
      if (k == SHOWKEY) {
        std::string got = showkeybytes(t.out);
        showkeywhole.push_back(double(got.size()));
        // Whatever arrived whole arrived in order.
        size_t at = 0;
        for (char c : got) {
          at = typed.find(c, at);
          if (at == std::string::npos) die("showkey -a: pasted bytes reordered");
          ++at;
        }
        t.out.clear();
      } else {
        take(t, want, "the paste");
      }
      readsome(t, 50);  // anything more is an extra item
      if (!t.out.empty())
        die(std::string(kindname[k]) + ": unexpected output after the paste: " + shown(t.out));
      quit(t);
    }
  }
  size_t chars = text.size();
  std::printf(
      "A paste of %zu bytes (%zu characters: words, digits, punctuation, tabs, CR line "
      "ends, 1 in 40 letters beyond ASCII; no q or Q, which end keybytes) written into "
      "the terminal at once; time until the program has shown all of it, ms. %d runs "
      "each, taking turns. keybytes and the floor are checked byte for byte in every "
      "run: nothing lost, nothing reordered, nothing extra. showkey -a showed a line for "
      "every byte, but it leaves the terminal's echo on, and the echo interleaving with "
      "its lines damaged some: a median of %.0f of %zu lines came through whole (all in "
      "order).\n\n",
      typed.size(), chars, runs, median(showkeywhole), typed.size());
  std::printf(
      "| program | median ms | min–max | MB/s (median) | runs |\n|---|---:|---:|---:|---:|\n");
  for (kind k : ks) {
    stats s = summary(times[k]);
    std::printf("| %s | %.1f | %.1f–%.1f | %.2f | %zu |\n", kindname[k], s.med / 1e3, s.min / 1e3,
                s.max / 1e3, double(typed.size()) / s.med, s.n);
  }
  for (kind k : ks) value(std::string("paste.") + kindtag[k], median(times[k]) / 1e3);
  double kbm = median(times[KEYBYTES]), skm = median(times[SHOWKEY]);
  std::printf("\nkeybytes / showkey -a: %.2f of the time.\n\n", kbm / skm);
  std::printf(
      "@summary | Paste %zu KB: nothing lost or reordered; time keybytes / showkey -a | "
      "%.1f ms / %.1f ms = %.2f | all shown, ≤ 1 | %s |\n",
      typed.size() / 1024, kbm / 1e3, skm / 1e3, kbm / skm, kbm <= skm ? "met" : "**not met**");
}

// ---------------------------------------------------------------- session

// Runs CMD (the program PROG, wrapped) through a session of N presses of
// KEY ("none" for none; "mixed" cycles through every key) and quits.
int session(kind k, const std::string& keyname, int n, const std::vector<std::string>& cmd) {
  term t;
  start(t, k, cmd, 60000);
  for (int i = 0; i < n; ++i) {
    const key* kp = keyname == "mixed" ? &keys[i % NKEYS] : findkey(keyname);
    if (!kp) die("unknown key " + keyname);
    press(t, *kp, 30000);
  }
  typebytes(t, quitkey[k]);
  double end = nowus() + 60e6;
  int status = -1;
  while (nowus() < end) {
    readsome(t, 10);
    if (waitpid(t.pid, &status, WNOHANG) == t.pid) {
      forget(t.pid);
      t.pid = -1;
      break;
    }
  }
  stop(t);
  return status == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (getsid(0) == getpid()) groupnice();  // a session of its own (setsid)
  int i = 1;
  for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0 && argv[i][2]; i += 2) {
    int k = 0;
    while (k < NKINDS && std::strcmp(argv[i] + 2, kindarg[k]) != 0) ++k;
    if (k == NKINDS) die(std::string("unknown option ") + argv[i]);
    path[k] = argv[i + 1];
  }
  if (i >= argc) die("usage: see the comment at the top of bench/ptybench.cpp");
  std::string cmd = argv[i];
  auto arg = [&](int j, const char* dflt) { return i + j < argc ? argv[i + j] : dflt; };
  if (cmd == "latency")
    latency(std::atoi(arg(1, "2000")), std::atoi(arg(2, "100")));
  else if (cmd == "esc")
    esc(std::atoi(arg(1, "50")));
  else if (cmd == "startup")
    startup(std::atoi(arg(1, "100")));
  else if (cmd == "paste")
    paste(std::atoi(arg(1, "100")), std::atoi(arg(2, "5")));
  else if (cmd == "session") {
    int k = 0;
    while (k < NKINDS && std::strcmp(arg(1, ""), kindarg[k]) != 0) ++k;
    if (k == NKINDS || std::string(arg(4, "")) != "--") die("usage: session PROG KEY N -- CMD...");
    std::vector<std::string> wrapped(argv + i + 5, argv + argc);
    if (wrapped.empty()) die("session: no command");
    return session(kind(k), arg(2, ""), std::atoi(arg(3, "0")), wrapped);
  } else
    die("unknown command " + cmd);
  return 0;
}
