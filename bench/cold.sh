#!/bin/sh
# Lookups on a cold file and on one larger than memory, against the
# device's own floors, every row in one run: the section "Cold files" of
# bench/results.md, written to standard output.
#
#   sh bench/cold.sh BUILD_DIR DATA_DIR     (bench/run.sh, BENCH_ONLY=cold)
#
# Needs root (it drops the page cache with /proc/sys/vm/drop_caches and
# makes a memory cgroup under /sys/fs/cgroup/memory); without, it says so
# and writes nothing. fio (Debian package fio) gives the floors; LMDB's
# rows need cold_lmdb, built when liblmdb-dev is installed.
#
# Environment:
#   BENCH_COLD_PROFILE  the profile (default tiny10m)
#   BENCH_COLD_ROUNDS   rounds of the rows b, c, e, f (default 3; medians)
#   BENCH_COLD_CGROUP   the memory limit of row d (default 256M)
#   BENCH_BEFORE        the commit whose library row h compares with
#                       (default e908b0e, before this work); built once into
#                       DATA_DIR/before from `git archive`
set -eu

build=$1
data=$2
bin=$build/bin
here=$(cd "$(dirname "$0")" && pwd)
profile=${BENCH_COLD_PROFILE:-tiny10m}
rounds=${BENCH_COLD_ROUNDS:-3}
limit=${BENCH_COLD_CGROUP:-256M}
before=${BENCH_BEFORE:-e908b0e}
say() { echo "bench: cold: $*" >&2; }

if [ "$(id -u)" != 0 ] || ! [ -w /proc/sys/vm/drop_caches ]; then
  say "needs root to drop the page cache; skipped"
  exit 0
fi
for p in cold qef64gen qef64make; do
  [ -x "$bin/$p" ] || { say "$bin/$p missing; skipped"; exit 0; }
done

in=$data/$profile.txt
db=$data/$profile.db
if [ ! -s "$in" ]; then
  "$bin/qef64gen" "$profile" > "$in.part"
  mv "$in.part" "$in"
fi
[ "$db" -nt "$in" ] || "$bin/qef64make" "$db" "$db.tmp" < "$in"

# Keys spread over the whole file, in a random order: ten sets of 2,000
# (each row takes a fresh one, so that no row finds what another read)
# and one of 20,000.
keys=$data/$profile.cold-keys
if [ ! -s "$keys.20000" ]; then
  awk -v want=60000 -v total="$(grep -c '^+' "$in")" 'BEGIN { srand(20) }
    rand() < want / total {
      colon = index($0, ":"); split(substr($0, 2, colon - 2), len, ",")
      print rand() "\t" substr($0, colon + 1, len[1])
    }' "$in" | sort -k1,1 | cut -f2 > "$keys.all"
  i=0
  while [ $i -lt 10 ]; do
    sed -n "$((i * 2000 + 1)),$((i * 2000 + 2000))p" "$keys.all" > "$keys.$i"
    i=$((i + 1))
  done
  sed -n '20001,40000p' "$keys.all" > "$keys.20000"
fi
set_no=0
next_keys() {
  echo "$keys.$set_no"
  set_no=$(((set_no + 1) % 10))
}

kv=$data/cold.kv
: > "$kv"
# field NAME LINE: the value of NAME=... in a line of cold or cold_lmdb.
field() { echo "$2" | tr ' ' '\n' | sed -n "s/^$1=//p"; }
# note ROW LINE: keeps the line's fields under the row's name.
note() {
  echo "$1 $2" >> "$kv"
  say "$1: $2"
}
cold() { COLD_DROP=1 "$bin/cold" "$db" "$@"; }

# a: the device's floors, 4 KiB random direct reads of the same file.
if command -v fio > /dev/null 2>&1; then
  for qd in 1 32; do
    iops=$(fio --name=floor --filename="$db" --readonly --direct=1 \
      --rw=randread --bs=4k --iodepth=$qd --ioengine=libaio --runtime=10 \
      --time_based --output-format=terse 2> /dev/null | awk -F';' '{ print $8 }')
    note "a.qd$qd" "iops=$iops us=$(awk -v i="$iops" 'BEGIN { printf "%.2f", 1e6 / i }')"
  done
