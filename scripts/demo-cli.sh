#!/usr/bin/env bash
# `make demo-cli`: starts the camera simulator with two USB cameras in a temporary folder and two
# network cameras on loopback, and walks velmora-cli through a short tuning session against
# them, printing each step.
set -eu
build=${1:-build}
bin="$build/bin"
work=$(mktemp -d /tmp/velmora-run.XXXXXX)
usbdir="$work/usb"
mkdir -p "$usbdir"

sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== starting velmora-camsim: two USB cameras in $usbdir, network cameras on 127.0.0.2 and 127.0.0.3"
"$bin/velmora-camsim" --usb-dir "$usbdir" --usb-count 2 --net 127.0.0.2,127.0.0.3 \
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
cli="$bin/velmora-cli"
# The command line goes to stderr so that it shows even when the output is filtered.
step() {
  echo >&2
  echo "\$ velmora-cli $*" >&2
  "$cli" "$@"
}

step list
step --device 1 info
step --device 1 get | head -n 8
step --device 1 set Luminance=72 BExpCPS=-5
step --device 1 get | grep -E '^(Luminance|BExpCPS)='
step --device 1 export "$work/cam1.dat"
ls -l "$work/cam1.dat"
step --device 2 import "$work/cam1.dat"
step --device 2 get | grep -E '^(Luminance|BExpCPS)='
step --device 1 defaults
step --device 1 get | grep -E '^(Luminance|BExpCPS)='
step --device 1 focus-near
step --device 1 frame-rate
step --device 1 abilities | head -n 6

echo
echo "== network cameras"
step search
step --ip 127.0.0.2 info
step --ip 127.0.0.2 set bHorzInvert=1 Luminance=65
step --ip 127.0.0.2 export "$work/net.dat"
step --ip 127.0.0.3 import "$work/net.dat"
step --ip 127.0.0.3 get | grep -E '^(Luminance|bHorzInvert)='
step --ip 127.0.0.2 frame-rate
mkdir -p out
step --ip 127.0.0.2 snapshot out/snapshot-127.0.0.2.png
step --ip 127.0.0.2 --password wrong get || true
echo
echo "== session done; stopping the simulator (a picture of the live stream is in out/)"
