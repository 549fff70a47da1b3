#!/usr/bin/env bash
# Demonstrates tavrixdc against the stand-in daemon: a clean and an infected
# sample, each scanned with virus names, report lines and statistics.
# Usage: tools/demo.sh BUILD_DIR
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$1
client=$build/client/tavrixdc
daemon=$build/tools/tavrixd-standin
for prog in "$client" "$daemon"; do
  if [[ ! -x $prog ]]; then
    echo "$0: $prog not found; build the tavrixdc and tavrixd-standin targets first" >&2
    exit 2
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tavrix-demo.XXXXXX")
daemon_pid=
cleanup() {
  if [[ -n $daemon_pid ]] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -TERM "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

sock=$work/tavrixd.sock
"$daemon" --socket "$sock" --pidfile "$work/tavrixd.pid" 2>"$work/daemon.log" &
daemon_pid=$!
for _ in $(seq 100); do
  [[ -s $work/tavrixd.pid ]] && break
  if ! kill -0 "$daemon_pid" 2>/dev/null; then
    echo "$0: the daemon did not start:" >&2
    cat "$work/daemon.log" >&2
    exit 1
  fi
  sleep 0.05
done
[[ -s $work/tavrixd.pid ]] || { echo "$0: the daemon did not start in time" >&2; exit 1; }

printf 'An ordinary text file.\n' >"$work/clean.txt"
"$daemon" --write-test-file "$work/infected.com"

for sample in "$work/clean.txt" "$work/infected.com"; do
  echo "\$ tavrixdc -u $sock -f $sample -rv -rr -rc"
  status=0
  "$client" -u "$sock" -f "$sample" -rv -rr -rc 2>&1 || status=$?
  echo "exit status: $status"
  echo
done
