# shellcheck shell=bash
# The test network the end-to-end test and the demo share; sourced, not run.
#
# A network namespace of its own with only loopback, in which the player's fixed names
# resolve through /etc/netns/NAME/hosts (put in place of /etc/hosts by `ip netns exec`):
#   tamselradio.com         127.0.0.2  nginx, port 80, serving /app/version
#   stream.tamselradio.com  127.0.0.3  Icecast 2, port 80, a 440 Hz tone on the station's mount
# plus, on request, a private PulseAudio with a null sink, an Xvfb display, and a stand-in
# browser registered as the default one, which records every URL it is asked to open.
#
# Every server is started inside the namespace under `timeout`, so it ends by itself even if
# this shell is killed outright; testnet_stop (installed as the EXIT trap by testnet_init)
# stops them, kills whatever is still running in the namespace, deletes the namespace and
# removes /etc/netns/NAME and the work directory.
#
# Needs root (ip netns), nginx, icecast2, gst-launch-1.0 (lamemp3enc, shout2send), curl,
# and for the options pulseaudio, pactl, Xvfb, xdg-utils.

readonly TESTNET_UPDATE_HOST=tamselradio.com TESTNET_UPDATE_ADDR=127.0.0.2
readonly TESTNET_STREAM_HOST=stream.tamselradio.com TESTNET_STREAM_ADDR=127.0.0.3
readonly TESTNET_STREAM_MOUNT=/tmslradio1/listen
readonly TESTNET_SINK=tamsel_e2e_sink

testnet_log() { printf '%s: %s\n' "${TESTNET_TAG:-testnet}" "$*" >&2; }
testnet_die() {
    testnet_log "$*"
    exit 1
}

testnet_pids=()
TESTNET_NAME=""
TESTNET_WORK=""
TESTNET_KEEP=0

# Runs a command inside the namespace.
tn_exec() { ip netns exec "$TESTNET_NAME" "$@"; }

# Starts a command inside the namespace in the background, bounded by the lifetime.
tn_start() { # log-file command...
    local out=$1
    shift
    ip netns exec "$TESTNET_NAME" timeout -k 5 "$TESTNET_LIFETIME" "$@" >"$out" 2>&1 &
    testnet_pids+=("$!")
}

# Creates the work directory and the namespace, and installs the clean-up.
testnet_init() { # lifetime-seconds
    TESTNET_LIFETIME=$1
    ((EUID == 0)) || testnet_die "run as root: the test network is a network namespace"
    local tool
    for tool in ip nginx icecast2 gst-launch-1.0 curl timeout getent; do
        command -v "$tool" >/dev/null || testnet_die "$tool is missing (scripts/debian-packages.txt)"
    done
    testnet_remove_stale
    # Unique per run, so parallel runs never share a namespace.
    TESTNET_NAME="tamsel-e2e-$$-$RANDOM"
    TESTNET_WORK=$(mktemp -d "${TMPDIR:-/tmp}/tamsel-e2e-XXXXXX")
    # Icecast drops to nobody and must still reach its files.
    chmod 755 "$TESTNET_WORK"
    trap testnet_stop EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM

    mkdir -p "/etc/netns/$TESTNET_NAME"
    printf '127.0.0.1 localhost\n%s %s\n%s %s\n' "$TESTNET_UPDATE_ADDR" "$TESTNET_UPDATE_HOST" \
        "$TESTNET_STREAM_ADDR" "$TESTNET_STREAM_HOST" >"/etc/netns/$TESTNET_NAME/hosts"
    # No name server: whatever is not in the hosts file fails at once, and stays inside.
    printf '# no name server inside the test network\n' >"/etc/netns/$TESTNET_NAME/resolv.conf"
    ip netns add "$TESTNET_NAME" || testnet_die "cannot create network namespace $TESTNET_NAME"
    tn_exec ip link set lo up
    tn_exec ip addr add "$TESTNET_UPDATE_ADDR/8" dev lo
    tn_exec ip addr add "$TESTNET_STREAM_ADDR/8" dev lo

    # Only loopback may exist in there.
    local links
    links=$(tn_exec ip -o link show | awk -F': ' '{ print $2 }' | tr '\n' ' ')
    [[ $links == "lo " ]] || testnet_die "the namespace has more than loopback: $links"
    local got
    got=$(tn_exec getent hosts "$TESTNET_UPDATE_HOST" | awk '{ print $1 }')
    [[ $got == "$TESTNET_UPDATE_ADDR" ]] || testnet_die "$TESTNET_UPDATE_HOST resolves to '$got'"
    got=$(tn_exec getent hosts "$TESTNET_STREAM_HOST" | awk '{ print $1 }')
    [[ $got == "$TESTNET_STREAM_ADDR" ]] || testnet_die "$TESTNET_STREAM_HOST resolves to '$got'"
}

