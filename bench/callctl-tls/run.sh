#!/bin/bash
# bench/callctl-tls/run.sh [BUILD_WIN] [N]: TLS against UDP registrations of the demo
# subscriber with the demo call server, under Wine in the test bed (builds the program).
set -eu
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
WIN="${1:-$ROOT/build-win}"
N="${2:-5}"
cmake --build "$WIN" --target callctl_tls_register -j "$(nproc)" >/dev/null
exec "$ROOT/scripts/testbed" "$ROOT/tools/demo/with-service" \
    wine "$WIN/bench/callctl-tls/callctl_tls_register.exe" "$N"
