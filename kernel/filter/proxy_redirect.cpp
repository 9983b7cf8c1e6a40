#include "kernel/filter/proxy_redirect.h"

#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/tunnel_client.h"

using namespace zor::tunnel;

extern "C" {

uint32_t ProxyCheckIsProxyIP(uint32_t address) {
  return p_UseProxy && address && (address == p_TCPProxyIP || address == p_UDPProxyIP);
}

uint32_t ProxyIsProxyPacket(const IPPacket *p) {
  return ProxyCheckIsProxyIP(p->dst) || ProxyCheckIsProxyIP(p->src);
}

uint32_t ProxyRewritePacket(IPPacket *, uint32_t) { return 0; }

void TCPNAT_Init(void) {}
void TCPNAT_TimeoutSessions(void) {}
void TCPNAT_FreeSessions(void) {}

}  // extern "C"