# Namespaces of earlier runs whose shell was killed outright (no trap ran): their servers
# have ended by their lifetime, the namespace and its hosts file are left to remove.
testnet_remove_stale() {
    local name pid
    for name in $(ip netns list 2>/dev/null | awk '{ print $1 }'); do
        [[ $name =~ ^tamsel-e2e-([0-9]+)-[0-9]+$ ]] || continue
        pid=${BASH_REMATCH[1]}
        if ! kill -0 "$pid" 2>/dev/null; then
            ip netns delete "$name" 2>/dev/null || true
            rm -rf "/etc/netns/$name"
        fi
    done
}

testnet_stop() {
    local status=$?
    trap - EXIT INT TERM
    local pid
    for pid in "${testnet_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${testnet_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    testnet_pids=()
    if [[ -n $TESTNET_NAME ]]; then
        # Anything still alive in the namespace (a player, a browser stand-in) goes too.
        local left
        left=$(ip netns pids "$TESTNET_NAME" 2>/dev/null || true)
        if [[ -n $left ]]; then
            # shellcheck disable=SC2086
            kill -KILL $left 2>/dev/null || true
        fi
        ip netns delete "$TESTNET_NAME" 2>/dev/null || true
        rm -rf "/etc/netns/$TESTNET_NAME"
    fi
    if [[ -n $TESTNET_WORK && -d $TESTNET_WORK ]]; then
        if ((TESTNET_KEEP)); then
            testnet_log "work directory kept: $TESTNET_WORK"
        else
            rm -rf "$TESTNET_WORK"
        fi
    fi
    exit "$status"
}

