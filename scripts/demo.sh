#!/usr/bin/env bash
# The launcher against the local service, in a demo home under the build folder (your own home is
# never touched):
#   - the local service plays the data centre "localkelo": the join page, the update checks and a
#     demo support agent image, signed with the build's image key;
#   - the launcher starts with -DC localkelo and shows the join page.
# With a display you join by hand. Without one (DISPLAY unset) the demo runs on a virtual display,
# joins by itself, prints what the launcher did and saves a screenshot in the build folder.
#
# Usage: scripts/demo.sh [BUILD]   (make demo builds first and calls this)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
bundle="$build/Kelo Helvo Pellix.app"
launcher="$bundle/Contents/MacOS/KeloHelvoPellix"
service_bin="$build/bin/kelo-local-service"
for needed in "$launcher" "$service_bin"; do
    [ -x "$needed" ] || { echo "demo: $needed is missing; run 'make' first" >&2; exit 1; }
done

# Without a display: the same demo on a virtual one, with a session bus of its own.
if [ -z "${DISPLAY:-}" ] && [ -z "${KELO_DEMO_HEADLESS:-}" ]; then
    for tool in xvfb-run dbus-run-session; do
        command -v "$tool" >/dev/null || { echo "demo: $tool is missing (make deps)" >&2; exit 1; }
    done
    export KELO_DEMO_HEADLESS=1
    exec xvfb-run -a -s "-screen 0 1280x900x24 -nolisten tcp" \
        dbus-run-session -- "$0" "$build"
fi
headless=${KELO_DEMO_HEADLESS:-}

demo="$build/demo"
home="$demo/home"
session_key=123456789
email="customer@example.com"
rm -rf "$home" "$demo/run" "$demo/root" "$demo/agent"
mkdir -p "$home" "$demo/run" "$demo/root"
chmod 700 "$demo/run"

say() { printf '\n\033[1m==> %s\033[0m\n' "$*"; }

# --- The service's certificate authority (made once) and the demo agent image ----------------
"$root/tools/make-test-ca.sh" "$demo/ca" >/dev/null

agent="$demo/agent"
mkdir -p "$agent/Kelo.app/Contents/MacOS" "$agent/Kelo.app/Contents/Resources"
cat >"$agent/Kelo.app/Contents/Info.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleExecutable</key>
	<string>Kelo</string>
	<key>CFBundleIdentifier</key>
	<string>com.Kelo.agent.demo</string>
	<key>CFBundleName</key>
	<string>Kelo</string>
	<key>CFBundlePackageType</key>
	<string>APPL</string>
	<key>CFBundleShortVersionString</key>
	<string>2.0-demo</string>
</dict>
</plist>
PLIST
# The demo agent says that it started, with which arguments, and which session it read from the
# join-details file; the report lands beside the demo home.
cat >"$agent/Kelo.app/Contents/MacOS/Kelo" <<'AGENT'
#!/bin/sh
details="$HOME/Library/Application Support/KeloParloNative/kelojoindetails.conf"
report="$HOME/demo-agent-report.txt"
field() { tr '&' '\n' <"$details" 2>/dev/null | sed -n "s/^$1=//p" | head -n 1; }
{
    echo "Demo support agent started at $(date '+%H:%M:%S')"
    echo "  arguments:"
    for argument in "$@"; do echo "    $argument"; done
    if [ -r "$details" ]; then
        echo "  session read from kelojoindetails.conf:"
        echo "    key=$(field key)  email=$(field email)  DC=$(field DC)  webServerName=$(field webServerName)"
    else
        echo "  no kelojoindetails.conf to read"
    fi
} >"$report.partial"
mv "$report.partial" "$report"
AGENT
chmod 755 "$agent/Kelo.app/Contents/MacOS/Kelo"
for tool in KeloCrashDetector HelvoUserHandler KHPreLogin KeloPingAgent; do
    printf '#!/bin/sh\necho "%s of the demo agent"\n' "$tool" >"$agent/$tool"
    chmod 755 "$agent/$tool"
