#!/usr/bin/env bash
# The demo: an update end to end on this machine, with the real programs.
#
#   1. installs the Debian packages it needs and builds the updater and the makers' tools;
#   2. publishes two client versions (3011 and 3012) with `kv3-publish release` and the demo key;
#   3. serves them from a private nginx on 127.0.0.1 (a free port);
#   4. starts the reference version and banner service `kv3-update-service` on 127.0.0.1
#      (the compiled-in ports 17384 and 2009, which must be free);
#   5. sets up an installation of version 3011 and runs its updater unattended, with no version
#      on the command line: it asks the service, which names 3012 (the window is shown when $DISPLAY
#      works, offscreen otherwise);
#   6. prints what changed in the installation and the mirror audit.
#
# Everything it makes lives in one folder, demo-work/ in the checkout (KV3_DEMO_DIR chooses another),
# which is emptied at the start; the updater's temporary files go there too (TMPDIR). Every process
# it starts is stopped when it ends, also when interrupted. KV3_BUILD_DIR chooses the build folder
# (default build/). Exit code 0 when the update went through and every mirror is complete.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KV3_BUILD_DIR:-$root/build}
work=${KV3_DEMO_DIR:-$root/demo-work}
type=client_linux_x86
started=$SECONDS

say() { printf '\n== %s\n' "$*"; }
fail() { printf '\ndemo: %s\n' "$*" >&2; exit 1; }

pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        if kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid" 2>/dev/null || true
        fi
    done
    for pid in "${pids[@]}"; do
        # Gives each process a few seconds to end, then forces it.
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.3
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    pids=()
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted" >&2; exit 130' INT TERM HUP

rm -rf "$work"
mkdir -p "$work"/{tmp,logs}

say "Installing what is needed (Debian packages)"
"$root/scripts/install-deps.sh"

say "Building the updater, kv3-publish and kv3-update-service in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$work/logs/cmake.log" 2>&1 \
    || { cat "$work/logs/cmake.log"; fail "cmake failed"; }
cmake --build "$build" -j"$(nproc)" --target update kv3-publish kv3-update-service
publish="$build/tools/publish/kv3-publish"
service="$build/tools/service/kv3-update-service"
updater="$build/src/app/update"
for exe in "$publish" "$service" "$updater"; do
    [ -x "$exe" ] || fail "the build did not produce $exe"
done

export TMPDIR="$work/tmp"

say "Two client versions, published with kv3-publish release and the demo key"
make_client() { # folder version greeting
    local dir=$1 version=$2 greeting=$3
    mkdir -p "$dir/bin" "$dir/lib" "$dir/data"
    printf '#!/bin/sh\n# Starts the Kelvaro 3 client (the demo only leaves a note).\necho "Kelvaro 3 client %s started $(date +%%T)" >> "%s/client-started.txt"\n' \
        "$version" "$work" >"$dir/kv3client_runscript.sh"
    chmod 755 "$dir/kv3client_runscript.sh"
    printf 'Kelvaro 3 client, version %s\n%s\n' "$version" "$greeting" >"$dir/bin/kv3client"
    head -c 400000 /dev/zero | tr '\0' "${version: -1}" >"$dir/lib/libkv3core.so"
    printf 'sounds shared by every version\n' >"$dir/data/sounds.dat"
}
make_client "$work/client-3011" 3011 "Hello from the old version."
printf 'only the old version has this\n' >"$work/client-3011/data/legacy.txt"
make_client "$work/client-3012" 3012 "Hello from the new version!"
printf 'new in 3012\n' >"$work/client-3012/data/whatsnew.txt"
printf 'Kelvaro 3.0.12 (demo)\n- a new greeting\n- whatsnew.txt\n- legacy.txt removed\n' >"$work/changes-3012.txt"

key="$root/keys/demo/private.der"
"$publish" release --key "$key" --type "$type" --version 3011 --out "$work/mirror" \
    --pack '*.so' "$work/client-3011"
