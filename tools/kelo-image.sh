#!/usr/bin/env bash
# The service's image tool: makes the disk images a Kelo Helvo service publishes and, given the
# service's secret image key, their minisign signatures.
#
#   tools/kelo-image.sh agent FOLDER OUT [--key SECRET_KEY]
#       The agent's image, volume "Kelo": FOLDER holds Kelo.app and its support tools
#       (KeloCrashDetector, HelvoUserHandler, KHPreLogin, KeloPingAgent). Published as
#       /agent/KeloMac.dmg.
#   tools/kelo-image.sh update BUNDLE OUT [--key SECRET_KEY]
#       The launcher's update image, volume "Pellix Plugin" holding the bundle as
#       "Kelo Helvo Pellix.app". Published as /agent/KeloHelvoPellix.dmg.
#   tools/kelo-image.sh invitation BUNDLE OUT --dc DC --token TOKEN --path JOIN_PATH
#                      [--key SECRET_KEY]
#       A customer's invitation: the update image plus the hidden ".pellixConfiguration" that
#       names the data centre, the launch token and the join page's path.
#
# With --key, OUT.minisig is written beside OUT: publish it at the image's address followed by
# ".minisig". Its trusted comment names the image as the launcher downloads it (KeloMac.dmg, or
# KeloHelvoPellix.dmg, whatever OUT is called; an invitation's names OUT), and the launcher
# refuses an image signed for the other name. The launcher checks the signature against the
# public key in its bundle (Info.plist "KeloImagePublicKey", from the CMake option
# KELO_IMAGE_PUBLIC_KEY; a build without it makes the pair build/keys/kelo-images.{key,pub}).
#
# The images are ISO 9660 with Rock Ridge (modes, links and long names survive) whatever their
# name says: the launcher's disk-image tool opens images by their content. Needs genisoimage,
# and minisign to sign.
set -euo pipefail

usage() {
    sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
fail() {
    echo "kelo-image: $*" >&2
    exit 1
}

[ $# -ge 3 ] || usage
kind=$1 source=$2 out=$3
shift 3
key="" dc="" token="" join_path=""
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case $1 in
        --key) key=$2 ;;
        --dc) dc=$2 ;;
        --token) token=$2 ;;
        --path) join_path=$2 ;;
        *) usage ;;
    esac
    shift 2
done

command -v genisoimage >/dev/null || fail "genisoimage is missing (Debian package genisoimage)"
if [ -n "$key" ]; then
    command -v minisign >/dev/null || fail "minisign is missing (Debian package minisign)"
    [ -r "$key" ] || fail "cannot read the secret key $key"
fi

work=$(mktemp -d)
trap 'rm -rf "$work" "$out.partial" "$out.minisig.partial"' EXIT

# The volume's content and how the launcher names the published image.
case $kind in
    agent)
        [ -f "$source/Kelo.app/Contents/Info.plist" ] || fail "$source holds no Kelo.app"
        for tool in KeloCrashDetector HelvoUserHandler KHPreLogin KeloPingAgent; do
            [ -e "$source/$tool" ] || echo "kelo-image: note: $source holds no $tool" >&2
        done
        label=Kelo content=$source published=KeloMac.dmg
        ;;
    update | invitation)
        [ -f "$source/Contents/Info.plist" ] || fail "$source is not an application bundle"
        label="Pellix Plugin" content=$work/volume published=KeloHelvoPellix.dmg
        mkdir "$content"
        cp -a "$source" "$content/Kelo Helvo Pellix.app"
        if [ "$kind" = invitation ]; then
            [ -n "$dc" ] && [ -n "$token" ] && [ -n "$join_path" ] ||
                fail "an invitation needs --dc, --token and --path"
            # The configuration's parts are joined by "&" and split at "=": a value cannot hold
            # either, nor a line end.
            for value in "$dc" "$token" "$join_path"; do
                case $value in *[\&=$'\n\r']*) fail "'$value' cannot stand in the configuration" ;; esac
            done
            printf 'KELO_PARLO_IND\nPellixToken=%s&DC=%s&pathForPellix=%s' \
                "$token" "$dc" "$join_path" >"$content/.pellixConfiguration"
            published=$(basename "$out")
        fi
        ;;
    *) usage ;;
esac

# Written beside their final names and renamed, so a reader never sees half an image.
mkdir -p "$(dirname "$out")"
genisoimage -quiet -R -input-charset utf-8 -V "$label" -o "$out.partial" "$content"
if [ -n "$key" ]; then
    minisign -S -s "$key" -m "$out.partial" -x "$out.minisig.partial" \
        -c "signature from the service's image key" \
        -t "timestamp:$(date +%s)"$'\t'"file:$published"$'\t'"hashed" >/dev/null
    mv -f "$out.minisig.partial" "$out.minisig"
else
    rm -f "$out.minisig"  # an earlier image's: it cannot hold for this one
fi
mv -f "$out.partial" "$out"
