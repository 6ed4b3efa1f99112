#!/usr/bin/env bash
# The whole pipeline, nmx-traffic -> nmx-router -> VxNmxLogger -c, as a user runs it (the
# console's own registration: port 2, queue 512). The rate steps up until the first frame is
# missing from the file; loss is counted exactly: every KRP operation is a request and an
# answer, both mirrored to port 2, so the file must hold 2 frames per operation, and the
# router's counters say how many it mirrored and dropped. nmx-traffic runs with its default
# window (64 requests in flight); one full-speed run with a window of 1024 shows what bursts
# of up to 2048 mirrored commands do to the router's queue of 512 for port 2. For each run the logger's CPU time
# (utime + stime from /proc/PID/stat) and peak resident memory (VmHWM from
# /proc/PID/status) are read just before it is stopped.
#
#   bench/pipeline.sh BUILD_DIR      prints ROW| lines and RATE64=<ops/s> for scripts/bench.sh
set -uo pipefail
B=${1:?usage: pipeline.sh BUILD_DIR}
. "$(dirname "$0")/terminal.sh"
logger=$B/src/console/VxNmxLogger
router=$B/tools/nmx-router/nmx-router
traffic=$B/tools/nmx-traffic/nmx-traffic
nmxcap=$B/tools/nmx-cap/nmx-cap
tck=$(getconf CLK_TCK)

# run SIZE OPS RATE MB [WINDOW] -> "frames mirrored dropped cpu_seconds vmhwm_kib traffic_seconds"
run() {
  local size=$1 ops=$2 rate=$3 mb=$4 window=${5:-64} work rp lp n last same out
  work=$(mktemp -d "${TMPDIR:-/tmp}/vxbench.XXXXXX")
  export VX_ROUTER_DEVICE=$work/r.sock VX_BASE_DIR=$work/rt
  mkdir -p "$VX_BASE_DIR"
  "$router" >"$work/router.log" 2>&1 &
  rp=$!
  for _ in $(seq 200); do [ -S "$VX_ROUTER_DEVICE" ] && break; sleep 0.05; done
  mkfifo "$work/keys"
  exec 3<>"$work/keys"
  on_terminal "$work/keys" "$work/console.txt" "$logger" -c -d "$work" -f t.cap -s "$mb"
  lp=$LOGGER_PID
  for _ in $(seq 200); do grep -q "Packet Count" "$work/console.txt" 2>/dev/null && break; sleep 0.05; done
  "$traffic" --count "$ops" --rate "$rate" --size "$size" --mix read,write --window "$window" \
    >"$work/traffic.txt" 2>&1
  # The last frames reach the file within a cycle or two; wait until the count stands still.
  last=-1 same=0
  for _ in $(seq 100); do
    n=$(tr '\r' '\n' <"$work/console.txt" | awk '/Packet Count/ {c=$3} END {print c+0}')
    if [ "$n" = "$last" ]; then same=$((same + 1)); else same=0; fi
    [ "$n" -ge $((2 * ops)) ] || [ $same -ge 4 ] && break
    last=$n
    sleep 0.1
  done
  local cpu hwm
  cpu=$(awk -v t="$tck" '{printf "%.3f", ($14 + $15) / t}' "/proc/$lp/stat")
  hwm=$(awk '/^VmHWM:/ {print $2}' "/proc/$lp/status")
  printf q >&3
  exec 3>&-
  wait "$TERM_PID"
  kill -TERM "$rp"
  wait "$rp"
  out=$(grep -E '^routed ' "$work/router.log" | tail -n 1)
  local frames mirrored dropped secs
  frames=$("$nmxcap" info "$work/t.cap" 2>/dev/null | awk '/^Frames:/ {print $2}')
  mirrored=$(echo "$out" | awk '{print $4}')
  dropped=$(echo "$out" | awk '{print $6}')
  secs=$(awk '{for (i = 1; i < NF; ++i) if ($i == "elapsed") print $(i + 1)}' "$work/traffic.txt")
  echo "${frames:-0} ${mirrored:-0} ${dropped:-0} $cpu ${hwm:-0} ${secs:-0}"
  rm -rf "$work"
}

# A file (-s, MB) that holds the run's frames with room to spare: the ring then drops nothing
# and every missing frame is a loss. (A capture file's table moves behind every append, so a
# far larger file than the run needs would only cost more per append.)
file_mb() {
  echo $(( (2 * $2 * ($1 + 100) * 13 / 10) / 1000000 + 2 ))
}

