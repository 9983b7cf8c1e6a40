// The packet path lets every frame pass until it is built; the parts around
// it keep no state yet, so their start, stop and timer steps have nothing
// to do.
#include "kernel/filter/packet_path.h"

#include "crypto/random.h"

extern "C" {

FilterAdapter *curadapter;
FilterPort *curport;

uint32_t RecvHandler(FilterAdapter *, uint32_t, void *, uint32_t) { return 0; }

// A random 8-byte pattern repeated over the data.
void CLI_MASK_OPEN_DATA(uint8_t *data, uint32_t length, uint32_t) {
  if (!data) return;
  uint8_t pattern[8] = {};
  GetRandomEx(pattern, sizeof pattern, 0);
  for (uint32_t i = 0; i < length; i++) data[i] = pattern[i % sizeof pattern];
}

void IPStartPortState(uint32_t) {}
void IPStopPortState(uint32_t) {}
void IPPortTimer(uint32_t) {}

uint32_t FIREWALL_Init(void) { return 0; }
void FIREWALL_Enable(uint32_t) {}
void FIREWALL_DeInit(void) {}
void FIREWALL_Timer(void) {}
void FIREWALL_RemoveAllSessionsByAdapter(FilterAdapter *, uint32_t) {}
void FIREWALL_EnableTcpVpnCloseOnDisconnect(uint32_t) {}

void TCPNAT_Init(void) {}
void TCPNAT_TimeoutSessions(void) {}
void TCPNAT_FreeSessions(void) {}

void LCFGReadOnStart(void) {}
void LCFGFreeMemory(void) {}

void GuardTreatTimer(void) {}

}  // extern "C"
