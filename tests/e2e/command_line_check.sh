#!/usr/bin/env bash
# The program's command line:
#   command_line_check.sh PROGRAM
# --help and --version print and exit 0, --verbose writes diagnostic records
# to standard error, anything else prints the usage to
# standard error and exits 2; none of them opens a window (no display is
# offered: the toolkit would abort) or touches a file (settings folder, home
# and current directory stay empty). Without arguments and without a display
# the program says so and exits 1.
set -euo pipefail
program=$(realpath "$1")

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tyq-cmdline.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0

# matches FILE PATTERN: an extended regular expression, or "empty".
matches() {
  if [ "$2" = empty ]; then [ ! -s "$1" ]; else grep -Eq "$2" "$1"; fi
}

# argument | status | stdout pattern | stderr pattern
while IFS='|' read -r arguments status out_pattern err_pattern; do
  for folder in config home work; do
    rm -rf "${scratch:?}/$folder"
    mkdir "$scratch/$folder"
  done
  read -r -a argv <<<"$arguments"
  actual=0
  (cd "$scratch/work" &&
    env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME="$scratch/config" \
      HOME="$scratch/home" timeout 20 "$program" "${argv[@]}" \
      >"$scratch/stdout" 2>"$scratch/stderr") || actual=$?
  problem=
  if [ "$actual" != "$status" ]; then
    problem="exit status $actual, expected $status"
  elif ! matches "$scratch/stdout" "$out_pattern"; then
    problem="standard output does not match $out_pattern"
  elif ! matches "$scratch/stderr" "$err_pattern"; then
    problem="standard error does not match $err_pattern"
  elif [ -n "$(find "$scratch/config" "$scratch/home" "$scratch/work" -mindepth 1 -print -quit)" ]; then
    problem="files were written: $(cd "$scratch" && find config home work -mindepth 1 | tr '\n' ' ')"
  fi
  if [ -n "$problem" ]; then
    echo "tyqlmftp $arguments: $problem" >&2
    sed 's/^/  stdout: /' "$scratch/stdout" >&2
    sed 's/^/  stderr: /' "$scratch/stderr" >&2
    failures=$((failures + 1))
  fi
done <<'CASES'
--help|0|^Usage: tyqlmftp |empty
--version|0|^tyqlmftp [0-9]+\.[0-9]+$|empty
--bogus|2|empty|^Usage: tyqlmftp 
-platform offscreen|2|empty|^Usage: tyqlmftp 
--help --version|2|empty|^Usage: tyqlmftp 
|1|empty|^tyqlmftp: there is no display
--verbose|1|empty|^tyqlmftp\[ui\]: tyqlmftp [0-9]+\.[0-9]+ starting$
--verbose --help|2|empty|^Usage: tyqlmftp 
CASES
[ "$failures" -eq 0 ]
echo "Command line answered without a window or a file."