done
# Made and signed as the service makes its images, with the build's image key: the launcher
# installs nothing its bundle's key did not sign.
image_key="$build/keys/kelo-images.key"
[ -r "$image_key" ] || {
    echo "demo: no image key at $image_key (a build given KELO_IMAGE_PUBLIC_KEY has none)" >&2
    exit 1
}
"$root/tools/kelo-image.sh" agent "$agent" "$demo/root/KeloMac.dmg" --key "$image_key"

# --- The local service ---------------------------------------------------------------------
rm -f "$demo/port" "$demo/control-port"
"$service_bin" --cert-dir "$demo/ca" --root "$demo/root" --port 0 --port-file "$demo/port" \
    --control-port 0 --control-port-file "$demo/control-port" >"$demo/service.log" 2>&1 &
service_pid=$!
launcher_pid=""
cleanup() {
    if [ -n "$launcher_pid" ] && kill -0 "$launcher_pid" 2>/dev/null; then
        kill -TERM "$launcher_pid" 2>/dev/null || true
        wait "$launcher_pid" 2>/dev/null || true
    fi
    kill -TERM "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do
    [ -s "$demo/port" ] && break
    kill -0 "$service_pid" 2>/dev/null || { cat "$demo/service.log" >&2; exit 1; }
    sleep 0.1
done
[ -s "$demo/port" ] || { echo "demo: the local service did not start" >&2; exit 1; }
host="127.0.0.1:$(cat "$demo/port")"
say "Local service on https://$host (join page https://$host/join)"

# The service's agent check says the agent must be renewed, from the demo image: a join then
# downloads, installs and starts it. (The control port speaks plain HTTP on 127.0.0.1.)
control() {
    local path=$1 body=$2
    exec 3<>"/dev/tcp/127.0.0.1/$(cat "$demo/control-port")"
    printf 'POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s' \
        "$path" "${#body}" "$body" >&3
    local status
    read -r _ status _ <&3 || true
    cat <&3 >/dev/null || true
    exec 3<&-
    [ "$status" = 200 ] || { echo "demo: the local service refused $path ($status)" >&2; exit 1; }
}
agent_answer='{\"representation\":{\"AGENT\":{\"update_needed\":true,\"download_url\":\"https://'"$host"'/agent/KeloMac.dmg\",\"fallback_url\":\"\"}}}'
control /control/answer '{"path":"/api/v2/agent/check_update","status":200,"contentType":"application/json","body":"'"$agent_answer"'"}'

# --- The launcher --------------------------------------------------------------------------
token="demo-token"
if [ -n "$headless" ]; then
    # Without a display nobody can type: the service tells its join page who joins, once.
    autojoin='{\"key\":\"'"$session_key"'\",\"email\":\"'"$email"'\",\"name\":\"Demo Customer\"}'
    control /control/answer '{"path":"/join/autojoin.json","status":200,"times":1,"body":"'"$autojoin"'"}'
fi
say "Starting Kelo Helvo Pellix (demo home: $home)"
env HOME="$home" XDG_RUNTIME_DIR="$demo/run" XDG_CACHE_HOME="$home/.cache" \
    XDG_DATA_HOME="$home/.local/share" \
    KELO_PELLIX_HOSTS="localkelo=$host" KELO_PELLIX_CA_FILE="$demo/ca/ca.pem" \
    "$launcher" -DC localkelo -PellixToken "$token" -pathForPellix join \
    >"$demo/launcher.stdout" 2>"$demo/launcher.stderr" &
launcher_pid=$!

report="$home/demo-agent-report.txt"
log="$home/Library/Logs/KeloHelvo/KeloPellix/keloPellix.log"

summary() {
    say "What the launcher did"
    if [ -f "$report" ]; then cat "$report"; else echo "The agent has not been started."; fi
    local details="$home/Library/Application Support/KeloParloNative/kelojoindetails.conf"
    echo
    echo "Files written in the demo home:"
    (cd "$home" && find Library Applications -type f 2>/dev/null | sort | sed 's/^/    /') || true
    if [ -f "$details" ]; then
        echo
        echo "kelojoindetails.conf:"
        sed 's/^/    /' "$details"
        echo
    fi
    echo
    echo "From the log ($log):"
    grep -E "Kelo Pellix App Started|HandOverStatus|Arguments Readed|Details Shared for Joining|check_update|Kelo Joindetails Content|Download finished|Download failed|Image refused|Resuming|file copied|Launch" \
        "$log" 2>/dev/null | cut -c1-220 | sed 's/^/    /' || true
}

if [ -n "$headless" ]; then
    say "Joining session $session_key as $email (automatically, no display)"
    for _ in $(seq 900); do
        [ -f "$report" ] && break
        kill -0 "$launcher_pid" 2>/dev/null || break
        sleep 0.1
    done
    # The window says so once the agent runs (or why it does not).
    for _ in $(seq 100); do
        grep -qiE "HandOverStatus : (The support application is running|.*(try again|join again|technician))" \
            "$log" 2>/dev/null && break
        kill -0 "$launcher_pid" 2>/dev/null || break
        sleep 0.1
    done
    # Time for the web view to draw the page again under the status line that just changed.
    sleep 3
    shot="$build/demo-screenshot.png"
    screenshot_tool="$demo/screenshot"
    if [ ! -x "$screenshot_tool" ]; then
        cc -O2 -x c - -o "$screenshot_tool" $(pkg-config --cflags --libs x11 gdk-pixbuf-2.0) <<'SHOT'
/* Saves the largest window on the X display as a PNG (the launcher's, on the demo's display). */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    Display* display = XOpenDisplay(NULL);
    if (!display) return 1;
    Window root = DefaultRootWindow(display), parent, *children = NULL, best = root;
    unsigned int count = 0;
    long bestArea = 0;
    XWindowAttributes attributes;
    if (XQueryTree(display, root, &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count; i++) {
            if (!XGetWindowAttributes(display, children[i], &attributes)) continue;
            if (attributes.map_state != IsViewable) continue;
            long area = (long)attributes.width * attributes.height;
            if (area > bestArea) bestArea = area, best = children[i];
        }
        XFree(children);
    }
    XGetWindowAttributes(display, best, &attributes);
    XImage* image = XGetImage(display, best, 0, 0, attributes.width, attributes.height, AllPlanes,
                              ZPixmap);
    if (!image) return 1;
    guchar* pixels = malloc((size_t)attributes.width * attributes.height * 3);
    for (int y = 0; y < attributes.height; y++) {
        for (int x = 0; x < attributes.width; x++) {
            unsigned long pixel = XGetPixel(image, x, y);
            guchar* out = pixels + ((size_t)y * attributes.width + x) * 3;
            out[0] = (pixel & image->red_mask) >> 16;
            out[1] = (pixel & image->green_mask) >> 8;
            out[2] = pixel & image->blue_mask;
        }
    }
    GdkPixbuf* picture = gdk_pixbuf_new_from_data(pixels, GDK_COLORSPACE_RGB, FALSE, 8,
                                                  attributes.width, attributes.height,
                                                  attributes.width * 3, NULL, NULL);
    return gdk_pixbuf_save(picture, argv[1], "png", NULL, NULL) ? 0 : 1;
}
SHOT
    fi
    if "$screenshot_tool" "$shot"; then
        say "Screenshot of the window: $shot"
    else
        echo "demo: no screenshot could be taken" >&2
    fi
    summary
    [ -f "$report" ] || exit 1
else
    say "The window shows the join page. Enter the session key $session_key, any name and e-mail,"
    echo "    and choose Join: the demo agent is downloaded, installed and started."
    echo "    Close the window (or press Ctrl+Q) to end the demo."
    shown=""
    while kill -0 "$launcher_pid" 2>/dev/null; do
        if [ -z "$shown" ] && [ -f "$report" ]; then
            say "The demo agent reports:"
            cat "$report"
            shown=yes
        fi
        sleep 0.5
    done
    launcher_pid=""
    summary
fi
