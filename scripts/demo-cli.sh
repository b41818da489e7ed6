#!/usr/bin/env bash
# `make demo-cli`: starts the camera simulator with two USB cameras in a temporary folder and two
# network cameras on loopback, and walks velmora-cli through a short tuning session against
# them, printing each step.
set -eu
source "$(dirname "$0")/sim-session.sh"
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
