#!/usr/bin/env bash
# Installs the build into a scratch root and checks what a desktop gets:
#   install_check.sh BUILD_DIR SOURCE_DIR
# exactly the expected files, the bin link into the private folder, a valid
# desktop entry and the bus service that starts the program by its name, and
# that a program started through the bin link finds the installed libraries:
# the walkthrough driver, put beside the installed program for the check,
# runs the demo mailbox on them.
set -euo pipefail
build=$1
source=$2

root=$(mktemp -d "${TMPDIR:-/tmp}/tyq-install.XXXXXX")
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null

expected="usr/bin/tyqlmftp
usr/lib/tyqlmftp/libtyqcli.so
usr/lib/tyqlmftp/libtyqwindow.so
usr/lib/tyqlmftp/libtyrasapi.so
usr/lib/tyqlmftp/libtyrasdlg.so
usr/lib/tyqlmftp/libtyunzip.so
usr/lib/tyqlmftp/tyqlmftp
usr/lib/tyqlmftp/tyqlmftp.hlp
usr/share/applications/org.tessary.tyqlmftp.desktop
usr/share/dbus-1/services/org.tessary.tyqlmftp.service
usr/share/doc/tyqlmftp/changelog.Debian.gz
usr/share/doc/tyqlmftp/copyright
usr/share/icons/hicolor/16x16/apps/tyqlmftp.png
usr/share/icons/hicolor/24x24/apps/tyqlmftp.png
usr/share/icons/hicolor/32x32/apps/tyqlmftp.png
usr/share/icons/hicolor/48x48/apps/tyqlmftp.png
usr/share/icons/hicolor/64x64/apps/tyqlmftp.png
usr/share/icons/hicolor/scalable/apps/tyqlmftp.svg
usr/share/lintian/overrides/tyqlmftp
usr/share/man/man1/tyqlmftp.1.gz
usr/share/metainfo/org.tessary.tyqlmftp.metainfo.xml"
actual=$(cd "$root" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  echo "Installed files differ:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi

link=$(readlink "$root/usr/bin/tyqlmftp")
if [ "$link" != ../lib/tyqlmftp/tyqlmftp ]; then
  echo "usr/bin/tyqlmftp points to $link" >&2
  exit 1
fi
for size in 16 24 32 48 64; do
  # PNG signature, then the IHDR width and height.
  header=$(od -An -tx1 -N24 "$root/usr/share/icons/hicolor/${size}x${size}/apps/tyqlmftp.png" | tr -d ' \n')
  printf -v dims '%08x%08x' "$size" "$size"
  if [ "${header:0:16}" != 89504e470d0a1a0a ] || [ "${header:32:16}" != "$dims" ]; then
    echo "The ${size}x${size} icon is not a ${size}x${size} PNG" >&2
    exit 1
  fi
done
desktop-file-validate "$root/usr/share/applications/org.tessary.tyqlmftp.desktop"
# The bus starts the installed program by the entry's name.
service=$(cat "$root/usr/share/dbus-1/services/org.tessary.tyqlmftp.service")
if [ "$service" != $'[D-BUS Service]\nName=org.tessary.tyqlmftp\nExec=/usr/bin/tyqlmftp --gapplication-service' ]; then
  echo "The bus service file says: $service" >&2
  exit 1
fi

# Without a display the installed program points to --collect, never to the
# source tree's scripts.
status=0
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$root/usr/bin/tyqlmftp" 2>"$root/said" ||
  status=$?
if [ "$status" != 1 ] || ! grep -q -- '--collect' "$root/said" || grep -q 'script/run' "$root/said"; then
  echo "Without a display the installed program said (status $status):" >&2
  cat "$root/said" >&2
  exit 1
fi
rm "$root/said"

cp "$build/bin/tyq_walkthrough" "$root/usr/lib/tyqlmftp/"
ln -s ../lib/tyqlmftp/tyq_walkthrough "$root/usr/bin/tyq_walkthrough"
"$source/script/demo/run" "$root/usr/bin" --headless >/dev/null
echo "Installed tree complete; the program's libraries are found through the bin link."
