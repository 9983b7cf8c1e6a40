// Proxy redirection and TCP NAT on the packet path. The proxy parameters
// come with requests 18 to 20 (tunnel_client.h); this build carries the
// tunnel directly over UDP and rewrites no packet, so the rewrite steps
// pass every packet unchanged and TCP NAT keeps no session.
#pragma once
#include "kern_host.h"

struct IPPacket;

extern "C" {
// 1 when the address is the proxy's own (a proxy is in use).
uint32_t ProxyCheckIsProxyIP(uint32_t address);
// 1 when the packet goes to or comes from the proxy in use.
uint32_t ProxyIsProxyPacket(const IPPacket *p);
// Rewrites for the proxy from the TERM or NET side; non-zero refuses.
uint32_t ProxyRewritePacket(IPPacket *p, uint32_t fromnet);

void TCPNAT_Init(void);
void TCPNAT_TimeoutSessions(void);
void TCPNAT_FreeSessions(void);
}
