#!/usr/bin/env bash
# Coverage-guided fuzzing of the plot file reader, then a differential replay.
#
#   bash tools/fuzz.sh [SECONDS]        (default 90)
#
# 1. Installs Debian's clang and its libFuzzer/sanitizer runtimes when missing
#    (apt-get, as root).
# 2. Builds fuzz/read_plot_file_fuzzer.cpp with the reader's sources (no Python)
#    into build/fuzz, with address and undefined-behaviour sanitizers.
# 3. Runs it for SECONDS on a scratch copy of fuzz/corpus (new inputs go to the
#    scratch folder, never into the repo). Any crash, sanitizer report, leak,
#    timeout or memory blow-up fails the script; the input is printed.
# 4. Replays every input of the final scratch corpus through the Python module
#    and the plain-Python reference reader and fails on any disagreement
#    (tools/fuzz_replay.py). The module is imported by .venv/bin/python, or by
#    $FUZZ_PYTHON when set (e.g. a python with PYTHONPATH to a fresh build).
#
# FUZZ_LINE_KERNEL=portable|sse2|avx2|avx512 builds the fuzzer with that line
# kernel (and its block reader) forced, as tools/kernels.sh does for the
# module; by default it uses the fastest the processor runs.
#
# The scratch folder is removed after a clean run unless FUZZ_KEEP=1; after a
# failure it is kept and its path printed. CI runs the default 90 seconds; a
# long run by hand is e.g. `FUZZ_KEEP=1 bash tools/fuzz.sh 3600` (the log shows
# progress: tail -f the log path printed at the start).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=${1:-90}
[[ $seconds =~ ^[0-9]+$ && $seconds -gt 0 ]] || {
  echo "usage: bash tools/fuzz.sh [SECONDS]" >&2
  exit 2
}

# Clang 15 or newer is needed: the sources use std::source_location, which
# libstdc++ offers only with __builtin_source_location (Debian 12's default
# clang is 14).
CLANG_VERSION=19
cxx=clang++-$CLANG_VERSION
python=${FUZZ_PYTHON:-.venv/bin/python}
out=build/fuzz
fuzzer=$out/read_plot_file_fuzzer

say() { echo "fuzz: $*"; }
die() {
  echo "fuzz: error: $*" >&2
  exit 1
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# libclang-rt: libFuzzer and the sanitizer runtimes; llvm: llvm-symbolizer for
# readable stack traces in reports.
packages=("clang-$CLANG_VERSION" "libclang-rt-$CLANG_VERSION-dev" "llvm-$CLANG_VERSION")
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if ((${#missing[@]})); then
  [[ $(id -u) == 0 ]] || die "missing packages ${missing[*]}; install them as root (apt-get install ${missing[*]})"
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
command -v "$cxx" >/dev/null || die "$cxx not found after install"

flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -Wall -Wextra -Isrc
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
case ${FUZZ_LINE_KERNEL:-} in
  "") ;;
  portable | sse2 | avx2 | avx512) flags+=("-DTOLVIK_FORCE_LINE_KERNEL=${FUZZ_LINE_KERNEL^}") ;;
  *) die "FUZZ_LINE_KERNEL: portable, sse2, avx2 or avx512, not $FUZZ_LINE_KERNEL" ;;
esac
sources=(src/text/*.cpp src/lib/plot_reader.cpp src/lib/buffered_blocks.cpp
  src/lib/buffered_blocks_avx2.cpp src/lib/buffered_blocks_avx512.cpp src/lib/plot_data.cpp
  src/lib/array_store.cpp src/binding/failure.cpp src/binding/diagnostic.cpp
  fuzz/read_plot_file_fuzzer.cpp)

say "building $fuzzer with $($cxx --version | head -n 1)${FUZZ_LINE_KERNEL:+ (line kernel $FUZZ_LINE_KERNEL)}"
mkdir -p "$out/obj"
rm -f "$out"/obj/*.o
printf '%s\0' "${sources[@]}" |
  xargs -0 -P "$(nproc)" -I{} sh -c \
    'cxx=$0 dir=$1 src=$2; shift 2; exec "$cxx" "$@" -c "$src" -o "$dir/$(echo "$src" | tr / _).o"' \
    "$cxx" "$out/obj" {} "${flags[@]}" 2>&1 | sed 's/^/  /' || true
objects=()
for s in "${sources[@]}"; do
  o="$out/obj/$(echo "$s" | tr / _).o"
  [[ -f $o ]] || die "compiling $s failed"
  objects+=("$o")
done
"$cxx" "${flags[@]}" "${objects[@]}" -o "$fuzzer"

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvik-fuzz.XXXXXX")
mkdir "$work/corpus"
cp fuzz/corpus/* "$work/corpus/"
log=$work/fuzz.log
keep() {
  say "scratch folder kept: $work"
}

say "fuzzing for ${seconds}s on a copy of fuzz/corpus ($(ls "$work/corpus" | wc -l) seeds); log: $log"
# With allocator_may_return_null a malloc above max_allocation_size_mb returns
# null, which the reader turns into OutOfMemory (a normal outcome for the
# harness); libFuzzer's rss and malloc limits catch any other blow-up. Every
# failure of the reader is a thrown exception, and with the detection of stack
# use after return each throw costs about ten times as much, halving the
# executions per second; it is off for that reason.
export ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=1024:detect_leaks=1:detect_stack_use_after_return=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-$CLANG_VERSION/bin/llvm-symbolizer
rc=0
"$fuzzer" "$work/corpus" -dict=fuzz/plot.dict -max_total_time="$seconds" -max_len=16384 \
  -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048 -close_fd_mask=3 \
  -artifact_prefix="$work/" -print_final_stats=1 >"$log" 2>&1 </dev/null || rc=$?

artifacts=("$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* "$work"/slow-unit-*)
found=()
for a in "${artifacts[@]}"; do if [[ -f $a ]]; then found+=("$a"); fi; done
if ((rc != 0 || ${#found[@]})) || grep -qE '^(==[0-9]+==ERROR|SUMMARY: )|runtime error:' "$log"; then
  tail -n 80 "$log" | sed 's/^/  /'
  for a in "${found[@]}"; do
    say "input $(basename "$a") ($(stat -c %s "$a") bytes), base64:"
    base64 -w 76 "$a" | head -n 200 | sed 's/^/  /'
  done
  say "reproduce: ASAN_OPTIONS=$ASAN_OPTIONS UBSAN_OPTIONS=$UBSAN_OPTIONS $fuzzer INPUT"
  keep
  die "the fuzzer found a problem (exit code $rc)"
fi

{ grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE)' "$log" || true; } | tail -n 1 | sed 's/^/  /'
{ grep -E '^stat::' "$log" || true; } | sed 's/^/  /'
say "corpus now $(ls "$work/corpus" | wc -l) inputs"

say "differential replay with $python"
[[ -x $python ]] || {
  keep
  die "$python not found: run tools/setup.sh first, or set FUZZ_PYTHON"
}
if ! "$python" tools/fuzz_replay.py "$work/corpus"; then
  keep
  die "the module and the reference reader disagree"
fi

if [[ ${FUZZ_KEEP:-0} == 1 ]]; then keep; else rm -rf "$work"; fi
say "passed"
