#!/usr/bin/env bash
# The demo: runs `ledra` through what the library can do today, in a scratch data folder.
set -euo pipefail
ledra=${1:-build-release/cli/ledra}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config"

step() { printf '\n\033[1m$ ledra %s\033[0m\n' "$*"; "$ledra" "$@"; }

step --version

echo
echo "== Money is exact decimal arithmetic, never binary floating point"
step decimal add 0.1 0.2
step decimal add 99999999999999999999999999999999999999 1
step decimal add 99999999999999999999999999999999999999 0.5
step decimal divide 1 3
step decimal round 2.345 --scale 2
step decimal round -2.345 --scale 2
step decimal round 2.345 --scale 2 --mode bankers
step --json decimal multiply 19.99 3

