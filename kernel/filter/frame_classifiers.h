// Classifiers of Ethernet frames that the library offers (the packet path
// of this build calls none of them): ARP for IPv4, BOOTP/DHCP and EAP-TLS.
#pragma once
#include "kern_host.h"

extern "C" {
// 0 not an Ethernet ARP for IPv4; 1 request, 2 reply, 3 other operation.
uint32_t IsArpPacket(const uint8_t *frame, uint32_t length);
// 0 not BOOTP; 1 request (op 1), 2 reply (op 2).
uint32_t IsBootpPacket(const uint8_t *frame, uint32_t length);
// 1 for a BOOTP frame carrying the DHCP magic cookie, else 0.
uint32_t IsDhcpPacket(const uint8_t *frame, uint32_t length);
// 0 not EAP-TLS over EAPOL; 1 request, 2 response.
uint32_t IsEapTlsPacket(const uint8_t *frame, uint32_t length);
}
