#!/usr/bin/env bash
# Runs every benchmark executable of a build.
set -euo pipefail
build=${1:-build}
for b in $(find "$build/bench" -type f -executable -name 'bench_*' | sort); do
  echo "== $(basename "$b")"
  "$b"
done
echo "== velmora-cli figures"
"$(dirname "$0")/../bench/cli/cli_figures.sh" "$build"
