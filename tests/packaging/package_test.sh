#!/usr/bin/env bash
# package_test.sh BUILD_DIR: the Debian package's dependencies, files, conffile and unit, no
# maintainer scripts; cmake --install into a scratch prefix, its unit passing systemd-analyze
# verify and security, its program running under the unit's confinement.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work" >"$work/log" 2>&1) || fail "cpack: $(cat "$work/log")"
deb=$work/tavrix_0.0.2_$(dpkg --print-architecture).deb
info=$(dpkg-deb --info "$deb")
grep -q '^ Depends: .*libqt6httpserver6 (>= ' <<<"$info" || fail "no shared-library Depends: $info"
if grep -Eq ' (pre|post)(inst|rm) ' <<<"$info"; then fail "maintainer scripts: $info"; fi
for file in usr/bin/tavrix usr/share/applications/tavrix.desktop etc/tavrix/tavrix.conf \
            usr/lib/systemd/system/tavrix.service; do
    dpkg-deb --contents "$deb" | grep " ./$file$" >/dev/null || fail "no /$file in the package"
done
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/tavrix/tavrix.conf ] ||
    fail conffiles
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/system/tavrix.service |
    grep -x 'ExecStart=/usr/bin/tavrix --headless --config /etc/tavrix/tavrix.conf --state /var/lib/tavrix/registrations.db' >/dev/null ||
    fail "the packaged unit's ExecStart"

cmake --install "$build" --prefix "$work/local" >/dev/null
unit=$work/local/lib/systemd/system/tavrix.service
grep -qx "ExecStart=$work/local/bin/tavrix --headless --config $work/local/etc/tavrix/tavrix.conf --state /var/lib/tavrix/registrations.db" \
    "$unit" || fail "installed unit: $(cat "$unit")"
command -v systemd-analyze >/dev/null || { echo "SKIP: no systemd-analyze (install systemd)"; exit 77; }
verify=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$verify" ] || fail "systemd-analyze: $verify"
# The unit's confinement: systemd's exposure figure (0 confined to 10 exposed) at most 2.0.
security=$(systemd-analyze security --offline=true "$unit" 2>&1) || fail "security: $security"
exposure=$(sed -n 's/^.*Overall exposure level for tavrix.service: \([0-9.]*\) .*$/\1/p' \
    <<<"$security")
[ -n "$exposure" ] || fail "no exposure level in: $security"
echo "exposure $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || fail "exposure $exposure above 2.0: $security"
# The installed program confined as the unit says: started by systemd where it is PID 1,
# else under the same settings emulated.
/usr/bin/python3 "$(dirname "$0")/confined_test.py" "$work/local/bin/tavrix" "$unit" ||
    fail "the program under the unit's confinement"
echo "PASS package"
