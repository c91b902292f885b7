#!/bin/sh
# What the library, the qef64 command and the tests need from Debian beyond
# the compilers: GoogleTest, pkg-config, cJSON (the sets' manifest),
# libcrypto (SHA-256, base64), simdjson and nlohmann-json (JSON lines) and
# libcsv (CSV), dpkg-dev, whose dpkg-shlibdeps names the packages the
# qef64 command's libraries come in, and clang-format, for CI's check of
# the sources' layout. The five programs need none of them.
#
#   sh tests/deps.sh        (make test and make build run it)
#
# As root with apt-get, missing packages are installed; otherwise this says
# what is missing, and the configure step then names what it cannot find.
# Never fails.
packages="libgtest-dev pkg-config libcjson-dev libssl-dev libsimdjson-dev
  nlohmann-json3-dev libcsv-dev dpkg-dev clang-format"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
    missing="$missing $p"
done
[ -n "$missing" ] || exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  echo "deps: installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  # shellcheck disable=SC2086
  apt-get install -y --no-install-recommends $missing ||
    { apt-get update && apt-get install -y --no-install-recommends $missing; } ||
    echo "deps: could not install$missing"
else
  echo "deps: missing$missing (as root: apt-get install -y$missing)"
fi
exit 0
