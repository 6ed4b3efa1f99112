#!/usr/bin/env bash
# Builds in Release, runs the benchmarks and prints one table, also written to
# bench/results/latest.md: every figure with the command that produced it and the 1-minute
# load average before and after it, next to its references measured in the same run (tcpdump
# on loopback, the router alone, a floor loop). The full output of every benchmark goes to
# build-bench/bench.log. Figures are only comparable on an otherwise quiet machine.
#
#   scripts/bench.sh                 everything: about 25 minutes (the big files take 14 of
#                                    them, more on a build that loses frames)
#   scripts/bench.sh --big [PARTS]   only the capture sizes users run (bench/bigfile.sh:
#                                    single viewer ring tcpdump, default all): the table, the
#                                    logger's CPU per frame by tenth of the file and its plot
#                                    (bench/results/latest-fill.png)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
VX_PACKAGES+=(tcpdump)      # the reference the pipeline is measured against
VX_PACKAGES+=(gnuplot-nox)  # the plot of the logger's CPU per frame as its file fills
big_only=0 big_parts=()
if [ "${1:-}" = --big ]; then
  big_only=1
  big_parts=("${@:2}")
fi
vx_ensure_packages
vx_configure build-bench -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_BENCH=ON -DVX_BUILD_TESTS=OFF
vx_build build-bench >build-bench/build.log 2>&1 || { tail -n 40 build-bench/build.log; exit 1; }

B=build-bench
log=$B/bench.log
: >"$log"
rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')

section() {
  echo "== $*" | tee -a "$log" >&2
  section_load=$(cut -d' ' -f1 /proc/loadavg)
}
# A row that does not give its own load average (a fifth field) gets its section's.
collect() {
  tee -a "$log" | grep '^ROW|\|^RATE64=\|^TCPDUMP' |
    awk -F'|' -v l="$section_load" -v cmd="cut -d' ' -f1 /proc/loadavg" '
      {line[++n] = $0; has[n] = ($1 == "ROW" && NF >= 5 && $5 != "")}
      END {
        cmd | getline after
        for (i = 1; i <= n; ++i) {
          if (line[i] ~ /^ROW\|/ && !has[i]) line[i] = line[i] "|" l " → " after
          print line[i]
        }
      }' >>"$rows" || true
}

if [ $big_only = 0 ]; then
  section "tcpdump reference"
  bench/tcpdump.sh "$B" 2>>"$log" | collect
  section "router alone"
  "$B/bench/bench_router" 300000 2>>"$log" | collect || true
  section "whole pipeline"
  bench/pipeline.sh "$B" 2>>"$log" | collect
  rate64=$(sed -n 's/^RATE64=//p' "$rows")
  section "engine in process"
  "$B/bench/bench_engine" --benchmark_filter='Sustained' 2>>"$log" | collect || true
  section "capture file appends"
  "$B/bench/bench_capture" --benchmark_filter='AppendPerFrame15MiB' 2>>"$log" | collect || true
  section "viewer"
  viewer_rate=${rate64:-0}
  [ "$viewer_rate" -gt 0 ] || viewer_rate=0
  "$B/bench/bench_viewer" $((viewer_rate > 0 ? viewer_rate * 2 : 100000)) "$viewer_rate" 2>>"$log" |
    collect || true
fi

section "capture sizes users run: -s 1000, the viewer's 4095 MiB, rings"
bench/bigfile.sh "$B" "${big_parts[@]}" 2>>"$log" | collect

load_after=$(cut -d' ' -f1-3 /proc/loadavg)
mem=$(awk '/^MemTotal:/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)
cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
mkdir -p bench/results
{
  echo "# Benchmarks, $started"
  echo
  echo "Commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown); $(nproc) cores${cpu:+ ($cpu)}, $mem memory;"
  echo "$(uname -sr); load average before $load_before, after $load_after."
  echo "Produced by scripts/bench.sh (Release build in build-bench/; every step in build-bench/bench.log)."
  echo
  echo "| what | figure | command | load average (1 min) before → after |"
  echo "|---|---|---|---|"
  awk -F'|' '/^ROW\|/ {printf "| %s | %s | `%s` | %s |\n", $2, $3, $4, $5}' "$rows"
  if [ -s "$B/bigfile/tenths.md" ]; then
    echo
    cat "$B/bigfile/tenths.md"
  fi
  rm -f bench/results/latest-fill.png
  if [ -s "$B/bigfile/fill.png" ]; then
    cp "$B/bigfile/fill.png" bench/results/latest-fill.png
    echo
    echo "![Logger CPU per frame as the file fills](latest-fill.png)"
  fi
} >bench/results/latest.md
cat bench/results/latest.md