else
  say "fio not installed (apt-get install fio): no floors"
fi

r=0
while [ $r -lt "$rounds" ]; do
  # b: one lookup on a cold file.
  note b "$(cold "$(next_keys)" loop 1)"
  # c: 2,000 keys, a loop and a batch; e: the same with the tables warm.
  note c.loop "$(cold "$(next_keys)" loop 2000)"
  note c.many "$(cold "$(next_keys)" many 2000 1000)"
  note e.loop "$(cold "$(next_keys)" loop 2000 1000 1)"
  note e.many "$(cold "$(next_keys)" many 2000 1000 1)"
  if [ -x "$bin/cold_lmdb" ]; then
    [ -d "$data/$profile.lmdb" ] ||
      "$bin/cold_lmdb" build "$data/$profile.lmdb" "$in"
    note g.c "$(COLD_DROP=1 "$bin/cold_lmdb" get "$data/$profile.lmdb" "$(next_keys)" 2000)"
  fi
  # f: every record, against cat of the whole file.
  note f.iter "$(cold "$keys.0" iter)"
  sync
  echo 3 > /proc/sys/vm/drop_caches
  start=$(date +%s%N)
  cat "$db" > /dev/null
  note f.cat "us=$((($(date +%s%N) - start) / 1000))"
  r=$((r + 1))
done

