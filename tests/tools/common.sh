# What the tools' end-to-end scripts share, sourced after they set
# `target` (linux or win32) and `bin` (the build's bin directory): a
# scratch directory removed at exit, one line per case (ok/bad, with
# `failed` set by any bad one), and `run`, vorrel-run of the target.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
ok() { echo "ok   $1"; }
bad() { echo "FAIL $1"; failed=1; }

if [ "$target" = win32 ]; then
  export WINEDEBUG=-all
  run() { wine "$bin/vorrel-run.exe" "$@"; }
else
  run() { "$bin/vorrel-run" "$@"; }
fi
