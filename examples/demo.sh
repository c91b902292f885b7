#!/bin/sh
# The main job on the bundled sample: build a database from record text.
set -eu
bin=${1:-build/bin}
here=$(dirname "$0")
out=demo-out
mkdir -p "$out"

echo "== qef64make $out/colors.db $out/colors.db.tmp < $here/colors.txt"
"$bin/qef64make" "$out/colors.db" "$out/colors.db.tmp" < "$here/colors.txt"
ls -l "$out/colors.db"
