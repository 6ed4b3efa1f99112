#!/usr/bin/env bash
# Builds the Debian package from a configured and built build folder (default build/) and
# checks it with dpkg-deb: every program, its manual page and the service unit are in it, no
# test program or library is, and it depends on the libraries the programs link.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
dir=${1:-build}
if ! command -v dpkg-deb >/dev/null 2>&1; then
  echo "no dpkg-deb: not a Debian machine, no package to check"
  exit 0
fi

rm -f "$dir"/vxnmxlogger_*.deb
if ! (cd "$dir" && cpack -G DEB) >"$dir/cpack.log" 2>&1; then
  tail -n 20 "$dir/cpack.log"
  echo "cpack -G DEB failed" >&2
  exit 1
fi
debs=("$dir"/vxnmxlogger_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "expected one vxnmxlogger_*.deb in $dir" >&2
  exit 1
fi
deb=${debs[0]}

fail=0
files=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
expected=(
  /usr/bin/VxNmxLogger /usr/bin/nmx-view /usr/bin/nmx-cap /usr/bin/nmx-router /usr/bin/nmx-traffic
  /usr/bin/nmx-extcap
  /usr/share/man/man8/VxNmxLogger.8.gz /usr/share/man/man1/nmx-view.1.gz
  /usr/share/man/man1/nmx-cap.1.gz /usr/share/man/man8/nmx-router.8.gz
  /usr/share/man/man1/nmx-traffic.1.gz /usr/share/man/man1/nmx-extcap.1.gz
  /usr/lib/systemd/system/vxnmxlogger.service
  /usr/share/doc/vxnmxlogger/README.md /usr/share/doc/vxnmxlogger/settings.md
)
for f in "${expected[@]}"; do
  grep -qxF "$f" <<<"$files" || { echo "$deb: missing $f" >&2; fail=1; }
done
# Wireshark's extcap folder is /usr/lib/<arch>/wireshark/extcap on Debian.
extcap='^/usr/lib/\([^/]*/\)\?wireshark/extcap/nmx-extcap$'
grep -q "$extcap" <<<"$files" || { echo "$deb: no nmx-extcap in Wireshark's extcap folder" >&2; fail=1; }
# Only what is listed above, its folders and the documents.
unexpected=$(grep -vxF -f <(printf '%s\n' "${expected[@]}") <<<"$files" |
             grep -v -e '/$' -e '^/usr/share/doc/vxnmxlogger/[^/]*\.md$' -e "$extcap" || true)
if [ -n "$unexpected" ]; then
  echo "$deb: unexpected files:" >&2
  echo "$unexpected" >&2
  fail=1
fi

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libpugixml libuuid1 libstdc++6 libc6; do
  if ! grep -q "\(^\|, \)${lib}[^,]* (>= " <<<"$depends"; then
    echo "$deb: no versioned dependency on $lib: $depends" >&2
    fail=1
  fi
done
if [ "$(dpkg-deb -f "$deb" Package)" != vxnmxlogger ]; then
  echo "$deb: wrong package name" >&2
  fail=1
fi

if [ "$fail" -ne 0 ]; then exit 1; fi
echo "$deb: $(grep -c -v '/$' <<<"$files") files; Depends: $depends"
