// The client record until the tunnel client is built: a state that stays
// idle and the session end tick.
#include "kernel/filter/client_record.h"

namespace {
struct ClientRecord {
  uint8_t state;
  uint32_t sessionendtick;
};
ClientRecord client;
}  // namespace

extern "C" {

void ClientClearRecord(void) { memset(&client, 0, sizeof client); }
uint8_t ClientGetState(void) { return client.state; }
uint32_t ClientGetSessionEndTick(void) { return client.sessionendtick; }
void ClientSetSessionEndTick(uint32_t tick) { client.sessionendtick = tick; }
void ClientFreeTlvBuffer(void) {}
void ClientClearAddressTable(void) {}
uint32_t AddNewClient(int32_t, uint32_t) { return 0; }
void ClientDisconnect(uint32_t) { client.state = 0; }

}  // extern "C"
