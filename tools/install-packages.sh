#!/bin/sh
# Installs those of the named Debian packages that are missing, without their recommended
# packages when the first argument is --no-recommends; does nothing when all are there. Uses
# sudo unless run as root.
set -eu
options=""
if [ "${1:-}" = --no-recommends ]; then
    options="--no-install-recommends"
    shift
fi
missing=""
for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done
[ -z "$missing" ] && exit 0
as_root=""
[ "$(id -u)" -eq 0 ] || as_root="sudo"
echo "Installing:$missing"
$as_root apt-get update -q
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $options $missing
