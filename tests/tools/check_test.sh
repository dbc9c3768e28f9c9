#!/usr/bin/env bash
# The checking mode end to end, on one target:
#   check_test.sh linux|win32 BIN_DIR DRIVER
# DRIVER (check_faults) makes one heap fault chosen by its argument; each
# runs under vorrel-run --check and its report must name exactly that
# fault, with the call stacks that locate it. Prints one line per case and
# exits non-zero when any failed.
set -u
target=$1 bin=$2 driver=$3
source "$(dirname "$0")/common.sh"

# check_run WANT_EXIT FAULT SUMMARY PATTERN... -- vorrel-run's options
# before the driver come from RUN_OPTS. WANT_EXIT "found": the run ends
# with the status of a process that reported findings (1); "nonzero": the
# fault stops it. Its report ends with "vorrel-check:
# summary SUMMARY (process N)" and holds every pattern (extended regular
# expressions, one line each).
check_run() {
  local want=$1 fault=$2 summary=$3; shift 3
  run $RUN_OPTS --check-report="$tmp/$fault.txt" "$driver" "$fault" >"$tmp/$fault.out" 2>&1 </dev/null
  local rc=$? report missing=""
  report=$(tr -d '\r' <"$tmp/$fault.txt" 2>/dev/null)
  if [ "$want" = found ]; then [ "$rc" -eq 1 ] || missing="exit $rc; "
  else [ "$rc" -ne 0 ] || missing="exit 0; "; fi
  grep -qE "^vorrel-check: summary $summary \(process [0-9]+\)$" <<<"$report" || missing+="summary '$summary'; "
  for pattern in "$@"; do
    grep -qE -- "$pattern" <<<"$report" || missing+="'$pattern'; "
  done
  if [ -z "$missing" ]; then ok "$fault"
  else bad "$fault: wanted $missing got: $(head -c 1500 <<<"$report") $(head -c 300 "$tmp/$fault.out")"; fi
}
# expect FAULT SUMMARY PATTERN...: the run ends with findings' status.
# expect_pages (page mode): the fault stops the run.
expect() { RUN_OPTS= check_run found "$@"; }

frame='#[0-9]+ 0x[0-9a-f]+ check_faults(\.exe)?\+0x[0-9a-f]+'
expect overrun "1 finding, 1 overrun" \
  '^vorrel-check: overrun block 0x[0-9a-f]+ size 100: 1 byte written past its end$' \
  '^  allocated by malloc at:$' "^    $frame .*fault_overrun" '^  found at free from:$'
expect underrun "1 finding, 1 underrun" \
  '^vorrel-check: underrun block 0x[0-9a-f]+ size 40: 1 byte written before its start$'
expect write-after-free "1 finding, 1 write-after-free" \
  '^vorrel-check: write-after-free block 0x[0-9a-f]+ size 64: 2 bytes at offset 8 changed after it was freed$' \
  '^  freed at:$' "^    $frame .*fault_write_after_free"
expect evicted "1 finding, 1 write-after-free" \
  '^vorrel-check: write-after-free block 0x[0-9a-f]+ size 80: 1 byte at offset 79 changed after it was freed$' \
  "^    $frame .*fault_write_after_free_evicted" '^  found at a later free from:$'
expect double-free "1 finding, 1 double-free" \
  '^vorrel-check: double-free block 0x[0-9a-f]+ size 24: free of a block already freed$' \
  '^  called from:$' '^  allocated by malloc at:$' '^  freed at:$'
# Two threads free each of 2000 blocks at once: one of each pair is
# refused, and the heap is whole afterwards (the driver checks it).
expect double-free-threads "1 finding, 1 double-free" '^vorrel-check: double-free block .* free of a block already freed$'
expect leak "2 findings, 2 leak" \
  '^vorrel-check: leak 3000 bytes in 3 blocks allocated by malloc at:$' "^    $frame .*leak_big" \
  '^vorrel-check: leak 10 bytes in 1 block allocated by malloc at:$'