testnet_wait() { # seconds what-for command... (the second word only labels the call)
    local deadline=$((SECONDS + $1))
    shift 2
    until "$@" >/dev/null 2>&1; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

# What nginx answers at /app/version; may be changed while it runs.
testnet_offer_version() { # text (written with a line end, as a release server keeps it)
    printf '%s\n' "$1" >"$TESTNET_WORK/www/app/version"
}

testnet_start_nginx() {
    local n="$TESTNET_WORK/nginx"
    mkdir -p "$n/tmp" "$TESTNET_WORK/www/app"
    [[ -f $TESTNET_WORK/www/app/version ]] || testnet_offer_version "1.1.9"
    cat >"$n/nginx.conf" <<EOF
daemon off;
master_process off;
pid $n/nginx.pid;
error_log $n/error.log warn;
events { worker_connections 64; }
http {
  access_log $n/access.log;
  client_body_temp_path $n/tmp/body;
  proxy_temp_path $n/tmp/proxy;
  fastcgi_temp_path $n/tmp/fastcgi;
  uwsgi_temp_path $n/tmp/uwsgi;
  scgi_temp_path $n/tmp/scgi;
  server {
    listen $TESTNET_UPDATE_ADDR:80;
    server_name $TESTNET_UPDATE_HOST;
    root $TESTNET_WORK/www;
    location = /app/version { default_type text/plain; }
  }
}
EOF
    tn_start "$n/output.log" nginx -p "$n/" -c "$n/nginx.conf" -e "$n/error.log"
    testnet_wait 15 nginx tn_exec curl -sf --max-time 2 "http://$TESTNET_UPDATE_HOST/app/version" ||
        testnet_die "nginx did not answer: $(tail -5 "$n/error.log" 2>/dev/null)"
}

# Requests for /app/version nginx has answered so far.
testnet_version_requests() {
    grep -c 'GET /app/version ' "$TESTNET_WORK/nginx/access.log" 2>/dev/null || true
}

testnet_start_icecast() {
    local dir="$TESTNET_WORK/icecast" password="e2e-source-$RANDOM"
    mkdir -p "$dir"
    chmod 755 "$dir"
    cat >"$dir/icecast.xml" <<EOF
<icecast>
  <location>loopback</location><admin>e2e@localhost</admin>
  <limits><clients>8</clients><sources>2</sources><queue-size>524288</queue-size>
    <client-timeout>10</client-timeout><header-timeout>5</header-timeout>
    <source-timeout>5</source-timeout><burst-on-connect>1</burst-on-connect>
    <burst-size>65536</burst-size></limits>
  <authentication><source-password>$password</source-password>
    <admin-user>admin</admin-user><admin-password>e2e-admin-$RANDOM</admin-password></authentication>
  <hostname>$TESTNET_STREAM_HOST</hostname>
  <listen-socket><port>80</port><bind-address>$TESTNET_STREAM_ADDR</bind-address></listen-socket>
  <fileserve>1</fileserve>
  <paths><basedir>$dir</basedir><logdir>$dir</logdir>
    <webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot></paths>
  <logging><accesslog>-</accesslog><errorlog>-</errorlog><loglevel>3</loglevel></logging>
  <security><chroot>0</chroot><changeowner><user>nobody</user><group>nogroup</group></changeowner></security>
</icecast>
EOF
    tn_start "$dir/icecast.log" icecast2 -c "$dir/icecast.xml"
    testnet_wait 20 icecast tn_exec curl -s --max-time 2 -o /dev/null \
        "http://$TESTNET_STREAM_ADDR/status-json.xsl" ||
        testnet_die "Icecast did not start: $(tail -5 "$dir/icecast.log")"
    # The station: a 440 Hz sine as 128 kbit/s MP3, as a listener meets it.
    tn_start "$dir/source.log" gst-launch-1.0 -q audiotestsrc is-live=true wave=sine freq=440 \
        volume=0.5 ! audio/x-raw,rate=44100,channels=2 ! audioconvert ! \
        lamemp3enc target=bitrate bitrate=128 ! mpegaudioparse ! \
        shout2send "ip=$TESTNET_STREAM_ADDR" port=80 "password=$password" \
        "mount=$TESTNET_STREAM_MOUNT" sync=true
    local deadline=$((SECONDS + 30))
    until tn_exec curl -s --max-time 2 "http://$TESTNET_STREAM_HOST/status-json.xsl" |
        grep -q "$TESTNET_STREAM_MOUNT"; do
        ((SECONDS < deadline)) || testnet_die "the station did not start: $(tail -5 "$dir/source.log")"
        sleep 0.2
    done
}

# A private sound server whose only output is a null sink; its monitor is what was played.
testnet_start_pulseaudio() {
    local dir="$TESTNET_WORK/pulse"
    mkdir -p "$dir"
    export PULSE_SERVER="unix:$dir/native" PULSE_RUNTIME_PATH="$dir/runtime"
    export PULSE_STATE_PATH="$dir/state" PULSE_COOKIE="$dir/cookie"
    tn_start "$dir/pulseaudio.log" pulseaudio --daemonize=no -n --exit-idle-time=-1 \
        --disallow-exit --disallow-module-loading --use-pid-file=no --system=no --disable-shm=yes \
        --realtime=no --high-priority=no --log-target=stderr \
        "--load=module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
        "--load=module-null-sink sink_name=$TESTNET_SINK rate=44100 channels=2 format=s16le" \
        "--load=module-always-sink"
    testnet_wait 20 pulseaudio tn_exec pactl info ||
        testnet_die "PulseAudio did not start: $(tail -5 "$dir/pulseaudio.log")"
    tn_exec pactl set-default-sink "$TESTNET_SINK"
}

# A display of its own; sets DISPLAY.
testnet_start_xvfb() {
    local number=$((100 + RANDOM % 800))
    while [[ -e /tmp/.X11-unix/X$number || -e /tmp/.X$number-lock ]]; do
        number=$((number + 1))
    done
    export DISPLAY=":$number"
    tn_start "$TESTNET_WORK/xvfb.log" Xvfb "$DISPLAY" -nolisten tcp -screen 0 800x600x24 -dpi 96
    testnet_wait 20 xvfb tn_exec xdotool getmouselocation ||
        testnet_die "Xvfb did not start: $(tail -5 "$TESTNET_WORK/xvfb.log")"
}

# A private home whose default browser is a script that appends each URL to
# $TESTNET_WORK/browser.log (and, with "announce", also says so on its standard error); sets
# HOME and the XDG directories.
testnet_register_browser() { # quiet | announce
    local announce=":"
    if [[ ${1:-} == announce ]]; then
        announce="printf '%s\\n' \"demo: the player asked to open \$url (the demo has no internet, so nothing opens)\" >&2"
    fi
    local home="$TESTNET_WORK/home"
    mkdir -p "$home/.config" "$home/.local/share/applications" "$TESTNET_WORK/runtime"
    chmod 700 "$TESTNET_WORK/runtime"
    export HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share"
    export XDG_CACHE_HOME="$home/.cache" XDG_RUNTIME_DIR="$TESTNET_WORK/runtime"
    # Nothing may reach a desktop outside: no session bus, no desktop of the caller's.
    unset DBUS_SESSION_BUS_ADDRESS XDG_CURRENT_DESKTOP DESKTOP_SESSION GNOME_DESKTOP_SESSION_ID
    unset KDE_FULL_SESSION BROWSER DEFAULT_BROWSER
    local browser="$TESTNET_WORK/browser"
    : >"$TESTNET_WORK/browser.log"
    cat >"$browser" <<EOF
#!/bin/sh
# Stand-in browser: records what it was asked to open, one URL a line.
for url in "\$@"; do printf '%s\n' "\$url" >>"$TESTNET_WORK/browser.log"; $announce; done
EOF
    chmod 755 "$browser"
    cat >"$XDG_DATA_HOME/applications/tamsel-e2e-browser.desktop" <<EOF
[Desktop Entry]
Type=Application
Name=Recording browser
Exec=$browser %u
MimeType=x-scheme-handler/http;x-scheme-handler/https;text/html;
NoDisplay=true
EOF
    local scheme
    for scheme in x-scheme-handler/http x-scheme-handler/https text/html; do
        xdg-mime default tamsel-e2e-browser.desktop "$scheme"
    done
    [[ $(xdg-mime query default x-scheme-handler/https) == tamsel-e2e-browser.desktop ]] ||
        testnet_die "the stand-in browser did not become the default one"
}

# A private session bus with the accessibility bus switched on, as a screen reader would
# have it, so the player's windows can be read back through the accessibility tree; sets
# DBUS_SESSION_BUS_ADDRESS. The accessibility bus itself is started by the session bus on
# first use and ends with the namespace.
testnet_start_session_bus() {
    local bus="$TESTNET_WORK/session-bus"
    tn_start "$TESTNET_WORK/session-bus.log" dbus-daemon --session --nofork --nopidfile \
        "--address=unix:path=$bus"
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$bus"
    testnet_wait 10 session-bus tn_exec gdbus call --session --dest org.freedesktop.DBus \
        --object-path /org/freedesktop/DBus --method org.freedesktop.DBus.GetId ||
        testnet_die "the session bus did not start: $(tail -5 "$TESTNET_WORK/session-bus.log")"
    tn_exec gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus \
        --method org.freedesktop.DBus.Properties.Set org.a11y.Status IsEnabled '<true>' >/dev/null ||
        testnet_die "the accessibility bus could not be switched on"
}
