// What the tunnel client and the request dispatcher call of the packet-path
// side of the filter: the firewall, tunnel control, local rules and DNS
// inspection.
#pragma once
#include "kernel/filter/dns_inspection.h"
#include "kernel/filter/firewall_checks.h"
#include "kernel/filter/local_rules.h"
#include "kernel/filter/tunnel_control.h"