# d: 20,000 keys in a memory cgroup of a third of the file.
group=/sys/fs/cgroup/memory/qef64-cold-$$
if mkdir "$group" 2> /dev/null; then
  echo "$limit" > "$group/memory.limit_in_bytes"
  in_group() { sh -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$group" "$@"; }
  note d.loop "$(COLD_DROP=1 in_group "$bin/cold" "$db" "$keys.20000" loop 20000)"
  note d.many "$(COLD_DROP=1 in_group "$bin/cold" "$db" "$keys.20000" many 20000 1000)"
  if [ -x "$bin/cold_lmdb" ]; then
    note g.d "$(COLD_DROP=1 in_group "$bin/cold_lmdb" get "$data/$profile.lmdb" "$keys.20000" 20000)"
  fi
  rmdir "$group"
else
  say "no memory cgroup (/sys/fs/cgroup/memory); row d skipped"
fi

# h: the warm batched rows, this library against the one before.
if [ -x "$bin/engine_bench" ]; then
  old=$data/before
  if [ ! -x "$old/build/bin/engine_bench" ] &&
    git -C "$here/.." rev-parse --verify -q "$before^{commit}" > /dev/null; then
    say "building engine_bench of $before into $old"
    rm -rf "$old"
    mkdir -p "$old/src"
    git -C "$here/.." archive "$before" | tar -x -C "$old/src"
    cmake -S "$old/src" -B "$old/build" -DCMAKE_BUILD_TYPE=Release \
      -DQEF64_BENCH=ON -DQEF64_TESTS=OFF > /dev/null
    cmake --build "$old/build" --target engine_bench -j "$(nproc)" > /dev/null
  fi
  if [ -x "$old/build/bin/engine_bench" ]; then
    r=0
    while [ $r -lt "$rounds" ]; do
      for which in before now; do
        e=$bin/engine_bench
        [ $which = before ] && e=$old/build/bin/engine_bench
        BENCH_DIR=$data "$e" --benchmark_filter='^batch/.*/(get|get_many)/' \
          --benchmark_repetitions=3 "batch:$profile=$in" 2> /dev/null |
          awk -v w=$which '/_median/ { split($1, n, "/"); print "h." w "." n[3], "ms=" $2 }' \
            >> "$kv"
      done
      r=$((r + 1))
    done
  fi
fi

# The section: medians over the rounds of every field, then the ratios.
awk -v profile="$profile" -v limit="$limit" -v rounds="$rounds" \
  -v when="$(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -srm), $(nproc) cores." '
  function med(k,    n, i, j, t, a) {
    n = cnt[k]; if (n == 0) return ""
    for (i = 1; i <= n; i++) a[i] = val[k, i]
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++)
      if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return a[int((n + 1) / 2)]
  }
  {
    for (i = 2; i <= NF; i++) {
      split($i, f, "="); k = $1 "." f[1]
      val[k, ++cnt[k]] = f[2]
    }
  }
  function ratio(row, what, a, b, target, bigger,    r, ok) {
    if (a == "" || b == "" || b == 0) return
    r = a / b
    ok = bigger ? (r >= target) : (r <= target)
    printf "| %s | %s | %.2f | %s %s | %s |\n", row, what, r,
      bigger ? ">=" : "<=", target, ok ? "yes" : "NO"
  }
  END {
    print "## Cold files"
    print ""
    print when
    print "One run of `sh bench/cold.sh` on " profile " (" cnt["c.loop.us"] " rounds, medians):"
    print "the page cache dropped before every row but h; row d in a memory"
    print "cgroup of " limit ". Microseconds a key (a record for f), CPU"
    print "microseconds a key, and bytes a key read from the device (pgpgin)."
    print "Rerun with `BENCH_ONLY=cold make bench-run`."
    print ""
    q1 = med("a.qd1.us"); q32 = med("a.qd32.us")
    print "| row | what | us a key | CPU us a key | bytes read a key |"
    print "|---|---|---|---|---|"
    if (q1 != "") printf "| a | fio 4 KiB random direct reads, queue depth 1 | %s (%s a second) | | |\n", q1, med("a.qd1.iops")
    if (q32 != "") printf "| a | fio, queue depth 32 | %s (%s a second) | | |\n", q32, med("a.qd32.iops")
    split("b c.loop c.many d.loop d.many e.loop e.many g.c g.d f.iter", rows, " ")
    split("one cold qef64_get|2,000 keys: qef64_get loop|2,000 keys: qef64_get_many|20,000 keys in the cgroup: loop|20,000 keys in the cgroup: qef64_get_many|2,000 keys, tables warmed at open: loop|2,000 keys, tables warmed at open: qef64_get_many|LMDB mdb_get, 2,000 keys as c|LMDB mdb_get, 20,000 keys as d|qef64_iter_next over every record", names, "|")
    for (i = 1; i <= 10; i++) {
      k = rows[i]
      if (med(k ".us") == "") continue
      printf "| %s | %s | %s | %s | %s |\n", substr(k, 1, 1), names[i],
        med(k ".us"), med(k ".cpu"), med(k ".pgpgin")
    }
    if (med("e.many.open_ms") != "")
      printf "| e | the warming at open | %s ms for %s MB | | |\n", med("e.many.open_ms"), med("e.many.open_mb")
    if (med("f.cat.us") != "")
      printf "| f | cat of the whole file > /dev/null | %.0f ms in all | | |\n", med("f.cat.us") / 1000
    print ""
    print "| row | ratio | value | target | met |"
    print "|---|---|---|---|---|"
    ratio("b", "bytes one cold lookup reads / 16 KiB", med("b.pgpgin"), 16384, 1, 0)
    ratio("c", "get_many / two reads at queue depth 32", med("c.many.us"), 2 * q32, 2, 0)
    ratio("c", "loop / get_many (speed-up)", med("c.loop.us"), med("c.many.us"), 5, 1)
    ratio("d", "loop / two reads at queue depth 1", med("d.loop.us"), 2 * q1, 1.5, 0)
    ratio("d", "get_many / two reads at queue depth 32", med("d.many.us"), 2 * q32, 2, 0)
    ratio("e", "get_many / one read at queue depth 32", med("e.many.us"), q32, 2, 0)
    fiter = med("f.iter.us") * med("f.iter.n") / 1000
    if (med("f.cat.us") != "") ratio("f", "iteration / cat (time)", fiter, med("f.cat.us") / 1000, 1.5, 0)
    for (r = 0; r < 2; r++) {
      w = r ? "get_many" : "get"
      ratio("h", "warm " w ", now / before", med("h.now." w ".ms"), med("h.before." w ".ms"), 1.05, 0)
    }
  }' "$kv"
