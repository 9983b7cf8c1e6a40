// The packet path and the parts around it that the module frame and the
// filter core call: the receive handler, the IP layer's state blocks, the
// firewall, TCP NAT, the local rules and the tunnel timer.
#pragma once
#include "kern_host.h"
#include "kernel/filter/adapters.h"

extern "C" {
// The adapter and port of the frame in hand; valid under lock 0 only.
extern FilterAdapter *curadapter;
extern FilterPort *curport;

// Receive handler of every bound adapter: verdict 0 pass, 1 taken, 2 not
// handled. Called without lock 0.
uint32_t RecvHandler(FilterAdapter *adapter, uint32_t direction, void *netbuf, uint32_t length);
// Overwrites open data with a repeating random pattern.
void CLI_MASK_OPEN_DATA(uint8_t *data, uint32_t length, uint32_t mode);

// IP layer state blocks, one per port direction, and their port timers.
void IPStartPortState(uint32_t direction);
void IPStopPortState(uint32_t direction);
void IPPortTimer(uint32_t direction);

// Firewall.
uint32_t FIREWALL_Init(void);
void FIREWALL_Enable(uint32_t on);
void FIREWALL_DeInit(void);
void FIREWALL_Timer(void);
void FIREWALL_RemoveAllSessionsByAdapter(FilterAdapter *adapter, uint32_t reason);
void FIREWALL_EnableTcpVpnCloseOnDisconnect(uint32_t on);

// TCP NAT of proxy redirection.
void TCPNAT_Init(void);
void TCPNAT_TimeoutSessions(void);
void TCPNAT_FreeSessions(void);

// Local rules saved at start.
void LCFGReadOnStart(void);
void LCFGFreeMemory(void);

// The tunnel's timer work while connected (keep-alive, rekeying).
void GuardTreatTimer(void);
}
