# Sourced by the benchmarks. The console writes its live status line ("Packet Count: N File
# Size: B", rewritten ten times a second) only to a terminal; the benchmarks read it, so they
# run it on a terminal of its own (script(1), from util-linux) whose output goes to a file.
#
#   on_terminal IN OUT PROGRAM ARGS...   starts PROGRAM in the background, its keys read from
#                                        IN (a FIFO) and its screen written to OUT; sets
#                                        TERM_PID (script's process, to wait for) and
#                                        LOGGER_PID (PROGRAM's own, for /proc)
on_terminal() {
  local in=$1 out=$2
  shift 2
  # exec: the program replaces the shell script starts, so it is script's only child.
  SHELL=/bin/sh script -qfec "exec $(printf '%q ' "$@")" /dev/null <"$in" >"$out" 2>&1 &
  TERM_PID=$!
  LOGGER_PID=""
  for _ in $(seq 250); do
    LOGGER_PID=$(pgrep -P "$TERM_PID" | head -n 1)
    [ -n "$LOGGER_PID" ] && [ "$(cat "/proc/$LOGGER_PID/comm" 2>/dev/null)" != sh ] && break
    LOGGER_PID=""
    sleep 0.02
  done
}
