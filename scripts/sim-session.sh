# Sourced by run.sh and demo-cli.sh: starts velmora-camsim with two USB cameras in a temporary
# folder and two network cameras on 127.0.0.2 and 127.0.0.3 (extra simulator options in
# SIM_EXTRA), waits until it is ready, stops it and removes the folder on exit, and points the
# program at it: VELMORA_USB_SIM for the USB cameras, the LAN search on loopback only.
# Sets: bin, work, usbdir.
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
# shellcheck disable=SC2086
"$bin/velmora-camsim" --usb-dir "$usbdir" --usb-count 2 --net 127.0.0.2,127.0.0.3 ${SIM_EXTRA:-} \
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
