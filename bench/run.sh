#!/usr/bin/env bash
# Builds the "bench" preset, runs every benchmark against its floor and
# writes the table to bench/RESULTS.md (and to standard output).
#
#   bench/run.sh                 full run (about 3-5 minutes, 1 GiB of temporary disk)
#   TXBENCH_QUICK=1 bench/run.sh fewer runs and smaller files, for a quick look
#
# Environment: TXBENCH_BUILD (build directory, default build-bench),
# TXBENCH_TMP (where temporary files go, default $TMPDIR or /tmp),
# TXBENCH_PORT (TCP port of the sink, default 37411),
# TXBENCH_NO_BUILD=1 (use the binaries already built).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TXBENCH_BUILD:-$ROOT/build-bench}
PORT=${TXBENCH_PORT:-37411}
QUICK=${TXBENCH_QUICK:-0}
OUT=$ROOT/bench/RESULTS.md

if [[ $QUICK == 1 ]]; then
  RUNS_SMALL=5 BATCH=30 RUNS_BIG=3 BIG_MIB=128 STDIN_SIZES="4 16 64" LIB_REPS=3
else
  RUNS_SMALL=7 BATCH=100 RUNS_BIG=5 BIG_MIB=1024 STDIN_SIZES="16 64 256" LIB_REPS=11
fi

if [[ ${TXBENCH_NO_BUILD:-0} != 1 ]]; then
  if [[ -z ${TXBENCH_BUILD:-} ]]; then
    cmake --preset bench -S "$ROOT" >/dev/null
  else
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTXC_BUILD_TESTS=OFF \
      -DTXC_BUILD_BENCH=ON >/dev/null
  fi
  cmake --build "$BUILD" --target tavrixdc txbench-sink txbench-measure txbench-floor-min \
    txbench-floor-stream txbench-lib >/dev/null
  # The tool checks need GoogleTest; without it they are skipped, with a note.
  cmake --build "$BUILD" --target txbench-selftest >/dev/null 2>&1 || true
fi
# A sink or floor that answers wrongly must not be measured.
if [[ -x $BUILD/bench/txbench-selftest ]]; then
  "$BUILD/bench/txbench-selftest" --gtest_brief=1 >/dev/null ||
    { echo "txbench: the benchmark tools fail their checks; run $BUILD/bench/txbench-selftest" >&2; exit 1; }
else
  echo "txbench: txbench-selftest not built (GoogleTest missing?); tools unchecked" >&2
fi

CLIENT=$BUILD/client/tavrixdc
B=$BUILD/bench
MEASURE=$B/txbench-measure
FMIN=$B/txbench-floor-min
FSTREAM=$B/txbench-floor-stream

W=$(mktemp -d "${TXBENCH_TMP:-${TMPDIR:-/tmp}}/txbench.XXXXXX")
SOCK=$W/sink.sock
SINK_PID=
cleanup() {
  if [[ -n $SINK_PID ]]; then kill "$SINK_PID" 2>/dev/null || true; wait "$SINK_PID" 2>/dev/null || true; fi
  rm -rf "$W"
}
trap cleanup EXIT

"$B/txbench-sink" -u "$SOCK" -p "$PORT" >"$W/sink.log" 2>&1 &
SINK_PID=$!
for _ in $(seq 50); do grep -q ready "$W/sink.log" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$W/sink.log" || { cat "$W/sink.log" >&2; echo "sink did not start" >&2; exit 1; }

log() { echo "txbench: $*" >&2; }

# measure NAME MEASURE-ARGS...: the driver's output goes to $W/NAME.
measure() {
  local name=$1
  shift
  log "$name"
  "$MEASURE" "$@" >"$W/$name"
}

# field FILE LINE KEY: the three numbers after KEY on line LINE (cmd0, cmd1, ratio).
field() { awk -v l="$2" -v k="$3" '$1 == l { for (i = 2; i <= NF; ++i) if ($i == k) { print $(i+1), $(i+2), $(i+3); exit } }' "$W/$1"; }
ratio() { awk '$1 == "ratio" { print $2, $3, $4 }' "$W/$1"; }

# fmt SCALE DECIMALS MED MIN MAX: "med (min-max)" scaled.
fmt() { awk -v s="$1" -v d="$2" -v a="$3" -v b="$4" -v c="$5" \
  'BEGIN { f = "%." d "f"; printf(f " (" f "-" f ")", a * s, b * s, c * s) }'; }
