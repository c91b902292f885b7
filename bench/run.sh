#!/bin/sh
# Runs the benchmarks of a build with -DQEF64_BENCH=ON and writes the ratio
# table to bench/results.md (and standard output).
#
#   sh bench/run.sh [BUILD_DIR]            (make bench-run: BUILD_DIR=build)
#
# Environment:
#   BENCH_PROFILES  profiles to run (default "tiny medium large real";
#                   add tiny10m for the memory check at 10,000,000 records;
#                   empty for none)
#   BENCH_ENGINE    profiles for the in-process engine benchmark (default
#                   those of "tiny real" that are in BENCH_PROFILES)
#   BENCH_RUNS      timed runs per whole-process measurement (default 5,
#                   3 for large and tiny10m), after one warm-up run
#   BENCH_GET_RUNS  timed runs of qef64get and its floors (default 300)
#   BENCH_REPS      repetitions of each engine benchmark (default 5)
#   BENCH_DATA      scratch directory for inputs and databases (default
#                   BUILD_DIR/bench-data); inputs are kept and reused
#   BENCH_REAL      the real data set (default /usr/share/dict/american-english
#                   from the Debian package wamerican)
#   BENCH_RESULTS   where the report goes (default bench/results.md)
#   BENCH_BUILDER   profiles on which the library's builder (libmake, default
#                   budget) is compared with qef64make: wall time, max RSS,
#                   identical output, bytes spilled (default "tiny10m
#                   tiny50m"; empty to skip)
#   BENCH_BUILDER_RUNS  timed runs of each (default 3 for tiny10m after one
#                   warm-up, 1 for larger profiles without one)
#   BENCH_BATCH     profiles of the batched-lookup rows of the engine
#                   benchmark (default "tiny10k tiny tiny10m", generated
#                   when needed; empty to skip)
#   BENCH_PYTHON    profiles of the Python package's rows (default "tiny
#                   tiny10m"; empty to skip), run by PYTHON (default
#                   /usr/bin/python3) with BUILD_DIR/python on its path;
#                   BENCH_PY_RUNS, BENCH_PY_LOOKUPS: see bench/python_bench.py
#   BENCH_COLD      the profile of the cold-file rows (default tiny10m; empty
#                   to skip; needs root, and fio for the floors): see
#                   bench/cold.sh, which BENCH_COLD_* variables also tune
#   BENCH_DASK      the profile of the sharded build on a local Dask cluster
#                   against one process and qef64make (default tiny10m;
#                   empty to skip; needs python3-dask and
#                   python3-distributed): see bench/dask_bench.py
#   BENCH_CLI       the profile of the qef64 command's section (default
#                   tiny; empty to skip): its builds from TSV and JSON
#                   lines against qef64make, get --keys against qef64get
#                   processes; BENCH_CLI_RUNS, BENCH_CLI_GETS: see
#                   bench/cli_bench.sh
#   BENCH_CLI_VERIFY  the profile of that section's qef64 verify row
#                   against cat (default tiny10m; empty to skip)
#   BENCH_SETS      the profile of the sharded sets from C: the set builder
#                   against one builder, qef64_set_verify, the check at open
#                   (default tiny10m; empty to skip): see bench/sets.sh
#
# Each part of the report (the main table, the batched lookups, the
# builder, Python, Dask, cold files, the command, sets) is replaced only
# when it ran; a part whose variable is empty keeps its text from the
# report as it was.
set -eu

# BENCH_ONLY=PART runs one part of the report alone and keeps the others:
# main, batch, builder, python, dask, cold, cli or sets.
only=${BENCH_ONLY:-}
case $only in
  "") ;;
  main | batch | builder | python | dask | cold | cli | sets)
    [ "$only" = main ] || BENCH_PROFILES=""
    [ "$only" = batch ] || BENCH_BATCH=""
    [ "$only" = builder ] || BENCH_BUILDER=""
    [ "$only" = python ] || BENCH_PYTHON=""
    [ "$only" = dask ] || BENCH_DASK=""
    [ "$only" = cold ] || BENCH_COLD=""
    [ "$only" = cli ] || BENCH_CLI=""
    [ "$only" = sets ] || BENCH_SETS=""
    ;;
  *)
    echo "bench: BENCH_ONLY is one of main, batch, builder, python, dask, cold, cli, sets" >&2
    exit 100
    ;;
