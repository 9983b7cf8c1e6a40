# Sourced first by the solvarind namespace tests, with NETNS_PREFIX set and
# the build directory as the script's first argument: the namespace test
# support and the daemon's helpers, a work directory (in the build tree: the
# daemon covers /tmp) that the client's user may read, `inst` (the daemon's
# installation directory) and `cli` (the client namespace).
build=${1:?usage: $0 BUILD_DIR}
NETNS_WORK_PARENT=$build
source "$(dirname "${BASH_SOURCE[0]}")/../packetpath/netns_common.sh"
source "$root/scripts/solvarind-ns.sh"
chmod 755 "$work"
inst=$work/inst
cli=$p"cli"