# verdict OP LIMIT VALUE
verdict() { awk -v op="$1" -v l="$2" -v v="$3" \
  'BEGIN { ok = (op == "le") ? (v <= l) : (v >= l); print ok ? "met" : "**missed**" }'; }

I1K=$W/one_kib.dat
head -c 1024 /dev/urandom >"$I1K"

# ---- Per invocation: 1 KiB -f and -sv over UNIX and TCP, -x 1 KiB. ----
U=(-u "$SOCK")
T=(-n 127.0.0.1 -p "$PORT")
measure unix_sv -r $RUNS_SMALL -n $BATCH -e 0,16 -- "$FMIN" -u "$SOCK" -v :: "$CLIENT" "${U[@]}" -sv
measure unix_f -r $RUNS_SMALL -n $BATCH -e 0,0 -- "$FMIN" -u "$SOCK" -f "$I1K" :: "$CLIENT" "${U[@]}" -f "$I1K"
measure tcp_sv -r $RUNS_SMALL -n $BATCH -e 0,16 -- "$FMIN" -p "$PORT" -v :: "$CLIENT" "${T[@]}" -sv
measure tcp_f -r $RUNS_SMALL -n $BATCH -e 0,0 -- "$FMIN" -p "$PORT" -f "$I1K" :: "$CLIENT" "${T[@]}" -f "$I1K"
# The client's default host is the name "localhost", looked up for every
# connection; the floor connects to 127.0.0.1 directly.
measure tcp_f_name -r $RUNS_SMALL -n $BATCH -e 0,0 -- "$FMIN" -p "$PORT" -f "$I1K" :: "$CLIENT" -p "$PORT" -f "$I1K"
measure unix_x1k -r $RUNS_SMALL -n $BATCH -e 0,0 -- "$FMIN" -u "$SOCK" -x "$I1K" :: "$CLIENT" "${U[@]}" -x -f "$I1K"

# ---- Standard input: 16, 64, 256 MiB. ----
for mib in $STDIN_SIZES; do
  f=$W/stdin_$mib.dat
  head -c $((mib * 1048576)) /dev/urandom >"$f"
  measure stdin_$mib -r $RUNS_BIG -i "$f" -e 0,0 -- "$FSTREAM" -u "$SOCK" "$f" :: "$CLIENT" "${U[@]}" -i
  rm -f "$f"
done

# ---- Big file: content scan with and without a timeout, local scan. ----
BIG=$W/big.dat
dd if=/dev/zero of="$BIG" bs=1M count="$BIG_MIB" status=none
measure big_f -r $RUNS_BIG -- "$FSTREAM" -u "$SOCK" "$BIG" :: "$CLIENT" "${U[@]}" -f "$BIG"
measure big_ft -r $RUNS_BIG -- "$FSTREAM" -u "$SOCK" -t "$BIG" :: "$CLIENT" "${U[@]}" -t 60 -f "$BIG"
measure big_f_tcp -r $RUNS_BIG -- "$FSTREAM" -p "$PORT" "$BIG" :: "$CLIENT" "${T[@]}" -f "$BIG"
measure big_x -r $RUNS_SMALL -n 10 -- "$FMIN" -u "$SOCK" -x "$BIG" :: "$CLIENT" "${U[@]}" -x -f "$BIG"
rm -f "$BIG"

# ---- Library calls in one process. ----
log "library benchmark"
TXBENCH_UNIX=$SOCK TXBENCH_TCP_PORT=$PORT "$B/txbench-lib" --benchmark_repetitions=$LIB_REPS \
  --benchmark_enable_random_interleaving=true --benchmark_min_time=0.1 \
  --benchmark_format=csv >"$W/lib.csv" 2>"$W/lib.err" || { cat "$W/lib.err" >&2; exit 1; }
# name -> median min max of real_time (ns), over the repetitions.
awk -F, 'NR > 1 && $1 !~ /_(mean|median|stddev|cv)"?$/ {
  gsub(/"/, "", $1); n = $1; t = $3 + 0
  sub(/\/repeats:[0-9]+$/, "", n); sub(/\/iterations:[0-9]+$/, "", n)
  v[n, ++c[n]] = t
}
END {
  for (n in c) {
    k = c[n]
    for (i = 1; i <= k; ++i) a[i] = v[n, i]
    for (i = 2; i <= k; ++i) { x = a[i]; for (j = i - 1; j >= 1 && a[j] > x; --j) a[j+1] = a[j]; a[j+1] = x }
    med = k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
    print n, med, a[1], a[k]
  }
}' "$W/lib.csv" >"$W/lib.stats"
libstat() { awk -v n="$1" '$1 == n { print $2, $3, $4 }' "$W/lib.stats"; }