"$publish" release --key "$key" --type "$type" --version 3012 --out "$work/mirror" \
    --pack '*.so' --previous "$work/mirror/3011" --changelog "$work/changes-3012.txt" "$work/client-3012"
# The banner the service names: drawn with ImageMagick (installed above), shown by the window.
if command -v convert >/dev/null; then
    convert -size 468x60 gradient:'#203060'-'#4080c0' -fill white -pointsize 22 -gravity center \
        -annotate +0+0 'Kelvaro 3.0.12 - demo banner' "$work/mirror/banner.png" 2>/dev/null || true
fi

say "Serving $work/mirror with a private nginx on 127.0.0.1"
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
nginx_prefix="$work/nginx"
mkdir -p "$nginx_prefix"/{logs,body,proxy,fastcgi,uwsgi,scgi}
port=""
for _ in 1 2 3 4 5 6 7 8 9 10; do
    candidate=$((20000 + RANDOM % 40000))
    cat >"$nginx_prefix/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $nginx_prefix/nginx.pid;
error_log $nginx_prefix/logs/error.log warn;
events { worker_connections 256; }
http {
    default_type application/octet-stream;
    access_log $nginx_prefix/logs/access.log;
    client_body_temp_path $nginx_prefix/body;
    proxy_temp_path $nginx_prefix/proxy;
    fastcgi_temp_path $nginx_prefix/fastcgi;
    uwsgi_temp_path $nginx_prefix/uwsgi;
    scgi_temp_path $nginx_prefix/scgi;
    server {
        listen 127.0.0.1:$candidate;
        root "$work/mirror";
    }
}
EOF
    "$nginx_bin" -p "$nginx_prefix/" -c "$nginx_prefix/nginx.conf" -e "$nginx_prefix/logs/error.log" \
        >"$work/logs/nginx.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do
        if curl -fsS -o /dev/null "http://127.0.0.1:$candidate/3012/$type.ini" 2>/dev/null; then
            port=$candidate
            break 2
        fi
        kill -0 "${pids[-1]}" 2>/dev/null || break
        sleep 0.1
    done
    kill "${pids[-1]}" 2>/dev/null || true
    wait "${pids[-1]}" 2>/dev/null || true
    unset 'pids[-1]'
done
[ -n "$port" ] || fail "nginx did not come up: $(cat "$nginx_prefix/logs/error.log" 2>/dev/null)"
mirror_url="http://127.0.0.1:$port"
echo "mirror: $mirror_url"

say "Starting kv3-update-service on 127.0.0.1 (UDP 17384 and 2009)"
banner=""
[ -f "$work/mirror/banner.png" ] && banner="[banner]
picture = $mirror_url/banner.png
click = https://kelvaro.example/"
cat >"$work/service.ini" <<EOF
[news]
text = "Kelvaro 3.0.12 is out: a new greeting and whatsnew.txt. This is the demo's news line."
$banner
[Kelvaro3]
request = 3
stable = 3012
stable_name = 3.0.12 (demo)
EOF
"$service" --config "$work/service.ini" --bind 127.0.0.1 2>"$work/logs/service.log" &
pids+=($!)
for _ in $(seq 50); do
    grep -q "listening:" "$work/logs/service.log" 2>/dev/null && break
    kill -0 "${pids[-1]}" 2>/dev/null || fail "kv3-update-service did not start: $(cat "$work/logs/service.log")"
    sleep 0.1
done
grep -q "listening:" "$work/logs/service.log" || fail "kv3-update-service did not start"
sed 's/^/  | /' "$work/logs/service.log"

say "An installation of version 3011 in $work/install"
install="$work/install"
cp -a "$work/client-3011" "$install"
cp "$updater" "$install/update"
cat >"$install/mirrors.ini" <<EOF
[mirrors]
size=1
1\\mirror=demo
[demo]
url=$mirror_url
EOF
snapshot() { (cd "$install" && find . -type f ! -name update ! -name update.ini ! -name mirrors.ini \
    -printf '%P\n' | LC_ALL=C sort | while read -r f; do printf '%s %s %s\n' "$f" "$(stat -c %s "$f")" "$(md5sum <"$f" | cut -c1-32)"; done); }
