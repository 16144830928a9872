#!/usr/bin/env bash
# Builds keybytes and its benchmarks (Release, the `bench` preset), runs every
# measurement and writes bench/RESULTS.md, which records the commit, the
# machine, how the timed runs were set up and how long this script took.
# Installs what it needs with apt when missing. Run it as root: the timed
# runs raise their priority and keep the CPUs from sleeping.
#
#   bench/run.sh           the full run, about a minute on a 2-core machine
#                          once built, after a wait of at most QUIET_WAIT for
#                          a quiet machine: writes bench/RESULTS.md
#   bench/run.sh --quick   every measurement, small sizes, no wait, under a
#                          minute: writes build/bench/RESULTS.quick.md
#
# PRESSES, PASTE_KB, PASTE_RUNS, STARTS, SESSION_KEYS and ESC_TRIES override
# the sizes; QUIET_WAIT (60) bounds the wait for a quiet machine, in seconds;
# OUT names the file written.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = --quick ] && quick=1
if ((quick)); then
  PRESSES=${PRESSES:-200} PASTE_RUNS=${PASTE_RUNS:-2} STARTS=${STARTS:-30}
  SESSION_KEYS=${SESSION_KEYS:-50} ESC_TRIES=${ESC_TRIES:-10} QUIET_WAIT=${QUIET_WAIT:-0}
fi
PRESSES=${PRESSES:-2000}          # presses a key and program for the latency
PASTE_KB=${PASTE_KB:-100}         # size of the paste
PASTE_RUNS=${PASTE_RUNS:-5}       # pastes a program
STARTS=${STARTS:-200}             # starts a program for the start-up time
SESSION_KEYS=${SESSION_KEYS:-500} # presses a key in the strace and valgrind sessions
ESC_TRIES=${ESC_TRIES:-50}        # lone Escapes and split sequences
QUIET_WAIT=${QUIET_WAIT:-60}      # seconds to wait at most for a quiet machine
if ((quick)); then OUT=${OUT:-build/bench/RESULTS.quick.md}; else OUT=${OUT:-bench/RESULTS.md}; fi

# ------------------------------------------------------------ tools
need=()
for pkg in cmake ninja-build g++ binutils util-linux kbd strace valgrind libbenchmark-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  echo "installing: ${need[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

# The commit measured, and whether the tree differs from it (RESULTS.md
# itself aside).
commit=$(git rev-parse --short HEAD)
if git diff --quiet HEAD -- . ':!bench/RESULTS.md' && [ -z "$(git ls-files --others --exclude-standard)" ]; then
  tree=clean
else
  tree="dirty (local changes)"
fi

# ------------------------------------------------------------ build
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null

B=build/bench
KB=$B/app/keybytes
SK=$(command -v showkey)
FL=$B/bench/echofloor
PB=$B/bench/ptybench
DB=$B/bench/decodebench
DC=$B/bench/decodecount
KBB=$B/bench/keybytes_batched # keybytes with batched output, for comparison

tmp=$(mktemp -d)
: >"$tmp/values"
: >"$tmp/summary"

# ------------------------------------------------------------ setting
# A key press through a pseudo-terminal wakes, in turn, a kernel worker that
# moves the bytes to the other side, the program, a worker again and the
# reader. Left alone, this machine's timings turn bimodal for reasons that
# have nothing to do with the programs:
# - The worker comes from the kernel's unbound pool and runs on any CPU,
#   whatever taskset says. Each hop to the other CPU costs an interrupt
#   between CPUs, and on a virtual machine whose other CPU halted, 10-20 µs
#   to wake it: every press then takes 80-110 µs instead of 7-15.
# - A busy loop that keeps the CPUs awake (SCHED_IDLE) loses that status
#   against a program in another session: each session is a scheduling
#   group of its own (autogroup), and groups weigh alike. A woken program
#   then waits for the next scheduler tick, 4 ms at HZ=250. showkey -a, which
#   sleeps and wakes once for every byte, met this in most presses.
# So the timed runs share one CPU with the workers, the CPUs poll instead of
# halting when idle (a zero wake-up latency request, the kernel's own way,
# held while this script runs), and no busy loop competes. The harness and
# the programs run at nice -15, each in a session whose group takes that
# nice (bench/ptybench.cpp). All of it needs root; what could not be done is
# reported.
cpu=$(($(nproc) - 1))
pin=(setsid -w taskset -c "$cpu" nice -n -15)
wqmask=/sys/devices/virtual/workqueue/cpumask
wqwas=
setting=()
if [ -w "$wqmask" ] && wqwas=$(cat "${wqmask}_requested" 2>/dev/null || cat "$wqmask") &&
  printf '%x' $((1 << cpu)) >"$wqmask" 2>/dev/null; then
  setting+=("the kernel's unbound workers on CPU $cpu too")