esac

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
bin=$build/bin
data=${BENCH_DATA:-$build/bench-data}
profiles=${BENCH_PROFILES-tiny medium large real}
builder_profiles=${BENCH_BUILDER-tiny10m tiny50m}
batch_profiles=${BENCH_BATCH-tiny10k tiny tiny10m}
python_profiles=${BENCH_PYTHON-tiny tiny10m}
dask_profile=${BENCH_DASK-tiny10m}
cold_profile=${BENCH_COLD-tiny10m}
cli_profile=${BENCH_CLI-tiny}
cli_verify=${BENCH_CLI_VERIFY-tiny10m}
sets_profile=${BENCH_SETS-tiny10m}
runs=${BENCH_RUNS:-}
get_runs=${BENCH_GET_RUNS:-300}
real=${BENCH_REAL:-/usr/share/dict/american-english}
results=${BENCH_RESULTS:-$here/results.md}

for p in qef64gen qef64make qef64get proctime mapstdin callfloor libmake \
  verify_bench; do
  if [ ! -x "$bin/$p" ]; then
    echo "bench: $bin/$p missing; build with make bench first" >&2
    exit 1
  fi
done
mkdir -p "$data"
kv=$data/results.kv
: > "$kv"

say() { echo "bench: $*" >&2; }

# record NAME < "median min max rss" lines, one per NAME given.
record() {
  for name in "$@"; do
    read -r med lo hi rss
    echo "$name $med $lo $hi $rss" >> "$kv"
    say "$name: median $med s ($lo-$hi), max RSS $rss KiB"
  done
}

# The record text of a profile, generated once and then reused.
input() {
  f=$data/$1.txt
  if [ ! -s "$f" ]; then
    if [ "$1" = real ]; then
      "$bin/qef64gen" real "$real" > "$f.part"
    else
      "$bin/qef64gen" "$1" > "$f.part"
    fi
    mv "$f.part" "$f"
  fi
  echo "$f"
}

# The first key of a record text file, for the lookups.
first_key() {
  head -n 1 "$1" | awk '{
    colon = index($0, ":"); split(substr($0, 2, colon - 2), len, ",")
    print substr($0, colon + 1, len[1]) }'
}

for p in $profiles; do
  if [ "$p" = real ] && [ ! -r "$real" ]; then
    say "real: $real missing (apt-get install wamerican); skipped"
    continue
  fi
  n=${runs:-5}
  case $p in large | tiny10m) n=${runs:-3} ;; esac
  say "$p: generating input"
  in=$(input "$p")
  db=$data/$p.db

  say "$p: qef64make, cat > file, copy + fsync ($n runs)"
  "$bin/proctime" "$n" 1 \
    "$in" /dev/null "$bin/qef64make" "$db" "$data/$p.tmp" -- \
    "$in" "$data/$p.cat" cat -- \
    - - dd if="$in" of="$data/$p.copy" bs=1M conv=fsync status=none -- \
    - - dd if="$in" of="$data/$p.copy8k" bs=8k conv=fsync status=none |
    record "$p.make" "$p.cat_file" "$p.copy_fsync" "$p.copy8k_fsync"
  rm -f "$data/$p.cat" "$data/$p.copy" "$data/$p.copy8k"
  records=$(grep -c '^+' "$in" || true)
  echo "$p.records $records 0 0 0" >> "$kv"

  set -- "$db" /dev/null cat
  names="$p.cat_db"
  if [ -x "$bin/callfloor" ]; then
    set -- "$@" -- "$db" /dev/null "$bin/callfloor" copy \
      -- "$db" /dev/null "$bin/callfloor" seek
    names="$names $p.floor_copy $p.floor_seek"
  fi
  for s in dump test stats; do
    if [ -x "$bin/qef64$s" ]; then
      set -- "$@" -- "$db" /dev/null "$bin/qef64$s"
      names="$names $p.$s"
    fi
  done
  say "$p: scanners against cat db > /dev/null ($n runs)"
  # shellcheck disable=SC2086
  "$bin/proctime" "$n" 1 "$@" | record $names

  key=$(first_key "$in")
  say "$p: qef64get per process ($get_runs runs)"
  "$bin/proctime" "$get_runs" 20 \
    "$db" /dev/null "$bin/qef64get" "$key" -- \
    "$db" /dev/null "$bin/mapstdin" -- \
    "$db" /dev/null /bin/true |
    record "$p.get" "$p.mapstdin" "$p.true"
