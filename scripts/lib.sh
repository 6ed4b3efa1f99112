# Shared by the scripts: installing what a fresh Debian machine lacks, and building.
# shellcheck shell=bash

# mandoc and groff-base lint the manual pages; dpkg-dev gives cpack dpkg-shlibdeps for the
# package's dependencies.
VX_PACKAGES=(cmake g++ make pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
             libpugixml-dev uuid-dev mandoc groff-base dpkg-dev libcpp-httplib-dev)
# Installed under CI only: tshark, and chromium, chromium-driver and python3-selenium (which
# drive the page of nmx-view serve) with python3-prometheus-client (which reads its /metrics),
# for tests that skip, with a message, where they are missing; clang for the thread-safety
# build.
VX_CI_PACKAGES=(tshark chromium chromium-driver python3-selenium python3-prometheus-client clang)

vx_missing_packages() {
  local missing=() p wanted=("${VX_PACKAGES[@]}")
  [ -n "${CI:-}" ] && wanted+=("${VX_CI_PACKAGES[@]}")
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  echo "${missing[@]:-}"
}

vx_ensure_packages() {
  command -v dpkg-query >/dev/null 2>&1 || return 0   # not Debian: trust the machine
  local missing
  missing=$(vx_missing_packages)
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing missing packages: $missing"
    export DEBIAN_FRONTEND=noninteractive
    # tshark's wireshark-common asks whether non-root users may capture: no.
    echo "wireshark-common wireshark-common/install-setuid boolean false" |
      debconf-set-selections 2>/dev/null || true
    apt-get update -qq >/dev/null || true
    # shellcheck disable=SC2086
    apt-get install -y -qq $missing >/dev/null
  else
    echo "Missing packages: $missing" >&2
    echo "Install them with: sudo apt-get install $missing" >&2
    return 1
  fi
}

# vx_configure DIR [cmake args...]
vx_configure() {
  local dir=$1; shift
  local launcher=()
  command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$dir" "${launcher[@]}" "$@" >/dev/null
}

# Progress goes to the script's own standard error as it was when this file was read: the
# scripts send a build's output to a log file, and a long build must still show that it moves.
exec {VX_PROGRESS_FD}>&2

vx_progress() {
  printf '%s\n' "$*" >&"$VX_PROGRESS_FD"
}

# The file standard output goes to, if it is one (where the system shows it).
vx_output_file() {
  local path
  path=$(readlink "/proc/$$/fd/1" 2>/dev/null) || return 0
  [ -f "$path" ] && printf '%s' "$path"
  return 0
}

# vx_build DIR [cmake --build args...]: the build's output goes where the caller sends it; the
# step it is at is shown every 15 s, and a failure names the log.
vx_build() {
  local dir=$1 log rc
  log=$(vx_output_file)
  vx_progress "Building in $dir${log:+ (log: $log)}"
  cmake --build "$dir" -j "${VX_JOBS:-2}" "${@:2}" 2>&1 | vx_build_steps
  rc=${PIPESTATUS[0]}
  [ "$rc" -eq 0 ] || vx_progress "The build in $dir failed${log:+; the whole log is $log}"
  return "$rc"
}

# Passes the build's lines on and shows a step ("[ 42%] Building ...") now and then.
vx_build_steps() {
  local line last=$SECONDS
  while IFS= read -r line; do
    printf '%s\n' "$line"
    if [[ $line == \[*\]* ]] && (( SECONDS - last >= 15 )); then
      last=$SECONDS
      vx_progress "  $line"
    fi
  done
}