# ---- The table. ----
{
  echo "# Benchmark results"
  echo
  echo "Written by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)."
  echo "Machine: $(uname -srm), $(nproc) CPUs ($(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)), load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)."
  echo "Each figure is the median of the runs, with (min-max); ratios are client/floor (or floor/client for throughput) within each run, then the median (min-max) of those."
  [[ $QUICK == 1 ]] && echo "**Quick run** (TXBENCH_QUICK=1): fewer runs, smaller files."
  echo
  echo "## Per invocation ($RUNS_SMALL runs of $BATCH invocations)"
  echo
  echo "| measurement | client wall µs | floor wall µs | ratio | target | client peak RSS KiB | floor peak RSS KiB |"
  echo "|---|---|---|---|---|---|---|"
  for row in "unix_sv:-sv, UNIX socket:" "unix_f:-f 1 KiB, UNIX socket:1.10" "tcp_sv:-sv, TCP loopback:" \
    "tcp_f:-f 1 KiB, TCP loopback:1.10" "tcp_f_name:-f 1 KiB, TCP, host name localhost:" \
    "unix_x1k:-x 1 KiB, UNIX socket:"; do
    IFS=: read -r name label target <<<"$row"
    read -r fa fb fc < <(field "$name" cmd0 wall)
    read -r ca cb cc < <(field "$name" cmd1 wall)
    read -r ra rb rc < <(ratio "$name")
    read -r ma mb mc < <(field "$name" cmd0 rss_kib)
    read -r na nb nc < <(field "$name" cmd1 rss_kib)
    t="-"
    [[ -n $target ]] && t="≤ $target: $(verdict le "$target" "$ra")"
    echo "| \`tavrixdc $label\` | $(fmt 1e6 0 $ca $cb $cc) | $(fmt 1e6 0 $fa $fb $fc) | $(fmt 1 3 $ra $rb $rc) | $t | $(fmt 1 0 $na $nb $nc) | $(fmt 1 0 $ma $mb $mc) |"
  done
  echo
  echo "## Content scan of a $BIG_MIB MiB file ($RUNS_BIG runs)"
  echo
  echo "Floor: \`txbench-floor-stream\`, a read+send loop in 4096-byte pieces (with \`-t\`: a poll wait and two clock reads per piece)."
  echo
  echo "| measurement | client MiB/s | floor MiB/s | throughput ratio | target | client CPU s | floor CPU s | client peak RSS KiB |"
  echo "|---|---|---|---|---|---|---|---|"
  for row in "big_f:-f, UNIX socket" "big_ft:-t 60 -f, UNIX socket" "big_f_tcp:-f, TCP loopback"; do
    IFS=: read -r name label <<<"$row"
    read -r fa fb fc < <(field "$name" cmd0 wall)
    read -r ca cb cc < <(field "$name" cmd1 wall)
    read -r ra rb rc < <(ratio "$name")
    read -r ua ub uc < <(field "$name" cmd1 cpu)
    read -r va vb vc < <(field "$name" cmd0 cpu)
    read -r na nb nc < <(field "$name" cmd1 rss_kib)
    # Throughput: the median of size/time is size/median time; min and max swap.
    tp() { awk -v m="$BIG_MIB" -v a="$1" -v b="$2" -v c="$3" 'BEGIN { printf("%.0f (%.0f-%.0f)", m / a, m / c, m / b) }'; }
    inv=$(awk -v a="$ra" 'BEGIN { print 1 / a }')
    echo "| \`tavrixdc $label\` | $(tp $ca $cb $cc) | $(tp $fa $fb $fc) | $(awk -v a="$ra" -v b="$rb" -v c="$rc" 'BEGIN { printf("%.3f (%.3f-%.3f)", 1 / a, 1 / c, 1 / b) }') | ≥ 0.90: $(verdict ge 0.90 "$inv") | $(fmt 1 2 $ua $ub $uc) | $(fmt 1 2 $va $vb $vc) | $(fmt 1 0 $na $nb $nc) |"
  done
  echo
  echo "## Peak RSS against file size"
  echo
  echo "| measurement | 1 KiB | $BIG_MIB MiB | growth KiB | target |"
  echo "|---|---|---|---|---|"
  for row in "-f:unix_f:big_f" "-x:unix_x1k:big_x"; do
    IFS=: read -r label small big <<<"$row"
    read -r sa sb sc < <(field "$small" cmd1 rss_kib)
    read -r ba bb bc < <(field "$big" cmd1 rss_kib)
    g=$(awk -v a="$sa" -v b="$ba" 'BEGIN { print b - a }')
    echo "| \`tavrixdc $label\` peak RSS KiB | $(fmt 1 0 $sa $sb $sc) | $(fmt 1 0 $ba $bb $bc) | $g | does not grow (≤ 256 KiB): $(verdict le 256 "$g") |"
  done
  echo
  echo "## Standard input (\`tavrixdc -i\`, $RUNS_BIG runs)"
  echo
  echo "| input MiB | client wall s | ms per MiB | floor-stream wall s (file, no copy) | client peak RSS KiB | RSS limit KiB (1.10 × size + 2 MiB) | RSS target |"
  echo "|---|---|---|---|---|---|---|"
  first_per=
  for mib in $STDIN_SIZES; do
    read -r ca cb cc < <(field stdin_$mib cmd1 wall)
    read -r fa fb fc < <(field stdin_$mib cmd0 wall)
    read -r na nb nc < <(field stdin_$mib cmd1 rss_kib)
    lim=$(awk -v m="$mib" 'BEGIN { printf("%.0f", 1.10 * m * 1024 + 2048) }')
    per=$(awk -v a="$ca" -v m="$mib" 'BEGIN { printf("%.3f", a * 1000 / m) }')
    [[ -z $first_per ]] && first_per=$per
    last_per=$per
    echo "| $mib | $(fmt 1 3 $ca $cb $cc) | $per | $(fmt 1 3 $fa $fb $fc) | $(fmt 1 0 $na $nb $nc) | $lim | $(verdict le "$lim" "$na") |"
  done
  lin=$(awk -v a="$first_per" -v b="$last_per" 'BEGIN { printf("%.2f", b / a) }')
  echo
  echo "Linearity: time per MiB at the largest size over that at the smallest: $lin (linear: ≤ 1.25: $(verdict le 1.25 "$lin"))."
  echo
  echo "## Library calls in one process (Google Benchmark, $LIB_REPS repetitions, interleaved)"
  echo
  echo "Floor: a raw loop of connect, request (header in one send, data in another), 4-byte reply, close. \"Raw, one send per field\" is the same loop sending each header word by itself, as the library's wire primitives do (for the version query both are one send)."
  echo
  echo "| call | transport | library µs | raw loop µs | ratio of medians | target | raw, one send per field µs | library / that |"
  echo "|---|---|---|---|---|---|---|---|"
  for tr in unix tcp; do
    for row in "txc_daemon_version:raw_version:txc_daemon_version:raw_version" \
      "txc_scan_buffer/1024:raw_scan/1024:txc_scan_buffer 1 KiB:raw_scan_fieldwise/1024" \
      "txc_scan_buffer/1048576:raw_scan/1048576:txc_scan_buffer 1 MiB:raw_scan_fieldwise/1048576"; do
      IFS=: read -r lib raw label fw <<<"$row"
      read -r la lb lc < <(libstat "$tr/$lib")
      read -r wa wb wc < <(libstat "$tr/$raw")
      read -r xa xb xc < <(libstat "$tr/$fw")
      r=$(awk -v a="$la" -v b="$wa" 'BEGIN { printf("%.3f", a / b) }')
      r2=$(awk -v a="$la" -v b="$xa" 'BEGIN { printf("%.3f", a / b) }')
      echo "| \`$label\` | $tr | $(fmt 1e-3 1 $la $lb $lc) | $(fmt 1e-3 1 $wa $wb $wc) | $r | ≤ 1.10: $(verdict le 1.10 "$r") | $(fmt 1e-3 1 $xa $xb $xc) | $r2 |"
    done
  done
  echo
  echo "Peak RSS is \`wait4\`'s ru_maxrss of each invocation; it includes the measuring driver's own resident anonymous memory at fork ($(awk '$1 == "self_rss_kib" { print $2 }' "$W/unix_f") KiB)."
} >"$W/table.md"

if [[ $QUICK == 1 ]]; then
  cat "$W/table.md"
else
  cp "$W/table.md" "$OUT"
  cat "$OUT"
  log "written to $OUT"
fi
