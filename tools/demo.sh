#!/usr/bin/env bash
# Headless demonstration (./nx run without a display): the simulator's demo
# controller, served by nxsim on a pseudo-terminal at the pace of the real
# 57600 bit/s line, driven by nxupdate-cli through the serial backend.
# Usage: bash tools/demo.sh [BUILD_DIR]
set -euo pipefail

BUILD=$(cd "${1:-build}" && pwd)
cd "$(dirname "$0")/.."
CLI="$BUILD/nxupdate-cli"
SIM="$BUILD/nxsim"
DAT=examples/incucontrol_update.dat

if [ ! -x "$CLI" ]; then
    echo "demo: $CLI is not built" >&2
    exit 1
fi
if [ ! -f "$DAT" ]; then
    python3 tools/make_examples.py >/dev/null
fi

if [ -t 1 ]; then
    BOLD=$'\033[1m' DIM=$'\033[2m' OFF=$'\033[0m'
else
    BOLD='' DIM='' OFF=''
fi
say() { printf '\n%s%s%s\n' "$DIM" "$*" "$OFF"; }
run() {
    printf '%s$ %s%s\n' "$BOLD" "$*" "$OFF"
    "$@"
}

# Commands are shown as a user would type them.
export PATH="$BUILD:$PATH"

# The simulator on a pseudo-terminal; without one, the in-process simulator.
SIMARGS=(--simulate)
DEVARGS=()
SIMPID=
if [ -x "$SIM" ]; then
    exec {simout}< <(exec "$SIM" --demo --wire-time 2>/dev/null)
    SIMPID=$!
    trap '[ -n "$SIMPID" ] && kill "$SIMPID" 2>/dev/null || true' EXIT
    if read -r -t 5 PORT <&"$simout" && [ -n "$PORT" ]; then
        export NXUPDATE_PORTS="$PORT"
        SIMARGS=()
        # Named, in case a real bridge is attached as well.
        DEVARGS=(--device="$PORT")
        say "nxsim serves the demo controller on $PORT (NXUPDATE_PORTS=$PORT), at 57600 bit/s."
    fi
fi
if [ ${#SIMARGS[@]} -gt 0 ]; then
    say "No pseudo-terminal simulator; using the in-process simulator (--simulate)."
fi

say "The controllers and the components on their channels:"
run nxupdate-cli list "${SIMARGS[@]}"

say "Firmware and parameter tables from one packed file into the controller:"
run nxupdate-cli download --file="$DAT" "${SIMARGS[@]}" "${DEVARGS[@]}"

say "The controller's versions after the download:"
run nxupdate-cli info "${SIMARGS[@]}" "${DEVARGS[@]}"

say "A component's filter-change counter:"
run nxupdate-cli filter --channel=1 "${SIMARGS[@]}" "${DEVARGS[@]}"

say "More: nxupdate-cli --help   (the desktop program starts with ./nx run where a display is available)"
