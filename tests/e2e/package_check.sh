#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it as Debian does:
#   package_check.sh BUILD_DIR
# lintian with no error or warning (overrides carry their reasons) and no
# hardening tag of any level; the AppStream catalogue entry the package
# installs passes appstreamcli; no maintainer script or trigger; the Wayland
# platform among the dependencies.
set -euo pipefail
build=$1

out=$(mktemp -d "${TMPDIR:-/tmp}/tyq-package.XXXXXX")
trap 'rm -rf "$out"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || {
  cat "$out/cpack.log" >&2
  exit 1
}
package=$(find "$out" -maxdepth 1 -name 'tyqlmftp_*.deb' -print -quit)
[ -n "$package" ] || { echo "cpack made no package" >&2; exit 1; }

status=0
lintian --fail-on error,warning --display-info --no-cfg "$package" >"$out/lintian.txt" 2>&1 ||
  status=$?
if [ "$status" -ne 0 ] || grep -q 'hardening-' "$out/lintian.txt"; then
  echo "lintian on $(basename "$package"):" >&2
  cat "$out/lintian.txt" >&2
  exit 1
fi

control=$(dpkg-deb --ctrl-tarfile "$package" | tar -t | sed 's|^\./||' | grep -v '^$' | sort | tr '\n' ' ')
if [ "$control" != "control md5sums " ]; then
  echo "Unexpected control files: $control" >&2
  exit 1
fi

# The toolkit's Wayland platform is a plugin, which shlibdeps cannot see.
if ! dpkg-deb -f "$package" Depends | tr ',' '\n' | grep -Eq '^ *qt6-wayland( |$)'; then
  echo "The package does not depend on qt6-wayland: $(dpkg-deb -f "$package" Depends)" >&2
  exit 1
fi
# The Trash goes through GIO: its library is a dependency.
if ! dpkg-deb -f "$package" Depends | grep -q 'libglib2\.0-0'; then
  echo "The package does not depend on libglib2.0-0: $(dpkg-deb -f "$package" Depends)" >&2
  exit 1
fi

dpkg-deb -x "$package" "$out/root"
appstreamcli validate --no-net "$out"/root/usr/share/metainfo/*.metainfo.xml
echo "$(basename "$package"): lintian and appstreamcli clean."
