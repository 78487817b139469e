#!/usr/bin/env bash
# Build tolvik with AddressSanitizer and UndefinedBehaviorSanitizer and run the
# whole test suite against that build. Fails when the build fails, when the
# test run fails, or when a sanitizer reports anything in any process (the
# test process or the interpreters the tests start): a bad memory access, a
# leak, undefined behaviour.
#
#   bash tools/sanitize.sh [pytest arguments...]
#
# Run from anywhere, after tools/setup.sh has made .venv. The module is built
# with g++ and CMake from the project's own CMakeLists.txt, the sanitizer
# flags added, into build/asan (ignored by git); nothing is installed. The
# reports are kept in build/asan/reports and printed at the end.
#
# Leak detection sees every block the module allocates and every Python
# object it creates that is not tracked by the cyclic garbage collector (the
# floats of a result). A leaked list or tuple is not seen: the collector
# links every live container into lists that hang off the interpreter's
# static state, so to the leak checker it is still reachable. Reference
# leaks of containers need a reference count check instead.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

say() { echo "sanitize: $*"; }
die() {
  echo "sanitize: error: $*" >&2
  exit 1
}

py=$root/.venv/bin/python
[[ -x $py ]] || die "$py not found; run tools/setup.sh first"
"$py" -c 'import sys; assert sys.version_info[:2] == (3, 14)' 2>/dev/null ||
  die "$py is not CPython 3.14; rerun tools/setup.sh"
"$py" -c 'import pytest, hypothesis' 2>/dev/null ||
  die "pytest or hypothesis missing from .venv; rerun tools/setup.sh"
command -v cmake >/dev/null || die "cmake not found"
cxx=g++
command -v "$cxx" >/dev/null || die "$cxx not found"

build=$root/build/asan
logs=$build/reports
# float-cast-overflow is not part of "undefined" with g++; a float that does
# not fit the integer it is converted to is undefined behaviour all the same.
sanitize_flags="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all \
-fno-omit-frame-pointer -g -O1"

# An empty build type keeps CMake from adding its own optimisation flags, so
# the flags above are the only ones besides those of CMakeLists.txt. A build
# folder configured earlier for another compiler is started afresh.
say "building into ${build#"$root"/} ($cxx $sanitize_flags)"
configure() {
  mkdir -p "$build"
  cmake -S . -B "$build" -DPython_EXECUTABLE="$py" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS="$sanitize_flags" >"$build/configure.log" 2>&1
}
if ! configure; then
  rm -rf "$build"
  configure || {
    cat "$build/configure.log" >&2
    die "cmake configure failed"
  }
fi
cmake --build "$build" -j "$(nproc)" || die "build failed"
shopt -s nullglob
modules=("$build"/tolvik*.so)
((${#modules[@]} == 1)) || die "expected one tolvik*.so in $build, found ${#modules[@]}"

# The interpreter is not built with the sanitizer, so its runtime has to be
# in the process before anything else allocates: it is preloaded. The C++
# library is preloaded right after it: the runtime looks up the functions it
# wraps (__cxa_throw among them) once, at start, and the interpreter itself
# does not load the C++ library, so without this the first exception the
# module throws would stop the process in a failed runtime check. It is
# named, not given as a path, so that the loader picks the same copy the
# module gets (the one beside the interpreter's own libraries). The module's
# link to libubsan (added by -fsanitize=undefined) brings in the UBSan
# runtime when the module is loaded.
asan_rt=$("$cxx" -print-file-name=libasan.so)
[[ $asan_rt == /* && -e $asan_rt ]] || die "$cxx has no libasan.so (got: $asan_rt)"
asan_rt=$(readlink -f "$asan_rt")

rm -rf "$logs"
mkdir -p "$logs"

# PYTHONMALLOC=malloc: every Python object, the module's floats, lists and
# tuples included, comes from malloc, which ASan intercepts. The interpreter's
# own small-object allocator would otherwise carve objects out of large
# arenas: a float the module leaks would hide in an arena, an overrun into a
# neighbouring object would stay inside one valid block, and the leak checker,
# which does not look into the arenas, would take the interpreter's own
# blocks that only arena objects point to for leaks.
export PYTHONMALLOC=malloc
export LD_PRELOAD="$asan_rt libstdc++.so.6"
# Reports go to files, one per process (<logs>/asan.<pid>), so that those of
# the interpreters the tests start are counted too, not only the ones a test
# happens to look at, and none is lost with the output pytest captures from a
# process that dies. handle_abort: an abort anywhere is reported with its
# stack.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=66:handle_abort=1:\
strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:\
strict_init_order=1:log_path=$logs/asan"
# Leaks that are the interpreter's own would be suppressed by the rules in
# tools/lsan.supp (see there); everything else, the module's allocations and
# the Python objects it creates (within the limits said at the top), is
# reported.
export LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0"
# Any undefined behaviour ends the process (the build has
# -fno-sanitize-recover=all). With g++ the UBSan runtime is a library of its
# own beside the ASan one, and it cannot write to a log file: its request
# for one lands in the ASan runtime, which exports the same function. So its
# one-line message goes to standard error, and it aborts instead of exiting:
# the abort becomes an ASan report in <logs>/asan.<pid> whose stack names the
# check (__ubsan_handle_<check>_abort) and the source line. Its log_path is
# the ASan one so that the redirected request leaves that one unchanged.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1:log_path=$logs/asan"
export PYTHONPATH=$build${PYTHONPATH:+:$PYTHONPATH}
# Tells the tests that cannot run under AddressSanitizer to skip themselves.
export TOLVIK_SANITIZED=1

# The sanitized build must be the one imported, with the runtime active.
where=$("$py" -c 'import tolvik; print(tolvik.__file__)') || die "the sanitized module does not import"
[[ $where == "$build"/* ]] || die "imported $where instead of the build in $build"

say "running: python -m pytest${*:+ $*} (reports in ${logs#"$root"/})"
rc=0
"$py" -m pytest "$@" </dev/null || rc=$?

reports=("$logs"/*)
if ((${#reports[@]})); then
  for f in "${reports[@]}"; do
    echo
    echo "---- ${f#"$root"/}"
    cat "$f"
  done
fi
echo
say "sanitizer reports: ${#reports[@]}"
((rc == 0)) || die "the test run failed (pytest exit code $rc)"
((${#reports[@]} == 0)) || die "${#reports[@]} sanitizer report(s)"
say "passed"
