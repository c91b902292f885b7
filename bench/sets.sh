#!/bin/sh
# Sharded sets through the C interface, for bench/run.sh (the section
# "Sharded sets from C"; BENCH_ONLY=sets make bench-run):
#
#   sh bench/sets.sh BIN_DIR DATA_DIR PROFILE RECORDS.txt > section.md
#
# On the profile's records (run.sh: tiny10m):
#   - the set builder (libmake with SHARDS, 32 shards) against one
#     qef64_builder (libmake), both with the default budget of 64 MiB,
#     taking turns: wall time and max RSS;
#   - qef64_set_verify on that set, warm: the processor time of all its
#     threads (the work of one core) and the wall time (verify_bench --set);
#   - the check at open against a whole qef64_open and qef64_close, and
#     qef64_verify on the one database (verify_bench).
# qef64_set_get_many against qef64_get_many is row g of the batched
# lookups.
#
# Environment: BENCH_SETS_RUNS timed runs of each build (default 3, after
# one warm-up run).
set -eu

bin=$1
data=$2
p=$3
in=$4
runs=${BENCH_SETS_RUNS:-3}
shards=32
budget=67108864

say() { echo "bench: sets: $*" >&2; }

set_dir=$data/$p.set
one=$data/$p.one.db
rm -rf "$set_dir"
say "$p: the set builder ($shards shards) and one builder ($runs runs)"
times=$("$bin/proctime" "$runs" 1 \
  "$in" /dev/null "$bin/libmake" "$set_dir" "$budget" "$shards" -- \
  "$in" /dev/null "$bin/libmake" "$one" "$budget")
set_build=$(echo "$times" | sed -n 1p)
one_build=$(echo "$times" | sed -n 2p)

say "$p: qef64_set_verify"
sv=$("$bin/verify_bench" --set "$set_dir")
say "$sv"
say "$p: the check at open and qef64_verify"
vb=$("$bin/verify_bench" "$one")
say "$vb"
rm -rf "$set_dir" "$one"

echo "## Sharded sets from C"
echo
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -srm)," \
  "$(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | sed 's/.*: //')," \
  "$(nproc) cores. $p: $(grep -c '^+' "$in" || true) records."
echo "The set builder is \`libmake\` with $shards shards (\`qef64_set_builder_*\`),"
echo "one builder \`libmake\` alone (\`qef64_builder_*\`), both with the"
echo "default budget of 64 MiB, taking turns: medians of $runs runs (min-max),"
echo "the largest max RSS. \`qef64_set_verify\` on that set, warm, best of 3:"
echo "processor time of all its threads (the work of one core) and wall time"
echo "(\`bench/verify_bench.cc\`). \`qef64_set_get_many\` against"
echo "\`qef64_get_many\` is row g of the batched lookups. Rerun this section"
echo "alone with \`BENCH_ONLY=sets make bench-run\`."
echo
printf '%s\n' "$set_build" "$one_build" "$sv" "$vb" | awk -v budget=$budget '
  NR == 1 { sm = $1; slo = $2; shi = $3; srss = $4 }
  NR == 2 { om = $1; olo = $2; ohi = $3; orss = $4 }
  /^qef64_set_verify:/ {
    for (i = 1; i <= NF; i++) {
      if ($i == "processor") { vcpu = $(i + 1); vcpu_gb = $(i + 3) }
      if ($i == "wall") { vwall = $(i + 1); vwall_gb = $(i + 3) }
    }
  }
  /^check at open:/ { check = $4; openclose = $9 }
  /^qef64_verify:/ { v1 = $2; v1_gb = $4 }
  END {
    print "| what | value | against | ratio | target | met |"
    print "|---|---|---|---|---|---|"
    r = sm / om
    printf "| set builder, wall | %.4g s (%.4g-%.4g) | one builder: %.4g s (%.4g-%.4g) | %.3f | <= 1.3 | %s |\n",
      sm, slo, shi, om, olo, ohi, r, (r <= 1.3) ? "yes" : "NO"
    lim = budget / 1024 + 30 * 1024
    printf "| set builder, max RSS | %.0f KiB | budget + 30 MiB: %.0f KiB | %.3f | <= 1 | %s |\n",
      srss, lim, srss / lim, (srss <= lim) ? "yes" : "NO"
    printf "| one builder, max RSS | %.0f KiB | | | | |\n", orss
    printf "| qef64_set_verify, processor | %.3f s, %.3f GB/s | 1 GB/s on one core | | >= 1 | %s |\n",
      vcpu, vcpu_gb, (vcpu_gb >= 1) ? "yes" : "NO"
    printf "| qef64_set_verify, wall | %.3f s, %.3f GB/s | | | | |\n", vwall, vwall_gb
    printf "| check at open | %.3f us | qef64_open + qef64_close: %s us | | < 2 us | %s |\n",
      check, openclose, (check < 2) ? "yes" : "NO"
    printf "| qef64_verify, one database | %s s, %s GB/s | | | | |\n", v1, v1_gb
  }'