done

# The library's builder against qef64make on the same input, commands taking
# turns; then the two databases must be equal byte for byte. libmake prints
# the bytes its build spilled and read back (from /proc/self/io).
for p in $builder_profiles; do
  case $p in
    tiny10m) n=${BENCH_BUILDER_RUNS:-3} warm=1 ;;
    *) n=${BENCH_BUILDER_RUNS:-1} warm=0 ;;
  esac
  say "$p: generating input"
  in=$(input "$p")
  say "$p: libmake (library builder, default budget) and qef64make ($n runs)"
  "$bin/proctime" "$n" "$warm" \
    "$in" "$data/$p.libmake.out" "$bin/libmake" "$data/$p.lib.db" -- \
    "$in" /dev/null "$bin/qef64make" "$data/$p.make.db" "$data/$p.tmp" |
    record "$p.lib_build" "$p.lib_make"
  same=0
  cmp -s "$data/$p.lib.db" "$data/$p.make.db" && same=1
  read -r _ spilled _ read_back < "$data/$p.libmake.out"
  records=$(grep -c '^+' "$in" || true)
  {
    echo "$p.lib_same $same 0 0 0"
    echo "$p.lib_spilled $spilled 0 0 0"
    echo "$p.lib_read $read_back 0 0 0"
    echo "$p.lib_records $records 0 0 0"
  } >> "$kv"
  say "$p: identical output: $same; spilled $spilled bytes, read back $read_back"
  # Several GB at tiny50m: the databases go, the input stays for reuse.
  rm -f "$data/$p.lib.db" "$data/$p.make.db"
done

# In-process engine benchmarks, on the profiles that targets name; the
# batched-lookup rows also on the profiles of BENCH_BATCH, generated here
# when no other row used them.
engine_sets=""
for p in ${BENCH_ENGINE:-tiny real}; do
  case " $profiles " in *" $p "*) ;; *) continue ;; esac
  [ -s "$data/$p.txt" ] && engine_sets="$engine_sets $p=$data/$p.txt"
done
for p in $batch_profiles; do
  say "$p: input for the batched lookups"
  in=$(input "$p")
  engine_sets="$engine_sets batch:$p=$in"
