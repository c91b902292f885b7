#!/bin/sh
# Runs every fuzz target built in BUILD_DIR for a bounded time on a copy of
# its seed corpus, prints the executions each made, and fails when one of
# them finds a crash, a leak, a sanitizer report or a timeout.
#   sh fuzz/smoke.sh BUILD_DIR [SECONDS_PER_TARGET]
set -eu
build=${1:?usage: smoke.sh BUILD_DIR [SECONDS]}
seconds=${2:-28}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/qef64-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
status=0
found=0
for bin in "$build"/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  case $bin in *fuzz_replay_*) continue ;; esac
  name=${bin##*/fuzz_}
  found=$((found + 1))
  mkdir -p "$work/$name/corpus" "$work/$name/crash"
  # New inputs go to the scratch corpus; the checked-in seeds stay as they are.
  if "$bin" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/$name/crash/" \
      "$work/$name/corpus" "$here/corpus/$name" >"$work/$name/log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name/log")
    echo "fuzz $name: ${runs:-?} executions in ${seconds} s, no crash"
  else
    echo "fuzz $name: FAILED" >&2
    tail -n 40 "$work/$name/log" >&2
    for a in "$work/$name/crash/"*; do
      [ -f "$a" ] || continue
      mkdir -p "$build/fuzz-artifacts"
      cp "$a" "$build/fuzz-artifacts/$name-${a##*/}"
      echo "reproducer: $build/fuzz-artifacts/$name-${a##*/}" >&2
    done
    status=1
  fi
done
if [ "$found" -eq 0 ]; then
  echo "smoke.sh: no fuzz targets in $build/fuzz" >&2
  exit 1
fi
exit $status
