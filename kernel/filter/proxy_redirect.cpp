#include "kernel/filter/proxy_redirect.h"

#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/tunnel_client.h"

using zor::tunnel::proxy;

extern "C" {

uint32_t ProxyCheckIsProxyIP(uint32_t address) {
  return proxy.use && address && (address == proxy.tcp_ip || address == proxy.udp_proxy_ip);
}

uint32_t ProxyIsProxyPacket(const IPPacket *p) {
  return ProxyCheckIsProxyIP(p->dst) || ProxyCheckIsProxyIP(p->src);
}

uint32_t ProxyRewritePacket(IPPacket *, uint32_t) { return 0; }

void TCPNAT_Init(void) {}
void TCPNAT_TimeoutSessions(void) {}
void TCPNAT_FreeSessions(void) {}

}  // extern "C"
