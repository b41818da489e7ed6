#!/usr/bin/env bash
# Builds the Debian packages from a configured build folder and checks them as a user would get
# them: the files each holds, stripped binaries, computed dependencies, the programs running from
# a throwaway root (dpkg -x, no installation), the AppStream data and the menu entry, and lintian
# (when installed) without errors.
#   scripts/check-package.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: check-package.sh BUILD_DIR}" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }
cmake --build "$build" --target package >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
main="$build/velmora_${version}_amd64.deb"
sim="$build/velmora-sim_${version}_amd64.deb"
for deb in "$main" "$sim"; do [ -f "$deb" ] || fail "missing $deb"; done

# Contents.
expect() {  # DEB PATH...
  local deb=$1 listing
  shift
  listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for path in "$@"; do grep -qxF "./$path" <<<"$listing" || fail "$(basename "$deb") lacks /$path"; done
}
doc=usr/share/doc/velmora
expect "$main" usr/bin/velmora usr/bin/velmora-cli usr/lib/udev/rules.d/70-velmora-hidraw.rules \
  usr/share/applications/velmora.desktop usr/share/icons/hicolor/scalable/apps/velmora.svg \
  usr/share/metainfo/io.github.velmora.velmora.metainfo.xml \
  usr/share/man/man1/velmora.1.gz usr/share/man/man1/velmora-cli.1.gz \
  usr/lib/systemd/user/velmora-keep.service $doc/keep.md \
  $doc/copyright $doc/changelog.gz $doc/LICENSE $doc/user-guide.md $doc/third-party.md $doc/images/main-usb.png
expect "$sim" usr/bin/velmora-camsim usr/share/man/man1/velmora-camsim.1.gz \
  usr/share/doc/velmora-sim/copyright usr/share/doc/velmora-sim/changelog.gz
! dpkg-deb -c "$main" | grep -q 'velmora-camsim' || fail "the simulator belongs in velmora-sim only"
dpkg-deb -f "$main" Depends | grep -q 'libqt6widgets6' || fail "velmora's dependencies were not computed"
dpkg-deb -f "$sim" Depends | grep -q 'libavcodec' || fail "velmora-sim's dependencies were not computed"

# The programs from a throwaway root: stripped, and they run.
dpkg -x "$main" "$work/root"
dpkg -x "$sim" "$work/root"
for program in velmora velmora-cli velmora-camsim; do
  file -b "$work/root/usr/bin/$program" | grep -q ', stripped' || fail "$program is not stripped"
done
for program in velmora velmora-cli; do
  out=$(env -u DISPLAY HOME="$work/home" QT_QPA_PLATFORM=offscreen "$work/root/usr/bin/$program" --version)
  [[ $out == "$program $version"* ]] || fail "$program --version printed '$out'"
  echo "$out"
done
# Unpacked beside its menu entry the tool counts as installed: its files go to the XDG folders.
out=$(env -u XDG_CONFIG_HOME HOME="$work/home" "$work/root/usr/bin/velmora-cli" --help)
grep -qF "now: $work/home/.config/velmora/ (the user's configuration folder" <<<"$out" ||
  fail "velmora-cli from the package does not use the user's configuration folder: $out"

# The keep unit starts the program the package installs.
grep -qxF 'ExecStart=/usr/bin/velmora-cli --json keep %h/.config/velmora/keep.json' \
  "$work/root/usr/lib/systemd/user/velmora-keep.service" || fail "velmora-keep.service does not run the packaged velmora-cli"
# Its syntax, as systemd reads it (system mode: a container has no user manager); what only an
# installed system has (the program, the man page) is not asked for.
if command -v systemd-analyze >/dev/null; then
  problems=$(systemd-analyze verify "$work/root/usr/lib/systemd/user/velmora-keep.service" 2>&1 |
    grep -v -e 'is not executable' -e 'man velmora-cli' || true)
  [ -z "$problems" ] || fail "systemd-analyze refused velmora-keep.service: $problems"
fi
appstreamcli validate --no-net --pedantic "$source_dir"/packaging/*.metainfo.xml >/dev/null ||
  fail "appstreamcli validate refused the metainfo file"
desktop-file-validate "$source_dir/packaging/velmora.desktop" || fail "desktop-file-validate refused the menu entry"
if command -v lintian >/dev/null; then
  lintian --no-tag-display-limit "$main" "$sim" > "$work/lintian" 2>&1 || true
  grep -E '^[EW]:' "$work/lintian" || true
  ! grep -q '^E:' "$work/lintian" || fail "lintian reports errors"
fi
echo "check-package: $(basename "$main") $(du -k "$main" | cut -f1) KiB, $(basename "$sim") $(du -k "$sim" | cut -f1) KiB: ok"
