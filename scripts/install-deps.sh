#!/bin/sh
# Installs the Debian packages the build and the tests need, if any is missing.
# Each part of the project lists its packages in scripts/deps/*.txt.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
packages="$(cat "$root"/scripts/deps/*.txt | tr '\n' ' ')"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
