#!/usr/bin/env bash
# The desktop start: the installed entry validates, and its Exec line, run in
# a scratch HOME, starts the tool in the per-user working folder under the XDG
# data home (created), where conf.dat and the trace of its output appear.
#   desktop_launch_test.sh CMAKE BUILD_DIR
set -euo pipefail
cmake=$1 build=$2
scratch=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$cmake" --install "$build" --component desktop --prefix "$scratch/prefix" > /dev/null
entry="$scratch/prefix/share/applications/tavelin.desktop"
desktop-file-validate "$entry" || fail "desktop-file-validate rejects $entry"
# The program itself belongs to another component: the build's, beside the launcher.
ln -s "$build/bin/tavelin" "$scratch/prefix/bin/tavelin"
exec_line=$(sed -n 's/^Exec=//p' "$entry")
[ -n "$exec_line" ] || fail "no Exec line"

# Starts the Exec line with HOME=$1 and XDG_DATA_HOME=$2 (empty: unset), waits
# until the folder $3 holds conf.dat and a trace with the tool's bus message,
# checks the tool runs there, and stops it.
start_and_check() {
  local home=$1 xdg=$2 dir=$3
  mkdir -p "$home"
  # shellcheck disable=SC2086  # the Exec line is a command line
  env -u XDG_DATA_HOME HOME="$home" ${xdg:+XDG_DATA_HOME="$xdg"} PATH="$scratch/prefix/bin:$PATH" \
    QT_QPA_PLATFORM=offscreen TAVELIN_BUS=socketcand://127.0.0.1:1/vcan0 $exec_line < /dev/null &
  pid=$!
  for _ in $(seq 1 300); do
    [ -f "$dir/conf.dat" ] && grep -q "cannot reach the CAN bus" "$dir/trace.log" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || fail "the tool exited early"
    sleep 0.1
  done
  [ "$(cat "$dir/conf.dat" 2>/dev/null)" = "$(printf '250\n22')" ] || fail "no conf.dat in $dir"
  grep -q "cannot reach the CAN bus" "$dir/trace.log" || fail "the tool's stderr is not in $dir/trace.log"
  [ "$(readlink "/proc/$pid/cwd")" = "$dir" ] || fail "the tool does not run in $dir"
  kill -TERM "$pid"
  wait "$pid" 2>/dev/null || true
  pid=
}

# Default data home, folder created.
start_and_check "$scratch/home" "" "$scratch/home/.local/share/tavelin"
# XDG_DATA_HOME set: the folder is under it, and an earlier trace is kept.
mkdir -p "$scratch/xdg/tavelin"
echo "earlier trace" > "$scratch/xdg/tavelin/trace.log"
start_and_check "$scratch/home2" "$scratch/xdg" "$scratch/xdg/tavelin"
[ "$(head -n 1 "$scratch/xdg/tavelin/trace.log")" = "earlier trace" ] || fail "trace.log was not appended to"
[ ! -e "$scratch/home2/.local/share/tavelin" ] || fail "XDG_DATA_HOME was not followed"
echo "desktop_launch: 2 passed, 0 failed"
