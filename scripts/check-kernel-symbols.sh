#!/bin/bash
# Fails when the kernel-side library needs a symbol a kernel host does not
# give (anything but KERN_* and the four string/memory functions) or carries
# global constructors.
set -euo pipefail
obj=${1:?usage: check-kernel-symbols.sh ZorNFFltLib.o}
bad=$(nm -u "$obj" | awk '{print $NF}' | grep -Ev '^(KERN_.*|memcpy|memset|memmove|strlen)$' || true)
if [ -n "$bad" ]; then
  echo "ZorNFFltLib.o needs symbols a kernel host does not provide:"
  echo "$bad"
  exit 1
fi
if objdump -h "$obj" | grep -Eq '\.(init_array|ctors)'; then
  echo "ZorNFFltLib.o has global constructors"
  exit 1
fi
echo "ZorNFFltLib.o: undefined symbols are all allowed ($(nm -u "$obj" | wc -l) in all)"
