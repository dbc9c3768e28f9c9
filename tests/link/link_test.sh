#!/usr/bin/env bash
# Linking is enough: a C program that calls nothing of Vorrel, linked with
# the library the ways a user links it, runs on Vorrel (its statistics
# report shows the blocks it kept).
#   link_test.sh linux|win32 CC LIB_DIR BIN_DIR CMAKE_BUILT_PROGRAM
set -u
target=$1 cc=$2 lib=$3 bin=$4 built=$5
source "$(dirname "$0")/../tools/common.sh"
src=$(dirname "$0")/plain.c

# served NAME PROGRAM: runs it with a statistics file and checks the report.
served() {
  local name=$1 program=$2 out blocks
  if [ "$target" = win32 ]; then
    out=$(VORREL_STATS="$tmp/stats.txt" wine "$program" 2>&1)
  else
    out=$(VORREL_STATS="$tmp/stats.txt" LD_LIBRARY_PATH="$bin" "$program" 2>&1)
  fi
  blocks=$(tr -d '\r' <"$tmp/stats.txt" 2>/dev/null | awk '$1 == "DefaultHeap" { print $2; exit }')
  if grep -q "plain C program done" <<<"$out" && [ "${blocks:-0}" -ge 100 ]; then
    ok "$name: served ($blocks blocks in DefaultHeap at exit)"
  else
    bad "$name: not served ($out; report: $(head -c 300 "$tmp/stats.txt" 2>/dev/null))"
  fi
  rm -f "$tmp/stats.txt"
}

# link NAME FLAGS...: builds plain.c with -lvorrel and the flags.
link() {
  local name=$1; shift
  local exe="$tmp/$name"
  [ "$target" = win32 ] && exe="$exe.exe"
  if "$cc" -std=c99 "$src" -o "$exe" "$@" 2>"$tmp/cc.err"; then
    [ "$target" = win32 ] && cp "$bin/vorrel.dll" "$tmp/"
    served "$name" "$exe"
  else
    bad "$name: link failed: $(head -c 300 "$tmp/cc.err")"
  fi
}

served "CMake target Vorrel::vorrel" "$built"
if [ "$target" = win32 ]; then
  link "mingw -lvorrel" -L"$lib" -lvorrel
  link "mingw -static -lvorrel" -static -L"$lib" -lvorrel
else
  link "gcc -lvorrel --as-needed" -m32 -Wl,--as-needed -L"$bin" -lvorrel
  link "gcc -lvorrel --no-as-needed" -m32 -Wl,--no-as-needed -L"$bin" -lvorrel
fi
exit $failed
