#!/usr/bin/env bash
# `make run`: starts the camera simulator (two USB cameras in a temporary folder, two network
# cameras on 127.0.0.2 and 127.0.0.3, the LAN search on loopback) and opens Velmora on it with a
# fresh home folder, the first USB camera and both network cameras opened.
# Without a display it runs the same under Xvfb, saves pictures of both modes under out/ and ends.
set -eu
build=${1:-build}
bin="$build/bin"
work=$(mktemp -d /tmp/velmora-run.XXXXXX)
usbdir="$work/usb"
home="$work/home"
mkdir -p "$usbdir" "$home"

sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== starting velmora-camsim: two USB cameras in $usbdir, network cameras on 127.0.0.2 and 127.0.0.3"
"$bin/velmora-camsim" --usb-dir "$usbdir" --usb-count 2 --net 127.0.0.2,127.0.0.3 --net-size 1280x720 \
  > "$work/sim.out" 2> "$work/sim.err" &
sim_pid=$!
for _ in $(seq 1 100); do
  grep -q '^ready' "$work/sim.out" 2>/dev/null && break
  sleep 0.1
done
grep -q '^ready' "$work/sim.out" || { echo "simulator did not start"; cat "$work/sim.err"; exit 1; }

export VELMORA_USB_SIM="$usbdir"
# LAN search probes stay on loopback whenever anything runs here.
export VELMORA_SEARCH_TARGETS="127.255.255.255"
args=(--home "$home" --open-usb 1 --open-ip 127.0.0.2,127.0.0.3)

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "== opening Velmora (home folder $home); close the window to stop the simulator"
  "$bin/velmora" "${args[@]}"
else
  mkdir -p out
  echo "== no display: running Velmora under Xvfb; pictures of both modes go to out/"
  xvfb-run -a -s "-screen 0 1600x1000x24" "$bin/velmora" "${args[@]}" --screenshot "$PWD/out"
  ls -l out/velmora-usb.png out/velmora-ip.png
fi
echo "== done; stopping the simulator"
