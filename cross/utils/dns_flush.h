#pragma once
// Flushes the host's DNS cache unless the registry value "FlushDNS" (in
// installDir) is 0. The flush commands are tried in turn until one
// succeeds: "resolvectl flush-caches", "systemd-resolve --flush-caches",
// "nscd --invalidate=hosts".
void flushDNSIf();
