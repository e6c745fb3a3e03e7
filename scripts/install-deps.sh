#!/bin/sh
# Installs the Debian packages the build and the tests need, if any is missing.
# Each part of the project lists its packages in scripts/deps/NAME.txt. With NAMEs (e.g.
# "build"), only those lists are installed; without, all of them.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "$#" -eq 0 ]; then
    lists="$root/scripts/deps/*.txt"
else
    lists=""
    for name in "$@"; do
        [ -f "$root/scripts/deps/$name.txt" ] || { echo "no package list scripts/deps/$name.txt" >&2; exit 2; }
        lists="$lists $root/scripts/deps/$name.txt"
    done
fi
# shellcheck disable=SC2086 # the lists are paths without spaces, the glob is meant
packages="$(cat $lists | tr '\n' ' ')"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
