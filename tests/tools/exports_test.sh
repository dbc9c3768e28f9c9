#!/usr/bin/env bash
# The product library exports its interface and nothing else:
#   exports_test.sh linux|win32 LIBRARY HEADER
# Every exported name must be declared in the public header (a class of it,
# a function, a variable), or be one of the C runtime's allocation entry
# points the library stands in for. Anything else is the library's own
# state or code handed to every program that loads it.
set -u
target=$1 lib=$2 header=$3
case $target in
  linux)
    names=$(nm -D --defined-only "$lib" | awk '{ print $3 }' | c++filt) ;;
  win32)
    names=$(i686-w64-mingw32-objdump -p "$lib" |
              awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && /^[ \t]*\[/ { print $NF } on && /^$/ { exit }' |
              i686-w64-mingw32-c++filt -n) ;;
esac
[ -n "$names" ] || { echo "FAIL no exports read from $lib"; exit 1; }
runtime='^(malloc|free|calloc|realloc|memalign|posix_memalign|aligned_alloc|valloc|pvalloc|malloc_usable_size|cfree|_msize|operator new|operator delete)'
bad=0
while IFS= read -r sym; do
  [ -z "$sym" ] && continue
  # The identifier that must be in the header: a class for its members,
  # vtable and typeinfo; the name itself otherwise.
  id=$(sed -E 's/^(typeinfo name for|typeinfo for|vtable for) //; s/\(.*//; s/::.*//; s/^.* //' <<<"$sym")
  if grep -Eq "$runtime" <<<"$sym"; then continue; fi
  if grep -qw -- "$id" "$header"; then continue; fi
  echo "FAIL exported but not in the public header: $sym"
  bad=1
done <<<"$names"
[ $bad -eq 0 ] && echo "ok exports: $(wc -l <<<"$names") names, all public"
exit $bad
