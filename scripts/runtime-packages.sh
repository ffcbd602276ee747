#!/usr/bin/env bash
# Prints the Debian packages that a customer's machine needs to run the built bundle: the shared
# libraries of the bundle's programs and of its page bridge, as dpkg-shlibdeps finds them, and
# what the bundle uses besides them: 7-Zip (the disk-image tool runs it) and the system's
# certificate authorities (every request is verified against them).
#
# Usage: scripts/runtime-packages.sh [BUILD]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
bundle="$build/Kelo Helvo Pellix.app"
[ -d "$bundle" ] || { echo "runtime-packages: $bundle is missing; run 'make' first" >&2; exit 1; }

# dpkg-shlibdeps works in a source package: give it the smallest one.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/debian"
printf 'Source: kelo-helvo-pellix\n\nPackage: kelo-helvo-pellix\nArchitecture: any\n' \
    >"$work/debian/control"
mapfile -t programs < <(find "$bundle/Contents" -type f -exec sh -c \
    'head -c 4 "$1" | grep -q "ELF" && echo "$1"' _ {} \;)
(cd "$work" && dpkg-shlibdeps -O "${programs[@]}" 2>/dev/null) |
    sed -n 's/^shlibs:Depends=//p' | tr ',' '\n' | sed 's/^ *//; s/ *$//'
echo "7zip | p7zip-full"
echo "ca-certificates"
