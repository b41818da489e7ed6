#!/usr/bin/env bash
# Figures of velmora-cli against the simulator: the time of one USB `get`, and N `export`
# processes started at once, each on its own camera (a tray on a production line) and all on one
# camera. Prints wall times and failure counts; nothing is asserted.
#   bench/cli/cli_figures.sh [BUILD_DIR] [RUNS]
set -eu
build=${1:-build}
runs=${2:-15}
bin="$build/bin"
work=$(mktemp -d /tmp/velmora-cli-bench.XXXXXX)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$bin/velmora-camsim" --usb-dir "$work/usb" --usb-count 64 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 1 100); do grep -q '^ready' "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
grep -q '^ready' "$work/sim.out" || { echo "simulator did not start"; cat "$work/sim.err"; exit 1; }
export VELMORA_USB_SIM="$work/usb"
export VELMORA_SEARCH_TARGETS=127.0.0.1
cli="$bin/velmora-cli"

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# Median of `runs` wall times of one command, in milliseconds.
median_ms() {
  local times=()
  for _ in $(seq 1 "$runs"); do
    local t0; t0=$(now_ms)
    "$@" >/dev/null 2>&1 || true
    times+=($(( $(now_ms) - t0 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'
}

echo "one USB get (64 cameras present), median of $runs: $(median_ms "$cli" --device 5 get) ms"
serial=$("$cli" --device 5 info | sed -n 's/^Serial=//p')
echo "one USB get by serial ($serial), median of $runs: $(median_ms "$cli" --serial "$serial" get) ms"
echo "list of 64 cameras, median of 3: $(runs=3 median_ms "$cli" list) ms"

# N exports at once; $2 = "own" (camera i for process i) or "one" (all on camera 1).
parallel_exports() {
  local n=$1 mode=$2 pids=() fails=0 t0
  t0=$(now_ms)
  for i in $(seq 1 "$n"); do
    local dev=$i; [ "$mode" = one ] && dev=1
    "$cli" --device "$dev" export "$work/p$i.dat" >/dev/null 2>"$work/e$i.txt" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p" || fails=$((fails + 1)); done
  local errs; errs=$(cat "$work"/e*.txt 2>/dev/null | sed 's/^\(error -*[0-9]*\).*/\1/' | sort | uniq -c | tr '\n' ' ')
  rm -f "$work"/e*.txt "$work"/p*.dat
  local what="each on its own camera"; [ "$mode" = one ] && what="all on camera 1"
  echo "$n parallel exports ($what): $(( $(now_ms) - t0 )) ms wall, $fails failed ${errs:+($errs)}"
}

for n in 16 64; do parallel_exports "$n" own; done
for n in 16 64; do parallel_exports "$n" one; done
