#!/bin/sh
# The main job on the bundled sample: build a database from record text,
# then look keys up in it.
set -eu
bin=${1:-build/bin}
here=$(dirname "$0")
out=demo-out
mkdir -p "$out"

echo "== qef64make $out/colors.db $out/colors.db.tmp < $here/colors.txt"
"$bin/qef64make" "$out/colors.db" "$out/colors.db.tmp" < "$here/colors.txt"
ls -l "$out/colors.db"

echo "== qef64get red < $out/colors.db"
"$bin/qef64get" red < "$out/colors.db"
echo
echo "== qef64get grey 1 < $out/colors.db   (the second record of grey)"
"$bin/qef64get" grey 1 < "$out/colors.db"
echo
echo "== qef64get purple < $out/colors.db   (absent: status 100, no output)"
status=0
"$bin/qef64get" purple < "$out/colors.db" || status=$?
echo "exit status $status"

echo "== qef64dump < $out/colors.db > $out/colors.txt"
"$bin/qef64dump" < "$out/colors.db" > "$out/colors.txt"
cat "$out/colors.txt"
echo "== rebuild from the dump and compare"
"$bin/qef64make" "$out/copy.db" "$out/copy.db.tmp" < "$out/colors.txt"
cmp "$out/colors.db" "$out/copy.db" && echo "identical"

echo "== $here/cities.tsv: city TAB country, in UTF-8"
cat "$here/cities.tsv"
echo "== LC_ALL=C awk turns it into record text, counting bytes, not letters"
LC_ALL=C awk -F '\t' '{ v = substr($0, length($1) + 2)
  printf "+%d,%d:%s->%s\n", length($1), length(v), $1, v } END { print "" }' \
  "$here/cities.tsv" > "$out/cities.txt"
cat "$out/cities.txt"
"$bin/qef64make" "$out/cities.db" "$out/cities.db.tmp" < "$out/cities.txt"
echo "== qef64get Asunción < $out/cities.db   (8 letters, 9 bytes)"
"$bin/qef64get" Asunción < "$out/cities.db"
echo

echo "== qef64stats < $out/colors.db"
"$bin/qef64stats" < "$out/colors.db"

echo "== qef64test < $out/colors.db   (the second grey is a different record)"
"$bin/qef64test" < "$out/colors.db"
