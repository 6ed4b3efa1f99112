#!/usr/bin/env bash
# Builds the fuzz configuration (clang, libFuzzer, ASan+UBSan) in build-fuzz/ and runs one
# fuzz target for a while.
#
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
#   scripts/fuzz.sh --list
#
# The target starts from its seeds (tests/fuzz/corpus/TARGET, read only) and writes what it
# finds to a scratch corpus, build-fuzz/corpus/TARGET, which later runs continue from. Crash,
# leak and time-out inputs land in build-fuzz/artifacts/TARGET/; a fixed crash belongs in
# tests/fuzz/corpus/TARGET as a regression input. Further arguments go to libFuzzer (for
# example -runs=N, or -jobs=2 -workers=2 on a machine with cores to spare).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
. scripts/lib.sh

targets=(settings registry capture_reader nmxcap nmxtcp krp)

usage() {
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]   (targets: ${targets[*]})" >&2
  exit 2
}

if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${targets[@]}"
  exit 0
fi
[ $# -ge 2 ] || usage
target=$1 seconds=$2
shift 2
[[ " ${targets[*]} " == *" $target "* ]] || usage
[[ "$seconds" =~ ^[0-9]+$ ]] || usage

# The largest input: documents of a few kilobytes; captures and request streams of a few
# hundred frames. FUZZ_RSS_LIMIT_MB bounds the memory of the fuzzing process.
case "$target" in
  settings|registry) max_len=16384 ;;
  *) max_len=65536 ;;
esac
rss_limit_mb=${FUZZ_RSS_LIMIT_MB:-2048}

VX_PACKAGES+=(clang libclang-rt-dev)
vx_ensure_packages || exit 2

dir=build-fuzz
CC=clang CXX=clang++ vx_configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_FUZZ=ON || exit 2
vx_build "$dir" --target "fuzz_$target" >"$dir/build-$target.log" 2>&1 || {
  grep -E 'error' "$dir/build-$target.log" | head -n 40
  echo "build of fuzz_$target failed ($dir/build-$target.log)" >&2
  exit 2
}

corpus="$dir/corpus/$target"
artifacts="$dir/artifacts/$target"
mkdir -p "$corpus" "$artifacts"
dict=()
[ -f "tests/fuzz/$target.dict" ] && dict=(-dict="tests/fuzz/$target.dict")

# The targets create and delete files for every input; on a disk file system that costs more
# than the code under test, so the private runtime folders go to memory where there is room.
if [ -z "${FUZZ_TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then FUZZ_TMPDIR=/dev/shm; fi
export TMPDIR=${FUZZ_TMPDIR:-${TMPDIR:-/tmp}}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
echo "fuzz_$target for $seconds s: corpus $corpus, artifacts $artifacts"
# close_fd_mask=1: the registry's notices on standard output would drown the fuzzer's own.
"$dir/tests/fuzz/fuzz_$target" "$corpus" "tests/fuzz/corpus/$target" \
  -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb="$rss_limit_mb" -timeout=20 \
  -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" "$@"
