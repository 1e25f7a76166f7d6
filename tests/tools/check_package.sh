#!/bin/sh
# Builds the kv3-tools Debian package from the build tree with cpack, lists its files with
# dpkg-deb --contents, and has systemd-analyze verify the service unit it ships.
# Usage: check_package.sh BUILD_DIR. Exit 0 passed, 1 failed, 77 skipped (a tool is missing).
set -eu
build=$1
for tool in cpack dpkg-deb; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
set -- "$work"/out/kv3-tools_*.deb
[ -f "$1" ] || fail "no kv3-tools_*.deb in $(ls "$work/out")"
deb=$1
echo "package: $(basename "$deb")"

dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's#^\./#/#' >"$work/files"
cat "$work/files"
for file in /usr/bin/kv3-publish /usr/bin/kv3-update-service \
    /usr/lib/systemd/system/kv3-update-service.service /etc/kv3-update-service/service.ini \
    /usr/share/man/man1/kv3-publish.1.gz /usr/share/man/man1/kv3-update-service.1.gz; do
    grep -qx "$file" "$work/files" || fail "$file is not in the package"
done
# Neither the updater nor tests or benchmarks belong in the makers' package.
if grep -E '/update$|/tst_|/bench_|/lib[^/]*\.a$' "$work/files"; then
    fail "the package holds files it must not (above)"
fi

[ "$(dpkg-deb --field "$deb" Package)" = "kv3-tools" ] || fail "the package is not named kv3-tools"
dpkg-deb --ctrl-tarfile "$deb" | tar -x -O ./conffiles >"$work/conffiles" || fail "no conffiles"
grep -qx /etc/kv3-update-service/service.ini "$work/conffiles" || fail "the configuration is not a conffile"

# The packaged programs run, and the example configuration passes the service's own check.
dpkg-deb --extract "$deb" "$work/root"
"$work/root/usr/bin/kv3-update-service" --config "$work/root/etc/kv3-update-service/service.ini" --check \
    || fail "the example configuration does not pass kv3-update-service --check"
"$work/root/usr/bin/kv3-publish" --help | grep -q rehearse || fail "kv3-publish --help does not list rehearse"
zcat "$work/root/usr/share/man/man1/kv3-update-service.1.gz" | grep -q -- '--banner-port' \
    || fail "the service's man page lacks its options"

command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze is not installed"; exit 77; }
unit="$work/root/usr/lib/systemd/system/kv3-update-service.service"
grep -q '^ExecReload=/bin/kill -HUP \$MAINPID$' "$unit" || fail "the unit does not reload through SIGHUP"
grep -q '^DynamicUser=yes$' "$unit" || fail "the unit does not run as its own user"
# verify checks that ExecStart's program exists: look at it in the unpacked package.
sed "s#/usr/bin/kv3-update-service#$work/root/usr/bin/kv3-update-service#g" "$unit" >"$work/kv3-update-service.service"
if ! systemd-analyze verify --man=no "$work/kv3-update-service.service" >"$work/verify.log" 2>&1; then
    if grep -qiE 'Failed to (initialize|set up|connect)|Operation not permitted|No such file or directory.*(/run|/sys)' "$work/verify.log"; then
        cat "$work/verify.log"
        echo "SKIP: systemd-analyze cannot run here"
        exit 77
    fi
    cat "$work/verify.log"
    fail "systemd-analyze verify refuses the unit"
fi
# verify only warns (exit 0) about unknown keys and values it cannot parse: any word is a fault.
if [ -s "$work/verify.log" ]; then
    cat "$work/verify.log"
    fail "systemd-analyze verify has objections to the unit"
fi
echo "PASS: kv3-tools package and unit"
