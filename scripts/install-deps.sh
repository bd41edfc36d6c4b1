#!/usr/bin/env bash
# Installs the Debian packages Tavrix needs, once. Safe to run again: it installs only what
# is missing. Usage: scripts/install-deps.sh [build|test|bench]
set -euo pipefail

# qt6-httpserver-dev does not pull in the WebSockets development files its CMake package needs.
build_pkgs=(g++ cmake make pkgconf libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev libgl-dev
            qt6-httpserver-dev qt6-websockets-dev libssl-dev libsqlite3-dev libhiredis-dev
            clang-format)
# The package test needs dpkg-dev (dpkg-shlibdeps) and file, which CPack uses to find binaries,
# and python3-seccomp to run the program confined as its unit says; the fail2ban cases need
# fail2ban (fail2ban-regex), sipvicious (svcrack) and iproute2 (a network namespace's loopback);
# the NAT cases need nftables (the router's masquerade rule).
# The console and browser-phone tests drive Debian's Chromium with playwright-core (and JsSIP),
# which they install with npm; the TLS cases make a test CA with openssl.
test_pkgs=(sip-tester baresip-core linphone-cli apache2-utils clang libclang-rt-14-dev procps
           redis-server python3-prometheus-client systemd dpkg-dev file python3-seccomp
           fail2ban sipvicious iproute2 nftables chromium openssl)
bench_pkgs=(kamailio xvfb xauth valgrind)

case "${1:-build}" in
    build) wanted=("${build_pkgs[@]}") ;;
    test) wanted=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
    bench) wanted=("${build_pkgs[@]}" "${test_pkgs[@]}" "${bench_pkgs[@]}") ;;
    *) echo "usage: $0 [build|test|bench]" >&2; exit 2 ;;
esac

# Node.js and npm only where there are none: a newer Node.js from elsewhere stays.
if [[ ${1:-build} != build ]] && ! command -v npm >/dev/null 2>&1; then
    wanted+=(nodejs npm)
fi

missing=()
for pkg in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Run this script as root, or install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
