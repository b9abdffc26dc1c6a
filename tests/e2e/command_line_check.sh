#!/usr/bin/env bash
# The program's command line:
#   command_line_check.sh PROGRAM [SOURCE_DIR]
# --help and --version print and exit 0, --verbose writes diagnostic records
# to standard error, anything else prints the usage to
# standard error and exits 2; none of them opens a window (no display is
# offered: the toolkit would abort) or touches a file (settings folder, home
# and current directory stay empty). Without arguments and without a display
# the program says so and exits 1.
# Then the daily timer, --schedule and --no-schedule in turn: the unit files
# they leave (checked by systemd-analyze) and the calls they make to a user
# service manager (python3-dbusmock on a private session bus), to none, or to
# a session bus without one. Needs SOURCE_DIR for the mock's template.
set -euo pipefail
program=$(realpath "$1")
source_dir=${2:-}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tyq-cmdline.XXXXXX")
bus_pids=()
stop_bus() {
  for pid in "${bus_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  bus_pids=()
}
trap 'stop_bus; rm -rf "$scratch"' EXIT
mkdir -m 700 "$scratch/runtime"  # a session's runtime folder, without a bus in it
failures=0

# run PROGRAM ARGS...: the program without a display, in the scratch folders.
run() {
  local binary=$1
  shift
  actual=0
  (cd "$scratch/work" &&
    env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS QT_QPA_PLATFORM=xcb \
      XDG_CONFIG_HOME="$scratch/config" HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime" \
      TZ=UTC ${bus_address:+DBUS_SESSION_BUS_ADDRESS="$bus_address"} \
      timeout 120 "$binary" "$@" >"$scratch/stdout" 2>"$scratch/stderr") || actual=$?
}

# matches FILE PATTERN: an extended regular expression, or "empty".
matches() {
  if [ "$2" = empty ]; then [ ! -s "$1" ]; else grep -Eq "$2" "$1"; fi
}

# answer_problem STATUS STDOUT-PATTERN STDERR-PATTERN: what is wrong with the last run.
answer_problem() {
  if [ "$actual" != "$1" ]; then
    echo "exit status $actual, expected $1"
  elif ! matches "$scratch/stdout" "$2"; then
    echo "standard output does not match $2"
  elif ! matches "$scratch/stderr" "$3"; then
    echo "standard error does not match $3"
  fi
}

# report WHAT PROBLEM: a failure, with what the program printed.
report() {
  [ -n "$2" ] || return 0
  echo "tyqlmftp $1: $2" >&2
  sed 's/^/  stdout: /' "$scratch/stdout" >&2
  sed 's/^/  stderr: /' "$scratch/stderr" >&2
  failures=$((failures + 1))
}

# argument | status | stdout pattern | stderr pattern
while IFS='|' read -r arguments status out_pattern err_pattern; do
  for folder in config home work; do
    rm -rf "${scratch:?}/$folder"
    mkdir "$scratch/$folder"
  done
  read -r -a argv <<<"$arguments"
  bus_address=
  run "$program" "${argv[@]}"
  problem=$(answer_problem "$status" "$out_pattern" "$err_pattern")
  if [ -z "$problem" ] &&
    [ -n "$(find "$scratch/config" "$scratch/home" "$scratch/work" -mindepth 1 -print -quit)" ]; then
    problem="files were written: $(cd "$scratch" && find config home work -mindepth 1 | tr '\n' ' ')"
  fi
  report "$arguments" "$problem"
done <<'CASES'
--help|0|^Usage: tyqlmftp |empty
--version|0|^tyqlmftp [0-9]+\.[0-9]+$|empty
--bogus|2|empty|^tyqlmftp: unknown option '--bogus'$
-platform offscreen|2|empty|^tyqlmftp: unknown option '-platform'$
--help --version|2|empty|^Usage: tyqlmftp 
|1|empty|^tyqlmftp: there is no display
|1|empty|^a window: tyqlmftp --collect$
|1|empty|^/.+/script/run --headless runs the demo without a display\.$
--collect --help|2|empty|^tyqlmftp: unexpected argument '--help'$
--quiet|2|empty|^tyqlmftp: --quiet goes with --collect$
--collect --again|2|empty|^tyqlmftp: --again needs the name of a file in the mailbox$
--collect --again= --quiet|2|empty|^tyqlmftp: --again needs the name of a file in the mailbox$
--collect --quieter|2|empty|^tyqlmftp: unknown option '--quieter'$
--schedule|2|empty|^tyqlmftp: --schedule needs a time of day as HH:MM
--schedule=|2|empty|^tyqlmftp: --schedule needs a time of day as HH:MM
--schedule 24:00|2|empty|^tyqlmftp: --schedule needs a time of day as HH:MM
--schedule 7:5|2|empty|^tyqlmftp: --schedule needs a time of day as HH:MM
--schedule 12:60|2|empty|^tyqlmftp: --schedule needs a time of day as HH:MM
--schedule 07:30x|2|empty|^tyqlmftp: --schedule needs a time of day as HH:MM
--schedule 07:30 08:00|2|empty|^Usage: tyqlmftp 
--no-schedule|0|^No daily collection was scheduled\.$|empty
--no-schedule 07:30|2|empty|^Usage: tyqlmftp 
--verbose|1|empty|^tyqlmftp\[ui\]: tyqlmftp [0-9]+\.[0-9]+ starting$
--verbose --help|2|empty|^Usage: tyqlmftp 
CASES
[ "$failures" -eq 0 ]
echo "Command line answered without a window or a file."

[ -n "$source_dir" ] || exit 0
units="$scratch/config/systemd/user"
link="$units/timers.target.wants/tyqlmftp-collect.timer"
# The program's path in the service must survive the unit file syntax.
odd="$scratch/bin dir %n \$HOME x"
slash="$scratch/back\\slash"
mkdir "$odd" "$slash"
# The command line's library goes with it, as installed; the window's does not.
for folder in "$odd" "$slash"; do
  for file in "$program" "$(dirname "$program")/libtyqcli.so"; do
    ln "$file" "$folder/" 2>/dev/null || cp "$file" "$folder/"
  done
done
# A copy without the window's library beside it says so, and opens nothing.
run "$odd/tyqlmftp"
report "(no window library)" "$(answer_problem 1 empty '^tyqlmftp: cannot load the window: ')"
next=1796720400  # the mock timer's next run
next_text=$(date -u -d "@$next" '+%a %Y-%m-%d %H:%M UTC')

# start_bus MODE: none; bus (a session bus, no manager on it); manager or
# manager:METHOD (the mock, METHOD answering with an error).
start_bus() {
  bus_address=
  rm -f "$scratch/calls" "$scratch/address"
  [ "$1" != none ] || return 0
  # Our own bus configuration: no service is started on demand.
  echo "<busconfig><type>session</type><listen>unix:dir=$scratch</listen><auth>EXTERNAL</auth>
<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>
<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>
</busconfig>" >"$scratch/bus.conf"
  dbus-daemon --config-file="$scratch/bus.conf" --nofork --print-address=1 \
    >"$scratch/address" 2>"$scratch/bus.log" &
  bus_pids+=($!)
  until [ -s "$scratch/address" ]; do
    kill -0 "${bus_pids[-1]}" 2>/dev/null || return 1
    sleep 0.05
  done
  bus_address=$(head -1 "$scratch/address")
  [ "$1" != bus ] || return 0
  local refuse=${1#manager}
  DBUS_SESSION_BUS_ADDRESS=$bus_address /usr/bin/python3 -m dbusmock --session -l "$scratch/calls" \
    --template "$source_dir/tests/tools/systemd_user_mock.py" \
    -p "{\"refuse\": \"${refuse#:}\", \"next\": ${next}000000}" >"$scratch/mock.log" 2>&1 &
  bus_pids+=($!)
  # Python may take long to start on a loaded machine: wait for the name.
  until DBUS_SESSION_BUS_ADDRESS=$bus_address dbus-send --session --print-reply \
    --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner \
    string:org.freedesktop.systemd1 2>/dev/null | grep -q 'boolean true'; do
    kill -0 "${bus_pids[-1]}" 2>/dev/null || { cat "$scratch/mock.log" >&2; return 1; }
    sleep 0.05
  done
}

# units_problem TIME: what is wrong with the unit files left ("-": none left;
# "HH:MM": service and timer at that time; "HH:MM linked": enabled by a link).
units_problem() {
  local time=${1% linked}
  if [ "$1" = - ]; then
    [ -z "$(find "$units" -name 'tyqlmftp-collect.*' 2>/dev/null)" ] || echo "unit files left"
    return 0
  fi
  if [ "$1" = foreign ]; then
    [ "$(cat "$units/tyqlmftp-collect.timer")" = "$foreign_timer" ] &&
      [ -z "$(find "$units" -name 'tyqlmftp-collect.service' 2>/dev/null)" ] ||
      echo "the user's own timer was changed or joined"
    return 0
  fi
  local calendar
  calendar=$(sed -n 's/^OnCalendar=//p' "$units/tyqlmftp-collect.timer" 2>/dev/null || true)
  if [ "$calendar" != "*-*-* $time:00" ]; then
    echo "timer's OnCalendar is '$calendar', not at $time"
  elif ! systemd-analyze calendar "$calendar" | grep -qx "Normalized form: \*-\*-\* $time:00"; then
    echo "systemd-analyze calendar reads $calendar otherwise"
  elif [ "$(stat -c %a "$units/tyqlmftp-collect.timer" "$units/tyqlmftp-collect.service")" != $'644\n644' ]; then
    echo "unit files are not mode 0644"
  elif ! (cd "$scratch" && HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" \
    XDG_RUNTIME_DIR="$scratch/runtime" systemd-analyze --user verify \
    "$units/tyqlmftp-collect.timer" "$units/tyqlmftp-collect.service" >"$scratch/verify" 2>&1) ||
    [ -s "$scratch/verify" ]; then
    echo "systemd-analyze verify: $(cat "$scratch/verify")"
  elif [ "$1" != "$time" ] && [ "$(readlink "$link")" != "$units/tyqlmftp-collect.timer" ]; then
    echo "timer not linked into timers.target.wants"
  elif [ "$1" = "$time" ] && [ -e "$link" ]; then
    echo "timer linked although a manager enabled it"
  fi
}

foreign_timer=$'[Timer]\nOnCalendar=weekly'
# Each row runs on the files the rows before it left.
# bus | program folder | arguments | status | stdout pattern | stderr pattern | units | manager calls
while IFS='|' read -r bus folder arguments status out_pattern err_pattern expected calls; do
  out_pattern=${out_pattern//NEXT/$next_text}
  if [ "$bus" = foreign ]; then
    # A timer of the same name the user wrote by hand.
    mkdir -p "$units" && printf '%s\n' "$foreign_timer" >"$units/tyqlmftp-collect.timer"
    bus=none
  fi
  start_bus "$bus"
  read -r -a argv <<<"$arguments"
  run "$folder/tyqlmftp" "${argv[@]}"
  stop_bus
  # The manager's methods, without the property reads and the mock's signals.
  made_calls=$( (grep -v ' \(Get\|GetAll\|emit\) /' "$scratch/calls" 2>/dev/null || true) |
    cut -d' ' -f2- | paste -sd';')
  problem=$(answer_problem "$status" "$out_pattern" "$err_pattern")
  if [ -z "$problem" ] && [ "$made_calls" != "$calls" ]; then
    problem="manager calls: $made_calls"
  fi
  report "$arguments ($bus)" "${problem:-$(units_problem "$expected")}"
done <<CASES
none|$odd|--schedule 00:00|0|^Daily collection at 00:00: .*/tyqlmftp-collect.timer written\.$|empty|00:00 linked|
none|$odd|--schedule 23:59|0|next login, or with: systemctl --user enable --now tyqlmftp-collect.timer$|empty|23:59 linked|
none|$odd|--no-schedule|0|^Daily collection at 23:59 removed\.$|empty|-|
bus|$odd|--schedule=07:05|0|^Daily collection at 07:05: .* written\.$|empty|07:05 linked|
manager|$odd|--schedule 12:00|0|^Daily collection at 12:00: tyqlmftp-collect.timer enabled and started\.$|empty|12:00 linked|EnableUnitFiles ["tyqlmftp-collect.timer"] False True;Reload;StartUnit "tyqlmftp-collect.timer" "replace";GetUnit "tyqlmftp-collect.timer"
manager|$odd|--no-schedule|0|^Daily collection at 12:00 removed: tyqlmftp-collect.timer stopped and disabled\.$|empty|-|StopUnit "tyqlmftp-collect.timer" "replace";DisableUnitFiles ["tyqlmftp-collect.timer"] False;Reload
manager|$odd|--no-schedule|0|^No daily collection was scheduled\.$|empty|-|
manager|$odd|--schedule 18:30|0|^Next collection: NEXT\.$|empty|18:30|EnableUnitFiles ["tyqlmftp-collect.timer"] False True;Reload;StartUnit "tyqlmftp-collect.timer" "replace";GetUnit "tyqlmftp-collect.timer"
manager:StopUnit|$odd|--no-schedule|1|empty|^tyqlmftp: the service manager would not stop tyqlmftp-collect.timer: StopUnit refused by the test$|-|StopUnit "tyqlmftp-collect.timer" "replace";DisableUnitFiles ["tyqlmftp-collect.timer"] False;Reload
manager:EnableUnitFiles|$odd|--schedule 06:45|1|empty|^tyqlmftp: the service manager would not enable tyqlmftp-collect.timer: EnableUnitFiles refused by the test$|-|EnableUnitFiles ["tyqlmftp-collect.timer"] False True;DisableUnitFiles ["tyqlmftp-collect.timer"] False;Reload
manager:StartUnit|$odd|--schedule 06:50|1|empty|would not start tyqlmftp-collect.timer: StartUnit refused|-|EnableUnitFiles ["tyqlmftp-collect.timer"] False True;Reload;StartUnit "tyqlmftp-collect.timer" "replace";DisableUnitFiles ["tyqlmftp-collect.timer"] False;Reload
manager:job|$odd|--schedule 06:55|1|empty|^tyqlmftp: tyqlmftp-collect.timer did not start \(failed\)$|-|EnableUnitFiles ["tyqlmftp-collect.timer"] False True;Reload;StartUnit "tyqlmftp-collect.timer" "replace";DisableUnitFiles ["tyqlmftp-collect.timer"] False;Reload
none|$odd|--no-schedule|0|^No daily collection was scheduled\.$|empty|-|
none|$odd|--quiet --collect --again QLM1.ZIP|78|empty|^No mailbox is set up$|-|
none|$slash|--schedule 07:00|1|empty|^tyqlmftp: the service manager cannot run the program from its path|-|
foreign|$odd|--schedule 07:10|1|empty|^tyqlmftp: .*/tyqlmftp-collect.timer was not written by tyqlmftp: it stays as it is, and no daily collection was scheduled$|foreign|
foreign|$odd|--no-schedule|1|empty|^tyqlmftp: .*/tyqlmftp-collect.timer was not written by tyqlmftp: it stays as it is$|foreign|
CASES
[ "$failures" -eq 0 ]
echo "Daily timer written, enabled and removed as the service manager allows."
