#!/bin/bash
# The Debian package of the regular build, as CI checks it: made with
# cpack, checked with lintian (an error fails), installed with dpkg, its
# systemd units checked with systemd-analyze verify, its programs run from
# /usr (hardened as Debian builds its own), its man pages formatted without
# warnings and naming every option each program's --help lists; installed
# again over itself (an upgrade in place keeps the units' enable state and
# starts nothing); then purged with both units enabled, after which nothing
# of it may be left, no enable link and no enable state either. No service
# is started. Runs on one machine are taken one at a time. Needs root.
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

# lintian: no error, and its warnings shown.
lintian --fail-on error --display-level '>=warning' "$deb" || fail "lintian found errors in $(basename "$deb")"

trap 'dpkg --purge solvarin >/dev/null 2>&1 || true' EXIT
dpkg_run -i "$deb" || fail "dpkg -i"
systemd-analyze verify /usr/lib/systemd/system/zornfhost.service /usr/lib/systemd/system/solvarind.service ||
  fail "systemd-analyze verify"
version=$(sed -n 's/^project(solvarin VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ "$(/usr/sbin/solvarind --version)" = "solvarind $version" ] || fail "solvarind --version from /usr"
[ "$(/usr/sbin/zornfhost --version)" = "zornfhost $version" ] || fail "zornfhost --version from /usr"
# Read whole before it is matched: grep -q ends at the first line, and a
# later write of the program would then die of SIGPIPE under pipefail.
cli_help=$(/usr/bin/solvarin-cli --help)
grep -q "^usage: solvarin-cli " <<<"$cli_help" || fail "solvarin-cli --help from /usr"
[ "$(readlink -f /usr/sbin/solvarind)" = /usr/lib/solvarin/solvarind ] || fail "solvarind's installation directory"
for page in man8/solvarind.8 man8/zornfhost.8 man1/solvarin-cli.1; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "/usr/share/man/$page.gz" 2>&1 >/dev/null || true)
  [ -z "$warnings" ] || fail "man page $page: $warnings"
done
# Every option a program's --help lists is in its man page.
for program in /usr/sbin/solvarind:man8/solvarind.8 /usr/sbin/zornfhost:man8/zornfhost.8 \
  /usr/bin/solvarin-cli:man1/solvarin-cli.1; do
  page=$(LC_ALL=C MANWIDTH=200 man -P cat -l "/usr/share/man/${program#*:}.gz" 2>/dev/null | sed 's/.\x08//g')
  for option in $("${program%%:*}" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    grep -q -F -- "$option" <<<"$page" || fail "${program#*:}: no $option, which ${program%%:*} --help lists"
  done
done
# The programs as Debian builds its own: position-independent, full RELRO
# (bind now), fortified.
for program in /usr/sbin/zornfhost /usr/lib/solvarin/solvarind /usr/bin/solvarin-cli; do
  # (Whole outputs first: grep -q would end a pipe early, which pipefail fails.)
  header=$(readelf -h -l -d "$program")
  grep -q "Type: *DYN" <<<"$header" || fail "$program is not a position-independent executable"
  grep -q GNU_RELRO <<<"$header" || fail "$program has no RELRO segment"
  grep -q "FLAGS.*NOW" <<<"$header" || fail "$program is not linked with bind now"
  grep -q "__[a-z_]*_chk@" <<<"$(nm -D "$program")" || fail "$program calls no fortified function"
done
units=(zornfhost.service solvarind.service)
for unit in "${units[@]}"; do
  [ "$(systemctl is-enabled "$unit" 2>/dev/null || true)" = disabled ] || fail "$unit is enabled by the installation"
  if systemctl is-active -q "$unit" 2>/dev/null; then fail "$unit was started by the installation"; fi
done
# zornfhost without an adapter pair (the installed default) refuses to run.
status=0
/usr/sbin/zornfhost --syslog >/dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "zornfhost without an adapter exited $status, not 2"
grep -q '^#ZORNFHOST_OPTS="--adapter ' /etc/default/zornfhost || fail "/etc/default/zornfhost shows no example line"

# An upgrade in place keeps the enable state and starts nothing.
systemctl enable "${units[@]}" >/dev/null 2>&1 || fail "systemctl enable"
dpkg_run -i "$deb" || fail "dpkg -i over the installed package"
for unit in "${units[@]}"; do
  [ "$(systemctl is-enabled "$unit" 2>/dev/null || true)" = enabled ] || fail "$unit lost its enable state in the upgrade"
  if systemctl is-active -q "$unit" 2>/dev/null; then fail "$unit was started by the upgrade"; fi
done

# What a daemon run leaves beside its executable goes with the purge too.
mkdir /usr/lib/solvarin/log
touch /usr/lib/solvarin/log/SrvLog.csv /usr/lib/solvarin/registry /usr/lib/solvarin/status.json
# The purge, with both units enabled.
dpkg_run --purge solvarin || fail "dpkg --purge"
trap - EXIT
dpkg-query -W -f='${Status}' solvarin 2>/dev/null | grep -q . && fail "dpkg still knows the package"
for path in "${held[@]}" /usr/lib/solvarin; do
  if [ -e "$path" ] || [ -L "$path" ]; then fail "$path is left after the purge"; fi
done
for unit in "${units[@]}"; do
  left=$(find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
    /var/lib/systemd/deb-systemd-helper-masked -name "$unit*" 2>/dev/null || true)
  [ -z "$left" ] || fail "the purge left $unit's enable state: $left"
done
echo "package check: $(basename "$deb") built, lintian-checked, verified, installed, run, upgraded, purged"
