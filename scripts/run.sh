#!/usr/bin/env bash
# `make run`: starts the camera simulator (two USB cameras in a temporary folder, two network
# cameras on 127.0.0.2 and 127.0.0.3, the LAN search on loopback) and opens Velmora on it with a
# fresh home folder, the first USB camera and both network cameras opened.
# Without a display it runs the same under Xvfb, saves pictures of both modes under out/ and ends.
set -eu
SIM_EXTRA="--net-size 1280x720"
source "$(dirname "$0")/sim-session.sh"
home="$work/home"
mkdir -p "$home"
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