# step SIZE RATES... -> ROW lines; sets BEST (ops/s asked at the best zero-loss step). Steps
# go on until a frame is missing, or until the traffic no longer keeps the rate asked (then
# the generator, not the logger, is the limit, and the row says so).
step() {
  local size=$1 rate ops r frames mirrored dropped cpu hwm secs lost perm fps
  shift
  BEST=0
  local best_fps=0 best_row="" end_row=""
  for rate in "$@"; do
    ops=$((rate < 20000 ? 20000 : rate))  # a second of traffic, at least 20 000 operations
    r=$(run "$size" "$ops" "$rate" "$(file_mb "$size" "$ops")")
    read -r frames mirrored dropped cpu hwm secs <<<"$r"
    lost=$((2 * ops - frames))
    perm=$(awk -v c="$cpu" -v f="$frames" 'BEGIN {printf "%.2f", (f ? c / f * 1e6 : 0)}')
    fps=$(awk -v f="$frames" -v s="$secs" 'BEGIN {printf "%.0f", (s > 0 ? f / s : 0)}')
    echo "  step: --size $size --rate $rate ($((2 * rate)) frames/s asked, $fps carried): $frames of $((2 * ops)) in the file, router mirrored $mirrored, dropped $dropped; logger CPU ${cpu} s, peak RSS ${hwm} KiB" >&2
    if [ "$lost" -ne 0 ] || [ "$dropped" -ne 0 ]; then
      end_row="ROW|pipeline, $size data bytes: first step with loss|$((2 * rate)) frames/s asked, $fps/s carried: $lost of $((2 * ops)) frames missing (router dropped $dropped)|nmx-traffic --count $ops --rate $rate --size $size --mix read,write"
      break
    fi
    if [ "$fps" -gt "$best_fps" ]; then
      BEST=$rate best_fps=$fps
      best_row="ROW|pipeline, $size data bytes: highest zero-loss rate (stepped)|$fps frames/s carried ($((2 * ops)) frames, none missing); logger $perm CPU s per million frames, peak RSS $((hwm / 1024)) MiB|bench/pipeline.sh: nmx-traffic --count $ops --rate $rate --size $size --mix read,write"
    fi
    if awk -v f="$fps" -v r="$rate" 'BEGIN {exit !(f < 0.9 * 2 * r)}'; then
      end_row="ROW|pipeline, $size data bytes: end of the steps|$((2 * rate)) frames/s asked, $fps/s carried without loss: nmx-traffic cannot send faster here|nmx-traffic --count $ops --rate $rate --size $size --mix read,write"
      break
    fi
  done
  [ -n "$best_row" ] && echo "$best_row"
  [ -n "$end_row" ] && echo "$end_row"
  # Full speed, once.
  ops=200000
  [ "$size" -gt 256 ] && ops=50000
  r=$(run "$size" "$ops" 0 "$(file_mb "$size" "$ops")")
  read -r frames mirrored dropped cpu hwm secs <<<"$r"
  perm=$(awk -v c="$cpu" -v f="$frames" 'BEGIN {printf "%.2f", (f ? c / f * 1e6 : 0)}')
  fps=$(awk -v f="$frames" -v s="$secs" 'BEGIN {printf "%.0f", (s > 0 ? f / s : 0)}')
  echo "ROW|pipeline, $size data bytes, nmx-traffic --rate 0|$fps frames/s; $((2 * ops - frames)) of $((2 * ops)) missing (router dropped $dropped); logger $perm CPU s per million frames|nmx-traffic --count $ops --rate 0 --size $size --mix read,write"
}

step 64 25000 50000 100000 150000 200000 250000 300000 400000 500000
best64=$BEST
echo "RATE64=$best64"
# Bursts: full speed with 1024 requests in flight.
r=$(run 64 200000 0 "$(file_mb 64 200000)" 1024)
read -r frames mirrored dropped cpu hwm secs <<<"$r"
echo "ROW|pipeline, 64 data bytes, nmx-traffic --rate 0 --window 1024 (bursts)|$(awk -v f="$frames" -v s="$secs" 'BEGIN {printf "%.0f", (s > 0 ? f / s : 0)}') frames/s; $((400000 - frames)) of 400000 missing (router dropped $dropped)|nmx-traffic --count 200000 --rate 0 --size 64 --mix read,write --window 1024"

step 1400 10000 25000 50000 75000 100000 150000 200000

# Memory during a capture into the default 15 MiB ring at the 64-byte zero-loss rate, long
# enough for the ring to turn over.
if [ "$best64" -gt 0 ]; then
  ops=$((best64 * 3))
  r=$(run 64 "$ops" "$best64" 15)
  read -r frames mirrored dropped cpu hwm secs <<<"$r"
  echo "ROW|logger memory, default 15 MiB ring (-s 15), 64 data bytes at $((2 * best64)) frames/s for 3 s|peak RSS $((hwm / 1024)) MiB ($hwm KiB)|VxNmxLogger -c -s 15; VmHWM from /proc/PID/status"
fi