snapshot >"$work/before.txt"
sed 's/^/  /; s/ [0-9a-f]\{32\}$//' "$work/before.txt"

display=offscreen
if [ -n "${DISPLAY:-}" ]; then
    if command -v xset >/dev/null; then
        xset q >/dev/null 2>&1 && display=xcb
    elif command -v xdpyinfo >/dev/null; then
        xdpyinfo >/dev/null 2>&1 && display=xcb
    else
        display=xcb
    fi
fi
say "Running the updater unattended: update --nouser (window: $display)"
echo "It asks kv3-update-service for the newest Stable version, fetches the signed product ini from"
echo "nginx, downloads what changed, replaces it under its rollback journal and starts the client."
run_updater() { # platform
    # In the background, so that the trap can stop it too; its log is shown as it grows.
    # Made here, so that the display below finds it at once. A run that hangs (say, in a
    # message box nobody sees) ends after five minutes.
    : >"$work/logs/update.log"
    (cd "$install" && QT_QPA_PLATFORM=$1 exec timeout --kill-after=5 300 ./update --nouser) \
        >"$work/logs/update.log" 2>&1 &
    local pid=$!
    pids+=("$pid")
    # The toolkit's own notes about the offscreen platform are left out of the display. The
    # display runs in the background too: the shell's wait returns at once when a signal comes,
    # so the trap can stop the updater.
    tail -n +1 -f --pid="$pid" "$work/logs/update.log" | grep --line-buffered -v \
        -e '^QStandardPaths: XDG_RUNTIME_DIR' -e 'does not support propagateSizeHints' | sed -u 's/^/  | /' &
    local display_pid=$!
    set +e
    wait "$pid"
    status=$?
    wait "$display_pid"
    set -e
}
run_updater "$display"
if [ "$status" -ne 0 ] && [ "$display" = xcb ] && grep -qi "could not connect to display\|platform plugin" "$work/logs/update.log"; then
    echo "(no usable display: running offscreen)"
    run_updater offscreen
fi
[ "$status" -eq 0 ] || fail "the updater ended with exit code $status (log: $work/logs/update.log)"

say "What changed in the installation"
snapshot >"$work/after.txt"
LC_ALL=C join -a1 -a2 -e '-' -o 0,1.2,1.3,2.2,2.3 "$work/before.txt" "$work/after.txt" |
    while read -r path old_size old_md5 new_size new_md5; do
        if [ "$old_md5" = - ]; then
            printf '  added     %-28s %8s bytes\n' "$path" "$new_size"
        elif [ "$new_md5" = - ]; then
            printf '  removed   %-28s\n' "$path"
        elif [ "$old_md5" != "$new_md5" ]; then
            printf '  changed   %-28s %8s -> %s bytes\n' "$path" "$old_size" "$new_size"
        else
            printf '  unchanged %-28s\n' "$path"
        fi
    done
printf '  bin/kv3client now says: %s\n' "$(tail -n1 "$install/bin/kv3client")"
leftovers=$(cd "$install" && find . -name '_old_*' | wc -l)
temps=$(find "$work/tmp" -maxdepth 1 -name 'kelvaro_temp_*' | wc -l)
echo "  left behind: $leftovers _old_ copies, $temps temporary folders"
for _ in $(seq 30); do
    [ -f "$work/client-started.txt" ] && break
    sleep 0.1
done
[ -f "$work/client-started.txt" ] && echo "  the updater then started the client: $(cat "$work/client-started.txt")"
echo "  requests nginx served: $(wc -l <"$nginx_prefix/logs/access.log")"

say "What kv3-update-service answered"
sed -n '2,$p' "$work/logs/service.log" | sed 's/^/  | /'

say "kv3-publish audit of the mirror list"
set +e
"$publish" audit --mirrors "$install/mirrors.ini" --type "$type" 3012
audit=$?
set -e

say "Done in $((SECONDS - started)) s. Everything is in $work"
[ "$audit" -eq 0 ] || fail "the audit found an incomplete mirror"
exit 0