done
for set in $engine_sets; do
  p=${set#batch:}
  p=${p%%=*}
  in=${set#*=}
  grep -q "^$p.records " "$kv" ||
    echo "$p.records $(grep -c '^+' "$in" || true) 0 0 0" >> "$kv"
done
if [ -x "$bin/engine_bench" ] && [ -n "$engine_sets" ]; then
  say "engine benchmarks:$engine_sets"
  # shellcheck disable=SC2086
  BENCH_DIR=$data "$bin/engine_bench" --benchmark_out="$data/engine.csv" \
    --benchmark_out_format=csv $engine_sets >&2
  # Rows "NAME/iterations:1/...[_STAT]",iterations,real_time (ms),...: the
  # median, min and max aggregates, or the one run when there is no repeat.
  awk -F, '$1 ~ /^"/ {
      name = $1; gsub(/"/, "", name)
      stat = "median"
      if (match(name, /_(mean|median|stddev|cv|min|max)$/)) {
        stat = substr(name, RSTART + 1); name = substr(name, 1, RSTART - 1)
      }
      sub(/\/iterations:.*/, "", name)
      v[name, stat] = $3 / 1000; names[name] = 1
    }
    END {
      for (n in names) {
        m = v[n, "median"]
        lo = ((n, "min") in v) ? v[n, "min"] : m
        hi = ((n, "max") in v) ? v[n, "max"] : m
        print "engine." n, m, lo, hi, 0
      }
    }' "$data/engine.csv" >> "$kv"
elif [ ! -x "$bin/engine_bench" ]; then
  say "engine_bench not built (libbenchmark-dev missing); skipped"
fi

# The Python package against dict, py-lmdb and sqlite3, every row in one
# interpreter; each profile's database built here from its record text.
python=${PYTHON:-/usr/bin/python3}
py_sets=""
for p in $python_profiles; do
  if ! PYTHONPATH=$build/python "$python" -c 'import qef64' 2>/dev/null; then
    say "python: no package qef64 in $build/python for $python" \
      "(python3-dev missing?); skipped"
    break
  fi
  in=$(input "$p")
  if ! [ "$data/$p.db" -nt "$in" ]; then
    "$bin/qef64make" "$data/$p.db" "$data/$p.tmp" < "$in"
  fi
  py_sets="$py_sets $p=$data/$p.db"
done
if [ -n "$py_sets" ]; then
  say "python:$py_sets"
  # shellcheck disable=SC2086
  PYTHONPATH=$build/python "$python" "$here/python_bench.py" "$data/python" \
    $py_sets > "$data/python.new"
  rm -rf "$data/python"
fi

# Sharded sets: a Dask build against one process and one qef64make.
dask_ran=""
if [ -n "$dask_profile" ]; then
  if ! PYTHONPATH=$build/python "$python" -c 'import qef64, dask.bag, distributed' \
      2>/dev/null; then
    say "dask: qef64 in $build/python, or Dask, missing for $python" \
      "(apt-get install python3-dask python3-distributed); skipped"
  else
    in=$(input "$dask_profile")
    say "dask: $dask_profile"
    PYTHONPATH=$build/python "$python" "$here/dask_bench.py" "$data/dask" \
      "$in" "$bin/qef64make" > "$data/dask.new"
    dask_ran=1
  fi
fi

# Cold files: the page cache dropped, and a memory cgroup.
cold_ran=""
if [ -n "$cold_profile" ]; then
  say "cold: $cold_profile"
  BENCH_COLD_PROFILE=$cold_profile sh "$here/cold.sh" "$build" "$data" \
    > "$data/cold.new"
  [ -s "$data/cold.new" ] && cold_ran=1
fi

# The qef64 command against qef64make and qef64get.
cli_ran=""
if [ -n "$cli_profile" ]; then
  if [ ! -x "$bin/qef64" ]; then
    say "cli: $bin/qef64 not built (its libraries missing?); skipped"
  else
    in=$(input "$cli_profile")
    set -- "$bin" "$data" "$cli_profile" "$in"
    if [ -n "$cli_verify" ]; then
      say "$cli_verify: input for qef64 verify"
      set -- "$@" "$cli_verify" "$(input "$cli_verify")"
    fi
    sh "$here/cli_bench.sh" "$@" > "$data/cli.new"
    cli_ran=1
  fi
fi

# Sharded sets through the C interface.
sets_ran=""
if [ -n "$sets_profile" ]; then
  in=$(input "$sets_profile")
  sh "$here/sets.sh" "$bin" "$data" "$sets_profile" "$in" > "$data/sets.new"
  sets_ran=1
fi

# The report: the main table of ratios, ours over what it is measured
# against, then a section per further benchmark. A part that did not run
# keeps its text from the report as it was.
batch_heading="## Batched lookups"
builder_heading="## The library's builder in bounded memory"
python_heading="## Python"
dask_heading="## Sharded sets on Dask"
cold_heading="## Cold files"
cli_heading="## The qef64 command"
sets_heading="## Sharded sets from C"
# old_part HEADING: that section of the current report ("" for the main
# part before the first section), trailing blank lines dropped.
old_part() {
  [ -f "$results" ] || return 0
  awk -v h="$1" '
    h == "" && /^## / { exit }
    h == "" { print; next }
    $0 == h { on = 1; print; next }
    on && /^## / { exit }
    on { print }' "$results" | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'
}
if [ -n "$profiles" ]; then
{
  echo "# Benchmark results"
  echo
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -srm)," \
    "$(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | sed 's/.*: //')," \
    "$(nproc) cores," \
    "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)."
  echo "Whole processes: median of the timed runs (min-max), all commands of"
  echo "a row measured in turn in the same run. Engine rows: median of"
  echo "${BENCH_REPS:-5} repetitions, one pass over all records each."
  echo "Ratio = ours / against; lower is better. Memory: max RSS of"
  echo "qef64make against 32 bytes per record plus 4 MiB."
  echo
  awk '
    function t(k) { return (k in med) ? sprintf("%.4g s (%.4g-%.4g)", med[k], lo[k], hi[k]) : "-" }
    function row(p, what, a, vs, b, target,    r, ok) {
      if (!((p "." a) in med) || !((p "." b) in med)) return
      r = med[p "." a] / med[p "." b]
      ok = ""
      if (target != "") ok = (r <= target + 0) ? "yes" : "NO"
      printf "| %s | %s | %s | %s | %s | %.3f | %s | %s |\n", p, what,
        t(p "." a), vs, t(p "." b), r, (target == "" ? "" : "<= " target), ok
    }
    {
      med[$1] = $2; lo[$1] = $3; hi[$1] = $4; rss[$1] = $5
      split($1, part, "."); prof = part[1]
      if (prof != "engine" && !(prof in seen)) { seen[prof] = 1; order[++np] = prof }
      if ($1 ~ /^engine\./) {
        split(substr($1, 8), e, "/")
        # engine.load/tiny/lmdb -> tiny.load_lmdb
        key = e[2] "." e[1] (e[3] == "" ? "" : "_" e[3])
        med[key] = $2; lo[key] = $3; hi[key] = $4
      }
    }
    END {
      print "| profile | ours | median | against | median | ratio | target | met |"
      print "|---|---|---|---|---|---|---|---|"
      for (i = 1; i <= np; i++) {
        p = order[i]
        row(p, "qef64make", "make", "cat input > file", "cat_file", "")
        row(p, "qef64make", "make", "copy + fsync", "copy_fsync",
            (p == "medium" || p == "large") ? "1.5" : "")
        row(p, "qef64make", "make", "copy + fsync, 8 KiB calls", "copy8k_fsync", "")
        row(p, "qef64make", "make", "LMDB load", "load_lmdb",
            (p == "tiny" || p == "real") ? "0.2" : "")
        row(p, "qef64make", "make", "SQLite load", "load_sqlite",
            (p == "tiny" || p == "real") ? "0.0667" : "")
        row(p, "load (engine)", "load_qef64", "unordered_map load", "load_unordered_map", "")
        row(p, "load (engine)", "load_qef64", "LMDB load", "load_lmdb", "")
        row(p, "load (engine)", "load_qef64", "SQLite load", "load_sqlite", "")
        row(p, "writer_add", "writer_add", "unordered_map load", "load_unordered_map", "")
        row(p, "find mapped", "find_qef64_mapped", "unordered_map find", "find_unordered_map", "1")
        row(p, "find mapped", "find_qef64_mapped", "LMDB mdb_get", "find_lmdb", "0.2")
        row(p, "find mapped", "find_qef64_mapped", "SQLite SELECT", "find_sqlite", "0.05")
        row(p, "find positional", "find_qef64_positional", "find mapped", "find_qef64_mapped", "")
        row(p, "find positional", "find_qef64_positional", "SQLite SELECT", "find_sqlite", "")
        row(p, "qef64dump", "dump", "cat db > /dev/null", "cat_db", p == "medium" ? "3" : "")
        row(p, "qef64test", "test", "cat db > /dev/null", "cat_db", p == "medium" ? "3" : "")
        row(p, "qef64stats", "stats", "cat db > /dev/null", "cat_db", p == "medium" ? "3" : "")
        row(p, "qef64dump", "dump", "its calls alone", "floor_copy", "")
        row(p, "qef64test", "test", "its calls alone", "floor_seek", "")
        row(p, "qef64stats", "stats", "its calls alone", "floor_seek", "")
        row(p, "qef64get", "get", "mapstdin", "mapstdin", "1.1")
        row(p, "qef64get", "get", "/bin/true", "true", "")
        k = p ".make"
        if ((k in rss) && (p ".records") in med) {
          n = med[p ".records"]
          limit = 32 * n / 1024 + 4096
          printf "| %s | qef64make max RSS | %d KiB | 32 B/record + 4 MiB | %d KiB | %.3f | <= 1.1 | %s |\n",
            p, rss[k], limit, rss[k] / limit, (rss[k] <= 1.1 * limit) ? "yes" : "NO"
        }
      }
    }' "$kv"
} > "$data/main.md"
else
  old_part "" > "$data/main.md"
