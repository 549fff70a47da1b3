#!/bin/sh
# Runs the end-to-end suite with the client and the stand-in daemon under
# valgrind memcheck. Usage: valgrind_e2e.sh E2E_TEST_BINARY LOG_DIR
# Every memcheck error or leak (definite, indirect, possible) lands in a log
# file of LOG_DIR; the run fails when the suite fails or any log is non-empty.
set -u
test_bin=$1
logs=$2
rm -rf "$logs"
mkdir -p "$logs"
"$test_bin"
suite=$?
bad=0
for f in "$logs"/*.log; do
  [ -s "$f" ] || continue
  echo "== valgrind report: $f"
  cat "$f"
  bad=1
done
echo "valgrind: $(cat "$logs"/runs.* 2>/dev/null | wc -l) program runs checked; suite status $suite; reports: $bad"
[ "$suite" -eq 0 ] && [ "$bad" -eq 0 ]
