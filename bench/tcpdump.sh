#!/usr/bin/env bash
# The reference: tcpdump writing a pcap file of UDP datagrams that bench/udp_sender sends over
# loopback (sendmmsg), at stepped rates (a second each) and as fast as the sender can. A step
# counts as lossless when tcpdump reports 0 "dropped by kernel" and the sender kept the rate.
#
#   bench/tcpdump.sh BUILD_DIR       prints ROW| lines and TCPDUMP<size>=<datagrams/s>
set -uo pipefail
B=${1:?usage: tcpdump.sh BUILD_DIR}
sender=$B/bench/udp_sender
port=47809
if ! command -v tcpdump >/dev/null 2>&1; then
  echo "ROW|tcpdump reference|not measured: tcpdump is not installed|apt-get install tcpdump"
  exit 0
fi

# one SIZE COUNT RATE -> "captured dropped seconds"
one() {
  local size=$1 count=$2 rate=$3 work tp secs
  work=$(mktemp -d "${TMPDIR:-/tmp}/vxbench.XXXXXX")
  tcpdump -i lo -n -w "$work/u.pcap" "udp and dst port $port" 2>"$work/err" &
  tp=$!
  for _ in $(seq 100); do grep -q "listening on" "$work/err" && break; sleep 0.05; done
  secs=$("$sender" "$port" "$size" "$count" "$rate" | awk '{print $(NF - 1)}')
  sleep 0.5
  kill -INT "$tp"
  wait "$tp"
  local captured dropped
  captured=$(awk '/packets captured/ {print $1}' "$work/err")
  dropped=$(awk '/dropped by kernel/ {print $1}' "$work/err")
  echo "${captured:-0} ${dropped:-0} ${secs:-0}"
  rm -rf "$work"
}

for size in 64 1400; do
  best=0
  for rate in 50000 100000 150000 200000 300000 400000 600000 800000 1000000; do
    read -r captured dropped secs <<<"$(one "$size" "$rate" "$rate")"
    echo "  tcpdump step: $size bytes at $rate/s: $rate sent in $secs s, captured $captured, dropped by kernel $dropped" >&2
    # A step the sender could not keep up with proves nothing about its rate.
    if [ "$dropped" -eq 0 ] && awk -v s="$secs" 'BEGIN {exit !(s > 0 && s < 1.05)}'; then
      best=$rate
    else
      break
    fi
  done
  read -r captured dropped secs <<<"$(one "$size" 500000 0)"
  full=$(awk -v c=500000 -v s="$secs" 'BEGIN {printf "%.0f", (s > 0 ? c / s : 0)}')
  # Where the sender cannot go faster than tcpdump keeps up with, its full speed is the figure.
  if [ "$dropped" -eq 0 ] && [ "$full" -gt "$best" ]; then best=$full; fi
  echo "ROW|tcpdump -w, UDP datagrams of $size bytes over loopback|zero loss up to $best datagrams/s (stepped); as fast as the sender can: $full datagrams/s sent, $dropped dropped by kernel|bench/tcpdump.sh: tcpdump -i lo -w FILE; udp_sender PORT $size COUNT RATE"
  echo "TCPDUMP$size=$best"
done
