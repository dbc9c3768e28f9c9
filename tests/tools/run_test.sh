#!/usr/bin/env bash
# vorrel-run and vorrel-map end to end, on one target:
#   run_test.sh linux|win32 BIN_DIR CHILD [PROGRAMS_DIR]
# CHILD is a program of ours built without the library; PROGRAMS_DIR may
# hold real programs fetched by scripts/fetch-programs (used when there).
# Prints one line per case and exits non-zero when any failed.
set -u
target=$1 bin=$2 child=$3 programs=${4:-}
source "$(dirname "$0")/common.sh"

# expect NAME CODE PATTERN -- command...: exit code and a pattern in the output.
expect() {
  local name=$1 code=$2 pattern=$3; shift 4
  local out rc
  "$@" >"$tmp/expect.out" 2>&1 </dev/null; rc=$?
  out=$(tr -d '\r' <"$tmp/expect.out")
  if [ "$rc" -eq "$code" ] && grep -q -- "$pattern" <<<"$out"; then ok "$name"
  else bad "$name (exit $rc, wanted $code and '$pattern'): $(head -c 400 <<<"$out")"; fi
}

# Blocks DefaultHeap held at exit, from a statistics report.
default_blocks() { tr -d '\r' <"$1" | awk '$1 == "DefaultHeap" { print $2; exit }'; }
peak_committed() { tr -d '\r' <"$1" | awk '/^  total/ { print $(NF-1), $NF; exit }'; }

# 1. Our own program, built without the library: arguments, standard
#    streams and exit code pass through; the library served it.
printf 'hello' >"$tmp/in"
run --stats="$tmp/stats.txt" --map="$tmp/map.txt" "$child" "a b" 'c"d' "" <"$tmp/in" >"$tmp/out" 2>"$tmp/err"
rc=$?
out=$(tr -d '\r' <"$tmp/out")
if [ "$rc" -eq 3 ] && grep -qx 'arg \[a b\]' <<<"$out" && grep -qx 'arg \[c"d\]' <<<"$out" &&
   grep -qx 'arg \[\]' <<<"$out" && grep -qx 'stdin 5 bytes' <<<"$out"; then ok "own program: arguments, streams, exit code"
else bad "own program (exit $rc): $out $(cat "$tmp/err")"; fi
blocks=$(default_blocks "$tmp/stats.txt")
if [ "${blocks:-0}" -ge 2000 ]; then ok "own program served by the library ($blocks blocks in DefaultHeap at exit)"
else bad "own program not served: $(cat "$tmp/stats.txt" 2>/dev/null | head -20)"; fi
if [ "$(grep -vc '^#' "$tmp/map.txt" 2>/dev/null)" = 256 ]; then ok "address-space snapshot written"
else bad "no snapshot"; fi
# The snapshot at the peak holds the 40 MB the program freed before exit.
library_regions() { tr -d '\r' <"$1" | awk '/^# regions/ { print $7 + $8 + $9 + $10 + $11 + $12; exit }'; }
at_exit=$(library_regions "$tmp/map.txt") at_peak=$(library_regions "$tmp/map.txt.peak")
if [ -n "$at_peak" ] && [ "$at_peak" -ge $(( ${at_exit:-0} + 500 )) ]; then ok "snapshot at the peak: $at_peak regions of the library, $at_exit at exit"
else bad "snapshot at the peak: ${at_peak:-none} regions of the library, ${at_exit:-none} at exit"; fi

