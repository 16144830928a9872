#!/usr/bin/env bash
# Builds the Debian package and checks it: its file list and control fields,
# lintian (any error fails), an install into a throwaway root and removal
# from it, the installed manual pages, and the installed programs' start-up.
# Nothing is installed on this machine itself except missing build tools.
#
# Usage: packaging/check-deb.sh [build-dir]   (default build/package)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/package}

need=()
for pkg in cmake ninja-build g++ dpkg-dev file lintian man-db groff-base gzip; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi

fail() {
  echo "check-deb: $*" >&2
  exit 1
}

# A fresh tree, so the initial cache always applies.
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -C packaging/deb.cmake
cmake --build "$build"
(cd "$build" && cpack -G DEB)

version=$(sed -n 's/^project(keybytes VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb=$build/keybytes_${version}_${arch}.deb
[[ -f $deb ]] || fail "no package at $deb"
echo "== $deb"
dpkg-deb --info "$deb"

# Control fields: dependencies come from dpkg-shlibdeps, so libc6 must be there.
field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == keybytes ]] || fail "Package is '$(field Package)'"
[[ $(field Section) == utils ]] || fail "Section is '$(field Section)'"
[[ $(field Depends) == *libc6* ]] || fail "Depends lacks libc6: '$(field Depends)'"
[[ -n $(field Description) ]] || fail "no Description"

# Exactly these files, with these modes, owned by root.
echo "== contents"
dpkg-deb --contents "$deb"
files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort)
want=$(sort <<'EOF'
-rwxr-xr-x root/root ./usr/bin/keybytes
-rwxr-xr-x root/root ./usr/bin/keybytes-trace
-rw-r--r-- root/root ./usr/share/doc/keybytes/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/keybytes/copyright
-rw-r--r-- root/root ./usr/share/man/man1/keybytes-trace.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/keybytes.1.gz
EOF
)
[[ $files == "$want" ]] || fail "unexpected contents:"$'\n'"$files"
if dpkg-deb --contents "$deb" | awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" {bad=1} END {exit !bad}'; then
  fail "a directory is not 0755"
fi

# lintian: errors fail; warnings and notes are shown.
echo "== lintian"
lintian --info --display-info --fail-on error "$deb"

# apt would accept it here: every dependency resolves.
apt-get install --simulate -qq "./$deb" >/dev/null || fail "apt-get cannot resolve its dependencies"

# Install into a throwaway root with its own dpkg database, then remove it.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The root holds no libc6 package of its own; the host's libraries serve.
dpkg --root="$root" --force-depends --force-script-chrootless --path-include='*' -i "$deb"
dpkg --root="$root" --status keybytes | grep -q '^Status: install ok installed' ||
  fail "dpkg does not record keybytes as installed"

bin=$root/usr/bin/keybytes
page=$root/usr/share/man/man1/keybytes.1.gz
[[ -x $bin ]] || fail "no executable $bin"
if ldd "$bin" | grep -q 'not found'; then fail "unresolved libraries: $(ldd "$bin")"; fi

# The installed page formats without warnings, shows the key map, and
# `man keybytes` finds it through the installed manual tree.
echo "== man"
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[[ -z $warnings ]] || fail "man warnings:"$'\n'"$warnings"
text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
grep -q '^KEY MAP' <<<"$text" || fail "no KEY MAP section"
grep -q 'F5 .*ESC\[15~ .*ESC\[15;2~' <<<"$text" || fail "key-map table not rendered"
[[ $(man -M "$root/usr/share/man" -w keybytes) == "$page" ]] || fail "man keybytes does not find the page"
lexgrog "$page" | grep -q 'keybytes - show the bytes' || fail "bad whatis entry"
tracepage=$root/usr/share/man/man1/keybytes-trace.1.gz
warnings=$(MANWIDTH=80 man --warnings -l "$tracepage" 2>&1 >/dev/null)
[[ -z $warnings ]] || fail "man warnings in keybytes-trace.1:"$'\n'"$warnings"
[[ $(man -M "$root/usr/share/man" -w keybytes-trace) == "$tracepage" ]] ||
  fail "man keybytes-trace does not find the page"
lexgrog "$tracepage" | grep -q 'keybytes-trace - show why' || fail "bad whatis entry for keybytes-trace"

# The program starts from where it was installed and, with no terminal to
# read keys from, prints its banner and ends with status 0.
echo "== run"
out=$(timeout 10 "$bin" </dev/null) || fail "keybytes failed or hung (status $?)"
grep -q '^Press a key' <<<"$out" || fail "no banner from keybytes: $out"

# keybytes-trace runs from there too, on saved bytes.
out=$(printf '\e[15;2~' | timeout 10 "$root/usr/bin/keybytes-trace") || fail "keybytes-trace failed (status $?)"
grep -q 'VK_F5 .*SHIFT .*\[0x1b\]\[15;2~' <<<"$out" || fail "no trace of Shift+F5: $out"

dpkg --root="$root" --force-script-chrootless -r keybytes
[[ ! -e $bin && ! -e $page && ! -e $tracepage ]] || fail "files left after removal"

echo "check-deb: $deb passes"