fi

if [ -n "$batch_profiles" ]; then
{
  # Nanoseconds per key of each row, then the ratios that have targets
  # (time of ours / time of the other; lower is better).
  echo "$batch_heading"
  echo
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -srm)," \
    "$(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | sed 's/.*: //')," \
    "$(nproc) cores."
  echo "Engine rows batch/NAME/ROW: every key once in one random order (all"
  echo "present, or every second one absent), through the C interface."
  echo "a: loop of qef64_get; b: qef64_get_many, batches of 1000; c:"
  echo "std::unordered_map find; d: LMDB mdb_get in one read transaction;"
  echo "e: floor, two dependent random 64-byte reads per key over an array"
  echo "the size of the file, 16 keys in flight; f: b from two threads on"
  echo "one database; g: qef64_set_get_many, batches of 1000, on a set of 32"
  echo "shards of the same records. Nanoseconds per key, median of ${BENCH_REPS:-5}"
  echo "repetitions (min-max). Rerun this section alone with"
  echo "\`BENCH_ONLY=batch make bench-run\`."
  echo
  awk '
    $1 ~ /^engine\.batch/ {
      split(substr($1, 8), e, "/")
      k = e[1] "/" e[2] "/" e[3]
      med[k] = $2; lo[k] = $3; hi[k] = $4; sets[e[2]] = 1
    }
    # A set below a million keys makes passes up to a million lookups per
    # timed iteration, as engine_bench does.
    $1 ~ /\.records$/ {
      split($1, r, "."); n[r[1]] = ($2 >= 1000000 || $2 == 0) ? $2 : int(1000000 / $2) * $2
    }
    function ns(k, p) {
      return (k in med && n[p] > 0) ? sprintf("%.1f (%.1f-%.1f)", med[k] / n[p] * 1e9,
        lo[k] / n[p] * 1e9, hi[k] / n[p] * 1e9) : "-"
    }
    function ratio(p, a, b, target, what,    r) {
      if (!((a in med) && (b in med))) return
      r = med[a] / med[b]
      printf "| %s | %s | %.3f | <= %s | %s |\n", p, what, r, target,
        (r <= target + 0) ? "yes" : "NO"
    }
    END {
      print "| profile | keys | a get | b get_many | c unordered_map | d LMDB | e floor | f get_many, 2 threads | g set_get_many |"
      print "|---|---|---|---|---|---|---|---|---|"
      split("tiny10k tiny tiny10m", order, " ")
      for (i = 1; i <= 3; i++) {
        p = order[i]
        if (!(p in sets)) continue
        for (h = 0; h < 2; h++) {
          b = (h ? "batch_half/" : "batch/") p "/"
          printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", p,
            h ? "half absent" : "all present", ns(b "get", p), ns(b "get_many", p),
            ns(b "unordered_map", p), ns(b "lmdb", p), ns(b "floor", p),
            ns(b "get_many_2threads", p), ns(b "set_get_many", p)
        }
      }
      print ""
      print "| profile | ratio | value | target | met |"
      print "|---|---|---|---|---|"
      for (i = 1; i <= 3; i++) {
        p = order[i]
        if (!(p in sets)) continue
        b = "batch/" p "/"
        t = (p == "tiny10m") ? "0.25" : (p == "tiny") ? "0.333" : "1.1"
        ratio(p, b "get_many", b "get", t, "b / a")
        ratio(p, b "get_many", b "floor", "1.5", "b / e")
        if (p == "tiny10m") ratio(p, b "get_many", b "unordered_map", "0.5", "b / c")
        ratio(p, b "get_many_2threads", b "get_many", "0.556", "f / b (time per key)")
        if (p == "tiny10m") ratio(p, b "set_get_many", b "get_many", "1.2", "g / b")
      }
    }' "$kv"
} > "$data/batch.md"
else
  old_part "$batch_heading" > "$data/batch.md"
