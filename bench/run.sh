#!/usr/bin/env bash
# Builds keybytes and its benchmarks (Release, the `bench` preset), runs every
# measurement and writes bench/RESULTS.md. Installs what it needs with apt
# when missing. Takes a few minutes; PRESSES, PASTE_KB, PASTE_RUNS, STARTS
# and SESSION_KEYS override the sizes.
set -euo pipefail
cd "$(dirname "$0")/.."

PRESSES=${PRESSES:-2000}          # presses a key and program for the latency
PASTE_KB=${PASTE_KB:-100}         # size of the paste
PASTE_RUNS=${PASTE_RUNS:-5}       # pastes a program
STARTS=${STARTS:-200}             # starts a program for the start-up time
SESSION_KEYS=${SESSION_KEYS:-500} # presses a key in the strace and valgrind sessions
ESC_TRIES=${ESC_TRIES:-50}        # lone Escapes and split sequences

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

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
: >"$tmp/values"
: >"$tmp/summary"

# Timed runs share one CPU with their programs and get a higher priority, so
# that compilers running beside them on this machine do not set the figures.
cpu=$(($(nproc) - 1))
pin=(taskset -c "$cpu" nice -n -15)
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
val() { awk -v k="$1" '$1 == k { print $2; exit }' "$tmp/values"; }
fmt() { printf "%.${2:-0}f" "$1"; }

load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# ------------------------------------------------------------ timings
measure latency "${pin[@]}" "$PB" "${paths[@]}" latency "$PRESSES" 100
delay=$(grep -hoE 'ESCDELAY_MS *= *[0-9]+' platform/*.h platform/*.cpp 2>/dev/null | grep -oE '[0-9]+$' | head -1 || true)
measure esc "${pin[@]}" "$PB" "${paths[@]}" esc "$ESC_TRIES" "${delay:--1}"
measure startup "${pin[@]}" "$PB" "${paths[@]}" startup "$STARTS"
measure paste "${pin[@]}" "$PB" "${paths[@]}" paste "$PASTE_KB" "$PASTE_RUNS"

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
      END { printf "sys.%s.%s.read %.2f\nsys.%s.%s.write %.2f\nsys.%s.%s.other %.2f\n", p, k, r, p, k, w, p, k, o }
    ' "$tmp/sc.$p.none" "$tmp/sc.$p.$k" >>"$tmp/values"
  done
done

# ------------------------------------------------------------ report
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
{
  echo "# keybytes: measured against its peers"
  echo
  echo "Generated by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC') from commit $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . ':!bench/RESULTS.md' || echo ' (with local changes)')."
  echo
  echo "| machine | |"
  echo "|---|---|"
  echo "| CPU | $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores |"
  echo "| memory | $(free -h | awk '/^Mem:/ { print $2 }') |"
  echo "| system | $(uname -sr), $(. /etc/os-release && echo "$PRETTY_NAME") |"
  echo "| compiler | $(c++ --version | head -1), Release (-O3) |"
  echo "| showkey | kbd $(dpkg-query -W -f '${Version}' kbd) |"
  echo "| load average (1, 5, 15 min) | before $load_before, after $load_after |"
  echo
  echo "Timed runs are pinned to CPU $cpu with the programs they drive, at nice -15, so that"
  echo "other work on the machine (developers compiling) delays them as little as possible; the"
  echo "load average above is the machine's. Each figure is the median with its spread; every"
  echo "ratio compares programs measured in the same run, taking turns."
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
  hs=$(val heap.session.keybytes)
  echo "| Heap allocations during a session of $((5 * SESSION_KEYS)) key presses, after start-up | $hs | 0 | $([ "$hs" = 0 ] && echo met || echo '**not met**') |"
  for k in enter lettera shiftf5; do
    r=$(val "sys.keybytes.$k.read")
    echo "| read() calls per key press, $k | $r | 1 | $(awk -v v="$r" 'BEGIN { print (v <= 1.005) ? "met" : "**not met**" }') |"
  done
  echo
  echo "## 1. Key-to-screen latency"
  echo
  cat "$tmp/latency.md"
  echo "## 2. Lone Escape and split sequences"
  echo
  if [ -n "$delay" ]; then
    echo "The documented lone-Escape delay is $delay ms (\`ESCDELAY_MS\`)."
  else
    echo "No lone-Escape delay constant was found in \`platform/\`; the target cannot be judged."
  fi
  echo
  cat "$tmp/esc.md"
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
  row "heap allocations during $((5 * SESSION_KEYS)) key presses" heap.session
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
  echo "| key | program | read | write | other |"
  echo "|---|---|---:|---:|---:|"
  for k in enter lettera shiftf5; do
    for p in "${progs[@]}"; do
      echo "| $k | $p | $(val "sys.$p.$k.read") | $(val "sys.$p.$k.write") | $(val "sys.$p.$k.other") |"
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
} >bench/RESULTS.md
echo "wrote bench/RESULTS.md" >&2
