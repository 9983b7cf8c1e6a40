#!/bin/bash
# Installs every Debian package the build, the tests and the demo need. Each
# area lists its own packages in scripts/packages.d/*.txt.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t pkgs < <(cat "$here"/packages.d/*.txt | sed 's/#.*//' | tr -s ' \t' '\n' | grep -v '^$' | sort -u)
export DEBIAN_FRONTEND=noninteractive
# Servers among the packages (NetworkManager, BIND, the KDC, D-Bus) are only
# ever started by the tests inside their namespaces: no package may start one
# on the machine, so invoke-rc.d is refused for the length of the install.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  own_policy=1
  trap 'rm -f "$policy"' EXIT
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${pkgs[@]}"
if [ "$own_policy" = 1 ]; then rm -f "$policy"; trap - EXIT; fi