fi

if [ -n "$builder_profiles" ]; then
{
  echo "$builder_heading"
  echo
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -srm)," \
    "$(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | sed 's/.*: //')," \
    "$(nproc) cores," \
    "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)."
  echo "\`libmake\` (\`bench/libmake.c\`) reads the same record text as"
  echo "\`qef64make\` and builds through \`qef64_builder_*\` with the default"
  echo "budget of 64 MiB for the index; the two take turns, medians of the"
  echo "timed runs (min-max). Max RSS as \`wait4\` reports it. Spilled and read"
  echo "back: bytes to and from the spill file, from \`/proc/self/io\`."
  echo "Rerun this section alone with \`BENCH_ONLY=builder make bench-run\`."
  echo
  awk '
    { med[$1] = $2; lo[$1] = $3; hi[$1] = $4; rss[$1] = $5
      split($1, part, "."); if (part[2] == "lib_build") order[++np] = part[1] }
    function t(k) { return sprintf("%.4g s (%.4g-%.4g)", med[k], lo[k], hi[k]) }
    END {
      print "| profile | records | libmake | qef64make | ratio | target | met |"
      print "|---|---|---|---|---|---|---|"
      for (i = 1; i <= np; i++) {
        p = order[i]; b = p ".lib_build"; m = p ".lib_make"
        r = med[b] / med[m]
        target = (p == "tiny10m") ? "<= 1.3" : ""
        ok = (p == "tiny10m") ? ((r <= 1.3) ? "yes" : "NO") : ""
        printf "| %s | %.0f | wall %s | %s | %.3f | %s | %s |\n", p,
          med[p ".lib_records"], t(b), t(m), r, target, ok
        printf "| %s | | max RSS %.0f KiB | %.0f KiB | %.3f | <= 102400 KiB | %s |\n",
          p, rss[b], rss[m], rss[b] / rss[m], (rss[b] <= 102400) ? "yes" : "NO"
        printf "| %s | | output | | | cmp-identical | %s |\n", p,
          med[p ".lib_same"] ? "yes" : "NO"
        printf "| %s | | spilled %.0f B, read back %.0f B | | | | |\n", p,
          med[p ".lib_spilled"], med[p ".lib_read"]
      }
    }' "$kv"
} > "$data/builder.md"
else
  old_part "$builder_heading" > "$data/builder.md"