if [ "$(grep -n '^vorrel-check: leak' "$tmp/leak.txt" | head -1 | grep -c '3000 bytes')" = 1 ]; then ok "largest leak first"
else bad "leaks not largest first: $(cat "$tmp/leak.txt")"; fi
# Lost structures are counted by root: a list's head and a cycle's first
# node, each with the blocks reached only from it.
expect leak-roots "2 findings, 2 leak" \
  '^vorrel-check: leak 16 bytes in 1 block allocated by malloc at:$' \
  '^  and 48 bytes in 3 blocks reached only from them \(indirectly lost\)$' \
  '^  and 32 bytes in 2 blocks reached only from them \(indirectly lost\)$'
# Every wrong release is its own finding, and every stack starts in the
# function that called, even through a runtime frame without a frame
# pointer (the sized delete, strdup on Linux; MinGW's operator new and
# delete, which are patched in the program's image). Windows' strdup has a
# frame of its own: its caller is the next one.
here="^    #0 0x[0-9a-f]+ check_faults(\\.exe)?\\+0x[0-9a-f]+ .*fault_four_releases"
expect four-releases "4 findings, 4 mismatch" 'allocated by new\[\], released by delete$' \
  'allocated by malloc, released by delete$' 'allocated by new, released by free$' \
  'allocated by malloc, released by delete\[\]$'
want=8; [ "$target" = win32 ] && want=7
if [ "$(grep -cE "$here" "$tmp/four-releases.txt")" -eq $want ]; then ok "four releases: the stacks start in the caller"
else bad "four releases: stacks not starting in the caller: $(head -c 2000 "$tmp/four-releases.txt")"; fi
if [ "$target" = win32 ]; then
  # Built with the toolchain's default debug information: names from the
  # image's symbol table.
  run --check --check-report="$tmp/default.txt" "$(dirname "$driver")/check_faults_default.exe" overrun >/dev/null 2>&1 </dev/null
  if grep -qE '^    #0 0x[0-9a-f]+ check_faults_default\.exe\+0x[0-9a-f]+ _ZN.*fault_overrun' "$tmp/default.txt"; then
    ok "default debug information: frames named"
  else bad "default debug information: $(head -c 800 "$tmp/default.txt")"; fi
  expect mismatch "1 finding, 1 mismatch" '^vorrel-check: mismatch block .*: allocated by _aligned_malloc, released by free$'
else
  expect mismatch "1 finding, 1 mismatch" '^vorrel-check: mismatch block .*: allocated by new\[\], released by free$'
fi
expect bad-free "2 findings, 2 bad-free" 'bad-free free of 0x[0-9a-f]+, which is on the stack$' \
  'bad-free free of 0x[0-9a-f]+, which points inside a block$' ' size 48, 8 bytes before the pointer$'

# The page mode: the faulting access stops the program (it must not exit
# 0), after the report of the block with its stacks and the access's.
expect_pages() { RUN_OPTS=--check=pages check_run nonzero "$@"; }
expect_pages page-overrun "1 finding, 1 overrun" \
  '^vorrel-check: overrun block 0x[0-9a-f]+ size 64: a write at offset 64, past its end, stopped by the inaccessible page$' \
  '^  allocated by malloc at:$' "^    $frame .*fault_page_overrun" '^  the access at:$'
expect_pages page-write-after-free "1 finding, 1 write-after-free" \
  '^vorrel-check: write-after-free block 0x[0-9a-f]+ size 64: a write at offset 8 after it was freed, stopped by its inaccessible pages$' \
  '^  freed at:$' "^    $frame .*fault_page_write_after_free" '^  the access at:$'
# The other faults are found in the page mode as in the usual one.
for fault in double-free leak; do
  run --check=pages --check-report="$tmp/pages-$fault.txt" "$driver" $fault >/dev/null 2>&1 </dev/null
  rc=$?
  if [ $rc -eq 1 ] && grep -q '^vorrel-check: double-free block .* size 24: free of a block already freed\|^vorrel-check: leak 3000 bytes in 3 blocks' "$tmp/pages-$fault.txt"; then
    ok "page mode: $fault"
  else bad "page mode: $fault (exit $rc): $(head -c 800 "$tmp/pages-$fault.txt")"; fi
