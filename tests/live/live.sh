#!/usr/bin/env bash
# keybytes in a real terminal on a virtual X server of its own, typed at
# with real key events (XTEST). Each key's display is compared with what the
# key map gives for that key in a Windows console, written out by hand below.
# Usage: live.sh xterm|kitty|tmux|st|st-normal|urxvt|vte KEYBYTES [KEYBYTES-TRACE]
# With KEYBYTES-TRACE, keybytes-trace then runs in a terminal of its own.
# live.sh xtermjs-legacy|xtermjs-kitty|xtermjs-win32 KEYBYTES runs it in
# xterm.js in headless Chromium instead (xtermjs/drive.js, its modules on
# NODE_PATH), with default options, the kitty keyboard protocol, or that
# and win32-input-mode; no X server, the keys typed as DOM key events.
set -uo pipefail
# No globbing: the expected items (st=*, [0x1b][H) are words, not patterns.
set -f
term=$1 kb=$2
here=$(cd "$(dirname "$0")" && pwd)
if [[ $term == xtermjs-* ]]; then
  chromium=$(command -v chromium)
  # ctest counts exit status 77 as skipped.
  command -v node >/dev/null || { echo "SKIP: no node, which xterm.js needs"; exit 77; }
  [[ -n $chromium ]] || { echo "SKIP: no chromium, which xterm.js needs"; exit 77; }
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/keybytes-live.XXXXXX")
log=$dir/log
pids=()

