#!/usr/bin/env bash
# The window natively on Wayland: wayland_check.sh PROGRAM
# Under a headless compositor (weston, without a seat) on a private runtime
# folder, the compositor's scene graph shows the program's top-level window;
# a second start raises it (the first says so with --verbose), exits 0 and
# leaves one window. Every wait polls, with a ceiling for a busy machine.
set -euo pipefail
program=$(realpath "$1")
command -v weston-debug >/dev/null || { echo "weston is missing (script/deps)" >&2; exit 1; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tyq-wayland.XXXXXX")
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; wait; rm -rf "$scratch"' EXIT
trap 'exit 1' INT TERM
mkdir -m 700 "$scratch/runtime"  # the compositor wants it private, for root too
mkdir "$scratch/config" "$scratch/home"
export XDG_RUNTIME_DIR="$scratch/runtime" WAYLAND_DISPLAY=tyq-wayland
unset DISPLAY

fail() {
  echo "$1" >&2
  cat "$scratch/weston.log" "$scratch/first.err" >&2 2>/dev/null || true
  exit 1
}
eventually() {
  for ((i = 0; i < 1200; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}
# windows PID: the top-level windows of that process in the scene graph.
windows() {
  timeout 30 weston-debug scene-graph 2>/dev/null |
    grep -c "role xdg_toplevel, PID $1, .*top-level window '.*' of org.tessary.tyqlmftp," || true
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
timeout 120 "${start[@]}" || status=$?
[ "$status" -eq 0 ] || fail "a second start ended with $status"
eventually grep -q 'raised for a later start' "$scratch/first.err" || fail "the first was not raised"
[ "$(windows "$first")" -eq 1 ] && kill -0 "$first" || fail "the first start's window is gone"
echo "The window runs on Wayland; a second start raised it."
