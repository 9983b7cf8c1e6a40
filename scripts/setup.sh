#!/bin/bash
# Fresh Debian 12 machine: install the packages, build, run the main job.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/install-deps.sh"
"$here/demo.sh"