else
  wqwas=
  setting+=("**the kernel's unbound workers on any CPU** (could not confine them)")
fi
if { exec 9>/dev/cpu_dma_latency; } 2>/dev/null && printf '\0\0\0\0' >&9 2>/dev/null; then
  setting+=("idle CPUs polling instead of halting (/dev/cpu_dma_latency held at 0)")
else
  setting+=("**idle CPUs may halt** (/dev/cpu_dma_latency not writable)")
fi
if [ "$(id -u)" = 0 ]; then
  setting+=("harness and programs at nice -15, their session groups too")
else
  pin=(setsid -w taskset -c "$cpu")
  setting+=("**no raised priority** (not root)")
fi
restore() {
  exec 9>&-
  if [ -n "$wqwas" ]; then echo "$wqwas" >"$wqmask" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap restore EXIT
trap 'exit 130' INT TERM HUP # through the EXIT trap

paths=(--keybytes "$KB" --showkey "$SK" --floor "$FL")

# Runs a measurement; its markdown goes to $tmp/NAME.md, its @value and
# @summary lines to the shared lists.
measure() {
  local name=$1
  shift
  echo "running: $name" >&2
  "$@" >"$tmp/raw"
  grep '^@value ' "$tmp/raw" | cut -d' ' -f2- >>"$tmp/values" || true
  grep '^@summary ' "$tmp/raw" | cut -d' ' -f2- >>"$tmp/summary" || true
  grep -v '^@' "$tmp/raw" >"$tmp/$name.md" || true
}
wait_ms() { sed -n "s/.*constexpr int $1 = \([0-9]*\);.*/\1/p" platform/emuconsole.h platform/negotiate.h; }
val() { awk -v k="$1" '$1 == k { $1 = ""; sub(/^ /, ""); print; exit }' "$tmp/values"; }
fmt() { printf "%.${2:-0}f" "$1"; }

load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# ------------------------------------------------------------ timings
# Other work on the machine (a compiler, a busy host) still shows. Wait at
# most QUIET_WAIT seconds for a short probe of the floor to take under
# 20 µs a letter, then time whatever the machine is like; RESULTS.md says
# how long the wait was and what the probe saw.
waited=0
while :; do
  probe=$("${pin[@]}" "$PB" "${paths[@]}" latency 60 20 | awk '$1 == "@value" && $2 == "latency.1.floor" { print $3 }')
  if awk -v v="$probe" 'BEGIN { exit !(v < 20) }' || ((waited >= QUIET_WAIT)); then break; fi
  echo "waiting for a quiet machine: the floor takes $(fmt "$probe" 1) µs" >&2
  sleep 10
  waited=$((waited + 10))
done
measure latency "${pin[@]}" "$PB" "${paths[@]}" --batched "$KBB" latency "$PRESSES" 20
measure esc "${pin[@]}" "$PB" "${paths[@]}" esc "$ESC_TRIES"
measure paste "${pin[@]}" "$PB" "${paths[@]}" --batched "$KBB" paste "$PASTE_KB" "$PASTE_RUNS"
measure startup "${pin[@]}" "$PB" "${paths[@]}" startup "$STARTS"

# The emulated console alone, on a pseudo-terminal (Google Benchmark; the
# median of its repetitions): a lone ESC's wait and a whole sequence, from
# the bytes written to the record read; the keyboard-protocol queries on a
# terminal that answers nothing and on ones that answer at once.
gbench() { # name binary -> "@value name.benchmark milliseconds" lines
  echo "running: $1" >&2
  "${pin[@]}" "$2" --benchmark_format=csv 2>/dev/null |
    awk -F, -v n="$1" '$1 ~ /_median"$/ {
        split($1, part, "/")
        t = $3; u = $5; gsub(/"/, "", u)
        if (u == "us") t /= 1e3; else if (u == "ns") t /= 1e6; else if (u == "s") t *= 1e3
        printf "%s.%s %.4f\n", n, part[2], t }' >>"$tmp/values"
}
gbench esc_delay "$B/bench/esc_delay"
gbench negotiation "$B/bench/negotiation"

# ------------------------------------------------------------ decoder
# Throughput: Google Benchmark, 10 repetitions; items are key presses.
echo "running: decodebench" >&2
"${pin[@]}" "$DB" --benchmark_repetitions=10 --benchmark_min_time=0.2 \
  --benchmark_format=csv >"$tmp/db.csv" 2>/dev/null
# Instructions: callgrind over 1 and 3 passes of the same input; the
# difference, per key press, is the cost without start-up.
cgfn() { # annotate-file pattern -> inclusive instructions
  awk -v pat="$2" 'index($0, pat) { gsub(",", "", $1); print $1; exit }' "$1"
}
for how in typed pasted; do
  echo "running: callgrind $how" >&2
  for passes in 1 3; do
    valgrind --tool=callgrind --callgrind-out-file="$tmp/cg.$how.$passes" --log-file=/dev/null \
      "$DC" translate "$how" "$passes" >"$tmp/dc.out"
    callgrind_annotate --inclusive=yes --threshold=100 "$tmp/cg.$how.$passes" >"$tmp/cgi.$how.$passes" 2>/dev/null
    callgrind_annotate --threshold=100 "$tmp/cg.$how.$passes" >"$tmp/cgs.$how.$passes" 2>/dev/null
  done
  keys=$(awk '{ print $1; exit }' "$tmp/dc.out")
  per() { # pattern [self] -> instructions per key press
    local f=cgi
    [ "${2:-}" = self ] && f=cgs
    echo "$(cgfn "$tmp/$f.$how.3" "$1") $(cgfn "$tmp/$f.$how.1" "$1")" |
      awk -v k="$keys" '{ printf "%.1f", ($1 - $2) / (2 * k) }'
  }
  total=$(per "PROGRAM TOTALS")
  dec=$(per ":decode(decoder&")
  reader=$(awk -v a="$(per ":getchGNU()")" -v b="$(per ":ReadConsoleInputA(")" 'BEGIN { printf "%.1f", a - b }')
  both=$(awk -v a="$dec" -v b="$reader" 'BEGIN { printf "%.1f", a + b }')
  echo "ipk.$how $both" >>"$tmp/values"
  echo "| $how | $dec | $reader | **$both** | $total |" >>"$tmp/ipk.rows"
  if [ "$how" = typed ]; then
    echo "ipk.decode $both" >>"$tmp/values"
    # Where the instructions go, per key press, own cost of each function.
    awk -v k="$keys" '
      !/^ *[0-9,]+ +\( *[0-9.]+%\)/ || /PROGRAM TOTALS/ { next }
      { n = $1; gsub(",", "", n); f = $0
        sub(/^ *[0-9,]+ +\( *[0-9.]+%\) +/, "", f); sub(/ \[.*/, "", f); sub(/^\?\?\?:/, "", f) }
      FNR == NR { one[f] = n; next }
      { d = (n - one[f]) / (2 * k); if (d >= 2) printf "| `%s` | %.1f |\n", f, d }
    ' "$tmp/cgs.$how.1" "$tmp/cgs.$how.3" | sort -t'|' -k3 -rn >"$tmp/ipk.self"
  fi
done
{
  echo "Mixed input of 10,000 key presses held in memory ($(awk '{ print $5; exit }' "$tmp/dc.out") bytes: text,"
  echo "line ends, Backspace and Tab, arrows and editing keys with and without modifiers,"
  echo "function keys, Alt and Ctrl combinations, UTF-8), fed to the decoder *typed* (one chunk"
  echo "per key press, as a person types) or *pasted* (256-byte chunks, the emulated console's"
  echo "read size). \"decode + translate\" runs the key reader (\`getchGNU\`, with its translation)"
  echo "until the input is used up, over a console that decodes from memory (\`bench/mixed.cpp\`)."
  echo
  echo "Google Benchmark, 10 repetitions (CPU time; median, min–max):"
  echo
  echo "| benchmark | key presses/s | min–max | records/s |"
  echo "|---|---:|---:|---:|"
  awk -F, 'NR > 1 && $1 !~ /_(mean|median|stddev|cv)"$/ {
      gsub(/"/, "", $1); n[$1]++; v[$1, n[$1]] = $7; r[$1, n[$1]] = $11; order[$1] = NR }
    function med(a, name, c,   i, j, t, x) {
      for (i = 1; i <= c; i++) x[i] = a[name, i]
      for (i = 1; i <= c; i++) for (j = i + 1; j <= c; j++) if (x[j] < x[i]) { t = x[i]; x[i] = x[j]; x[j] = t }
      lo = x[1]; hi = x[c]
      return (c % 2) ? x[(c + 1) / 2] : (x[c / 2] + x[c / 2 + 1]) / 2 }
    END { for (b in n) {
        m = med(v, b, n[b]); l = lo; h = hi; mr = med(r, b, n[b])
        printf "%d| %s | %.2f M | %.2f–%.2f M | %.2f M |\n", order[b], b, m / 1e6, l / 1e6, h / 1e6, mr / 1e6 } }
  ' "$tmp/db.csv" | sort -n | cut -d'|' -f2- | sed 's/^/|/'
  echo
  echo "Instructions per key press (callgrind, deterministic; 3 passes less 1 pass, over the"
  echo "20,000 key presses of the 2 added passes). *decode*: the decoder, records included;"
  echo "*reader + translation*: \`getchGNU\` with \`isSpecialKey\`/\`get_nonascii_key\` and the"
  echo "hand-out of bytes; *whole path* adds the in-memory console's record queue, which stands"
  echo "in for the emulated console's. No write calls are included."
  echo
  echo "| input | decode | reader + translation | decode + translate | whole path |"
  echo "|---|---:|---:|---:|---:|"
  cat "$tmp/ipk.rows"
  echo
  echo "Own instructions per key press of each function (typed input, ≥ 2; \`step\` and"
  echo "\`ReadConsoleInputA\` are the in-memory console's):"
  echo
  echo "| function | per key press |"
  echo "|---|---:|"
  cat "$tmp/ipk.self"
} >"$tmp/decode.md"

# ------------------------------------------------------------ footprint
progs=(keybytes showkey floor)
declare -A cmd=([keybytes]="$KB" [showkey]="$SK -a" [floor]="$FL")
declare -A bin=([keybytes]="$KB" [showkey]="$SK" [floor]="$FL")

# Heap: a session that starts and quits, and one with key presses of every
# kind; what the second allocates beyond the first is allocated per key.
heap() { # prog keys n -> "allocs bytes"
  local log="$tmp/vg.$1.$2"
  # shellcheck disable=SC2086
  "$PB" "${paths[@]}" session "$1" "$2" "$3" -- \
    valgrind --tool=memcheck --log-file="$log" ${cmd[$1]} >/dev/null
  sed -nE 's/.*total heap usage: ([0-9,]+) allocs, [0-9,]+ frees, ([0-9,]+) bytes.*/\1 \2/p' "$log" | tr -d ,
}
for p in "${progs[@]}"; do
  echo "running: heap $p" >&2
  read -r a0 b0 < <(heap "$p" none 0)
  read -r a1 b1 < <(heap "$p" mixed "$SESSION_KEYS")
  echo "heap.start.$p $a0" >>"$tmp/values"
  echo "heap.startbytes.$p $b0" >>"$tmp/values"
  echo "heap.session.$p $((a1 - a0))" >>"$tmp/values"
  echo "heap.sessionbytes.$p $((b1 - b0))" >>"$tmp/values"
done
# Where keybytes' start-up allocations come from, if it makes any.
if [ "$(val heap.start.keybytes)" != 0 ]; then
  "$PB" "${paths[@]}" session keybytes none 0 -- valgrind --tool=memcheck \
    --xtree-memory=full --xtree-memory-file="$tmp/xt.kcg" --log-file=/dev/null "$KB" >/dev/null
  callgrind_annotate --inclusive=yes "$tmp/xt.kcg" 2>/dev/null |
    awk '/file:function/ { on = 1; next } on && NF { print }' | head -12 >"$tmp/xtree.txt"
fi

# Stripped size of the file as it runs.
for p in "${progs[@]}"; do
  strip -o "$tmp/stripped" "${bin[$p]}"
  echo "size.$p $(stat -c %s "$tmp/stripped")" >>"$tmp/values"
  echo "libs.$p $(ldd "${bin[$p]}" | awk '$1 !~ /vdso|ld-linux/ { printf "%s%s", sep, $1; sep = "," }')" >>"$tmp/values"
done

# System calls per key press: a session of N presses of one key, less a
# session that starts and quits, divided by N.
syscalls() { # prog key n -> file
  # shellcheck disable=SC2086
  "$PB" "${paths[@]}" session "$1" "$2" "$3" -- strace -f -c -o "$tmp/st.$1.$2" ${cmd[$1]} >/dev/null
  awk '$1 ~ /^[0-9.]+$/ && $NF != "total" { print $NF, $4 }' "$tmp/st.$1.$2"
}
for p in "${progs[@]}"; do
  echo "running: strace $p" >&2
  syscalls "$p" none 0 >"$tmp/sc.$p.none"
  for k in enter lettera shiftf5; do
    syscalls "$p" "$k" "$SESSION_KEYS" >"$tmp/sc.$p.$k"
    awk -v n="$SESSION_KEYS" -v p="$p" -v k="$k" '
      FNR == NR { base[$1] = $2; next }
      { d = ($2 - base[$1]) / n; if ($1 == "read") r += d; else if ($1 == "write") w += d; else o += d }
      $1 != "read" && $1 != "write" && $2 != base[$1] { names = names sprintf("%s%s %.2f", names ? ", " : "", $1, ($2 - base[$1]) / n) }
      END { printf "sys.%s.%s.read %.2f\nsys.%s.%s.write %.2f\nsys.%s.%s.other %.2f%s\n", p, k, r, p, k, w, p, k, o, names ? " (" names ")" : ""
            printf "sys.%s.%s.all %.2f\nsys.%s.%s.reading %.2f\n", p, k, r + w + o, p, k, r + o }
    ' "$tmp/sc.$p.none" "$tmp/sc.$p.$k" >>"$tmp/values"
  done
done

# Writes per key press of the batched program.
for n in 0 "$SESSION_KEYS"; do
  "$PB" "${paths[@]}" --keybytes "$KBB" session keybytes shiftf5 "$n" -- \
    strace -f -c -o "$tmp/st.batched.$n" "$KBB" >/dev/null
done
awk -v n="$SESSION_KEYS" '$NF == "write" { w[FILENAME] = $4 } END { for (f in w) if (f ~ /\.0$/) b = w[f]; else a = w[f]; printf "%.2f", (a - b) / n }' \
  "$tmp/st.batched.0" "$tmp/st.batched.$SESSION_KEYS" >"$tmp/batched.writes"

# ------------------------------------------------------------ report
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
if ((waited == 0)); then
  quiet="none: a probe of the floor took $(fmt "$probe" 1) µs a letter"
elif awk -v v="$probe" 'BEGIN { exit !(v < 20) }'; then
  quiet="$waited s, until a probe of the floor took $(fmt "$probe" 1) µs a letter"
else
  quiet="$waited s, the limit; the machine stayed busy (the floor took $(fmt "$probe" 1) µs a letter)"
fi
mode="the full run"
((quick)) && mode="**a quick run** (\`--quick\`: small sizes, for development only)"
{
  echo "# keybytes: measured against its peers"
  echo
  echo "Generated by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC') from commit $commit; the tree"
  echo "was $tree. This was $mode; it took $((SECONDS / 60)) min $((SECONDS % 60)) s, building"
  echo "included, of which the wait for a quiet machine (at most QUIET_WAIT = $QUIET_WAIT s) took $waited s."
  echo
  echo "| machine | |"
  echo "|---|---|"
  echo "| CPU | $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores |"
  echo "| memory | $(free -h | awk '/^Mem:/ { print $2 }') |"
  echo "| system | $(uname -sr), $(. /etc/os-release && echo "$PRETTY_NAME") |"
  echo "| compiler | $(c++ --version | head -1), Release (-O3) |"
  echo "| showkey | kbd $(dpkg-query -W -f '${Version}' kbd) |"
  echo "| load average (1, 5, 15 min) | before $load_before, after $load_after |"
  echo "| wait for a quiet machine | $quiet |"
  echo
  echo "Timed runs (sections 1, 2, 4's start-up and 5) are pinned to CPU $cpu with the programs"
  echo "they drive, with:"
  echo
  printf -- '- %s\n' "${setting[@]}"
  echo
  echo "A key press through a pseudo-terminal passes a kernel worker twice; a worker on the"
  echo "other CPU, or a CPU that halted, adds 10–20 µs a hop, and a program in a scheduling"
  echo "group weaker than what runs beside it waits for the next scheduler tick (4 ms). Set up"
  echo "as above, every program meets the same conditions; other work on the machine still"
  echo "shows in the spread. Each figure is the median with its spread; every ratio compares"
  echo "programs measured in the same run, taking turns."
  echo
  echo "## Summary against the targets"
  echo
  echo "| figure | measured | target | |"
  echo "|---|---|---|---|"
  cat "$tmp/summary"
  ipk=$(val ipk.decode)
  if [ -n "$ipk" ]; then
    echo "| Instructions per key, decode + translate (callgrind) | $(fmt "$ipk" 1) | ≤ 300 | $(awk -v v="$ipk" 'BEGIN { print (v <= 300) ? "met" : "**not met**" }') |"
  fi
  echo "| Heap at start-up (valgrind): keybytes / showkey -a | $(val heap.start.keybytes) allocations, $(val heap.startbytes.keybytes) bytes / $(val heap.start.showkey) allocations, $(val heap.startbytes.showkey) bytes | say what | |"
  hs=$(val heap.session.keybytes)
  echo "| Heap allocations during a session of $SESSION_KEYS key presses of five kinds, after start-up | $hs | 0 | $([ "$hs" = 0 ] && echo met || echo '**not met**') |"
  for k in enter lettera shiftf5; do
    r=$(val "sys.keybytes.$k.read")
    echo "| read() calls per key press, $k | $r | 1 | $(awk -v v="$r" 'BEGIN { print (v <= 1.005) ? "met" : "**not met**" }') |"
  done
  # Every call but the writes of the items shown goes to reading the key.
  for k in enter lettera shiftf5; do
    r=$(val "sys.keybytes.$k.reading")
    echo "| System calls to read a key press (strace, all but the writes), $k | $r | 1 | $(awk -v v="$r" 'BEGIN { print (v <= 1.005) ? "met" : "**not met**" }') |"
  done
  for k in enter lettera shiftf5; do
    echo "| System calls per key press, $k: keybytes / showkey -a (strace) | $(val "sys.keybytes.$k.all") / $(val "sys.showkey.$k.all") | say what | |"
  done
  echo
  echo "## 1. Key-to-screen latency"
  echo
  floor=$(val latency.1.floor)
  if awk -v v="$floor" 'BEGIN { exit !(v > 30) }'; then
    echo "**Note:** the floor (a bare echo) took a median $(fmt "$floor" 1) µs for a letter in this"
    echo "run, against 7–10 µs on this machine set up as above: the kernel workers or other work"
    echo "set most of every figure below. Run again on a quiet machine, as root."
    echo
  fi
  cat "$tmp/latency.md"
  echo "## 2. Lone Escape, split sequences and the keyboard negotiation"
  echo
  cat "$tmp/esc.md"
  echo "The emulated console alone, on a pseudo-terminal of its own, from the bytes written to"
  echo "the key record read (\`bench/esc_delay.cpp\`; Google Benchmark, median of 3 repetitions):"
  echo "a lone ESC $(fmt "$(val esc_delay.lone_esc)" 1) ms (the wait, ESC_WAIT_MS, is $(wait_ms ESC_WAIT_MS) ms), a whole"
  echo "sequence (Up arrow) $(fmt "$(awk -v v="$(val esc_delay.up_arrow)" 'BEGIN { print v * 1000 }')" 1) µs, st's Ctrl+Delete (a bare"
  echo "CSI M, settled where the read ends) $(fmt "$(awk -v v="$(val esc_delay.st_ctrl_delete)" 'BEGIN { print v * 1000 }')" 1) µs."
  echo
  echo "The keyboard-protocol queries at the first read, from the queries written to the"
  echo "protocol turned on (\`bench/negotiation.cpp\`; median of 3 repetitions):"
  echo
  echo "| terminal | ms |"
  echo "|---|---:|"
  echo "| answers nothing (the whole wait, ASK_WAIT_MS = $(wait_ms ASK_WAIT_MS) ms) | $(fmt "$(val negotiation.silent)" 1) |"
  echo "| answers at once: kitty protocol | $(fmt "$(val negotiation.kitty)" 3) |"
  echo "| answers at once: win32-input-mode and kitty protocol | $(fmt "$(val negotiation.win32_and_kitty)" 3) |"
  echo
  echo "## 3. Decoder and translation throughput"
  echo
  if [ -f "$tmp/decode.md" ]; then cat "$tmp/decode.md"; else echo "Not measured: no decoder benchmark was built."; fi
  echo
  echo "## 4. Footprint"
  echo
  echo "| | keybytes | showkey -a | floor |"
  echo "|---|---:|---:|---:|"
  row() { # title key-prefix [digits] [suffix]
    printf "| %s |" "$1"
    for p in "${progs[@]}"; do
      v=$(val "$2.$p")
      if [ -n "$v" ] && [ -n "${3:-}" ]; then v=$(fmt "$v" "$3"); fi
      printf " %s%s |" "$v" "${4:-}"
    done
    echo
  }
  row "heap allocations at start-up (valgrind)" heap.start
  row "… bytes allocated at start-up" heap.startbytes
  row "heap allocations during $SESSION_KEYS key presses" heap.session
  row "peak RSS, start and quit (KiB, median)" rss.rest 0
  row "peak RSS after the latency session (KiB)" rss.session 0
  row "stripped binary (bytes)" size
  row "shared libraries" libs
  row "start-up to banner (µs, median)" startup 0
  row "… IQR from (µs)" startup.p25 0
  row "… IQR to (µs)" startup.p75 0
  echo
  echo "System calls per key press (strace -c: a session of $SESSION_KEYS presses less one of none, per press):"
  echo
  echo "| key | program | read | write | other | all |"
  echo "|---|---|---:|---:|---:|---:|"
  for k in enter lettera shiftf5; do
    for p in "${progs[@]}"; do
      echo "| $k | $p | $(val "sys.$p.$k.read") | $(val "sys.$p.$k.write") | $(val "sys.$p.$k.other") | $(val "sys.$p.$k.all") |"
    done
  done
  echo
  echo "Writes are one per shown item because keybytes' output is unbuffered; showkey -a writes"
  echo "one line per byte, the floor one write per read."
  if [ -f "$tmp/xtree.txt" ]; then
    echo
    echo "Where keybytes' start-up allocations come from (valgrind xtree, inclusive):"
    echo
    echo '```'
    cat "$tmp/xtree.txt"
    echo '```'
  fi
  echo
  cat "$tmp/startup.md"
  echo "## 5. Paste"
  echo
  cat "$tmp/paste.md"
  echo "## 6. What is slow or wasteful"
  echo
  echo "**One write per shown item.** keybytes' output is unbuffered, so a key press that shows"
  echo "seven items (Shift+F5) costs seven write calls, and a paste one per byte. The same"
  echo "program linked with a full output buffer that is flushed whenever the emulated console"
  echo "is about to wait for input (\`keybytes_batched\`, \`bench/batched.cpp\`: one write per"
  echo "key press when typing, one per read when pasting; the same bytes) took its turn in the"
  echo "latency and paste runs above (sections 1 and 5), beside the others (medians):"
  echo
  echo "| | keybytes | batched | floor |"
  echo "|---|---:|---:|---:|"
  i=0
  for k in Enter "letter a" Shift+F5; do
    echo "| latency, $k, µs | $(fmt "$(val latency.$i.keybytes)" 1) | $(fmt "$(val latency.$i.batched)" 1) | $(fmt "$(val latency.$i.floor)" 1) |"
    i=$((i + 1))
  done
  i=0
  for k in Enter "letter a" Shift+F5; do
    echo "| latency ratio to the floor, $k (ratio of medians) | $(fmt "$(val ratio.floor.$i)" 2) | $(fmt "$(val ratio.batched.$i)" 2) | 1 |"
    i=$((i + 1))
  done
  echo "| paste of $PASTE_KB KB, ms | $(fmt "$(val paste.keybytes)" 1) | $(fmt "$(val paste.batched)" 1) | $(fmt "$(val paste.floor)" 1) |"
  echo "| write calls per Shift+F5 | $(val sys.keybytes.shiftf5.write) | $(cat "$tmp/batched.writes") | $(val sys.floor.shiftf5.write) |"
  ew=$(val sys.keybytes.enter.write)
  if awk -v v="$ew" 'BEGIN { exit !(v > 2.5) }'; then
    echo
    echo "**A line end costs two writes.** Enter shows a line end and one item, yet costs $ew"
    echo "write calls: the compiler turns \`printf(\"\\r\\n\")\` into \`puts(\"\\r\")\`, which on an"
    echo "unbuffered stream writes \"\\r\" and \"\\n\" apart (strace shows both). \`fputs(\"\\r\\n\", stdout)\`"
    echo "writes both in one call; the banner's lines split the same way."
  fi
  other=$(val sys.keybytes.lettera.other)
  echo
  if awk -v v="${other%% *}" 'BEGIN { exit !(v > 0.005) }'; then
    echo "**System calls besides read and write.** Per key press keybytes makes $other other"
    echo "calls (see section 4), the floor and showkey -a none."
  else
    echo "**One read a key press.** Where nothing is pending and no answer is awaited, the"
    echo "read itself waits for the key: besides it keybytes makes only the writes of the items"
    echo "shown (section 4), as showkey -a and the floor do."
  fi
  topf=$(head -1 "$tmp/ipk.self" | awk -F'|' '{ gsub(/^ +| +$/, "", $2); print $2 }')
  topn=$(head -1 "$tmp/ipk.self" | awk -F'|' '{ gsub(/^ +| +$/, "", $3); print $3 }')
  echo
  echo "**Instructions in the decoder.** The most costly function per key press is $topf, with"
  echo "$topn instructions of its own (section 3, typed input), against a target of 300 for all"
  echo "of decode and translate."
} >"$OUT"
echo "wrote $OUT" >&2
