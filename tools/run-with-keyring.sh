#!/bin/sh
# Runs a command inside a private session bus with a fresh, unlocked keyring of its own, so that
# tests of saved passwords use the desktop's real Secret Service without touching the user's
# keyring. HOME and the XDG folders point into a temporary folder removed afterwards.
# Exits 77 (a skipped test) when gnome-keyring is missing, except under CI=true where that fails.
set -eu
if ! command -v gnome-keyring-daemon >/dev/null 2>&1 || ! command -v dbus-run-session >/dev/null 2>&1; then
    if [ "${CI:-}" = true ]; then
        echo "gnome-keyring-daemon or dbus-run-session is missing (tools/deps.sh installs them)" >&2
        exit 1
    fi
    echo "skipped: gnome-keyring is not installed (tools/deps.sh installs it)"
    exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/home" "$scratch/data" "$scratch/config" "$scratch/runtime"
chmod 700 "$scratch/runtime"
export HOME="$scratch/home" XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config" \
    XDG_RUNTIME_DIR="$scratch/runtime" LD_KEYRING_SESSION=1
unset DISPLAY WAYLAND_DISPLAY
# The password on standard input creates and unlocks the login keyring (an empty one creates none).
dbus-run-session -- sh -c 'printf ledra-test | gnome-keyring-daemon --unlock --components=secrets >/dev/null && "$@"' sh "$@"
