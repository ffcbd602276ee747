#!/usr/bin/env bash
# Builds the disk images that the tests and the benchmarks serve, in OUTDIR, with the service's
# image tool (tools/kelo-image.sh):
#   KeloMac.dmg           volume "Kelo": the test agent "Kelo.app" and its four support tools
#   KeloHelvoPellix.dmg   volume "Pellix Plugin": a test launcher "Kelo Helvo Pellix.app"
# and, when KELO_IMAGE_KEY names a secret key, their signatures (KeloMac.dmg.minisig, ...).
#
# Environment:
#   AGENT_VERSION    CFBundleShortVersionString of Kelo.app (default 2.0)
#   PELLIX_VERSION   CFBundleShortVersionString of Kelo Helvo Pellix.app (default 9.9.9)
#   SIZE_MB          pads Kelo.app with a random file of that many MiB (benchmarks use 64)
#   KELO_IMAGE_KEY   the minisign secret key to sign with (a build's is build/keys/kelo-images.key)
#
# The agent, when started, appends one line to $KELO_TEST_AGENT_RECORD (default
# $HOME/agent-started.txt): the time (date +%s.%N), then each argument, all separated by tabs.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "Usage: $0 OUTDIR" >&2
    exit 1
fi
outdir=$1
agent_version=${AGENT_VERSION:-2.0}
pellix_version=${PELLIX_VERSION:-9.9.9}
size_mb=${SIZE_MB:-0}
case $size_mb in
    '' | *[!0-9]*)
        echo "SIZE_MB must be a whole number of MiB, not '$size_mb'" >&2
        exit 1
        ;;
esac
image_tool=$(dirname "$0")/kelo-image.sh
signing=()
if [ -n "${KELO_IMAGE_KEY:-}" ]; then signing=(--key "$KELO_IMAGE_KEY"); fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$outdir"

xml_escape() {
    printf '%s' "$1" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g'
}

# write_info_plist FILE KEY VALUE [KEY VALUE ...]
write_info_plist() {
    local file=$1
    shift
    {
        echo '<?xml version="1.0" encoding="UTF-8"?>'
        echo '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">'
        echo '<plist version="1.0">'
        echo '<dict>'
        while [ $# -ge 2 ]; do
            printf '\t<key>%s</key>\n\t<string>%s</string>\n' "$(xml_escape "$1")" "$(xml_escape "$2")"
            shift 2
        done
        echo '</dict>'
        echo '</plist>'
    } >"$file"
}

# The agent image.
agent_volume=$work/agent
agent_app=$agent_volume/Kelo.app/Contents
mkdir -p "$agent_app/MacOS" "$agent_app/Resources"
write_info_plist "$agent_app/Info.plist" \
    CFBundleExecutable Kelo \
    CFBundleIdentifier com.Kelo.agent \
    CFBundleName Kelo \
    CFBundlePackageType APPL \
    CFBundleShortVersionString "$agent_version" \
    CFBundleVersion "$agent_version"
cat >"$agent_app/MacOS/Kelo" <<'AGENT'
#!/bin/sh
# Test agent: records that it was started (the time, then its arguments, tab-separated) and exits.
record=${KELO_TEST_AGENT_RECORD:-$HOME/agent-started.txt}
tab=$(printf '\t')
line=$(date +%s.%N)
for argument in "$@"; do
    line=$line$tab$argument
done
# One write per start, so that agents started together do not mix their lines.
printf '%s\n' "$line" >>"$record"
AGENT
chmod 755 "$agent_app/MacOS/Kelo"
for tool in KeloCrashDetector HelvoUserHandler KHPreLogin KeloPingAgent; do
    printf '#!/bin/sh\n# %s of the test agent %s\necho "%s %s"\n' \
        "$tool" "$agent_version" "$tool" "$agent_version" >"$agent_volume/$tool"
    chmod 755 "$agent_volume/$tool"
done
if [ "$size_mb" -gt 0 ]; then
    head -c "$((size_mb * 1024 * 1024))" /dev/urandom >"$agent_app/Resources/padding.bin"
fi
"$image_tool" agent "$agent_volume" "$outdir/KeloMac.dmg" "${signing[@]}"

# The launcher's update image.
pellix_volume=$work/pellix
pellix_app="$pellix_volume/Kelo Helvo Pellix.app/Contents"
mkdir -p "$pellix_app/MacOS" "$pellix_app/Resources"
write_info_plist "$pellix_app/Info.plist" \
    CFBundleExecutable KeloHelvoPellix \
    CFBundleIdentifier com.Kelo.Helvo.KeloHelvoPellix \
    CFBundleName "Kelo Helvo Pellix" \
    CFBundlePackageType APPL \
    CFBundleShortVersionString "$pellix_version" \
    CFBundleVersion "$pellix_version"
cat >"$pellix_app/MacOS/KeloHelvoPellix" <<PELLIX
#!/bin/sh
# Test build of the launcher, as delivered by an update image.
echo "Kelo Helvo Pellix $pellix_version"
PELLIX
chmod 755 "$pellix_app/MacOS/KeloHelvoPellix"
"$image_tool" update "$pellix_volume/Kelo Helvo Pellix.app" "$outdir/KeloHelvoPellix.dmg" \
    "${signing[@]}"
