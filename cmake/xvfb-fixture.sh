#!/bin/sh
# The private X display of the Windows tests: "start DIR" starts Xvfb on a free display number
# (Xvfb picks it and writes it to DIR/display) and keeps its pid in DIR/pid; "stop DIR" ends that
# Xvfb by its pid. Wine draws every window of the tests there, so the machine's own display, if
# any, is never touched.
set -u
command=$1
dir=$2

case "$command" in
start)
  mkdir -p "$dir"
  # An Xvfb of an earlier run that never reached its stop (an interrupted run, or ctest
  # --repeat, which starts fixtures again) is ended first, by the pid it left.
  if [ -f "$dir/pid" ]; then
    kill "$(cat "$dir/pid")" 2>/dev/null || true
  fi
  rm -f "$dir/display" "$dir/display.tmp" "$dir/pid"
  # Own session and no inherited output, so that ctest does not wait for the server to end.
  setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dir/display.tmp" \
    </dev/null >"$dir/xvfb.log" 2>&1 &
  echo $! >"$dir/pid"
  i=0
  while [ $i -lt 100 ]; do
    if [ -s "$dir/display.tmp" ]; then
      mv "$dir/display.tmp" "$dir/display"
      echo "Xvfb pid $(cat "$dir/pid") on display :$(cat "$dir/display")"
      exit 0
    fi
    sleep 0.1
    i=$((i + 1))
  done
  echo "Xvfb did not start; see $dir/xvfb.log" >&2
  kill "$(cat "$dir/pid")" 2>/dev/null
  exit 1
  ;;
stop)
  if [ -f "$dir/pid" ]; then
    kill "$(cat "$dir/pid")" 2>/dev/null || true
    rm -f "$dir/pid" "$dir/display"
  fi
  exit 0
  ;;
esac
echo "usage: $0 start|stop DIR" >&2
exit 2