stop() {
  local p
  # keybytes ignores hangup and terminate: a test that failed kills it.
  [[ -e $dir/status || ! -s $dir/keybytes.pid ]] || kill -KILL "$(<"$dir/keybytes.pid")" 2>/dev/null
  # The tmux server removes its socket when it ends.
  [[ -S $dir/tmux.sock && -s $dir/tmux.pid ]] && kill "$(<"$dir/tmux.pid")" 2>/dev/null
  for ((p = ${#pids[@]} - 1; p >= 0; p--)); do kill "${pids[p]}" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$dir"
}
trap stop EXIT
trap 'exit 1' HUP INT TERM

fails=0
fail() {
  echo "FAIL [$term] $*"
  ((++fails < ${LIVE_MAXFAIL:-10})) || { echo "too many failures"; cat -v "$log"; exit 1; }
}

# until SECONDS_MAX COMMAND...: runs COMMAND until it succeeds or time is up.
until_ok() {
  local end=$((SECONDS + $1)); shift
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.01
  done
}

# A display of our own: a number from our pid, skipping any with a lock file
# (stale or live). The server writes the number to fd 3 once it is ready; a
# server that lost a race for the number ends instead.
x_settled() { [[ -s $dir/display ]] || ! kill -0 "$1" 2>/dev/null; }
start_x() {
  local n=$((200 + $$ % 700)) i pid
  for ((i = 0; i < 50; i++, n++)); do
    [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
    : >"$dir/display"
    Xvfb ":$n" -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
    pid=$!
    until_ok 20 x_settled "$pid"
    if [[ -s $dir/display ]]; then
      pids+=("$pid")
      export DISPLAY=:$n
      return
    fi
    kill "$pid" 2>/dev/null
    wait "$pid"
  done
  echo "no display could be started"; cat "$dir/xvfb.log"; exit 1
}

# What keybytes has shown: the items after the banner, without line ends and
# without the control sequences it writes to the terminal itself.
shown() {
  local s
  s=$(sed -e $'s/\e\\[[0-9;?<>=$]*[A-Za-z~]//g' -e $'s/\e[=>78]//g' -e '/^Script done on /d' "$log" 2>/dev/null | tr -d '\r\n')
  [[ $s == *"ctrl-c."* ]] || return 1
  printf '%s' "${s#*ctrl-c.}"
}

# lockset Num_Lock|Caps_Lock on|off: toggles a lock and waits until the
# server has it so.
lock_is() { xset q | grep -q "${1%_Lock} Lock: *$2"; }
lockset() {
  typekeys "$1"
  # Under xterm.js the driver keeps the locks itself.
  [[ $term == xtermjs-* ]] || until_ok 5 lock_is "$1" "$2" || fail "$1 did not turn $2"
}
# typekeys KEY...: types keys as xdotool names them, one after another.
typekeys() {
  if [[ $term == xtermjs-* ]]; then printf '%s\n' "$@" >&4; else xdotool key "$@"; fi
}

# The key list. Each line: the keys as xdotool names them, then what
# keybytes shows for them with a Windows console under the key map, then
# TERMINAL=ITEMS where a terminal cannot send that key (TERMINAL=skip leaves
# it out; `st=` holds for st-normal too, `st-normal=` after it for that one
# alone). Keys typed one after another are joined by commas; a key that
# shows nothing is followed by one that does. `\s` stands for a space. Lines
# `@Num_Lock on` and the like set a lock. `xtermjs=` holds for the three
# xterm.js tests. In legacy input xterm.js has no application keypad (the
# keypad sends the main block's characters) and sends nothing for
# Ctrl+Shift+letter, Ctrl+Insert, keypad 5 with NumLock off and Ctrl or Alt
# with a keypad operator: `xtermjs-legacy=skip`.
keys='
a                 a
shift+a           A
ctrl+a            [0x01]
alt+a             [0x1b]a
alt+shift+a       A                # Alt counts only alone: no ESC
ctrl+shift+a      [0x01]       xtermjs-legacy=skip
alt+1             1                # Alt with no letter: the bare character
shift+1           !
Up                [0x1b][A
shift+Up          [0x1b][A;2~
ctrl+Up           [0x1b][A;5~
alt+Up            [0x1b][A
ctrl+shift+Up     [0x1b][A;6~  urxvt=[0x1b][A;2~ vte=skip   # urxvt drops Ctrl; VTE scrolls
Down              [0x1b][B
Left              [0x1b][D
ctrl+Right        [0x1b][C;5~
Home              [0x1b][H
alt+Home          [0x1b][1~    st=[0x1b][H   # st drops modifiers it has no form for
shift+Home        [0x1b][H;2~  vte=skip   # VTE scrolls to the top
End               [0x1b][F
shift+End         [0x1b][F;2~  vte=skip   # VTE scrolls to the bottom
ctrl+End          [0x1b][F;5~
Insert            [0x1b][2~
ctrl+Insert       [0x1b][2;5~  vte=skip xtermjs-legacy=skip  # VTE copies
Delete            [0x1b][3~
shift+Delete      [0x1b][3;2~
ctrl+Delete       [0x1b][3;5~
ctrl+shift+Delete [0x1b][3;6~  st=[0x1b][3~
Prior             [0x1b][5~
ctrl+Prior        [0x1b][5;5~  xtermjs=skip   # Chromium keeps it (tab switching)
Next              [0x1b][6~
alt+Next          [0x1b][6~
F1                [0x1b][11~
F2                [0x1b][12~
F3                [0x1b][13~
F4                [0x1b][14~
F5                [0x1b][15~
F6                [0x1b][17~
F7                [0x1b][18~
F8                [0x1b][19~
F9                [0x1b][20~
F10               [0x1b][21~
F11               [0x1b][23~
F12               [0x1b][24~
shift+F1          [0x1b][11;2~ urxvt=[0x1b][23~   # urxvt: Shift+F1..F10 are F11..F20
ctrl+F3           [0x1b][13;5~
alt+F4            [0x1b][14~  xtermjs=skip   # Chromium closes the page
shift+F5          [0x1b][15;2~ urxvt=skip   # F15, which has no row and no character
ctrl+shift+F8     [0x1b][19;6~ st=skip urxvt=skip   # st sends nothing; urxvt Ctrl+F18, no row
ctrl+F12          [0x1b][24;5~
Return            [0x0d]
ctrl+Return       [0x0a]       tmux=[0x0d] st=[0x0d] urxvt=[0x0d] vte=[0x0d] xtermjs-legacy=[0x0d]  # CR but in kitty and in xterm under modifyOtherKeys
shift+Return      [0x0d]
alt+Return        [0x1b][M
# Legacy input sends these as the bytes of other keys (NUL: Ctrl+Shift+2, 0x1F:
# Ctrl+Shift+-, 0x08: Ctrl+H) or as the key without Ctrl; xterm under
# modifyOtherKeys sends them as themselves, but for Ctrl+Backspace.
ctrl+space,b      \sb          tmux=b st=b urxvt=b vte=b xtermjs-legacy=b
shift+space       \s
ctrl+1,b          b            tmux=1b st=1b urxvt=1b vte=1b
ctrl+0,b          b            tmux=0b st=0b urxvt=0b vte=skip   # VTE resets its zoom
ctrl+semicolon,b  b            tmux=;b st=;b urxvt=;b vte=;b
ctrl+comma,b      b            tmux=,b st=,b urxvt=,b vte=,b
ctrl+slash        [0x1b][0o    tmux=[0x1f] st=[0x1f] urxvt=[0x1f] vte=[0x1f] xtermjs-legacy=[0x1f]
ctrl+minus,b      b            tmux=-b st=-b urxvt=[0x1f]b vte=skip   # VTE zooms out
ctrl+Tab,b        b            tmux=[0x09]b st=[0x09]b urxvt=[0x09]b vte=[0x09]b xtermjs=skip   # Chromium keeps it
ctrl+alt+a,b      b                # AltGr, which has no character here
ctrl+BackSpace    [0x7f]       xterm=[0x08] tmux=[0x08] st=[0x08] urxvt=[0x08] vte=[0x08] xtermjs-legacy=[0x08]
Tab               [0x09]
shift+Tab         [0x09]
BackSpace         [0x08]
Escape            [0x1b]
KP_Multiply       [0x1b][0j    st=* xtermjs-legacy=*  # st: keypad operators and Enter stay characters
KP_Subtract       [0x1b][0m    st=- xtermjs-legacy=-
KP_Add            [0x1b][0k    st=+ xtermjs-legacy=+
KP_Divide         /
KP_Enter          [0x1b][M     st=[0x0d] xtermjs-legacy=[0x0d]
KP_Home           [0x1b][H
KP_Up             [0x1b][A
KP_Begin          [0x1b][E     xtermjs-legacy=skip
KP_Prior          [0x1b][5~
KP_Left           [0x1b][D
KP_Right          [0x1b][C
KP_End            [0x1b][F
KP_Down           [0x1b][B
KP_Next           [0x1b][6~
KP_Insert         [0x1b][2~
KP_Delete         [0x1b][3~
shift+KP_Multiply [0x1b][0j    st=* urxvt=* xtermjs-legacy=*  # urxvt: Shift puts the keypad back in normal mode
ctrl+KP_Multiply  [0x1b][0j    st=* xtermjs-legacy=skip
alt+KP_Multiply   [0x1b][0j    st=* xtermjs-legacy=skip
shift+KP_Enter    [0x1b][M     st=[0x0d] urxvt=[0x0d] xtermjs-legacy=[0x0d]
ctrl+KP_Enter     [0x1b][M     st=[0x0d] xtermjs-legacy=[0x0d]
alt+KP_Enter      [0x1b][M     st-normal=[0x0d]   # st drops Alt in normal mode
ctrl+KP_Add       [0x1b][0k    st=+ vte=skip xtermjs-legacy=skip  # VTE keeps it
shift+KP_Subtract [0x1b][0m    xterm=skip tmux=skip vte=skip st=- urxvt=- xtermjs-legacy=-  # xterm (font size) and VTE keep it
alt+KP_Divide     /            st=[0x1b][0o xtermjs-legacy=skip  # st: Alt and the main block /
shift+KP_End      [0x1b][F;2~  vte=skip   # VTE scrolls to the bottom
ctrl+KP_End       [0x1b][F;5~  urxvt=[0x1b][F   # urxvt drops Ctrl on keypad digits
alt+KP_End        [0x1b][F
shift+KP_Up       [0x1b][A;2~  st=[0x1b][A   # st drops Shift on the keypad arrows and 5
ctrl+KP_Begin     [0x1b][E;5~  st=[0x1b][E urxvt=[0x1b][E xtermjs-legacy=skip
shift+KP_Begin    [0x1b][E;2~  st=[0x1b][E urxvt=skip xtermjs-legacy=skip  # urxvt sends nothing
ctrl+KP_Delete    [0x1b][3;5~  urxvt=[0x1b][3~
@Num_Lock on
KP_Home           7
KP_Up             8
KP_Prior          9
KP_Left           4
KP_Begin          5
KP_Right          6
KP_End            1
KP_Down           2
KP_Next           3
KP_Insert         0
KP_Delete         .
shift+KP_Multiply *
alt+KP_Multiply   *            xtermjs-legacy=skip
ctrl+KP_Enter     [0x0a]       xterm=[0x0d] tmux=[0x0d] st=[0x0d] urxvt=[0x0d] vte=[0x0d] xtermjs-legacy=[0x0d]  # CR, as for Ctrl+Enter
shift+KP_Enter    [0x0d]
alt+KP_Add        +            xtermjs-legacy=skip
KP_Multiply       *
KP_Subtract       -
KP_Add            +
KP_Divide         /
KP_Enter          [0x0d]
@Num_Lock off
Shift_L,b         b                # a lone modifier shows nothing
Control_L,b       b
Alt_L,b           b
Control_R,b       b
@Caps_Lock on
a                 A
shift+a           a
@Caps_Lock off
q                 q
'

# ---- keybytes-trace (live.sh TERMINAL KEYBYTES-TRACE) ----
# Its rows: the terminal, the keys, then a pattern (grep -E) for one line it
# shows; `-` for the keys: another line of the same keys. Typing q ends it.
trace_rows="
kitty  Shift_L  ^CSI [0-9;:]+u +down +VK_SHIFT +2a +- +SHIFT +nothing: no character, no row
kitty  -        ^CSI [0-9;:]+u +up +VK_SHIFT +2a +- +- +nothing: key-up dropped
st     ctrl+1   ^1 +down +'1' +02 +'1' +- +1 +31\$
"
if [[ ${kb##*/} == keybytes-trace ]]; then
  keys=''
  # Its lines after the column titles, escape sequences removed.
  shown() {
    local t
    t=$(sed -e $'s/\e\\[[0-9;?<>=$]*[A-Za-z~]//g' -e $'s/\e[=>78]//g' "$log" 2>/dev/null | tr -d '\r' |
      sed -n '/^bytes .*keybytes shows/,$p')
    [[ -n $t ]] && printf '%s\n' "$t" | sed 1d
  }
  shows_line() { s=$(shown) && grep -qE -e "$1" <<<"$s"; }
  trace_keys() {
    local t combo pattern
    while read -r t combo pattern; do
      [[ $t == "$term" ]] || continue
      [[ $combo == - ]] || typekeys ${combo//,/ }
      until_ok 5 shows_line "$pattern" || fail "$combo: no line $pattern in"$'\n'"$s"
    done <<<"$trace_rows"
    typekeys q
    until_ok 10 test -e "$dir/status" || fail "keybytes-trace still runs after q"
    shows_line "down +'Q' +10 +'q' +- +q( |\$)" || fail "q not shown"
    off=${#s}
  }
fi

[[ $term == xtermjs-* ]] || start_x
# Alt must arrive as an ESC prefix, not as the eighth bit.
# Alt+Enter must reach the program, not make the window full screen.
xterm=(xterm -geometry 100x30+0+0 -xrm 'XTerm*metaSendsEscape: true' -xrm 'XTerm*omitTranslation: fullscreen')
case $term in
  xterm) "${xterm[@]}" -l -lf "$log" -e bash "$here/inside.sh" "$dir" "$kb" xterm >"$dir/term.log" 2>&1 &
         class=XTerm ;;
  tmux)  "${xterm[@]}" -e tmux -S "$dir/tmux.sock" -f /dev/null new-session \
           bash "$here/inside.sh" "$dir" "$kb" tmux >"$dir/term.log" 2>&1 &
         class=XTerm ;;
  kitty) LIBGL_ALWAYS_SOFTWARE=1 kitty --config NONE -o clear_all_shortcuts=yes \
           --dump-bytes "$log" bash "$here/inside.sh" "$dir" "$kb" kitty >"$dir/term.log" 2>&1 &
         class=kitty ;;
  st|st-normal)
         st -c KeybytesLive -g 100x30+0+0 -o "$log" \
           -e bash "$here/inside.sh" "$dir" "$kb" "$term" >"$dir/term.log" 2>&1 &
         class=KeybytesLive ;;
  # No shortcuts and no Ctrl+Shift picture-insert mode.
  urxvt) urxvt -geometry 100x30+0+0 -xrm 'URxvt.iso14755: false' -xrm 'URxvt.perl-ext-common:' \
           -e bash "$here/inside.sh" "$dir" "$kb" urxvt >"$dir/term.log" 2>&1 &
         class=URxvt ;;
  # xfce4-terminal, a VTE terminal, without the shortcuts on keys typed here
  # (F1, F10, F11, Ctrl+Shift+A).
  vte)   mkdir -p "$dir/config/xfce4/terminal"
         printf '[Configuration]\nShortcutsNoMenukey=TRUE\nShortcutsNoMnemonics=TRUE\nShortcutsNoHelpkey=TRUE\n' \
           >"$dir/config/xfce4/terminal/terminalrc"
         for a in fullscreen select-all; do
           printf '(gtk_accel_path "<Actions>/terminal-window/%s" "")\n' "$a"
         done >"$dir/config/xfce4/terminal/accels.scm"
         XDG_CONFIG_HOME=$dir/config xfce4-terminal --disable-server --geometry 100x30+0+0 \
           -x bash "$here/inside.sh" "$dir" "$kb" vte >"$dir/term.log" 2>&1 &
         class=Xfce4-terminal ;;
  # The driver reads the keys to type from a pipe, opened both ways here
  # so that neither side waits for the other to open it.
  xtermjs-*)
         mkfifo "$dir/keys"
         exec 4<>"$dir/keys"
         node "$here/xtermjs/drive.js" "${term#xtermjs-}" "$log" "$chromium" "$dir/chromium" \
           bash "$here/inside.sh" "$dir" "$kb" "$term" <"$dir/keys" 4>&- >"$dir/term.log" 2>&1 & ;;
  *) echo "unknown terminal $term"; exit 2 ;;
esac
pids+=($!)
termpid=$!

if ! until_ok 60 shown >/dev/null; then
  echo "no banner from keybytes in $term"; cat -v "$log" "$dir/term.log"; exit 1
fi
if [[ $term != xtermjs-* ]]; then
  # Keys go to the window with the focus (there is no window manager).
  wid=$(timeout 20 xdotool search --sync --onlyvisible --class "$class" | head -1)
  timeout 20 xdotool windowfocus --sync "$wid" || { echo "no $term window to type in"; exit 1; }
  xdotool mousemove --window "$wid" 20 20
fi

# Conditions polled by until_ok; each leaves what is shown in $s.
shows_at_least() { s=$(shown) && ((${#s} >= $1)); }
# A z more than the $1 shown before, and last.
zcount() { local z=${1//[^z]/}; echo ${#z}; }
shows_z_last() { s=$(shown) && [[ $s == *z ]] && (($(zcount "$s") > $1)); }

# What xterm.js sent since line $1 of the driver's record of it.
sent_since() { [[ $term == xtermjs-* ]] && printf ', sent %s' "$(tail -n +$(($1 + 1)) "$log.sent" | tr '\n' ' ')"; }

off=0  # how much of what is shown has been compared
typed=0 right=0  # keys compared, and shown as expected
[[ ${kb##*/} == keybytes-trace ]] && trace_keys
while read -r combo exp rest; do
  [[ -z $combo || $combo == \#* ]] && continue
  if [[ $combo == @* ]]; then lockset "${combo#@}" "$exp"; continue; fi
  for o in ${rest%%#*}; do [[ $term == "${o%%=*}" || $term == "${o%%=*}-"* ]] && exp=${o#*=}; done
  exp=${exp//\\s/ }
  [[ $exp == skip ]] && continue
  lines=$(cat "$log.sent" 2>/dev/null | wc -l)
  typekeys ${combo//,/ }
  ((++typed))
  until_ok 5 shows_at_least $((off + ${#exp}))
  if [[ ${s:off:${#exp}} == "$exp" ]]; then
    off=$((off + ${#exp}))
    ((++right))
    continue
  fi
  fail "$combo: expected $exp, shown ${s:off}$(sent_since "$lines")"
  # Back in step: a z (never part of an item) marks where the next key starts.
  s=$(shown)
  z=$(zcount "$s")
  typekeys z
  until_ok 5 shows_z_last "$z"
  off=${#s}
done <<<"$keys"

# After q: keybytes ends, the probe runs, the terminal closes.
gone() { ! kill -0 "$termpid" 2>/dev/null; }
until_ok 30 gone || fail "$term still open after q"
s=$(shown)
[[ ${s:off} == "" ]] || fail "shown after q: ${s:off}"
status=$(cat "$dir/status" 2>/dev/null)
[[ $status == 0 ]] || fail "keybytes' exit status: ${status:-none}"

# The terminal answers the same before and after keybytes: nothing turned on,
# keyboard flags as found, and nothing left in its input for the shell.
before=$(<"$dir/before") after=$(<"$dir/after")
[[ ${before%%$'\n'*} == *$'\e[?'*c ]] || fail "no device attributes answer: $(printf %q "$before")"
[[ $after == "$before" ]] || fail "terminal state changed: before $(printf %q "$before"), after $(printf %q "$after")"
raw=$(<"$log")
if [[ $term == kitty ]]; then
  [[ $before == *$'\e[?1u'* ]] || fail "the shell's keyboard flags were not seen: $(printf %q "$before")"
fi
# xterm.js offers both protocols with win32-input-mode on too: its win32
# records are made from DOM events, and keybytes turns its kitty protocol on.
if [[ $term == kitty || $term == xtermjs-kitty || $term == xtermjs-win32 ]]; then
  [[ $raw == *$'\e[>31u'* && $raw != *$'\e[?9001h'* ]] || fail "kitty keyboard protocol not negotiated"
else
  [[ $raw != *$'\e[>31u'* && $raw != *$'\e[?9001h'* ]] || fail "a keyboard protocol was turned on in $term"
fi
# xterm answers XTQMODKEYS (the same before and after, checked above):
# keybytes sets modifyOtherKeys level 2 there, and nowhere else.
if [[ $term == xterm ]]; then
  [[ $before == *$'\e[>4;'*m* && $raw == *$'\e[>4;2m'* ]] || fail "modifyOtherKeys not asked for or not set"
else
  [[ $raw != *$'\e[>4;2m'* ]] || fail "modifyOtherKeys set in $term, which did not answer for it"
fi
# st answers no mode query: keybytes sets application cursor keys and keypad
# and puts both back to normal at exit; under TERM=linux it leaves them.
case $term in
  st) [[ $raw == *$'\e[?1h\e='* && ${raw##*$'\e='} == *$'\e>'* && ${raw##*$'\e[?1h'} == *$'\e[?1l'* ]] ||
        fail "application modes not set, or not put back to normal" ;;
  st-normal) [[ $raw != *$'\e='* && $raw != *$'\e[?1h'* ]] || fail "a mode was set under TERM=linux" ;;
esac

echo "$term: $right of $typed keys as the key map gives them"
if ((fails)); then
  echo "--- the terminal answered $(printf %q "$before") before and $(printf %q "$after") after"
  echo "--- raw output:"; cat -v "$log"; echo
  exit 1
fi
echo "$term: every key as the key map gives it; the terminal answered $(printf %q "$before") before and after"
# keybytes-trace next, in a terminal of its own.
[[ -z ${3:-} ]] || { stop; trap - EXIT; exec bash "$here/live.sh" "$term" "$3"; }