# 2. Bad input: a clear message and a non-zero exit, never a crash.
expect "missing program" 127 "cannot find program" -- run no-such-program-here
expect "unwritable statistics path" 2 "cannot write" -- run --stats="$tmp/no/such/dir/s.txt" "$child"
expect "unwritable map path" 2 "cannot write" -- run --map="$tmp/no/such/dir/m.txt" "$child"
expect "unknown option" 2 "unknown option" -- run --frobnicate "$child"
expect "help names the children" 0 "children" -- run --help
expect "empty statistics path refused" 2 "needs a value" -- run --stats= "$child"
expect "map path missing at the end" 2 "needs a value" -- run --map
expect "bad checking mode refused" 2 "bad value of --check" -- run --check=everything "$child"
expect "version" 0 "vorrel-run [0-9]*\.[0-9]*\.[0-9]*" -- run --version
# --map FILE, with a space, as --map=FILE.
run --map "$tmp/spaced.map" "$child" </dev/null >/dev/null 2>&1
if [ "$(grep -vc '^#' "$tmp/spaced.map" 2>/dev/null)" = 256 ]; then ok "--map FILE with a space"
else bad "--map FILE with a space wrote no snapshot"; fi
if [ "$target" = win32 ]; then other=$(dirname "$(command -v wine)")/../lib/wine/i386-windows/version.dll
  [ -f "$other" ] || other='C:\windows\system32\version.dll'
else other=$(ls /lib/i386-linux-gnu/libz.so.1 /usr/lib/i386-linux-gnu/libstdc++.so.6 2>/dev/null | head -1); fi
expect "another library refused" 125 "is not the Vorrel library" -- run --library="$other" "$child"
# A program that dies of a fault: the statistics and both snapshots are
# written all the same, and say so.
run --stats="$tmp/died.txt" --map="$tmp/died.map" "$child" crash </dev/null >/dev/null 2>&1
rc=$?
blocks=$(default_blocks "$tmp/died.txt")
if [ "$rc" -ne 0 ] && grep -q "program died" "$tmp/died.txt" 2>/dev/null && [ "${blocks:-0}" -ge 2000 ] &&
   grep -q "^# program died" "$tmp/died.map" && [ "$(grep -vc '^#' "$tmp/died.map")" = 256 ] &&
   [ "$(grep -vc '^#' "$tmp/died.map.peak" 2>/dev/null)" = 256 ]; then ok "a program that dies: reports written (exit $rc)"
else bad "a program that dies (exit $rc): $(head -c 300 "$tmp/died.txt" 2>/dev/null) / $(grep '^#' "$tmp/died.map" 2>/dev/null | head -3)"; fi
# VORREL_STATS=yes is standard error, not a file named yes; VORREL_MAP=1
# names no file and is refused with a message.
out=$(cd "$tmp" && VORREL_STATS=yes VORREL_MAP=1 run "$child" </dev/null 2>&1)
if grep -q "Vorrel statistics" <<<"$out" && grep -q "VORREL_MAP=1 names no file" <<<"$out" &&
   [ ! -e "$tmp/yes" ] && [ ! -e "$tmp/1" ]; then ok "VORREL_STATS=yes and VORREL_MAP=1"
else bad "VORREL_STATS=yes and VORREL_MAP=1: $(head -c 300 <<<"$out")"; fi
echo "not a library" >"$tmp/broken.lib"
expect "library that cannot be loaded" 125 "cannot" -- run --library="$tmp/broken.lib" "$child"
echo "plain text" >"$tmp/text.exe"; chmod +x "$tmp/text.exe"

