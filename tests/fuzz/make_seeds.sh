#!/usr/bin/env bash
# Makes the seeds of the fuzz targets that the program's own tools produce: capture files
# recorded by VxNmxLogger from nmx-traffic through nmx-router (and damaged the way a crash or a
# cut copy damages them), and the byte streams nmx-view sends to a logger in listen mode,
# recorded by a small relay. Writes them into tests/fuzz/corpus/; the other seeds there are
# written by hand. Needs python3 for the relay and for cutting files.
#
#   tests/fuzz/make_seeds.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh

vx_ensure_packages
vx_configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
vx_build build --target VxNmxLogger nmx-router nmx-traffic nmx-view nmx-cap >/dev/null

bin=$PWD/build
logger=$bin/src/console/VxNmxLogger
router=$bin/tools/nmx-router/nmx-router
traffic=$bin/tools/nmx-traffic/nmx-traffic
view=$bin/tools/nmx-view/nmx-view
corpus=$PWD/tests/fuzz/corpus

work=$(mktemp -d "${TMPDIR:-/tmp}/vxseeds.XXXXXX")
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

export VX_ROUTER_DEVICE=$work/router.sock
export VX_BASE_DIR=$work/runtime
mkdir -p "$VX_BASE_DIR/Boot"
"$router" >"$work/router.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$VX_ROUTER_DEVICE" ] && break; sleep 0.1; done

wait_for() {  # FILE TEXT
  for _ in $(seq 200); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  echo "no '$2' in $1" >&2
  cat "$1" >&2
  return 1
}

# capture NAME TRAFFIC-ARGS...: a single capture file of what nmx-traffic sends.
capture() {
  local name=$1 pid
  shift
  rm -f "$work/keys" && mkfifo "$work/keys"
  "$logger" -c -d "$work" -f "$name" -s 1 <"$work/keys" >"$work/$name.txt" 2>&1 &
  pid=$!
  exec 3>"$work/keys"
  wait_for "$work/$name.txt" "Packet Count"
  if [ $# -gt 0 ]; then "$traffic" "$@" >/dev/null; fi
  sleep 0.3
  printf q >&3
  exec 3>&-
  wait "$pid"
}

capture empty.cap
capture small.cap --count 12 --rate 100 --size 16 --window 1 \
  --mix read,write,readwrite,readstate,devinfo,notification --errors 20
capture large-frames.cap --count 3 --rate 50 --size 2100 --window 1 --mix read,write
capture medium.cap --count 160 --rate 0 --size 48 --mix read,write,readwrite,notification

# Damaged copies: cut inside a record; a header that an interrupted append left behind (it
# still describes two frames fewer, whose table the records have overwritten); the
# preallocated tail of a file that is still being written.
python3 - "$work" <<'EOF'
import struct, sys
w = sys.argv[1]
b = bytearray(open(w + "/small.cap", "rb").read())
open(w + "/cut.cap", "wb").write(b[: len(b) * 2 // 3])
toff, tlen = struct.unpack_from("<II", b, 24)
n = tlen // 4
table = [struct.unpack_from("<I", b, toff + 4 * i)[0] for i in range(n)]
old = bytearray(b)
struct.pack_into("<II", old, 24, table[n - 2], 4 * (n - 2))
open(w + "/stale-header.cap", "wb").write(old)
open(w + "/open-tail.cap", "wb").write(b + bytes(4096))
EOF

for target in capture_reader nmxcap; do
  mkdir -p "$corpus/$target"
  for f in empty small large-frames medium cut stale-header open-tail; do
    cp "$work/$f.cap" "$corpus/$target/$f.cap"
  done
done

# The viewer's side of listen mode: every byte nmx-view sends, one file per connection.
cat >"$work/relay.py" <<'EOF'
import socket, sys, threading
listen_port, target_port, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", listen_port))
srv.listen()
n = 0
def pump(a, b, log):
    while True:
        d = a.recv(65536)
        if not d:
            break
        if log:
            log.write(d)
            log.flush()
        b.sendall(d)
    try:
        b.shutdown(socket.SHUT_WR)
    except OSError:
        pass
while True:
    c, _ = srv.accept()
    n += 1
    s = socket.create_connection(("127.0.0.1", target_port))
    log = open("%s/session-%02d.bin" % (out, n), "wb")
    threading.Thread(target=pump, args=(c, s, log), daemon=True).start()
    threading.Thread(target=pump, args=(s, c, None), daemon=True).start()
EOF
port=$((20000 + RANDOM % 20000))
relay=$((port + 1))
mkdir -p "$work/sessions"
"$logger" -l -p "$port" </dev/null >"$work/listen.txt" 2>&1 &
pids+=($!)
python3 "$work/relay.py" "$relay" "$port" "$work/sessions" &
pids+=($!)
sleep 0.5
"$traffic" --server-only --duration 30 >/dev/null 2>&1 &
pids+=($!)

v() { "$view" --port "$relay" "$@" >/dev/null 2>&1 || true; }
settings=$VX_BASE_DIR/Boot/settings.xml
cp "$corpus/settings/console-single.xml" "$settings"
v status                                                              # 01
v set savename viewer.cap; v set filesize 2M; v set buffersize 64K    # 02-04
v set autosave on; v set single                                       # 05-06
v start "$settings"                                                   # 07
"$traffic" --client-only --count 40 --rate 200 --size 24 >/dev/null 2>&1 &
v follow --notify --cycle 20 --packet 300 --count 10 --duration 3     # 08
v follow --poll --cycle 20 --packet 100 --count 5 --duration 3        # 09
wait $!
v stop; v save copy.cap; v get copy.cap -o "$work/copy.cap"           # 10-12
v filter include 5.1.204.160.1.1:851 :852 any; v filter exclude :10000  # 13-14
v filter flags krp,error; v filter enable include; v filter show      # 15-17
v set ring; v set savename ""; v --json status                        # 18-20
sleep 0.3

# krp: each connection's stream, and one stream of every command in turn (a whole session
# of control, views, files and filters). nmxtcp: the same streams behind chunk lengths of
# its input format (count, then each length - 1), from one whole chunk to single bytes.
rm -f "$work/sessions/session-20.bin"  # the same requests as session-01
cat "$work"/sessions/session-{02..19}.bin >"$work/sessions/flow.bin"
mkdir -p "$corpus/krp" "$corpus/nmxtcp"
cp "$work"/sessions/*.bin "$corpus/krp/"
cuts=('\x00' '\x01\x00' '\x02\x01\x06' '\x03\x04\x24\xff' '\x01\x05' '\x02\x00\x1f')
i=0
for f in "$work"/sessions/*.bin; do
  { printf "${cuts[i % ${#cuts[@]}]}"; cat "$f"; } >"$corpus/nmxtcp/$(basename "$f")"
  i=$((i + 1))
done
echo "seeds written to $corpus"
