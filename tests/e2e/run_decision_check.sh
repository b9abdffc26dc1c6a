#!/usr/bin/env bash
# What script/run starts, decided before anything is built:
#   run_decision_check.sh SOURCE_DIR
# script/demo/configured on settings files of each kind (the demo runs until
# a mailbox of the user's own is set up), then script/run itself with such a
# mailbox and no display: it must say a display is needed and fail, not start
# an invisible window.
set -euo pipefail
source=$1

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tyq-decision.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0

# expected (own = a mailbox of the user's own, demo) | file name | content (\n for new lines)
while IFS='|' read -r expected name content; do
  rm -rf "${scratch:?}/config"
  mkdir -p "$scratch/config/tyqlmftp"
  [ "$name" = none ] || printf "$content" >"$scratch/config/tyqlmftp/$name"
  status=0
  XDG_CONFIG_HOME=$scratch/config "$source/script/demo/configured" || status=$?
  case "$status" in 0) actual=own ;; 1) actual=demo ;; *) actual="error $status" ;; esac
  if [ "$actual" != "$expected" ]; then
    echo "$name '$content': $actual, expected $expected" >&2
    failures=$((failures + 1))
  fi
done <<'CASES'
demo|none|
demo|TYFTP.INI|
demo|TYFTP.INI|[QLMORVMAIL]\nAOL=0\n
demo|TYFTP.INI|[QLMORVMAIL]\r\nAOL=0\r\nPort=2121\r\n
demo|TYFTP.INI|[QLMORVMAIL]\nQLMHost=ftp.qlm-data.invalid\nPort=21\n
demo|TYFTP.INI|[QLMORVMAIL]\nUser=\nQLMHost=  \n
demo|TYFTP.INI|[QLMORVMAIL]\nUser=\nUser=second line does not count\n
demo|TYFTP.INI|[Other]\nUser=someone\n[QLMORVMAIL]\nAOL=0\n
demo|TYFTP.INI|[QLMORVMAIL]\nAOL=0\n[QLMORVMAIL]\nUser=second section does not count\n
own|TYFTP.INI|[QLMORVMAIL]\nAOL=0\nUser=orv123\n
own|TYFTP.INI|[QLMORVMAIL]\nQLMHost=ftp.example.com\n
own|tyftp.ini| [qlmorvmail] \r\n qlmhost = "ftp.example.com" \r\n
CASES

# A mailbox of one's own and no display.
printf '[QLMORVMAIL]\nUser=orv123\n' >"$scratch/config/tyqlmftp/TYFTP.INI"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$scratch/config" "$source/script/run" \
  >"$scratch/out" 2>&1 || status=$?
if [ "$status" -eq 0 ] || ! grep -q 'needs a display' "$scratch/out"; then
  echo "script/run with a mailbox and no display: status $status" >&2
  cat "$scratch/out" >&2
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ]
echo "script/run runs the demo until a mailbox of one's own is set up."
