#!/bin/sh
# The qef64 command against the five programs, for bench/run.sh (the
# section "The qef64 command"; BENCH_ONLY=cli make bench-run):
#
#   sh bench/cli_bench.sh BIN_DIR DATA_DIR PROFILE RECORDS.txt > section.md
#
# Builds the profile's records with qef64make (framing) and with
# `qef64 build` from the same records as TSV and as JSON lines, the three
# taking turns; looks every key up once, in one random order, with
# `qef64 get --keys`, against one qef64get process a key, estimated from
# BENCH_CLI_GETS processes (default 2000). Warm page cache only.
#
# Environment: BENCH_CLI_RUNS timed runs of each build (default 5, after one
# warm-up run), BENCH_CLI_GETS.
set -eu

bin=$1
data=$2
p=$3
in=$4
runs=${BENCH_CLI_RUNS:-5}
gets=${BENCH_CLI_GETS:-2000}
q=$bin/qef64

say() { echo "bench: cli: $*" >&2; }

# The inputs, made once from the profile's database and reused.
db=$data/$p.cli.db
if ! [ "$db" -nt "$in" ]; then
  "$bin/qef64make" "$db" "$data/$p.cli.tmp" < "$in"
fi
for f in tsv jsonl; do
  if ! [ "$data/$p.$f" -nt "$db" ]; then
    say "$p: the records as $f"
    "$q" dump --format=$f "$db" > "$data/$p.$f.part"
    mv "$data/$p.$f.part" "$data/$p.$f"
  fi
done
keys=$data/$p.keys
if ! [ "$keys" -nt "$data/$p.tsv" ]; then
  # Every key once, in an order fixed by the seed's bytes.
  cut -f1 "$data/$p.tsv" |
    shuf --random-source="$in" > "$keys.part"
  mv "$keys.part" "$keys"
fi
records=$(wc -l < "$data/$p.tsv")
input_mb=$(wc -c < "$in")

say "$p: qef64make, qef64 build --format=tsv and jsonl ($runs runs)"
times=$("$bin/proctime" "$runs" 1 \
  "$in" /dev/null "$bin/qef64make" "$data/$p.cli.make.db" "$data/$p.cli.tmp" -- \
  - /dev/null "$q" build --no-progress --format=tsv "$data/$p.tsv" \
    "$data/$p.cli.tsv.db" -- \
  - /dev/null "$q" build --no-progress --format=jsonl "$data/$p.jsonl" \
    "$data/$p.cli.jsonl.db")
same=yes
for f in tsv jsonl; do
  cmp -s "$data/$p.cli.make.db" "$data/$p.cli.$f.db" || same=NO
done

say "$p: qef64 get --keys of $records keys, and $gets qef64get processes"
get_many=$("$bin/proctime" 3 1 - /dev/null "$q" get "--keys=$keys" "$db")
key=$(head -n 1 "$keys")
get_one=$("$bin/proctime" "$gets" 20 "$db" /dev/null "$bin/qef64get" "$key")

say "$p: qef64 dump against qef64dump ($runs runs)"
dumps=$("$bin/proctime" "$runs" 1 \
  - /dev/null "$q" dump "$db" -- \
  "$db" /dev/null "$bin/qef64dump" -- \
  - /dev/null "$q" dump --format=jsonl "$db")
rm -f "$data/$p.cli.make.db" "$data/$p.cli.tsv.db" "$data/$p.cli.jsonl.db"

echo "## The qef64 command"
echo
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -srm)," \
  "$(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | sed 's/.*: //')," \
  "$(nproc) cores. Profile $p: $records records, $input_mb bytes of"
echo "record text. Builds and dumps take turns, median of $runs timed runs"
echo "(min-max) after a warm-up; \`get --keys\` looks every key up once in"
echo "one random order (3 runs); one \`qef64get\` process a key is the median"
echo "of $gets processes times the keys. Warm page cache."
echo "Rerun this section alone with \`BENCH_ONLY=cli make bench-run\`."
echo
printf '%s\n' "$times" "$get_many" "$get_one" "$dumps" |
  awk -v records="$records" -v same="$same" '
    { med[NR] = $1; lo[NR] = $2; hi[NR] = $3 }
    function t(i) { return sprintf("%.4g s (%.4g-%.4g)", med[i], lo[i], hi[i]) }
    function row(what, a, vs, b, target, op,    r, ok) {
      r = med[a] / med[b]
      ok = ""
      if (op == "<=") ok = (r <= target) ? "yes" : "NO"
      if (op == ">=") ok = (1 / r >= target) ? "yes" : "NO"
      if (op == ">=") printf "| %s | %s | %s | %s | %.1fx faster | >= %sx | %s |\n", what, t(a), vs, t(b), 1 / r, target, ok
      else printf "| %s | %s | %s | %s | %.3f | %s | %s |\n", what, t(a), vs, t(b), r, (op == "" ? "" : op " " target), ok
    }
    END {
      # 1 make, 2 tsv, 3 jsonl, 4 get --keys, 5 one qef64get, 6 qef64 dump,
      # 7 qef64dump, 8 qef64 dump --format=jsonl
      med[9] = med[5] * records; lo[9] = lo[5] * records; hi[9] = hi[5] * records
      print "| ours | median | against | median | ratio | target | met |"
      print "|---|---|---|---|---|---|---|"
      row("`qef64 build --format=tsv`", 2, "`qef64make`, framing", 1, 1.3, "<=")
      row("`qef64 build --format=jsonl`", 3, "`qef64make`, framing", 1, 2, "<=")
      printf "| both builds | | | | | cmp-identical to qef64make | %s |\n", same
      row("`qef64 get --keys`, " records " keys", 4, "a `qef64get` process a key, estimated", 9, 50, ">=")
      printf "| | | one `qef64get` process | %.3g ms (%.3g-%.3g) | | | |\n", med[5] * 1000, lo[5] * 1000, hi[5] * 1000
      row("`qef64 dump`", 6, "`qef64dump`", 7, "", "")
      row("`qef64 dump --format=jsonl`", 8, "`qef64dump`", 7, "", "")
    }'
