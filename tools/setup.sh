#!/usr/bin/env bash
# Set up a development checkout: CPython 3.14, a virtual environment in .venv,
# tolvik (both modules) built and installed into it with its test
# dependencies, numpy and pandas, and Dask (the tests run the examples with
# every engine), and a smoke run of the example. Run from anywhere; safe to rerun (an existing working .venv is
# kept, the package is rebuilt).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

say() { echo "setup: $*"; }
die() {
  echo "setup: error: $*" >&2
  exit 1
}

source tools/pypi-only.sh

say "locating CPython 3.14"
py=$(bash tools/python314.sh | tail -n 1)
say "interpreter: $py"

venv_works() {
  [[ -x .venv/bin/python ]] &&
    .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 14) and sys.prefix != sys.base_prefix' 2>/dev/null &&
    .venv/bin/python -m pip --version >/dev/null 2>&1
}

if venv_works; then
  say "reusing .venv"
else
  rm -rf .venv
  # Prefer the pip wheel that ships beside the interpreter (Debian keeps it in
  # <prefix>/share/python-wheels). ensurepip there would look for the
  # machine's own, older wheel, so the venv is made without pip and pip
  # installs itself from its wheel. Without such a wheel, ensurepip's bundled
  # one is right.
  wheels=$("$py" -c 'import os, sys; print(os.path.join(sys.base_prefix, "share", "python-wheels"))')
  pip_wheel=""
  if [[ -d $wheels ]]; then
    pip_wheel=$(find "$wheels" -maxdepth 1 -name 'pip-*.whl' | sort -V | tail -n 1)
  fi
  if [[ -n $pip_wheel ]]; then
    say "creating .venv (pip from $(basename "$pip_wheel"))"
    "$py" -m venv --without-pip .venv
    .venv/bin/python "$pip_wheel/pip" install -q --no-index "$pip_wheel"
  else
    say "creating .venv"
    "$py" -m venv .venv
  fi
  venv_works || die ".venv was created but its python or pip does not work"
fi

# strace shows the tests the reads tolvik asks of the system; without it
# that test skips.
if ! command -v strace >/dev/null && ((EUID == 0)) && command -v apt-get >/dev/null; then
  say "installing strace (apt-get)"
  apt-get install -y -q strace >/dev/null 2>&1 ||
    { apt-get update -q >/dev/null 2>&1 && apt-get install -y -q strace >/dev/null 2>&1; } ||
    say "strace could not be installed; the test of the reads will skip"
fi

say "building and installing tolvik with its test dependencies and the examples' (pip install .[test,arrays,dask,examples])"
.venv/bin/python -m pip install -q ".[test,arrays,dask,examples]"

say "smoke run: .venv/bin/python examples/summary.py examples/sample.plt"
.venv/bin/python examples/summary.py examples/sample.plt
say "done; run the tests with: .venv/bin/python -m pytest"