done

# A program that does everything right is reported as clean: no report.
run --check-report="$tmp/clean.txt" "$driver" clean >"$tmp/clean.out" 2>&1 </dev/null
rc=$?
if [ "$rc" -eq 0 ] && [ ! -s "$tmp/clean.txt" ] && grep -q 'clean run: 2000 words' "$tmp/clean.out"; then ok "clean program: no findings"
else bad "clean program (exit $rc): $(head -c 1500 "$tmp/clean.txt") $(head -c 300 "$tmp/clean.out")"; fi

# The status after findings can be chosen, or left to the program.
run --check --check-exitcode=0 "$driver" leak >/dev/null 2>&1 </dev/null
rc0=$?
run --check --check-exitcode=77 "$driver" leak >/dev/null 2>&1 </dev/null
rc77=$?
if [ "$rc0" -eq 0 ] && [ "$rc77" -eq 77 ]; then ok "exit status after findings: 0 and 77 as asked"
else bad "exit status after findings: $rc0 and $rc77, wanted 0 and 77"; fi
# A value of VORREL_CHECK the mode does not know is refused, not ignored.
out=$(VORREL_CHECK=page run "$driver" clean 2>&1 </dev/null)
rc=$?
if [ "$rc" -eq 2 ] && grep -q 'VORREL_CHECK=page is not understood' <<<"$out" && ! grep -q 'clean run' <<<"$out"; then
  ok "VORREL_CHECK=page refused"
else bad "VORREL_CHECK=page (exit $rc): $(head -c 300 <<<"$out")"; fi

# Many live blocks at once: every request served, aligned, in both modes
# (the page mode's budget ends in ordinary checked blocks).
for mode in --check --check=pages; do
  run $mode --check-report="$tmp/many.txt" "$driver" many >"$tmp/many.out" 2>&1 </dev/null
  rc=$?
  if [ "$rc" -eq 0 ] && [ ! -s "$tmp/many.txt" ] && grep -q 'many blocks: 300000 served' "$tmp/many.out"; then
    ok "$mode: 300000 live blocks served"
  else bad "$mode: many live blocks (exit $rc): $(head -c 300 "$tmp/many.out") $(head -c 800 "$tmp/many.txt")"; fi
  rm -f "$tmp/many.txt"
done

if [ "$target" = linux ]; then
  # The walk at exit reads no page a mapping cannot give (a file's mapping
  # past its end faulted with SIGBUS), and still sees the roots it holds.
  expect mappings "1 finding, 1 leak" '^vorrel-check: leak 24 bytes in 1 block allocated by malloc at:$'
  timeout 120 "$bin/vorrel-run" --check-report="$tmp/fork.txt" --stats="$tmp/fork-stats.txt" "$driver" fork \
    >"$tmp/fork.out" 2>&1 </dev/null
  rc=$?
  if [ "$rc" -eq 0 ] && [ ! -s "$tmp/fork.txt" ]; then ok "fork while another thread frees: children run, nothing reported"
  else bad "fork (exit $rc): $(head -c 800 "$tmp/fork.txt")"; fi
  # Each forked child writes its statistics to a file of its own.
  children=$(ls "$tmp"/fork-stats.txt.* 2>/dev/null | wc -l)
  if grep -q '^Vorrel statistics' "$tmp/fork-stats.txt" && [ "$children" -eq 300 ]; then ok "statistics: the parent's file and one per child"
  else bad "statistics of forked children: $children files beside $(head -c 200 "$tmp/fork-stats.txt")"; fi
fi

# Without the mode the same faults go unremarked: nothing of it runs.
out=$(run "$driver" double-free 2>&1 </dev/null)
if ! grep -q 'vorrel-check' <<<"$out"; then ok "no checking without --check"
else bad "checking without --check: $out"; fi

exit $failed
