#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with. Runs `apt-get update` only when
# something is missing, and sudo only when not root. Safe to run again: it installs nothing twice.
set -euo pipefail

packages=(
    # toolchain
    build-essential g++ cmake make pkg-config ccache git
    clang clang-14 libclang-rt-14-dev clang-format clang-tidy
    # tests and benchmarks
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    # libraries
    libsqlcipher-dev libssl-dev nlohmann-json3-dev libxml2-dev libicu-dev iso-codes
    libcurl4-openssl-dev libasio-dev libavahi-client-dev libsecret-1-dev libstb-dev
    libpoppler-cpp-dev libcli11-dev libfmt-dev
    # programs the tests call
    sqlcipher sqlite3 openssl xxd time
    # a private session bus and keyring for the saved-password tests
    dbus-daemon gnome-keyring
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
