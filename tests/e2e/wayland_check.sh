#!/usr/bin/env bash
# The window on a Wayland session, natively on the toolkit's Wayland platform:
#   wayland_check.sh PROGRAM
# A headless compositor (weston, without a seat) on a private runtime folder;
# its scene graph shows the program's top-level window; a second start
# raises it (the first says so with --verbose) and exits 0, and there is
# still one window. Every wait polls, with a ceiling for a busy machine.
set -euo pipefail
program=$(realpath "$1")
if ! command -v weston >/dev/null || ! command -v weston-debug >/dev/null; then
  echo "weston is missing (script/deps installs it)" >&2
  exit 1
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tyq-wayland.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
# The compositor wants a runtime folder of the user's alone, root too.
mkdir -m 700 "$scratch/runtime"
mkdir "$scratch/config" "$scratch/home"
export XDG_RUNTIME_DIR="$scratch/runtime" WAYLAND_DISPLAY=tyq-wayland
unset DISPLAY WAYLAND_SOCKET

fail() {
  echo "$1" >&2
  for log in weston.log first.err; do
    [ -f "$scratch/$log" ] && sed "s|^|  $log: |" "$scratch/$log" >&2
  done
  exit 1
}

# eventually COMMAND...: true once the command is, within two minutes.
eventually() {
  local i
  for ((i = 0; i < 1200; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# windows PID: how many top-level windows of that process the compositor shows.
windows() {
  timeout 30 weston-debug scene-graph 2>/dev/null |
    grep -c "role xdg_toplevel, PID $1, .*top-level window '.*' of tyqlmftp," || true
}
has_window() { [ "$(windows "$1")" -ge 1 ]; }

weston --backend=headless-backend.so --socket="$WAYLAND_DISPLAY" --debug --idle-time=0 \
  --log="$scratch/weston.log" &
pids+=($!)
eventually [ -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ] || fail "weston did not start"

# Without a seat, Qt 6.4's Wayland client crashes in its text input unless
# another input method is named; a desktop session has a seat.
start=(env QT_QPA_PLATFORM=wayland QT_IM_MODULE=none XDG_CONFIG_HOME="$scratch/config"
  HOME="$scratch/home" "$program")
"${start[@]}" --verbose 2>"$scratch/first.err" &
first=$!
pids+=("$first")
eventually has_window "$first" || fail "no window of the program in the compositor"

status=0
timeout 120 "${start[@]}" 2>"$scratch/second.err" || status=$?
[ "$status" -eq 0 ] || fail "a second start ended with $status: $(cat "$scratch/second.err")"
eventually grep -q 'raised for a later start' "$scratch/first.err" ||
  fail "the second start did not raise the first"
[ "$(windows "$first")" -eq 1 ] || fail "the first start shows $(windows "$first") windows"
kill -0 "$first" 2>/dev/null || fail "the first start has ended"
echo "The window runs on Wayland; a second start raised it."
