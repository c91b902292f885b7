#!/bin/sh
# What the Python tests need beyond the interpreter: its headers
# (python3-dev) to build the package, venv and setuptools (python3-venv,
# python3-setuptools) for the pip install test, and Dask (python3-dask,
# python3-distributed) for the sharded build on a local cluster.
#
#   sh tests/python/deps.sh [PYTHON]     (make test; PYTHON=/usr/bin/python3)
#
# Debian's packages serve /usr/bin/python3 alone. For it, as root with
# apt-get, missing ones are installed; otherwise this says what is missing
# and the tests that need it skip, each saying why. Never fails.
python=${1:-/usr/bin/python3}

if ! [ -x "$python" ]; then
  echo "python: $python not found; the Python tests are skipped"
  exit 0
fi
missing=""
"$python" -c '
import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
' || missing="$missing python3-dev"
"$python" -c 'import ensurepip, venv' 2>/dev/null || missing="$missing python3-venv"
"$python" -c 'import setuptools' 2>/dev/null || missing="$missing python3-setuptools"
"$python" -c 'import dask.bag' 2>/dev/null || missing="$missing python3-dask"
"$python" -c 'import distributed' 2>/dev/null || missing="$missing python3-distributed"
[ -n "$missing" ] || exit 0

if [ "$python" = /usr/bin/python3 ] && [ "$(id -u)" = 0 ] &&
  command -v apt-get >/dev/null 2>&1; then
  echo "python: installing$missing for the Python tests"
  export DEBIAN_FRONTEND=noninteractive
  # shellcheck disable=SC2086
  apt-get install -y --no-install-recommends $missing ||
    { apt-get update && apt-get install -y --no-install-recommends $missing; } ||
    echo "python: could not install$missing; the tests that need it skip"
else
  echo "python: $python lacks$missing (apt-get install$missing as root);" \
    "the Python tests that need it skip"
fi
exit 0
