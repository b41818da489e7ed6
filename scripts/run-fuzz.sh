#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time each; corpora live in fuzz/corpus-<name>.
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for t in $(find "$build" -type f -executable -name 'fuzz_*' -not -path '*/CMakeFiles/*' | sort); do
  name=$(basename "$t")
  corpus="$root/fuzz/corpus-$name"
  mkdir -p "$corpus"
  seeds="$root/fuzz/seeds/$name"
  echo "== $name ($seconds s)"
  args=("$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  if ! "$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
       -artifact_prefix="$root/fuzz/" "${args[@]}" >"/tmp/$name.log" 2>&1; then
    echo "   FAILED: see /tmp/$name.log and fuzz/crash-*"; status=1
  else
    echo "   ok: $(grep -E '^Done' /tmp/$name.log | tail -1)"
  fi
done
exit $status
