#!/bin/sh
# wine-run streams a program's standard output: when ctest ends a program at its time-out, what
# it printed until then is in the log, and wine-run leaves no file behind. The program, which
# prints a line and hangs, runs as a test of a ctest run of its own in a folder of its own, so
# that ctest ends it as it ends any test, with a time-out of 10 s.
#
# Usage: wine_run_timeout_test.sh <ctest> <wine-run> <program>
ctest=$1
wine_run=$2
program=$3
dir=$(mktemp -d "${TMPDIR:-/tmp}/tessaro-wine-run-test.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/tmp"
cat >"$dir/CTestTestfile.cmake" <<END
add_test(prints_and_hangs "$wine_run" "$program")
set_tests_properties(prints_and_hangs PROPERTIES TIMEOUT 10 ENVIRONMENT "TMPDIR=$dir/tmp")
END
log=$("$ctest" --test-dir "$dir" --output-on-failure 2>&1)
printf '%s\n' "$log"
status=0
case $log in
*"***Timeout"*) ;;
*) echo "FAILED: the program was not ended at its time-out" && status=1 ;;
esac
case $log in
*"printed before the hang"*) ;;
*) echo "FAILED: what the program printed before the time-out is not in the log" && status=1 ;;
esac
# Wine itself keeps a folder "wine-XXXXXX" there.
left=$(ls -A "$dir/tmp" | grep -v '^wine-')
if [ -n "$left" ]; then
  echo "FAILED: wine-run left files behind: $left"
  status=1
fi
exit $status
