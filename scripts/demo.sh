#!/usr/bin/env bash
# The demo: VxNmxLogger records a few seconds of traffic that nmx-traffic sends through the
# stand-in router nmx-router, then the capture file is shown. Everything runs in a temporary
# folder on a private socket; nothing of the system is touched. VX_DEMO_KEEP=1 keeps the
# folder (its path is printed), VX_DEMO_SECONDS sets the length of the traffic (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

step() { printf '\n== %s\n' "$*"; }

step "Installing what is missing and building (build/)"
vx_ensure_packages
vx_configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
vx_build build --target VxNmxLogger nmx-router nmx-traffic nmx-cap >build/demo-build.log 2>&1 || {
  tail -n 40 build/demo-build.log
  echo "Build failed; the whole log is build/demo-build.log" >&2
  exit 1
}

logger=build/src/console/VxNmxLogger
router=build/tools/nmx-router/nmx-router
traffic=build/tools/nmx-traffic/nmx-traffic
nmxcap=build/tools/nmx-cap/nmx-cap
seconds=${VX_DEMO_SECONDS:-3}

work=$(mktemp -d "${TMPDIR:-/tmp}/vxdemo.XXXXXX")
pids=()
cleanup() {
  local rc=$? p
  exec 3>&- 2>/dev/null || true
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  if [ "${VX_DEMO_KEEP:-0}" = 1 ]; then
    echo "Kept $work"
  else
    rm -rf "$work"
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The program and the tools find the router through VX_ROUTER_DEVICE (normally the runtime's
# device /dev/vxpaldrv) and the runtime's folders through VX_BASE_DIR.
export VX_ROUTER_DEVICE=$work/router.sock
export VX_BASE_DIR=$work/runtime
mkdir -p "$VX_BASE_DIR"

step "Starting the stand-in router on $VX_ROUTER_DEVICE"
"$router" >"$work/router.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  [ -S "$VX_ROUTER_DEVICE" ] && break
  sleep 0.1
done
[ -S "$VX_ROUTER_DEVICE" ] || { cat "$work/router.log"; echo "The router did not start" >&2; exit 1; }
head -n 1 "$work/router.log"

step "Starting: VxNmxLogger -c -d $work -f demo.cap"
# The keys come through a pipe: q stops the logger as it would on a terminal.
mkfifo "$work/keys"
"$logger" -c -d "$work" -f demo.cap <"$work/keys" >"$work/console.txt" 2>&1 &
logger_pid=$!
pids+=("$logger_pid")
exec 3>"$work/keys"
for _ in $(seq 200); do
  grep -q "Packet Count" "$work/console.txt" 2>/dev/null && break
  kill -0 "$logger_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q "Packet Count" "$work/console.txt" || {
  cat "$work/console.txt"
  echo "The logger did not start capturing" >&2
  exit 1
}

step "Sending $seconds seconds of KRP reads and writes with nmx-traffic"
# In the background, so that a signal to this script is acted on at once.
"$traffic" --count 0 --duration "$seconds" --rate 200 --mix read,write,readwrite &
pids+=($!)
wait $!
sleep 1  # the last answers reach the logger

step "Pressing q"
printf q >&3
exec 3>&-
for _ in $(seq 600); do
  kill -0 "$logger_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$logger_pid" 2>/dev/null && { echo "No reaction to q; sending SIGTERM"; kill -TERM "$logger_pid"; }
status=0
wait "$logger_pid" || status=$?
echo "VxNmxLogger exited with status $status"

step "Console output of VxNmxLogger"
# On a terminal the status line is rewritten in place (carriage returns); show its last state.
awk '{ n = split($0, part, "\r"); print part[n] }' "$work/console.txt"

step "What the router routed"
kill -TERM "${pids[0]}" 2>/dev/null || true
wait "${pids[0]}" 2>/dev/null || true
grep -A 20 "^routed" "$work/router.log" || true

step "The capture file"
ls -l "$work/demo.cap"
"$nmxcap" check "$work/demo.cap"
"$nmxcap" info "$work/demo.cap"
echo
echo "First frames:"
"$nmxcap" dump "$work/demo.cap" --count 20
