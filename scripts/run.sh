#!/usr/bin/env bash
# Installs what is missing, builds everything (Release) and runs the program.
# Until the window program exists this runs the engine's command-line tool: `edb --help`,
# or `edb ARGS...` when arguments are given.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTESVAR_BUILD_TESTS=OFF -DTESVAR_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
if [ $# -eq 0 ]; then set -- --help; fi
exec "$build/tools/edb/edb" "$@"
