#!/usr/bin/env bash
# Builds and runs every test with CTest. With CI set, also builds the Debian package from the
# plain build and checks it (scripts/check-deb.sh), and runs the whole suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, under ThreadSanitizer and built by clang,
# whose -Wthread-safety checks the lock annotations; all with -Werror.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
. scripts/lib.sh

vx_ensure_packages || exit 2

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

werror=OFF
[ -n "${CI:-}" ] && werror=ON

failed=()
summary=()

# run_config NAME DIR SANITIZER BUILD_TYPE
run_config() {
  local name=$1 dir=$2 san=$3 type=$4 start rc
  start=$(date +%s)
  mkdir -p "$dir"
  echo "=== $name: configure and build ($dir)"
  if ! vx_configure "$dir" -DCMAKE_BUILD_TYPE="$type" -DVX_SANITIZE="$san" -DVX_WERROR="$werror"; then
    failed+=("$name (configure)"); return
  fi
  if ! vx_build "$dir" >"$dir/build.log" 2>&1; then
    grep -E 'error|warning' "$dir/build.log" | head -n 60
    tail -n 20 "$dir/build.log"
    failed+=("$name (build)"); return
  fi
  echo "=== $name: tests"
  (cd "$dir" && ctest -j "${VX_JOBS:-2}" --output-on-failure --timeout 600) >"$dir/test.log" 2>&1
  rc=$?
  if [ "$rc" -ne 0 ]; then
    # the failures with their output, then the summary
    grep -v -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$dir/test.log" | tail -n 200
    failed+=("$name (tests)")
  else
    grep -E 'tests passed|Total Test time' "$dir/test.log"
  fi
  summary+=("$name: $(( $(date +%s) - start )) s")
}

run_config plain build "" RelWithDebInfo
if [ -n "${CI:-}" ]; then
  # The Debian package, from the plain build.
  echo "=== package: cpack -G DEB and dpkg-deb checks (build)"
  start=$(date +%s)
  if [[ " ${failed[*]} " == *"plain (build)"* || " ${failed[*]} " == *"plain (configure)"* ]] ||
     ! scripts/check-deb.sh build; then
    failed+=("package")
  fi
  summary+=("package: $(( $(date +%s) - start )) s")
  run_config asan+ubsan build-asan address Debug
  run_config tsan build-tsan thread RelWithDebInfo
  # No optimiser and no debug information: the build is for the analysis, and quick.
  CC=clang CXX=clang++ run_config thread-safety build-tsa "" None
fi

echo
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All configurations passed."
