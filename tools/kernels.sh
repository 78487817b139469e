#!/usr/bin/env bash
# The test suite against each line kernel this processor runs.
#
#   bash tools/kernels.sh [PYTEST ARGS...]
#
# The module normally picks the fastest line kernel the processor runs (the
# one the other jobs test). This builds it once per kernel with that kernel
# forced (-DTOLVIK_LINE_KERNEL, a switch for tests only) into
# build/kernel-NAME and runs the suite against each build, so that
# every kernel is also tested end to end; tests/native/data_line_check.cpp
# compares the kernels with each other directly.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

say() { echo "kernels: $*"; }
die() {
  echo "kernels: error: $*" >&2
  exit 1
}

py=$root/.venv/bin/python
[[ -x $py ]] || die "$py not found; run tools/setup.sh first"

# The kernels and the processor flags each needs.
kernels=(portable sse2 avx2 avx512)
declare -A needs=([portable]="" [sse2]="sse2" [avx2]="avx2 fma"
  [avx512]="avx512f avx512bw avx512dq avx512vl avx512vbmi bmi2 fma")
flags=" $(grep -m1 '^flags' /proc/cpuinfo | cut -d: -f2) "
[[ $(uname -m) == x86_64 ]] || kernels=(portable)

mkdir -p "$root/build"
failed=()
for kernel in "${kernels[@]}"; do
  missing=""
  for flag in ${needs[$kernel]}; do [[ $flags == *" $flag "* ]] || missing+=" $flag"; done
  if [[ -n $missing ]]; then
    say "$kernel: skipped, the processor lacks$missing"
    continue
  fi
  build=$root/build/kernel-$kernel
  say "$kernel: building into ${build#"$root"/}"
  cmake -S . -B "$build" -DPython_EXECUTABLE="$py" -DCMAKE_BUILD_TYPE=Release \
    -DTOLVIK_LINE_KERNEL="$kernel" >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log" >&2; die "cmake configure failed"; }
  cmake --build "$build" -j "$(nproc)" >"$build.build.log" 2>&1 ||
    { tail -n 40 "$build.build.log" >&2; die "build failed"; }
  where=$(PYTHONPATH=$build "$py" -c 'import tolvik; print(tolvik.__file__)')
  [[ $where == "$build"/* ]] || die "imported $where instead of the build in $build"
  say "$kernel: python -m pytest${*:+ $*}"
  rc=0
  PYTHONPATH=$build "$py" -m pytest -q -p no:cacheprovider "$@" </dev/null || rc=$?
  ((rc == 0)) || failed+=("$kernel (pytest exit code $rc)")
done
if ((${#failed[@]})); then
  die "failed: ${failed[*]}"
fi
say "passed"