fi

if [ -n "$py_sets" ]; then
  mv "$data/python.new" "$data/python.md"
else
  old_part "$python_heading" > "$data/python.md"
fi

if [ -n "$dask_ran" ]; then
  mv "$data/dask.new" "$data/dask.md"
else
  old_part "$dask_heading" > "$data/dask.md"
fi

if [ -n "$cold_ran" ]; then
  mv "$data/cold.new" "$data/cold.md"
else
  old_part "$cold_heading" > "$data/cold.md"
fi

if [ -n "$cli_ran" ]; then
  mv "$data/cli.new" "$data/cli.md"
else
  old_part "$cli_heading" > "$data/cli.md"
fi

if [ -n "$sets_ran" ]; then
  mv "$data/sets.new" "$data/sets.md"
else
  old_part "$sets_heading" > "$data/sets.md"
fi

# The parts that have text, one blank line between them.
rm -f "$data/results.md.part"
for part in main batch builder python dask cold cli sets; do
  [ -s "$data/$part.md" ] || continue
  [ -s "$data/results.md.part" ] && echo >> "$data/results.md.part"
  cat "$data/$part.md" >> "$data/results.md.part"
done
: >> "$data/results.md.part"
mv "$data/results.md.part" "$data/results.md"
cp "$data/results.md" "$results"
cat "$results"