if [ "$target" = linux ]; then
  expect "64-bit program" 126 "64-bit program" -- run /bin/true
  expect "not an ELF program" 126 "not an ELF program" -- run "$tmp/text.exe"
  out=$(run "$child" </dev/null 2>&1)
  if grep -qx 'LD_PRELOAD=(unset)' <<<"$out"; then ok "the program's children do not inherit the preload"
  else bad "preload left in the environment: $out"; fi
  # A real program we did not write: GLib's schema compiler (32-bit,
  # installed with Wine's 32-bit libraries).
  real=/usr/lib/i386-linux-gnu/glib-2.0/glib-compile-schemas
  if [ -x "$real" ] && [ -d /usr/share/glib-2.0/schemas ]; then
    mkdir -p "$tmp/schemas"
    if run --stats="$tmp/real.txt" "$real" --targetdir="$tmp/schemas" /usr/share/glib-2.0/schemas >/dev/null 2>&1 &&
       [ -s "$tmp/schemas/gschemas.compiled" ] && [ "$(default_blocks "$tmp/real.txt")" -gt 0 ]; then
      ok "real program (glib-compile-schemas) served: $(default_blocks "$tmp/real.txt") blocks at exit, $(peak_committed "$tmp/real.txt") committed at the peak"
    else bad "real program: $(cat "$tmp/real.txt" 2>/dev/null | head -5)"; fi
  else
    echo "skip real program: $real is not installed"
  fi
  # vorrel-map: the host tool that draws the snapshot.
  expect "map of a missing snapshot" 1 "cannot read" -- "$bin/vorrel-map" "$tmp/none.txt"
  if "$bin/vorrel-map" --help 2>/dev/null | grep -q '^usage: vorrel-map'; then ok "vorrel-map --help on standard output"
  else bad "vorrel-map --help not on standard output"; fi
  wide=/lib/x86_64-linux-gnu/libm.so.6
  if [ -e "$wide" ]; then
    expect "a 64-bit library" 125 "is a 64-bit library" -- run --library="$wide" "$child"
  fi
  other=/lib/i386-linux-gnu/libm.so.6
  if [ -e "$other" ]; then
    expect "a library that is not Vorrel" 125 "is not the Vorrel library" -- run --library="$other" "$child"
  fi
  expect "map of a file that is no snapshot" 1 "not a Vorrel address-space snapshot" -- "$bin/vorrel-map" "$tmp/text.exe"
  expect "map to an unwritable file" 1 "cannot write" -- "$bin/vorrel-map" "$tmp/map.txt" "$tmp/no/such/dir/x.png"
  if command -v gnuplot >/dev/null; then
    "$bin/vorrel-map" "$tmp/map.txt" "$tmp/map.png" >/dev/null 2>&1
    if [ "$(head -c 4 "$tmp/map.png" | od -An -c | tr -d ' ')" = '211PNG' ]; then ok "map drawn"
    else bad "map not drawn"; fi
  fi
else
  expect "not a PE program" 126 "not a Windows program" -- run "$tmp/text.exe"
  expect "a DLL is not a program" 126 "is a DLL" -- run 'C:\windows\system32\kernel32.dll'
  # Programs Wine ships (on ucrtbase.dll): the exit code passes through,
  # and the library serves them.
  expect "Wine's cmd.exe exit code" 7 "" -- run cmd.exe /c exit 7
  # The code the loader's failure would end with is the program's own here.
  run cmd.exe /c exit 1448214530 >"$tmp/vr.out" 2>&1 </dev/null
  rc=$?
  if [ "$rc" -eq $((1448214530 & 255)) ] && ! grep -q "cannot load" "$tmp/vr.out"; then ok "a program's exit code 0x56520002 is its own"
  else bad "exit code 0x56520002 taken for a load failure (exit $rc): $(cat "$tmp/vr.out")"; fi
  if run --stats="$tmp/reg.txt" reg.exe query 'HKCU\Software' >/dev/null 2>&1 </dev/null &&
     [ "$(default_blocks "$tmp/reg.txt")" -gt 0 ]; then
    ok "real program (Wine's reg.exe) served: $(default_blocks "$tmp/reg.txt") blocks at exit, $(peak_committed "$tmp/reg.txt") committed at the peak"
  else bad "Wine's reg.exe not served: $(tr -d '\r' <"$tmp/reg.txt" 2>/dev/null | head -12)"; fi
  # A real program we did not write, importing msvcrt: 7-Zip's 7za, when
  # scripts/fetch-programs has fetched it.
  if [ -n "$programs" ] && [ -f "$programs/7za.exe" ]; then
    head -c 200000 /dev/zero | tr '\0' 'v' >"$tmp/in.txt"
    if run --stats="$tmp/real.txt" "$programs/7za.exe" a "$tmp/out.7z" "$tmp/in.txt" >/dev/null 2>&1 </dev/null &&
       [ -s "$tmp/out.7z" ] && [ "$(default_blocks "$tmp/real.txt")" -gt 0 ]; then
      ok "real program (7za) served: $(default_blocks "$tmp/real.txt") blocks at exit, $(peak_committed "$tmp/real.txt") committed at the peak"
    else bad "real program 7za: $(cat "$tmp/real.txt" 2>/dev/null | head -5)"; fi
  else
    echo "skip real program: 7za.exe not fetched (scripts/fetch-programs)"
  fi
fi
exit $failed
