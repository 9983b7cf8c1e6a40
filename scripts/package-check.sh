#!/bin/bash
# The Debian package of the regular build, as CI checks it: made with
# cpack, installed with dpkg, its systemd units checked with
# systemd-analyze verify, its programs run from /usr, its man pages
# formatted without warnings, then purged, after which nothing of it may be
# left. No service is enabled or started. Runs on one machine are taken one
# at a time. Needs root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
if [ "$(id -u)" != 0 ]; then
  echo "the package check needs root (dpkg): skipped"
  exit 0
fi
fail() {
  echo "package check failed: $*" >&2
  exit 1
}
exec 9>/var/lock/solvarin-package-check.lock
flock -w 900 9 || fail "another package check holds the lock"
if dpkg-query -W -f='${Status}' solvarin 2>/dev/null | grep -q "installed"; then
  fail "a solvarin package is installed on this machine already; the check would remove it"
fi
# dpkg refuses to run while another dpkg or apt holds its lock: wait a while.
dpkg_run() {
  for _ in $(seq 60); do
    if out=$(dpkg "$@" 2>&1); then return 0; fi
    grep -q "lock" <<<"$out" || { echo "$out" >&2; return 1; }
    sleep 2
  done
  echo "$out" >&2
  return 1
}

cmake -S "$root" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" --target solvarind zornfhost solvarin-cli man_pages
rm -rf "$build/package"
(cd "$build" && cpack -G DEB -B "$build/package" >/dev/null)
deb=$(ls "$build"/package/solvarin_*.deb)
# What the package holds besides directories: all of it must go on purge.
mapfile -t held < <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|')

trap 'dpkg --purge solvarin >/dev/null 2>&1 || true' EXIT
dpkg_run -i "$deb" || fail "dpkg -i"
systemd-analyze verify /usr/lib/systemd/system/zornfhost.service /usr/lib/systemd/system/solvarind.service ||
  fail "systemd-analyze verify"
version=$(sed -n 's/^project(solvarin VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ "$(/usr/sbin/solvarind --version)" = "solvarind $version" ] || fail "solvarind --version from /usr"
[ "$(/usr/sbin/zornfhost --version)" = "zornfhost $version" ] || fail "zornfhost --version from /usr"
/usr/bin/solvarin-cli --help | grep -q "^usage: solvarin-cli " || fail "solvarin-cli --help from /usr"
[ "$(readlink -f /usr/sbin/solvarind)" = /usr/lib/solvarin/solvarind ] || fail "solvarind's installation directory"
for page in man8/solvarind.8 man8/zornfhost.8 man1/solvarin-cli.1; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "/usr/share/man/$page.gz" 2>&1 >/dev/null || true)
  [ -z "$warnings" ] || fail "man page $page: $warnings"
done
if [ -d /run/systemd/system ]; then
  for unit in zornfhost solvarind; do
    [ "$(systemctl is-enabled "$unit.service" 2>/dev/null || true)" = disabled ] || fail "$unit.service is enabled"
    systemctl is-active -q "$unit.service" && fail "$unit.service was started"
  done
fi

# What a daemon run leaves beside its executable goes with the purge too.
mkdir /usr/lib/solvarin/log
touch /usr/lib/solvarin/log/SrvLog.csv /usr/lib/solvarin/registry /usr/lib/solvarin/status.json
dpkg_run --purge solvarin || fail "dpkg --purge"
trap - EXIT
dpkg-query -W -f='${Status}' solvarin 2>/dev/null | grep -q . && fail "dpkg still knows the package"
for path in "${held[@]}" /usr/lib/solvarin; do
  [ -e "$path" ] || [ -L "$path" ] && fail "$path is left after the purge"
done
echo "package check: $(basename "$deb") built, verified, installed, run, purged"
