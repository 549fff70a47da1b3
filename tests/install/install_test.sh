#!/usr/bin/env bash
# Installs the project into a temporary prefix, builds the examples against
# the installed copy twice (CMake package and pkg-config), runs them against
# the stand-in daemon, and checks the man pages, the exported symbols and the
# Debian package.
# usage: install_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
work=$(mktemp -d)
daemon_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libtxlib.so' | head -n1)")
[ -n "$libdir" ] || fail "libtxlib.so not installed"
for f in bin/tavrixdc bin/tavrixd-standin include/txlib/txlib.h include/txlib/txc_conf.h \
         share/man/man1/tavrixdc.1 share/man/man3/txlib.3; do
  [ -e "$prefix/$f" ] || fail "$f not installed"
done
[ -e "$libdir/libtxlib.a" ] || fail "static library not installed"
soname=$(objdump -p "$libdir/libtxlib.so" | awk '/SONAME/ {print $2}')
[ "$soname" = "libtxlib.so.4" ] || fail "SONAME is '$soname'"

# The shared library exports the API and nothing else.
bad=$(nm -D --defined-only "$libdir/libtxlib.so" | awk '{print $3}' |
      grep -v -E '^(txc_|strlist_|read_conf$|read_section$|free_conf$|getstring$|getstringlist$|getbool$|valid_separator$|obsolete_section$|obsolete_parameter$|strip_quotes$|strip_spaces$|_init$|_fini$)' || true)
[ -z "$bad" ] || fail "unexpected exported symbols: $bad"
nm -D --defined-only "$libdir/libtxlib.so" | grep -q ' T txc_scan_file$' || fail "txc_scan_file not exported"

# Man pages render without warnings.
for page in "$prefix/share/man/man1/tavrixdc.1" "$prefix/share/man/man3/txlib.3"; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man page $page: $warnings"
done

# Build the examples against the installed copy, both ways.
cmake -S "$src/examples" -B "$work/ex-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/ex-cmake" >/dev/null
PKG_CONFIG_PATH=$libdir/pkgconfig cmake -S "$src/examples" -B "$work/ex-pc" -G Ninja \
  -DUSE_PKG_CONFIG=ON >/dev/null
PKG_CONFIG_PATH=$libdir/pkgconfig cmake --build "$work/ex-pc" >/dev/null

# Run them against the installed stand-in daemon.
sock=$work/daemon.sock
"$prefix/bin/tavrixd-standin" --socket "$sock" --pidfile "$work/daemon.pid" 2>"$work/daemon.log" &
daemon_pid=$!
for _ in $(seq 100); do [ -s "$work/daemon.pid" ] && break; sleep 0.05; done
[ -s "$work/daemon.pid" ] || fail "daemon did not start: $(cat "$work/daemon.log")"
printf 'just some clean text\n' >"$work/clean.txt"
"$prefix/bin/tavrixd-standin" --write-test-file "$work/infected.com"

export LD_LIBRARY_PATH=$libdir
for ex in "$work/ex-cmake/scan_example" "$work/ex-cmake/scan_example_cpp" \
          "$work/ex-pc/scan_example" "$work/ex-pc/scan_example_cpp"; do
  out=$("$ex" "local:$sock" "$work/clean.txt") || fail "$ex on a clean file exited $?"
  [ "$out" = "$work/clean.txt: ok" ] || fail "$ex clean output: $out"
  rc=0
  out=$("$ex" "local:$sock" "$work/infected.com") || rc=$?
  [ "$rc" = 3 ] || fail "$ex on an infected file exited $rc"
  grep -q '^virus: ' <<<"$out" || fail "$ex infected output has no virus name: $out"
done

# The Debian package holds the program, the library and the headers.
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/*.deb | head -n1)
contents=$(dpkg-deb -c "$deb")
for f in bin/tavrixdc include/txlib/txlib.h libtxlib.so; do
  grep -q "$f" <<<"$contents" || fail "$f missing from $deb"
done
echo "install test: 1 passed, 0 failed"
