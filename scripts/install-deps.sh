#!/bin/bash
# Installs every Debian package the build, the tests and the demo need. Each
# area lists its own packages in scripts/packages.d/*.txt.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t pkgs < <(cat "$here"/packages.d/*.txt | sed 's/#.*//' | tr -s ' \t' '\n' | grep -v '^$' | sort -u)
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${pkgs[@]}"
