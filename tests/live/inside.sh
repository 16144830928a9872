#!/usr/bin/env bash
# Runs inside the terminal under test: keybytes between two probes of the
# terminal's state. Usage: inside.sh DIR KEYBYTES TERMINAL
dir=$1 kb=$2 term=$3

# The terminal's answers to mode and keyboard queries (modifyOtherKeys'
# level too), then everything it still had for the shell, up to the device
# attributes answer that ends the list (the only answer ending in `c`):
# written to the file $1, cut short without its `c` if the answer never came.
probe() {
  local saved reply
  saved=$(stty -g)
  stty raw -echo
  printf '\e[?9001$p\e[?1$p\e[?66$p\e[?u\e[?4m\e[c'
  IFS= read -r -d c -t 10 reply && reply+=c
  stty "$saved"
  # tmux answers none of the mode queries: it tells its pane's modes itself.
  [[ $term == tmux ]] &&
    reply+=$'\n'$(tmux display -p 'keypad #{keypad_flag}, cursor keys #{keypad_cursor_flag}, mouse #{mouse_any_flag}')
  printf '%s' "$reply" >"$1"
}

case $term in
  # The pane's output, as the program writes it.
  tmux) tmux pipe-pane -o "cat >>'$dir/log'"
        tmux display -p '#{pid}' >"$dir/tmux.pid" ;;
  # Keyboard flags of the shell's own (disambiguate), which keybytes must
  # leave as it found them.
  kitty) printf '\e[>1u' ;;
esac
probe "$dir/before"
run=(bash -c 'echo $$ >"$1"; exec "$2"' - "$dir/keybytes.pid" "$kb")
case $term in
  # No record of their own: script copies keybytes' output to the log,
  # and the terminal's bytes both ways unchanged.
  urxvt|vte) script -q -f -e -c "${run[*]@Q}" "$dir/log" ;;
  # keybytes leaves the keypad as found under the Linux console's name: st
  # stays in normal mode and sends its own forms.
  st-normal) TERM=linux "${run[@]}" ;;
  *) "${run[@]}" ;;
esac
echo $? >"$dir/status"
probe "$dir/after"
[[ $term == kitty ]] && printf '\e[<u'
exit 0
