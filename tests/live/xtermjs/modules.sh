#!/usr/bin/env bash
# Installs the xterm.js test's npm modules, at the versions of the lock
# file, into a folder of the build tree. Usage: modules.sh SOURCE TARGET
set -euo pipefail
src=$1 dst=$2
command -v npm >/dev/null || { echo "SKIP: no npm, which the xterm.js tests need"; exit 77; }
mkdir -p "$dst"
cp "$src/package.json" "$src/package-lock.json" "$dst/"
# No install scripts: the modules ship what they run (node-pty its binary).
# The lock file names no registry: each module comes from the one npm is set
# to use, checked against the lock file's integrity hash.
cd "$dst" && npm ci --ignore-scripts --no-audit --no-fund
