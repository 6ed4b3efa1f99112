#!/usr/bin/env bash
# The capture sizes users run, at the rates they run them: nmx-traffic (64 data bytes, reads
# and writes) -> nmx-router -> VxNmxLogger, each run in a fresh folder with its own router.
#
#   single   `-c -s 1000` filled from empty until 98% full, at 100 000 and 200 000 frames/s,
#            then stepped (up from 200 000 while nothing is lost, else down to 150 000 or
#            50 000) for the highest zero-loss rate. The console always records into a ring
#            of 3 files (-r changes nothing), so this is 3 files of 333 MiB filled one after
#            the other, stopped before the ring gives up its oldest.
#   viewer   listen mode, `nmx-view set filesize 4095M`, `nmx-view start` (the viewer's
#            default ring of 2 files of 2047.5 MiB), 100 000 frames/s until the capture holds
#            2000 MiB: one file's table grows to 2000 MiB
#   ring     `-c -r -s 15` (the default) for 20 s and `-c -r -s 1000` until it has turned
#            over (1.1 times its size), at 100 000 frames/s
#   tcpdump  tcpdump -w on loopback, 64-byte UDP datagrams at 100 000 and 200 000 a second:
#            its CPU per packet, to set beside the logger's CPU per frame at the same rates
#
# A frame is one mirrored command (an operation is a request and its answer: 2 frames, so
# 100 000 frames/s is `nmx-traffic --rate 50000`). Loss is counted exactly: every command the
# router routed is one frame due (its "routed" counter), the file holds `nmx-cap info`'s
# "Frames", the logger owns up to "Frames dropped", and the router counts what it dropped for
# port 2 (printed at its exit); a remainder that none of them explains is shown as
# "unaccounted". The logger's CPU is utime + stime from /proc/PID/stat from the first frame
# to the last, its peak memory VmHWM. While a file fills, its fill (records + table) and the
# logger's CPU are sampled (console status line, or `nmx-view --json status` in listen mode)
# and cut into tenths of the file: the CPU per stored frame in each tenth.
#
# A step ends when the file is full enough (nmx-traffic is interrupted), or at a time limit of
# 1.5 times what the rate asked needs: then the machine could not sustain the rate, and the
# row says how full the file got. Steps found by the search (not the two fixed rates) also end
# at the router's first dropped frame. Every row carries its command and the 1-minute load
# average before and after it.
#
# About 14 minutes where nothing is lost (single ~5, viewer ~3.5, ring ~2.5, tcpdump ~1);
# a build that loses frames runs into the time limits (single ~5, viewer 5 minutes) and its
# search goes down to 50 000 frames/s (up to 5 minutes more, less at the router's first drop). Needs 1 GB free in TMPDIR (4 GB for the viewer,
# whose 4095 MiB are taken at its start).
#
#   bench/bigfile.sh BUILD_DIR [single] [viewer] [ring] [tcpdump]     (default: all)
# prints ROW| lines (what|figure|command|load) for scripts/bench.sh, writes the tenths table
# to BUILD_DIR/bigfile/tenths.md and, with gnuplot, the plot to BUILD_DIR/bigfile/fill.png.
set -uo pipefail
B=${1:?usage: bigfile.sh BUILD_DIR [single] [viewer] [ring] [tcpdump]}
. "$(dirname "$0")/terminal.sh"
shift
parts=" ${*:-single viewer ring tcpdump} "
logger=$B/src/console/VxNmxLogger
router=$B/tools/nmx-router/nmx-router
traffic=$B/tools/nmx-traffic/nmx-traffic
nmxcap=$B/tools/nmx-cap/nmx-cap
view=$B/tools/nmx-view/nmx-view
sender=$B/bench/udp_sender
tck=$(getconf CLK_TCK)
out=$B/bigfile
mkdir -p "$out"
rm -f "$out"/*.samples "$out"/*.dat "$out"/tenths.md "$out"/fill.png "$out"/tcpdump.ref
MiB=1048576
# Smaller sizes try the script out quickly; the rows name the sizes they ran.
SINGLE_MB=${VX_BIG_SINGLE_MB:-1000} VIEWER_MB=${VX_BIG_VIEWER_MB:-2000} RING_MB=${VX_BIG_RING_MB:-1000}
TRAFFIC="--size 64 --mix read,write"

say() { echo "  $*" >&2; }
load1() { cut -d' ' -f1 /proc/loadavg; }
ticks() {  # PID -> utime + stime in clock ticks
  local st
  read -r -a st <"/proc/$1/stat" 2>/dev/null || { echo 0; return; }
  echo $((st[13] + st[14]))
}
secs() { awk -v t="$1" -v k="$tck" 'BEGIN {printf "%.2f", t / k}'; }
# A number with thin spaces between thousands, as the rows print them.
n() { echo "$1" | sed ':a;s/\B[0-9]\{3\}\>/ &/;ta'; }

# The last whole status line of the console: "frames bytes" (the line is fixed-width, so a
# line caught half-written is too short and is skipped).
console_status() {
  local tail_text line
  tail_text=$(tail -c 200 "$1" 2>/dev/null | tr '\r' '\n' | grep 'Packet Count:' | tail -n 2)
  while IFS= read -r line; do
    [[ ${#line} -ge 45 && $line =~ Packet\ Count:\ *([0-9]+)\ File\ Size:\ *([0-9]+) ]] &&
      echo "${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
  done <<<"$tail_text" | tail -n 1
}
viewer_status() {  # PORT -> "frames bytes"
  local s
  s=$("$view" --port "$1" --timeout 5 --json status 2>/dev/null)
  [[ $s =~ \"frames\":([0-9]+),\"frameBytes\":([0-9]+) ]] &&
    echo "${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"
}
port2_dropped() {  # ROUTER_LOG -> what the router dropped for port 2 in its last counters
  tac "$1" 2>/dev/null | awk '$1 == "2" && NF >= 3 {print $NF; exit}'
}

# Samples "time frames bytes ticks" into $work/samples until $work/stop exists; interrupts
# the traffic ($work/traffic.pid) once the capture's fill reaches $target bytes, and with
# $watch at the router's first drop for port 2 (asked for with SIGUSR2 once a second).
sampler() {
  local src=$1 port=$2 fs frames bytes cut=0 i=0 d
  while [ ! -e "$work/stop" ] && kill -0 "$lp" 2>/dev/null; do
    if [ "$src" = console ]; then fs=$(console_status "$work/console.txt"); else fs=$(viewer_status "$port"); fi
    if [ -n "$fs" ]; then
      read -r frames bytes <<<"$fs"
      echo "$EPOCHREALTIME $frames $bytes $(ticks "$lp")" >>"$work/samples"
      if [ $cut = 0 ] && [ "$target" -gt 0 ] && [ $((128 + bytes + 4 * frames)) -ge "$target" ]; then
        kill -INT "$(cat "$work/traffic.pid" 2>/dev/null)" 2>/dev/null && cut=1 && echo full >"$work/cut"
      fi
    fi
    if [ $cut = 0 ] && [ "$watch" = 1 ] && [ $((++i % 5)) = 0 ]; then
      kill -USR2 "$rp" 2>/dev/null
      sleep 0.05
      d=$(port2_dropped "$work/router.log")
      if [ "${d:-0}" -gt 0 ]; then
        kill -INT "$(cat "$work/traffic.pid" 2>/dev/null)" 2>/dev/null && cut=1 &&
          echo "router-drop $frames $bytes" >"$work/cut"
      fi
    fi
    if [ "$src" = console ]; then sleep 0.2; else sleep 0.5; fi
  done
}

# A private runtime folder: the registry names a boot project folder (a viewer's capture goes
# there).
make_runtime() {
  mkdir -p "$work/Boot"
  cat >"$work/VxRegistry.xml" <<EOF
<?xml version="1.0"?>
<VxRegistry><Key Name="HKLM"><Key Name="Software"><Key Name="Lormec"><Key Name="Varnix3"><Value Name="CurrentVersion" Type="SZ">3.1</Value><Key Name="3.1"><Value Name="BootDir" Type="SZ">$work/Boot/</Value></Key></Key></Key></Key></Key></VxRegistry>
EOF
}

# capture NAME MODE ARGS RATE OPS TARGET WATCH
#   MODE console: VxNmxLogger -c -d WORK -f t.cap ARGS;  MODE listen: VxNmxLogger -l, then
#   nmx-view ARGS (set commands separated by ';') and start. RATE in frames/s, OPS operations,
#   TARGET the fill in bytes at which the traffic is interrupted (0: send OPS).
# Sets: R_ROUTED R_FILE R_LDROP R_RDROP R_UNACC R_SECS R_CARRIED R_CPU R_HWM R_FILL R_CUT
#       R_LOAD R_CMD R_OK (1: every frame due is in the file), R_SUSTAINED (1: rate kept)
capture() {
  local name=$1 mode=$2 args=$3 rate=$4 ops=$5 target=$6 watch=$7
  local work lp wp rp tp port="" vcmd="" t0 c0 c1 fs frames bytes last same cap_s l0 cmd
  work=$(mktemp -d "${TMPDIR:-/tmp}/vxbig.XXXXXX")
  make_runtime
  export VX_ROUTER_DEVICE=$work/r.sock VX_BASE_DIR=$work
  "$router" --socket "$VX_ROUTER_DEVICE" >"$work/router.log" 2>&1 &
  rp=$!
  for _ in $(seq 200); do [ -S "$VX_ROUTER_DEVICE" ] && break; sleep 0.05; done
  mkfifo "$work/keys"
  if [ "$mode" = console ]; then
    # shellcheck disable=SC2086
    exec 3<>"$work/keys"
    # shellcheck disable=SC2086
    on_terminal "$work/keys" "$work/console.txt" "$logger" -c -d "$work" -f t.cap $args
    lp=$LOGGER_PID wp=$TERM_PID
    for _ in $(seq 300); do grep -q "Packet Count" "$work/console.txt" 2>/dev/null && break; sleep 0.05; done
    cmd="VxNmxLogger -c -d D -f t.cap $args"
  else
    # A viewer port nobody else uses: the logger says when it cannot open it, then try another.
    for _ in $(seq 20); do
      port=$((40000 + RANDOM % 20000))
      (exec 9<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue
      "$logger" -l -p "$port" <"$work/keys" >"$work/console.txt" 2>&1 &
      lp=$! wp=$!
      exec 3>"$work/keys"
      for _ in $(seq 300); do grep -q "Press q\|Failed" "$work/console.txt" 2>/dev/null && break; sleep 0.05; done
      grep -q "Press q" "$work/console.txt" && break
      exec 3>&-
      wait "$lp"
      lp=""
    done
    vcmd=""
    local IFS_old=$IFS sub
    IFS=';'
    for sub in $args; do
      IFS=$IFS_old
      # shellcheck disable=SC2086
      "$view" --port "$port" $sub >>"$work/view.txt" 2>&1 || say "nmx-view $sub failed: $(tail -n 1 "$work/view.txt")"
      vcmd+="nmx-view $sub; "
      IFS=';'
    done
    IFS=$IFS_old
    "$view" --port "$port" start >>"$work/view.txt" 2>&1 || say "nmx-view start failed: $(tail -n 1 "$work/view.txt")"
    cmd="VxNmxLogger -l; ${vcmd}nmx-view start"
  fi
  if [ -z "${lp:-}" ] || ! kill -0 "$lp" 2>/dev/null; then
    say "$name: the logger did not start: $(tail -n 3 "$work/console.txt" | tr '\n' ' ')"
    kill -TERM "$rp"; wait "$rp"
    R_OK=0 R_SUSTAINED=0 R_ROUTED=0 R_FILE=0 R_LDROP=0 R_RDROP=0 R_UNACC=0 R_SECS=0 R_CARRIED=0
    R_CPU=0 R_HWM=0 R_FILL=0 R_MAXFILL=0 R_TURNED=0 R_CUT="" R_LOAD="" R_CMD=$cmd R_SUSTAINED_RATE=0
    rm -rf "$work"
    return
  fi

  l0=$(load1)
  # The time limit: 1.5 times what the rate needs (frames of about 109 bytes with the table).
  # A file to be filled gets operations for all of it: what ends the run is the fill or the
  # time limit.
  if [ "$target" -gt 0 ]; then
    cap_s=$(( target * 3 / 2 / 109 / rate + 10 ))
    ops=$(( rate * cap_s / 2 ))
  else
    cap_s=$(( (2 * ops * 3 / 2) / rate + 10 ))
  fi
  # shellcheck disable=SC2086
  local tcmd="nmx-traffic --count $ops --rate $((rate / 2)) $TRAFFIC --duration $cap_s"
  : >"$work/samples"
  t0=$EPOCHREALTIME
  c0=$(ticks "$lp")
  echo "$t0 0 0 $c0" >>"$work/samples"
  sampler "$mode" "$port" &
  local sp=$!
  # shellcheck disable=SC2086
  "$traffic" --count "$ops" --rate $((rate / 2)) $TRAFFIC --duration "$cap_s" >"$work/traffic.txt" 2>&1 &
  tp=$!
  echo "$tp" >"$work/traffic.pid"
  wait "$tp"
  # The last frames reach the file within a cycle or two; wait until the count stands still.
  last=-1 same=0
  for _ in $(seq 240); do
    sleep 0.25
    fs=$(tail -n 1 "$work/samples" | cut -d' ' -f2)
    if [ "$fs" = "$last" ]; then same=$((same + 1)); else same=0; fi
    [ $same -ge 6 ] && break
    last=$fs
  done
  touch "$work/stop"
  wait "$sp"
  c1=$(ticks "$lp")
  R_HWM=$(awk '/^VmHWM:/ {print $2}' "/proc/$lp/status")
  if [ "$mode" = console ]; then
    fs=$(console_status "$work/console.txt")
  else
    fs=$(viewer_status "$port")
    "$view" --port "$port" stop >>"$work/view.txt" 2>&1
  fi
  read -r frames bytes <<<"${fs:-0 0}"
  echo "$EPOCHREALTIME $frames $bytes $c1" >>"$work/samples"
  printf q >&3
  exec 3>&-
  wait "$wp"
  kill -TERM "$rp"
  wait "$rp"
  R_LOAD="$l0 → $(load1)"

  local file=$work/t.cap
  if [ "$mode" = listen ]; then
    local caps=("$work"/Boot/*.cap)
    file=${caps[0]}
  fi
  R_FILE=$("$nmxcap" info "$file" 2>/dev/null | awk '/^Frames:/ {print $2}')
  R_FILE=${R_FILE:-0}
  # "Frames dropped: N (router: M)": N counts the router's M too; the logger's own are N - M.
  R_LDROP=$(awk '/^Frames dropped:/ {n = $3 + 0; r = 0; if ($4 == "(router:") r = $5 + 0}
    END {print n - r}' "$work/console.txt")
  R_ROUTED=$(awk '/^routed / {n = $2} END {print n + 0}' "$work/router.log")
  R_RDROP=$(port2_dropped "$work/router.log")
  R_RDROP=${R_RDROP:-0}
  R_SECS=$(awk '{for (i = 1; i < NF; ++i) if ($i == "elapsed") print $(i + 1)}' "$work/traffic.txt")
  R_SECS=${R_SECS:-0}
  R_CARRIED=$(awk -v f="$R_ROUTED" -v s="$R_SECS" 'BEGIN {printf "%.0f", (s > 0 ? f / s : 0)}')
  R_CPU=$((c1 - c0))
  R_FILL=$((128 + bytes + 4 * frames))
  # The largest fill seen, and whether the ring gave up its oldest file (its count fell).
  read -r R_MAXFILL R_TURNED < <(awk '{f = 128 + $3 + 4 * $2; if (f > m) m = f; if (NR > 1 && $2 < p) t = 1; p = $2}
    END {printf "%.0f %d\n", m, t}' "$work/samples")
  R_CUT=$(cat "$work/cut" 2>/dev/null)
  R_CMD="$cmd; $tcmd"
  # A ring gives up its oldest frames: what is not in it was given up or lost; only the
  # logger's and the router's counts are losses there.
  R_UNACC=$((R_ROUTED - R_FILE - R_LDROP - R_RDROP))
  R_OK=0
  [ $((R_LDROP + R_RDROP)) -eq 0 ] && [ "$R_ROUTED" -gt 0 ] && R_OK=1
  [ "$R_TURNED" = 0 ] && [ "$R_UNACC" -ne 0 ] && R_OK=0
  # A file to be filled whose ring turned over: what it gave up hides what was lost.
  [ "$target" -gt 0 ] && [ "$R_TURNED" = 1 ] && R_OK=0
  R_SUSTAINED=1 R_SUSTAINED_RATE=1
  awk -v c="$R_CARRIED" -v r="$rate" 'BEGIN {exit !(c < 0.9 * r)}' && R_SUSTAINED=0 R_SUSTAINED_RATE=0
  [ "$target" -gt 0 ] && [ "${R_CUT%% *}" != full ] && [ "${R_CUT%% *}" != router-drop ] && R_SUSTAINED=0
  cp "$work/samples" "$out/$name.samples"
  {
    echo "== $name: $R_CMD"
    cat "$work/traffic.txt" "$work/console.txt" | tr '\r' '\n' | grep -v '^Packet Count' | grep -v '^$'
    tail -n 6 "$work/router.log"
    [ -f "$work/view.txt" ] && cat "$work/view.txt"
  } >&2
  say "$name: routed $R_ROUTED, in the file $R_FILE, logger dropped $R_LDROP, router dropped $R_RDROP, unaccounted $R_UNACC; $R_SECS s, $R_CARRIED frames/s carried; CPU $(secs $R_CPU) s; VmHWM $R_HWM KiB; fill $R_FILL; cut: ${R_CUT:-none}; load $R_LOAD"
  rm -rf "$work"
}

usper() {  # TICKS FRAMES -> µs per frame
  awk -v c="$1" -v f="$2" -v k="$tck" 'BEGIN {if (f > 0) printf "%.2f", c / k / f * 1e6; else printf "-"}'
}
pct() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.1f", (b > 0 ? 100 * a / b : 0)}'; }

# The loss figure of a run into one file.
loss_text() {
  local lost=$((R_ROUTED - R_FILE)) extra=""
  if [ "$R_TURNED" = 1 ]; then
    extra=", the ring turned over before the traffic stopped: $(n "$R_UNACC") given up by it or lost"
  elif [ "$R_UNACC" -ne 0 ]; then
    extra=", unaccounted $(n "$R_UNACC")"
  fi
  echo "$(n "$R_FILE") of $(n "$R_ROUTED") frames in the file ($(n "$lost") lost, $(pct "$lost" "$R_ROUTED")%: logger dropped $(n "$R_LDROP"), router dropped $(n "$R_RDROP")$extra)"
}
cpu_text() {
  echo "logger $(usper "$R_CPU" "$((R_ROUTED - R_LDROP - R_RDROP))") CPU µs per frame, peak RSS $((R_HWM / 1024)) MiB"
}
end_text() {  # BASE -> how the run ended
  local how
  case "${R_CUT%% *}" in
    full) how="interrupted at $(pct "$R_MAXFILL" "$1")% full" ;;
    router-drop) how="stopped at the router's first drop, $(pct "$R_MAXFILL" "$1")% full" ;;
    *)
      if [ "$R_SUSTAINED_RATE" = 0 ]; then
        how="not full by the time limit: $(pct "$R_MAXFILL" "$1")% full; the traffic could not be sent at the rate asked"
      else
        how="not full by the time limit: $(pct "$R_MAXFILL" "$1")% full; the logger stored frames slower than they came"
      fi ;;
  esac
  echo "$how after $R_SECS s, $(n "$R_CARRIED") frames/s carried"
}

# Tenths of a file from a run's samples: "tenth frames ticks secs fill_end" per line.
tenth_rows() {  # SAMPLES BASE
  awk -v base="$2" '
    { t[NR] = $1; f[NR] = $2; b[NR] = $3; c[NR] = $4; n = NR }
    END {
      k = 1; pt = t[1]; pf = f[1]; pc = c[1]
      for (i = 2; i <= n && k <= 10; ++i) {
        fill = 128 + b[i] + 4 * f[i]
        if (fill >= k * base / 10 || i == n) {
          if (f[i] > pf) printf "%d %d %d %.2f %.0f\n", k, f[i] - pf, c[i] - pc, t[i] - pt, fill
          pt = t[i]; pf = f[i]; pc = c[i]
          while (k <= 10 && fill >= k * base / 10) ++k
          if (i == n) break
        }
      }
    }' "$1"
}

single_row() {  # RATE NAME WHY
  local rate=$1 name=$2 ops target
  target=$((SINGLE_MB * MiB * 98 / 100))
  capture "$name" console "-s $SINGLE_MB" "$rate" 0 "$target" "$3"
  echo "ROW|-s $SINGLE_MB (3 ring files) filled from empty, $(n "$rate") frames/s asked (64 data bytes)|$(loss_text); $(end_text $((SINGLE_MB * MiB))); $(cpu_text)|$R_CMD (interrupted at 98% full)|$R_LOAD"
}

if [[ $parts == *" single "* ]]; then
  echo "== single file -s $SINGLE_MB" >&2
  single_row 100000 single-100k 0
  ok100=$R_OK sus100=$R_SUSTAINED first_load=${R_LOAD%% *}
  single_row 200000 single-200k 0
  ok200=$R_OK sus200=$R_SUSTAINED
  best=0 tried=""
  [ "$ok100" = 1 ] && [ "$sus100" = 1 ] && best=100000
  [ "$ok200" = 1 ] && [ "$sus200" = 1 ] && best=200000
  if [ "$best" = 200000 ]; then
    steps="300000 400000 500000 600000"
  elif [ "$best" = 100000 ]; then
    steps="150000"
  else
    steps="50000"
  fi
  end=""
  for rate in $steps; do
    single_row "$rate" "single-$((rate / 1000))k" 1
    tried+="$(n "$rate"), "
    if [ "$R_SUSTAINED" = 0 ] && [ "$R_OK" = 1 ]; then
      end="; at $(n "$rate") frames/s asked the machine carried $(n "$R_CARRIED")/s: the traffic, not the logger, ended the steps"
      break
    fi
    if [ "$R_OK" = 1 ]; then
      best=$rate
    else
      end="; at $(n "$rate") frames/s: $(loss_text), $(end_text $((SINGLE_MB * MiB)))"
      break
    fi
  done
  if [ "$best" -gt 0 ]; then
    fig="$(n "$best") frames/s from empty to 98% full with nothing lost"
  else
    fig="none of the steps: every rate tried lost frames"
  fi
  echo "ROW|-s $SINGLE_MB (3 ring files) filled from empty: highest zero-loss rate (steps 100 000, 200 000, ${tried%, })|$fig$end|bench/bigfile.sh single: VxNmxLogger -c -d D -f t.cap -s $SINGLE_MB; nmx-traffic --rate R/2 $TRAFFIC, each step from empty|$first_load → ${R_LOAD##* }"
fi

if [[ $parts == *" viewer "* ]]; then
  echo "== viewer 4095M" >&2
  target=$((VIEWER_MB * MiB))
  capture viewer-100k listen "set filesize 4095M" 100000 0 "$target" 0
  echo "ROW|listen mode, the viewer's largest file (nmx-view set filesize 4095M), 100 000 frames/s asked until $VIEWER_MB MiB|$(loss_text); $(end_text "$target"); $(cpu_text)|$R_CMD (interrupted at $VIEWER_MB MiB)|$R_LOAD"
fi

if [[ $parts == *" ring "* ]]; then
  echo "== rings" >&2
  capture ring15-100k console "-r -s 15" 100000 1000000 0 0
  echo "ROW|ring -r -s 15 (the console's default, 3 files), 100 000 frames/s asked for 20 s|$(n "$((R_ROUTED - R_LDROP - R_RDROP))") of $(n "$R_ROUTED") frames captured (logger dropped $(n "$R_LDROP"), router dropped $(n "$R_RDROP")), the newest $(n "$R_FILE") kept; $(n "$R_CARRIED") frames/s carried; $(cpu_text)|$R_CMD|$R_LOAD"
  # Until the ring has filled all its files and given up its oldest once.
  ops=$((RING_MB * MiB * 11 / 10 / 109 / 2))
  capture ring1000-100k console "-r -s $RING_MB" 100000 "$ops" 0 0
  turned="it turned over"
  [ "$R_TURNED" = 1 ] || turned="it did not turn over (too few frames stored)"
  echo "ROW|ring -r -s $RING_MB, 100 000 frames/s asked, 1.1 times its size sent|$(n "$((R_ROUTED - R_LDROP - R_RDROP))") of $(n "$R_ROUTED") frames captured (logger dropped $(n "$R_LDROP"), router dropped $(n "$R_RDROP")), the newest $(n "$R_FILE") kept, $turned; $(n "$R_CARRIED") frames/s carried in $R_SECS s; $(cpu_text)|$R_CMD|$R_LOAD"
fi

# tcpdump RATE COUNT -> a ROW; its CPU per packet also goes to tcpdump.ref for the plot.
tcpdump_row() {
  local rate=$1 count=$2 work tp c0 c1 l0 captured dropped secs_sent port=47811
  work=$(mktemp -d "${TMPDIR:-/tmp}/vxbig.XXXXXX")
  l0=$(load1)
  tcpdump -i lo -n -w "$work/u.pcap" "udp and dst port $port" 2>"$work/err" &
  tp=$!
  for _ in $(seq 100); do grep -q "listening on" "$work/err" && break; sleep 0.05; done
  c0=$(ticks "$tp")
  secs_sent=$("$sender" "$port" 64 "$count" "$rate" | awk '{print $(NF - 1)}')
  sleep 0.5
  c1=$(ticks "$tp")
  kill -INT "$tp"
  wait "$tp"
  captured=$(awk '/packets captured/ {print $1}' "$work/err")
  dropped=$(awk '/dropped by kernel/ {print $1}' "$work/err")
  local per
  per=$(usper $((c1 - c0)) "${captured:-0}")
  echo "$rate $per" >>"$out/tcpdump.ref"
  say "tcpdump at $rate/s: $count sent in $secs_sent s, captured $captured, dropped by kernel $dropped, CPU $(secs $((c1 - c0))) s"
  echo "ROW|tcpdump -w, 64-byte UDP datagrams over loopback, $(n "$rate")/s asked for $(n "$count")|$per CPU µs per packet ($(n "${captured:-0}") captured, ${dropped:-?} dropped by kernel, sent in $secs_sent s); set beside the logger's CPU µs per frame at the same rate|bench/bigfile.sh tcpdump: tcpdump -i lo -w FILE 'udp and dst port $port'; udp_sender $port 64 $count $rate|$l0 → $(load1)"
  rm -rf "$work"
}

if [[ $parts == *" tcpdump "* ]]; then
  echo "== tcpdump" >&2
  if command -v tcpdump >/dev/null 2>&1; then
    tcpdump_row 100000 2000000
    tcpdump_row 200000 2000000
  else
    echo "ROW|tcpdump -w, 64-byte UDP datagrams|not measured: tcpdump is not installed|apt-get install tcpdump|"
  fi
fi

# The tenths: one column per run into a file, CPU µs per stored frame and the frames stored
# per second in that tenth; a data file per run for the plot (MiB at the middle of the tenth).
runs=()
for r in "single-100k:-s $SINGLE_MB, 100 000/s:$SINGLE_MB" "single-200k:-s $SINGLE_MB, 200 000/s:$SINGLE_MB" \
         "viewer-100k:viewer 4095M, 100 000/s (tenths of $VIEWER_MB MiB):$VIEWER_MB"; do
  IFS=: read -r name title mib <<<"$r"
  [ -s "$out/$name.samples" ] || continue
  tenth_rows "$out/$name.samples" $((mib * MiB)) >"$out/$name.tenths"
  awk -v m="$MiB" -v k="$tck" '{printf "%.0f %.3f\n", ($5 - 0) / m, $3 / k / $2 * 1e6}' \
    "$out/$name.tenths" >"$out/$name.dat"
  runs+=("$name:$title")
done
if [ ${#runs[@]} -gt 0 ]; then
  {
    echo "Logger CPU per stored frame by tenth of the file (µs; frames stored per second in that tenth in brackets; the last tenth ends where the run ended). The console's -s $SINGLE_MB is a ring of 3 files: from 33% and 67% on, frames go into an empty file."
    echo
    hdr="| tenth |" sep="|---|"
    for r in "${runs[@]}"; do hdr+=" ${r#*:} |"; sep+="---|"; done
    echo "$hdr"
    echo "$sep"
    for k in 1 2 3 4 5 6 7 8 9 10; do
      line="| $(( (k - 1) * 10 ))–$((k * 10))% |"
      for r in "${runs[@]}"; do
        cell=$(awk -v k="$k" -v t="$tck" '$1 == k {printf "%.2f (%.0f/s)", $3 / t / $2 * 1e6, $2 / $4}' "$out/${r%%:*}.tenths")
        line+=" ${cell:-–} |"
      done
      echo "$line"
    done
    if [ -s "$out/tcpdump.ref" ]; then
      echo
      awk '{printf "tcpdump -w in the same run, 64-byte UDP datagrams at %d/s: %s CPU µs per packet.\n", $1, $2}' "$out/tcpdump.ref"
    fi
  } >"$out/tenths.md"
  if command -v gnuplot >/dev/null 2>&1; then
    {
      echo "set terminal pngcairo size 900,540 font 'sans,10'"
      echo "set output '$out/fill.png'"
      echo "set title 'VxNmxLogger CPU per stored frame as the capture file fills (64 data bytes)'"
      echo "set xlabel 'MiB in the file (middle of each tenth)'"
      echo "set ylabel 'logger CPU µs per frame'"
      echo "set yrange [0:*]"
      echo "set xrange [0:*]"
      echo "set grid"
      echo "set key below"
      # Where the console's ring of 3 files goes on in its next file (an empty table).
      echo "set arrow from $((SINGLE_MB / 3)),graph 0 to $((SINGLE_MB / 3)),graph 1 nohead dashtype 2 lc rgb '#808080'"
      echo "set arrow from $((SINGLE_MB * 2 / 3)),graph 0 to $((SINGLE_MB * 2 / 3)),graph 1 nohead dashtype 2 lc rgb '#808080'"
      echo "set label '-s $SINGLE_MB: ring file 2' at $((SINGLE_MB / 3)),graph 0.97 offset 0.5,0 font ',8' tc rgb '#808080'"
      echo "set label 'ring file 3' at $((SINGLE_MB * 2 / 3)),graph 0.97 offset 0.5,0 font ',8' tc rgb '#808080'"
      plot="plot"
      for r in "${runs[@]}"; do
        plot+=" '$out/${r%%:*}.dat' using (\$1):2 with linespoints title '${r#*:}',"
      done
      if [ -s "$out/tcpdump.ref" ]; then
        while read -r rate per; do
          [ "$per" = - ] || plot+=" $per with lines dashtype 2 lw 2 title 'tcpdump -w, $(n "$rate") UDP datagrams/s: $per µs per packet',"
        done <"$out/tcpdump.ref"
      fi
      echo "${plot%,}"
    } >"$out/fill.gnuplot"
    # The data files give the end of each tenth; plot at its middle.
    for r in "${runs[@]}"; do
      awk 'BEGIN {p = 0} {printf "%.0f %s\n", (p + $1) / 2, $2; p = $1}' "$out/${r%%:*}.dat" >"$out/${r%%:*}.mid"
      mv "$out/${r%%:*}.mid" "$out/${r%%:*}.dat"
    done
    gnuplot "$out/fill.gnuplot" 2>&1 >&2 || echo "  gnuplot failed" >&2
  else
    echo "  no gnuplot: no plot" >&2
  fi
fi

exit 0
